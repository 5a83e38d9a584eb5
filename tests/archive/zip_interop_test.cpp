// Archives made by Info-ZIP and 7-Zip during the run, read by the engine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "archive/zip_archiver.h"
#include "archive/zip_crypt.h"
#include "platform/auto_dialogs.h"
#include "tests/archive/zip_test_util.h"

namespace tarvo::archive {
namespace {

using testing::HaveTool;
using testing::ReadFileBytes;

using testing::ScratchDir;
using testing::WriteFileBytes;
namespace fs = std::filesystem;

int Shell(const std::string& command) { return testing::Run(command); }

class ZipInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"zip", "unzip", "7z"})
      if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    src_ = scratch_ / "src";
    fs::create_directories(src_ + "/Base/sub");
    fs::create_directories(src_ + "/Empty");
    WriteFileBytes(src_ + "/readme", "no extension\n");
    WriteFileBytes(src_ + "/zero.txt", "");
    std::string text;
    for (int i = 0; i < 40000; ++i) text += "line " + std::to_string(i) + "\n";
    WriteFileBytes(src_ + "/Base/big.txt", text);
    std::string noise(300000, '\0');
    uint32_t x = 12345;
    for (char& c : noise) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
    WriteFileBytes(src_ + "/Base/sub/noise.bin", noise);
  }

  std::unique_ptr<TZipArchiver> Open(const std::string& path) {
    auto zip = std::make_unique<TZipArchiver>(*services_.fs, dialogs_);
    zip->FileName = path;
    zip->OpenArchive(kOpenReadDenyWrite);
    return zip;
  }

  // Every file of `root` by its relative path with "/", with its content.
  static std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
      std::string rel = fs::relative(e.path(), root).generic_string();
      out[rel + (e.is_directory() ? "/" : "")] =
          e.is_directory() ? "" : ReadFileBytes(e.path().string());
    }
    return out;
  }

  // Extracts with the engine and compares with the source tree; also checks each entry's CRC
  // and size against the source file.
  void ExpectSameAsSource(const std::string& archive, const std::string& password = "") {
    auto zip = Open(archive);
    for (int i = 0; i < zip->FileCount(); ++i) {
      const TDirItem& d = zip->Directory().items[i];
      if (d.IsDirectory()) continue;
      std::string data = ReadFileBytes(src_ + "/" + d.FileName);
      EXPECT_EQ(d.UncompressedSize, data.size()) << d.FileName;
      EXPECT_EQ(d.header.crc32, UpdateCrc32(0, data.data(), data.size())) << d.FileName;
    }
    std::string out = scratch_ / ("out_" + std::to_string(++outs_));
    zip->BaseDir = out;
    zip->Password = password;
    zip->TestFiles();
    zip->ExtractFiles();
    EXPECT_TRUE(dialogs_.shown().empty()) << dialogs_.shown()[0].text;
    EXPECT_EQ(Tree(out), Tree(src_));
  }

  std::string Names(const std::string& archive) {
    std::string list = scratch_ / "names.txt";
    Shell("unzip -Z1 '" + archive + "' > '" + list + "'");
    return ReadFileBytes(list);
  }
  std::string OurNames(TZipArchiver& zip) {
    std::string s;
    for (int i = 0; i < zip.FileCount(); ++i) s += zip.Directory().items[i].FileName + "\n";
    return s;
  }

  platform::Services services_ = platform::MakeSystemServices();
  platform::AutoDialogs dialogs_;
  ScratchDir scratch_;
  std::string src_;
  int outs_ = 0;
};

TEST_F(ZipInteropTest, InfoZipStoredDeflatedAndCommented) {
  std::string deflated = scratch_ / "d.zip", stored = scratch_ / "s.zip";
  ASSERT_EQ(Shell("cd '" + src_ + "' && zip -qr '" + deflated + "' . && zip -qr0 '" + stored +
                  "' . && echo 'the comment' | zip -qz '" + deflated + "'"),
            0);
  ExpectSameAsSource(deflated);
  ExpectSameAsSource(stored);
  auto zip = Open(deflated);
  EXPECT_EQ(zip->Comment(), "the comment");
  EXPECT_EQ(OurNames(*zip), Names(deflated));
}

TEST_F(ZipInteropTest, InfoZipEncryptedWithDataDescriptors) {
  std::string path = scratch_ / "e.zip";
  ASSERT_EQ(Shell("cd '" + src_ + "' && zip -qr -e -P 'pa ss' '" + path + "' ."), 0);
  ExpectSameAsSource(path, "pa ss");
  auto zip = Open(path);
  bool saw_descriptor = false;
  for (int i = 0; i < zip->FileCount(); ++i)
    saw_descriptor |= (zip->Directory().items[i].header.flags & 0x0008) != 0;
  EXPECT_TRUE(saw_descriptor);

  // A wrong password: every encrypted entry is asked for and skipped, nothing is written. The
  // check of this encryption is one byte, so about one entry in 256 passes it with a wrong
  // password (Info-ZIP's headers are random); such an entry must fail its CRC instead.
  int asked = 0, failed = 0;
  zip->OnPassword = [&](TZipBaseArchiver&, const std::string&, std::string&, bool& skip) {
    ++asked;
    skip = true;
  };
  zip->OnProcessFileFailure = [&](TZipBaseArchiver&, const std::string&, TZipProcessOperation, int,
                                  int, const std::string&, TZipAction& a) {
    ++failed;
    a = TZipAction::fxaIgnore;
  };
  zip->Password = "wrong";
  zip->BaseDir = scratch_ / "wrong";
  zip->ExtractFiles();
  EXPECT_EQ(asked + failed, 4);
  EXPECT_GE(asked, 2);
  for (auto& e : fs::recursive_directory_iterator(scratch_ / "wrong"))
    EXPECT_TRUE(e.is_directory()) << e.path();
}

TEST_F(ZipInteropTest, StubsInFrontPlainAndAdjusted) {
  std::string plain = scratch_ / "p.zip";
  ASSERT_EQ(Shell("cd '" + src_ + "' && zip -qr '" + plain + "' ."), 0);
  std::string stub(1000, 'M');
  std::string cat = scratch_ / "cat.exe", adjusted = scratch_ / "adj.zip";
  WriteFileBytes(cat, stub + ReadFileBytes(plain));
  WriteFileBytes(adjusted, stub + ReadFileBytes(plain));
  ASSERT_EQ(Shell("zip -qA '" + adjusted + "'"), 0);
  ExpectSameAsSource(cat);
  ExpectSameAsSource(adjusted);
  EXPECT_EQ(Open(cat)->Directory().stub_size, 1000u);
}

TEST_F(ZipInteropTest, SevenZipZipCryptoAndCp866Names) {
  fs::create_directories(src_ + "/База");
  WriteFileBytes(src_ + "/База/Справка.txt", "кириллица");
  std::string path = scratch_ / "7.zip";
  ASSERT_EQ(Shell("cd '" + src_ + "' && 7z a -tzip -mcp=866 -mem=ZipCrypto -psecret '" + path +
                  "' . > /dev/null"),
            0);
  ExpectSameAsSource(path, "secret");
  auto zip = Open(path);
  TZipArchiveItem item;
  EXPECT_TRUE(zip->FindFirst("база\\справка.TXT", item));
  EXPECT_TRUE(item.Encrypted);
}

TEST_F(ZipInteropTest, SevenZipWithMoreThan65535EntriesUsesZip64Records) {
  std::string many = scratch_ / "many";
  fs::create_directories(many);
  const int kCount = 65600;
  for (int i = 0; i < kCount; ++i) std::ofstream(many + "/f" + std::to_string(i)) << i;
  std::string path = scratch_ / "many.zip";
  ASSERT_EQ(Shell("cd '" + many + "' && 7z a -tzip -mx=1 '" + path + "' . > /dev/null"), 0);
  auto zip = Open(path);
  EXPECT_TRUE(zip->Directory().is_zip64);
  EXPECT_FALSE(zip->Directory().repaired);
  EXPECT_EQ(zip->FileCount(), kCount);
  int failures = 0;
  zip->OnProcessFileFailure = [&](TZipBaseArchiver&, const std::string&, TZipProcessOperation, int,
                                  int, const std::string&, TZipAction& a) {
    ++failures;
    a = TZipAction::fxaIgnore;
  };
  zip->TestFiles();
  EXPECT_EQ(failures, 0);
}

TEST_F(ZipInteropTest, TruncatedInfoZipArchiveIsRepaired) {
  std::string path = scratch_ / "t.zip";
  ASSERT_EQ(Shell("cd '" + src_ + "' && zip -qr '" + path + "' ."), 0);
  std::string bytes = ReadFileBytes(path);
  size_t central = bytes.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  WriteFileBytes(path, bytes.substr(0, central + 100));
  auto zip = Open(path);
  EXPECT_TRUE(zip->Directory().repaired);
  std::string names = OurNames(*zip);
  for (const char* n : {"Base/big.txt", "Base/sub/noise.bin", "readme"})
    EXPECT_NE(names.find(n), std::string::npos) << names;
  zip->BaseDir = scratch_ / "rep";
  zip->ExtractFiles();
  EXPECT_EQ(ReadFileBytes(scratch_ / "rep/Base/big.txt"), ReadFileBytes(src_ + "/Base/big.txt"));
}

TEST_F(ZipInteropTest, OurExtractionMatchesUnzipOnADamagedEntry) {
  std::string path = scratch_ / "dmg.zip";
  ASSERT_EQ(Shell("cd '" + src_ + "' && zip -qr '" + path + "' Base readme"), 0);
  std::string bytes = ReadFileBytes(path);
  size_t at = bytes.find("Base/big.txt") + 12 + 500;  // inside the deflated data
  bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
  WriteFileBytes(path, bytes);
  bool unzip_ok = Shell("unzip -tq '" + path + "' > /dev/null 2>&1") == 0;
  auto zip = Open(path);
  std::vector<std::string> failed;
  zip->OnProcessFileFailure = [&](TZipBaseArchiver&, const std::string& name, TZipProcessOperation,
                                  int, int, const std::string&, TZipAction& a) {
    failed.push_back(name);
    a = TZipAction::fxaIgnore;
  };
  zip->TestFiles();
  EXPECT_FALSE(unzip_ok);
  EXPECT_EQ(failed, std::vector<std::string>{"Base\\big.txt"});
}

}  // namespace
}  // namespace tarvo::archive
