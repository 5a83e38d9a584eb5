#include "install/quiet_archive.h"

#include <algorithm>

namespace tarvo::install {

using platform::DialogResult;

DialogResult NoPersonDialogs::ShowMessage(const std::string&, const std::string&,
                                          const std::vector<DialogResult>& buttons,
                                          platform::MessageIcon, DialogResult) {
  for (DialogResult wanted : {DialogResult::kAbort, DialogResult::kNo, DialogResult::kCancel}) {
    if (std::find(buttons.begin(), buttons.end(), wanted) != buttons.end()) return wanted;
  }
  return buttons.empty() ? DialogResult::kOk : buttons.front();
}

bool NoPersonDialogs::InputQuery(const std::string&, const std::string&, std::string&) {
  return false;
}

void StopAtFirstFailure(archive::TZipBaseArchiver& zip, std::string& problem) {
  zip.OnProcessFileFailure = [&problem](archive::TZipBaseArchiver&, const std::string& file,
                                        archive::TZipProcessOperation, int, int,
                                        const std::string& message, archive::TZipAction& action) {
    if (problem.empty()) problem = file + ": " + message;
    action = archive::TZipAction::fxaAbort;
  };
}

}  // namespace tarvo::install
