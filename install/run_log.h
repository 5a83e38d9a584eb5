// What an installation run tells an administrator's log: its steps, the time each stage took and
// how it ended. The run calls it whether or not anyone listens; the default listens to nothing.
#pragma once

#include <string>

namespace tarvo::install {

class RunLog {
 public:
  virtual ~RunLog() = default;
  // A step worth a line of its own (the archive written, a component installed, ...).
  virtual void Note(const std::string& line) = 0;
  // Stage 1..4 begins; the stage ends with StageEnded, or with RunError while it runs.
  virtual void StageStarted(int stage) = 0;
  virtual void StageEnded(int stage, int code) = 0;
  // An error that left the run (a table error, a failed file operation, ...).
  virtual void RunError(const std::string& message) = 0;
  // The run's result code, just before the window shows it.
  virtual void RunResult(int code) = 0;
};

class NullRunLog : public RunLog {
 public:
  void Note(const std::string&) override {}
  void StageStarted(int) override {}
  void StageEnded(int, int) override {}
  void RunError(const std::string&) override {}
  void RunResult(int) override {}
};

// The shared do-nothing log.
RunLog& NoRunLog();

}  // namespace tarvo::install
