// A crash of the program leaves a last line in its log and ends with the code of a failed run:
// the crash is made in a child process (a death test) and the log is read afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "app/run_log_file.h"
#include "app/switches.h"
#include "platform/crash.h"
#include "platform/services.h"
#include "tests/archive/zip_test_util.h"
#include "tests/platform/set_clock.h"

namespace tarvo::app {
namespace {

using archive::testing::ReadFileBytes;

void CrashLines(const char* what) { WriteCrashLines(what, kExitRunFailed); }

void (*volatile thrower)() = [] { throw std::runtime_error("table gone"); };
// An exception that reaches a noexcept frame ends in std::terminate, as one that leaves main.
void ThrowPastNoexcept() noexcept { thrower(); }

void WriteThroughNull() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
}

// Deep enough to exhaust any stack; the volatile buffer keeps each frame real.
int RunOutOfStack(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth == (1 << 30)) return 0;  // never reached: a gigabyte of frames is past any stack
  return RunOutOfStack(depth + 1) + frame[0];
}

void OverflowTheStack() { std::printf("%d", RunOutOfStack(0)); }

class CrashHandler : public ::testing::Test {
 protected:
  // Runs in the child: a log as the program opens it, the handler, then the crash.
  void CrashWithLog(void (*crash)()) {
    platform::Services services = platform::MakeSystemServices();
    platform::testing::SetClock clock({2026, 12, 9, 10, 30, 0, 0, 3});
    auto log = CreateRunLog(*services.fs, clock, log_path);
    log->Note("Installation started");
    platform::InstallCrashHandler(CrashLines, kExitRunFailed);
    crash();
  }

  // A name the child finds too: on Windows it is the test program started again, not a fork.
  void SetUp() override {
    const char* build = std::getenv("TARVO_BINARY_DIR");
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    log_path = (std::filesystem::temp_directory_path() /
                ("tarvo_crash_" + std::to_string(std::hash<std::string>()(build ? build : "")) +
                 "_" + test + ".log"))
                   .string();
    if (!::testing::internal::InDeathTestChild()) std::filesystem::remove(log_path);
  }
  void TearDown() override {
    if (!::testing::internal::InDeathTestChild()) std::filesystem::remove(log_path);
  }

  std::string log_path;
};

TEST_F(CrashHandler, AnUnhandledCppExceptionLogsItsMessageAndExitsFour) {
  EXPECT_EXIT(CrashWithLog([] { ThrowPastNoexcept(); }), ::testing::ExitedWithCode(kExitRunFailed),
              "");
  const std::string log = ReadFileBytes(log_path);
  EXPECT_NE(log.find("Installation started"), std::string::npos) << log;
  EXPECT_NE(log.find("Crash: unhandled C++ exception: table gone; the run did not finish"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Exit code 4"), std::string::npos) << log;
}

// The address sanitizer owns the access-violation signal in its builds and reports it itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerOwnsAccessViolations = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizerOwnsAccessViolations = true;
#else
constexpr bool kSanitizerOwnsAccessViolations = false;
#endif
#else
constexpr bool kSanitizerOwnsAccessViolations = false;
#endif

TEST_F(CrashHandler, AnAccessViolationLogsAndExitsFour) {
  if (kSanitizerOwnsAccessViolations) GTEST_SKIP() << "the sanitizer handles access violations";
  EXPECT_EXIT(CrashWithLog(WriteThroughNull), ::testing::ExitedWithCode(kExitRunFailed), "");
  const std::string log = ReadFileBytes(log_path);
  // An unhandled structured exception on Windows, a signal elsewhere.
  EXPECT_NE(log.find("Crash: "), std::string::npos) << log;
  EXPECT_NE(log.find("the run did not finish"), std::string::npos) << log;
  EXPECT_NE(log.find("Exit code 4"), std::string::npos) << log;
}

TEST_F(CrashHandler, AStackOverflowStillLogsAndExitsFour) {
  EXPECT_EXIT(CrashWithLog(OverflowTheStack), ::testing::ExitedWithCode(kExitRunFailed), "");
  const std::string log = ReadFileBytes(log_path);
  EXPECT_NE(log.find("Crash: "), std::string::npos) << log;
  EXPECT_NE(log.find("Exit code 4"), std::string::npos) << log;
}

TEST_F(CrashHandler, WithoutALogTheCodeIsStillFour) {
  EXPECT_EXIT(
      {
        platform::InstallCrashHandler(CrashLines, kExitRunFailed);
        ThrowPastNoexcept();
      },
      ::testing::ExitedWithCode(kExitRunFailed), "");
}

}  // namespace
}  // namespace tarvo::app
