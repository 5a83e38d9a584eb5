#include "tests/install/demo_install.h"

#include <algorithm>
#include <stdexcept>

#include "archive/zip_archiver.h"
#include "db/catalogue.h"
#include "db/px_table.h"
#include "db/ttable.h"
#include "install/components.h"
#include "platform/auto_dialogs.h"
#include "text/codepage.h"

namespace tarvo::install::testing {
namespace {

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace

DemoInstall::DemoInstall(platform::FileSystem& fs, const std::string& root_folder,
                         const DemoInstallOptions& options, bool build)
    : root(root_folder + "/"),
      product(root + "product/"),
      installer(root + "installer/"),
      database(product + "Db/"),
      new_product(root + "new/"),
      fs_(fs) {
  if (!build) return;
  demo::WriteDemoDatabase(fs, database, options.old_db);
  demo::WriteUserDataTables(fs, installer);
  demo::WriteDemoDatabase(fs, new_product + "Db/", options.new_db);
  MakeComponent("Base.zip", new_product, "Db\\*.*");
}

void DemoInstall::MakeComponent(const std::string& name, const std::string& source_root,
                                const std::string& mask) {
  platform::AutoDialogs dialogs;
  archive::TZipArchiver zip(fs_, dialogs);
  zip.FileName = installer + name;
  zip.BaseDir = source_root;
  zip.Password = ComponentPassword();
  zip.SetCompressionLevel(archive::TZipCompressionLevel::clFastest);
  zip.OpenArchive(archive::kOpenCreate);
  zip.AddFiles(mask, archive::kFaDefaultSearch, "");
  const bool aborted = zip.LastOperationAborted();
  zip.CloseArchive();
  if (aborted) throw std::runtime_error("Cannot write the component " + name);
}

RunSettings DemoInstall::Settings() const {
  RunSettings s;
  s.installer_folder = installer;
  s.product_folder = product;
  s.database_folder = product + "Db\\";
  s.backup_count = 1;
  s.backup_file_name = " Tarvo 7.zip";
  s.backup_folders = {"Db"};
  s.db_filter = "YEAR = '04'";
  s.application_title = "Tarvo Update";
  for (const db::CatalogueEntry& e : db::CatalogueEntries()) {
    const std::string component = e.component;
    if (component == "_Tb_Kl_spr" || component == "Tb_Kl_Group") continue;  // bound by the run
    s.table_paths[component] =
        (e.folder == db::TableFolder::kDatabase ? s.database_folder : installer) + e.file;
  }
  return s;
}

std::map<std::string, std::vector<std::string>> TableFamilies(platform::FileSystem& fs,
                                                              const std::string& folder) {
  std::map<std::string, std::vector<std::string>> stems;
  std::map<std::string, std::string> spelled;  // lower-case stem -> the .db file's spelling
  const auto entries = fs.List(folder, "*");
  for (const auto& e : entries) {
    if (e.attributes & platform::kAttrDirectory) continue;
    const std::string lower = Lower(e.name);
    if (lower.size() > 3 && lower.compare(lower.size() - 3, 3, ".db") == 0)
      spelled[lower.substr(0, lower.size() - 3)] = e.name.substr(0, e.name.size() - 3);
  }
  for (const auto& e : entries) {
    if (e.attributes & platform::kAttrDirectory) continue;
    const std::string lower = Lower(e.name);
    const size_t dot = lower.rfind('.');
    if (dot == std::string::npos) continue;
    auto it = spelled.find(lower.substr(0, dot));
    if (it != spelled.end()) stems[it->second].push_back(e.name);
  }
  for (auto& [stem, files] : stems) std::sort(files.begin(), files.end());
  return stems;
}

Records ReadRecords(platform::FileSystem& fs, const std::string& folder,
                    const std::string& prefix) {
  Records out;
  db::TTable master(fs);
  master.SetTableName(folder + prefix + "Base8491.db");
  master.Open();
  for (master.First(); !master.Eof(); master.Next()) {
    RecordSet& r = out[master.FieldByName("NOBOSN").AsString()];
    r.obosn = master.FieldByName("OBOSN").AsString();
    r.naimr = master.FieldByName("NAIMR").AsString();
    r.year = master.FieldByName("YEAR").AsString();
  }
  master.Close();
  const char* details[] = {"Link8491.db", "Link_mex.db", "W_list.db"};
  for (int d = 0; d < 3; ++d) {
    db::TTable detail(fs);
    detail.SetTableName(folder + prefix + details[d]);
    detail.Open();
    for (detail.First(); !detail.Eof(); detail.Next()) {
      auto it = out.find(detail.FieldByName("NOBOSN").AsString());
      if (it == out.end()) continue;  // an orphan row belongs to no record
      it->second.details[d].push_back(detail.FieldByName("KOD").AsString() + "|" +
                                      detail.FieldByName("Q").AsString() + "|" +
                                      detail.FieldByName("NOTE").AsString());
    }
    detail.Close();
  }
  for (auto& [key, r] : out)
    for (auto& d : r.details) std::sort(d.begin(), d.end());
  return out;
}

Classifier ReadClassifier(platform::FileSystem& fs, const std::string& path) {
  Classifier out;
  db::TTable t(fs);
  t.SetTableName(path);
  t.Open();
  for (t.First(); !t.Eof(); t.Next()) {
    out[t.FieldByName("Kod").AsString()] = {
        t.FieldByName("NAME").AsString(), t.FieldByName("YEAR").AsString(),
        static_cast<long>(t.FieldByName("Group_kod").AsInteger())};
  }
  t.Close();
  return out;
}

Records UsersOnly(const Records& all) {
  Records out;
  for (const auto& [key, r] : all)
    if (!key.empty() && key[0] == 'U') out[key] = r;
  return out;
}

Classifier UsersOnly(const Classifier& all) {
  Classifier out;
  for (const auto& [kod, row] : all)
    if (row.year == "04") out[kod] = row;
  return out;
}

std::set<std::string> GroupNames(platform::FileSystem& fs, const std::string& path) {
  std::set<std::string> names;
  db::TTable t(fs);
  t.SetTableName(path);
  t.Open();
  for (t.First(); !t.Eof(); t.Next()) names.insert(t.FieldByName("Name").AsString());
  t.Close();
  return names;
}

std::string CheckTable(platform::FileSystem& fs, const std::string& path) {
  try {
    auto table = db::PxTable::Open(fs, path, db::PxTable::Mode::kRead);
    std::string problems;
    for (const std::string& p : table->Check()) problems += p + "; ";
    table->Close();
    return problems;
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::string TestAndExtract(platform::FileSystem& fs, const std::string& archive_path,
                           const std::string& folder) {
  platform::AutoDialogs dialogs;
  std::string complaint;
  try {
    archive::TZipArchiver zip(fs, dialogs);
    zip.FileName = archive_path;
    zip.BaseDir = folder;
    zip.OnProcessFileFailure = [&complaint](archive::TZipBaseArchiver&, const std::string& name,
                                            archive::TZipProcessOperation, int, int,
                                            const std::string& message,
                                            archive::TZipAction& action) {
      complaint += name + ": " + message + "; ";
      action = archive::TZipAction::fxaIgnore;
    };
    zip.OpenArchive(archive::kOpenReadDenyWrite);
    zip.TestFiles("*.*", archive::kFaDefaultSearch);
    if (complaint.empty()) zip.ExtractFiles("*.*", archive::kFaDefaultSearch);
    zip.CloseArchive();
  } catch (const std::exception& e) {
    complaint += e.what();
  }
  return complaint;
}

std::string HostPath(const std::string& path) {
#ifdef _WIN32
  return path;
#else
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
#endif
}

}  // namespace tarvo::install::testing
