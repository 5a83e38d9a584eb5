// Cleanup whose failure cannot be acted on: closing or deleting on a path that is already failing
// (the first error is what the caller reports), or in a destructor, which must not throw.
#pragma once

namespace tarvo::platform {

// Runs `step` and swallows whatever it throws. `why` says, at the call site, why the failure
// may be ignored; it is there for the reader and the debugger, not the program.
template <class Step>
void BestEffort([[maybe_unused]] const char* why, Step&& step) noexcept {
  try {
    step();
  } catch (...) {
  }
}

}  // namespace tarvo::platform
