// Start.ini's Backup_dir, the one reader the backup stage, the restore and the update description
// share: the value as written, and an empty one for every file that cannot be read.
#include "install/start_ini.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "install/restore.h"
#include "tests/archive/zip_test_util.h"
#include "tests/install/faulty_fs.h"
#include "text/codepage.h"

namespace tarvo::install {
namespace {

using archive::testing::ScratchDir;
using archive::testing::WriteFileBytes;

class StartIniTest : public ::testing::Test {
 protected:
  void Write(const std::string& utf8) {
    WriteFileBytes(folder + "Start.ini", text::Utf8ToCp1251(utf8));
  }
  std::string Read() { return ReadStartIniBackupDir(*fs, folder); }

  ScratchDir scratch;
  std::string folder = scratch.path() + "/";
  std::unique_ptr<platform::FileSystem> fs = platform::MakeSystemServices().fs;
};

TEST_F(StartIniTest, AbsentFileReadsEmpty) {
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(BackupFolderFor(*fs, "C:\\Tarvo\\", folder), "C:\\Tarvo\\Backup\\");
}

TEST_F(StartIniTest, ValueAsWrittenInAnyLetterCase) {
  Write("[Other]\r\nBackup_dir=X\r\n[бэкап]\r\n[BACKUP]\r\nbackup_DIR=D:\\Архив\r\n");
  EXPECT_EQ(Read(), "D:\\Архив");  // no separator is added
  EXPECT_EQ(BackupFolderFor(*fs, "C:\\Tarvo\\", folder), "D:\\Архив");
}

TEST_F(StartIniTest, EmptyOrMissingValueReadsEmpty) {
  Write("[Backup]\r\nBackup_dir=\r\n");
  EXPECT_EQ(Read(), "");
  EXPECT_EQ(BackupFolderFor(*fs, "C:\\Tarvo\\", folder), "C:\\Tarvo\\Backup\\");
  Write("[Backup]\r\nBackupCount=1\r\n");
  EXPECT_EQ(Read(), "");
}

TEST_F(StartIniTest, UnreadableFileReadsEmpty) {
  Write("[Backup]\r\nBackup_dir=D:\\Saved\\\r\n");
  for (const char* failing : {"open", "read"}) {
    testing::FaultyFileSystem faulty(*fs);
    faulty.fail_if = [&](const std::string& kind, const std::string&) { return kind == failing; };
    EXPECT_EQ(ReadStartIniBackupDir(faulty, folder), "") << failing;
    EXPECT_EQ(BackupFolderFor(faulty, "C:\\Tarvo\\", folder), "C:\\Tarvo\\Backup\\") << failing;
    EXPECT_TRUE(faulty.failed.has_value()) << failing;
  }
  EXPECT_EQ(Read(), "D:\\Saved\\");
}

TEST_F(StartIniTest, FileLargerThan64MiBIsNotRead) {
  Write("[Backup]\r\nBackup_dir=D:\\Saved\\\r\n");
  std::filesystem::resize_file(folder + "Start.ini", (uint64_t{64} << 20) + 1);
  testing::FaultyFileSystem counting(*fs);
  counting.record = true;
  EXPECT_EQ(ReadStartIniBackupDir(counting, folder), "");
  ASSERT_EQ(counting.ops.size(), 1u);
  EXPECT_EQ(counting.ops[0].kind, "open");
}

}  // namespace
}  // namespace tarvo::install
