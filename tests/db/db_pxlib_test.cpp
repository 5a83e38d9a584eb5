// pxlib as an independent reader and writer: it reads what this engine writes, record for
// record, and this engine reads what pxlib writes.
#include <gtest/gtest.h>
extern "C" {
#include <paradox.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>

#include "db/px_table.h"
#include "db/ttable.h"
#include "tests/db/db_test_util.h"
#include "tests/db/db_tree_util.h"

namespace tarvo::db {
namespace {

using namespace testing;

struct PxDoc {
  pxdoc_t* doc = nullptr;
  PxDoc() {
    static bool booted = (PX_boot(), true);
    (void)booted;
    doc = PX_new();
  }
  ~PxDoc() {
    if (doc) {
      PX_close(doc);
      PX_delete(doc);
    }
  }
};

TEST(Pxlib, ReadsWhatWeWriteForEveryFieldType) {
  TempDir dir;
  TableSpec s;
  s.fields = {
      {"ID", FieldType::kAutoInc, 0},   {"A", FieldType::kAlpha, 16},   {"D", FieldType::kDate, 0},
      {"S", FieldType::kShort, 0},      {"I", FieldType::kLong, 0},     {"M", FieldType::kMoney, 0},
      {"N", FieldType::kNumber, 0},     {"L", FieldType::kLogical, 0},  {"T", FieldType::kTime, 0},
      {"TS", FieldType::kTimestamp, 0}, {"MEMO", FieldType::kMemo, 20}, {"Y", FieldType::kBytes, 3},
      {"BCD", FieldType::kBcd, 2}};
  s.key_fields = 1;
  s.code_page = 1251;
  s.indexes = {{"by_a", {"A"}}};
  PxTable::Create(Fs(), dir / "w.db", s);
  const int kRows = 300;  // several data blocks, so splits and the index tree are exercised
  {
    TTable t(Fs(), "t");
    t.SetTableName(dir / "w.db");
    t.Open();
    for (int i = 0; i < kRows; ++i) {
      t.Append();
      if (i % 50 != 7) {  // some rows stay blank
        t.FieldByName("A").SetAsString("row " + std::to_string(kRows - i));
        t.FieldByName("D").SetAsVariant(Variant::Date(730000 + i));
        t.FieldByName("S").SetAsInteger(i - 100);
        t.FieldByName("I").SetAsInteger(i * 1000);
        t.FieldByName("M").SetAsString(std::to_string(i) + ".25");
        t.FieldByName("N").SetAsVariant(Variant::Float(-i / 4.0));
        t.FieldByName("L").SetAsVariant(Variant::Bool(i % 2));
        t.FieldByName("T").SetAsVariant(Variant::Time(i * 1000));
        t.FieldByName("TS").SetAsVariant(Variant::DateTime(63716202001000.0 + i));
        t.FieldByName("MEMO").SetAsString(i % 3 ? "short" : std::string(40 + i, 'm'));
        t.FieldByName("Y").SetAsVariant(Variant::Bytes("xyz"));
        t.FieldByName("BCD").SetAsString(std::to_string(i) + ".5");
      }
      t.Post();
    }
    t.Close();
  }
  PxDoc px;
  ASSERT_EQ(PX_open_file(px.doc, (dir / "w.db").c_str()), 0);
  // No blob file for pxlib: its 0.6.8 release overruns its stack opening any ".mb" file (the
  // engine's own samples included). Memos that fit their leader are read without it.
  ASSERT_EQ(PX_get_num_records(px.doc), kRows);
  ASSERT_EQ(PX_get_num_fields(px.doc), 13);
  auto ours = PxTable::Open(Fs(), dir / "w.db", PxTable::Mode::kRead);
  auto ids = ours->RecordsInOrder();
  for (int r = 0; r < kRows; ++r) {
    SCOPED_TRACE(r);
    pxval_t** v = PX_retrieve_record(px.doc, r);
    ASSERT_NE(v, nullptr);
    const uint8_t* rec = ours->rec(ids[r]);
    int i = static_cast<int>(codec::DecodeInt(rec, 4)) - 1;  // the autoincrement value
    EXPECT_EQ(v[0]->value.lval, i + 1);
    bool blank = i % 50 == 7;
    bool in_blob_file = !blank && i % 3 == 0;
    // pxlib flags blank text as null; its numbers of blank fields are its own sentinels.
    EXPECT_EQ(v[1]->isnull != 0, blank);
    if (blank) {
      EXPECT_EQ(v[4]->value.lval, -2147483648L);
    }
    if (!blank) {
      EXPECT_EQ(std::string(v[1]->value.str.val, v[1]->value.str.len),
                "row " + std::to_string(kRows - i));
      EXPECT_EQ(v[2]->value.lval, 730000 + i);
      EXPECT_EQ(v[3]->value.lval, i - 100);
      EXPECT_EQ(v[4]->value.lval, i * 1000);
      EXPECT_DOUBLE_EQ(v[5]->value.dval, i + 0.25);
      EXPECT_DOUBLE_EQ(v[6]->value.dval, -i / 4.0);
      EXPECT_EQ(v[7]->value.lval, i % 2);
      EXPECT_EQ(v[8]->value.lval, i * 1000);
      EXPECT_DOUBLE_EQ(v[9]->value.dval, 63716202001000.0 + i);
      if (!in_blob_file) {
        EXPECT_EQ(std::string(v[10]->value.str.val, v[10]->value.str.len), "short");
      }
      EXPECT_EQ(std::string(v[11]->value.str.val, v[11]->value.str.len), "xyz");
      EXPECT_EQ(std::atof(std::string(v[12]->value.str.val, v[12]->value.str.len).c_str()),
                i + 0.5);
    }
    for (int f = 0; f < 13; ++f) {
      if (!v[f]->isnull && (v[f]->type == pxfAlpha || v[f]->type == pxfMemoBLOb ||
                            v[f]->type == pxfBCD || v[f]->type == pxfBytes))
        px.doc->free(px.doc, v[f]->value.str.val);
      px.doc->free(px.doc, v[f]);
    }
    px.doc->free(px.doc, v);
  }
  EXPECT_TRUE(ours->Check().empty());
}

TEST(Pxlib, WeReadWhatPxlibWrites) {
  TempDir dir;
  std::string path = dir / "p.db";
  {
    PxDoc px;
    pxfield_t* f = static_cast<pxfield_t*>(px.doc->malloc(px.doc, 6 * sizeof(pxfield_t), "fields"));
    const char* names[] = {"NAME", "QTY", "PRICE", "DAY", "OK", "SH"};
    char types[] = {pxfAlpha, pxfLong, pxfNumber, pxfDate, pxfLogical, pxfShort};
    int lens[] = {20, 4, 8, 4, 1, 2};
    for (int i = 0; i < 6; ++i) {
      f[i].px_fname = static_cast<char*>(px.doc->malloc(px.doc, 8, "name"));
      std::strcpy(f[i].px_fname, names[i]);
      f[i].px_ftype = types[i];
      f[i].px_flen = lens[i];
      f[i].px_fdc = 0;
    }
    ASSERT_EQ(PX_create_file(px.doc, f, 6, path.c_str(), pxfFileTypNonIndexDB), 0);
    for (int r = 0; r < 500; ++r) {
      pxval_t** v = static_cast<pxval_t**>(px.doc->malloc(px.doc, 6 * sizeof(pxval_t*), "vals"));
      for (int i = 0; i < 6; ++i) {
        v[i] = static_cast<pxval_t*>(px.doc->malloc(px.doc, sizeof(pxval_t), "val"));
        std::memset(v[i], 0, sizeof(pxval_t));
        v[i]->type = types[i];
        v[i]->isnull = r % 10 == 3;
      }
      std::string name = "item " + std::to_string(r);
      v[0]->value.str.val = name.data();
      v[0]->value.str.len = static_cast<int>(name.size());
      v[1]->value.lval = r * 7;
      v[2]->value.dval = r / 8.0;
      v[3]->value.lval = 735000 + r;
      v[4]->value.lval = r % 2;
      v[5]->value.lval = -r;
      ASSERT_GE(PX_insert_record(px.doc, v), 0);
      for (int i = 0; i < 6; ++i) px.doc->free(px.doc, v[i]);
      px.doc->free(px.doc, v);
    }
  }
  auto t = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
  ASSERT_EQ(t->size(), 500u);
  auto ids = t->RecordsInOrder();
  for (int r = 0; r < 500; ++r) {
    const uint8_t* rec = t->rec(ids[r]);
    if (r % 10 == 3) {
      for (int i = 0; i < 6; ++i) EXPECT_TRUE(t->GetValue(rec, i).IsNull()) << r;
      continue;
    }
    EXPECT_EQ(t->GetText(rec, 0), "item " + std::to_string(r));
    EXPECT_EQ(t->GetValue(rec, 1), Variant::Int(r * 7));
    EXPECT_EQ(t->GetValue(rec, 2), Variant::Float(r / 8.0));
    EXPECT_EQ(t->GetValue(rec, 3), Variant::Date(735000 + r));
    EXPECT_EQ(t->GetValue(rec, 4), Variant::Bool(r % 2));
    EXPECT_EQ(t->GetValue(rec, 5), Variant::Int(-r));
  }
}

// pxlib keeps a primary index it reads past the documents that use it, and frees neither; its
// allocations go through this pool, emptied when the reading is done.
struct PxPool {
  static std::set<void*>& Live() {
    static std::set<void*> live;
    return live;
  }
  static void* Alloc(pxdoc_t*, size_t n, const char*) {
    void* p = std::malloc(n ? n : 1);
    if (p) Live().insert(p);
    return p;
  }
  static void* Realloc(pxdoc_t*, void* old, size_t n, const char*) {
    if (old) Live().erase(old);
    void* p = std::realloc(old, n ? n : 1);
    if (p) Live().insert(p);
    return p;
  }
  static void Free(pxdoc_t*, void* p) {
    if (Live().erase(p)) std::free(p);
  }
  static void Error(pxdoc_t*, int, const char* msg, void*) {
    std::fprintf(stderr, "pxlib: %s\n", msg);
  }
  static pxdoc_t* New() { return PX_new2(Error, Alloc, Realloc, Free); }
  ~PxPool() {
    for (void* p : Live()) std::free(p);
    Live().clear();
  }
};

// pxlib reads every row of a keyed table through its primary index (none: along the data
// blocks), in key order, and returns the key of each. A tree it cannot follow fails here (before
// the engine's layout, pxlib stopped at record 708 of a two-level index).
std::vector<std::string> KeysThroughPxlib(const std::string& db, const std::string& px,
                                          int key_len) {
  static bool booted = (PX_boot(), true);
  (void)booted;
  PxPool pool;
  std::vector<std::string> keys;
  pxdoc_t* table = PxPool::New();
  pxdoc_t* index = px.empty() ? nullptr : PxPool::New();
  bool open = PX_open_file(table, db.c_str()) == 0;
  if (open && index)
    open = PX_open_file(index, px.c_str()) == 0 && PX_read_primary_index(index) == 0 &&
           PX_add_primary_index(table, index) == 0;
  if (open) {
    const int n = PX_get_num_records(table);
    std::vector<char> buf(PX_get_recordsize(table));
    for (int r = 0; r < n; ++r) {
      if (!PX_get_record(table, r, buf.data())) break;
      keys.emplace_back(buf.data(), key_len);
    }
  }
  PX_close(table);
  if (index) PX_close(index);
  return keys;
}

struct Big {
  int rows;
  int key_len;  // 0: a long integer key; else an alpha key of that length
  bool shuffled;
  int min_px_levels, min_y_levels;
};

// Tables of many rows: pxlib reads every row through the index, the check passes, and walking
// each index finds what a plain scan of the data finds.
TEST(Pxlib, ReadsLargeTablesThroughTheirIndexes) {
  const Big cases[] = {
      {300, 0, true, 1, 1},
      {5000, 100, true, 2, 2},
      {200000, 100, false, 3, 3},
  };
  for (const Big& c : cases) {
    SCOPED_TRACE(c.rows);
    auto start = std::chrono::steady_clock::now();
    TempDir dir;
    TableSpec s;
    if (c.key_len)
      s.fields = {{"K", FieldType::kAlpha, c.key_len}, {"NAME", FieldType::kAlpha, 20}};
    else
      s.fields = {{"K", FieldType::kLong, 0}, {"NAME", FieldType::kAlpha, 20}};
    s.fields.push_back({"QTY", FieldType::kLong, 0});
    s.key_fields = 1;
    s.indexes = {{"", {"NAME"}}, {"by_qty_name", {"QTY", "NAME"}}};
    const std::string path = dir / "big.db";
    PxTable::Create(Fs(), path, s);
    std::vector<int> order(c.rows);
    std::iota(order.begin(), order.end(), 0);
    if (c.shuffled) std::shuffle(order.begin(), order.end(), std::mt19937(c.rows));
    {
      auto t = PxTable::Open(Fs(), path, PxTable::Mode::kReadWrite);
      for (int i : order) {
        std::string rec = t->BlankRecord();
        char key[32];
        std::snprintf(key, sizeof key, "K%09d", i * 7);
        if (c.key_len)
          t->SetValue(rec, 0, Variant::String(key));
        else
          t->SetValue(rec, 0, Variant::Int(i * 7));
        t->SetValue(rec, 1, Variant::String("name " + std::to_string(i % 997)));
        t->SetValue(rec, 2, Variant::Int(i % 13));
        t->Insert(rec);
      }
      t->Close();
    }
    auto lap = [&](const char* what) {
      if (std::getenv("TARVO_TEST_TIMES"))
        std::printf(
            "%d rows, %s: %.2f s\n", c.rows, what,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    };
    lap("written");
    auto t = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
    ASSERT_EQ(t->size(), static_cast<size_t>(c.rows));
    auto problems = t->Check();
    EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems[0]);
    lap("checked");
    const int key_len = t->fields()[0].length;
    const std::string px_path = dir / "big.PX";
    auto px = Bytes(px_path);
    EXPECT_GE(px[0x20], c.min_px_levels);
    EXPECT_EQ(RecordsMissedByPrimary(*t, px), 0u);
    lap("primary walked");
    std::vector<std::string> scan;
    for (RecId id : t->RecordsInOrder())
      scan.emplace_back(reinterpret_cast<const char*>(t->rec(id)), key_len);
    // pxlib 0.6.8 follows two index levels at most (the first block on the chain it takes for
    // the upper level, all others for leaves); a deeper tree it reads along the data blocks.
    if (px[0x20] <= 2)
      EXPECT_EQ(KeysThroughPxlib(path, px_path, key_len), scan);
    else
      EXPECT_EQ(KeysThroughPxlib(path, "", key_len), scan);
    lap("pxlib read");
    for (const auto& ix : t->indexes()) {
      SCOPED_TRACE(ix.x_path);
      auto y = Bytes(ix.y_path);
      EXPECT_GE(y[0x20], c.min_y_levels);
      SecondaryWalk w = WalkSecondary(Bytes(ix.x_path), y);
      EXPECT_TRUE(w.problems.empty()) << (w.problems.empty() ? "" : w.problems[0]);
      // What the plain scan says the index holds: its fields, then the key, then the block.
      std::vector<std::string> want;
      for (RecId id : t->RecordsInOrder()) {
        std::string x;
        for (int f : ix.fields)
          x.append(reinterpret_cast<const char*>(t->rec(id)) + t->fields()[f].offset,
                   t->fields()[f].length);
        x.append(reinterpret_cast<const char*>(t->rec(id)), key_len);
        uint8_t blk[2];
        codec::EncodeInt(blk, 2, t->BlockOf(id));
        x.append(reinterpret_cast<const char*>(blk), 2);
        want.push_back(std::move(x));
      }
      std::sort(want.begin(), want.end());
      EXPECT_TRUE(w.through_tree == want);
    }
    lap("secondaries walked");
  }
}

// After memos were deleted, replaced and written again (sub-allocated blocks, reused space),
// pxlib still reads every record; the memos that fit their leader it reads itself (it cannot
// open a blob file, see above).
TEST(Pxlib, ReadsATableWhoseMemosWereRewritten) {
  TempDir dir;
  TableSpec s;
  s.fields = {{"ID", FieldType::kLong, 0}, {"NOTE", FieldType::kMemo, 20}};
  s.key_fields = 1;
  PxTable::Create(Fs(), dir / "r.db", s);
  auto memo = [](int i) {
    return i % 4 == 0 ? "n" + std::to_string(i) : std::string(100 + i % 400, 'a' + i % 26);
  };
  auto append = [&](PxTable& t, int i) {
    std::string r = t.BlankRecord();
    t.SetValue(r, 0, Variant::Int(i));
    t.SetValue(r, 1, Variant::String(std::string(250, 'x')));  // replaced at once
    t.SetValue(r, 1, Variant::String(memo(i)));
    t.Insert(r);
  };
  {
    auto t = PxTable::Open(Fs(), dir / "r.db", PxTable::Mode::kReadWrite);
    for (int i = 0; i < 2000; ++i) append(*t, i);
    t->Close();
    t = PxTable::Open(Fs(), dir / "r.db", PxTable::Mode::kReadWrite);
    auto ids = t->RecordsInOrder();
    for (size_t k = 1; k < ids.size(); k += 2) t->Erase(ids[k]);
    for (int i = 2000; i < 3000; ++i) append(*t, i);
    t->Close();
  }
  PxDoc px;
  ASSERT_EQ(PX_open_file(px.doc, (dir / "r.db").c_str()), 0);
  auto ours = PxTable::Open(Fs(), dir / "r.db", PxTable::Mode::kRead);
  auto ids = ours->RecordsInOrder();
  ASSERT_EQ(PX_get_num_records(px.doc), static_cast<int>(ids.size()));
  for (size_t r = 0; r < ids.size(); ++r) {
    SCOPED_TRACE(r);
    pxval_t** v = PX_retrieve_record(px.doc, static_cast<int>(r));
    ASSERT_NE(v, nullptr);
    const int i = static_cast<int>(ours->GetValue(ours->rec(ids[r]), 0).AsInt());
    EXPECT_EQ(v[0]->value.lval, i);
    EXPECT_EQ(ours->GetText(ours->rec(ids[r]), 1), memo(i));
    if (i % 4 == 0) {
      ASSERT_FALSE(v[1]->isnull);
      EXPECT_EQ(std::string(v[1]->value.str.val, v[1]->value.str.len), memo(i));
    }
    for (int f = 0; f < 2; ++f) {
      if (!v[f]->isnull && v[f]->type == pxfMemoBLOb) px.doc->free(px.doc, v[f]->value.str.val);
      px.doc->free(px.doc, v[f]);
    }
    px.doc->free(px.doc, v);
  }
  EXPECT_TRUE(ours->Check().empty());
}

}  // namespace
}  // namespace tarvo::db
