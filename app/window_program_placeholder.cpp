#include <string>
#include <vector>

#include "platform/services.h"

// The window front end arrives with the main window; until then the program says so.
int RunWindowProgram(tarvo::platform::Services& services, const std::string&,
                     const std::vector<std::string>&) {
  services.dialogs->MessageBox("Tarvo Update: use /check", "Tarvo Update",
                               {tarvo::platform::DialogResult::kOk},
                               tarvo::platform::MessageIcon::kInformation);
  return 1;
}
