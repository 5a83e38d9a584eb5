#include <windows.h>

#include <cstdio>
#include <exception>

#include "platform/crash.h"
#include "platform/crash_state.h"

namespace tarvo::platform {
namespace {

DWORD WINAPI Speak(void*) {
  crash::State& s = crash::TheState();
  s.last_words(s.text);
  return 0;
}

[[noreturn]] void Die() {
  crash::State& s = crash::TheState();
  if (crash::BeginDying() && s.last_words) {
    // On a fresh stack: the crash may be the stack running out.
    HANDLE t = CreateThread(nullptr, 1 << 20, Speak, nullptr, 0, nullptr);
    if (t) {
      WaitForSingleObject(t, 10000);
      CloseHandle(t);
    }
  }
  // Not ExitProcess: after a crash, the clean-up of static objects and DLLs may hang or crash.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(s.exit_code));
  for (;;) Sleep(INFINITE);
}

LONG WINAPI Filter(EXCEPTION_POINTERS* info) {
  crash::State& s = crash::TheState();
  if (!s.dying.load()) {
    const EXCEPTION_RECORD* r = info ? info->ExceptionRecord : nullptr;
    std::snprintf(s.text, sizeof s.text, "unhandled exception 0x%08lX at address %p",
                  r ? static_cast<unsigned long>(r->ExceptionCode) : 0ul,
                  r ? r->ExceptionAddress : nullptr);
  }
  Die();
}

void Terminate() {
  crash::DescribeCurrentException();
  Die();
}

}  // namespace

void InstallCrashHandler(void (*last_words)(const char* what), int exit_code) {
  crash::Arm(last_words, exit_code);
  // No system crash dialog waiting for a person on an unattended machine.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(Filter);
  std::set_terminate(Terminate);
}

}  // namespace tarvo::platform
