// The cursor's ordered view and its Locate hash, against plain vectors as the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "db/locate_index.h"
#include "db/ordered_ids.h"

namespace tarvo::db {
namespace {

std::vector<RecId> All(const OrderedIds& v) {
  std::vector<RecId> out;
  for (size_t i = 0; i < v.size(); ++i) out.push_back(v.at(i));
  return out;
}

TEST(OrderedIds, RandomEditsMatchAVectorThroughSplitsAndMerges) {
  OrderedIds v;
  std::vector<RecId> model;
  std::mt19937 rng(7);
  RecId next = 0;
  // Grow well past one chunk with insertions everywhere, then shrink to nothing.
  for (int round = 0; round < 2; ++round) {
    const bool grow = round == 0;
    for (int step = 0; step < 6000; ++step) {
      if (grow ? rng() % 4 != 0 : model.empty()) {
        const size_t pos = model.empty() ? 0 : rng() % (model.size() + 1);
        v.Insert(pos, next);
        model.insert(model.begin() + static_cast<ptrdiff_t>(pos), next++);
      } else if (!model.empty()) {
        const size_t pos = rng() % model.size();
        v.Erase(pos);
        model.erase(model.begin() + static_cast<ptrdiff_t>(pos));
      }
      if (step % 500 == 0) {
        ASSERT_EQ(All(v), model) << "step " << step;
      }
      ASSERT_EQ(v.size(), model.size());
    }
    while (!grow && !model.empty()) {
      const size_t pos = rng() % model.size();
      v.Erase(pos);
      model.erase(model.begin() + static_cast<ptrdiff_t>(pos));
      ASSERT_EQ(v.size(), model.size());
      if (model.size() % 97 == 0) {
        ASSERT_EQ(All(v), model);
      }
    }
    ASSERT_EQ(All(v), model);
    for (size_t s : v.ChunkSizes()) {
      EXPECT_GT(s, 0u);
      EXPECT_LE(s, OrderedIds::kChunk);
    }
  }
  EXPECT_TRUE(v.empty());
  EXPECT_THROW(v.at(0), std::out_of_range);
  EXPECT_THROW(v.Insert(1, 0), std::out_of_range);
}

TEST(OrderedIds, AppendedIdsFillTheirChunksAndStayCompact) {
  OrderedIds v;
  const size_t n = 100000;
  for (RecId i = 0; i < n; ++i) v.PushBack(i);
  auto sizes = v.ChunkSizes();
  for (size_t i = 0; i + 1 < sizes.size(); ++i) ASSERT_EQ(sizes[i], OrderedIds::kChunk);
  EXPECT_LT(v.MemoryBytes(), n * 41 / 10);  // about four bytes an id
  // Erasing most of every chunk merges what is left instead of keeping near-empty chunks.
  for (size_t pos = v.size(); pos-- > 0;)
    if (pos % 8 != 0) v.Erase(pos);
  EXPECT_EQ(v.size(), (n + 7) / 8);
  EXPECT_LT(v.ChunkSizes().size(), sizes.size() / 2);
  for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(v.at(i), i * 8);
  // Searches by predicate land on the first id not before the target, at chunk edges too.
  for (RecId target : {0u, 8u, 9u, 4096u, 4095u, 99992u, 99993u, 200000u}) {
    const size_t pos = v.PartitionPoint([&](RecId id) { return id < target; });
    EXPECT_EQ(pos, std::min<size_t>((target + 7) / 8, v.size())) << target;
  }
}

// Records with a key (the leading key's only byte) and an id breaking ties.
struct Rows : KeyedOrder {
  std::vector<uint8_t> key;
  LeadingKey Key(RecId id) const override { return LeadingKey{key[id] / 4u, 0}; }
  bool Less(RecId a, RecId b) const override { return key[a] != key[b] ? key[a] < key[b] : a < b; }
};

std::vector<RecId> Build(const Rows& rows, std::vector<RecId> ids, BuildLimits limits = {}) {
  OrderedIds v;
  BuildOrdered(std::move(ids), rows, v, limits);
  return All(v);
}

std::vector<RecId> Sorted(const Rows& rows, std::vector<RecId> ids) {
  std::sort(ids.begin(), ids.end(), [&](RecId a, RecId b) { return rows.Less(a, b); });
  return ids;
}

TEST(BuildOrdered, InterleavedRunsAndUnorderedInputBothSortFully) {
  Rows rows;
  std::mt19937 rng(11);
  const size_t n = 20000;
  for (size_t i = 0; i < n; ++i) rows.key.push_back(static_cast<uint8_t>(rng()));
  std::vector<RecId> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = static_cast<RecId>(i);
  // Unordered: more runs than followed, sorted in pieces (small ones here, so many pieces) and
  // merged; the leading key ties groups of four keys, so Less decides often.
  std::shuffle(ids.begin(), ids.end(), rng);
  EXPECT_EQ(Build(rows, ids, BuildLimits{4, 1000}), Sorted(rows, ids));
  EXPECT_EQ(Build(rows, ids), Sorted(rows, ids));
  // Already sorted, and two interleaved ascending sequences (rows of two series appended in
  // turn), as tables usually are.
  std::vector<RecId> sorted = Sorted(rows, ids);
  EXPECT_EQ(Build(rows, sorted), sorted);
  std::vector<RecId> low, high, mixed;
  for (size_t i = 0; i < n; ++i) (i < n / 2 ? low : high).push_back(sorted[i]);
  for (size_t i = 0; i < n / 2; ++i) {
    mixed.push_back(high[i]);
    mixed.push_back(low[i]);
  }
  EXPECT_EQ(Build(rows, mixed, BuildLimits{2, 1000}), sorted);
  // Descending input needs a run per id: past the limit it falls back to pieces.
  std::vector<RecId> reversed(sorted.rbegin(), sorted.rend());
  EXPECT_EQ(Build(rows, reversed, BuildLimits{8, 300}), sorted);
  EXPECT_TRUE(Build(rows, {}).empty());
}

TEST(LocateIndex, CollidingEntriesSurviveRemovalsAndGrowth) {
  LocateIndex ix;
  // Few hashes for many ids: long probe sequences that wrap around the table's end, where
  // removal has to move the right entries back.
  std::vector<std::pair<uint32_t, uint32_t>> model;
  std::mt19937 rng(5);
  for (uint32_t id = 0; id < 3000; ++id) {
    const uint32_t h = rng() % 40;
    ix.Add(h, id);
    model.emplace_back(h, id);
    if (id % 3 == 2) {
      const size_t k = rng() % model.size();
      ASSERT_TRUE(ix.Remove(model[k].first, model[k].second));
      model.erase(model.begin() + static_cast<ptrdiff_t>(k));
    }
  }
  EXPECT_FALSE(ix.Remove(1, 999999));
  EXPECT_EQ(ix.size(), model.size());
  for (uint32_t h = 0; h < 40; ++h) {
    std::vector<uint32_t> want, got;
    for (auto& [mh, id] : model)
      if (mh == h) want.push_back(id);
    ix.ForEach(h, [&](uint32_t id) { got.push_back(id); });
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got, want) << "hash " << h;
  }
  EXPECT_LE(ix.MemoryBytes(), 16 * 2048u);
  EXPECT_EQ(LocateIndex::Hash("ABC"), LocateIndex::Hash(std::string("ABC")));
}

}  // namespace
}  // namespace tarvo::db
