#include "install/classifier.h"

#include <exception>
#include <stdexcept>
#include <vector>

#include "db/family_journal.h"
#include "install/install_error.h"
#include "platform/best_effort.h"

namespace tarvo::install {
namespace {

const char* const kExtensions[] = {".db", ".px", ".XG0", ".YG0"};
// The copy is pruned under a name of its own, so that a failure half-way leaves both the
// product's classifier and any earlier set-aside untouched.
const char* const kStagingStem = "_Kl_spr_new";

void DeleteFamily(platform::FileSystem& fs, const std::string& folder, const std::string& stem) {
  for (const char* ext : kExtensions)
    (void)fs.DeleteFileAt(folder + stem + ext);  // result not examined
}

void CopyFamily(platform::FileSystem& fs, const std::string& folder, const std::string& from,
                const std::string& to) {
  for (const char* ext : kExtensions) {
    const std::string source = folder + from + ext;
    if (!fs.FileExists(source)) continue;  // a family without its secondary index
    if (!fs.CopyFileNoOverwrite(source, folder + to + ext))
      throw InstallError("Cannot copy the classifier file " + source);
  }
}

// Deletes a family table file first; when that fails the family is left whole rather than
// as a table without its indexes.
void DeleteFamilyTableFirst(platform::FileSystem& fs, const std::string& folder,
                            const std::string& stem) {
  const std::string table = folder + stem + kExtensions[0];
  if (fs.FileExists(table) && !fs.DeleteFileAt(table)) return;
  for (const char* ext : kExtensions) (void)fs.DeleteFileAt(folder + stem + ext);
}

// Moves the staged family over the set-aside. The table file goes first, in one replacing
// step: that is the commit. A run that dies after it finds the staging table gone and its
// companions still there, and moves those too (RecoverClassifierSetAside); one that dies before
// it finds the staging table and drops the staging, the old set-aside being untouched.
void MoveStagingFamily(platform::FileSystem& fs, const std::string& folder) {
  // A companion the staging lacks would not belong to the moved table.
  for (const char* ext : kExtensions) {
    if (ext == kExtensions[0] || fs.FileExists(folder + kStagingStem + ext)) continue;
    const std::string old = folder + "_Kl_spr" + ext;
    if (fs.FileExists(old) && !fs.DeleteFileAt(old))
      throw InstallError("Cannot delete the classifier file " + old);
  }
  const std::string table = folder + kStagingStem + kExtensions[0];
  if (!fs.ReplaceFile(table, folder + "_Kl_spr" + kExtensions[0]))
    throw InstallError("Cannot rename the classifier file " + table);
  try {
    RecoverClassifierSetAside(fs, folder);
  } catch (...) {
    // The move is committed and only goes forward: one more try leaves the family whole now
    // rather than at the next run's start; the run still fails with the first error.
    platform::BestEffort("the run fails with the first error either way",
                         [&] { RecoverClassifierSetAside(fs, folder); });
    throw;
  }
}

// Runs the work, then closes the tables whatever happened; the work's error wins.
template <typename Work>
void ClosingAfter(std::initializer_list<db::TTable*> tables, Work work) {
  std::exception_ptr error;
  try {
    work();
  } catch (...) {
    error = std::current_exception();
  }
  db::CloseTables(tables, error);
}

// Appends every row of `from` whose Kod `to` lacks; `group` overrides the row's group when >= 0.
void AddMissingRows(db::TTable& from, db::TTable& to, int group) {
  from.First();
  while (!from.Eof()) {
    const std::string kod = from.FieldByName("Kod").AsString();
    if (!to.Locate("Kod", db::Variant::String(kod), true)) {
      to.Append();
      to.FieldByName("Kod").SetAsString(kod);
      to.FieldByName("NAME").SetAsString(from.FieldByName("NAME").AsString());
      to.FieldByName("YEAR").SetAsString(from.FieldByName("YEAR").AsString());
      if (group >= 0)
        to.FieldByName("Group_kod").SetAsInteger(group);
      else
        to.FieldByName("Group_kod").SetAsVariant(from.FieldByName("Group_kod").AsVariant());
      to.Post();
    }
    from.Next();
  }
}

}  // namespace

void SetAsideClassifier(db::TableCatalogue& tables, platform::FileSystem& fs,
                        const std::string& database_folder, MainWindowOps& window) {
  const std::string& folder = database_folder;
  tables.Tb_Kl_Spr.Close();  // the copy must see the files as they are on disk
  RecoverClassifierSetAside(fs, folder);
  DeleteFamily(fs, folder, kStagingStem);

  db::TTable staging(fs, kStagingStem);
  try {
    CopyFamily(fs, folder, "Kl_spr", kStagingStem);
    staging.SetTableName(folder + kStagingStem + ".db");
    staging.SetIndexName(tables.Tb_Kl_Spr.IndexName());
    ClosingAfter({&staging, &tables._Tb_Kl_spr}, [&] {
      staging.Open();
      staging.First();
      while (!staging.Eof()) {
        if (staging.FieldByName("YEAR").AsString() != "04")
          staging.Delete();
        else
          staging.Next();
      }
      // A set-aside left by a merge that failed holds rows that may exist nowhere else now.
      if (fs.FileExists(folder + "_Kl_spr.db")) {
        tables.BindPath("_Tb_Kl_spr", folder);
        tables._Tb_Kl_spr.Open();
        AddMissingRows(tables._Tb_Kl_spr, staging, -1);
      }
    });
  } catch (...) {
    // A half-made copy is of no use and would only confuse a later look at the folder.
    DeleteFamily(fs, folder, kStagingStem);
    throw;
  }
  MoveStagingFamily(fs, folder);
}

bool RecoverClassifierSetAside(platform::FileSystem& fs, const std::string& database_folder) {
  const std::string& folder = database_folder;
  bool any = false;
  for (const char* ext : kExtensions) any = any || fs.FileExists(folder + kStagingStem + ext);
  if (!any) return false;
  if (fs.FileExists(folder + kStagingStem + kExtensions[0])) {
    // Not moved yet: a copy or a pruning that did not finish, or one finished just before the
    // move. The set-aside is as it was; the next set-aside makes the staging again.
    DeleteFamily(fs, folder, kStagingStem);
    for (const char* ext : kExtensions)
      if (fs.FileExists(folder + kStagingStem + ext))
        throw InstallError("Cannot delete the classifier file " + folder + kStagingStem + ext);
    return true;
  }
  for (const char* ext : kExtensions) {
    const std::string source = folder + kStagingStem + ext;
    if (fs.FileExists(source) && !fs.ReplaceFile(source, folder + "_Kl_spr" + ext))
      throw InstallError("Cannot rename the classifier file " + source);
  }
  return true;
}

void DropClassifierSetAside(platform::FileSystem& fs, const std::string& database_folder) {
  DeleteFamilyTableFirst(fs, database_folder, "_Kl_spr");
}

void MergeClassifier(db::TableCatalogue& tables, platform::FileSystem& fs,
                     const std::string& database_folder, MainWindowOps& window) {
  const std::string& folder = database_folder;
  RecoverClassifierSetAside(fs, folder);
  if (fs.FileExists(folder + "_Kl_spr.db")) {
    tables.BindPath("_Tb_Kl_spr", folder);
    ClosingAfter({&tables.Tb_Kl_Spr, &tables._Tb_Kl_spr}, [&] {
      tables.Tb_Kl_Spr.Open();
      tables._Tb_Kl_spr.Open();
      AddMissingRows(tables._Tb_Kl_spr, tables.Tb_Kl_Spr, kUsersGroupCode);
    });
    // Within a stage that commits later, the set-aside must outlive the commit: the merge may
    // still be rolled back.
    if (!db::JournalSet::Active()) DeleteFamilyTableFirst(fs, folder, "_Kl_spr");
  }
  tables.BindPath("Tb_Kl_Group", folder);
  db::TTable& groups = tables.Tb_Kl_Group;
  ClosingAfter({&groups}, [&] {
    groups.Open();
    if (!groups.Locate("Name", db::Variant::String(kUsersGroupName), true)) {
      groups.Append();
      groups.FieldByName("Group_kod").SetAsInteger(kUsersGroupCode);
      groups.FieldByName("Name").SetAsString(kUsersGroupName);
      groups.Post();
    }
  });
}

}  // namespace tarvo::install
