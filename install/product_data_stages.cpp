#include "install/classifier.h"
#include "install/data_stages.h"
#include "install/user_data.h"

namespace tarvo::install {
namespace {

class ProductDataStages : public DataStages {
 public:
  void SaveUserData(db::TableCatalogue& tables, const std::string& db_filter,
                    MainWindowOps& window) override {
    install::SaveUserData(tables, db_filter, window);
  }
  void SetAsideClassifier(db::TableCatalogue& tables, platform::FileSystem& fs,
                          const std::string& database_folder, MainWindowOps& window) override {
    install::SetAsideClassifier(tables, fs, database_folder, window);
  }
  void RestoreUserData(db::TableCatalogue& tables, MainWindowOps& window) override {
    install::RestoreUserData(tables, window);
  }
  void MergeClassifier(db::TableCatalogue& tables, platform::FileSystem& fs,
                       const std::string& database_folder, MainWindowOps& window) override {
    install::MergeClassifier(tables, fs, database_folder, window);
  }
  void DropClassifierSetAside(platform::FileSystem& fs,
                              const std::string& database_folder) override {
    install::DropClassifierSetAside(fs, database_folder);
  }
  bool RecoverClassifierSetAside(platform::FileSystem& fs,
                                 const std::string& database_folder) override {
    return install::RecoverClassifierSetAside(fs, database_folder);
  }
};

}  // namespace

std::unique_ptr<DataStages> MakeProductDataStages() {
  return std::make_unique<ProductDataStages>();
}

}  // namespace tarvo::install
