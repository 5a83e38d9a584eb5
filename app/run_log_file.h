// The administrator's log of one start of the program: a dated line per step, in UTF-8 with
// Windows line ends, written as it happens so that a run that dies leaves its log behind.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "install/run_log.h"
#include "platform/services.h"

namespace tarvo::app {

class FileRunLog : public install::RunLog {
 public:
  using Seconds = std::function<double()>;  // a monotonic clock, for the time stages take

  FileRunLog(std::unique_ptr<platform::File> file, std::string path, platform::Clock& clock,
             Seconds seconds = {});
  ~FileRunLog() override;

  void Note(const std::string& line) override;
  void StageStarted(int stage) override;
  void StageEnded(int stage, int code) override;
  void RunError(const std::string& message) override;
  void RunResult(int code) override;

  const std::string& path() const { return path_; }
  // True once a line could not be written (the disk filled up, ...). The run goes on regardless:
  // a log is no reason to leave a half-installed product.
  bool write_failed() const { return write_failed_; }

 private:
  void Write(const std::string& line);
  std::string Elapsed() const;

  std::unique_ptr<platform::File> file_;
  std::string path_;
  platform::Clock& clock_;
  Seconds seconds_;
  int stage_ = 0;  // the stage running, 0 when none
  double stage_start_ = 0;
  bool write_failed_ = false;
};

// The stage labels of the progress panel, for the log: stage 1..4.
std::string StageTitle(int stage);

// "TarvoUpdate_2026-12-09_10-15-03.log" for that time; `n` above 1 adds "_n" before ".log".
std::string DatedLogName(const platform::LocalTime& t, int n);

// The last lines of a program that crashed, in the log open at the time (if any): what happened
// and the exit code the process ends with. For the crash handler of the program entry.
void WriteCrashLines(const char* what, int exit_code);

// Creates the log: `file` (overwritten) when it is not empty, otherwise a new file with a dated
// name in the temporary folder. Throws PlatformError with a clear message when it cannot.
std::unique_ptr<FileRunLog> CreateRunLog(platform::FileSystem& fs, platform::Clock& clock,
                                         const std::string& file, FileRunLog::Seconds seconds = {});

}  // namespace tarvo::app
