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
  zip.SetEntryFailureNote(
      [&problem](const std::string& file, const std::string& message, const std::string& reason) {
        if (problem.empty())
          problem = file + ": " + message + (reason.empty() ? "" : " (" + reason + ")");
      });
  zip.OnProcessFileFailure = [](archive::TZipBaseArchiver&, const std::string&,
                                archive::TZipProcessOperation, int, int, const std::string&,
                                archive::TZipAction& action) {
    action = archive::TZipAction::fxaAbort;
  };
}

}  // namespace tarvo::install
