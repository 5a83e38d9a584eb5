// What the crash handlers of both platforms share: the callback and exit code they were given,
// the one-time latch, and the text of the last words.
#pragma once

#include <atomic>
#include <cstddef>

namespace tarvo::platform::crash {

struct State {
  void (*last_words)(const char*) = nullptr;
  int exit_code = 1;
  std::atomic<bool> dying{false};
  char text[600] = {};
};

// The process-wide state; static storage, so a crash never allocates to reach it.
State& TheState();

// Remembers the callback and the exit code (InstallCrashHandler's arguments).
void Arm(void (*last_words)(const char* what), int exit_code);

// True for the first caller only: a second crash, in the last words themselves or in another
// thread, must end at once.
bool BeginDying();

// Describes the exception being handled, for a terminate handler. Leaves the text alone when a
// crash is already being told.
void DescribeCurrentException();

}  // namespace tarvo::platform::crash
