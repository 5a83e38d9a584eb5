#include <windows.h>

#include <atomic>
#include <cstdio>
#include <exception>

#include "platform/crash.h"

namespace tarvo::platform {
namespace {

void (*g_last_words)(const char*) = nullptr;
int g_exit_code = 1;
std::atomic<bool> g_dying{false};
char g_text[600];

DWORD WINAPI Speak(void*) {
  g_last_words(g_text);
  return 0;
}

[[noreturn]] void Die() {
  // A second crash, in the last words themselves or in another thread, ends at once.
  if (!g_dying.exchange(true) && g_last_words) {
    // On a fresh stack: the crash may be the stack running out.
    HANDLE t = CreateThread(nullptr, 1 << 20, Speak, nullptr, 0, nullptr);
    if (t) {
      WaitForSingleObject(t, 10000);
      CloseHandle(t);
    }
  }
  // Not ExitProcess: after a crash, the clean-up of static objects and DLLs may hang or crash.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(g_exit_code));
  for (;;) Sleep(INFINITE);
}

LONG WINAPI Filter(EXCEPTION_POINTERS* info) {
  if (!g_dying.load()) {
    const EXCEPTION_RECORD* r = info ? info->ExceptionRecord : nullptr;
    std::snprintf(g_text, sizeof g_text, "unhandled exception 0x%08lX at address %p",
                  r ? static_cast<unsigned long>(r->ExceptionCode) : 0ul,
                  r ? r->ExceptionAddress : nullptr);
  }
  Die();
}

void Terminate() {
  if (!g_dying.load()) {
    std::snprintf(g_text, sizeof g_text, "unhandled C++ exception");
    if (std::exception_ptr p = std::current_exception()) {
      try {
        std::rethrow_exception(p);
      } catch (const std::exception& e) {
        std::snprintf(g_text, sizeof g_text, "unhandled C++ exception: %.500s", e.what());
      } catch (...) {
      }
    }
  }
  Die();
}

}  // namespace

void InstallCrashHandler(void (*last_words)(const char* what), int exit_code) {
  g_last_words = last_words;
  g_exit_code = exit_code;
  // No system crash dialog waiting for a person on an unattended machine.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(Filter);
  std::set_terminate(Terminate);
}

}  // namespace tarvo::platform
