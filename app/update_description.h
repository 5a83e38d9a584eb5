// The update description "update6.ini" and the backup folder override "Start.ini".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/services.h"

namespace tarvo::app {

struct ComponentEntry {
  std::string Name;
  bool Check = false;
  bool Enabled = false;
  std::string File;  // relative to the installer folder
};

inline constexpr int kBackupFolderSlots = 24;

struct UpdateDescription {
  std::string Caption;
  std::string BeginText;
  std::string BackupText;
  std::string Text;
  int32_t ComponentCount = 1;
  bool CheckOpenedSm = true;
  std::string DBFilter;
  std::vector<ComponentEntry> Components;  // component i (from 1) is Components[i - 1]
  int32_t BackupCount = 1;
  std::string BackupFileName;
  // At least kBackupFolderSlots entries; more when BackupCount names more folders.
  std::vector<std::string> BackupFolders = std::vector<std::string>(kBackupFolderSlots);
};

struct DescriptionReadResult {
  UpdateDescription description;
  bool ComponentFileMissing = false;
};

// Reads installer_folder + "update6.ini". For each component whose archive is missing, shows
// "Файл [<File>] не найден!" (caption "Ошибка!") through `dialogs` when it is given. Never fails:
// a missing or malformed value takes its default.
DescriptionReadResult ReadUpdateDescription(platform::FileSystem& fs, platform::Dialogs* dialogs,
                                            const std::string& installer_folder);

// The `Backup_dir` value of installer_folder + "Start.ini", as the backup stage and the restore
// read it (install::ReadStartIniBackupDir): empty when absent or unreadable.
std::string ReadBackupDirOverride(platform::FileSystem& fs, const std::string& installer_folder);

}  // namespace tarvo::app
