// Putting the product database back from one of its dated backup archives: the archive is tested
// and its names checked before anything changes, the current database is first saved into a
// dated archive of its own (so that a restore can be undone), and each database file is then
// replaced whole or not at all. A failure undoes what was done.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "install/run_log.h"
#include "platform/services.h"

namespace tarvo::install {

// The tail of the name of the archive that keeps the database a restore replaced.
inline constexpr char kSafetyBackupTail[] = " до восстановления.zip";

// Start.ini's Backup_dir beside the program when set (used as written), else the product folder
// + "Backup\".
std::string BackupFolderFor(platform::FileSystem& fs, const std::string& product_folder,
                            const std::string& installer_folder);

// The date and time in a name "Архив от DD.MM.YYYY г. [HH-NN]..."; nothing for other names.
std::optional<platform::LocalTime> BackupArchiveTime(const std::string& name);

struct BackupArchive {
  std::string path;
  std::string name;
  platform::LocalTime made;
  uint64_t size = 0;
};

// The dated archives in `folder` (ending with a separator), newest first; archives of the same
// minute by last write time, then by name. Empty when the folder cannot be listed.
std::vector<BackupArchive> FindBackupArchives(platform::FileSystem& fs, const std::string& folder);

struct BackupArchiveTest {
  std::string problem;               // empty when the archive is sound
  std::vector<std::string> files;    // entry names, "\" separators, relative to the product folder
  std::vector<std::string> folders;  // the database folders the entries lie in
  bool sound() const { return problem.empty(); }
};

// Why an archive entry name may not be written below the folder it is extracted into (an absolute
// path, a drive, "..", a device name, a control character, ...); empty when it may.
std::string EntryNameProblem(const std::string& name, bool is_folder);

// Opens the archive without the repair scan, tests every entry, and checks that every name is a
// relative path below a folder, with no ".." and no drive, and that no two name the same file.
BackupArchiveTest TestBackupArchive(platform::FileSystem& fs, const std::string& path);

struct RestoreOutcome {
  enum class State {
    kRestored,  // the database is the archive's
    kRefused,   // the archive is not fit to restore from; nothing changed
    kFailed,    // an operation failed; the database is as it was
    kBroken,    // an operation failed and undoing it failed too: see `message`
  };
  State state = State::kFailed;
  std::string message;
  // The archive holding the database as it was before the restore (kept unless the restore
  // changed nothing).
  std::string safety_archive;
};

// Restores the database folders of `archive_path` below `product_folder`. The safety archive is
// written into `backup_folder` (ending with a separator), named after `clock`'s time. `log` gets
// the steps; the outcome's message is left to the caller to report.
RestoreOutcome RestoreDatabase(platform::FileSystem& fs, platform::Clock& clock,
                               const std::string& product_folder, const std::string& backup_folder,
                               const std::string& archive_path, RunLog& log);

}  // namespace tarvo::install
