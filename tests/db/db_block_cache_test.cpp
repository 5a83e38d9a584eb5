// Records are read from the table file by block, on demand, through a bounded cache; only the
// blocks a change touches are held in memory. The files written must stay byte for byte what
// the engine wrote when it held every record, and reads must see the same records whatever the
// cache holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "db/db_error.h"
#include "db/px_table.h"
#include "db/ttable.h"
#include "tests/db/db_test_util.h"
#include "tests/install/faulty_fs.h"
#include "tests/platform/forwarding_fs.h"

namespace tarvo::db {
namespace {

using namespace testing;

// A keyed table of 1 KiB blocks (a few records each, so that a few hundred records make many
// blocks), with a memo, a single-field and a composite index.
void MakeTable(const std::string& path) {
  TableSpec s;
  s.fields = {{"ID", FieldType::kLong, 0},
              {"NAME", FieldType::kAlpha, 60},
              {"QTY", FieldType::kLong, 0},
              {"NOTE", FieldType::kMemo, 20}};
  s.key_fields = 1;
  s.block_size_kb = 1;
  s.indexes = {{"", {"NAME"}, true, false}, {"NAMEQTY", {"NAME", "QTY"}, true, false}};
  PxTable::Create(Fs(), path, s);
}

std::string Note(int id) {
  // Every seventh note is long enough for the blob file.
  return id % 7 == 0 ? std::string(300 + id % 50, static_cast<char>('a' + id % 26))
                     : "n" + std::to_string(id);
}

void InsertId(PxTable& t, int id) {
  std::string r = t.BlankRecord();
  t.SetValue(r, 0, Variant::Int(id));
  t.SetText(r, 1, "name " + std::to_string((id * 7919) % 211));
  t.SetValue(r, 2, Variant::Int(id % 13));
  t.SetText(r, 3, Note(id));
  t.Insert(r);
}

std::map<int, RecId> IdsOf(const PxTable& t) {
  std::map<int, RecId> out;
  for (RecId id : t.RecordsInOrder()) out[static_cast<int>(t.GetValue(t.rec(id), 0).AsInt())] = id;
  return out;
}

// FNV-1a of a file, the time of the last change (header 0x60..0x63) left out.
uint64_t Digest(const fs::path& p) {
  std::vector<uint8_t> b = Bytes(p);
  if (b.size() >= 0x78) std::fill(b.begin() + 0x60, b.begin() + 0x64, 0);
  uint64_t h = 1469598103934665603ull;
  for (uint8_t c : b) h = (h ^ c) * 1099511628211ull;
  return h;
}

std::map<std::string, uint64_t> Digests(const TempDir& dir) {
  std::map<std::string, uint64_t> out;
  for (auto& e : fs::directory_iterator(dir.path()))
    out[e.path().filename().string()] = Digest(e.path());
  return out;
}

// Inserts at the front, the back and between records, erases that empty blocks (the first
// block among them), each step closed and opened again; returns the files' digests after each.
std::vector<std::map<std::string, uint64_t>> RunScenario(const TempDir& dir) {
  const std::string path = dir / "T.db";
  MakeTable(path);
  std::vector<std::map<std::string, uint64_t>> steps;
  std::mt19937 rng(17);
  {
    std::vector<int> ids;
    for (int i = 1; i <= 300; ++i) ids.push_back(i * 4);
    std::shuffle(ids.begin(), ids.end(), rng);
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    for (int id : ids) InsertId(*t, id);
    t->Close();
    steps.push_back(Digests(dir));
  }
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    std::vector<int> odd;
    for (int i = 0; i < 300; ++i) odd.push_back(i * 4 + 1);
    std::shuffle(odd.begin(), odd.end(), rng);
    for (int i = 0; i < 120; ++i) InsertId(*t, odd[i]);
    for (int i = 1; i <= 5; ++i) InsertId(*t, 2000 + i);  // past the last block
    InsertId(*t, 2);                                      // before the first record
    auto ids = IdsOf(*t);
    // The first 40 records (emptying the first blocks) and every fifth of the rest.
    int n = 0;
    for (auto& [key, id] : ids)
      if (n++ < 40 || key % 5 == 0) t->Erase(id);
    t->Close();
    steps.push_back(Digests(dir));
  }
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    auto ids = IdsOf(*t);
    for (auto& [key, id] : ids)
      if (key > 400 && key < 800) t->Erase(id);
    for (int i = 0; i < 60; ++i) InsertId(*t, 401 + i * 6);
    t->Close();
    steps.push_back(Digests(dir));
  }
  return steps;
}

// The cache at its smallest, for one test.
class SmallCache {
 public:
  SmallCache() { PxTable::SetMemoryBudget(0, 0); }
  ~SmallCache() { PxTable::SetMemoryBudget(2u << 20, 4u << 20); }
};

TEST(BlockCache, FilesAsTheWholeTableEngineWroteThem) {
  for (bool small : {false, true}) {
    SCOPED_TRACE(small ? "cache of a few blocks" : "cache of the usual size");
    std::optional<SmallCache> cache;
    if (small) cache.emplace();
    TempDir dir;
    const auto steps = RunScenario(dir);
    // Digests of the files the engine wrote before it read records on demand.
    const std::vector<std::map<std::string, uint64_t>> expected = {
        {{"T.MB", 0xa9987dbbc62ce766ull},
         {"T.PX", 0xdd4c95b97a82697bull},
         {"T.X02", 0xff0a06f789208ea6ull},
         {"T.XG0", 0x76e8769c796f43f9ull},
         {"T.Y02", 0x3f3a07f8c4b429ecull},
         {"T.YG0", 0xbc4534c49c992201ull},
         {"T.db", 0x5bbef6fffe31ff67ull}},
        {{"T.MB", 0x6d30b205df052fadull},
         {"T.PX", 0x86e0830a697622b1ull},
         {"T.X02", 0x60aa8fb6c74d2ab0ull},
         {"T.XG0", 0xbeef228031c4084bull},
         {"T.Y02", 0x2265d92ea5c67b80ull},
         {"T.YG0", 0x89b46a3febb74241ull},
         {"T.db", 0xf323cddbca43b4deull}},
        {{"T.MB", 0x3d3ca89e0a20fcd9ull},
         {"T.PX", 0xc5f46f42bf73f6f8ull},
         {"T.X02", 0x98c68f8c4d8c8890ull},
         {"T.XG0", 0x3e9abcd02bdb87cdull},
         {"T.Y02", 0xd1d04dfc9f7a1689ull},
         {"T.YG0", 0x60895f3ab04a617eull},
         {"T.db", 0x1b876d8335ff1077ull}},
    };
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps, expected);
  }
}

// Every record of a table in its secondary index's order, as text, through a TTable.
std::vector<std::string> InIndexOrder(const std::string& path, const std::string& index) {
  TTable t(Fs());
  t.SetTableName(path);
  t.SetIndexName(index);
  t.Open();
  std::vector<std::string> out;
  for (t.First(); !t.Eof(); t.Next())
    out.push_back(t.FieldByName("ID").AsString() + "|" + t.FieldByName("NAME").AsString() + "|" +
                  t.FieldByName("NOTE").AsString());
  t.Close();
  return out;
}

TEST(BlockCache, ReadsAndChangesSeeTheSameRecordsWhateverTheCacheHolds) {
  TempDir dir;
  const std::string path = dir / "T.db";
  RunScenario(dir);
  const auto usual = InIndexOrder(path, "NAMEQTY");
  ASSERT_GT(usual.size(), 200u);
  SmallCache cache;
  EXPECT_EQ(InIndexOrder(path, "NAMEQTY"), usual);
  // Records of unchanged blocks and of changed ones side by side: an insert splits a block in
  // the middle, an erase empties the first, while the rest are still read from the file.
  auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
  auto ids = IdsOf(*t);
  std::set<int> expect;
  for (auto& [key, id] : ids) expect.insert(key);
  for (int k = 0; k < 12; ++k) {
    InsertId(*t, 100003 + k);
    expect.insert(100003 + k);
  }
  InsertId(*t, 3);
  expect.insert(3);
  for (auto it = ids.begin(); it != ids.end() && std::distance(ids.begin(), it) < 15; ++it) {
    t->Erase(it->second);
    expect.erase(it->first);
  }
  std::set<int> seen;
  for (RecId id : t->RecordsInOrder()) {
    const int key = static_cast<int>(t->GetValue(t->rec(id), 0).AsInt());
    EXPECT_EQ(t->GetText(t->rec(id), 3), Note(key));
    seen.insert(key);
  }
  EXPECT_EQ(seen, expect);
  t->Close();
  auto again = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
  const auto problems = again->Check();
  EXPECT_TRUE(problems.empty()) << problems.front();
  EXPECT_EQ(again->size(), expect.size());
}

TEST(BlockCache, TableCutShortDoesNotOpen) {
  TempDir dir;
  const std::string path = dir / "T.db";
  RunScenario(dir);
  std::vector<uint8_t> b = Bytes(path);
  // Half of the blocks gone: the chain leads past the end of the file.
  const size_t header = Le16(b, 2);
  b.resize(header + (b.size() - header) / 2048 * 1024 + 100);
  WriteBytes(path, b);
  try {
    PxTable::Open(Fs(), path, PxTable::Mode::kRead);
    ADD_FAILURE() << "opened";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.kind(), EDBEngineError::Kind::kDamaged) << e.what();
  }
}

// Changed records past the budget go to a scratch file, which leaves with the table; one that
// cannot be written fails the change with the engine's error and leaves the family as it was.
TEST(BlockCache, ChangedRecordsPastTheBudgetGoToAScratchFile) {
  TempDir dir;
  const std::string path = dir / "T.db";
  RunScenario(dir);
  const auto before = Digests(dir);
  SmallCache cache;
  install::testing::FaultyFileSystem faulty(Fs());
  faulty.record = true;
  auto change = [&](PxTable& t) {
    for (int k = 0; k < 400; ++k) InsertId(t, 100001 + 2 * k);
  };
  {
    auto t = PxTable::Open(faulty, path, PxTable::Mode::kReadWrite);
    change(*t);
    EXPECT_EQ(t->size(), IdsOf(*t).size());
    t->Close();
  }
  std::set<std::string> scratch;
  for (auto& op : faulty.ops)
    if (op.kind == "write" && op.path.find("tpx") != std::string::npos) scratch.insert(op.path);
  ASSERT_FALSE(scratch.empty());
  for (auto& p : scratch) EXPECT_FALSE(fs::exists(p)) << p;
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
    const auto problems = t->Check();
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(IdsOf(*t).count(100001 + 2 * 399), 1u);
  }

  TempDir other;
  RunScenario(other);
  faulty.fail_if = [](const std::string& kind, const std::string& p) {
    return kind == "write" && p.find("tpx") != std::string::npos;
  };
  {
    auto t = PxTable::Open(faulty, other / "T.db", PxTable::Mode::kReadWrite);
    try {
      change(*t);
      ADD_FAILURE() << "no error";
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.kind(), EDBEngineError::Kind::kIo);
      EXPECT_NE(std::string(e.what()).find("scratch file"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(Digests(other), before);
}

// Counts the reads of table files (".db") and can make them end early, as if the file had been
// cut short after it was opened (an open file cannot be cut on Windows).
class WatchedFs : public platform::testing::ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  size_t reads = 0;
  uint64_t cut = UINT64_MAX;
  std::unique_ptr<platform::File> Open(const std::string& p, platform::Access a, platform::Share s,
                                       platform::Disposition d) override {
    auto f = inner().Open(p, a, s, d);
    if (!f || p.size() < 3 || p.compare(p.size() - 3, 3, ".db") != 0) return f;
    return std::make_unique<Watched>(std::move(f), *this);
  }

 private:
  class Watched : public platform::testing::ForwardingFile {
   public:
    Watched(std::unique_ptr<platform::File> f, WatchedFs& fs)
        : ForwardingFile(std::move(f)), fs_(fs) {}
    size_t Read(void* b, size_t n) override {
      ++fs_.reads;
      const uint64_t at = inner().Position();
      if (at >= fs_.cut) return 0;
      return inner().Read(b, static_cast<size_t>(std::min<uint64_t>(n, fs_.cut - at)));
    }

   private:
    WatchedFs& fs_;
  };
};

// Every record of a table in block order, as "key:note", read with the current cache budget.
std::vector<std::string> PassInOrder(platform::FileSystem& fs, const std::string& path) {
  auto t = PxTable::Open(fs, path, PxTable::Mode::kRead);
  std::vector<std::string> out;
  for (RecId id : t->RecordsInOrder())
    out.push_back(std::to_string(t->GetValue(t->rec(id), 0).AsInt()) + ":" +
                  t->GetText(t->rec(id), 3));
  return out;
}

// A pass over a table reads the blocks that follow a miss in the same call, and reads the same
// records whatever the cache's size allows it to read ahead; a jump breaks the run.
TEST(BlockCache, PassesReadAheadAndSeeTheSameRecords) {
  TempDir dir;
  const std::string path = dir / "R.db";
  MakeTable(path);
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    for (int id = 1; id <= 3000; ++id) InsertId(*t, id);
    t->Close();
  }
  const size_t blocks = (fs::file_size(path) - Le16(Bytes(path), 2)) / 1024;
  ASSERT_GT(blocks, 200u);
  WatchedFs counting(Fs());
  const auto usual = PassInOrder(counting, path);
  ASSERT_EQ(usual.size(), 3000u);
  // The open's walk reads 1 MiB at a time; the pass then reads 64 blocks a call.
  EXPECT_LT(counting.reads, blocks / 8) << blocks << " blocks";
  for (const size_t cache : {size_t{0}, size_t{10} << 10, size_t{16} << 10, size_t{40} << 10}) {
    PxTable::SetMemoryBudget(cache, 0);
    EXPECT_EQ(PassInOrder(Fs(), path), usual) << cache;
    // Jumps between two far places and back, each holding a record across three misses.
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
    const auto ids = t->RecordsInOrder();
    for (size_t i = 0; i + 2001 < ids.size(); i += 37) {
      const uint8_t* held = t->rec(ids[i]);
      const uint8_t* far = t->rec(ids[i + 2000]);
      const uint8_t* next = t->rec(ids[i + 1]);
      const uint8_t* after = t->rec(ids[i + 2001]);
      EXPECT_EQ(t->GetValue(held, 0).AsInt(), std::stoi(usual[i]));
      EXPECT_EQ(t->GetValue(far, 0).AsInt(), std::stoi(usual[i + 2000]));
      EXPECT_EQ(t->GetValue(next, 0).AsInt(), std::stoi(usual[i + 1]));
      EXPECT_EQ(t->GetValue(after, 0).AsInt(), std::stoi(usual[i + 2001]));
    }
  }
  PxTable::SetMemoryBudget(2u << 20, 4u << 20);
}

// A table file cut short after the open: the records before the cut read as they are, the
// first block past it is reported damaged, never read as stale bytes of a longer read.
TEST(BlockCache, FileCutShortUnderAReadAheadIsDamaged) {
  TempDir dir;
  const std::string path = dir / "R.db";
  MakeTable(path);
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    for (int id = 1; id <= 600; ++id) InsertId(*t, id);
    t->Close();
  }
  const size_t header = Le16(Bytes(path), 2);
  WatchedFs cutting(Fs());
  auto t = PxTable::Open(cutting, path, PxTable::Mode::kRead);
  const auto ids = t->RecordsInOrder();
  // Twenty blocks are left, the twentieth cut in its middle: inside the first run read ahead.
  cutting.cut = header + 19 * 1024 + 500;
  size_t read = 0;
  try {
    for (RecId id : ids) {
      EXPECT_EQ(t->GetValue(t->rec(id), 0).AsInt(), static_cast<int64_t>(read + 1));
      ++read;
    }
    ADD_FAILURE() << "read past the cut";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.kind(), EDBEngineError::Kind::kDamaged) << e.what();
    EXPECT_NE(std::string(e.what()).find("cut short"), std::string::npos) << e.what();
  }
  EXPECT_GT(read, 0u);
  EXPECT_LT(read, ids.size());
}

}  // namespace
}  // namespace tarvo::db
