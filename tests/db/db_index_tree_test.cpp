// Index trees of more than one level: those the engine wrote read through their trees and check,
// and the trees we write from the engine's own rows are laid out as the engine lays them.
#include <gtest/gtest.h>

#include <numeric>

#include "db/px_internal.h"
#include "db/px_table.h"
#include "tests/db/db_test_util.h"
#include "tests/db/db_tree_util.h"

namespace tarvo::db {
namespace {

using namespace testing;

std::string Sample(const std::string& name) { return (SampleDir() / name).string(); }

int KeyLength(const std::vector<uint8_t>& tree) { return Le16(tree, 0) - 6; }

// Entries of each level of a tree, root first.
std::vector<std::vector<int>> Shape(const px::TreeRead& t) { return t.level_entries; }

TEST(IndexTrees, EngineFamiliesReadThroughEveryIndex) {
  struct Case {
    const char* stem;
    size_t records;
    int px_levels;
  } cases[] = {
      {"DISTOLIN", 1919, 2}, {"GENUS", 4196, 2},     {"HOSTFAM", 23272, 3},
      {"HOSTOLIN", 1262, 2}, {"ZIPCODES", 43185, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stem);
    auto t = PxTable::Open(Fs(), Sample(std::string(c.stem) + ".DB"), PxTable::Mode::kRead);
    EXPECT_EQ(t->size(), c.records);
    auto problems = t->Check();
    EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems[0]);
    auto px = Bytes(Sample(std::string(c.stem) + ".PX"));
    px::TreeRead tree = px::ReadTree(px, "px", KeyLength(px));
    EXPECT_EQ(tree.levels, c.px_levels);
    EXPECT_TRUE(tree.problems.empty());
    uint64_t below = 0;
    for (auto& leaf : tree.leaves) below += leaf.count;
    EXPECT_EQ(below, t->size());
    EXPECT_EQ(RecordsMissedByPrimary(*t, px), 0u);
    for (const auto& ix : t->indexes()) {
      SCOPED_TRACE(ix.x_path);
      SecondaryWalk w = WalkSecondary(Bytes(ix.x_path), Bytes(ix.y_path));
      EXPECT_TRUE(w.problems.empty()) << (w.problems.empty() ? "" : w.problems[0]);
      EXPECT_EQ(w.through_tree.size(), w.on_chain);
      EXPECT_EQ(w.on_chain, t->size());
    }
    t->Close();
  }
}

// tblZCode's trees were written in one go (its table is not among the samples): laid out again
// from their own leaves, they come out byte for byte as the engine wrote them.
TEST(IndexTrees, OneGoTreesComeOutAsTheEngineWroteThem) {
  auto px = Bytes(Sample("tblZCode.PX"));
  px::TreeRead tree = px::ReadTree(px, "px", KeyLength(px));
  EXPECT_TRUE(tree.problems.empty());
  EXPECT_EQ(tree.levels, 2);
  EXPECT_EQ(Shape(tree), (std::vector<std::vector<int>>{{4}, {203, 203, 203, 25}}));
  EXPECT_EQ(tree.chain, (std::vector<uint16_t>{1, 2, 3, 4, 5}));
  uint64_t rows = 0;
  for (auto& leaf : tree.leaves) rows += leaf.count;
  EXPECT_EQ(rows, 73490u);
  const size_t hs = Le16(px, 2);
  std::vector<uint8_t> header(px.begin(), px.begin() + hs);
  EXPECT_EQ(px::BuildTree(header, KeyLength(px), 2048, tree.leaves, px[0x2C]), px);

  for (const char* g : {"0", "1"}) {
    SCOPED_TRACE(g);
    auto x = Bytes(Sample(std::string("tblZCode.XG") + g));
    auto y = Bytes(Sample(std::string("tblZCode.YG") + g));
    SecondaryWalk w = WalkSecondary(x, y);
    EXPECT_TRUE(w.problems.empty()) << (w.problems.empty() ? "" : w.problems[0]);
    EXPECT_EQ(w.through_tree.size(), 73490u);
    EXPECT_EQ(w.on_chain, 73490u);
    // The ".X" records in their order, laid into blocks again, then the ".Y" tree over them.
    px::Header xh = px::ParseHeader(x, "x", false, nullptr);
    std::vector<std::string> recs;
    for (const auto& cb : px::WalkChain(x, xh, "x"))
      for (int i = 0; i < cb.count; ++i)
        recs.emplace_back(reinterpret_cast<const char*>(cb.data + i * xh.record_size),
                          xh.record_size);
    int key_len = KeyLength(y);
    std::vector<px::TreeEntry> leaves;
    auto x_again = px::BuildDataFile(std::vector<uint8_t>(x.begin(), x.begin() + xh.header_size),
                                     xh.record_size, xh.block_size, key_len, recs, leaves);
    EXPECT_EQ(x_again, x);
    auto y_again = px::BuildTree(std::vector<uint8_t>(y.begin(), y.begin() + Le16(y, 2)), key_len,
                                 y[5] * 1024, leaves, y[0x2C]);
    EXPECT_EQ(y_again.size(), y.size());
    EXPECT_EQ(y_again, y);
  }
}

}  // namespace
}  // namespace tarvo::db
