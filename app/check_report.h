// "TarvoUpdate /check": the description and the readiness verdicts as text, for administrators
// before a rollout and for black-box tests.
#pragma once

#include <ostream>
#include <string>

#include "platform/services.h"

namespace tarvo::app {

enum class CheckExit { kCanStart = 0, kCannotStart = 1, kNoDescription = 2 };

// Reads the description, runs the start-up evaluation and, when it is ready, the table check
// (transfer mode unless `replace_mode`, or replace mode when start-up forces it). Writes one
// "Name=value" line per item to `out`. No message box is shown.
CheckExit RunCheck(platform::Services& services, const std::string& installer_folder,
                   bool replace_mode, std::ostream& out);

}  // namespace tarvo::app
