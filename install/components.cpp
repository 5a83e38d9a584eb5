#include "install/components.h"

#include <exception>

#include "archive/zip_archiver.h"
#include "archive/zip_names.h"
#include "install/backup.h"
#include "install/password_pieces.h"

namespace tarvo::install {

std::string ComponentPassword() {
  std::string joined;
  for (const char* piece : password::kPieces) joined += piece;
  return joined;
}

bool InstallComponentArchive(platform::FileSystem& fs, platform::Dialogs& dialogs,
                             MainWindowOps& window, const std::string& archive_path,
                             const std::string& base_folder, const std::string& mask, RunLog* log) {
  if (!log) log = &NoRunLog();
  try {
    archive::TZipArchiver zip(fs, dialogs);
    zip.FileName = archive_path;
    zip.BaseDir = base_folder;
    zip.OnOverallProgress = [&window](archive::TZipBaseArchiver&, double progress,
                                      archive::TZipProcessOperation, archive::TZipProgressPhase,
                                      bool&) { ShowArchiveProgress(window, progress); };
    // The question the engine asks next shows the message alone; the log says why as well. The
    // name is the archive's, so its control bytes are escaped: it cannot fake a line of the log.
    zip.SetEntryFailureNote(
        [log](const std::string& name, const std::string& message, const std::string& reason) {
          if (!reason.empty())
            log->Note("Entry " + archive::NameForMessage(name) + " refused: " + reason + " (" +
                      message + ")");
        });
    zip.OpenArchive(archive::kOpenReadDenyWrite);
    // Only a whole archive is installed: one whose directory is lost (cut off, or junk that
    // merely holds a header signature) opens through the repair scan, which may also find files
    // hidden inside other entries' data. Nothing of such an archive, or of an empty one, is
    // extracted; overlapping entries already failed the opening.
    if (zip.Directory().repaired) {
      log->Note("Archive " + archive_path +
                " is damaged: its directory is missing or unreadable; nothing extracted from it");
      return false;
    }
    if (zip.FileCount() == 0) {
      log->Note("Archive " + archive_path + " holds no entries; nothing extracted from it");
      return false;
    }
    zip.Password = ComponentPassword();
    zip.ExtractFiles(mask, archive::kFaDefaultSearch);
    const bool aborted = zip.LastOperationAborted();
    zip.Password.assign(zip.Password.size(), '\0');
    zip.Password.clear();
    if (aborted) {
      log->Note("Extracting " + archive_path + " was aborted");
      return false;
    }
    zip.CloseArchive();
    return true;
  } catch (const std::exception& e) {
    log->Note("Archive error: " + std::string(e.what()));
    return false;
  }
}

int RunComponentStage(platform::FileSystem& fs, platform::Dialogs& dialogs, MainWindowOps& window,
                      const RunSettings& settings, RunLog* log) {
  if (!log) log = &NoRunLog();
  const int rows = window.ComponentRowCount();
  for (int row = 1; row < rows; ++row) {
    if (!window.ComponentChecked(row)) continue;
    const std::string file = window.ComponentFile(row);
    const std::string copy = settings.product_folder + file;
    // A copy that fails leaves either nothing (the opening below fails) or, when the old copy
    // could not be deleted, an archive of an earlier run, which must not be installed in place
    // of this update's.
    bool copied = false;
    try {
      if (fs.FileExists(copy)) (void)fs.DeleteFileAt(copy);
      copied = fs.CopyFileNoOverwrite(settings.installer_folder + file, copy);
    } catch (const platform::PlatformError&) {
    }
    const std::string what = "Component " + std::to_string(row) + " (" + file + ")";
    if (!copied && fs.FileExists(copy)) {
      log->Note(what +
                ": an earlier copy of its archive could not be replaced; no further "
                "component is installed");
      return kCodeComponent;
    }
    if (!InstallComponentArchive(fs, dialogs, window, copy, settings.product_folder, "*.*", log)) {
      log->Note(what + " could not be installed; no further component is installed");
      return kCodeComponent;
    }
    log->Note(what + " installed");
  }
  return 0;
}

}  // namespace tarvo::install
