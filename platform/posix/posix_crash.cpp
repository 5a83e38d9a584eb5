#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/crash.h"
#include "platform/crash_state.h"

namespace tarvo::platform {
namespace {

[[noreturn]] void Die() {
  crash::State& s = crash::TheState();
  if (crash::BeginDying() && s.last_words) s.last_words(s.text);
  _exit(s.exit_code);
}

void HandleFatalSignal(int signal) {
  crash::State& s = crash::TheState();
  if (!s.dying.load())
    std::snprintf(s.text, sizeof s.text, "fatal signal %d (%s)", signal, strsignal(signal));
  Die();
}

void Terminate() {
  crash::DescribeCurrentException();
  Die();
}

}  // namespace

void InstallCrashHandler(void (*last_words)(const char* what), int exit_code) {
  crash::Arm(last_words, exit_code);
  // A stack of its own, so that a stack overflow still gets its last words.
  static const size_t kAltStack = 1 << 16;
  stack_t alt{};
  alt.ss_sp = std::malloc(kAltStack);
  alt.ss_size = kAltStack;
  if (alt.ss_sp) sigaltstack(&alt, nullptr);
  struct sigaction action {};
  action.sa_handler = HandleFatalSignal;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(s, &action, nullptr);
  std::set_terminate(Terminate);
}

}  // namespace tarvo::platform
