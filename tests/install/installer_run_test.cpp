#include "install/installer_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "archive/zip_archiver.h"
#include "install/backup.h"
#include "install/components.h"
#include "install/password_pieces.h"
#include "odd_password_pieces.h"
#include "platform/auto_dialogs.h"
#include "tests/archive/zip_test_util.h"
#include "tests/install/recording_window.h"
#include "tests/platform/forwarding_fs.h"
#include "tests/platform/set_clock.h"

namespace tarvo::install {
namespace {

namespace fs = std::filesystem;
using archive::testing::BuildZip;
using archive::testing::ReadFileBytes;
using archive::testing::ScratchDir;
using archive::testing::TestEntry;
using archive::testing::WriteFileBytes;
using platform::DialogResult;
using testing::RecordingWindow;

// Stands in for the table work; logs into the window's log so the order is visible.
class RecordingStages : public DataStages {
 public:
  explicit RecordingStages(RecordingWindow& w) : w_(w) {}
  bool fail_save = false;
  std::string save_error = "Table is busy";
  void SaveUserData(db::TableCatalogue&, const std::string& filter, MainWindowOps&) override {
    w_.log.push_back("save [" + filter + "]");
    if (fail_save) throw std::runtime_error(save_error);
  }
  void SetAsideClassifier(db::TableCatalogue&, platform::FileSystem&, const std::string& folder,
                          MainWindowOps&) override {
    w_.log.push_back("aside " + folder.substr(folder.size() - 3));
  }
  void RestoreUserData(db::TableCatalogue&, MainWindowOps&) override {
    w_.log.push_back("restore");
  }
  void MergeClassifier(db::TableCatalogue&, platform::FileSystem&, const std::string&,
                       MainWindowOps&) override {
    w_.log.push_back("merge");
  }

 private:
  RecordingWindow& w_;
};

// Fails every open of one file, as a file locked by another program would.
class LockingFileSystem : public platform::testing::ForwardingFileSystem {
 public:
  LockingFileSystem(platform::FileSystem& inner, std::string locked)
      : ForwardingFileSystem(inner), locked_(std::move(locked)) {}
  std::unique_ptr<platform::File> Open(const std::string& p, platform::Access a, platform::Share s,
                                       platform::Disposition d) override {
    if (p.size() >= locked_.size() &&
        p.compare(p.size() - locked_.size(), locked_.size(), locked_) == 0)
      throw platform::PlatformError("locked: " + p, 32);
    return inner().Open(p, a, s, d);
  }

 private:
  std::string locked_;
};

std::string Folder(const std::string& path) { return path + "/"; }

class InstallerRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    product = Folder(scratch / "product");
    installer = Folder(scratch / "installer");
    fs::create_directories(scratch / "product/Db/Sub");
    fs::create_directories(scratch / "product/Forms");
    fs::create_directories(scratch / "installer");
    WriteFileBytes(scratch / "product/Db/Base8491.db", std::string(3000, 'b'));
    WriteFileBytes(scratch / "product/Db/Sub/notes.txt", "user notes");
    WriteFileBytes(scratch / "product/Forms/form1.frm", "form one");
    settings.installer_folder = installer;
    settings.product_folder = product;
    settings.database_folder = product + "Db\\";
    settings.backup_count = 1;
    settings.backup_file_name = " update 7.zip";
    settings.backup_folders = {"Db"};
    settings.db_filter = "YEAR = '04'";
    settings.application_title = "Tarvo Update";
    window.transfer_checked = false;  // neither mode chosen yet
  }

  // A component archive encrypted with the build's password.
  void MakeComponent(const std::string& file, const std::vector<TestEntry>& entries) {
    std::vector<TestEntry> encrypted = entries;
    for (auto& e : encrypted) e.password = ComponentPassword();
    WriteFileBytes(installer + file, BuildZip(encrypted));
    window.components.push_back({true, file});
  }

  int Run(std::unique_ptr<DataStages> stages) {
    InstallerRun run(
        *real, dialogs, clock, [this] { return settings; }, std::move(stages));
    return run.Run(window);
  }
  int Run() { return Run(std::make_unique<RecordingStages>(window)); }

  std::vector<std::string> ArchiveNames(const std::string& path) {
    archive::TZipArchiver zip(*real, dialogs);
    zip.FileName = path;
    zip.OpenArchive(archive::kOpenReadDenyWrite);
    std::vector<std::string> names;
    archive::TZipArchiveItem item;
    for (bool ok = zip.FindFirst("*.*", item); ok; ok = zip.FindNext(item)) {
      names.push_back(item.StoredPath + item.FileName);
    }
    zip.TestFiles();
    EXPECT_FALSE(zip.LastOperationAborted());
    zip.CloseArchive();
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string BackupPath() const {
    return product + "Backup\\" + BackupArchiveName(clock.now, settings.backup_file_name);
  }

  ScratchDir scratch;
  std::string product, installer;
  platform::Services services = platform::MakeSystemServices();
  platform::FileSystem* real = services.fs.get();
  platform::AutoDialogs dialogs;
  platform::testing::SetClock clock{{2026, 3, 5, 9, 7, 0, 0, 4}};
  RecordingWindow window;
  RunSettings settings;
};

TEST(BackupNameTest, TwoDigitsAndTheDatedName) {
  EXPECT_EQ(TwoDigitText(0), "00");
  EXPECT_EQ(TwoDigitText(9), "09");
  EXPECT_EQ(TwoDigitText(10), "10");
  EXPECT_EQ(TwoDigitText(65535), "65535");
  platform::LocalTime midnight{2027, 1, 1, 0, 0, 0, 0, 5};
  const std::string name = BackupArchiveName(midnight, ".zip");
  EXPECT_EQ(name, "Архив от 01.01.2027 г. [00-00].zip");
  EXPECT_NE(name.find("\xD0\xB3. ["), std::string::npos);  // Cyrillic ge, not Latin g
  EXPECT_EQ(BackupArchiveName({2026, 12, 31, 23, 59}, ""), "Архив от 31.12.2026 г. [23-59]");
}

TEST(BackupNameTest, ProgressRoundsHalfToEven) {
  RecordingWindow w;
  ShowArchiveProgress(w, 2.5);
  EXPECT_EQ(w.percent, 2);
  ShowArchiveProgress(w, 3.5);
  EXPECT_EQ(w.percent, 4);
  ShowArchiveProgress(w, 99.6);
  EXPECT_EQ(w.percent, 100);
}

TEST(PasswordTest, SixPiecesOfTheConfiguredLengths) {
  const size_t lengths[6] = {45, 48, 41, 66, 52, 86};
  std::string joined;
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(std::string(password::kPieces[i]).size(), lengths[i]) << i;
    joined += password::kPieces[i];
  }
  EXPECT_EQ(ComponentPassword(), joined);
  EXPECT_EQ(joined.size(), 338u);
}

// A release password may need any byte: spaces, quotes, backslashes, semicolons, other code
// pages. The pieces reach the program and the tools' file byte for byte.
TEST(PasswordTest, PiecesMayHoldAnyByteButNulAndLineFeed) {
  const std::string expected[6] = {
      "pass word\073 with \042quotes\042 \134 back\077\077\075 slash \0431 p",
      "\320\237\320\260\321\200\320\276\320\273\321\214 \321\201\320\274\320\265\321\202\321\213: "
      "\321\221\320\201 \342\204\226xxxxxxxxxxxxxxx",
      "\317\340\360\356\353\374 \377\200\011\044\173TARVO\137PW\1371\175 \100TARVO\137PW\1372\100 "
      "\317\340\360\356",
      "\134x41\134101 \042\134\042 \073\073\073 \133a\135\052 \077\052 \045s \045d \047 \140 \176 "
      "\174 \074 \076 \046 \136 \134x41\134101 \042\134\042 \073\073\073 \133a",
      "\312\353\376\367 \227 \253\361\354\345\362\340\273 \312\353\376\367 \227 "
      "\253\361\354\345\362\340\273 \312\353\376\367 \227 \253\361\354\345\362\340\273 "
      "\312\353\376\367 \227 ",
      "\177\001\037 tail\073 end\134\177\001\037 tail\073 end\134\177\001\037 tail\073 "
      "end\134\177\001\037 tail\073 end\134\177\001\037 tail\073 end\134\177\001\037 tail\073 "
      "end\134\177\001",
  };
  std::string joined;
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(std::string(odd_password::kPieces[i]), expected[i]) << i;
    joined += expected[i];
  }
  EXPECT_EQ(joined.size(), 338u);
  EXPECT_EQ(ReadFileBytes(TARVO_ODD_PASSWORD_JOINED), joined);

  // An archive encrypted with it opens with it.
  ScratchDir scratch;
  WriteFileBytes(
      scratch / "odd.zip",
      BuildZip({{"Base\\a.db", std::string(4000, 'a'), 8, 0, 0x6000, 0x5A21, 0x20, joined}}));
  platform::Services services = platform::MakeSystemServices();
  platform::AutoDialogs dialogs;
  archive::TZipArchiver zip(*services.fs, dialogs);
  zip.FileName = scratch / "odd.zip";
  zip.BaseDir = scratch / "out";
  zip.Password = joined;
  zip.OpenArchive(archive::kOpenReadDenyWrite);
  zip.ExtractFiles();
  zip.CloseArchive();
  EXPECT_TRUE(dialogs.shown().empty());
  EXPECT_EQ(ReadFileBytes(scratch / "out/Base/a.db"), std::string(4000, 'a'));
}

TEST_F(InstallerRunTest, NeitherModeOnlyShowsTheHint) {
  EXPECT_LT(Run(), 0);
  EXPECT_EQ(window.log, std::vector<std::string>{"hint"});
  EXPECT_TRUE(dialogs.shown().empty());
  EXPECT_FALSE(fs::exists(scratch / "product/Backup"));
}

TEST_F(InstallerRunTest, ReplaceWarningAnsweredNoLeavesTheWindowReady) {
  window.replace_checked = true;
  dialogs.QueueAnswer(DialogResult::kNo);
  EXPECT_LT(Run(), 0);
  EXPECT_TRUE(window.log.empty());
  ASSERT_EQ(dialogs.shown().size(), 1u);
  EXPECT_EQ(dialogs.shown()[0].text, kReplaceWarning);
  EXPECT_EQ(dialogs.shown()[0].buttons,
            (std::vector<DialogResult>{DialogResult::kYes, DialogResult::kNo}));
  EXPECT_FALSE(fs::exists(scratch / "product/Backup"));
}

TEST_F(InstallerRunTest, ReplaceForcedAtStartUpRunsStagesOneAndThreeWithoutWarning) {
  window.replace_checked = true;
  window.transfer_enabled = false;
  MakeComponent("base.zip", {{"Db\\Base8491.db", "new database"}, {"Db\\Kl_spr.db", "kl"}});
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(dialogs.shown().empty());
  EXPECT_EQ(window.log,
            (std::vector<std::string>{"lock", "panel", "tick 1", "stage 1 off", "stage 2 off",
                                      "stage 3 on", "tick 3", "stage 3 off", "result ok"}));
  // The backup holds the old database, the product the new one.
  EXPECT_EQ(ArchiveNames(BackupPath()),
            (std::vector<std::string>{"Db\\Base8491.db", "Db\\Sub", "Db\\Sub\\notes.txt"}));
  EXPECT_EQ(ReadFileBytes(scratch / "product/Db/Base8491.db"), "new database");
  EXPECT_EQ(ReadFileBytes(scratch / "product/Db/Kl_spr.db"), "kl");
  EXPECT_TRUE(fs::exists(scratch / "product/base.zip"));  // the copy stays until the window closes
}

TEST_F(InstallerRunTest, TransferModeFramesTheTableWorkAndTwoFoldersShareOneArchive) {
  window.transfer_checked = true;
  settings.backup_count = 2;
  settings.backup_folders = {"Db", "Forms"};
  MakeComponent("base.zip", {{"Db\\Base8491.db", "new database"}});
  // An archive copy left by an earlier run is replaced by a fresh one.
  WriteFileBytes(scratch / "product/base.zip", "stale");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(window.log, (std::vector<std::string>{"lock", "panel", "tick 1", "stage 1 off",
                                                  "stage 2 on", "save [YEAR = '04']", "aside Db\\",
                                                  "tick 2", "stage 2 off", "stage 3 on", "tick 3",
                                                  "stage 3 off", "repaint", "stage 4 on", "restore",
                                                  "merge", "tick 4", "stage 4 off", "result ok"}));
  ASSERT_EQ(dialogs.shown().size(), 1u);
  EXPECT_EQ(dialogs.shown()[0].text, kRestoreNotice);
  EXPECT_EQ(ArchiveNames(BackupPath()),
            (std::vector<std::string>{"Db\\Base8491.db", "Db\\Sub", "Db\\Sub\\notes.txt",
                                      "Forms\\form1.frm"}));
  EXPECT_EQ(ReadFileBytes(scratch / "product/Db/Base8491.db"), "new database");
}

class NotesLog : public NullRunLog {
 public:
  std::vector<std::string> notes;
  void Note(const std::string& line) override { notes.push_back(line); }
};

// A count above the folders read, or an empty folder name inside the count, must never pack the
// whole product folder with the earlier backups in it.
TEST_F(InstallerRunTest, BackupPacksOnlyTheFoldersNamed) {
  WriteFileBytes(scratch / "product/Backup/older.zip", "an earlier backup");
  WriteFileBytes(scratch / "product/Tarvo7.exe", "program");
  const std::vector<std::string> db_only = {"Db\\Base8491.db", "Db\\Sub", "Db\\Sub\\notes.txt"};
  struct Case {
    int count;
    std::vector<std::string> folders;
    std::vector<std::string> expected;
    size_t skipped;
  };
  std::vector<std::string> with_forms = db_only;
  with_forms.push_back("Forms\\form1.frm");
  std::vector<std::string> folders24(24);
  folders24[0] = "Db";
  std::vector<std::string> read1024(1024);
  read1024[0] = "Db";
  const Case cases[] = {
      {1025, {"Db"}, db_only, 0}, {2147483647, read1024, db_only, 1023},
      {2, folders24, db_only, 1}, {3, {"Db", "", "Forms"}, with_forms, 1},
      {0, {"Db"}, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    settings.backup_count = c.count;
    settings.backup_folders = c.folders;
    // Through the engine's file system, which reads the backslash: each case must start with no
    // archive of that name, or the run makes one beside it.
    real->DeleteFileAt(BackupPath());
    NotesLog log;
    EXPECT_EQ(RunBackupStage(*real, dialogs, clock, window, settings, &log), 0);
    if (c.expected.empty()) {
      EXPECT_FALSE(fs::exists(BackupPath()));
      continue;
    }
    EXPECT_EQ(ArchiveNames(BackupPath()), c.expected);
    const size_t skipped = std::count_if(log.notes.begin(), log.notes.end(), [](auto& n) {
      return n.find("is empty; nothing packed") != std::string::npos;
    });
    EXPECT_EQ(skipped, c.skipped);
  }
  EXPECT_TRUE(dialogs.shown().empty());
}

// The failure question keeps its text; the log line beside it says which rule refused the name.
TEST_F(InstallerRunTest, RefusedComponentEntryIsLoggedWithItsReason) {
  MakeComponent("climb.zip", {{"..\\up.txt", "u"}, {"Forms\\ok.frm", "ok"}, {"a\nFAKE.txt", "f"}});
  dialogs.default_answer = [](const platform::AutoDialogs::Shown&) {
    return DialogResult::kIgnore;
  };
  NotesLog log;
  EXPECT_TRUE(InstallComponentArchive(*real, dialogs, window, installer + "climb.zip",
                                      settings.product_folder, "*.*", &log));
  EXPECT_EQ(ReadFileBytes(scratch / "product/Forms/ok.frm"), "ok");
  EXPECT_FALSE(fs::exists(scratch / "up.txt"));
  ASSERT_EQ(log.notes.size(), 2u);
  // A line break in a hostile name cannot start a line of its own.
  EXPECT_EQ(log.notes[1].rfind("Entry a\\x0AFAKE.txt refused: name Windows would write as "
                               "another file (",
                               0),
            0u)
      << log.notes[1];
  for (const std::string& n : log.notes) EXPECT_EQ(n.find('\n'), std::string::npos) << n;
  EXPECT_EQ(log.notes[0].rfind("Entry ..\\up.txt refused: name leaves the base folder (Cannot "
                               "create file \"",
                               0),
            0u)
      << log.notes[0];
  EXPECT_NE(log.notes[0].find("Native error: 00019)"), std::string::npos) << log.notes[0];
  ASSERT_EQ(dialogs.shown().size(), 2u);
  EXPECT_EQ(dialogs.shown()[0].text.find("base folder"), std::string::npos);
  EXPECT_NE(dialogs.shown()[0].text.find(". File processing error, possibly disk is full"),
            std::string::npos);
}

TEST_F(InstallerRunTest, BackupFolderThatCannotBeMadeEndsWithCodeOne) {
  window.transfer_checked = true;
  WriteFileBytes(scratch / "product/Backup", "a file in the way");
  MakeComponent("base.zip", {{"Db\\Base8491.db", "new database"}});
  EXPECT_EQ(Run(), kCodeBackupFolder);
  EXPECT_EQ(window.log, (std::vector<std::string>{"lock", "panel", "result failed"}));
  EXPECT_FALSE(fs::exists(scratch / "product/base.zip"));
  EXPECT_EQ(ReadFileBytes(scratch / "product/Db/Base8491.db"), std::string(3000, 'b'));
}

TEST_F(InstallerRunTest, SecondOfThreeComponentsFailing) {
  window.transfer_checked = true;
  MakeComponent("one.zip", {{"Forms\\one.frm", "1"}});
  WriteFileBytes(installer + "two.zip", "this is no archive at all");
  window.components.push_back({true, "two.zip"});
  MakeComponent("three.zip", {{"Forms\\three.frm", "3"}});
  EXPECT_EQ(Run(), kCodeComponent);
  EXPECT_EQ(window.result, kCodeComponent);
  EXPECT_TRUE(fs::exists(scratch / "product/Forms/one.frm"));
  EXPECT_FALSE(fs::exists(scratch / "product/three.zip"));
  EXPECT_FALSE(fs::exists(scratch / "product/Forms/three.frm"));
  // Stage 4 still runs after the notice.
  ASSERT_EQ(dialogs.shown().size(), 1u);
  EXPECT_EQ(dialogs.shown()[0].text, kRestoreNotice);
  const std::vector<std::string> tail(window.log.end() - 6, window.log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"stage 4 on", "restore", "merge", "tick 4",
                                            "stage 4 off", "result failed"}));
}

TEST_F(InstallerRunTest, UncheckedComponentIsNotTouchedAndWrongPasswordExtractsNothing) {
  window.replace_checked = true;
  window.transfer_enabled = false;
  MakeComponent("skip.zip", {{"Forms\\skip.frm", "s"}});
  window.components.back().checked = false;
  WriteFileBytes(installer + "other.zip",
                 BuildZip({{"Forms\\other.frm", "o", 8, 0, 0x6000, 0x5A21, 0x20, "wrong"}}));
  window.components.push_back({true, "other.zip"});
  dialogs.default_answer = [](const platform::AutoDialogs::Shown& s) {
    for (auto b : s.buttons)
      if (b == DialogResult::kAbort) return DialogResult::kAbort;
    return DialogResult::kCancel;
  };
  // A wrong password is a skipped entry, not a failed component.
  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(fs::exists(scratch / "product/skip.zip"));
  EXPECT_FALSE(fs::exists(scratch / "product/Forms/other.frm"));
}

TEST_F(InstallerRunTest, BackupDirWithoutDelimiterGluesTheName) {
  window.replace_checked = true;
  window.transfer_enabled = false;
  const std::string glued = (scratch / "saved").c_str();
  WriteFileBytes(installer + "Start.ini", "[Backup]\r\nBackup_dir=" + glued + "\r\n");
  EXPECT_EQ(Run(), 0);
  const std::string path = glued + BackupArchiveName(clock.now, settings.backup_file_name);
  EXPECT_EQ(ArchiveNames(path),
            (std::vector<std::string>{"Db\\Base8491.db", "Db\\Sub", "Db\\Sub\\notes.txt"}));
  // The default folder is made all the same, and stays empty.
  EXPECT_TRUE(fs::is_directory(scratch / "product/Backup"));
  EXPECT_TRUE(fs::is_empty(scratch / "product/Backup"));
}

TEST_F(InstallerRunTest, AbortDuringBackupIsAFailedBackup) {
  window.transfer_checked = true;
  MakeComponent("base.zip", {{"Db\\Base8491.db", "new database"}});
  LockingFileSystem locking(*real, "notes.txt");
  real = &locking;
  dialogs.QueueAnswer(DialogResult::kAbort);
  EXPECT_EQ(Run(), kCodeBackupArchive);
  EXPECT_EQ(window.log, (std::vector<std::string>{"lock", "panel", "result failed"}));
  ASSERT_FALSE(dialogs.shown().empty());
  EXPECT_EQ(dialogs.shown()[0].answer, DialogResult::kAbort) << dialogs.shown()[0].text;
  EXPECT_FALSE(fs::exists(scratch / "product/base.zip"));
}

TEST_F(InstallerRunTest, IgnoreDuringBackupLeavesTheFileOut) {
  window.replace_checked = true;
  window.transfer_enabled = false;
  LockingFileSystem locking(*real, "notes.txt");
  real = &locking;
  dialogs.default_answer = [](const platform::AutoDialogs::Shown&) {
    return DialogResult::kIgnore;
  };
  EXPECT_EQ(Run(), 0);
  real = services.fs.get();
  const auto names = ArchiveNames(BackupPath());
  EXPECT_EQ(std::count(names.begin(), names.end(), "Db\\Base8491.db"), 1);
}

TEST_F(InstallerRunTest, TableErrorDuringSaveFailsTheRunThenShowsTheError) {
  window.transfer_checked = true;
  MakeComponent("base.zip", {{"Db\\Base8491.db", "new database"}});
  auto stages = std::make_unique<RecordingStages>(window);
  stages->fail_save = true;
  EXPECT_NE(Run(std::move(stages)), 0);
  EXPECT_EQ(window.log.back(), "result failed");
  EXPECT_EQ(std::count(window.log.begin(), window.log.end(), "stage 3 on"), 0);
  ASSERT_EQ(dialogs.shown().size(), 1u);
  EXPECT_EQ(dialogs.shown()[0].text, "Table is busy");
  EXPECT_EQ(dialogs.shown()[0].icon, platform::MessageIcon::kError);
  EXPECT_FALSE(fs::exists(scratch / "product/base.zip"));
}

TEST_F(InstallerRunTest, AnErrorWithoutATextIsStillNamedInTheBox) {
  window.transfer_checked = true;
  auto stages = std::make_unique<RecordingStages>(window);
  stages->fail_save = true;
  stages->save_error = "";
  EXPECT_NE(Run(std::move(stages)), 0);
  ASSERT_EQ(dialogs.shown().size(), 1u);
  EXPECT_EQ(dialogs.shown()[0].text, "Ошибка установки");
}

TEST_F(InstallerRunTest, TransferWithoutTableWorkFailsBeforeTouchingAnything) {
  window.transfer_checked = true;
  EXPECT_NE(Run(nullptr), 0);
  EXPECT_EQ(window.log, (std::vector<std::string>{"lock", "result failed"}));
  EXPECT_FALSE(fs::exists(scratch / "product/Backup"));
}

}  // namespace
}  // namespace tarvo::install
