#include <gtest/gtest.h>

#include <filesystem>

#include "archive/zip_archiver.h"
#include "archive/zip_stream.h"
#include "platform/auto_dialogs.h"
#include "tests/archive/zip_test_util.h"

namespace tarvo::archive {
namespace {

using testing::BuildZip;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::TestEntry;
using testing::WriteFileBytes;
namespace fs = std::filesystem;

class ZipReaderTest : public ::testing::Test {
 protected:
  ZipReaderTest() : services_(platform::MakeSystemServices()) {}

  // An archiver on `bytes` written to disk, opened read-only, extracting below out/.
  std::unique_ptr<TZipArchiver> Open(const std::string& bytes, uint16_t mode = kOpenReadDenyWrite) {
    WriteFileBytes(archive_path_, bytes);
    auto zip = std::make_unique<TZipArchiver>(*services_.fs, dialogs_);
    zip->FileName = archive_path_;
    zip->BaseDir = out_;
    zip->OpenArchive(mode);
    return zip;
  }
  std::string Out(const std::string& name) const { return out_ + "/" + name; }

  platform::Services services_;
  platform::AutoDialogs dialogs_;
  ScratchDir scratch_;
  std::string archive_path_ = scratch_ / "test.zip";
  std::string out_ = scratch_ / "out";
};

std::vector<TestEntry> ThreeEntries() {
  TestEntry a{"a.txt", std::string(3000, 'a')};
  TestEntry b{"Sub/Dir/b.txt", std::string(3000, 'b')};
  TestEntry c{"c.bin", std::string(3000, 'c'), 0};
  return {a, b, c};
}

TEST_F(ZipReaderTest, ListsExtractsAndTestsWithTimesAndFolders) {
  std::vector<TestEntry> entries = ThreeEntries();
  entries.push_back({"Empty/", "", 0, 0, 0x6000, 0x5A21, 0x10});
  entries.push_back({"zero.txt", "", 0});
  auto zip = Open(BuildZip(entries, "archive comment"));
  EXPECT_EQ(zip->FileCount(), 5);
  EXPECT_EQ(zip->Comment(), "archive comment");

  TZipArchiveItem item;
  ASSERT_TRUE(zip->FindFirst("*.*", item));
  EXPECT_EQ(item.FileName, "a.txt");
  EXPECT_EQ(item.UncompressedSize, 3000u);
  EXPECT_GT(item.CompressionRate, 90);
  ASSERT_TRUE(zip->FindNext(item));
  EXPECT_EQ(item.FileName, "b.txt");
  EXPECT_EQ(item.StoredPath, "Sub\\Dir\\");

  zip->ExtractFiles("*.*");
  EXPECT_EQ(ReadFileBytes(Out("Sub/Dir/b.txt")), std::string(3000, 'b'));
  EXPECT_EQ(ReadFileBytes(Out("c.bin")), std::string(3000, 'c'));
  EXPECT_TRUE(fs::is_directory(Out("Empty")));
  EXPECT_TRUE(fs::exists(Out("zero.txt")));
  EXPECT_EQ(fs::file_size(Out("zero.txt")), 0u);
  // 12:00:00 on 2025-01-01, local time, in two-second steps.
  auto t = services_.fs->GetLastWriteTime(Out("a.txt"));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->date, 0x5A21);
  EXPECT_EQ(t->time, 0x6000);
  EXPECT_TRUE(dialogs_.shown().empty());
  // No temporary files are left beside the targets.
  for (auto& e : fs::recursive_directory_iterator(out_))
    EXPECT_EQ(e.path().filename().string().rfind("FC", 0), std::string::npos) << e.path();

  zip->TestFiles("*.*");
  EXPECT_TRUE(dialogs_.shown().empty());
  EXPECT_FALSE(zip->LastOperationAborted());
}

TEST_F(ZipReaderTest, OddDosSecondsKeepTheirTwoSecondStep) {
  TestEntry e{"t.txt", "x"};
  e.time = (13 << 11) | (45 << 5) | 29;  // 13:45:58
  auto zip = Open(BuildZip({e}));
  zip->ExtractFiles();
  auto t = services_.fs->GetLastWriteTime(Out("t.txt"));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->time, e.time);
}

TEST_F(ZipReaderTest, ProgressOfThreeEqualEntries) {
  auto zip = Open(BuildZip(ThreeEntries()));
  std::vector<std::pair<TZipProgressPhase, double>> overall;
  std::vector<std::string> file_events;
  zip->OnOverallProgress = [&](TZipBaseArchiver&, double p, TZipProcessOperation op,
                               TZipProgressPhase phase, bool&) {
    EXPECT_EQ(op, TZipProcessOperation::poExtract);
    overall.push_back({phase, p});
  };
  zip->OnFileProgress = [&](TZipBaseArchiver&, const std::string& name, double p,
                            TZipProcessOperation, TZipProgressPhase phase, bool&) {
    file_events.push_back(name + ":" + std::to_string(int(phase)) + ":" + std::to_string(int(p)));
  };
  zip->ExtractFiles();
  ASSERT_EQ(overall.size(), 5u);
  EXPECT_EQ(overall[0].first, TZipProgressPhase::ppStart);
  EXPECT_DOUBLE_EQ(overall[0].second, 0);
  EXPECT_DOUBLE_EQ(overall[1].second, 0);
  EXPECT_NEAR(overall[2].second, 33.333, 0.01);
  EXPECT_NEAR(overall[3].second, 66.667, 0.01);
  EXPECT_EQ(overall[4].first, TZipProgressPhase::ppEnd);
  EXPECT_DOUBLE_EQ(overall[4].second, 100);
  EXPECT_EQ(file_events[0], "a.txt:0:0");
  EXPECT_EQ(file_events[1], "a.txt:1:0");
  EXPECT_EQ(file_events[2], "a.txt:2:100");
  EXPECT_EQ(file_events[3], "Sub\\Dir\\b.txt:0:0");
}

TEST_F(ZipReaderTest, CancelStopsAndDeletesThePartFile) {
  auto zip = Open(BuildZip(ThreeEntries()));
  int calls = 0;
  std::vector<TZipProgressPhase> phases;
  zip->OnOverallProgress = [&](TZipBaseArchiver&, double, TZipProcessOperation,
                               TZipProgressPhase phase, bool& cancel) {
    phases.push_back(phase);
    if (phase == TZipProgressPhase::ppProcess && ++calls == 2) cancel = true;
  };
  zip->ExtractFiles();
  EXPECT_TRUE(fs::exists(Out("a.txt")));
  EXPECT_FALSE(fs::exists(Out("Sub/Dir/b.txt")));
  EXPECT_FALSE(fs::exists(Out("c.bin")));
  EXPECT_EQ(phases.back(), TZipProgressPhase::ppEnd);
  EXPECT_TRUE(zip->LastOperationAborted());
  EXPECT_TRUE(dialogs_.shown().empty());
}

// A cancel at the opening event ends the operation there: no file events, no closing event.
TEST_F(ZipReaderTest, CancelAtTheFirstEventIsTheLastEvent) {
  for (const bool extract : {true, false}) {
    SCOPED_TRACE(extract ? "extract" : "test");
    auto zip = Open(BuildZip(ThreeEntries()));
    std::vector<TZipProgressPhase> phases;
    int file_events = 0;
    zip->OnOverallProgress = [&](TZipBaseArchiver&, double, TZipProcessOperation,
                                 TZipProgressPhase phase, bool& cancel) {
      phases.push_back(phase);
      cancel = true;
    };
    zip->OnFileProgress = [&](TZipBaseArchiver&, const std::string&, double, TZipProcessOperation,
                              TZipProgressPhase, bool&) { ++file_events; };
    if (extract) {
      zip->ExtractFiles();
    } else {
      zip->TestFiles();
    }
    EXPECT_EQ(phases, std::vector<TZipProgressPhase>{TZipProgressPhase::ppStart});
    EXPECT_EQ(file_events, 0);
    EXPECT_TRUE(zip->LastOperationAborted());
    EXPECT_FALSE(fs::exists(Out("a.txt")));
    zip->CloseArchive();
  }
}

TEST_F(ZipReaderTest, CorruptEntryGoesToTheDialogAndKeepsTheOldFile) {
  auto entries = ThreeEntries();
  entries[1].corrupt_crc = true;
  auto zip = Open(BuildZip(entries));
  fs::create_directories(Out("Sub/Dir"));
  WriteFileBytes(Out("Sub/Dir/b.txt"), "old content");
  dialogs_.QueueAnswer(platform::DialogResult::kIgnore);
  zip->ExtractFiles();
  ASSERT_EQ(dialogs_.shown().size(), 1u);
  EXPECT_EQ(dialogs_.shown()[0].text,
            "Invalid size or check sum of file or unsupported compression format - Native error: "
            "00008. File processing error, possibly disk is full");
  EXPECT_EQ(dialogs_.shown()[0].buttons,
            (std::vector<platform::DialogResult>{platform::DialogResult::kAbort,
                                                 platform::DialogResult::kRetry,
                                                 platform::DialogResult::kIgnore}));
  EXPECT_EQ(ReadFileBytes(Out("Sub/Dir/b.txt")), "old content");
  EXPECT_TRUE(fs::exists(Out("c.bin")));  // after Ignore the rest goes on

  // Kept when corrupted files are wanted.
  zip->ExtractCorruptedFiles = true;
  dialogs_.ClearShown();
  zip->ExtractFiles("b.txt");
  EXPECT_TRUE(dialogs_.shown().empty());
  EXPECT_EQ(ReadFileBytes(Out("Sub/Dir/b.txt")), std::string(3000, 'b'));
}

TEST_F(ZipReaderTest, AbortInTheDialogEndsNormallyAndRetryRepeats) {
  auto entries = ThreeEntries();
  entries[0].corrupt_crc = true;
  auto zip = Open(BuildZip(entries));
  dialogs_.QueueAnswer(platform::DialogResult::kAbort);
  EXPECT_NO_THROW(zip->ExtractFiles());
  EXPECT_FALSE(fs::exists(Out("a.txt")));
  EXPECT_FALSE(fs::exists(Out("Sub/Dir/b.txt")));
  EXPECT_TRUE(zip->LastOperationAborted());

  int failures = 0;
  zip->OnProcessFileFailure = [&](TZipBaseArchiver&, const std::string& name,
                                  TZipProcessOperation op, int native, int code, const std::string&,
                                  TZipAction& action) {
    EXPECT_EQ(name, "a.txt");
    EXPECT_EQ(op, TZipProcessOperation::poTest);
    EXPECT_EQ(native, 8);
    EXPECT_EQ(code, 4);
    action = ++failures < 3 ? TZipAction::fxaRetry : TZipAction::fxaIgnore;
  };
  zip->TestFiles();
  EXPECT_EQ(failures, 3);
  EXPECT_FALSE(zip->LastOperationAborted());
}

TEST_F(ZipReaderTest, PasswordsThroughEventAndDialog) {
  TestEntry secret{"secret.txt", std::string(5000, 's')};
  secret.password = "right";
  TestEntry stored{"stored.txt", "plain stored text", 0};
  stored.password = "right";
  TestEntry described{"desc.txt", "descriptor entry", 8};
  described.password = "right";
  described.descriptor = true;
  std::string bytes = BuildZip({secret, stored, described});

  {
    auto zip = Open(bytes);
    zip->Password = "wrong";
    std::vector<std::string> asked;
    zip->OnPassword = [&](TZipBaseArchiver&, const std::string& name, std::string& pw, bool& skip) {
      asked.push_back(name);
      if (name == "secret.txt")
        pw = "right";
      else
        skip = true;
    };
    zip->Password = "wrong";
    zip->ExtractFiles();
    EXPECT_EQ(ReadFileBytes(Out("secret.txt")), std::string(5000, 's'));
    EXPECT_EQ(ReadFileBytes(Out("stored.txt")), "plain stored text");  // new password kept
    EXPECT_EQ(ReadFileBytes(Out("desc.txt")), "descriptor entry");
    EXPECT_EQ(asked, std::vector<std::string>{"secret.txt"});
  }
  fs::remove_all(out_);
  {
    auto zip = Open(bytes);
    zip->Password = "nope";
    // Skipped by the dialog's Cancel: neither an error nor a file.
    zip->ExtractFiles("secret.txt");
    EXPECT_FALSE(fs::exists(Out("secret.txt")));
    ASSERT_EQ(dialogs_.shown().size(), 1u);
    EXPECT_EQ(dialogs_.shown()[0].caption, "Password for \"secret.txt\"");
    EXPECT_EQ(dialogs_.shown()[0].text, "Enter password: ");
    dialogs_.ClearShown();
    dialogs_.QueueInput("right");
    zip->TestFiles();
    EXPECT_EQ(dialogs_.shown().size(), 1u);
    EXPECT_EQ(zip->Password, "right");
  }
}

TEST_F(ZipReaderTest, ReadOnlyTargetsAndOverwriteModes) {
  auto zip = Open(BuildZip({{"r.txt", "new"}}));
  fs::create_directories(out_);
  WriteFileBytes(Out("r.txt"), "old");
  (void)services_.fs->SetAttributes(Out("r.txt"), platform::kAttrReadOnly);

  zip->Options.ReplaceReadOnly = false;
  zip->ExtractFiles();
  (void)services_.fs->SetAttributes(Out("r.txt"), platform::kAttrArchive);
  EXPECT_EQ(ReadFileBytes(Out("r.txt")), "old");
  (void)services_.fs->SetAttributes(Out("r.txt"), platform::kAttrReadOnly);

  zip->Options.ReplaceReadOnly = true;
  zip->ExtractFiles();
  EXPECT_EQ(ReadFileBytes(Out("r.txt")), "new");
  EXPECT_EQ(services_.fs->GetAttributes(Out("r.txt")).value_or(0) & 0x21, 0x20u);

  WriteFileBytes(Out("r.txt"), "old");
  zip->Options.OverwriteMode = TZipOverwriteMode::omNever;
  zip->ExtractFiles();
  EXPECT_EQ(ReadFileBytes(Out("r.txt")), "old");

  // The file is newer than the entry (written now, entry from 2025-01-01).
  (void)services_.fs->SetLastWriteTime(Out("r.txt"), platform::DosDateTime{0x5C21, 0});
  zip->Options.OverwriteMode = TZipOverwriteMode::omIfNewer;
  zip->ExtractFiles();
  EXPECT_EQ(ReadFileBytes(Out("r.txt")), "old");
  zip->Options.OverwriteMode = TZipOverwriteMode::omIfOlder;
  zip->ExtractFiles();
  EXPECT_EQ(ReadFileBytes(Out("r.txt")), "new");

  WriteFileBytes(Out("r.txt"), "old");
  zip->Options.OverwriteMode = TZipOverwriteMode::omPrompt;
  dialogs_.QueueAnswer(platform::DialogResult::kNoToAll);
  zip->ExtractFiles();
  EXPECT_EQ(ReadFileBytes(Out("r.txt")), "old");
  EXPECT_EQ(zip->Options.OverwriteMode, TZipOverwriteMode::omNever);
  ASSERT_EQ(dialogs_.shown().size(), 1u);
  EXPECT_NE(dialogs_.shown()[0].text.find("\" with \"r.txt\""), std::string::npos);
}

TEST_F(ZipReaderTest, NamesThatClimbOutOfTheBaseAreRefused) {
  auto zip = Open(BuildZip({{"../evil.txt", "x"}, {"/abs.txt", "x"}, {"ok/../fine.txt", "x"}}));
  zip->Name = "Z";
  std::vector<std::string> messages;
  zip->OnProcessFileFailure = [&](TZipBaseArchiver&, const std::string&, TZipProcessOperation,
                                  int native, int, const std::string& msg, TZipAction& action) {
    EXPECT_EQ(native, 19);
    messages.push_back(msg);
    action = TZipAction::fxaIgnore;
  };
  zip->ExtractFiles();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].rfind("Z: Cannot create file \"", 0), 0u);
  EXPECT_NE(messages[0].find("..\\evil.txt\" - Native error: 00019"), std::string::npos);
  EXPECT_FALSE(fs::exists(scratch_ / "evil.txt"));
  EXPECT_TRUE(fs::exists(Out("fine.txt")));

  // A handler may send an entry elsewhere on purpose.
  zip->OnProcessFileFailure = nullptr;
  zip->OnExtractFile = [&](TZipBaseArchiver&, std::string& name, uint32_t&, const std::string&) {
    if (name == "..\\evil.txt") name = "..\\chosen.txt";
  };
  zip->ExtractFiles("evil.txt");
  EXPECT_TRUE(fs::exists(scratch_ / "chosen.txt"));
}

TEST_F(ZipReaderTest, StubsInFrontAreFound) {
  std::string zip_bytes = BuildZip(ThreeEntries());
  std::string stub(1000, 'S');
  stub.replace(100, 4, "PK\x03\x04");  // a false local header inside the stub
  auto zip = Open(stub + zip_bytes);
  EXPECT_EQ(zip->Directory().stub_size, 1000u);
  zip->TestFiles();
  zip->ExtractFiles();
  EXPECT_TRUE(dialogs_.shown().empty());
  EXPECT_EQ(ReadFileBytes(Out("c.bin")), std::string(3000, 'c'));
}

TEST_F(ZipReaderTest, StubInFrontOfDescriptorEntries) {
  // Local headers of descriptor entries hold no CRC or sizes: the stub is still recognised.
  auto entries = ThreeEntries();
  for (auto& e : entries) e.descriptor = true;
  auto zip = Open(std::string(1000, 'S') + BuildZip(entries));
  EXPECT_EQ(zip->Directory().stub_size, 1000u);
  zip->ExtractFiles();
  EXPECT_TRUE(dialogs_.shown().empty());
  EXPECT_EQ(ReadFileBytes(Out("Sub/Dir/b.txt")), std::string(3000, 'b'));
}

TEST_F(ZipReaderTest, OffsetsThatAlreadyCountTheStubStayAsTheyAre) {
  // A local-header look-alike in front must not shift offsets that are right.
  std::string zip_bytes = BuildZip(ThreeEntries());
  auto zip = Open(zip_bytes);
  EXPECT_EQ(zip->Directory().stub_size, 0u);
  zip->TestFiles();
  EXPECT_TRUE(dialogs_.shown().empty());
}

TEST_F(ZipReaderTest, EndRecordSearchSkipsFalseRecords) {
  std::string comment(700, 'c');
  // A fake end record inside the comment whose comment length points past the end.
  std::string fake = std::string("PK\x05\x06", 4) + std::string(16, '\0') + "\xFF\x00";
  comment.replace(600, fake.size(), fake);
  auto zip = Open(BuildZip(ThreeEntries(), comment));
  EXPECT_EQ(zip->FileCount(), 3);
  EXPECT_EQ(zip->Comment(), comment);
  EXPECT_FALSE(zip->Directory().repaired);
}

TEST_F(ZipReaderTest, TruncatedArchiveIsRepairedAndNonArchivesFail) {
  auto entries = ThreeEntries();
  entries[2].descriptor = true;
  std::string bytes = BuildZip(entries);
  size_t dir = bytes.find("PK\x01\x02");
  auto zip = Open(bytes.substr(0, dir + 30));
  EXPECT_TRUE(zip->Directory().repaired);
  ASSERT_EQ(zip->FileCount(), 3);
  EXPECT_EQ(zip->Directory().items[2].UncompressedSize, 3000u);  // from the data descriptor
  zip->ExtractFiles();
  EXPECT_TRUE(dialogs_.shown().empty());
  EXPECT_EQ(ReadFileBytes(Out("c.bin")), std::string(3000, 'c'));
  zip->CloseArchive();

  for (std::string junk : {std::string("just some text, not an archive\n"), std::string()}) {
    try {
      Open(junk);
      FAIL();
    } catch (const EZipException& e) {
      EXPECT_EQ(e.NativeError(), 35);
      EXPECT_EQ(e.ErrorCode(), 18);
    }
  }
}

TEST_F(ZipReaderTest, OpenAndStateErrors) {
  TZipArchiver zip(*services_.fs, dialogs_);
  auto native = [](auto&& f) {
    try {
      f();
    } catch (const EZipException& e) {
      return e.NativeError();
    }
    return 0;
  };
  EXPECT_EQ(native([&] { zip.TestFiles(); }), 13);
  EXPECT_EQ(native([&] { zip.OpenArchive(kOpenReadDenyWrite); }), 10);
  zip.FileName = scratch_ / "missing.zip";
  EXPECT_EQ(native([&] { zip.OpenArchive(kOpenReadDenyWrite); }), 12);
  EXPECT_FALSE(zip.Active());

  EXPECT_EQ(zip.CompressionLevel(), TZipCompressionLevel::clFastest);
  EXPECT_EQ(zip.CompressionMode(), 1);
  EXPECT_EQ(zip.Zip64Mode, TZip64Mode::zmDisabled);
  zip.SetCompressionLevel(TZipCompressionLevel::clNormal);
  EXPECT_EQ(zip.CompressionMode(), 6);
  zip.SetCompressionMode(5);
  EXPECT_EQ(zip.CompressionLevel(), TZipCompressionLevel::clNormal);
  EXPECT_EQ(native([&] { zip.SetCompressionMode(10); }), 5);
  EXPECT_EQ(zip.CompressionMode(), 5);
  zip.SetCompressionMode(0);
  EXPECT_EQ(zip.CompressionMethod(), 0);
  EXPECT_EQ(zip.CompressionLevel(), TZipCompressionLevel::clNone);

  // A created archive that stays empty is the 22-byte end record.
  zip.FileName = scratch_ / "new.zip";
  zip.OpenArchive(kOpenCreate);
  EXPECT_THROW(zip.SetSpanningMode(TZipSpanningMode::smSpanning), std::runtime_error);
  zip.CloseArchive();
  EXPECT_EQ(ReadFileBytes(scratch_ / "new.zip").size(), 22u);
  zip.OpenArchive(kOpenReadDenyWrite);
  EXPECT_EQ(zip.FileCount(), 0);
}

TEST_F(ZipReaderTest, UnsupportedMethodsFailAsEntries) {
  TestEntry d64{"d64.bin", "xx", 9};
  TestEntry odd{"odd.bin", "xx", 12};
  auto zip = Open(BuildZip({d64, odd}));
  std::vector<int> natives;
  zip->OnProcessFileFailure = [&](TZipBaseArchiver&, const std::string&, TZipProcessOperation,
                                  int native, int, const std::string&, TZipAction& action) {
    natives.push_back(native);
    action = TZipAction::fxaIgnore;
  };
  zip->TestFiles();
  EXPECT_EQ(natives, (std::vector<int>{55, 8}));
}

TEST_F(ZipReaderTest, ArchivesInMemoryAndCyrillicNames) {
  TestEntry e{"\x8F\xE0\xA8\xAC\xA5\xE0/\x94\xA0\xA9\xAB.txt", "данные"};
  std::string bytes = BuildZip({e});
  auto zip = std::make_unique<TZipArchiver>(*services_.fs, dialogs_);
  zip->OpenArchive(std::make_unique<MemoryFile>(std::vector<uint8_t>(bytes.begin(), bytes.end())),
                   kOpenReadDenyWrite);
  ASSERT_EQ(zip->FileCount(), 1);
  EXPECT_EQ(zip->Directory().items[0].FileName, "Пример/Файл.txt");
  TZipArchiveItem item;
  EXPECT_TRUE(zip->FindFirst("пример\\файл.TXT", item));
  zip->BaseDir = out_;
  zip->ExtractFiles();
  EXPECT_EQ(ReadFileBytes(Out("Пример/Файл.txt")), "данные");
}

}  // namespace
}  // namespace tarvo::archive
