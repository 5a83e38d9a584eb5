#include "platform/best_effort.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace tarvo::platform {
namespace {

TEST(BestEffort, RunsTheStep) {
  int runs = 0;
  BestEffort("a step that cannot fail", [&] { ++runs; });
  EXPECT_EQ(runs, 1);
}

TEST(BestEffort, SwallowsWhatTheStepThrows) {
  bool reached = false;
  EXPECT_NO_THROW(BestEffort("the test throws on purpose", [&] {
    reached = true;
    throw std::runtime_error("ignored");
  }));
  EXPECT_TRUE(reached);
  EXPECT_NO_THROW(BestEffort("not even a std::exception escapes", [] { throw 7; }));
}

}  // namespace
}  // namespace tarvo::platform
