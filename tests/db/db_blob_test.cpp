// Blob files: small blobs share sub-allocated blocks, freed space is taken again, changes reach
// the disk once per flush (and leave with a failed one), engine-written neighbours stay intact,
// and damaged files raise the engine's error.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "db/db_error.h"
#include "db/px_blob.h"
#include "db/px_table.h"
#include "tests/db/db_test_util.h"
#include "tests/install/faulty_fs.h"

namespace tarvo::db {
namespace {

using namespace testing;
using Kind = EDBEngineError::Kind;

fs::path BlobSampleDir() { return SampleDir().parent_path() / "paradox-blobs"; }

void CopyFrom(const fs::path& from, const std::string& stem, const TempDir& dir) {
  for (auto& e : fs::directory_iterator(from)) {
    std::string name = e.path().filename().string();
    if (name.rfind(stem + ".", 0) != 0) continue;
    fs::copy_file(e.path(), dir.path() / name, fs::copy_options::overwrite_existing);
    fs::permissions(dir.path() / name, fs::perms::owner_write, fs::perm_options::add);
  }
}

std::vector<int> BlobFields(const PxTable& t) {
  std::vector<int> out;
  for (size_t i = 0; i < t.fields().size(); ++i)
    if (IsBlobType(t.fields()[i].type)) out.push_back(static_cast<int>(i));
  return out;
}

std::string BlobOf(const PxTable& t, const uint8_t* rec, int field) {
  Variant v = t.GetValue(rec, field);
  return v.IsNull() ? std::string() : v.AsStringRef();
}

// Every record as (its bytes without the blob descriptors, its blobs), sorted: the same table
// read again must give the same list whatever block its records are in.
using Contents = std::vector<std::pair<std::string, std::vector<std::string>>>;
Contents Read(const PxTable& t) {
  Contents out;
  auto blobs = BlobFields(t);
  for (RecId id : t.RecordsInOrder()) {
    std::string key(reinterpret_cast<const char*>(t.rec(id)), t.record_size());
    std::vector<std::string> values;
    for (int f : blobs) {
      const FieldInfo& fi = t.fields()[f];
      std::fill(key.begin() + fi.offset, key.begin() + fi.offset + fi.length, '\0');
      values.push_back(BlobOf(t, t.rec(id), f));
    }
    out.emplace_back(std::move(key), std::move(values));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A blob field's value: text for memos, bytes for the others.
Variant BlobValue(const PxTable& t, int field, const std::string& s) {
  return t.fields()[field].type == FieldType::kMemo ? Variant::String(s) : Variant::Bytes(s);
}

std::string Text(std::mt19937& rng, size_t n) {
  std::string s(n, ' ');
  for (auto& c : s) c = static_cast<char>('a' + rng() % 26);
  return s;
}

// The least a blob file can be: its header and, per sub-allocated block, at most 235 chunks of
// 16 bytes and 64 blobs.
uint64_t MinimumSize(const std::vector<size_t>& lengths) {
  uint64_t chunks = 0;
  for (size_t n : lengths) chunks += (n + 15) / 16;
  uint64_t blocks = std::max<uint64_t>((chunks + 234) / 235, (lengths.size() + 63) / 64);
  return (1 + blocks) * BlobFile::kUnit;
}

struct MbList {
  std::vector<std::tuple<int, uint32_t, int>> entries;  // kind, offset, count
};
MbList HeaderList(const std::vector<uint8_t>& mb) {
  MbList l;
  for (size_t at = 0x38; at + 6 <= 4096; at += 6) {
    uint32_t v = Le32(mb, at);
    if (v == 0 && Le16(mb, at + 4) == 0) break;
    l.entries.emplace_back(static_cast<int>(v & 0xFF), v & ~0xFFu, Le16(mb, at + 4));
  }
  return l;
}

// Blobs the file holds that no record points at: what deleting and replacing failed to free.
long Orphans(const PxTable& t, const std::vector<uint8_t>& mb) {
  long live = 0;
  for (size_t at = 4096; at + 3 <= mb.size();) {
    const size_t units = std::max<size_t>(Le16(mb, at + 1), 1);
    if (mb[at] == 2) ++live;
    if (mb[at] == 3)
      for (int i = 0; i < 64; ++i) live += mb[at + 12 + 5 * i] != 0;
    at += units * 4096;
  }
  long referenced = 0;
  for (RecId id : t.RecordsInOrder())
    for (int f : BlobFields(t)) {
      const FieldInfo& fi = t.fields()[f];
      referenced += Le32(std::vector<uint8_t>(t.rec(id) + fi.offset + fi.length - 10,
                                              t.rec(id) + fi.offset + fi.length - 6),
                         0) != 0;
    }
  return live - referenced;
}

// Ours: a keyed table of memos.
void MakeMemoTable(const std::string& path, int leader) {
  TableSpec s;
  s.fields = {{"ID", FieldType::kLong, 0}, {"NOTE", FieldType::kMemo, leader}};
  s.key_fields = 1;
  PxTable::Create(Fs(), path, s);
}

void Append(PxTable& t, int id, const std::string& memo) {
  std::string r = t.BlankRecord();
  t.SetValue(r, 0, Variant::Int(id));
  t.SetValue(r, 1, Variant::String(memo));
  t.Insert(r);
}

std::map<int, std::string> Memos(const PxTable& t) {
  std::map<int, std::string> out;
  for (RecId id : t.RecordsInOrder())
    out[static_cast<int>(t.GetValue(t.rec(id), 0).AsInt())] = BlobOf(t, t.rec(id), 1);
  return out;
}

TEST(BlobFile, SmallMemosShareBlocksAndFreedSpaceIsTakenAgain) {
  TempDir dir;
  const std::string path = dir / "m.db";
  MakeMemoTable(path, 10);
  std::mt19937 rng(7);
  std::map<int, std::string> expect;
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    for (int i = 0; i < 3000; ++i) {
      expect[i] = Text(rng, 100 + rng() % 401);
      Append(*t, i, expect[i]);
    }
    t->Close();
  }
  auto lengths = [&] {
    std::vector<size_t> n;
    for (auto& [k, v] : expect) n.push_back(v.size());
    return n;
  };
  const uint64_t first = fs::file_size(dir / "m.MB");
  EXPECT_LE(first, MinimumSize(lengths()) * 11 / 10) << "minimum " << MinimumSize(lengths());
  {
    // Half deleted, then as many written again, some replacing a memo twice.
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    std::vector<RecId> ids = t->RecordsInOrder();
    for (size_t i = 0; i < ids.size(); i += 2) {
      expect.erase(static_cast<int>(t->GetValue(t->rec(ids[i]), 0).AsInt()));
      t->Erase(ids[i]);
    }
    for (int i = 3000; i < 4500; ++i) {
      std::string r = t->BlankRecord();
      t->SetValue(r, 0, Variant::Int(i));
      t->SetValue(r, 1, Variant::String(Text(rng, 300)));
      expect[i] = Text(rng, 100 + rng() % 401);
      t->SetValue(r, 1, Variant::String(expect[i]));
      t->Insert(r);
    }
    t->Close();
  }
  const uint64_t second = fs::file_size(dir / "m.MB");
  EXPECT_LE(second, first) << "freed space was not taken again";
  EXPECT_LE(second, MinimumSize(lengths()) * 11 / 10) << "minimum " << MinimumSize(lengths());
  auto t = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
  EXPECT_EQ(Memos(*t), expect);
  EXPECT_TRUE(t->Check().empty());
  EXPECT_EQ(Orphans(*t, Bytes(dir / "m.MB")), 0);
  BlobFile::CheckBytes(Bytes(dir / "m.MB"));
  // The header lists every sub-allocated block with room, by its free chunks.
  auto mb = Bytes(dir / "m.MB");
  for (auto& [kind, offset, count] : HeaderList(mb).entries) {
    ASSERT_LT(offset + 4096, mb.size() + 1);
    if (kind == 2) {
      EXPECT_EQ(mb[offset], 3);
      int used = 0;
      for (int i = 0; i < 64; ++i)
        if (mb[offset + 12 + 5 * i]) used += mb[offset + 12 + 5 * i + 1];
      EXPECT_EQ(count, 235 - used);
    } else {
      EXPECT_EQ(kind, 3);
      EXPECT_EQ(mb[offset], 4);
    }
  }
}

TEST(BlobFile, WholeBlocksAreFreedJoinedAndSplit) {
  TempDir dir;
  const std::string path = dir / "w.db";
  MakeMemoTable(path, 1);
  std::mt19937 rng(3);
  std::map<int, std::string> expect;
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    for (int i = 0; i < 4; ++i) Append(*t, i, expect[i] = Text(rng, 10000));  // 3 units each
    t->Close();
  }
  EXPECT_EQ(fs::file_size(dir / "w.MB"), (1 + 4 * 3) * 4096u);
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    auto ids = t->RecordsInOrder();
    t->Erase(ids[1]);
    t->Erase(ids[2]);
    expect.erase(1);
    expect.erase(2);
    t->Close();
  }
  auto mb = Bytes(dir / "w.MB");
  ASSERT_EQ(mb.size(), 13 * 4096u);
  // Two neighbours freed: one free block of both, listed once.
  EXPECT_EQ(mb[4 * 4096], 4);
  EXPECT_EQ(Le16(mb, 4 * 4096 + 1), 6);
  ASSERT_EQ(HeaderList(mb).entries.size(), 1u);
  EXPECT_EQ(HeaderList(mb).entries[0], std::make_tuple(3, 4 * 4096u, 6));
  {
    // A smaller whole blob and a small one take the free block's start; the rest stays free.
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    Append(*t, 10, expect[10] = Text(rng, 5000));
    Append(*t, 11, expect[11] = Text(rng, 200));
    t->Close();
  }
  mb = Bytes(dir / "w.MB");
  EXPECT_EQ(mb.size(), 13 * 4096u);
  EXPECT_EQ(mb[4 * 4096], 2);
  EXPECT_EQ(mb[6 * 4096], 3);
  EXPECT_EQ(mb[7 * 4096], 4);
  EXPECT_EQ(Le16(mb, 7 * 4096 + 1), 3);
  auto t = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
  EXPECT_EQ(Memos(*t), expect);
  EXPECT_EQ(Orphans(*t, mb), 0);
  BlobFile::CheckBytes(mb);
}

TEST(BlobFile, EmptyLeavesTheHeaderAlone) {
  TempDir dir;
  CopyFrom(BlobSampleDir(), "KOMMENT", dir);
  auto before = Bytes(dir / "KOMMENT.MB");
  PxTable::Empty(Fs(), dir / "KOMMENT.DB");
  auto after = Bytes(dir / "KOMMENT.MB");
  ASSERT_EQ(after.size(), 4096u);
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + 0x2F, before.begin()));
  EXPECT_TRUE(std::all_of(after.begin() + 0x2F, after.end(), [](uint8_t b) { return b == 0; }));
  // And the emptied family takes blobs again.
  auto t = PxTable::Open(Fs(), dir / "KOMMENT.DB", PxTable::Mode::kReadWrite);
  auto blobs = BlobFields(*t);
  ASSERT_FALSE(blobs.empty());
  std::string r = t->BlankRecord();
  t->SetValue(r, blobs[0], Variant::String(std::string(700, 'k')));
  t->Insert(r);
  t->Close();
  t = PxTable::Open(Fs(), dir / "KOMMENT.DB", PxTable::Mode::kRead);
  ASSERT_EQ(t->size(), 1u);
  EXPECT_EQ(BlobOf(*t, t->rec(t->RecordsInOrder()[0]), blobs[0]), std::string(700, 'k'));
  EXPECT_EQ(fs::file_size(dir / "KOMMENT.MB"), 2 * 4096u);
}

// Engine-written families: delete, replace and insert; the blobs nobody touched read as
// before, the new ones read back, and the file takes the new blobs in the space the old left.
class EngineBlobs : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(EngineBlobs, ChangesKeepTheNeighboursAndReuseSpace) {
  const auto& [stem, db] = GetParam();
  const bool ours = stem == "db_CUSTOMER";
  TempDir dir;
  CopyFrom(ours ? SampleDir() : BlobSampleDir(), stem, dir);
  std::string mb_name;
  for (auto& e : fs::directory_iterator(dir.path()))
    if (e.path().extension() == ".MB" || e.path().extension() == ".mb")
      mb_name = e.path().filename().string();
  ASSERT_FALSE(mb_name.empty());
  const uint64_t size_before = fs::file_size(dir / mb_name);
  Contents expect;
  // KOMMENT's sort order (nordan40) is not one this engine orders by: its check fails before
  // any change, so only the others are checked after.
  const bool sound = PxTable::Open(Fs(), dir / db, PxTable::Mode::kRead)->Check().empty();
  const long orphans =
      Orphans(*PxTable::Open(Fs(), dir / db, PxTable::Mode::kRead), Bytes(dir / mb_name));
  {
    auto t = PxTable::Open(Fs(), dir / db, PxTable::Mode::kReadWrite);
    expect = Read(*t);
    auto blobs = BlobFields(*t);
    ASSERT_FALSE(blobs.empty());
    // Every third record with a blob in the blob file goes; every third after it gets a new
    // blob of the length of the one it loses; then a record for each deleted one, with a blob
    // of the same length.
    std::vector<size_t> lengths;
    std::vector<RecId> ids = t->RecordsInOrder();
    int n = 0;
    std::mt19937 rng(11);
    for (RecId id : ids) {
      const FieldInfo& f = t->fields()[blobs[0]];
      const uint8_t* d = t->rec(id) + f.offset + f.length - 10;
      if ((d[0] | d[1] | d[2] | d[3]) == 0) continue;
      std::string old = BlobOf(*t, t->rec(id), blobs[0]);
      if (n % 3 == 0) {
        lengths.push_back(old.size());
        t->Erase(id);
      } else if (n % 3 == 1) {
        // Replaced: the record goes and comes back with a new first blob and its other blobs
        // written again (deleting it freed them).
        std::string r(reinterpret_cast<const char*>(t->rec(id)), t->record_size());
        std::vector<std::string> others;
        for (int f : blobs) others.push_back(BlobOf(*t, t->rec(id), f));
        t->Erase(id);
        t->SetValue(r, blobs[0], BlobValue(*t, blobs[0], Text(rng, old.size())));
        for (size_t k = 1; k < blobs.size(); ++k)
          t->SetValue(r, blobs[k],
                      others[k].empty() ? Variant::Null() : BlobValue(*t, blobs[k], others[k]));
        t->Insert(r);
      }
      ++n;
    }
    ASSERT_GT(n, 2);
    for (size_t i = 0; i < lengths.size(); ++i) {
      std::string r = t->BlankRecord();
      if (t->keyed())
        t->SetValue(r, 0,
                    t->fields()[0].type == FieldType::kAlpha
                        ? Variant::String("zz" + std::to_string(i))
                        : Variant::Int(900000 + static_cast<int>(i)));
      t->SetValue(r, blobs[0], BlobValue(*t, blobs[0], Text(rng, lengths[i])));
      t->Insert(r);
    }
    // What the table holds now, blobs from memory where they are not yet written.
    expect = Read(*t);
    t->Close();
  }
  auto t = PxTable::Open(Fs(), dir / db, PxTable::Mode::kRead);
  EXPECT_EQ(Read(*t), expect);
  for (auto& p : sound ? t->Check() : std::vector<std::string>()) ADD_FAILURE() << p;
  EXPECT_LE(fs::file_size(dir / mb_name), size_before) << "freed space was not taken again";
  EXPECT_EQ(Orphans(*t, Bytes(dir / mb_name)), orphans) << "blobs of deleted records kept";
  BlobFile::CheckBytes(Bytes(dir / mb_name));
}

INSTANTIATE_TEST_SUITE_P(Samples, EngineBlobs,
                         ::testing::Values(std::make_pair("KOMMENT", "KOMMENT.DB"),
                                           std::make_pair("DISTOLIN", "DISTOLIN.DB"),
                                           std::make_pair("db_CUSTOMER", "db_CUSTOMER.DB")),
                         [](const auto& info) { return info.param.first; });

TEST(BlobFile, EngineFilesParse) {
  for (const char* name : {"KOMMENT.MB", "DISTOLIN.MB"})
    EXPECT_NO_THROW(BlobFile::CheckBytes(Bytes(BlobSampleDir() / name))) << name;
  for (const char* name :
       {"db_CUSTOMER.MB", "fields_memo.mb", "fields_fmemo.mb", "TypSammlung.MB", "empty.mb"})
    EXPECT_NO_THROW(BlobFile::CheckBytes(Bytes(SampleDir() / name))) << name;
}

TEST(BlobFile, FailedFlushPutsTheBlobFileBack) {
  TempDir dir;
  const std::string path = dir / "f.db";
  MakeMemoTable(path, 4);
  {
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
    for (int i = 0; i < 50; ++i) Append(*t, i, std::string(100 + i, 'a' + i % 26));
    for (int i = 0; i < 3; ++i) Append(*t, 100 + i, std::string(9000, 'W'));
    t->Close();
  }
  const auto mb_before = Bytes(dir / "f.MB");
  const auto db_before = Bytes(dir / "f.db");
  install::testing::FaultyFileSystem faulty(Fs());
  // The table file's first write fails: the blob file has been written by then.
  faulty.fail_if = [&](const std::string& kind, const std::string& p) {
    return kind == "write" && p == path;
  };
  auto t = PxTable::Open(faulty, path, PxTable::Mode::kReadWrite);
  auto ids = t->RecordsInOrder();
  for (size_t i = 0; i < ids.size(); i += 2) t->Erase(ids[i]);
  for (int i = 0; i < 40; ++i) Append(*t, 200 + i, std::string(300, 'n'));
  Append(*t, 300, std::string(20000, 'L'));
  EXPECT_THROW(t->Flush(), EDBEngineError);
  EXPECT_EQ(Bytes(dir / "f.MB"), mb_before);
  EXPECT_EQ(Bytes(dir / "f.db"), db_before);
  // The changes are still there and the next flush writes them.
  faulty.fail_if = nullptr;
  auto expect = Memos(*t);
  t->Close();
  auto again = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
  EXPECT_EQ(Memos(*again), expect);
  EXPECT_EQ(Orphans(*again, Bytes(dir / "f.MB")), 0);
  BlobFile::CheckBytes(Bytes(dir / "f.MB"));
}

TEST(BlobFile, NewBlobFileIsRemovedWhenTheFirstFlushFails) {
  TempDir dir;
  // A family with a blob field gets its blob file when it is made; this one lost it.
  MakeMemoTable(dir / "b.db", 4);
  fs::remove(dir / "b.MB");
  install::testing::FaultyFileSystem faulty(Fs());
  faulty.fail_if = [&](const std::string& kind, const std::string& p) {
    return kind == "write" && p == dir / "b.db";
  };
  auto t = PxTable::Open(faulty, dir / "b.db", PxTable::Mode::kReadWrite);
  Append(*t, 1, std::string(500, 'x'));
  EXPECT_THROW(t->Flush(), EDBEngineError);
  EXPECT_FALSE(fs::exists(dir / "b.mb"));
  faulty.fail_if = nullptr;
  t->Close();
  auto again = PxTable::Open(Fs(), dir / "b.db", PxTable::Mode::kRead);
  EXPECT_EQ(Memos(*again)[1], std::string(500, 'x'));
}

TEST(BlobFile, FailedEmptyKeepsTheBlobs) {
  TempDir dir;
  CopyFrom(BlobSampleDir(), "KOMMENT", dir);
  const auto before = Bytes(dir / "KOMMENT.MB");
  install::testing::FaultyFileSystem faulty(Fs());
  faulty.fail_if = [&](const std::string& kind, const std::string& p) {
    return kind == "write" && p == dir / "KOMMENT.DB";
  };
  EXPECT_THROW(PxTable::Empty(faulty, dir / "KOMMENT.DB"), EDBEngineError);
  EXPECT_EQ(Bytes(dir / "KOMMENT.MB"), before);
}

// Damaged blob files: reading or changing a blob raises EDBEngineError, never worse.
TEST(BlobFile, DamagedFilesRaiseTheEngineError) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  };
  // db_CUSTOMER.MB: a sub-allocated block at 0x1000 (entries 60..63), a whole blob at 0x2000.
  const std::vector<Case> cases = {
      {"entry beyond its block", [](auto& b) { b[0x1000 + 12 + 5 * 63] = 0xF8; }},
      {"entry in the block head", [](auto& b) { b[0x1000 + 12 + 5 * 63] = 0x02; }},
      {"unknown block type", [](auto& b) { b[0x1000] = 9; }},
      {"whole block beyond the end", [](auto& b) { b[0x2001] = 0xFF; }},
      {"whole blob longer than its block", [](auto& b) { b[0x2006] = 0x7F; }},
      {"file cut short", [](auto& b) { b.resize(0x2000 + 100); }},
      {"header cut short", [](auto& b) { b.resize(1000); }},
      {"zero-sized block", [](auto& b) { b[0x1001] = 0; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    CopyFrom(SampleDir(), "db_CUSTOMER", dir);
    auto mb = Bytes(dir / "db_CUSTOMER.MB");
    c.damage(mb);
    WriteBytes(dir / "db_CUSTOMER.MB", mb);
    EXPECT_THROW(BlobFile::CheckBytes(mb), EDBEngineError);
    auto t = PxTable::Open(Fs(), dir / "db_CUSTOMER.DB", PxTable::Mode::kReadWrite);
    auto blobs = BlobFields(*t);
    int failures = 0;
    for (RecId id : t->RecordsInOrder()) {
      try {
        BlobOf(*t, t->rec(id), blobs[0]);
      } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.kind(), Kind::kDamaged) << e.what();
        ++failures;
      }
    }
    std::string r = t->BlankRecord();
    t->SetValue(r, 0, Variant::Int(99999));
    try {
      t->SetValue(r, blobs[0], Variant::String(std::string(300, 'd')));
      t->Insert(r);
      t->Close();
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.kind(), Kind::kDamaged) << e.what();
      ++failures;
    }
    EXPECT_GT(failures, 0);
  }
}

TEST(BlobFile, RandomDamageNeverCrashes) {
  const auto good = Bytes(BlobSampleDir() / "KOMMENT.MB");
  std::mt19937 rng(5);
  for (int round = 0; round < 1000; ++round) {
    auto b = good;
    for (int k = 0, n = 1 + rng() % 8; k < n; ++k) {
      // Mostly the structure: block heads and entries, where the checks matter.
      size_t at = rng() % 4 ? (1 + rng() % 12) * 4096 + rng() % 332 : rng() % b.size();
      if (at < b.size()) b[at] = static_cast<uint8_t>(rng());
    }
    if (rng() % 10 == 0) b.resize(rng() % b.size());
    try {
      BlobFile::CheckBytes(b);
    } catch (const EDBEngineError&) {
    }
  }
}

}  // namespace
}  // namespace tarvo::db
