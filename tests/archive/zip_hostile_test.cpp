// Archives from anyone: names that would write somewhere other than where they are listed,
// overlapping entries, deep and long paths. Nothing may be written outside the base folder, even
// for a moment, and the files already there survive.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>

#include "archive/zip_archiver.h"
#include "archive/zip_mask.h"
#include "platform/auto_dialogs.h"
#include "platform/path.h"
#include "tests/archive/zip_test_util.h"

namespace tarvo::archive {
namespace {

using testing::BuildZip;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::TestEntry;
using testing::WriteFileBytes;
namespace fs = std::filesystem;

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(WindowsNames, PlainNamesPassAndEveryFormWindowsAltersIsRefused) {
  for (const char* good : {"a", "readme.txt", "Tarvo7.exe", ".hidden", "a b.txt", "CONSOLE",
                           "COM10", "LPT0", "NULL.txt", "con_", "backup~1.txt.bak",
                           "Long Name File.txt", "\xD0\x91\xD0\xB0\xD0\xB7\xD0\xB0.db"})
    EXPECT_TRUE(platform::IsPlainWindowsName(good)) << good;
  const std::string nul("x\0y", 3);
  for (const std::string& bad : std::vector<std::string>{"",
                                                         ".",
                                                         "..",
                                                         "...",
                                                         ". .",
                                                         "precious.txt.",
                                                         "Tarvo7.exe. . .",
                                                         "name ",
                                                         "a\tb",
                                                         nul,
                                                         std::string("\0", 1),
                                                         "a<b",
                                                         "a>b",
                                                         "a:b",
                                                         "a\"b",
                                                         "a|b",
                                                         "a?b",
                                                         "a*b",
                                                         "CON",
                                                         "con",
                                                         "PRN",
                                                         "AUX",
                                                         "NUL",
                                                         "NUL.txt",
                                                         "nul.tar.gz",
                                                         "CON .txt",
                                                         "COM1",
                                                         "com9.log",
                                                         "LPT1",
                                                         "LPT9.x",
                                                         "CONIN$",
                                                         "conout$",
                                                         "COM\xC2\xB9",
                                                         "LPT\xC2\xB2.txt",
                                                         "COM\xC2\xB3",
                                                         "LONG~NCA.TXT",
                                                         "PROGRA~1",
                                                         "TARVO7~1.EXE"})
    EXPECT_FALSE(platform::IsPlainWindowsName(bad)) << bad;
}

TEST(WindowsNames, StoredPathsKeepOnlyPlainComponentsBelowTheBase) {
  EXPECT_EQ(SafeRelativePath("Sub/").value(), "Sub\\");
  EXPECT_EQ(SafeRelativePath("a/b/../c.txt").value(), "a\\b\\..\\c.txt");
  for (const char* bad : {"", ".", "..", "a/..", "a/.", "./a", "a/./b", "sub./x", "sub /x",
                          "a/CON/x", "Sub//", "a/NUL.txt", "x/..."})
    EXPECT_FALSE(SafeRelativePath(bad).has_value()) << bad;
  EXPECT_FALSE(SafeRelativePath(std::string("..\0/x", 5)).has_value());
  EXPECT_FALSE(SafeRelativePath(std::string(".\0", 2)).has_value());
}

// A search for the rule's text finds the refusal: each name says which rule refused it.
TEST(WindowsNames, RefusedNamesSayWhichRuleRefusedThem) {
  for (const char* climbs :
       {"../up.txt", "a/../../up.txt", "/abs.txt", "\\\\server/x", "C:/drive.txt", "c:x.txt"}) {
    const char* why = nullptr;
    EXPECT_FALSE(SafeRelativePath(climbs, &why).has_value()) << climbs;
    EXPECT_STREQ(why, "name leaves the base folder") << climbs;
  }
  for (const char* other : {"CON", "sub./x.txt", "a/./b", "a//b", "LONG~NCA.TXT", "a/.."}) {
    const char* why = nullptr;
    EXPECT_FALSE(SafeRelativePath(other, &why).has_value()) << other;
    EXPECT_STREQ(why, kReasonNotPlainName) << other;
  }
  const char* why = nullptr;
  EXPECT_TRUE(SafeRelativePath("a/../b.txt", &why).has_value());
  EXPECT_EQ(why, nullptr);
}

class HostileArchiveTest : public ::testing::Test {
 protected:
  HostileArchiveTest() : services_(platform::MakeSystemServices()) {
    fs::create_directories(base_);
    WriteFileBytes(base_ + "/precious.txt", "precious");
    WriteFileBytes(base_ + "/Tarvo7.exe", "MZ old");
    WriteFileBytes(base_ + "/Long Name File.txt", "long");
    parent_before_ = Listing(work_);
  }

  std::unique_ptr<TZipArchiver> Open(const std::string& bytes) {
    WriteFileBytes(archive_path_, bytes);
    auto zip = std::make_unique<TZipArchiver>(*services_.fs, dialogs_);
    zip->FileName = archive_path_;
    zip->BaseDir = base_;
    zip->OpenArchive(kOpenReadDenyWrite);
    return zip;
  }

  // Extracts everything, watching the parent of the base folder while entries decode and
  // recording each failure.
  void ExtractWatching(TZipArchiver& zip) {
    zip.OnFileProgress = [&](TZipBaseArchiver&, const std::string&, double, TZipProcessOperation,
                             TZipProgressPhase, bool&) {
      if (Listing(work_) != parent_before_) parent_changed_ = true;
    };
    zip.SetEntryFailureNote(
        [&](const std::string& name, const std::string& message, const std::string& reason) {
          notes_.push_back({name, message, reason});
        });
    zip.OnProcessFileFailure = [&](TZipBaseArchiver&, const std::string& name, TZipProcessOperation,
                                   int native, int, const std::string& message,
                                   TZipAction& action) {
      failures_.push_back({name, native, message});
      action = TZipAction::fxaIgnore;
    };
    zip.ExtractFiles();
    if (Listing(work_) != parent_before_) parent_changed_ = true;
  }

  static std::set<std::string> Listing(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
  }

  // No temporary or set-aside file is left anywhere below the folder. Walked with the engine's
  // own file functions, which reach past MAX_PATH on Windows.
  void ExpectNoLeftovers(const std::string& folder) {
    for (const platform::DirEntry& e : services_.fs->List(folder)) {
      if (e.name == "." || e.name == "..") continue;
      if (e.attributes & platform::kAttrDirectory) {
        ExpectNoLeftovers(folder + "/" + e.name);
        continue;
      }
      const std::string ext = platform::ExtractFileExt(e.name);
      EXPECT_FALSE(e.name.rfind("FC", 0) == 0 && ext == ".tmp") << e.name;
      EXPECT_NE(ext, ".old") << e.name;
    }
  }
  void ExpectNoLeftovers() { ExpectNoLeftovers(base_); }

  void ExpectOldFilesIntact() {
    EXPECT_EQ(ReadFileBytes(base_ + "/precious.txt"), "precious");
    EXPECT_EQ(ReadFileBytes(base_ + "/Tarvo7.exe"), "MZ old");
    EXPECT_EQ(ReadFileBytes(base_ + "/Long Name File.txt"), "long");
  }

  struct Failure {
    std::string name;
    int native;
    std::string message;
  };
  struct Note {
    std::string name, message, reason;
  };
  platform::Services services_;
  platform::AutoDialogs dialogs_;
  ScratchDir scratch_;
  std::string archive_path_ = scratch_ / "hostile.zip";
  std::string work_ = scratch_ / "work";  // the parent of the base folder, watched
  std::string base_ = work_ + "/base";
  std::set<std::string> parent_before_;
  bool parent_changed_ = false;
  std::vector<Failure> failures_;
  std::vector<Note> notes_;
};

TEST_F(HostileArchiveTest, NamesThatWouldWriteAnotherFileAreRefusedAndNothingLeavesTheBase) {
  const std::vector<std::string> names = {std::string(".\0evil", 6),
                                          std::string("..\0evil", 7),
                                          ".",
                                          "..",
                                          "a/./x.txt",
                                          "a//x.txt",
                                          "precious.txt.",
                                          "Tarvo7.exe. . .",
                                          "sub./x.txt",
                                          "sub /x.txt",
                                          "LONG~NCA.TXT",
                                          "CON",
                                          "NUL.txt",
                                          "COM1.log",
                                          "CONIN$",
                                          "LPT1",
                                          "a/aux.dat",
                                          "../up.txt",
                                          "/abs.txt",
                                          "C:/drive.txt"};
  std::vector<TestEntry> entries;
  for (const std::string& n : names) entries.push_back({n, std::string(70000, 'E')});
  TestEntry superscript{"COM\xC2\xB9", "E"};
  superscript.flags = 0x800;  // a UTF-8 name
  entries.push_back(superscript);
  entries.push_back({"fine.txt", "fine"});
  auto zip = Open(BuildZip(entries));
  ExtractWatching(*zip);

  ASSERT_EQ(failures_.size(), names.size() + 1);
  for (const Failure& f : failures_) EXPECT_EQ(f.native, 19) << f.name;
  EXPECT_FALSE(parent_changed_);
  ExpectOldFilesIntact();
  EXPECT_EQ(ReadFileBytes(base_ + "/fine.txt"), "fine");
  std::set<std::string> expected = {"precious.txt", "Tarvo7.exe", "Long Name File.txt", "fine.txt"};
  EXPECT_EQ(Listing(base_), expected);
}

// The reason travels beside the message, which stays the one the failure question shows.
TEST_F(HostileArchiveTest, RefusalsCarryTheirReasonBesideAnUnchangedMessage) {
  auto zip = Open(BuildZip({{"../up.txt", "u"}, {"CON", "c"}, {"fine.txt", "fine"}}));
  ExtractWatching(*zip);
  ASSERT_EQ(notes_.size(), 2u);
  ASSERT_EQ(failures_.size(), 2u);
  EXPECT_EQ(notes_[0].name, "..\\up.txt");
  EXPECT_EQ(notes_[0].reason, "name leaves the base folder");
  EXPECT_EQ(notes_[1].reason, kReasonNotPlainName);
  for (size_t i = 0; i < notes_.size(); ++i) {
    EXPECT_EQ(notes_[i].message, failures_[i].message);
    EXPECT_EQ(notes_[i].message.rfind("Cannot create file \"", 0), 0u) << notes_[i].message;
    EXPECT_EQ(notes_[i].message.find("base folder"), std::string::npos);
    EXPECT_NE(notes_[i].message.find(" - Native error: 00019"), std::string::npos);
  }
  EXPECT_EQ(ReadFileBytes(base_ + "/fine.txt"), "fine");
}

TEST_F(HostileArchiveTest, ReplacingAFileLeavesNoTemporaryOrSetAsideFile) {
  auto zip = Open(BuildZip({{"Tarvo7.exe", "MZ new"}, {"Sub/new.txt", "n"}}));
  ExtractWatching(*zip);
  EXPECT_TRUE(failures_.empty());
  EXPECT_EQ(ReadFileBytes(base_ + "/Tarvo7.exe"), "MZ new");
  EXPECT_EQ(ReadFileBytes(base_ + "/Sub/new.txt"), "n");
  ExpectNoLeftovers();
  EXPECT_FALSE(parent_changed_);
}

TEST_F(HostileArchiveTest, LongFoldersExtractAndTooDeepOrTooLongPathsFailAtOnce) {
  // A folder part past MAX_PATH, under the engine's limit: written in full.
  const std::string long_folder = Repeat("Long folder name " + std::string(40, 'x') + "/", 6);
  TestEntry deep_ok{long_folder + "file.txt", "far"};
  TestEntry too_deep{Repeat("a/", 2000) + "x", "deep"};
  TestEntry far_too_deep{Repeat("a/", 32766) + "x", "deeper"};
  TestEntry too_long{std::string(250, 'n') + "/" + Repeat(std::string(200, 'y') + "/", 10) + "z",
                     "long"};
  auto zip = Open(BuildZip({deep_ok, too_deep, far_too_deep, too_long}));
  const auto start = std::chrono::steady_clock::now();
  ExtractWatching(*zip);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  ASSERT_EQ(failures_.size(), 3u);
  for (const Failure& f : failures_) EXPECT_EQ(f.native, 61);
  const std::string far = base_ + "/" + long_folder + "file.txt";
  ASSERT_TRUE(services_.fs->FileExists(far));
  {
    auto file = services_.fs->Open(far, platform::Access::kRead, platform::Share::kDenyNone,
                                   platform::Disposition::kOpenExisting);
    std::string bytes(16, '\0');
    bytes.resize(file->Read(bytes.data(), bytes.size()));
    EXPECT_EQ(bytes, "far");
  }
  EXPECT_FALSE(fs::exists(base_ + "/a"));  // refused before any folder was made
  EXPECT_FALSE(fs::exists(base_ + "/" + std::string(250, 'n')));
  ExpectOldFilesIntact();
  ExpectNoLeftovers();
  EXPECT_FALSE(parent_changed_);
  // Taken down with the same functions: the scratch folder's own clean-up may not reach so far.
  (void)services_.fs->DeleteFileAt(far);
  for (std::string folder = platform::ExtractFilePath(far); folder.size() > base_.size() + 1;
       folder = platform::ExtractFilePath(platform::ExcludeTrailingBackslash(folder)))
    (void)services_.fs->RemoveFolder(folder);
}

TEST_F(HostileArchiveTest, OverlappingEntriesAreRefusedOnOpen) {
  TestEntry big{"Tarvo7.exe", std::string(1 << 20, 'M')};
  // A line break in a name must not reach the message, which may end up in a log.
  const std::string bomb = testing::OverlapBomb(big, 16, "bomb\r\n", ".bin");
  try {
    Open(bomb);
    FAIL() << "the bomb opened";
  } catch (const EZipException& e) {
    EXPECT_EQ(e.NativeError(), 63);
    const std::string what = e.what();
    EXPECT_NE(what.find("overlaps that of \"bomb\\x0D\\x0A"), std::string::npos) << what;
    EXPECT_EQ(what.find_first_of("\r\n"), std::string::npos) << what;
  }
  // An entry whose data runs into the central directory.
  std::string into = BuildZip({{"a.txt", std::string(1000, 'a'), 0}});
  const size_t central = into.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  into.replace(central + 20, 4, std::string("\xFF\x03\x00\x00", 4));  // compressed size 1023
  try {
    Open(into);
    FAIL() << "the entry reaching into the directory opened";
  } catch (const EZipException& e) {
    EXPECT_NE(std::string(e.what()).find("the central directory"), std::string::npos) << e.what();
  }
  EXPECT_EQ(Listing(base_).size(), 3u);  // only the files that were there
  ExpectOldFilesIntact();
}

}  // namespace
}  // namespace tarvo::archive
