// What an installation run needs to know about the update and the installed product, taken from
// the window when the install button is pressed.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tarvo::install {

struct RunSettings {
  std::string installer_folder;  // ends with a backslash
  std::string product_folder;    // ends with a backslash
  std::string database_folder;   // product folder + first backup folder + "\"
  int backup_count = 1;
  std::string backup_file_name;             // tail of the backup archive's name
  std::vector<std::string> backup_folders;  // relative to the product folder, no trailing "\"
  std::string db_filter;
  // Table component name ("Tb_Base8491") -> full path, as bound by the table check.
  std::map<std::string, std::string> table_paths;
  std::string application_title;  // caption of the run's message boxes
};

}  // namespace tarvo::install
