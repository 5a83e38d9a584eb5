// A clock that shows the time the test set, so that dated names are known in advance.
#pragma once

#include "platform/services.h"

namespace tarvo::platform::testing {

class SetClock : public Clock {
 public:
  explicit SetClock(LocalTime time) : now(time) {}

  LocalTime now;
  LocalTime Now() override { return now; }
};

}  // namespace tarvo::platform::testing
