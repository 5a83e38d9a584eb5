// Archive work that asks no one: restores and the update packer run the archive engine where a
// question has no person to answer it, and the first failure ends the operation.
#pragma once

#include <exception>
#include <functional>
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

// How an archive is judged whole before it is trusted (a backup to restore, an update's
// component): the callers differ in what they require of the entries and in their wording.
struct WholeArchiveCheck {
  std::string password;  // for the test of encrypted entries
  // Follows an entry's name when a password query comes (the password given does not decrypt it).
  std::string password_problem;
  // The problem when the directory could be read only by the repair scan.
  std::string repaired_problem;
  // The problem when the archive does not open (default: the engine's message).
  std::function<std::string(const std::exception& e)> open_failed;
  // Looks at the directory before anything is tested; a non-empty answer is the problem and
  // nothing is tested.
  std::function<std::string(const archive::TZipDirManager& dir)> inspect;
};

// Opens the archive without the repair scan, inspects its directory and tests every entry; the
// first failure ends it. The problem found, empty when the archive is sound.
std::string CheckWholeArchive(platform::FileSystem& fs, const std::string& path,
                              const WholeArchiveCheck& check);

}  // namespace tarvo::install
