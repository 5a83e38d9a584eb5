// A small installation on disk for whole-run tests, the fault sweep and the benchmark: a product
// folder with the old demo database (users' records included), an installer folder with the empty
// user data tables and component archives encrypted with the build's password, one of which
// ("Base.zip") carries the new database.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "install/run_settings.h"
#include "platform/auto_dialogs.h"
#include "platform/services.h"
#include "tests/install/recording_window.h"
#include "tools/demo_database.h"

namespace tarvo::install::testing {

struct DemoInstallOptions {
  demo::DemoDatabaseOptions old_db{60, 12, false, 16, 40};
  demo::DemoDatabaseOptions new_db{40, 0, true, 16, 40};
};

// One record of a master table with the detail rows linked to it, as text, for comparing the
// same record across databases.
struct RecordSet {
  std::string obosn, naimr, year;
  // Per detail table, sorted "KOD|Q|NOTE" lines.
  std::vector<std::string> details[3];
  bool operator==(const RecordSet&) const = default;
};
using Records = std::map<std::string, RecordSet>;  // by NOBOSN

struct ClassifierRow {
  std::string name, year;
  long group = 0;
  bool operator==(const ClassifierRow&) const = default;
};
using Classifier = std::map<std::string, ClassifierRow>;  // by Kod

class DemoInstall {
 public:
  // Lays the demo out below `root` (an existing, empty folder); with `build` off, names the
  // folders of a demo laid out there before (or copied there).
  DemoInstall(platform::FileSystem& fs, const std::string& root,
              const DemoInstallOptions& options = {}, bool build = true);

  // Writes an encrypted component archive `name` in the installer folder holding the files
  // below `source_root` that match `mask` (stored relative to `source_root`).
  void MakeComponent(const std::string& name, const std::string& source_root,
                     const std::string& mask);

  RunSettings Settings() const;

  std::string root, product, installer, database;  // folders, each ending with "/"
  std::string new_product;                         // the layout that Base.zip was made of

 private:
  platform::FileSystem& fs_;
};

// Table families of a folder by stem ("Base8491"), each with the names of its files.
std::map<std::string, std::vector<std::string>> TableFamilies(platform::FileSystem& fs,
                                                              const std::string& folder);

// The master records and their detail rows of the tables `prefix`Base8491 ... in `folder`.
Records ReadRecords(platform::FileSystem& fs, const std::string& folder,
                    const std::string& prefix = "");
Classifier ReadClassifier(platform::FileSystem& fs, const std::string& path);
// Records whose NOBOSN starts with "U": the users' own in the demo.
Records UsersOnly(const Records& all);
Classifier UsersOnly(const Classifier& all);  // YEAR "04"
// Names of the groups table's rows.
std::set<std::string> GroupNames(platform::FileSystem& fs, const std::string& path);
// Problems the table engine's check finds in the family of `path` ("" when sound).
std::string CheckTable(platform::FileSystem& fs, const std::string& path);

// Extracts the backup archive below `folder` and tests it; returns the archive engine's
// complaint, or "" when every entry tested sound.
std::string TestAndExtract(platform::FileSystem& fs, const std::string& archive_path,
                           const std::string& folder);

// The path as the host's own tools spell it ("/" for "\" on POSIX).
std::string HostPath(const std::string& path);

}  // namespace tarvo::install::testing
