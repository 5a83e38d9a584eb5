// The tarvo-zip tool as a black box: output format and exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "tests/archive/zip_test_util.h"

namespace tarvo::archive {
namespace {

using testing::BuildZip;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::TestEntry;
using testing::WriteFileBytes;

class TarvoZipCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("TARVO_BINARY_DIR");
    tool_ = std::string(bin ? bin : ".") + "/tools/tarvo-zip";
    if (!std::filesystem::exists(tool_)) GTEST_SKIP() << "tarvo-zip is not built";
  }
  int Run(const std::string& args, std::string* out = nullptr) {
    std::string file = scratch_ / "stdout.txt";
    int rc = std::system((tool_ + " " + args + " > '" + file + "' 2>/dev/null").c_str());
    if (out) *out = ReadFileBytes(file);
    return WEXITSTATUS(rc);
  }
  std::string tool_;
  ScratchDir scratch_;
};

TEST_F(TarvoZipCliTest, ListTestExtractAndExitCodes) {
  TestEntry a{"Dir/a.txt", "hello"};
  a.time = (13 << 11) | (45 << 5) | 29;
  TestEntry bad{"bad.txt", std::string(100, 'x')};
  bad.corrupt_crc = true;
  TestEntry secret{"s.txt", "secret", 0};
  secret.password = "pw";
  std::string good = scratch_ / "good.zip", mixed = scratch_ / "mixed.zip";
  WriteFileBytes(good, BuildZip({a, secret}));
  WriteFileBytes(mixed, BuildZip({a, bad}));

  std::string out;
  EXPECT_EQ(Run("list --tsv '" + good + "'", &out), 0);
  EXPECT_EQ(out,
            "Dir/a.txt\t8\t5\t7\t3610a686\t0\t00000020\t2025-01-01T13:45:58\n"
            "s.txt\t0\t6\t18\t5ca2e8e5\t1\t00000020\t2025-01-01T12:00:00\n");
  EXPECT_EQ(Run("test '" + good + "' --password pw"), 0);
  EXPECT_EQ(Run("test '" + good + "' --password wrong"), 1);
  EXPECT_EQ(Run("test '" + good + "' 'Dir\\*.*'"), 0);
  EXPECT_EQ(Run("test '" + mixed + "'"), 1);
  EXPECT_EQ(Run("extract '" + mixed + "' '" + (scratch_ / "out") + "'"), 1);
  EXPECT_EQ(ReadFileBytes(scratch_ / "out/Dir/a.txt"), "hello");  // the run goes on
  EXPECT_FALSE(std::filesystem::exists(scratch_ / "out/bad.txt"));
  EXPECT_EQ(Run("list '" + (scratch_ / "none.zip") + "'"), 2);
  WriteFileBytes(scratch_ / "text.zip", "not an archive");
  EXPECT_EQ(Run("test '" + (scratch_ / "text.zip") + "'"), 2);
}

TEST_F(TarvoZipCliTest, AddCreatesThenAppends) {
  std::string base = scratch_ / "base";
  std::filesystem::create_directories(base + "/Data/sub");
  WriteFileBytes(base + "/Data/one.db", std::string(10000, '1'));
  WriteFileBytes(base + "/Data/sub/two.db", "two");
  std::string zip = scratch_ / "new.zip";
  EXPECT_EQ(Run("add '" + zip + "' '" + base + "' 'Data\\*.*' --level 9"), 0);
  std::string out;
  EXPECT_EQ(Run("list --tsv '" + zip + "'", &out), 0);
  EXPECT_NE(out.find("Data/one.db\t8\t10000\t"), std::string::npos) << out;
  EXPECT_NE(out.find("Data/sub/\t0\t0\t0\t00000000\t0\t00000010\t"), std::string::npos) << out;
  WriteFileBytes(base + "/extra.txt", "extra");
  EXPECT_EQ(Run("add '" + zip + "' '" + base + "' extra.txt --password pw --no-test"), 0);
  EXPECT_EQ(Run("test '" + zip + "' --password pw"), 0);
  EXPECT_EQ(Run("add '" + zip + "' '" + base + "' x --level 12"), 2);
  // One compressing thread writes the same entry as every core does.
  std::string one = scratch_ / "one.zip", listed;
  EXPECT_EQ(Run("add '" + one + "' '" + base + "' 'Data\\*.*' --level 9 --threads 1"), 0);
  EXPECT_EQ(Run("list --tsv '" + one + "'", &listed), 0);
  const size_t at = out.find("Data/one.db");
  ASSERT_NE(at, std::string::npos);
  const std::string row = out.substr(at, out.find('\n', at) - at);
  EXPECT_NE(listed.find(row), std::string::npos) << listed;
  EXPECT_EQ(Run("add '" + one + "' '" + base + "' x --threads two"), 2);
}

TEST_F(TarvoZipCliTest, HostileNamesAreEscapedAndOverlappingEntriesFailTheTest) {
  const std::string tricky = scratch_ / "tricky.zip";
  TestEntry tab{"a\tb.txt", "1", 0};
  TestEntry row{"x\n../../evil.txt\t8\t1\t1\t00000000\t0\t00000020\t2025-01-01T12:00:00", "2", 0};
  TestEntry esc{"esc\x1b[31m\\back\x7f.txt", "3", 0};
  WriteFileBytes(tricky, BuildZip({tab, row, esc}));
  std::string out;
  EXPECT_EQ(Run("list --tsv '" + tricky + "'", &out), 0);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;  // one row per entry
  EXPECT_NE(out.find("a\\tb.txt\t0\t1\t"), std::string::npos) << out;
  EXPECT_NE(out.find("x\\n../../evil.txt\\t8\\t1\\t1\\t00000000"), std::string::npos) << out;
  EXPECT_NE(out.find("esc\\x1B[31m\\\\back\\x7F.txt\t"), std::string::npos) << out;

  const std::string bomb = scratch_ / "bomb.zip";
  WriteFileBytes(bomb,
                 testing::OverlapBomb({"big.bin", std::string(1 << 20, 'B')}, 16, "big", ".bin"));
  const std::string err = scratch_ / "stderr.txt";
  const int rc = std::system((tool_ + " test '" + bomb + "' > /dev/null 2> '" + err + "'").c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 2);
  EXPECT_NE(ReadFileBytes(err).find("overlaps that of \"big"), std::string::npos)
      << ReadFileBytes(err);
  EXPECT_EQ(Run("extract '" + bomb + "' '" + (scratch_ / "out") + "'"), 2);
  EXPECT_FALSE(std::filesystem::exists(scratch_ / "out/big00.bin"));
}

TEST_F(TarvoZipCliTest, ARefusedExtractionSaysWhyAndTheOtherEntriesExtract) {
  const std::string climb = scratch_ / "climb.zip";
  WriteFileBytes(climb, BuildZip({{"../up.txt", "u", 0}, {"ok.txt", "ok", 0}}));
  const std::string err = scratch_ / "stderr.txt";
  const std::string out = scratch_ / "out";
  const int rc = std::system(
      (tool_ + " extract '" + climb + "' '" + out + "' > /dev/null 2> '" + err + "'").c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 1);
  const std::string text = ReadFileBytes(err);
  EXPECT_NE(text.find("tarvo-zip: ..\\up.txt: Cannot create file \""), std::string::npos) << text;
  EXPECT_NE(text.find(" - Native error: 00019 (name leaves the base folder)\n"), std::string::npos)
      << text;
  EXPECT_EQ(ReadFileBytes(out + "/ok.txt"), "ok");
  EXPECT_FALSE(std::filesystem::exists(scratch_ / "up.txt"));
}

}  // namespace
}  // namespace tarvo::archive
