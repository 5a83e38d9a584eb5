// Single faults at the places where the fault sweep found data at risk, each tested on its own
// (the sweep tries every point only with stride 1, and not at all on other platforms' builds).
#include <gtest/gtest.h>

#include <memory>

#include "archive/zip_archiver.h"
#include "db/px_table.h"
#include "db/ttable.h"
#include "install/backup.h"
#include "install/classifier.h"
#include "install/components.h"
#include "platform/auto_dialogs.h"
#include "tests/archive/zip_test_util.h"
#include "tests/install/demo_install.h"
#include "tests/install/faulty_fs.h"

namespace tarvo::install {
namespace {

using archive::testing::ReadFileBytes;
using archive::testing::ScratchDir;
using archive::testing::WriteFileBytes;
using testing::FaultyFileSystem;
using testing::RecordingWindow;

bool Ends(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class FaultPoints : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = scratch.path() + "/Db/";
    demo::WriteDemoDatabase(*real, folder, {30, 6, false, 16, 20});
  }
  std::map<std::string, std::string> Family(const std::string& stem) {
    std::map<std::string, std::string> bytes;
    auto families = testing::TableFamilies(*real, folder);
    for (const auto& f : families[stem]) bytes[f] = ReadFileBytes(folder + f);
    return bytes;
  }

  ScratchDir scratch;
  platform::Services services = platform::MakeSystemServices();
  platform::FileSystem* real = services.fs.get();
  platform::AutoDialogs dialogs;
  std::string folder;
};

// Every write of a table's close failing in turn: the family on disk stays the one before.
TEST_F(FaultPoints, TableCloseThatFailsPutsTheFamilyBack) {
  const auto before = Family("Base8491");
  auto change = [&](platform::FileSystem& fs) {
    db::TTable t(fs);
    t.SetTableName(folder + "Base8491.db");
    t.SetIndexName("base8491_1");
    t.Open();
    for (int i = 0; i < 40; ++i) {  // enough to need new blocks
      t.Append();
      t.FieldByName("NOBOSN").SetAsString("N" + std::to_string(1000 + i));
      t.FieldByName("OBOSN").SetAsString("new " + std::to_string(i));
      t.Post();
    }
    t.First();
    t.Delete();  // and a block that exists on disk changes
    t.Close();
  };
  // Count the operations of one close (on a copy of the family's bytes).
  FaultyFileSystem counting(*real);
  change(counting);
  const long total = counting.count;
  for (const auto& [f, b] : before) WriteFileBytes(folder + f, b);
  int failures = 0;
  for (long n = 1; n <= total; ++n) {
    FaultyFileSystem faulty(*real);
    faulty.fail_at = n;
    bool failed = false;
    try {
      change(faulty);
    } catch (const std::exception&) {
      failed = true;
    }
    if (!failed) continue;  // a fault the engine got round (none expected here)
    ++failures;
    EXPECT_EQ(Family("Base8491"), before)
        << "point " << n << ": " << faulty.failed->kind << " " << faulty.failed->path;
    EXPECT_EQ(testing::CheckTable(*real, folder + "Base8491.db"), "") << n;
    for (const auto& [f, b] : before) WriteFileBytes(folder + f, b);
  }
  EXPECT_GT(failures, 10);
}

TEST_F(FaultPoints, TableWhoseFolderCannotBeListedDoesNotOpen) {
  FaultyFileSystem faulty(*real);
  faulty.fail_if = [](const std::string& kind, const std::string&) { return kind == "list"; };
  db::TTable t(faulty);
  t.SetTableName(folder + "Base8491.db");
  EXPECT_THROW(t.Open(), db::EDBEngineError);
}

TEST_F(FaultPoints, ExtractionKeepsTheOldFileWhenTheNewCannotTakeItsPlace) {
  const std::string product = scratch.path() + "/";
  (void)real->CreateDirectories(product + "Forms");
  WriteFileBytes(product + "Forms/a.frm", "old form");
  const std::string zip_path = scratch.path() + "/c.zip";
  WriteFileBytes(zip_path, archive::testing::BuildZip({{"Forms\\a.frm", "new form"}}));
  FaultyFileSystem faulty(*real);
  // The decoded file cannot be renamed onto the target.
  faulty.fail_if = [](const std::string& kind, const std::string& path) {
    return (kind == "rename" || kind == "replace") && Ends(path, ".tmp");
  };
  RecordingWindow window;
  dialogs.default_answer = [](const platform::AutoDialogs::Shown&) {
    return platform::DialogResult::kAbort;
  };
  EXPECT_FALSE(InstallComponentArchive(faulty, dialogs, window, zip_path, product, "*.*"));
  EXPECT_EQ(ReadFileBytes(product + "Forms/a.frm"), "old form");
  EXPECT_EQ(real->List(product + "Forms", "*.tmp*").size(), 0u);
}

TEST_F(FaultPoints, ComponentWhoseOldCopyCannotBeReplacedIsNotInstalled) {
  const std::string product = scratch.path() + "/product/";
  const std::string installer = scratch.path() + "/installer/";
  (void)real->CreateDirectories(product);
  (void)real->CreateDirectories(installer);
  auto component = [](const std::string& text) {
    archive::testing::TestEntry e{"Forms\\a.frm", text};
    e.password = ComponentPassword();
    return archive::testing::BuildZip({e});
  };
  WriteFileBytes(installer + "Forms.zip", component("this update"));
  WriteFileBytes(product + "Forms.zip", component("an earlier update"));
  RunSettings settings;
  settings.installer_folder = installer;
  settings.product_folder = product;
  RecordingWindow window;
  window.components = {{true, "Forms.zip"}};
  FaultyFileSystem faulty(*real);
  faulty.fail_if = [](const std::string& kind, const std::string& path) {
    return kind == "delete" && Ends(path, "product/Forms.zip");
  };
  EXPECT_EQ(RunComponentStage(faulty, dialogs, window, settings), kCodeComponent);
  EXPECT_FALSE(real->FileExists(product + "Forms/a.frm"));
  EXPECT_EQ(RunComponentStage(*real, dialogs, window, settings), 0);
  EXPECT_EQ(ReadFileBytes(product + "Forms/a.frm"), "this update");
}

TEST_F(FaultPoints, BackupFailsWhenAFolderCannotBeListedOrTheArchiveCannotBeFlushed) {
  RecordingWindow window;
  const std::string product = scratch.path() + "/";
  const std::string archive_path = scratch.path() + "/backup.zip";
  {
    FaultyFileSystem faulty(*real);
    faulty.fail_if = [](const std::string& kind, const std::string& path) {
      return kind == "list" && Ends(path, "Db\\");
    };
    EXPECT_FALSE(
        BackupToArchive(faulty, dialogs, window, archive_path, product, "Db\\*.*", 2, true));
  }
  (void)real->DeleteFileAt(archive_path);
  {
    FaultyFileSystem faulty(*real);
    faulty.fail_if = [&](const std::string& kind, const std::string& path) {
      return kind == "flush" && path == archive_path;
    };
    EXPECT_FALSE(
        BackupToArchive(faulty, dialogs, window, archive_path, product, "Db\\*.*", 2, true));
  }
  (void)real->DeleteFileAt(archive_path);
  EXPECT_TRUE(BackupToArchive(*real, dialogs, window, archive_path, product, "Db\\*.*", 2, true));
}

// The archive is written but its buffers may not be on the disk: the error says a write failed.
TEST_F(FaultPoints, ArchiveThatCannotBeFlushedIsAFailedWrite) {
  const std::string archive_path = scratch.path() + "/flushed.zip";
  FaultyFileSystem faulty(*real);
  faulty.fail_if = [&](const std::string& kind, const std::string& path) {
    return kind == "flush" && path == archive_path;
  };
  archive::TZipArchiver zip(faulty, dialogs);
  zip.FileName = archive_path;
  zip.BaseDir = scratch.path() + "/";
  zip.OpenArchive(archive::kOpenCreate);
  try {
    zip.AddFiles("Db\\*.*");
    ADD_FAILURE() << "the failed flush went unreported";
  } catch (const archive::EZipException& e) {
    EXPECT_EQ(e.NativeError(), 46);
    EXPECT_EQ(e.ErrorCode(), 25);
    EXPECT_NE(std::string(e.what()).find("Write to stream error"), std::string::npos) << e.what();
  }
  zip.CloseArchive();
}

TEST_F(FaultPoints, SetAsideThatCannotFinishLeavesNoHalfTable) {
  db::TableCatalogue tables(*real);
  tables.BindPath("Tb_Kl_Spr", folder);
  RecordingWindow window;
  const auto product = Family("Kl_spr");
  // A copy that fails half-way is cleared away.
  {
    FaultyFileSystem faulty(*real);
    faulty.fail_if = [](const std::string& kind, const std::string& path) {
      return kind == "copy" && Ends(path, ".XG0");
    };
    EXPECT_ANY_THROW(SetAsideClassifier(tables, faulty, folder, window));
    EXPECT_TRUE(testing::TableFamilies(*real, folder).count("_Kl_spr_new") == 0);
    EXPECT_TRUE(real->List(folder, "_Kl_spr_new.*").empty());
  }
  // A family whose move stops after its table file moved: the run hears of it, and the next
  // look at the folder moves the rest, so that no half table is left.
  {
    FaultyFileSystem faulty(*real);
    faulty.fail_if = [](const std::string& kind, const std::string& path) {
      return kind == "replace" && Ends(path, ".XG0");
    };
    EXPECT_ANY_THROW(SetAsideClassifier(tables, faulty, folder, window));
    EXPECT_TRUE(RecoverClassifierSetAside(*real, folder));
    EXPECT_TRUE(real->List(folder, "_Kl_spr_new.*").empty());
    EXPECT_EQ(testing::CheckTable(*real, folder + "_Kl_spr.db"), "");
    EXPECT_EQ(real->List(folder, "_Kl_spr.*").size(), 4u);
    DropClassifierSetAside(*real, folder);
  }
  EXPECT_EQ(Family("Kl_spr"), product);
  // A drained set-aside whose table file cannot be deleted stays whole, for the next run.
  SetAsideClassifier(tables, *real, folder, window);
  FaultyFileSystem faulty(*real);
  faulty.fail_if = [](const std::string& kind, const std::string& path) {
    return kind == "delete" && Ends(path, "_Kl_spr.db");
  };
  MergeClassifier(tables, faulty, folder, window);
  EXPECT_EQ(testing::CheckTable(*real, folder + "_Kl_spr.db"), "");
}

}  // namespace
}  // namespace tarvo::install
