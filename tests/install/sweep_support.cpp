#include "tests/install/sweep_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "install/installer_run.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARVO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARVO_SANITIZED 1
#endif
#endif

namespace tarvo::install::testing {
namespace {

namespace stdfs = std::filesystem;

long EnvNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  const long n = std::strtol(v, nullptr, 10);
  return n > 0 ? n : fallback;
}

}  // namespace

SweepDir::SweepDir(const std::string& prefix) {
  stdfs::path base = stdfs::temp_directory_path();
  if (const char* dir = std::getenv("TARVO_SWEEP_DIR"); dir && *dir) {
    base = dir;
  } else {
#ifndef _WIN32
    std::error_code ec;
    if (stdfs::is_directory("/dev/shm", ec)) base = "/dev/shm";
#endif
  }
  for (int i = 0;; ++i) {
    const stdfs::path p = base / (prefix + std::to_string(std::random_device{}()));
    std::error_code ec;
    if (stdfs::create_directory(p, ec)) {
      path_ = p.string();
      break;
    }
    if (i > 100) throw std::runtime_error("Cannot make a folder in " + base.string());
  }
}

SweepDir::~SweepDir() {
  std::error_code ec;
  stdfs::remove_all(path_, ec);
}

SweepTemplate::SweepTemplate(platform::FileSystem& fs, const std::string& root_folder)
    : root(root_folder) {
  stdfs::create_directories(root);
  DemoInstallOptions tiny;
  tiny.old_db = {24, 4, false, 16, 20};
  tiny.new_db = {12, 0, true, 16, 20};
  DemoInstall demo(fs, root, tiny);
  all_old = ReadRecords(fs, demo.database);
  users = UsersOnly(all_old);
  user_rows = UsersOnly(ReadClassifier(fs, demo.database + "Kl_spr.db"));
}

void CopyFresh(const std::string& from, const std::string& to) {
  std::error_code ec;
  stdfs::remove_all(to, ec);
  stdfs::copy(from, to, stdfs::copy_options::recursive);
}

RecordingWindow SweepWindow(bool transfer) {
  RecordingWindow window;
  window.ChooseTransfer(transfer);
  window.components = {{true, "Base.zip"}};
  return window;
}

int RunInstallation(platform::FileSystem& fs, platform::AutoDialogs& dialogs,
                    platform::Clock& clock, RecordingWindow& window, const RunSettings& settings) {
  InstallerRun run(
      fs, dialogs, clock, [&] { return settings; }, MakeProductDataStages());
  return run.Run(window);
}

bool Holds(const Records& records, const std::string& key, const RecordSet& record) {
  auto it = records.find(key);
  return it != records.end() && it->second == record;
}

bool Holds(const Classifier& classifier, const std::string& kod, const ClassifierRow& row) {
  auto it = classifier.find(kod);
  return it != classifier.end() && it->second.name == row.name && it->second.year == row.year;
}

long SweepStride(long native, long sanitized, long windows) {
#if defined(_WIN32)
  (void)native, (void)sanitized;
  const long fallback = windows;
#elif defined(TARVO_SANITIZED)
  (void)native, (void)windows;
  const long fallback = sanitized;
#else
  (void)sanitized, (void)windows;
  const long fallback = native;
#endif
  return EnvNumber("TARVO_SWEEP_STRIDE", fallback);
}

long SweepPoints(long last, long stride, const std::function<bool(long)>& point) {
  long tried = 0;
  for (long n = EnvNumber("TARVO_SWEEP_FROM", 1); n <= last; n += stride) {
    if (!point(n)) break;
    ++tried;
    if (::testing::Test::HasFailure() && !std::getenv("TARVO_SWEEP_ALL")) break;
  }
  return tried;
}

}  // namespace tarvo::install::testing
