// Stage 1: the dated backup archive of the database folders.
#pragma once

#include <string>

#include "install/main_window_ops.h"
#include "install/run_log.h"
#include "install/run_settings.h"
#include "platform/services.h"

namespace tarvo::install {

// Result codes of a run.
inline constexpr int kCodeBackupFolder = 1;
inline constexpr int kCodeBackupArchive = 2;
inline constexpr int kCodeComponent = 3;
inline constexpr int kCodeError = 4;

// Decimal text with a "0" in front below 10.
std::string TwoDigitText(unsigned value);

// "Архив от DD.MM.YYYY г. [HH-NN]" + tail.
std::string BackupArchiveName(const platform::LocalTime& when, const std::string& tail);

// `folder` + `name`, or, when that exists, the first free "name (2).ext", "name (3).ext", ...
// ("name (2)" when the name has no extension).
std::string UnusedBackupPath(platform::FileSystem& fs, const std::string& folder,
                             const std::string& name);

// Puts the archive's overall progress on the window's bar (rounded half to even) and lets the
// window handle waiting messages.
void ShowArchiveProgress(MainWindowOps& window, double progress);

// Adds the files of `mask` below `base_folder` to the archive (created when absent), then tests
// them when `test` is set. False on any error, and when the user aborted or the pass was
// cancelled: a backup with holes the user did not choose is no backup.
bool BackupToArchive(platform::FileSystem& fs, platform::Dialogs& dialogs, MainWindowOps& window,
                     const std::string& archive_path, const std::string& base_folder,
                     const std::string& mask, int level, bool test, RunLog* log = nullptr);

// The backup stage; returns 0, kCodeBackupFolder or kCodeBackupArchive. `made` receives the
// archive's path.
int RunBackupStage(platform::FileSystem& fs, platform::Dialogs& dialogs, platform::Clock& clock,
                   MainWindowOps& window, const RunSettings& settings, RunLog* log = nullptr,
                   std::string* made = nullptr);

}  // namespace tarvo::install
