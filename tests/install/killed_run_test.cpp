// Runs killed at the places where a kill used to lose the users' data, then run again.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "db/family_journal.h"
#include "db/ttable.h"
#include "install/backup.h"
#include "install/installer_run.h"
#include "install/restore.h"
#include "install/run_progress.h"
#include "platform/auto_dialogs.h"
#include "tests/install/demo_install.h"
#include "tests/install/dying_fs.h"
#include "tests/platform/set_clock.h"

namespace tarvo::install {
namespace {

namespace stdfs = std::filesystem;
using testing::DemoInstall;
using testing::DyingFileSystem;
using testing::RecordingWindow;
using testing::Records;

bool Ends(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
std::string Name(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

class KilledRun : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every flush is a real one: on a memory file system where there is one.
    stdfs::path base = stdfs::temp_directory_path();
    std::error_code ec;
    if (stdfs::is_directory("/dev/shm", ec)) base = "/dev/shm";
    root = (base / ("tarvo_killed_" + std::to_string(std::random_device{}()))).string();
    stdfs::create_directories(root);
    testing::DemoInstallOptions tiny;
    tiny.old_db = {24, 4, false, 16, 20};
    tiny.new_db = {12, 0, true, 16, 20};
    demo = std::make_unique<DemoInstall>(*fs, root, tiny);
    settings = demo->Settings();
    old_records = testing::ReadRecords(*fs, demo->database);
    users = testing::UsersOnly(old_records);
    user_rows = testing::UsersOnly(testing::ReadClassifier(*fs, demo->database + "Kl_spr.db"));
  }
  void TearDown() override {
    std::error_code ec;
    stdfs::remove_all(root, ec);
  }

  struct Result {
    int code = 0;
    std::vector<std::string> messages;
    std::string death;
  };
  // A run that dies at the first operation `die_if` picks (none: runs to its end).
  Result RunDyingAt(std::function<bool(const std::string&, const std::string&)> die_if,
                    bool transfer = true) {
    DyingFileSystem dying(*fs);
    dying.die_if = std::move(die_if);
    platform::AutoDialogs dialogs;
    if (!transfer) dialogs.QueueAnswer(platform::DialogResult::kYes);
    RecordingWindow window;
    window.ChooseTransfer(transfer);
    window.components = {{true, "Base.zip"}};
    Result r;
    {
      InstallerRun run(
          dying, dialogs, clock, [&] { return settings; }, MakeProductDataStages());
      try {
        r.code = run.Run(window);
      } catch (const std::exception&) {
        r.code = kCodeError;
      }
    }
    r.death = dying.death;
    for (const auto& s : dialogs.shown()) r.messages.push_back(s.text);
    return r;
  }
  Result RunToEnd(bool transfer = true) { return RunDyingAt(nullptr, transfer); }

  std::string BackupPath(const std::string& suffix = "") {
    std::string name = BackupArchiveName(clock.Now(), settings.backup_file_name);
    if (!suffix.empty()) name = name.substr(0, name.size() - 4) + suffix + ".zip";
    return demo->product + "Backup\\" + name;
  }

  // Every users' record whole in the new database, every classifier row merged, every table
  // sound, and nothing of ours left in the database folder.
  void ExpectInstalled(const std::string& where) {
    const Records in_db = testing::ReadRecords(*fs, demo->database);
    for (const auto& [key, record] : users) {
      auto it = in_db.find(key);
      EXPECT_TRUE(it != in_db.end() && it->second == record) << where << ": " << key;
    }
    const auto kl = testing::ReadClassifier(*fs, demo->database + "Kl_spr.db");
    for (const auto& [kod, row] : user_rows) EXPECT_EQ(kl.count(kod), 1u) << where << ": " << kod;
    for (const auto& [stem, files] : testing::TableFamilies(*fs, demo->database))
      EXPECT_EQ(testing::CheckTable(*fs, demo->database + stem + ".db"), "") << where << stem;
    for (const auto& e : stdfs::directory_iterator(demo->database)) {
      const std::string ext = e.path().extension().string();
      EXPECT_TRUE(ext != ".tjl" && ext != ".tjs" && ext != ".tmp") << where << e.path();
    }
    EXPECT_FALSE(fs->FileExists(ProgressPath(settings))) << where;
  }
  void ExpectBackupHoldsTheOldDatabase(const std::string& path) {
    const std::string out = root + "/restored_" + std::to_string(++restored_) + "/";
    ASSERT_EQ(testing::TestAndExtract(*fs, path, out), "") << path;
    EXPECT_EQ(testing::ReadRecords(*fs, out + "Db/"), old_records) << path;
  }

  platform::Services services = platform::MakeSystemServices();
  platform::FileSystem* fs = services.fs.get();
  platform::testing::SetClock clock{{2026, 12, 9, 11, 5, 0, 0, 3}};
  std::string root;
  std::unique_ptr<DemoInstall> demo;
  RunSettings settings;
  Records old_records, users;
  testing::Classifier user_rows;
  int restored_ = 0;
};

// Killed while the new database is being extracted, then run again in the same minute: the
// second run must not save the new database's rows over the users' saved ones, nor touch the
// first backup; it finishes the installation.
TEST_F(KilledRun, KilledInStageThreeIsFinishedWithTheSavedRecords) {
  const Result dead = RunDyingAt([](const std::string& kind, const std::string& path) {
    return kind == "temp file" && path.find("Db") != std::string::npos;
  });
  ASSERT_NE(dead.death, "");
  const ProgressState state = ReadRunProgress(*fs, ProgressPath(settings));
  ASSERT_TRUE(state.valid);
  EXPECT_EQ(state.progress.step, RunStep::kSaved);
  EXPECT_EQ(state.progress.backup_path, BackupPath());

  const Result rerun = RunToEnd();
  ASSERT_EQ(rerun.code, 0);
  ExpectInstalled("rerun");
  ExpectBackupHoldsTheOldDatabase(BackupPath());
  EXPECT_FALSE(fs->FileExists(BackupPath(" (2)"))) << "the resumed run makes no second backup";
}

// Killed after the master table of the restore reached the disk and before its detail tables:
// the rerun must not find the master records and skip their detail rows and memos.
TEST_F(KilledRun, KilledBetweenTheRestoredMasterAndItsDetailsRestoresTheDetailsToo) {
  const Result dead = RunDyingAt([](const std::string& kind, const std::string& path) {
    return kind == "open" && Name(path) == "Link8491.tjl";
  });
  ASSERT_NE(dead.death, "");
  EXPECT_EQ(ReadRunProgress(*fs, ProgressPath(settings)).progress.step, RunStep::kInstalled);
  clock.now.minute = 15;
  ASSERT_EQ(RunToEnd().code, 0);
  ExpectInstalled("rerun");
}

// Killed in the middle of a table flush, after the new header and while the blocks are written
// (the write itself torn): the table opens afterwards as it was before the flush.
TEST_F(KilledRun, TableKilledMidFlushOpensAsBefore) {
  const std::string table = demo->database + "Base8491.db";
  const Records before = testing::ReadRecords(*fs, demo->database);
  for (int skip : {0, 1, 2}) {
    int writes = 0;
    DyingFileSystem dying(*fs);
    dying.die_if = [&](const std::string& kind, const std::string& path) {
      return kind == "write" && Ends(path, "Base8491.db") && writes++ == skip;
    };
    try {
      db::TTable t(dying);
      t.SetTableName(table);
      t.Open();
      for (int i = 0; i < 60; ++i) {
        t.Append();
        t.FieldByName("NOBOSN").SetAsString("K" + std::to_string(100 + i));
        t.FieldByName("OBOSN").SetAsString("killed " + std::to_string(i));
        t.Post();
      }
      t.Close();
    } catch (const std::exception&) {
    }
    ASSERT_TRUE(dying.dead) << skip;
    EXPECT_TRUE(fs->FileExists(db::FamilyJournalPath(table))) << "the journal stays for the open";
    EXPECT_EQ(testing::CheckTable(*fs, table), "") << skip;
    EXPECT_EQ(testing::ReadRecords(*fs, demo->database), before) << skip;
    EXPECT_FALSE(fs->FileExists(db::FamilyJournalPath(table)));
  }
}

// A journal torn in its first record protected nothing yet: it is dropped and the table is
// left alone.
TEST_F(KilledRun, TornJournalIsDroppedAndTheTableLeftAlone) {
  const std::string table = demo->database + "Base8491.db";
  const Records before = testing::ReadRecords(*fs, demo->database);
  DyingFileSystem dying(*fs);
  dying.die_if = [](const std::string& kind, const std::string& path) {
    return kind == "write" && Ends(path, ".tjl");
  };
  try {
    db::TTable t(dying);
    t.SetTableName(table);
    t.Open();
    t.First();
    t.Delete();
    t.Close();
  } catch (const std::exception&) {
  }
  ASSERT_TRUE(dying.dead);
  ASSERT_TRUE(fs->FileExists(db::FamilyJournalPath(table)));
  EXPECT_EQ(db::RecoverFamily(*fs, table), db::Recovery::kDeleted);
  EXPECT_EQ(testing::ReadRecords(*fs, demo->database), before);
}

// Killed between the moves of the classifier set-aside's files: the rerun finds the family
// whole under one name and merges the users' rows.
TEST_F(KilledRun, KilledBetweenTheSetAsideMovesKeepsTheClassifierRows) {
  const Result dead = RunDyingAt([](const std::string& kind, const std::string& path) {
    return kind == "replace" && Name(path) == "_Kl_spr_new.px";
  });
  ASSERT_NE(dead.death, "");
  EXPECT_FALSE(fs->FileExists(demo->database + "_Kl_spr_new.db"));
  ASSERT_EQ(RunToEnd().code, 0);
  ExpectInstalled("rerun");
}

// Killed as the backup archive was made (nothing in it yet): the rerun in the same minute
// makes an archive of its own beside it and leaves the empty one alone.
TEST_F(KilledRun, KilledBackupIsNeverReopenedTheRerunNumbersItsOwn) {
  const Result dead = RunDyingAt([](const std::string& kind, const std::string& path) {
    return kind == "write" && path.find("Backup") != std::string::npos;
  });
  ASSERT_NE(dead.death, "");
  const auto left = fs->GetLastWriteTime(BackupPath());
  ASSERT_TRUE(fs->FileExists(BackupPath()));
  const auto size_of = [&](const std::string& path) {
    return fs
        ->Open(path, platform::Access::kRead, platform::Share::kDenyNone,
               platform::Disposition::kOpenExisting)
        ->Size();
  };
  const uint64_t size = size_of(BackupPath());
  ASSERT_EQ(RunToEnd().code, 0);
  ExpectInstalled("rerun");
  EXPECT_EQ(size_of(BackupPath()), size);
  EXPECT_EQ(fs->GetLastWriteTime(BackupPath()), left);
  ExpectBackupHoldsTheOldDatabase(BackupPath(" (2)"));
}

// Killed while an extracted file was being written: its temporary file goes before the rerun's
// work; one that no run of ours can have made stays.
TEST_F(KilledRun, ExtractionTemporariesOfAKilledRunAreRemovedOthersKept) {
  const Result dead = RunDyingAt([](const std::string& kind, const std::string& path) {
    return kind == "write" && Name(path).rfind("FC", 0) == 0 && Ends(path, ".tmp");
  });
  ASSERT_NE(dead.death, "");
  bool left = false;
  for (const auto& e : stdfs::directory_iterator(demo->database))
    left = left || e.path().extension() == ".tmp";
  ASSERT_TRUE(left) << "the killed extraction leaves its temporary file";
  stdfs::create_directories(demo->product + "Estimates");
  std::ofstream(demo->product + "Estimates/FC1234.tmp") << "someone else's";
  std::ofstream(demo->database + "FCnotours.tmp") << "not a name we make";
  ASSERT_EQ(RunToEnd().code, 0);
  EXPECT_TRUE(stdfs::exists(demo->product + "Estimates/FC1234.tmp"));
  stdfs::remove(demo->database + "FCnotours.tmp");
  ExpectInstalled("rerun");
}

// An installation left with the users' data saved cannot be finished in replace mode nor from
// another update folder: the run refuses, says where the data are, and changes nothing.
TEST_F(KilledRun, UnfinishedInstallationIsNotRunOverInReplaceModeOrFromElsewhere) {
  RunDyingAt([](const std::string& kind, const std::string& path) {
    return kind == "temp file" && path.find("Db") != std::string::npos;
  });
  const Records saved = testing::ReadRecords(*fs, demo->installer, "U_");
  ASSERT_FALSE(saved.empty());
  const Result replace = RunToEnd(false);
  EXPECT_EQ(replace.code, kCodeUnfinished);
  ASSERT_FALSE(replace.messages.empty());
  EXPECT_NE(replace.messages.back().find(settings.installer_folder), std::string::npos);
  EXPECT_NE(replace.messages.back().find("не была завершена"), std::string::npos);

  const std::string elsewhere = settings.installer_folder;
  settings.installer_folder = root + "/other/";
  (void)fs->CreateDirectories(settings.installer_folder);
  for (const auto& e : fs->List(elsewhere, "*")) {
    if (e.attributes & platform::kAttrDirectory) continue;
    ASSERT_TRUE(fs->CopyFileNoOverwrite(elsewhere + e.name, settings.installer_folder + e.name));
  }
  EXPECT_EQ(RunToEnd().code, kCodeUnfinished);
  settings.installer_folder = elsewhere;
  EXPECT_EQ(testing::ReadRecords(*fs, demo->installer, "U_"), saved);

  // A record that does not check is no licence to empty the tables either.
  {
    std::fstream f(testing::HostPath(ProgressPath(settings)), std::ios::in | std::ios::out);
    f.seekp(3);
    f.put('#');
  }
  EXPECT_EQ(RunToEnd().code, kCodeUnfinished);
  EXPECT_EQ(testing::ReadRecords(*fs, demo->installer, "U_"), saved);
}

// A rerun in the same minute numbers its backup. When the backup's name has no extension (the
// update's FileName without one), the last dot is the date's "г.": the number must not go there,
// or the archive no longer reads as a dated backup and /RESTORE passes over it.
TEST_F(KilledRun, NumberedBackupWithoutExtensionStaysADatedBackup) {
  const std::string folder = root + "/numbered/";
  // Through the engine's file system: the names are Cyrillic, which a narrow stream on Windows
  // would write in another code page.
  auto cut_short = [&](const std::string& path) {
    auto f = fs->Open(path, platform::Access::kWrite, platform::Share::kDenyWrite,
                      platform::Disposition::kCreateAlways);
    f->Write("cut short", 9);
    f->Close();
  };
  ASSERT_TRUE(fs->CreateDirectories(folder));
  const std::string name = BackupArchiveName(clock.Now(), "Tarvo");
  cut_short(folder + name);
  const std::string numbered = UnusedBackupPath(*fs, folder, name);
  EXPECT_EQ(numbered, folder + name + " (2)");
  const auto when = BackupArchiveTime(Name(numbered));
  ASSERT_TRUE(when.has_value()) << numbered;
  EXPECT_EQ(when->minute, clock.now.minute);
  // With an extension the number goes before it, as before.
  const std::string zipped = BackupArchiveName(clock.Now(), "Tarvo.zip");
  cut_short(folder + zipped);
  EXPECT_EQ(UnusedBackupPath(*fs, folder, zipped),
            folder + zipped.substr(0, zipped.size() - 4) + " (2).zip");
}

}  // namespace
}  // namespace tarvo::install
