// "Start.ini" beside the program: the one setting the installer takes from it, the folder the
// backup archives go to. The backup stage, the restore and the update description read it here.
#pragma once

#include <string>

#include "platform/services.h"

namespace tarvo::install {

inline constexpr char kStartIniName[] = "Start.ini";

// The [Backup] Backup_dir value of installer_folder + "Start.ini" as written (UTF-8; section and
// key in any letter case). Empty when the file is absent, larger than 64 MiB or cannot be read
// (a PlatformError), or holds no such value.
std::string ReadStartIniBackupDir(platform::FileSystem& fs, const std::string& installer_folder);

}  // namespace tarvo::install
