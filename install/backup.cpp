#include "install/backup.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "archive/zip_archiver.h"
#include "install/start_ini.h"

namespace tarvo::install {
namespace {

void SetLevel(archive::TZipArchiver& zip, int level) {
  using archive::TZipCompressionLevel;
  switch (level) {
    case 0:
      zip.SetCompressionLevel(TZipCompressionLevel::clNone);
      break;
    case 1:
      zip.SetCompressionLevel(TZipCompressionLevel::clFastest);
      break;
    case 2:
      zip.SetCompressionLevel(TZipCompressionLevel::clNormal);
      break;
    case 3:
      zip.SetCompressionLevel(TZipCompressionLevel::clMax);
      break;
    default:
      break;
  }
}

}  // namespace

std::string TwoDigitText(unsigned value) {
  std::string text = std::to_string(value);
  return value < 10 ? "0" + text : text;
}

std::string BackupArchiveName(const platform::LocalTime& when, const std::string& tail) {
  return "Архив от " + TwoDigitText(when.day) + "." + TwoDigitText(when.month) + "." +
         std::to_string(when.year) + " г. [" + TwoDigitText(when.hour) + "-" +
         TwoDigitText(when.minute) + "]" + tail;
}

std::string UnusedBackupPath(platform::FileSystem& fs, const std::string& folder,
                             const std::string& name) {
  if (!fs.FileExists(folder + name) && !fs.DirectoryExists(folder + name)) return folder + name;
  // An extension is a last dot with no space or bracket after it: in a name without one the last
  // dot is the date's "г.", and a number put there would make it no dated backup name.
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && name.find_first_of(" []", dot) != std::string::npos)
    dot = std::string::npos;
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot);
  for (int n = 2;; ++n) {
    const std::string path = folder + stem + " (" + std::to_string(n) + ")" + ext;
    if (!fs.FileExists(path) && !fs.DirectoryExists(path)) return path;
  }
}

void ShowArchiveProgress(MainWindowOps& window, double progress) {
  // nearbyint in the default rounding mode rounds halves to even.
  const double rounded = std::nearbyint(std::isfinite(progress) ? progress : 0.0);
  const double clamped = rounded < -1e9 ? -1e9 : (rounded > 1e9 ? 1e9 : rounded);
  window.SetProgressPercent(static_cast<int>(clamped));
  window.ProcessPendingMessages();
}

bool BackupToArchive(platform::FileSystem& fs, platform::Dialogs& dialogs, MainWindowOps& window,
                     const std::string& archive_path, const std::string& base_folder,
                     const std::string& mask, int level, bool test, RunLog* log) {
  if (!log) log = &NoRunLog();
  try {
    archive::TZipArchiver zip(fs, dialogs);
    SetLevel(zip, level);
    zip.FileName = archive_path;
    zip.BaseDir = base_folder;
    zip.OnOverallProgress = [&window](archive::TZipBaseArchiver&, double progress,
                                      archive::TZipProcessOperation, archive::TZipProgressPhase,
                                      bool&) { ShowArchiveProgress(window, progress); };
    window.SetActivity(Activity::kSaving, true);
    zip.OpenArchive(fs.FileExists(archive_path) ? archive::kOpenReadWrite : archive::kOpenCreate);
    zip.AddFiles(mask, archive::kFaDefaultSearch, "");
    if (zip.LastOperationAborted()) {
      log->Note("Adding " + mask + " to the archive was aborted");
      return false;
    }
    window.SetActivity(Activity::kSaving, false);
    if (test) {
      window.SetActivity(Activity::kChecking, true);
      zip.TestFiles(mask, archive::kFaDefaultSearch);
      if (zip.LastOperationAborted()) {
        log->Note("Testing " + mask + " in the archive was aborted");
        return false;
      }
      window.SetActivity(Activity::kChecking, false);
    }
    zip.CloseArchive();
    return true;
  } catch (const std::exception& e) {
    log->Note("Archive error: " + std::string(e.what()));
    return false;
  }
}

int RunBackupStage(platform::FileSystem& fs, platform::Dialogs& dialogs, platform::Clock& clock,
                   MainWindowOps& window, const RunSettings& settings, RunLog* log,
                   std::string* made) {
  if (!log) log = &NoRunLog();
  const platform::LocalTime now = clock.Now();
  const std::string default_folder = settings.product_folder + "Backup";
  if (!fs.DirectoryExists(default_folder) && !fs.CreateDirectories(default_folder) &&
      !fs.DirectoryExists(default_folder)) {
    log->Note("The backup folder " + default_folder + " cannot be made");
    return kCodeBackupFolder;
  }
  const std::string name = BackupArchiveName(now, settings.backup_file_name);
  std::string backup_folder = default_folder + "\\";
  // Used as written: the person who set it chose where the archive goes.
  const std::string override_folder = ReadStartIniBackupDir(fs, settings.installer_folder);
  if (!override_folder.empty()) backup_folder = override_folder;
  // Every run makes an archive of its own: an earlier one, complete or cut short by a kill, is
  // never opened for writing.
  const std::string archive_path = UnusedBackupPath(fs, backup_folder, name);
  if (made) *made = archive_path;
  log->Note("Backup archive " + archive_path);
  // Only the folders read, and never an empty name: its mask would be the whole product folder,
  // the earlier backups included.
  const size_t count = std::min(static_cast<size_t>(std::max(settings.backup_count, 0)),
                                settings.backup_folders.size());
  for (size_t i = 0; i < count; ++i) {
    const std::string& folder = settings.backup_folders[i];
    if (folder.empty()) {
      log->Note("Backup_Dir" + std::to_string(i + 1) + " is empty; nothing packed for it");
      continue;
    }
    if (!BackupToArchive(fs, dialogs, window, archive_path, settings.product_folder,
                         folder + "\\*.*", 2, true, log)) {
      log->Note("Backup of " + folder + "\\*.* failed");
      return kCodeBackupArchive;
    }
    log->Note("Backup of " + folder + "\\*.* written and tested");
  }
  return 0;
}

}  // namespace tarvo::install
