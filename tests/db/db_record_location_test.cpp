// A table's records keep their ids for as long as it is open, whichever of its blocks a change
// touches: blocks no change touched are read from the file by position, the others from the
// records the engine holds, and both must give every record's bytes and block right.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "db/db_error.h"
#include "db/px_table.h"
#include "db/record_store.h"
#include "tests/db/db_test_util.h"

namespace tarvo::db {
namespace {

using namespace testing;

// 1 KiB blocks of 14 records (68 bytes each): 300 records make 22 blocks.
constexpr int kPerBlock = 14;

std::string NameOf(int key) { return "name " + std::to_string(key * 7 % 1009); }

RecId Add(PxTable& t, int key) {
  std::string r = t.BlankRecord();
  t.SetValue(r, 0, Variant::Int(key));
  t.SetText(r, 1, NameOf(key));
  t.SetValue(r, 2, Variant::Int(key % 13));
  return t.Insert(r);
}

// Keys 10, 20, ... 3000, inserted in key order and flushed: full blocks on disk.
std::string MakeTable(const TempDir& dir, int records = 300) {
  const std::string path = dir / "L.db";
  TableSpec s;
  s.fields = {
      {"ID", FieldType::kLong, 0}, {"NAME", FieldType::kAlpha, 60}, {"QTY", FieldType::kLong, 0}};
  s.key_fields = 1;
  s.block_size_kb = 1;
  s.indexes = {{"", {"NAME"}, true, false}};
  PxTable::Create(Fs(), path, s);
  auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
  for (int k = 1; k <= records; ++k) Add(*t, k * 10);
  t->Close();
  return path;
}

int KeyOf(const PxTable& t, RecId id) { return static_cast<int>(t.GetValue(t.rec(id), 0).AsInt()); }

// Key -> id of every record, checking on the way that each record's bytes are its own, that
// the keys ascend, and that the records of a block are together in the order (BlockOf agrees
// with the blocks' lists).
std::map<int, RecId> Contents(const PxTable& t) {
  std::map<int, RecId> out;
  std::set<uint16_t> done;
  uint16_t current = 0;
  int last = -1;
  for (RecId id : t.RecordsInOrder()) {
    const int key = KeyOf(t, id);
    EXPECT_GT(key, last) << "id " << id;
    EXPECT_EQ(t.GetText(t.rec(id), 1), NameOf(key)) << "key " << key;
    const uint16_t b = t.BlockOf(id);
    if (b != current) {
      EXPECT_TRUE(done.insert(b).second) << "block " << b << " in two places";
      current = b;
    }
    last = key;
    out[key] = id;
  }
  EXPECT_EQ(out.size(), t.size());
  return out;
}

class SmallCache {
 public:
  SmallCache() { PxTable::SetMemoryBudget(0, 0); }
  ~SmallCache() { PxTable::SetMemoryBudget(1u << 20, 2u << 20); }
};

void ExpectSound(const std::string& path, const std::set<int>& keys) {
  auto t = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
  const auto problems = t->Check();
  EXPECT_TRUE(problems.empty()) << problems.front();
  std::set<int> seen;
  for (auto& [key, id] : Contents(*t)) seen.insert(key);
  EXPECT_EQ(seen, keys);
}

TEST(RecordLocation, ChangesInUnchangedBlocksKeepEveryRecordAndItsId) {
  for (bool small : {false, true}) {
    SCOPED_TRACE(small ? "cache of a few blocks" : "cache of the usual size");
    std::optional<SmallCache> cache;
    if (small) cache.emplace();
    TempDir dir;
    const std::string path = MakeTable(dir);
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    const std::map<int, RecId> before = Contents(*t);
    ASSERT_EQ(before.size(), 300u);
    std::set<int> keys;
    for (auto& [key, id] : before) keys.insert(key);

    // An erase in the middle of a block, an insert into another, one before the first record
    // (its full block splits), nine into one full block (it splits, then its half again) and one
    // past the last record.
    t->Erase(before.at(150));
    keys.erase(150);
    std::map<int, RecId> added;
    for (int key : {1505, 5, 2001, 2002, 2003, 2004, 2005, 2006, 2007, 2008, 2009, 3005}) {
      added[key] = Add(*t, key);
      keys.insert(key);
    }
    // The same key as the last record's: refused, nothing changes.
    EXPECT_THROW(Add(*t, 3005), EDBEngineError);
    const std::map<int, RecId> after = Contents(*t);
    std::set<int> seen;
    for (auto& [key, id] : after) {
      seen.insert(key);
      const auto was = before.find(key);
      EXPECT_EQ(id, was != before.end() ? was->second : added.at(key)) << "key " << key;
    }
    EXPECT_EQ(seen, keys);
    // The erased record's id goes to a new record, never to two.
    std::set<RecId> ids;
    for (auto& [key, id] : after) EXPECT_TRUE(ids.insert(id).second) << id;
    t->Close();
    ExpectSound(path, keys);
  }
}

TEST(RecordLocation, BlocksThatSplitAgainAndAgainAndEmptyOnes) {
  SmallCache cache;
  TempDir dir;
  const std::string path = MakeTable(dir);
  auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
  std::map<int, RecId> ids = Contents(*t);
  std::set<int> keys;
  for (auto& [key, id] : ids) keys.insert(key);
  std::mt19937 rng(5);
  // Keys between the loaded ones, in no order, and the records of three whole blocks erased
  // (the first among them).
  std::vector<int> fresh;
  for (int k = 1; k < 3000; ++k)
    if (k % 10 != 0 && k % 7 == 0) fresh.push_back(k);
  std::shuffle(fresh.begin(), fresh.end(), rng);
  for (int key : fresh) {
    Add(*t, key);
    keys.insert(key);
  }
  for (int key = 10; key <= 10 * kPerBlock; key += 10) {
    t->Erase(ids.at(key));
    keys.erase(key);
  }
  for (int key = 1000; key < 1000 + 20 * kPerBlock; key += 10) {
    t->Erase(ids.at(key));
    keys.erase(key);
  }
  // An erased id erased again changes nothing.
  t->Erase(ids.at(1000));
  std::set<int> seen;
  for (auto& [key, id] : Contents(*t)) seen.insert(key);
  EXPECT_EQ(seen, keys);
  t->Close();
  ExpectSound(path, keys);
}

// The id of an erased record goes to the next new one, and reads of it see the new record even
// just after the old one's block was read.
TEST(RecordLocation, AFreedIdReadsItsNewRecord) {
  TempDir dir;
  const std::string path = MakeTable(dir, 20);
  auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
  const std::vector<RecId> all = t->RecordsInOrder();
  ASSERT_EQ(all.size(), 20u);
  EXPECT_EQ(KeyOf(*t, all[15]), 160);
  t->Erase(all[15]);
  const RecId fresh = Add(*t, 165);
  EXPECT_EQ(fresh, all[15]);
  EXPECT_EQ(KeyOf(*t, fresh), 165);
  EXPECT_EQ(t->GetText(t->rec(fresh), 1), NameOf(165));
  EXPECT_EQ(t->BlockOf(fresh), t->BlockOf(all[16]));
}

TEST(RecordLocation, EraseAllThenInserts) {
  TempDir dir;
  const std::string path = MakeTable(dir);
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    EXPECT_EQ(KeyOf(*t, t->RecordsInOrder().back()), 3000);  // the cache holds a block
    t->EraseAll();
    EXPECT_EQ(t->size(), 0u);
    EXPECT_TRUE(t->RecordsInOrder().empty());
    std::set<int> keys;
    for (int key = 500; key > 0; key -= 5) {
      Add(*t, key);
      keys.insert(key);
    }
    std::set<int> seen;
    for (auto& [key, id] : Contents(*t)) seen.insert(key);
    EXPECT_EQ(seen, keys);
    t->Close();
    ExpectSound(path, keys);
  }
}

// A record's pointer stays good while two other blocks are read, however often the same blocks
// were read before; every read gives the record of its id.
TEST(RecordLocation, ReadsThroughManyEvictions) {
  SmallCache cache;
  TempDir dir;
  const std::string path = MakeTable(dir);
  auto t = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
  const std::vector<RecId> all = t->RecordsInOrder();
  std::map<RecId, int> key_of;
  for (size_t i = 0; i < all.size(); ++i) key_of[all[i]] = static_cast<int>(i + 1) * 10;
  std::mt19937 rng(11);
  auto any = [&] { return all[rng() % all.size()]; };
  auto key_at = [&](const uint8_t* r) { return static_cast<int>(t->GetValue(r, 0).AsInt()); };
  for (int round = 0; round < 3000; ++round) {
    const RecId a = any(), b = any(), c = any();
    const uint8_t* pa = t->rec(a);
    // Runs of hits in the block of a and of b, then a third block.
    for (int i = 0; i < static_cast<int>(rng() % 4); ++i) {
      EXPECT_EQ(key_at(t->rec(b)), key_of[b]);
      EXPECT_EQ(key_at(t->rec(a)), key_of[a]);
    }
    const uint8_t* pb = t->rec(b);
    EXPECT_EQ(key_at(t->rec(c)), key_of[c]);
    ASSERT_EQ(key_at(pa), key_of[a]) << "round " << round;
    ASSERT_EQ(key_at(pb), key_of[b]) << "round " << round;
    EXPECT_EQ(t->BlockOf(a), t->BlockOf(all[(key_of[a] / 10 - 1) / kPerBlock * kPerBlock]));
  }
}

TEST(RecordLocation, ChainCountsThatDoNotFitDoNotOpen) {
  TempDir dir;
  const std::string path = MakeTable(dir);
  const std::vector<uint8_t> good = Bytes(path);
  const size_t header = Le16(good, 2);
  const size_t first = Le16(good, 0x0E);
  ASSERT_GT(first, 0u);
  // The count field of a block: the offset of its last record.
  for (int add : {0x7FFF, kPerBlock * 68, 1018}) {
    SCOPED_TRACE(add);
    std::vector<uint8_t> b = good;
    const size_t at = header + (first - 1) * 1024 + 4;
    b[at] = static_cast<uint8_t>(add);
    b[at + 1] = static_cast<uint8_t>(add >> 8);
    WriteBytes(path, b);
    try {
      PxTable::Open(Fs(), path, PxTable::Mode::kRead);
      ADD_FAILURE() << "opened";
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.kind(), EDBEngineError::Kind::kDamaged) << e.what();
    }
  }
}

// A block of the chain that holds no records (its count field says -1 records) opens, reads as
// empty, is reported by the check, and takes a record that belongs there.
TEST(RecordLocation, AnEmptyBlockInTheChain) {
  TempDir dir;
  const std::string path = MakeTable(dir);
  std::vector<uint8_t> b = Bytes(path);
  const size_t header = Le16(b, 2);
  const size_t second = Le16(b, header + (Le16(b, 0x0E) - 1) * 1024);
  const size_t at = header + (second - 1) * 1024 + 4;
  b[at] = static_cast<uint8_t>(-68);
  b[at + 1] = 0xFF;
  WriteBytes(path, b);
  std::set<int> keys;
  for (int key = 10; key <= 3000; key += 10)
    if (key <= 10 * kPerBlock || key > 20 * kPerBlock) keys.insert(key);
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    std::set<int> seen;
    for (auto& [key, id] : Contents(*t)) seen.insert(key);
    EXPECT_EQ(seen, keys);
    const auto problems = t->Check();
    EXPECT_NE(std::find(problems.begin(), problems.end(),
                        "block " + std::to_string(second) + " in the chain holds no records"),
              problems.end());
    Add(*t, 145);
    keys.insert(145);
    t->Close();
  }
  ExpectSound(path, keys);
}

// The store at its smallest budget: chunks go to the scratch file and come back with the bytes
// they had, and a record's pointer stays good while two other chunks are brought in.
TEST(RecordLocation, StoreThroughTheScratchFile) {
  RecordStore store;
  store.Reset(8, &Fs(), 0, "test");
  const uint32_t n = RecordStore::kChunk * 40;
  auto value = [](uint32_t id, int round) { return uint64_t{id} * 2654435761u + round; };
  for (int round = 0; round < 2; ++round)
    for (uint32_t id = 0; id < n; ++id) {
      const uint64_t v = value(id, round);
      store.Set(id, reinterpret_cast<const uint8_t*>(&v));
    }
  auto read = [](const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  std::mt19937 rng(3);
  for (int i = 0; i < 5000; ++i) {
    const uint32_t a = rng() % n, b = rng() % n, c = rng() % n;
    const uint8_t* pa = store.at(a);
    const uint8_t* pb = store.at(b);
    EXPECT_EQ(read(store.at(c)), value(c, 1));
    ASSERT_EQ(read(pa), value(a, 1)) << i;
    ASSERT_EQ(read(pb), value(b, 1)) << i;
  }
}

}  // namespace
}  // namespace tarvo::db
