// Index files rebuilt in bounded memory, and the streamed before-images of a flush: the files come
// out the same whatever the sort's run size, and a flush or a journal that stops anywhere puts
// the family back as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "db/db_error.h"
#include "db/family_journal.h"
#include "db/index_writer.h"
#include "db/px_internal.h"
#include "db/px_table.h"
#include "tests/db/db_test_util.h"
#include "tests/install/faulty_fs.h"

namespace tarvo::db {
namespace {

using namespace testing;
using install::testing::FaultyFileSystem;

// Runs of the sort at their smallest: every index of more than a few dozen records spills.
class SmallRuns {
 public:
  SmallRuns() { PxTable::SetMemoryBudget(0, 0); }
  ~SmallRuns() { PxTable::SetMemoryBudget(1u << 20, 2u << 20); }
};

// File bytes with the time of the last change (header 0x60..0x63) left out.
std::map<std::string, std::vector<uint8_t>> Files(const TempDir& dir) {
  std::map<std::string, std::vector<uint8_t>> out;
  for (auto& e : fs::directory_iterator(dir.path())) {
    std::vector<uint8_t> b = Bytes(e.path());
    if (b.size() >= 0x78) std::fill(b.begin() + 0x60, b.begin() + 0x64, 0);
    out[e.path().filename().string()] = std::move(b);
  }
  return out;
}

enum class Rows { kInOrder, kBatches, kShuffled };

// A table of `n` rows whose NAME index is fed in index order, in a few ordered batches, or at
// random; keyed or not, with a descending composite index and names differing in case only.
void MakeAndFill(platform::FileSystem& fs, const std::string& path, bool keyed, Rows rows, int n) {
  TableSpec s;
  s.fields = {
      {"ID", FieldType::kLong, 0}, {"NAME", FieldType::kAlpha, 12}, {"QTY", FieldType::kShort, 0}};
  s.key_fields = keyed ? 1 : 0;
  s.block_size_kb = 1;
  s.indexes = {{"", {"NAME"}, true, false}, {"QTYNAME", {"QTY", "NAME"}, true, true}};
  PxTable::Create(fs, path, s);
  std::vector<int> order(n);
  for (int i = 0; i < n; ++i) order[i] = i;
  std::mt19937 rng(5);
  if (rows == Rows::kShuffled) std::shuffle(order.begin(), order.end(), rng);
  auto t = PxTable::Open(fs, path, PxTable::Mode::kReadWrite);
  const int third = (n + 2) / 3;
  for (int k = 0; k < n; ++k) {
    const int i = order[k];
    // In order: the names grow with the id, the quantities fall. Batches: three runs of growing
    // names. Shuffled: pairs of names that differ in case only.
    const int rank = rows == Rows::kBatches ? (i % third) * 3 + i / third : i;
    char name[16];
    std::snprintf(name, sizeof name, "%c%07d", (rank / 7) % 2 ? 'a' : 'A',
                  rows == Rows::kShuffled ? rank / 2 : rank);
    std::string r = t->BlankRecord();
    t->SetValue(r, 0, Variant::Int(i));
    t->SetText(r, 1, name);
    t->SetValue(r, 2, Variant::Int(rows == Rows::kInOrder ? 30000 - i : i % 5));
    t->Insert(r);
  }
  t->Close();
}

std::set<std::string> ScratchWrites(const FaultyFileSystem& faulty) {
  std::set<std::string> out;
  for (auto& op : faulty.ops)
    if (op.kind == "write" && op.path.find("tpi") != std::string::npos) out.insert(op.path);
  return out;
}

TEST(IndexWriter, FilesTheSameWhetherSortedInMemoryOrInSpilledRuns) {
  for (bool keyed : {true, false}) {
    for (Rows rows : {Rows::kInOrder, Rows::kBatches, Rows::kShuffled}) {
      SCOPED_TRACE(std::string(keyed ? "keyed" : "unkeyed") + " rows " +
                   std::to_string(static_cast<int>(rows)));
      TempDir whole, runs;
      MakeAndFill(Fs(), whole / "T.db", keyed, rows, 2500);
      {
        auto t = PxTable::Open(Fs(), whole / "T.db", PxTable::Mode::kRead);
        EXPECT_EQ(t->Check(), std::vector<std::string>());
      }
      // The same rows again, each index flushed through runs of 64 records.
      SmallRuns small;
      FaultyFileSystem faulty(Fs());
      faulty.record = true;
      MakeAndFill(faulty, runs / "T.db", keyed, rows, 2500);
      auto a = Files(whole), b = Files(runs);
      ASSERT_EQ(a.size(), b.size());
      for (auto& [name, bytes] : a) EXPECT_TRUE(bytes == b[name]) << name << " differs";
      const auto scratch = ScratchWrites(faulty);
      EXPECT_FALSE(scratch.empty());
      // Rows in the order of every index go straight to the files: their runs are never merged.
      bool merged = false;
      for (auto& op : faulty.ops)
        merged = merged || (op.kind == "read" && op.path.find("tpi") != std::string::npos);
      EXPECT_EQ(merged, rows != Rows::kInOrder);
      for (auto& p : scratch) EXPECT_FALSE(fs::exists(p)) << p << " left behind";
    }
  }
}

// A flush that fails at any operation on an index file, the journal or the sort's scratch file:
// the family comes back byte for byte, by the flush's own undo or by the next open's recovery.
TEST(IndexWriter, FlushFailingAnywhereInTheIndexesLeavesTheFamilyAsItWas) {
  SmallRuns small;
  TempDir base;
  MakeAndFill(Fs(), base / "T.db", true, Rows::kShuffled, 600);
  const auto before = Files(base);
  auto change = [](PxTable& t) {
    for (int i = 0; i < 200; ++i) {
      std::string r = t.BlankRecord();
      t.SetValue(r, 0, Variant::Int(100000 - i * 7));
      t.SetText(r, 1, "z" + std::to_string(i * 31 % 97));
      t.Insert(r);
    }
  };
  // The operations of a whole flush, to fail each in turn.
  std::vector<FaultyFileSystem::Op> ops;
  long first = 0;
  {
    TempDir dir;
    for (auto& e : fs::directory_iterator(base.path()))
      fs::copy_file(e.path(), dir.path() / e.path().filename());
    FaultyFileSystem faulty(Fs());
    auto t = PxTable::Open(faulty, dir / "T.db", PxTable::Mode::kReadWrite);
    change(*t);
    faulty.record = true;
    first = faulty.count;
    t->Flush();
    ops = faulty.ops;
  }
  int tried = 0;
  for (size_t k = 0; k < ops.size(); ++k) {
    const std::string& p = ops[k].path;
    const bool index_file = p.find(".X") != std::string::npos || p.find(".Y") != std::string::npos;
    const bool scratch = p.find("tpi") != std::string::npos;
    // The scratch file's removal is best effort: the flush does not fail there.
    if ((!index_file && !scratch && p.find(".tjl") == std::string::npos) ||
        (scratch && ops[k].kind == "delete"))
      continue;
    SCOPED_TRACE(ops[k].kind + " " + p);
    ++tried;
    TempDir dir;
    for (auto& e : fs::directory_iterator(base.path()))
      fs::copy_file(e.path(), dir.path() / e.path().filename());
    FaultyFileSystem faulty(Fs());
    faulty.record = true;
    {
      auto t = PxTable::Open(faulty, dir / "T.db", PxTable::Mode::kReadWrite);
      change(*t);
      faulty.fail_at = first + static_cast<long>(k) + 1;
      EXPECT_THROW(t->Flush(), EDBEngineError);
      faulty.fail_at = 0;
    }
    RecoverFamily(Fs(), dir / "T.db");
    EXPECT_TRUE(Files(dir) == before);
    for (auto& s : ScratchWrites(faulty)) EXPECT_FALSE(fs::exists(s)) << s;
  }
  EXPECT_GT(tried, 20);
}

// Reads of the table's files that the journal copies are plain bytes: a journal written from
// the files in chunks is the one written from their bytes in memory.
TEST(StreamedJournal, SameRecordsAsFromMemoryAndCutAtEveryPoint) {
  TempDir dir;
  std::mt19937 rng(3);
  auto random_bytes = [&](size_t n) {
    std::vector<uint8_t> b(n);
    for (auto& c : b) c = static_cast<uint8_t>(rng());
    return b;
  };
  const auto db = random_bytes(400), x = random_bytes(500);
  WriteBytes(dir.path() / "T.db", db);
  WriteBytes(dir.path() / "T.X02", x);
  const std::vector<FamilyJournal::Span> spans = {{0, 60}, {150, 100}, {350, 50}};
  const std::string jpath = FamilyJournalPath(dir / "T.db");
  {
    FamilyJournal j(Fs(), dir / "T.db");
    FamilyJournal::Ranges ranges;
    for (auto& s : spans)
      ranges.push_back(
          {s.offset, std::vector<uint8_t>(db.begin() + s.offset, db.begin() + s.offset + s.size)});
    j.RecordRanges(dir / "T.db", db.size(), ranges);
    j.RecordWholes({{dir / "T.X02", x}, {dir / "T.Y02", std::nullopt}});
  }
  const auto from_memory = Bytes(jpath);
  fs::remove(jpath);
  std::vector<uint64_t> ends;
  std::vector<uint64_t> at;
  std::vector<FamilyJournal::Whole> wholes;
  {
    FamilyJournal j(Fs(), dir / "T.db");
    auto f = Fs().Open(dir / "T.db", platform::Access::kRead, platform::Share::kDenyNone,
                       platform::Disposition::kOpenExisting);
    at = j.RecordRangesFrom(dir / "T.db", db.size(), *f, spans);
    ASSERT_EQ(at.size(), spans.size());
    f->Close();
    ends.push_back(fs::file_size(jpath));
    wholes = j.RecordWholesFrom({dir / "T.X02", dir / "T.Y02"});
    ASSERT_EQ(wholes.size(), 2u);
    EXPECT_TRUE(wholes[0].existed);
    EXPECT_FALSE(wholes[1].existed);
  }
  // Read once the journal is closed: Windows lets no one else read it while it is open.
  const auto journal = Bytes(jpath);
  ASSERT_TRUE(journal == from_memory);
  // Where the journal says the old bytes are, they are.
  ASSERT_GE(journal.size(), wholes[0].at + x.size());
  ASSERT_GE(journal.size(), at[1] + 100);
  EXPECT_TRUE(std::equal(x.begin(), x.end(), journal.begin() + wholes[0].at));
  EXPECT_TRUE(std::equal(db.begin() + 150, db.begin() + 250, journal.begin() + at[1]));
  // Records check with the usual CRC-32 (journals of earlier versions are read alike): the first
  // record's payload follows the 14-byte header, its magic and its length.
  {
    const size_t len = static_cast<size_t>(ends[0] - 14 - 16);
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i) {
      c ^= journal[14 + 12 + i];
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    EXPECT_EQ(c ^ 0xFFFFFFFFu, Le32(journal, 14 + 12 + len));
  }
  // The record of T.X02 ends where the absent T.Y02's begins: 4 + 8 + payload + 4.
  ends.push_back(ends[0] + 16 + 2 + 5 + 1 + 8 + x.size());
  ends.push_back(journal.size());

  const auto new_db = random_bytes(900), new_x = random_bytes(400), new_y = random_bytes(50);
  for (size_t cut = 0; cut <= journal.size(); ++cut) {
    WriteBytes(dir.path() / "T.db", new_db);
    WriteBytes(dir.path() / "T.X02", new_x);
    WriteBytes(dir.path() / "T.Y02", new_y);
    WriteBytes(jpath, std::vector<uint8_t>(journal.begin(), journal.begin() + cut));
    RecoverFamily(Fs(), dir / "T.db");
    ASSERT_FALSE(fs::exists(jpath)) << cut;
    // A torn record and those after it protected writes that had not begun: not applied.
    auto db_want = new_db;
    if (cut >= ends[0]) {
      db_want.resize(db.size());
      for (auto& s : spans)
        std::copy(db.begin() + s.offset, db.begin() + s.offset + s.size,
                  db_want.begin() + s.offset);
    }
    ASSERT_TRUE(Bytes(dir.path() / "T.db") == db_want) << cut;
    ASSERT_TRUE(Bytes(dir.path() / "T.X02") == (cut >= ends[1] ? x : new_x)) << cut;
    ASSERT_EQ(fs::exists(dir.path() / "T.Y02"), cut < ends[2]) << cut;
  }
}

// The writer lays records out as the in-memory builder does, with a block's leaf per block.
TEST(IndexWriter, DataFileWriterMatchesTheWholeFileBuilder) {
  TempDir dir;
  std::vector<uint8_t> header(0x78 + 32, 0);
  px::Put16(header, 2, static_cast<uint32_t>(header.size()));
  for (size_t count : {size_t{0}, size_t{1}, size_t{101}, size_t{102}, size_t{5000}}) {
    SCOPED_TRACE(count);
    std::vector<uint8_t> recs(count * 10);
    for (size_t i = 0; i < recs.size(); ++i) recs[i] = static_cast<uint8_t>(i * 37 / 10);
    std::vector<px::TreeEntry> want_leaves;
    const auto want = px::BuildDataFile(header, 10, 1024, 4, recs.data(), count, want_leaves);
    auto f = Fs().Open(dir / "T.X02", platform::Access::kReadWrite, platform::Share::kDenyWrite,
                       platform::Disposition::kCreateAlways);
    // An earlier, longer file is cut to the new one's end.
    std::vector<uint8_t> junk(want.size() + 3000, 0xEE);
    f->Write(junk.data(), junk.size());
    px::DataFileWriter w(*f, header, 10, 1024, 4, count);
    // A false start, as when records turn out not to be in order.
    if (count > 1) w.Add(recs.data() + 10);
    w.Restart();
    for (size_t i = 0; i < count; ++i) w.Add(recs.data() + i * 10);
    const auto leaves = w.Finish();
    f->Close();
    EXPECT_TRUE(Bytes(dir.path() / "T.X02") == want);
    ASSERT_EQ(leaves.size(), want_leaves.size());
    for (size_t i = 0; i < leaves.size(); ++i) {
      EXPECT_EQ(leaves[i].key, want_leaves[i].key);
      EXPECT_EQ(leaves[i].block, want_leaves[i].block);
      EXPECT_EQ(leaves[i].count, want_leaves[i].count);
    }
  }
}

}  // namespace
}  // namespace tarvo::db
