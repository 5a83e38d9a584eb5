// tarvo-pack: an update folder made from a description of the update, and the check of an update
// folder before it is shipped.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/services.h"

namespace tarvo::pack {

class PackError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PackComponent {
  std::string Name;
  std::string File;  // the archive's name in the update folder
  bool Check = false;
  bool Enabled = false;
  std::string Source;  // the folder whose files the archive holds
  std::string Mask;    // below Source; stored paths are relative to Source
};

// What the vendor means the update to be. Paths are relative to the description's folder unless
// absolute.
struct PackDescription {
  std::string Caption, BeginText, BackupText, Text;
  bool CheckOpenedSm = true;
  std::string DBFilter;
  std::vector<PackComponent> Components;
  std::string BackupFileName;
  std::vector<std::string> BackupFolders;
  std::vector<std::string> Files;  // copied into the update folder as they are
  std::string Installer;           // TarvoUpdate.exe
};

// Reads a description (UTF-8, or Windows-1251 when it is not valid UTF-8); throws PackError.
PackDescription ReadPackDescription(platform::FileSystem& fs, const std::string& path);

// The update6.ini text for the description, in UTF-8.
std::string Update6Text(const PackDescription& d);

// Writes the update folder `out` (which must be new or empty): update6.ini in code page 1251,
// each component archive encrypted with `password`, the files and the installer. `base` is the
// description's folder, ending with a separator. Throws PackError; nothing half-written is left
// under a final name.
void PackUpdate(platform::FileSystem& fs, const PackDescription& d, const std::string& base,
                const std::string& out, const std::string& password);

struct VerifyReport {
  std::vector<std::string> lines;     // "Name=value", every field as the installer reads it
  std::vector<std::string> problems;  // each a reason the installer would not install it
  bool ok() const { return problems.empty(); }
};

// Checks the update folder as the installer will rely on it.
VerifyReport VerifyUpdate(platform::FileSystem& fs, const std::string& folder,
                          const std::string& password);

}  // namespace tarvo::pack
