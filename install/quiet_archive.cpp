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

std::string CheckWholeArchive(platform::FileSystem& fs, const std::string& path,
                              const WholeArchiveCheck& check) {
  NoPersonDialogs dialogs;
  std::string problem;
  try {
    archive::TZipArchiver zip(fs, dialogs);
    zip.FileName = path;
    zip.RepairOnOpen = false;
    StopAtFirstFailure(zip, problem);
    zip.OnPassword = [&problem, &check](archive::TZipBaseArchiver&, const std::string& file,
                                        std::string&, bool& skip) {
      if (problem.empty()) problem = file + check.password_problem;
      skip = true;
    };
    try {
      zip.OpenArchive(archive::kOpenReadDenyWrite);
    } catch (const std::exception& e) {
      return check.open_failed ? check.open_failed(e) : std::string(e.what());
    }
    if (zip.Directory().repaired) return check.repaired_problem;
    if (check.inspect) {
      std::string why = check.inspect(zip.Directory());
      if (!why.empty()) return why;
    }
    zip.Password = check.password;
    zip.TestFiles("*.*", archive::kFaDefaultSearch);
    if (problem.empty() && zip.LastOperationAborted()) problem = "the test was stopped";
    zip.CloseArchive();
  } catch (const std::exception& e) {
    if (problem.empty()) problem = e.what();
  }
  return problem;
}

}  // namespace tarvo::install
