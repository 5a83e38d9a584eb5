// The archive component's options and error paths that the installer itself does not use but
// that the component promises: how files are stored, which are vetoed, where they are extracted,
// Zip64 writing, damaged archives with repair off, and operations refused in the wrong state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "archive/zip_archiver.h"
#include "platform/auto_dialogs.h"
#include "tests/archive/zip_test_util.h"
#include "tests/install/faulty_fs.h"

namespace tarvo::archive {
namespace {

using testing::BuildZip;
using testing::HaveTool;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::TestEntry;
using testing::WriteFileBytes;
namespace fs = std::filesystem;

uint32_t U32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b.at(at + i));
  return v;
}
void PutU32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<char>(v >> (8 * i));
}

// A file system that reports as much free memory as a test wants.
class LowMemoryFileSystem : public install::testing::FaultyFileSystem {
 public:
  using FaultyFileSystem::FaultyFileSystem;
  uint64_t memory = uint64_t{1} << 30;
  uint64_t AvailablePhysicalMemory() override { return memory; }
};

class ZipOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = scratch_.path() + "/prog/";
    fs::create_directories(base_ + "Base/sub");
    WriteFileBytes(base_ + "Base/a.db", std::string(20000, 'a'));
    WriteFileBytes(base_ + "Base/notes.txt", std::string(20000, 'n'));
    WriteFileBytes(base_ + "Base/sub/b.db", std::string(20000, 'b'));
  }
  std::unique_ptr<TZipArchiver> Make(const std::string& path) {
    auto zip = std::make_unique<TZipArchiver>(*services_.fs, dialogs_);
    zip->FileName = path;
    zip->BaseDir = base_;
    zip->SetCompressionLevel(TZipCompressionLevel::clNormal);
    return zip;
  }
  // Adds Base\*.* to a new archive with `setup` applied first; returns the stored entries.
  std::vector<TDirItem> Add(const std::function<void(TZipArchiver&)>& setup,
                            const std::string& exclusion = "") {
    fs::remove(path_);
    auto zip = Make(path_);
    setup(*zip);
    zip->OpenArchive(kOpenCreate);
    zip->AddFiles("Base\\*.*", kFaDefaultSearch, exclusion);
    std::vector<TDirItem> items;
    for (int i = 0; i < zip->FileCount(); ++i) items.push_back(zip->Directory().items[i]);
    zip->TestFiles();
    EXPECT_FALSE(zip->LastOperationAborted());
    zip->CloseArchive();
    EXPECT_TRUE(dialogs_.shown().empty()) << dialogs_.shown()[0].text;
    return items;
  }
  static std::vector<std::string> Names(const std::vector<TDirItem>& items) {
    std::vector<std::string> names;
    for (const TDirItem& i : items) names.push_back(i.FileName);
    std::sort(names.begin(), names.end());
    return names;
  }

  platform::Services services_ = platform::MakeSystemServices();
  platform::AutoDialogs dialogs_;
  ScratchDir scratch_;
  std::string base_;
  std::string path_ = scratch_ / "o.zip";
};

TEST_F(ZipOptionsTest, WhatIsStoredAndUnderWhichName) {
  // Files matching a no-compression mask are stored, the others deflated.
  auto items = Add([](TZipArchiver& z) { z.NoCompressionMasks = {"*.txt"}; });
  ASSERT_EQ(items.size(), 4u);
  for (const TDirItem& i : items) {
    if (i.IsDirectory()) continue;
    const bool txt = i.FileName.find(".txt") != std::string::npos;
    EXPECT_EQ(i.header.method, txt ? 0 : 8) << i.FileName;
    if (txt) {
      EXPECT_EQ(i.CompressedSize, i.UncompressedSize);
    } else {
      EXPECT_LT(i.CompressedSize, 1000u) << i.FileName;
    }
  }

  // The exclusion mask drops matching files in every folder.
  EXPECT_EQ(Names(Add([](TZipArchiver&) {}, "*.db")),
            (std::vector<std::string>{"Base/notes.txt", "Base/sub/"}));

  // A veto from OnConfirmProcessFile leaves the file out, and the archive never adds itself.
  fs::copy_file(base_ + "Base/a.db", base_ + "Base/inner.zip");
  const std::string inner = base_ + "Base/inner.zip";
  path_ = inner;
  std::vector<std::string> asked;
  EXPECT_EQ(Names(Add([&](TZipArchiver& z) {
              z.OnConfirmProcessFile = [&](TZipBaseArchiver&, const std::string& name,
                                           TZipProcessOperation op, bool& confirm) {
                if (op != TZipProcessOperation::poAdd) return;  // the test afterwards
                asked.push_back(name);
                if (name.find("notes.txt") != std::string::npos) confirm = false;
              };
            })),
            (std::vector<std::string>{"Base/a.db", "Base/sub/", "Base/sub/b.db"}));
  EXPECT_EQ(asked.size(), 4u);
  path_ = scratch_ / "o.zip";
  fs::remove(inner);

  // The path modes other than relative.
  EXPECT_EQ(Names(Add([](TZipArchiver& z) { z.Options.StorePath = TZipStorePathMode::spNoPath; })),
            (std::vector<std::string>{"a.db", "b.db", "notes.txt", "sub/"}));
  for (const std::string& name :
       Names(Add([](TZipArchiver& z) { z.Options.StorePath = TZipStorePathMode::spFullPath; }))) {
    EXPECT_NE(name.find("/prog/Base/"), std::string::npos) << name;
    EXPECT_NE(name.front(), '/') << name;  // no root, no drive
    EXPECT_EQ(name.find(':'), std::string::npos) << name;
  }
  for (const std::string& name : Names(Add([](TZipArchiver& z) {
         z.Options.StorePath = TZipStorePathMode::spFullPathWithDrive;
       }))) {
    EXPECT_NE(name.find("/prog/Base/"), std::string::npos) << name;
    EXPECT_TRUE(name.front() == '/' || name.find(':') == 1) << name;  // the root stays
  }
}

TEST_F(ZipOptionsTest, Zip64WritingAlwaysAndOnlyWhenNeeded) {
  Add([](TZipArchiver& z) { z.Zip64Mode = TZip64Mode::zmAuto; });
  std::string bytes = ReadFileBytes(path_);
  EXPECT_EQ(bytes.find("PK\x06\x06"), std::string::npos);  // small archive: no Zip64 record
  EXPECT_NE(U32(bytes, 18), 0xFFFFFFFFu);
  EXPECT_EQ(U32(bytes, 22), 20000u);  // the first entry, a.db, in plain fields

  const auto items = Add([](TZipArchiver& z) { z.Zip64Mode = TZip64Mode::zmAlways; });
  bytes = ReadFileBytes(path_);
  for (const TDirItem& i : items) {
    EXPECT_TRUE(i.Zip64) << i.FileName;
    EXPECT_EQ(i.header.version_needed, 45) << i.FileName;
    EXPECT_EQ(i.header.compressed_size, 0xFFFFFFFFu) << i.FileName;
    EXPECT_EQ(i.header.uncompressed_size, 0xFFFFFFFFu) << i.FileName;
    EXPECT_EQ(i.header.local_header_offset, 0xFFFFFFFFu) << i.FileName;
  }
  // The end of the directory needs no Zip64 records, whatever the mode.
  EXPECT_EQ(bytes.find("PK\x06\x06"), std::string::npos);
  // The sizes in the first local header point to its Zip64 block.
  EXPECT_EQ(U32(bytes, 0), 0x04034B50u);
  EXPECT_EQ(U32(bytes, 18), 0xFFFFFFFFu);
  EXPECT_EQ(U32(bytes, 22), 0xFFFFFFFFu);
  // It reads back, and other programs read it too.
  auto zip = Make(path_);
  zip->OpenArchive(kOpenReadDenyWrite);
  EXPECT_EQ(zip->FileCount(), 4);
  zip->BaseDir = scratch_ / "out";
  zip->ExtractFiles();
  EXPECT_FALSE(zip->LastOperationAborted());
  zip->CloseArchive();
  EXPECT_EQ(ReadFileBytes(scratch_ / "out/Base/sub/b.db"), std::string(20000, 'b'));
  if (HaveTool("unzip")) {
    EXPECT_EQ(testing::Run("unzip -tq '" + path_ + "' >/dev/null 2>&1"), 0);
  }
}

TEST_F(ZipOptionsTest, ExtractionVetoesAndFlatExtraction) {
  std::vector<TestEntry> entries = {{"Sub/Dir/b.txt", "bee"}, {"a.txt", "ay"}, {"c.txt", "see"}};
  WriteFileBytes(path_, BuildZip(entries));
  const std::string out = scratch_ / "flat";
  auto zip = Make(path_);
  zip->BaseDir = out;
  zip->OpenArchive(kOpenReadDenyWrite);
  std::vector<std::string> tested;
  zip->OnConfirmProcessFile = [](TZipBaseArchiver&, const std::string& name, TZipProcessOperation,
                                 bool& confirm) { confirm = name != "c.txt"; };
  zip->OnFileProgress = [&](TZipBaseArchiver&, const std::string& name, double,
                            TZipProcessOperation op, TZipProgressPhase phase, bool&) {
    if (op == TZipProcessOperation::poTest && phase == TZipProgressPhase::ppEnd)
      tested.push_back(name);
  };
  zip->TestFiles();
  EXPECT_EQ(tested, (std::vector<std::string>{"Sub\\Dir\\b.txt", "a.txt"}));
  zip->Options.CreateDirs = false;
  fs::create_directories(out);  // not made without CreateDirs
  zip->ExtractFiles();
  zip->CloseArchive();
  EXPECT_EQ(ReadFileBytes(out + "/b.txt"), "bee");
  EXPECT_EQ(ReadFileBytes(out + "/a.txt"), "ay");
  EXPECT_FALSE(fs::exists(out + "/Sub"));
  EXPECT_FALSE(fs::exists(out + "/c.txt"));
}

TEST_F(ZipOptionsTest, DamagedArchivesAndRefusedOperations) {
  const std::string good = BuildZip({{"a.txt", std::string(5000, 'a')}, {"b.txt", "bee"}});
  auto native_error_of = [&](const std::string& bytes, bool repair) {
    WriteFileBytes(path_, bytes);
    auto zip = Make(path_);
    zip->RepairOnOpen = repair;
    try {
      zip->OpenArchive(kOpenReadDenyWrite);
    } catch (const EZipException& e) {
      return e.NativeError();
    }
    const int count = zip->FileCount();
    zip->CloseArchive();
    return count == 2 ? 0 : -count;
  };
  // No end record: repaired from the local headers, or refused with repair off.
  const std::string cut = good.substr(0, good.size() - 22);
  EXPECT_EQ(native_error_of(cut, true), 0);
  EXPECT_EQ(native_error_of(cut, false), 48);
  // Compressed sizes that add up to more than the file.
  std::string inflated = good;
  const size_t directory = U32(good, good.size() - 22 + 16);
  ASSERT_EQ(U32(good, directory), 0x02014B50u);
  PutU32(inflated, directory + 20, 0x00FFFFFF);
  EXPECT_EQ(native_error_of(inflated, false), 57);
  // A Zip64 locator in front of the end record whose record is missing.
  std::string locator = "PK\x06\x07";
  locator += std::string(4, '\0') + std::string(8, '\0') + std::string("\x01\0\0\0", 4);
  std::string with_locator = good;
  with_locator.insert(good.size() - 22, locator);
  EXPECT_EQ(native_error_of(with_locator, true), 40);

  // An update on an archive opened for reading only, a test or an extraction inside an update.
  WriteFileBytes(path_, good);
  auto zip = Make(path_);
  zip->OpenArchive(kOpenReadDenyWrite);
  try {
    zip->AddFiles("Base\\*.*");
    ADD_FAILURE() << "an update on a read-only archive";
  } catch (const EZipException& e) {
    EXPECT_EQ(e.NativeError(), 32);
    EXPECT_NE(std::string(e.what()).find("File is open in read-only mode"), std::string::npos);
  }
  zip->CloseArchive();
  EXPECT_EQ(ReadFileBytes(path_), good);
  zip->OpenArchive(kOpenReadWrite);
  zip->BeginUpdate();
  for (int pass = 0; pass < 2; ++pass) {
    try {
      pass == 0 ? zip->TestFiles() : zip->ExtractFiles();
      ADD_FAILURE() << "an operation inside an update, pass " << pass;
    } catch (const EZipException& e) {
      EXPECT_EQ(e.NativeError(), 26);
    }
  }
  zip->CancelUpdate();
  zip->CloseArchive();
  EXPECT_EQ(ReadFileBytes(path_), good);
}

// Little free memory makes the decoder take smaller chunks; the data comes out the same.
TEST_F(ZipOptionsTest, DecodeChunksHalveUnderMemoryPressure) {
  std::string data;
  uint32_t x = 12345;
  for (int i = 0; i < 300000; ++i) {
    x = x * 1103515245 + 12345;
    data += static_cast<char>(x >> 24);
  }
  WriteFileBytes(path_, BuildZip({{"noise.bin", data}}));
  LowMemoryFileSystem low(*services_.fs);
  low.sync = false;
  auto chunks_with = [&](uint64_t memory) {
    low.memory = memory;
    TZipArchiver zip(low, dialogs_);
    zip.FileName = path_;
    zip.BaseDir = scratch_ / "mem";
    zip.OpenArchive(kOpenReadDenyWrite);
    int chunks = 0;
    zip.OnFileProgress = [&](TZipBaseArchiver&, const std::string&, double, TZipProcessOperation,
                             TZipProgressPhase phase,
                             bool&) { chunks += phase == TZipProgressPhase::ppProcess; };
    zip.ExtractFiles();
    EXPECT_FALSE(zip.LastOperationAborted());
    zip.CloseArchive();
    EXPECT_EQ(ReadFileBytes(scratch_ / "mem/noise.bin"), data) << memory;
    fs::remove(scratch_ / "mem/noise.bin");
    return chunks;
  };
  EXPECT_EQ(chunks_with(uint64_t{1} << 30), 1);
  const int tight = chunks_with(4u << 20);
  EXPECT_GT(tight, 1);
  const int tighter = chunks_with(20u << 10);
  EXPECT_GT(tighter, tight);
  EXPECT_LE(tighter, 300000 / 256 + 2);  // never below 256 bytes a chunk
  EXPECT_EQ(chunks_with(0), 1);          // 0: the platform could not tell
  EXPECT_TRUE(dialogs_.shown().empty());
}

}  // namespace
}  // namespace tarvo::archive
