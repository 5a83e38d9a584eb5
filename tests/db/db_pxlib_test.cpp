// pxlib as an independent reader and writer: it reads what this engine writes, record for
// record, and this engine reads what pxlib writes.
#include <gtest/gtest.h>
extern "C" {
#include <paradox.h>
}

#include <cmath>
#include <cstring>

#include "db/px_table.h"
#include "db/ttable.h"
#include "tests/db/db_test_util.h"

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
  s.fields = {{"ID", FieldType::kAutoInc, 0}, {"A", FieldType::kAlpha, 16},
              {"D", FieldType::kDate, 0},     {"S", FieldType::kShort, 0},
              {"I", FieldType::kLong, 0},     {"M", FieldType::kMoney, 0},
              {"N", FieldType::kNumber, 0},   {"L", FieldType::kLogical, 0},
              {"T", FieldType::kTime, 0},     {"TS", FieldType::kTimestamp, 0},
              {"MEMO", FieldType::kMemo, 20}, {"Y", FieldType::kBytes, 3},
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
      EXPECT_EQ(std::string(v[1]->value.str.val, v[1]->value.str.len), "row " + std::to_string(kRows - i));
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
      EXPECT_EQ(std::atof(std::string(v[12]->value.str.val, v[12]->value.str.len).c_str()), i + 0.5);
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
