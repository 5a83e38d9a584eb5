#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/crash.h"

namespace tarvo::platform {
namespace {

void (*g_last_words)(const char*) = nullptr;
int g_exit_code = 1;
std::atomic<bool> g_dying{false};
char g_text[600];

[[noreturn]] void Die() {
  if (!g_dying.exchange(true) && g_last_words) g_last_words(g_text);
  _exit(g_exit_code);
}

void OnSignal(int signal) {
  if (!g_dying.load())
    std::snprintf(g_text, sizeof g_text, "fatal signal %d (%s)", signal, strsignal(signal));
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
  // A stack of its own, so that a stack overflow still gets its last words.
  static const size_t kAltStack = 1 << 16;
  stack_t alt{};
  alt.ss_sp = std::malloc(kAltStack);
  alt.ss_size = kAltStack;
  if (alt.ss_sp) sigaltstack(&alt, nullptr);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(s, &action, nullptr);
  std::set_terminate(Terminate);
}

}  // namespace tarvo::platform
