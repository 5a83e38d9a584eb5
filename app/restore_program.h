// TarvoUpdate.exe /RESTORE: the database put back from one of its backup archives, from any
// folder (no update description is needed), with the switches and exit codes of unattended runs.
#pragma once

#include <string>

#include "app/installer_program.h"
#include "app/switches.h"
#include "install/run_log.h"
#include "platform/services.h"

namespace tarvo::app {

// Exit codes of /RESTORE (those of app/switches.h, with these meanings).
inline constexpr int kRestoreDone = kExitSuccess;        // restored, or the list printed
inline constexpr int kRestoreNothing = kExitNotStarted;  // no backup archive to restore from
inline constexpr int kRestoreFailed = kExitRunFailed;    // failed; see the message
inline constexpr int kRestoreRefused = kExitNotReady;    // checks or the archive refused it

// The meaning of a /RESTORE exit code, for the log and the console.
std::string RestoreExitMeaning(int code);

// Runs `switches.restore`; returns the exit code. Boxes go through `services.dialogs` unless the
// switches ask for none.
int RunRestore(platform::Services& services, const std::string& installer_folder,
               const Switches& switches, install::RunLog& log, ProgramFrontEnd& front_end);

}  // namespace tarvo::app
