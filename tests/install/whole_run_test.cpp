// Whole installation runs with the product's own table work on a small demo: the table engine,
// the archive engine and the real file system, the window faked.
#include <gtest/gtest.h>

#include <memory>

#include "db/px_table.h"
#include "install/backup.h"
#include "install/classifier.h"
#include "install/installer_run.h"
#include "install/user_data.h"
#include "platform/auto_dialogs.h"
#include "tests/archive/zip_test_util.h"
#include "tests/install/demo_install.h"
#include "tests/install/faulty_fs.h"
#include "tests/platform/set_clock.h"

namespace tarvo::install {
namespace {

using archive::testing::ReadFileBytes;
using archive::testing::ScratchDir;
using archive::testing::WriteFileBytes;
using platform::DialogResult;
using testing::Classifier;
using testing::DemoInstall;
using testing::FaultyFileSystem;
using testing::RecordingWindow;
using testing::Records;

class WholeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    demo = std::make_unique<DemoInstall>(*real, scratch.path());
    settings = demo->Settings();
    window.components = {{true, "Base.zip"}};
    window.dialogs = &dialogs;
    old_records = testing::ReadRecords(*real, demo->database);
    old_classifier = testing::ReadClassifier(*real, demo->database + "Kl_spr.db");
    new_records = testing::ReadRecords(*real, demo->new_product + "Db/");
    new_classifier = testing::ReadClassifier(*real, demo->new_product + "Db/Kl_spr.db");
  }

  int Run(platform::FileSystem& fs) {
    run = std::make_unique<InstallerRun>(
        fs, dialogs, clock, [this] { return settings; }, MakeProductDataStages());
    return run->Run(window);
  }
  int Run() { return Run(*real); }

  std::string BackupPath() const {
    return demo->product + "Backup\\" + BackupArchiveName(clock.now, settings.backup_file_name);
  }

  // Every table family in the database folder passes the table check.
  void ExpectSoundTables() {
    for (const auto& [stem, files] : testing::TableFamilies(*real, demo->database)) {
      EXPECT_EQ(testing::CheckTable(*real, demo->database + stem + ".db"), "") << stem;
    }
  }

  bool AllTablesClosed() {
    db::TableCatalogue& t = run->tables();
    for (const db::CatalogueEntry& e : db::CatalogueEntries())
      if (t.Table(e.component)->Active()) return false;
    return true;
  }

  ScratchDir scratch;
  platform::Services services = platform::MakeSystemServices();
  platform::FileSystem* real = services.fs.get();
  platform::AutoDialogs dialogs;
  platform::testing::SetClock clock{{2026, 12, 9, 10, 30, 0, 0, 3}};
  RecordingWindow window;
  std::unique_ptr<DemoInstall> demo;
  RunSettings settings;
  std::unique_ptr<InstallerRun> run;
  Records old_records, new_records;
  Classifier old_classifier, new_classifier;
};

TEST_F(WholeRun, TransferModeCarriesTheUsersRecordsAndClassifierRowsIntoTheNewDatabase) {
  const Records users = testing::UsersOnly(old_records);
  const Classifier user_rows = testing::UsersOnly(old_classifier);
  ASSERT_EQ(users.size(), 12u);
  ASSERT_EQ(user_rows.size(), 2u);

  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(window.result, 0);
  EXPECT_TRUE(window.Logged("tick 4"));
  ASSERT_EQ(dialogs.shown().size(), 1u);
  EXPECT_EQ(dialogs.shown()[0].text, kRestoreNotice);

  // The new database: its own records, and the users' with every detail row and memo.
  Records expected = new_records;
  for (const auto& [key, r] : users) expected[key] = r;
  EXPECT_EQ(testing::ReadRecords(*real, demo->database), expected);
  // The saved copy in the user data tables is the users' records alone.
  EXPECT_EQ(testing::ReadRecords(*real, demo->installer, "U_"), users);

  // The classifier: the new one plus the users' rows, filed under the users' group.
  Classifier classifier = new_classifier;
  for (auto [kod, row] : user_rows) {
    row.group = kUsersGroupCode;
    classifier[kod] = row;
  }
  EXPECT_EQ(testing::ReadClassifier(*real, demo->database + "Kl_spr.db"), classifier);
  EXPECT_EQ(testing::GroupNames(*real, demo->database + "Kl_Group.db").count(kUsersGroupName), 1u);
  EXPECT_FALSE(real->FileExists(demo->database + "_Kl_spr.db"));
  ExpectSoundTables();
  EXPECT_TRUE(AllTablesClosed());

  // The backup holds the old database, sound.
  ASSERT_TRUE(real->FileExists(BackupPath()));
  EXPECT_EQ(testing::TestAndExtract(*real, BackupPath(), demo->root + "restored/"), "");
  EXPECT_EQ(testing::ReadRecords(*real, demo->root + "restored/Db/"), old_records);
  if (archive::testing::HaveTool("unzip")) {
    EXPECT_EQ(archive::testing::Run("unzip -tqq '" + testing::HostPath(BackupPath()) + "'"), 0);
  }
  EXPECT_TRUE(real->FileExists(demo->product + "Base.zip"));
}

TEST_F(WholeRun, ReplaceModeInstallsTheNewDatabaseAsDelivered) {
  window.ChooseTransfer(false);
  dialogs.QueueAnswer(DialogResult::kYes);
  EXPECT_EQ(Run(), 0);
  ASSERT_EQ(dialogs.shown().size(), 1u);
  EXPECT_EQ(dialogs.shown()[0].text, kReplaceWarning);
  EXPECT_FALSE(window.Logged("stage 2 on"));
  EXPECT_FALSE(window.Logged("stage 4 on"));
  EXPECT_EQ(testing::ReadRecords(*real, demo->database), new_records);
  EXPECT_EQ(testing::ReadClassifier(*real, demo->database + "Kl_spr.db"), new_classifier);
  EXPECT_TRUE(testing::ReadRecords(*real, demo->installer, "U_").empty());
  EXPECT_EQ(testing::TestAndExtract(*real, BackupPath(), demo->root + "restored/"), "");
  ExpectSoundTables();
}

TEST_F(WholeRun, BackupFolderThatCannotBeMadeOpensNoTableAndCopiesNothing) {
  WriteFileBytes(demo->product + "Backup", "a file where the folder goes");
  const std::string kl_before = ReadFileBytes(demo->database + "Kl_spr.db");
  FaultyFileSystem watching(*real);
  watching.record = true;
  EXPECT_EQ(Run(watching), kCodeBackupFolder);
  EXPECT_EQ(window.log, (std::vector<std::string>{"lock", "panel", "result failed"}));
  for (const auto& op : watching.ops) {
    EXPECT_NE(op.kind, "open") << op.path;
    EXPECT_NE(op.kind, "copy") << op.path;
  }
  EXPECT_FALSE(real->FileExists(demo->product + "Base.zip"));
  EXPECT_EQ(ReadFileBytes(demo->database + "Kl_spr.db"), kl_before);
  EXPECT_EQ(testing::ReadRecords(*real, demo->database), old_records);
}

TEST_F(WholeRun, SecondOfThreeComponentsFailingStillRestoresTheUsersRecords) {
  (void)real->CreateDirectories(demo->root + "forms/Forms");
  WriteFileBytes(demo->root + "forms/Forms/estimate.frm", "form");
  demo->MakeComponent("Forms.zip", demo->root + "forms/", "Forms\\*.*");
  WriteFileBytes(demo->installer + "Broken.zip", "no archive at all");
  window.components = {{true, "Base.zip"}, {true, "Broken.zip"}, {true, "Forms.zip"}};

  EXPECT_EQ(Run(), kCodeComponent);
  EXPECT_EQ(window.result, kCodeComponent);
  EXPECT_FALSE(real->FileExists(demo->product + "Forms.zip"));
  EXPECT_FALSE(real->FileExists(demo->product + "Forms/estimate.frm"));
  ASSERT_EQ(dialogs.shown().size(), 1u);
  EXPECT_EQ(dialogs.shown()[0].text, kRestoreNotice);
  EXPECT_TRUE(window.Logged("tick 4"));
  // Stage 4 ran on the database that the first component installed.
  Records expected = new_records;
  for (const auto& [key, r] : testing::UsersOnly(old_records)) expected[key] = r;
  EXPECT_EQ(testing::ReadRecords(*real, demo->database), expected);
  ExpectSoundTables();
}

TEST_F(WholeRun, EmptyFilterSavesEveryRecordAndRestoresThoseTheNewDatabaseLacks) {
  settings.db_filter = "";
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(testing::ReadRecords(*real, demo->installer, "U_"), old_records);
  // New records win over old ones of the same key or code; the rest of the old come along.
  Records expected = old_records;
  for (const auto& [key, r] : new_records) expected[key] = r;
  EXPECT_EQ(testing::ReadRecords(*real, demo->database), expected);
  ExpectSoundTables();
}

TEST_F(WholeRun, FilterWithoutRecordsEmptiesTheUserTablesAndAddsNothing) {
  // A record left in the user data tables by an earlier run must not travel.
  {
    db::TTable stale(*real);
    stale.SetTableName(demo->installer + "U_Base8491.db");
    stale.Open();
    stale.Append();
    stale.FieldByName("NOBOSN").SetAsString("STALE");
    stale.FieldByName("OBOSN").SetAsString("S-1");
    stale.Post();
    stale.Close();
  }
  settings.db_filter = "YEAR = '99'";
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(testing::ReadRecords(*real, demo->installer, "U_").empty());
  EXPECT_EQ(testing::ReadRecords(*real, demo->database), new_records);
}

TEST_F(WholeRun, TableErrorDuringTheSaveClosesTablesThenShowsTheErrorAfterTheResult) {
  // A user data table short of the detail fields: the first detail row cannot be copied.
  db::TableSpec shape;
  shape.fields = {{"N", db::FieldType::kAutoInc, 0}, {"NOBOSN", db::FieldType::kAlpha, 20}};
  shape.key_fields = 1;
  shape.indexes = {{"link8491_1", {"NOBOSN"}}};
  for (const auto& [stem, files] : testing::TableFamilies(*real, demo->installer))
    if (stem == "U_Link8491")
      for (const auto& f : files) (void)real->DeleteFileAt(demo->installer + f);
  db::PxTable::Create(*real, demo->installer + "U_Link8491.db", shape);
  const std::string kl_before = ReadFileBytes(demo->database + "Kl_spr.db");

  EXPECT_EQ(Run(), kCodeError);
  EXPECT_EQ(window.log.back(), "result failed");
  EXPECT_FALSE(window.Logged("stage 3 on"));
  EXPECT_TRUE(AllTablesClosed());
  EXPECT_FALSE(run->tables().Tb_Base8491.Filtered());
  // The error's own box comes after the failure is on the window.
  ASSERT_EQ(dialogs.shown().size(), 1u);
  EXPECT_EQ(window.dialogs_at_result, 0u);
  EXPECT_EQ(dialogs.shown()[0].icon, platform::MessageIcon::kError);
  EXPECT_FALSE(dialogs.shown()[0].text.empty());
  // Nothing of the product changed.
  EXPECT_FALSE(real->FileExists(demo->product + "Base.zip"));
  EXPECT_EQ(testing::ReadRecords(*real, demo->database), old_records);
  EXPECT_EQ(ReadFileBytes(demo->database + "Kl_spr.db"), kl_before);
}

TEST_F(WholeRun, ProductClassifierSurvivesARunThatStopsBeforeTheNewDatabaseArrives) {
  // The database component is no archive: stage 3 fails at once, stage 4 runs on the old tables.
  WriteFileBytes(demo->installer + "Base.zip", "damaged in transit");
  EXPECT_EQ(Run(), kCodeComponent);
  EXPECT_EQ(testing::ReadClassifier(*real, demo->database + "Kl_spr.db"), old_classifier);
  EXPECT_EQ(testing::ReadRecords(*real, demo->database), old_records);
  EXPECT_FALSE(real->FileExists(demo->database + "_Kl_spr.db"));
  ExpectSoundTables();
}

TEST_F(WholeRun, SetAsideLeftByAStoppedRunIsMergedByTheNextOne) {
  // A run that ended between stage 2 and stage 3 (the program was closed by force): the
  // product's classifier is whole, the set-aside waits beside it.
  {
    db::TableCatalogue tables(*real);
    for (const auto& [component, path] : settings.table_paths)
      tables.Table(component)->SetTableName(path);
    RecordingWindow quiet;
    SaveUserData(tables, settings.db_filter, quiet);
    SetAsideClassifier(tables, *real, settings.database_folder, quiet);
  }
  EXPECT_EQ(testing::ReadClassifier(*real, demo->database + "Kl_spr.db"), old_classifier);
  const Classifier user_rows = testing::UsersOnly(old_classifier);
  EXPECT_EQ(testing::ReadClassifier(*real, demo->database + "_Kl_spr.db"), user_rows);

  // A row that only the left-over set-aside still holds (as after a merge that failed once the
  // new classifier was in) travels all the same.
  {
    db::TTable kl(*real);
    kl.SetTableName(demo->database + "Kl_spr.db");
    kl.SetIndexName("kl_spr_kod");
    kl.Open();
    ASSERT_TRUE(kl.Locate("Kod", db::Variant::String(user_rows.begin()->first), true));
    kl.Delete();
    kl.Close();
  }
  EXPECT_EQ(Run(), 0);
  Classifier classifier = new_classifier;
  for (auto [kod, row] : user_rows) {
    row.group = kUsersGroupCode;
    classifier[kod] = row;
  }
  EXPECT_EQ(testing::ReadClassifier(*real, demo->database + "Kl_spr.db"), classifier);
  ExpectSoundTables();
}

}  // namespace
}  // namespace tarvo::install
