#include "app/run_log_file.h"

#include <atomic>
#include <cmath>
#include <cstdio>

#include "app/form_main.h"

namespace tarvo::app {
namespace {

constexpr int kMaxLogNameTries = 1000;

// The log of this start of the program, for the lines a crash leaves.
std::atomic<FileRunLog*> current_log{nullptr};

std::string Pad(int value, int width) {
  std::string s = std::to_string(value < 0 ? 0 : value);
  while (static_cast<int>(s.size()) < width) s = "0" + s;
  return s;
}

double SteadySeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string Duration(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f s", std::isfinite(seconds) && seconds > 0 ? seconds : 0.0);
  return buf;
}

}  // namespace

std::string StageTitle(int stage) {
  switch (stage) {
    case 1:
      return "1. Резервное копирование текущей БД";
    case 2:
      return "2. Сохранение пользовательских данных";
    case 3:
      return "3. Установка новой БД";
    case 4:
      return "4. Восстановление пользовательских данных";
  }
  return "stage " + std::to_string(stage);
}

std::string DatedLogName(const platform::LocalTime& t, int n) {
  std::string name = "TarvoUpdate_" + Pad(t.year, 4) + "-" + Pad(t.month, 2) + "-" + Pad(t.day, 2) +
                     "_" + Pad(t.hour, 2) + "-" + Pad(t.minute, 2) + "-" + Pad(t.second, 2);
  if (n > 1) name += "_" + std::to_string(n);
  return name + ".log";
}

FileRunLog::FileRunLog(std::unique_ptr<platform::File> file, std::string path,
                       platform::Clock& clock, Seconds seconds)
    : file_(std::move(file)),
      path_(std::move(path)),
      clock_(clock),
      seconds_(seconds ? std::move(seconds) : Seconds(SteadySeconds)) {
  current_log.store(this);
  // The byte-order mark lets every Notepad read the Cyrillic texts.
  try {
    file_->Write("\xEF\xBB\xBF", 3);
  } catch (const platform::PlatformError&) {
    write_failed_ = true;
  }
}

FileRunLog::~FileRunLog() {
  FileRunLog* self = this;
  current_log.compare_exchange_strong(self, nullptr);
  try {
    file_->Close();
  } catch (const platform::PlatformError&) {
  }
}

void FileRunLog::Write(const std::string& line) {
  const platform::LocalTime t = clock_.Now();
  const std::string stamped = Pad(t.year, 4) + "-" + Pad(t.month, 2) + "-" + Pad(t.day, 2) + " " +
                              Pad(t.hour, 2) + ":" + Pad(t.minute, 2) + ":" + Pad(t.second, 2) +
                              "  " + line + "\r\n";
  try {
    file_->Write(stamped.data(), stamped.size());
  } catch (const platform::PlatformError&) {
    write_failed_ = true;
  }
}

std::string FileRunLog::Elapsed() const { return Duration(seconds_() - stage_start_); }

void FileRunLog::Note(const std::string& line) { Write(line); }

void FileRunLog::StageStarted(int stage) {
  stage_ = stage;
  stage_start_ = seconds_();
  Write("Stage started: " + StageTitle(stage));
}

void FileRunLog::StageEnded(int stage, int code) {
  std::string line = "Stage ended: " + StageTitle(stage) + ", took " + Elapsed();
  if (code != 0) line += ", failed with code " + std::to_string(code);
  Write(line);
  stage_ = 0;
}

void FileRunLog::RunError(const std::string& message) {
  if (stage_ != 0) {
    Write("Stage failed: " + StageTitle(stage_) + ", after " + Elapsed() + ": " + message);
    stage_ = 0;
  } else {
    Write("Error: " + message);
  }
}

void FileRunLog::RunResult(int code) {
  Write("Result code " + std::to_string(code) + ": " +
        (code == 0 ? kResultSuccess : kResultFailure));
}

void WriteCrashLines(const char* what, int exit_code) {
  FileRunLog* log = current_log.load();
  if (!log) return;
  log->Note(std::string("Crash: ") + what + "; the run did not finish");
  log->Note("Exit code " + std::to_string(exit_code));
}

std::unique_ptr<FileRunLog> CreateRunLog(platform::FileSystem& fs, platform::Clock& clock,
                                         const std::string& file, FileRunLog::Seconds seconds) {
  using platform::Access;
  using platform::Disposition;
  using platform::Share;
  if (!file.empty()) {
    const std::string path = fs.FullPath(file);
    try {
      auto f = fs.Open(path, Access::kWrite, Share::kDenyWrite, Disposition::kCreateAlways);
      return std::make_unique<FileRunLog>(std::move(f), path, clock, std::move(seconds));
    } catch (const platform::PlatformError& e) {
      throw platform::PlatformError("The log file \"" + path + "\" cannot be created: " + e.what(),
                                    e.code());
    }
  }
  const std::string folder = fs.TempFolder();
  const platform::LocalTime now = clock.Now();
  for (int n = 1; n <= kMaxLogNameTries; ++n) {
    const std::string path = folder + DatedLogName(now, n);
    if (fs.FileExists(path) || fs.DirectoryExists(path)) continue;
    try {
      // Created new: two installers started in the same second never share a log.
      auto f = fs.Open(path, Access::kWrite, Share::kDenyWrite, Disposition::kCreateNew);
      return std::make_unique<FileRunLog>(std::move(f), path, clock, std::move(seconds));
    } catch (const platform::PlatformError& e) {
      if (e.code() == platform::kErrorFileExists || e.code() == platform::kErrorAlreadyExists) {
        continue;
      }
      throw platform::PlatformError(
          "A log file cannot be created in \"" + folder + "\": " + e.what(), e.code());
    }
  }
  throw platform::PlatformError("No free log file name in \"" + folder + "\"",
                                platform::kErrorFileExists);
}

}  // namespace tarvo::app
