#include "install/components.h"

#include <exception>

#include "archive/zip_archiver.h"
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
                             const std::string& base_folder, const std::string& mask) {
  try {
    archive::TZipArchiver zip(fs, dialogs);
    zip.FileName = archive_path;
    zip.BaseDir = base_folder;
    zip.OnOverallProgress = [&window](archive::TZipBaseArchiver&, double progress,
                                      archive::TZipProcessOperation, archive::TZipProgressPhase,
                                      bool&) { ShowArchiveProgress(window, progress); };
    zip.OpenArchive(archive::kOpenReadDenyWrite);
    zip.Password = ComponentPassword();
    zip.ExtractFiles(mask, archive::kFaDefaultSearch);
    const bool aborted = zip.LastOperationAborted();
    zip.Password.assign(zip.Password.size(), '\0');
    zip.Password.clear();
    if (aborted) return false;
    zip.CloseArchive();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

int RunComponentStage(platform::FileSystem& fs, platform::Dialogs& dialogs, MainWindowOps& window,
                      const RunSettings& settings) {
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
      if (fs.FileExists(copy)) fs.DeleteFile(copy);
      copied = fs.CopyFileNoOverwrite(settings.installer_folder + file, copy);
    } catch (const platform::PlatformError&) {
    }
    if (!copied && fs.FileExists(copy)) return kCodeComponent;
    if (!InstallComponentArchive(fs, dialogs, window, copy, settings.product_folder, "*.*")) {
      return kCodeComponent;
    }
  }
  return 0;
}

}  // namespace tarvo::install
