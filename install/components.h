// Stage 3: the checked component archives copied into the product folder and extracted there.
#pragma once

#include <string>

#include "install/main_window_ops.h"
#include "install/run_log.h"
#include "install/run_settings.h"
#include "platform/services.h"

namespace tarvo::install {

// The password of the component archives, joined from its pieces.
std::string ComponentPassword();

// Extracts the entries of `mask` below `base_folder`. False on any error, when the user answered
// Abort or the extraction was cancelled, and, before anything is extracted, for an archive that
// is not whole: without entries, with overlapping entries, or readable only by the repair scan.
bool InstallComponentArchive(platform::FileSystem& fs, platform::Dialogs& dialogs,
                             MainWindowOps& window, const std::string& archive_path,
                             const std::string& base_folder, const std::string& mask,
                             RunLog* log = nullptr);

// Installs the checked components in list order; returns 0, or kCodeComponent at the first that
// fails (the rest are left alone).
int RunComponentStage(platform::FileSystem& fs, platform::Dialogs& dialogs, MainWindowOps& window,
                      const RunSettings& settings, RunLog* log = nullptr);

}  // namespace tarvo::install
