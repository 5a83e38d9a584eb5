#include "platform/crash_state.h"

#include <cstdio>
#include <exception>

#include "platform/best_effort.h"

namespace tarvo::platform::crash {

namespace {
// Constant-initialised: ready before any static constructor can crash.
constinit State g_state;
}  // namespace

State& TheState() { return g_state; }

void Arm(void (*last_words)(const char* what), int exit_code) {
  State& s = TheState();
  s.last_words = last_words;
  s.exit_code = exit_code;
}

bool BeginDying() { return !TheState().dying.exchange(true); }

void DescribeCurrentException() {
  State& s = TheState();
  if (s.dying.load()) return;
  std::snprintf(s.text, sizeof s.text, "unhandled C++ exception");
  std::exception_ptr p = std::current_exception();
  if (!p) return;
  BestEffort("an exception of no standard type keeps the generic text", [&] {
    try {
      std::rethrow_exception(p);
    } catch (const std::exception& e) {
      std::snprintf(s.text, sizeof s.text, "unhandled C++ exception: %.500s", e.what());
    }
  });
}

}  // namespace tarvo::platform::crash
