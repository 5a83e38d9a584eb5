// The table work of stages 2 and 4, behind one interface so that the run's framing is tested on
// its own and the product implementation is plugged in by the program.
#pragma once

#include <memory>
#include <string>

#include "db/catalogue.h"
#include "install/main_window_ops.h"
#include "platform/services.h"

namespace tarvo::install {

class DataStages {
 public:
  virtual ~DataStages() = default;
  virtual void SaveUserData(db::TableCatalogue& tables, const std::string& db_filter,
                            MainWindowOps& window) = 0;
  virtual void SetAsideClassifier(db::TableCatalogue& tables, platform::FileSystem& fs,
                                  const std::string& database_folder, MainWindowOps& window) = 0;
  virtual void RestoreUserData(db::TableCatalogue& tables, MainWindowOps& window) = 0;
  virtual void MergeClassifier(db::TableCatalogue& tables, platform::FileSystem& fs,
                               const std::string& database_folder, MainWindowOps& window) = 0;
  // After stage 4 is committed: the set-aside the merge drained is no longer needed.
  virtual void DropClassifierSetAside(platform::FileSystem&, const std::string&) {}
  // Before anything else of a run: a set-aside that a killed run left between two names is made
  // whole. True when there was one.
  virtual bool RecoverClassifierSetAside(platform::FileSystem&, const std::string&) {
    return false;
  }
};

// The product's own table work; null when this build has none.
std::unique_ptr<DataStages> MakeProductDataStages();

}  // namespace tarvo::install
