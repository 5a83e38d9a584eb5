// Putting a database back from its backup archive: the newest and a named archive, archives that
// must be refused before anything changes, the safety backup that undoes a restore, and a fault
// injected at every file operation of a restore.
#include "install/restore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "install/backup.h"
#include "platform/auto_dialogs.h"
#include "tests/archive/zip_test_util.h"
#include "tests/install/faulty_fs.h"
#include "tests/install/recording_window.h"
#include "tests/platform/set_clock.h"

namespace tarvo::install {
namespace {

namespace stdfs = std::filesystem;
using archive::testing::BuildZip;
using archive::testing::ReadFileBytes;
using archive::testing::ScratchDir;
using archive::testing::TestEntry;
using archive::testing::WriteFileBytes;
using State = RestoreOutcome::State;

// The path as the host's own calls spell it.
std::string Host(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

using Files = std::map<std::string, std::string>;

class RestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    product = dir.path() + "/Tarvo/";
    backup = product + "Backup\\";
    WriteState(Old());
    WriteFileBytes(product + "Tarvo7.exe", "MZ program");
  }

  // The database a backup was made of, and the one a bad update left.
  static Files Old() {
    return {{"Base/Base8491.DB", std::string(5000, 'a') + "old"},
            {"Base/Base8491.MB", "memo rows"},
            {"Base/RES.bd", ""},
            {"Base/Sub/Kl_spr.db", "classifier"}};
  }
  static Files Changed() {
    return {{"Base/Base8491.DB", "new and different"},
            {"Base/Extra.db", "a file the backup does not hold"},
            {"Base/RES.bd", ""},
            {"Base/Sub/Kl_spr.db", "classifier 2"},
            {"Base/Sub2/Deep.px", "deeper"}};
  }

  void WriteState(const Files& files) {
    ClearMarks();
    stdfs::remove_all(product + "Base");
    for (const auto& [name, bytes] : files) {
      stdfs::create_directories(stdfs::path(product + name).parent_path());
      WriteFileBytes(product + name, bytes);
    }
  }

  // Windows deletes no read-only file.
  void ClearMarks() {
    if (!stdfs::exists(product + "Base")) return;
    for (const auto& e : stdfs::recursive_directory_iterator(product + "Base")) {
      if (e.is_regular_file()) (void)fs.SetAttributes(e.path().string(), platform::kAttrNormal);
    }
  }

  Files Database() {
    Files files;
    if (!stdfs::exists(product + "Base")) return files;
    for (const auto& e : stdfs::recursive_directory_iterator(product + "Base")) {
      if (!e.is_regular_file()) continue;
      files[stdfs::relative(e.path(), product).generic_string()] = ReadFileBytes(e.path().string());
    }
    return files;
  }

  // A backup archive of the database as it is, made as the installation run makes it.
  std::string Backup(const platform::LocalTime& when) {
    (void)fs.CreateDirectories(product + "Backup");
    const std::string path = backup + BackupArchiveName(when, "Tarvo");
    EXPECT_TRUE(BackupToArchive(fs, dialogs, window, path, product, "Base\\*.*", 2, true, nullptr));
    return path;
  }

  RestoreOutcome Restore(platform::FileSystem& with, const std::string& archive) {
    return RestoreDatabase(with, clock, product, backup, archive, log);
  }

  std::vector<std::string> BackupNames() {
    std::vector<std::string> names;
    for (const BackupArchive& a : FindBackupArchives(fs, backup)) names.push_back(a.name);
    return names;
  }

  bool WorkFolderLeft() {
    for (const auto& e : stdfs::directory_iterator(product)) {
      if (e.path().filename().string().rfind("~TarvoRestore", 0) == 0) return true;
    }
    return false;
  }

  ScratchDir dir;
  std::unique_ptr<platform::FileSystem> fs_owner = platform::MakeSystemServices().fs;
  platform::FileSystem& fs = *fs_owner;
  platform::AutoDialogs dialogs;
  testing::RecordingWindow window;
  platform::testing::SetClock clock{{2026, 12, 9, 10, 0, 0, 0, 3}};
  NullRunLog log;
  std::string product, backup;
};

TEST_F(RestoreTest, NewestArchiveRestoresAndItsSafetyBackupUndoesIt) {
  Backup({2026, 12, 1, 9, 30});
  WriteState(Changed());
  clock.now = {2026, 12, 9, 11, 5};
  const auto archives = FindBackupArchives(fs, backup);
  ASSERT_EQ(archives.size(), 1u);

  const RestoreOutcome r = Restore(fs, archives.front().path);
  ASSERT_EQ(r.state, State::kRestored) << r.message;
  EXPECT_EQ(Database(), Old());
  EXPECT_EQ(ReadFileBytes(product + "Tarvo7.exe"), "MZ program");
  EXPECT_FALSE(WorkFolderLeft());
  // The database it replaced, under a dated name that now comes first.
  ASSERT_FALSE(r.safety_archive.empty());
  EXPECT_EQ(BackupNames(),
            (std::vector<std::string>{"Архив от 09.12.2026 г. [11-05] до восстановления.zip",
                                      "Архив от 01.12.2026 г. [09-30]Tarvo"}));

  // Restoring that one puts back what the first restore replaced, the file the old backup did
  // not hold included.
  clock.now = {2026, 12, 9, 11, 6};
  const RestoreOutcome undo = Restore(fs, FindBackupArchives(fs, backup).front().path);
  ASSERT_EQ(undo.state, State::kRestored) << undo.message;
  EXPECT_EQ(Database(), Changed());
}

TEST_F(RestoreTest, ReadOnlyFilesAreRestoredAndKeepTheirMark) {
  (void)fs.SetAttributes(product + "Base\\Base8491.MB", platform::kAttrReadOnly);
  Backup({2026, 12, 1, 9, 30});
  WriteState(Changed());
  (void)fs.SetAttributes(product + "Base\\Base8491.DB", platform::kAttrReadOnly);
  const RestoreOutcome r = Restore(fs, FindBackupArchives(fs, backup).front().path);
  ASSERT_EQ(r.state, State::kRestored) << r.message;
  EXPECT_EQ(Database(), Old());
  EXPECT_TRUE(*fs.GetAttributes(product + "Base\\Base8491.MB") & platform::kAttrReadOnly);
  EXPECT_FALSE(WorkFolderLeft());
  // Undone, the read-only file the restore replaced is back as it was.
  const RestoreOutcome undo = Restore(fs, r.safety_archive);
  ASSERT_EQ(undo.state, State::kRestored) << undo.message;
  EXPECT_EQ(Database(), Changed());
  EXPECT_TRUE(*fs.GetAttributes(product + "Base\\Base8491.DB") & platform::kAttrReadOnly);
  ClearMarks();
}

TEST_F(RestoreTest, NamedArchiveAndTheOrderOfTheList) {
  Backup({2026, 11, 30, 23, 59});
  WriteState(Changed());
  Backup({2026, 12, 1, 0, 0});
  // Two archives of the same minute: the one written last counts as the newer.
  EXPECT_EQ(BackupNames(), (std::vector<std::string>{"Архив от 01.12.2026 г. [00-00]Tarvo",
                                                     "Архив от 30.11.2026 г. [23-59]Tarvo"}));
  WriteFileBytes(Host(backup) + "notes.txt", "not an archive of ours");
  // Written within the same two seconds: a restore's safety archives come first, the later
  // " (n)" before the earlier.
  const std::vector<std::string> same_moment = {
      "Архив от 02.12.2026 г. [10-00]Tarvo", "Архив от 02.12.2026 г. [10-00] до восстановления.zip",
      "Архив от 02.12.2026 г. [10-00] до восстановления (2).zip"};
  for (const std::string& name : same_moment) {
    WriteFileBytes(Host(backup) + name, "x");
    (void)fs.SetLastWriteTime(backup + name, platform::ToDosDateTime({2026, 12, 2, 10, 0, 10}));
  }
  EXPECT_EQ(BackupNames(), (std::vector<std::string>{same_moment[2], same_moment[1], same_moment[0],
                                                     "Архив от 01.12.2026 г. [00-00]Tarvo",
                                                     "Архив от 30.11.2026 г. [23-59]Tarvo"}));

  const RestoreOutcome r = Restore(fs, backup + "Архив от 30.11.2026 г. [23-59]Tarvo");
  ASSERT_EQ(r.state, State::kRestored) << r.message;
  EXPECT_EQ(Database(), Old());
}

TEST(BackupArchiveTime, ReadsOnlyDatedNames) {
  const auto t = BackupArchiveTime("Архив от 05.03.2026 г. [09-07]_Base.zip");
  ASSERT_TRUE(t);
  EXPECT_EQ(std::make_tuple(t->year, t->month, t->day, t->hour, t->minute),
            std::make_tuple(2026, 3, 5, 9, 7));
  EXPECT_FALSE(BackupArchiveTime("Архив от 05.13.2026 г. [09-07]"));
  EXPECT_FALSE(BackupArchiveTime("Архив от 05.03.2026 г. [24-07]"));
  EXPECT_FALSE(BackupArchiveTime("Архив от 5.03.2026 г. [09-07]"));
  EXPECT_FALSE(BackupArchiveTime("Архив от 05.03. г. [09-07]"));
  EXPECT_FALSE(BackupArchiveTime("Base.zip"));
}

TEST_F(RestoreTest, DamagedArchiveIsRefusedBeforeAnythingChanges) {
  const std::string path = Backup({2026, 12, 1, 9, 30});
  WriteState(Changed());
  // A backup folder inside the database: the safety archive would be packed into itself.
  const RestoreOutcome inside =
      RestoreDatabase(fs, clock, product, product + "Base/Sub/", path, log);
  EXPECT_EQ(inside.state, State::kRefused);
  EXPECT_NE(inside.message.find("lies in the database folder"), std::string::npos)
      << inside.message;
  EXPECT_EQ(Database(), Changed());

  std::string bytes = ReadFileBytes(Host(path));
  // Inside the first entry's data, past its local header.
  const size_t data = 30 + static_cast<uint8_t>(bytes[26]) + static_cast<uint8_t>(bytes[28]);
  bytes[data + 2] ^= 0x55;
  WriteFileBytes(Host(path), bytes);

  const RestoreOutcome r = Restore(fs, path);
  EXPECT_EQ(r.state, State::kRefused) << r.message;
  EXPECT_EQ(Database(), Changed());
  EXPECT_TRUE(r.safety_archive.empty());
  EXPECT_EQ(BackupNames().size(), 1u);
  EXPECT_FALSE(WorkFolderLeft());

  // Cut short, its directory is gone: refused too, rather than repaired.
  WriteFileBytes(Host(path), bytes.substr(0, bytes.size() - 30));
  EXPECT_EQ(Restore(fs, path).state, State::kRefused);
  EXPECT_EQ(Restore(fs, backup + "no such archive").state, State::kRefused);
  EXPECT_EQ(Database(), Changed());
}

TEST_F(RestoreTest, NamesOutsideTheDatabaseFoldersAreRefused) {
  WriteState(Changed());
  auto entry = [](const std::string& name) {
    TestEntry e;
    e.name = name;
    e.data = "x";
    return e;
  };
  const std::vector<std::vector<std::string>> hostile = {
      {"Base/a.db", "../x.db"}, {"Base/a.db", "Base/../../x.db"}, {"/etc/x.db"},
      {"C:/Tarvo/Base/x.db"},   {"Base/a.db", "Tarvo7.exe"},      {"Base/a.db", "Base/A.DB"},
      {"Base/con.db"},          {"Base\\..\\..\\x.db"},           {"Base/a.db", "Base/x.db:ads"}};
  for (const auto& names : hostile) {
    std::vector<TestEntry> entries;
    for (const std::string& n : names) entries.push_back(entry(n));
    const std::string path = backup + "hostile.zip";
    (void)fs.CreateDirectories(product + "Backup");
    WriteFileBytes(Host(path), BuildZip(entries));
    const RestoreOutcome r = Restore(fs, path);
    EXPECT_EQ(r.state, State::kRefused) << names.back() << ": " << r.message;
    EXPECT_EQ(Database(), Changed()) << names.back();
    EXPECT_FALSE(stdfs::exists(dir.path() + "/x.db"));
  }
}

long EnvNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  const long n = v ? std::strtol(v, nullptr, 10) : 0;
  return n > 0 ? n : fallback;
}

// Each file operation of a restore failing in turn: afterwards the database is either the one
// before the restore, byte for byte, with the restore reported failed, or the archive's, with the
// restore reported done; never anything in between.
TEST_F(RestoreTest, AFaultAtAnyPointLeavesTheDatabaseWholeOneWayOrTheOther) {
  const std::string path = Backup({2026, 12, 1, 9, 30});
  const std::string archive_bytes = ReadFileBytes(Host(path));
  auto reset = [&] {
    stdfs::remove_all(product + "Backup");
    for (const auto& e : stdfs::directory_iterator(product)) {
      if (e.path().filename().string().rfind("~TarvoRestore", 0) == 0) stdfs::remove_all(e);
    }
    stdfs::create_directories(product + "Backup");
    WriteFileBytes(Host(path), archive_bytes);
    WriteState(Changed());
  };
  reset();
  testing::FaultyFileSystem counting(fs);
  counting.sync = false;
  const RestoreOutcome clean = Restore(counting, path);
  ASSERT_EQ(clean.state, State::kRestored) << clean.message;
  const long points = counting.count;
  ASSERT_GT(points, 20);
  std::printf("%ld file operations in a restore\n", points);

#ifdef _WIN32
  constexpr long kDefaultStride = 7;  // runs under Wine are many times slower
#else
  constexpr long kDefaultStride = 1;
#endif
  const long stride = EnvNumber("TARVO_SWEEP_STRIDE", kDefaultStride);
  int failed_runs = 0;
  for (long n = 1; n <= points; n += stride) {
    reset();
    testing::FaultyFileSystem faulty(fs);
    faulty.sync = false;
    faulty.fail_at = n;
    const RestoreOutcome r = Restore(faulty, path);
    const std::string where =
        "fault " + std::to_string(n) + " (" +
        (faulty.failed ? faulty.failed->kind + " " + faulty.failed->path : "none") +
        "): " + r.message;
    ASSERT_NE(r.state, State::kBroken) << where;
    if (r.state == State::kRestored) {
      ASSERT_EQ(Database(), Old()) << where;
      // What it replaced can be put back.
      ASSERT_FALSE(r.safety_archive.empty()) << where;
      ASSERT_TRUE(TestBackupArchive(fs, r.safety_archive).sound()) << where;
    } else {
      ++failed_runs;
      ASSERT_EQ(Database(), Changed()) << where;
      ASSERT_FALSE(WorkFolderLeft() && faulty.failed->kind != "delete" &&
                   faulty.failed->kind != "remove folder" && faulty.failed->kind != "list")
          << where;
    }
    ASSERT_EQ(ReadFileBytes(product + "Tarvo7.exe"), "MZ program") << where;
  }
  EXPECT_GT(failed_runs, 0);
}

}  // namespace
}  // namespace tarvo::install
