// Archive work that asks no one: restores and the update packer run the archive engine where a
// question has no person to answer it, and the first failure ends the operation.
#pragma once

#include <string>
#include <vector>

#include "archive/zip_archiver.h"
#include "platform/services.h"

namespace tarvo::install {

// Answers every question of the engine with the choice that stops (Abort, No, Cancel), and every
// password query with none.
class NoPersonDialogs : public platform::Dialogs {
 public:
  platform::DialogResult ShowMessage(const std::string& text, const std::string& caption,
                                     const std::vector<platform::DialogResult>& buttons,
                                     platform::MessageIcon icon,
                                     platform::DialogResult default_button) override;
  bool InputQuery(const std::string& caption, const std::string& prompt,
                  std::string& value) override;
};

// Lets the first failure of an archive operation end it and keeps its message in `problem`.
void StopAtFirstFailure(archive::TZipBaseArchiver& zip, std::string& problem);

}  // namespace tarvo::install
