#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "archive/zip_archiver.h"
#include "archive/zip_crypt.h"
#include "platform/auto_dialogs.h"
#include "tests/archive/zip_test_util.h"

namespace tarvo::archive {
namespace {

using testing::Deflate;
using testing::HaveTool;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::WriteFileBytes;
namespace fs = std::filesystem;

int Shell(const std::string& command) { return testing::Run(command); }

class ZipWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = scratch_ / "prog";
    fs::create_directories(base_ + "/Base/sub/deeper");
    fs::create_directories(base_ + "/Base/emptydir");
    WriteFileBytes(base_ + "/Base/a.db", std::string(5000, 'a'));
    WriteFileBytes(base_ + "/Base/zero.db", "");
    std::string text;
    for (int i = 0; i < 20000; ++i) text += std::to_string(i * 7) + ";";
    WriteFileBytes(base_ + "/Base/sub/t.txt", text);
    WriteFileBytes(base_ + "/Base/sub/deeper/Справка.txt", "кириллица");
  }

  std::unique_ptr<TZipArchiver> Make(const std::string& path) {
    auto zip = std::make_unique<TZipArchiver>(*services_.fs, dialogs_);
    zip->FileName = path;
    zip->BaseDir = base_;
    zip->SetCompressionLevel(TZipCompressionLevel::clNormal);
    zip->SetSavedTailHookForTesting([this](const std::string& p) { tails_.push_back(p); });
    return zip;
  }
  // As the backup does it: create or open read-write, add, test.
  std::unique_ptr<TZipArchiver> Backup(const std::string& path, const std::string& mask) {
    auto zip = Make(path);
    zip->OpenArchive(fs::exists(path) ? kOpenReadWrite : kOpenCreate);
    zip->AddFiles(mask);
    return zip;
  }
  std::string Entries(TZipBaseArchiver& zip) {
    std::string s;
    for (int i = 0; i < zip.FileCount(); ++i) s += zip.Directory().items[i].FileName + "\n";
    return s;
  }
  void ExpectTailsGone() {
    for (const std::string& t : tails_) EXPECT_FALSE(services_.fs->FileExists(t)) << t;
  }

  platform::Services services_ = platform::MakeSystemServices();
  platform::AutoDialogs dialogs_;
  ScratchDir scratch_;
  std::string base_;
  std::vector<std::string> tails_;
};

TEST_F(ZipWriterTest, BackupOfAFolderTreeReadsBackAndTests) {
  std::string path = base_ + "/backup.zip";  // inside the folder being packed
  auto zip = Backup(path, "*.*");
  EXPECT_EQ(Entries(*zip),
            "Base/\nBase/a.db\nBase/zero.db\nBase/emptydir/\nBase/sub/\nBase/sub/t.txt\n"
            "Base/sub/deeper/\nBase/sub/deeper/Справка.txt\n");
  const auto& items = zip->Directory().items;
  const TDirItem& empty_dir = items[3];
  EXPECT_EQ(empty_dir.header.flags, 0x0002);
  EXPECT_EQ(empty_dir.header.external_attributes, 0x10u);
  EXPECT_EQ(empty_dir.header.method, 0);
  const TDirItem& zero = items[2];
  EXPECT_EQ(zero.header.method, 0);
  EXPECT_EQ(zero.header.crc32, 0u);
  EXPECT_EQ(zero.CompressedSize, 0u);
  EXPECT_EQ(items[1].header.method, 8);
  EXPECT_EQ(items[1].header.version_needed, 20);
  zip->TestFiles("*.*");
  EXPECT_TRUE(dialogs_.shown().empty());
  zip->CloseArchive();

  // Read again from disk, names in CP866 on disk.
  std::string bytes = ReadFileBytes(path);
  EXPECT_NE(bytes.find("\x91\xAF\xE0\xA0\xA2\xAA\xA0.txt"), std::string::npos);
  auto again = Make(path);
  again->OpenArchive(kOpenReadDenyWrite);
  EXPECT_EQ(again->FileCount(), 8);
  again->BaseDir = scratch_ / "restore";
  again->ExtractFiles();
  EXPECT_EQ(ReadFileBytes(scratch_ / "restore/Base/sub/deeper/Справка.txt"), "кириллица");
  EXPECT_TRUE(fs::is_directory(scratch_ / "restore/Base/emptydir"));
  EXPECT_TRUE(tails_.empty());
}

TEST_F(ZipWriterTest, OneChunkFileIsOneFinishedDeflateStream) {
  std::string data(1 << 20, '\0');
  uint32_t x = 7;
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>("abcdefgh"[(x = x * 69069 + 1) >> 29]);
  WriteFileBytes(base_ + "/one.bin", data);
  std::string path = scratch_ / "one.zip";
  auto zip = Backup(path, "one.bin");
  ASSERT_EQ(zip->FileCount(), 1);
  std::string expected = Deflate(data, 6);
  EXPECT_EQ(zip->Directory().items[0].CompressedSize, expected.size());
  zip->CloseArchive();
  std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.substr(30 + 7, expected.size()), expected);
}

TEST_F(ZipWriterTest, EncryptedEntriesIncludingAnEmptyOne) {
  std::string path = scratch_ / "enc.zip";
  auto zip = Make(path);
  zip->Password = "pw";
  zip->OpenArchive(kOpenCreate);
  zip->AddFiles("Base\\a.db");
  zip->AddFiles("Base\\zero.db");
  const TDirItem& zero = zip->Directory().items[1];
  EXPECT_EQ(zero.header.flags & 1, 1);
  EXPECT_EQ(zero.header.method, 0);
  EXPECT_EQ(zero.CompressedSize, 12u);
  EXPECT_EQ(zero.header.crc32, 0u);
  zip->Password = "";
  dialogs_.QueueInput("pw");
  zip->TestFiles();
  EXPECT_EQ(dialogs_.shown().size(), 1u);  // asked once, the answer serves both entries
  zip->CloseArchive();
  if (!HaveTool("unzip")) GTEST_SKIP();
  EXPECT_EQ(Shell("unzip -tqq -P pw '" + path + "'"), 0);
  EXPECT_EQ(Shell("7z t -ppw '" + path + "' > /dev/null"), 0);
}

TEST_F(ZipWriterTest, SameFolderTwiceReplacesInPlaceThroughTheSavedTail) {
  std::string path = scratch_ / "twice.zip";
  Backup(path, "Base\\*.*")->CloseArchive();
  std::string first = ReadFileBytes(path);
  WriteFileBytes(base_ + "/Base/a.db", std::string(6000, 'b'));
  auto zip = Backup(path, "Base\\*.*");
  EXPECT_EQ(tails_.size(), 1u);
  ExpectTailsGone();
  EXPECT_EQ(zip->FileCount(), 7);  // the folder of the mask itself is no entry
  for (int i = 0; i < zip->FileCount(); ++i)
    EXPECT_EQ(zip->Directory().items[i].Operation, TZipProcessOperation::poUpdate);
  zip->TestFiles("Base\\*.*");
  EXPECT_TRUE(dialogs_.shown().empty());
  zip->CloseArchive();
  if (HaveTool("unzip")) {
    EXPECT_EQ(Shell("unzip -tqq '" + path + "'"), 0);
  }
}

TEST_F(ZipWriterTest, SecondMaskAppendsWithoutSavedTail) {
  fs::create_directories(base_ + "/Other");
  WriteFileBytes(base_ + "/Other/o.db", "other");
  std::string path = scratch_ / "two.zip";
  Backup(path, "Base\\*.*")->CloseArchive();
  std::string first = ReadFileBytes(path);
  auto zip = Backup(path, "Other\\*.*");
  EXPECT_TRUE(tails_.empty());
  zip->CloseArchive();
  std::string second = ReadFileBytes(path);
  size_t old_dir = first.find("PK\x01\x02");
  EXPECT_EQ(second.substr(0, old_dir), first.substr(0, old_dir));  // old data untouched
  auto check = Make(path);
  check->OpenArchive(kOpenReadDenyWrite);
  EXPECT_EQ(check->FileCount(), 8);
  check->TestFiles();
  EXPECT_TRUE(dialogs_.shown().empty());
}

TEST_F(ZipWriterTest, EmptyFolderGivesTheBareEndRecord) {
  fs::create_directories(base_ + "/Nothing");
  std::string path = scratch_ / "empty.zip";
  auto zip = Make(path);
  std::vector<TZipProcessOperation> ops;
  zip->OnOverallProgress = [&](TZipBaseArchiver&, double, TZipProcessOperation op,
                               TZipProgressPhase, bool&) { ops.push_back(op); };
  zip->OpenArchive(kOpenCreate);
  zip->AddFiles("Nothing\\*.*");
  zip->AddFiles("Missing\\*.*");
  zip->CloseArchive();
  EXPECT_EQ(ReadFileBytes(path).size(), 22u);
  ASSERT_GE(ops.size(), 2u);
  EXPECT_EQ(ops[0], TZipProcessOperation::poDelete);
}

TEST_F(ZipWriterTest, HiddenFilesAndAttributeWords) {
  (void)services_.fs->SetAttributes(base_ + "/Base/a.db",
                                    platform::kAttrHidden | platform::kAttrArchive);
  auto zip = Backup(scratch_ / "h.zip", "Base\\*.*");
  int i = zip->Directory().items.IndexOf("Base/a.db");
  ASSERT_GE(i, 0);
  EXPECT_EQ(zip->Directory().items[i].header.external_attributes & 0x22, 0x22u);
}

TEST_F(ZipWriterTest, UnicodeNamesOutsideCp866UseUtf8) {
  WriteFileBytes(base_ + "/日本.txt", "x");
  std::string path = scratch_ / "u.zip";
  auto zip = Backup(path, "日本.txt");
  ASSERT_EQ(zip->FileCount(), 1);
  EXPECT_TRUE(zip->Directory().items[0].header.flags & 0x0800);
  zip->CloseArchive();
  auto again = Make(path);
  again->OpenArchive(kOpenReadDenyWrite);
  EXPECT_EQ(again->Directory().items[0].FileName, "日本.txt");
}

TEST_F(ZipWriterTest, LongPathsAndHugeFilesAreRefused) {
  std::string deep = base_;
  while (deep.size() < 250) deep += "/dddddddddd";
  fs::create_directories(deep);
  WriteFileBytes(deep + "/long_name_file.txt", "x");
  std::string huge = base_ + "/huge.bin";
  {
    std::ofstream f(huge, std::ios::binary);
    f.seekp((4ull << 30) - 1);
    f.put('\0');
  }
  std::string path = scratch_ / "refused.zip";
  auto zip = Make(path);
  std::vector<int> natives;
  zip->OnProcessFileFailure = [&](TZipBaseArchiver&, const std::string&, TZipProcessOperation,
                                  int native, int, const std::string&, TZipAction& action) {
    natives.push_back(native);
    action = TZipAction::fxaIgnore;
  };
  zip->OpenArchive(kOpenCreate);
  zip->AddFiles("huge.bin");
  zip->AddFiles(deep.substr(base_.size() + 1) + "/long_name_file.txt");
  EXPECT_EQ(natives, (std::vector<int>{43, 61}));
  EXPECT_EQ(zip->FileCount(), 0);
  zip->CloseArchive();
  EXPECT_EQ(ReadFileBytes(path).size(), 22u);  // nothing of the refused entries stays
}

TEST_F(ZipWriterTest, DefaultDialogForLongPathOffersAbortAndIgnore) {
  std::string deep = base_;
  while (deep.size() < 262) deep += "/eeeeeeeeee";
  fs::create_directories(deep);
  WriteFileBytes(deep + "/f.txt", "x");
  auto zip = Make(scratch_ / "l.zip");
  zip->OpenArchive(kOpenCreate);
  dialogs_.QueueAnswer(platform::DialogResult::kIgnore);
  zip->AddFiles("*.*");
  ASSERT_EQ(dialogs_.shown().size(), 1u);
  EXPECT_EQ(dialogs_.shown()[0].buttons,
            (std::vector<platform::DialogResult>{platform::DialogResult::kAbort,
                                                 platform::DialogResult::kIgnore}));
  EXPECT_EQ(dialogs_.shown()[0].text.rfind("File name is too long: \r\n\"", 0), 0u);
  EXPECT_EQ(zip->Directory().items.IndexOf("Base/a.db") >= 0, true);
}

// Rollback: every kind of interruption leaves the archive byte for byte as it was.
class ZipRollbackTest : public ZipWriterTest {
 protected:
  void SetUp() override {
    ZipWriterTest::SetUp();
    path_ = scratch_ / "r.zip";
    Backup(path_, "Base\\*.*")->CloseArchive();
    before_ = ReadFileBytes(path_);
    fs::create_directories(base_ + "/New");
    WriteFileBytes(base_ + "/New/n.db", std::string(3 << 20, 'n'));
    WriteFileBytes(base_ + "/Base/a.db", std::string(7000, 'c'));
  }
  std::string path_, before_;
};

TEST_F(ZipRollbackTest, WriteFailureAtEveryPoint) {
  for (const char* mask : {"New\\*.*", "Base\\*.*"}) {
    for (int fail_at = 1;; ++fail_at) {
      auto zip = Make(path_);
      zip->OpenArchive(kOpenReadWrite);
      int writes = 0;
      zip->StreamForTesting()->before_write = [&](size_t) {
        if (++writes == fail_at) throw platform::PlatformError("disk full", 112);
      };
      bool failed = false;
      try {
        zip->AddFiles(mask);
      } catch (const platform::PlatformError&) {
        failed = true;
      }
      zip->StreamForTesting()->before_write = nullptr;
      // A write of an entry's data goes to the failure dialog, answered Abort here; a write of
      // the directory leaves the pass. Either way the archive is as it was.
      failed = failed || zip->LastOperationAborted();
      zip->CloseArchive();
      if (!failed) {
        EXPECT_GT(fail_at, 3);
        std::string after = ReadFileBytes(path_);
        WriteFileBytes(path_, before_);  // back for the next mask
        EXPECT_NE(after, before_);
        break;
      }
      ASSERT_EQ(ReadFileBytes(path_), before_) << mask << " write " << fail_at;
    }
  }
  ExpectTailsGone();
  EXPECT_FALSE(tails_.empty());
}

TEST_F(ZipRollbackTest, CancelAtEveryProgressEvent) {
  for (const char* mask : {"New\\*.*", "Base\\*.*"}) {
    for (int cancel_at = 1;; ++cancel_at) {
      auto zip = Make(path_);
      zip->OpenArchive(kOpenReadWrite);
      int events = 0;
      bool cancelled = false;
      zip->OnOverallProgress = [&](TZipBaseArchiver&, double, TZipProcessOperation,
                                   TZipProgressPhase phase, bool& cancel) {
        if (++events == cancel_at && phase != TZipProgressPhase::ppEnd) cancel = cancelled = true;
      };
      zip->AddFiles(mask);
      EXPECT_EQ(zip->LastOperationAborted(), cancelled);
      zip->CloseArchive();
      if (!cancelled) {
        WriteFileBytes(path_, before_);
        break;
      }
      ASSERT_EQ(ReadFileBytes(path_), before_) << mask << " event " << cancel_at;
    }
  }
  ExpectTailsGone();
}

// A full disk while an entry's data is written: the user is asked, may free space and retry.
TEST_F(ZipRollbackTest, FullDiskWhileAddingAsksAbortRetryIgnore) {
  struct Case {
    platform::DialogResult answer;
    bool aborted;
    bool has_new;
  };
  for (const Case& c : {Case{platform::DialogResult::kRetry, false, true},
                        Case{platform::DialogResult::kIgnore, false, false},
                        Case{platform::DialogResult::kAbort, true, false}}) {
    SCOPED_TRACE(static_cast<int>(c.answer));
    WriteFileBytes(path_, before_);
    dialogs_.ClearShown();
    auto zip = Make(path_);
    zip->OpenArchive(kOpenReadWrite);
    int writes = 0;
    zip->StreamForTesting()->before_write = [&](size_t) {
      if (++writes == 3) throw platform::PlatformError("disk full", 112);  // n.db's data
    };
    dialogs_.QueueAnswer(c.answer);
    EXPECT_NO_THROW(zip->AddFiles("New\\*.*"));
    zip->StreamForTesting()->before_write = nullptr;
    EXPECT_EQ(zip->LastOperationAborted(), c.aborted);
    ASSERT_EQ(dialogs_.shown().size(), 1u);
    const auto& shown = dialogs_.shown()[0];
    EXPECT_NE(shown.text.find("rfs.size = 3145728"), std::string::npos) << shown.text;
    EXPECT_NE(shown.text.find("Native error: 00034. File processing error, possibly disk is full"),
              std::string::npos)
        << shown.text;
    EXPECT_EQ(shown.buttons, (std::vector<platform::DialogResult>{
                                 platform::DialogResult::kAbort, platform::DialogResult::kRetry,
                                 platform::DialogResult::kIgnore}));
    zip->CloseArchive();
    if (c.aborted) {
      EXPECT_EQ(ReadFileBytes(path_), before_);
      continue;
    }
    auto check = Make(path_);
    check->OpenArchive(kOpenReadDenyWrite);
    EXPECT_EQ(Entries(*check).find("n.db") != std::string::npos, c.has_new) << Entries(*check);
    EXPECT_NE(Entries(*check).find("a.db"), std::string::npos);
    dialogs_.ClearShown();
    check->TestFiles();
    EXPECT_FALSE(check->LastOperationAborted());
    EXPECT_TRUE(dialogs_.shown().empty());
    check->CloseArchive();
  }
  ExpectTailsGone();
}

TEST_F(ZipRollbackTest, AbortInTheFailureDialog) {
  auto zip = Make(path_);
  zip->OpenArchive(kOpenReadWrite);
  zip->OnStoreFile = [&](TZipBaseArchiver&, std::string&, uint32_t&, std::string&,
                         const std::string& original) {
    // Gone before the pass opens it.
    if (original.find("a.db") != std::string::npos) (void)services_.fs->DeleteFileAt(original);
  };
  dialogs_.QueueAnswer(platform::DialogResult::kAbort);
  EXPECT_NO_THROW(zip->AddFiles("Base\\*.*"));
  EXPECT_TRUE(zip->LastOperationAborted());
  ASSERT_EQ(dialogs_.shown().size(), 1u);
  EXPECT_NE(dialogs_.shown()[0].text.find("Native error: 00033. File processing error"),
            std::string::npos);
  zip->CloseArchive();
  EXPECT_EQ(ReadFileBytes(path_), before_);
  ExpectTailsGone();
}

TEST_F(ZipWriterTest, ForeignArchiveKeepsCommentExtraBlocksAndEntries) {
  if (!HaveTool("zip") || !HaveTool("unzip")) GTEST_SKIP();
  std::string path = scratch_ / "foreign.zip";
  ASSERT_EQ(Shell("cd '" + base_ + "' && zip -qr '" + path + "' Base && echo keep me | zip -qz '" +
                  path + "'"),
            0);
  auto zip = Make(path);
  zip->OpenArchive(kOpenReadWrite);
  std::vector<ExtraBlock> extra_before = zip->Directory().items[0].ExtraBlocks;
  ASSERT_FALSE(extra_before.empty());  // Info-ZIP's time and owner blocks
  WriteFileBytes(base_ + "/Base/a.db", std::string(100, 'z'));
  fs::create_directories(base_ + "/Added");
  WriteFileBytes(base_ + "/Added/x.txt", "x");
  zip->AddFiles("Base\\a.db");
  zip->AddFiles("Added\\*.*");
  zip->CloseArchive();
  EXPECT_EQ(Shell("unzip -tqq '" + path + "'"), 0);
  EXPECT_EQ(Shell("7z t '" + path + "' > /dev/null"), 0);
  auto again = Make(path);
  again->OpenArchive(kOpenReadDenyWrite);
  EXPECT_EQ(again->Comment(), "keep me");
  EXPECT_EQ(again->Directory().items[0].ExtraBlocks, extra_before);
  std::string out = scratch_ / "x";
  ASSERT_EQ(Shell("unzip -qo '" + path + "' -d '" + out + "'"), 0);
  EXPECT_EQ(ReadFileBytes(out + "/Base/a.db"), std::string(100, 'z'));
  EXPECT_EQ(ReadFileBytes(out + "/Base/sub/t.txt"), ReadFileBytes(base_ + "/Base/sub/t.txt"));
  EXPECT_EQ(ReadFileBytes(out + "/Added/x.txt"), "x");
}

TEST_F(ZipWriterTest, UpdatesKeepRecordsOfUnusualArchives) {
  using testing::BuildZip;
  using testing::TestEntry;
  WriteFileBytes(base_ + "/add.txt", "added");
  std::vector<TestEntry> entries = {{"first.txt", std::string(4000, '1')},
                                    {"second.txt", std::string(4000, '2')}};
  // A directory whose order is not the physical one, an archive behind a stub whose offsets do
  // not count it, and one whose entries carry data descriptors.
  std::vector<std::string> archives = {BuildZip(entries, "", {1, 0}),
                                       std::string(777, 'S') + BuildZip(entries)};
  for (auto& e : entries) e.descriptor = true;
  archives.push_back(BuildZip(entries));
  for (size_t n = 0; n < archives.size(); ++n) {
    std::string path = scratch_ / ("unusual" + std::to_string(n) + ".zip");
    WriteFileBytes(path, archives[n]);
    WriteFileBytes(base_ + "/second.txt", "replaced");
    auto zip = Make(path);
    zip->OpenArchive(kOpenReadWrite);
    zip->AddFiles("second.txt");
    zip->AddFiles("add.txt");
    zip->CloseArchive();
    auto again = Make(path);
    again->OpenArchive(kOpenReadDenyWrite);
    EXPECT_EQ(again->FileCount(), 3) << n;
    std::string out_name = "u";
    out_name += std::to_string(n);
    const std::string out_dir = scratch_ / out_name;
    again->BaseDir = out_dir;
    again->ExtractFiles();
    EXPECT_TRUE(dialogs_.shown().empty()) << n;
    EXPECT_EQ(ReadFileBytes(out_dir + "/first.txt"), std::string(4000, '1')) << n;
    EXPECT_EQ(ReadFileBytes(out_dir + "/second.txt"), "replaced");
    if (HaveTool("unzip")) {
      EXPECT_EQ(Shell("unzip -tqq '" + path + "'"), 0) << n;
    }
  }
}

TEST_F(ZipWriterTest, OtherProgramsGiveBackTheTree) {
  if (!HaveTool("unzip") || !HaveTool("7z")) GTEST_SKIP();
  std::string path = scratch_ / "b.zip";
  Backup(path, "Base\\*.*")->CloseArchive();
  EXPECT_EQ(Shell("unzip -tqq '" + path + "'"), 0);
  EXPECT_EQ(Shell("7z t '" + path + "' > /dev/null"), 0);
  std::string out = scratch_ / "7";
  ASSERT_EQ(Shell("7z x -o'" + out + "' '" + path + "' > /dev/null"), 0);
  // This 7-Zip keeps names without the UTF-8 flag as their bytes: CP866 here.
  EXPECT_EQ(ReadFileBytes(out + "/Base/sub/deeper/\x91\xAF\xE0\xA0\xA2\xAA\xA0.txt"), "кириллица");
  EXPECT_EQ(ReadFileBytes(out + "/Base/sub/t.txt"), ReadFileBytes(base_ + "/Base/sub/t.txt"));
  EXPECT_TRUE(fs::is_directory(out + "/Base/emptydir"));
}

#ifdef _WIN32
TEST_F(ZipWriterTest, FileHeldWithoutReadSharingIsNativeError33) {
  auto held = services_.fs->Open(base_ + "/Base/a.db", platform::Access::kReadWrite,
                                 platform::Share::kExclusive, platform::Disposition::kOpenExisting);
  auto zip = Make(scratch_ / "held.zip");
  zip->OpenArchive(kOpenCreate);
  dialogs_.QueueAnswer(platform::DialogResult::kIgnore);
  zip->AddFiles("Base\\*.*");
  ASSERT_EQ(dialogs_.shown().size(), 1u);
  EXPECT_NE(dialogs_.shown()[0].text.find("00033"), std::string::npos);
  EXPECT_EQ(zip->Directory().items.IndexOf("Base/a.db"), -1);
  EXPECT_GE(zip->Directory().items.IndexOf("Base/sub/t.txt"), 0);
}
#endif

}  // namespace
}  // namespace tarvo::archive
