// TarvoUpdate.exe /RESTORE: the database put back from one of its backup archives, from any
// folder (no update description is needed), with the switches and exit codes of unattended runs.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/switches.h"
#include "install/run_log.h"
#include "platform/services.h"

namespace tarvo::app {

class ProgramFrontEnd;

// Exit codes of /RESTORE (those of app/switches.h, with these meanings).
inline constexpr int kRestoreDone = kExitSuccess;        // restored, or the list printed
inline constexpr int kRestoreNothing = kExitNotStarted;  // no backup archive to restore from
inline constexpr int kRestoreFailed = kExitRunFailed;    // failed; see the message
inline constexpr int kRestoreRefused = kExitNotReady;    // checks or the archive refused it

// What the window adds to its failure text: which backup archive holds the database as it was
// before the run, and how to put it back.
class BackupHint {
 public:
  // Remembers the backup archives there are before the run.
  void BeforeRun(platform::FileSystem& fs, const std::string& product_folder,
                 const std::string& installer_folder);
  // The text for a run that ended with `code` (not 0); empty when there is nothing to say.
  std::string AfterFailure(platform::FileSystem& fs, int code) const;

 private:
  std::string folder_;  // empty: the run never started
  std::vector<std::pair<std::string, uint64_t>> before_;
};

// The meaning of a /RESTORE exit code, for the log and the console.
std::string RestoreExitMeaning(int code);

// Runs `switches.restore`; returns the exit code. Boxes go through `services.dialogs` unless the
// switches ask for none.
int RunRestore(platform::Services& services, const std::string& installer_folder,
               const Switches& switches, install::RunLog& log, ProgramFrontEnd& front_end);

}  // namespace tarvo::app
