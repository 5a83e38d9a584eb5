// The command line of TarvoUpdate.exe, as administrators script it: "/" or "-", any letter case.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarvo::app {

// Exit codes of the program, for scripts that roll an update out.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitCannotStart = 1;  // no update6.ini, bad switches, log not creatable
inline constexpr int kExitNotStarted = 2;   // a switch is missing, or nothing was installed
inline constexpr int kExitRunFailed = 4;    // the installation failed during the run
inline constexpr int kExitAborted = 5;      // an Abort answer ended the run
inline constexpr int kExitNotReady = 7;     // the readiness checks refused the installation

enum class Display { kWindow, kSilent, kVerySilent };
enum class ModeSwitch { kNone, kTransfer, kReplace };
enum class LogSwitch { kNone, kTempFolder, kFile };
// "/RESTORE": the newest backup; "/RESTORE=list"; "/RESTORE=\"archive\"": that one.
enum class RestoreSwitch { kNone, kNewest, kList, kArchive };

struct Switches {
  Display display = Display::kWindow;
  ModeSwitch mode = ModeSwitch::kNone;
  // List positions from 1, in the order given; absent: the description's own check marks.
  std::optional<std::vector<int>> components;
  bool suppress_message_boxes = false;
  LogSwitch log = LogSwitch::kNone;
  std::string log_file;  // with LogSwitch::kFile, as given
  bool help = false;
  // "/check[=transfer|=replace]": the verdicts as text, nothing installed.
  bool check = false;
  bool check_replace = false;
  // Words that are no switch (a file name handed over by a shortcut, ...): the window ignores
  // them.
  std::vector<std::string> ignored;
  RestoreSwitch restore = RestoreSwitch::kNone;
  std::string restore_archive;  // with RestoreSwitch::kArchive, as given

  bool Unattended() const { return display != Display::kWindow; }
  // Nothing given at all: the program behaves as it always has.
  bool None() const {
    return display == Display::kWindow && mode == ModeSwitch::kNone && !components &&
           !suppress_message_boxes && log == LogSwitch::kNone && !help && !check &&
           restore == RestoreSwitch::kNone;
  }
};

struct SwitchParse {
  Switches switches;
  std::string error;      // empty when the command line is good
  std::string error_box;  // the same in Russian, for the message box of the window program
  bool ok() const { return error.empty(); }
};

SwitchParse ParseSwitches(const std::vector<std::string>& args);

// Whether the raw arguments ask for no window or no message boxes; used to report a command line
// that does not parse without putting a box in front of nobody.
bool ArgumentsAskForQuiet(const std::vector<std::string>& args);

// The text of /? and /HELP: English on the console, Russian in the window program's box.
std::string UsageText();
std::string UsageBoxText();

}  // namespace tarvo::app
