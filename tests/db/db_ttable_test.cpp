// TTable on tables shaped like the product's: a master and three details linked on NOBOSN, the
// classifier and its groups.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <tuple>
#include <utility>

#include "db/catalogue.h"
#include "db/px_table.h"
#include "db/ttable.h"
#include "tests/db/db_test_util.h"

namespace tarvo::db {
namespace {

using namespace testing;
using K = EDBEngineError::Kind;

TableSpec MasterSpec() {
  TableSpec s;
  s.fields = {{"NOBOSN", FieldType::kAlpha, 20}, {"OBOSN", FieldType::kAlpha, 30},
              {"ID", FieldType::kLong, 0},       {"NAIMR", FieldType::kAlpha, 120},
              {"TRUD", FieldType::kNumber, 0},   {"YEAR", FieldType::kAlpha, 4},
              {"DT", FieldType::kDate, 0}};
  s.key_fields = 1;
  s.code_page = 1251;
  s.indexes = {{"base8491_1", {"NOBOSN"}}};
  return s;
}

TableSpec DetailSpec(const std::string& index, int extra_fields) {
  TableSpec s;
  s.fields = {{"N", FieldType::kAutoInc, 0},
              {"NOBOSN", FieldType::kAlpha, 20},
              {"KOD", FieldType::kAlpha, 20}};
  for (int i = 0; i < extra_fields; ++i)
    s.fields.push_back({"Q" + std::to_string(i), FieldType::kNumber, 0});
  s.key_fields = 1;
  s.code_page = 1251;
  s.indexes = {{index, {"NOBOSN"}}};
  return s;
}

void MakeSet(const TempDir& dir, const std::string& prefix, int detail_extra = 2) {
  PxTable::Create(Fs(), dir / (prefix + "Base8491.db"), MasterSpec());
  PxTable::Create(Fs(), dir / (prefix + "Link8491.db"), DetailSpec("link8491_1", detail_extra));
  PxTable::Create(Fs(), dir / (prefix + "Link_mex.db"), DetailSpec("link_mex_1", detail_extra));
  PxTable::Create(Fs(), dir / (prefix + "W_list.db"), DetailSpec("w_list_1", detail_extra));
}

void AddMaster(TTable& t, const std::string& nobosn, const std::string& obosn,
               const std::string& year = "") {
  t.Append();
  t.FieldByName("NOBOSN").SetAsString(nobosn);
  t.FieldByName("OBOSN").SetAsString(obosn);
  t.FieldByName("YEAR").SetAsString(year);
  t.Post();
}

void AddDetail(TTable& t, const std::string& kod) {
  t.Append();
  t.FieldByName("KOD").SetAsString(kod);
  t.Post();
}

std::vector<std::string> Column(TTable& t, const char* field) {
  std::vector<std::string> out;
  for (t.First(); !t.Eof(); t.Next()) out.push_back(t.FieldByName(field).AsString());
  return out;
}

class CatalogueSet : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeSet(dir_, "");
    cat_ = std::make_unique<TableCatalogue>(Fs());
    for (auto c : {"Tb_Base8491", "Tb_link8491", "Tb_link_mex", "Tb_w_list"})
      cat_->BindPath(c, dir_.str());
    master().Open();
    link().Open();
  }
  TTable& master() { return cat_->Tb_Base8491; }
  TTable& link() { return cat_->Tb_link8491; }
  TempDir dir_;
  std::unique_ptr<TableCatalogue> cat_;
};

TEST_F(CatalogueSet, DetailFollowsMasterAndTakesItsKey) {
  AddMaster(master(), "U1", "Е1-1");
  AddDetail(link(), "a");
  AddDetail(link(), "b");
  AddMaster(master(), "U2", "Е1-2");
  AddMaster(master(), "U3", "Е1-3");
  AddDetail(link(), "c");
  // The detail row took the master's NOBOSN at append.
  EXPECT_EQ(link().FieldByName("NOBOSN").AsString(), "U3");
  master().First();
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "U1");
  EXPECT_EQ(link().RecordCount(), 2);
  EXPECT_EQ(Column(link(), "KOD"), (std::vector<std::string>{"a", "b"}));
  master().Next();
  EXPECT_TRUE(link().Eof());  // at once, no rows for U2
  EXPECT_EQ(link().RecordCount(), 0);
  master().Next();
  EXPECT_EQ(Column(link(), "KOD"), (std::vector<std::string>{"c"}));
  master().Next();
  EXPECT_TRUE(master().Eof());
  EXPECT_EQ(master().RecordCount(), 3);
  // Closing the master lifts the range.
  master().Close();
  EXPECT_EQ(link().RecordCount(), 3);
  link().Close();
  for (auto f : {"Base8491.db", "Link8491.db"}) {
    auto p = PxTable::Open(Fs(), dir_ / f, PxTable::Mode::kRead);
    EXPECT_TRUE(p->Check().empty()) << f;
  }
}

TEST_F(CatalogueSet, FilterAppliesToVisitsAndCounts) {
  AddMaster(master(), "A1", "x", "04");
  AddMaster(master(), "A2", "y", "05");
  AddMaster(master(), "U3", "z", "04");
  master().SetFilter("YEAR = '04'");
  master().SetFiltered(true);
  EXPECT_EQ(master().RecordCount(), 2);
  EXPECT_EQ(Column(master(), "NOBOSN"), (std::vector<std::string>{"A1", "U3"}));
  master().SetFilter("NOBOSN = 'A*' AND NOT (YEAR = '05')");
  EXPECT_EQ(Column(master(), "NOBOSN"), (std::vector<std::string>{"A1"}));
  master().SetFiltered(false);
  EXPECT_EQ(master().RecordCount(), 3);
  master().SetFilter("YEAR = ");
  EXPECT_THROW(master().SetFiltered(true), EDBEngineError);
  EXPECT_FALSE(master().Filtered());
}

TEST_F(CatalogueSet, LocateIsCaseInsensitiveAndWholeValue) {
  AddMaster(master(), "U1", "Е1-1");
  AddMaster(master(), "u2", "е1-2");
  AddMaster(master(), "U3", "Е1-3");
  EXPECT_TRUE(master().Locate("NOBOSN", Variant::String("U2")));
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "u2");
  EXPECT_TRUE(master().Locate("OBOSN", Variant::String("е1-3")));  // Cyrillic letter case
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "U3");
  EXPECT_FALSE(master().Locate("OBOSN", Variant::String("Е1")));  // no partial match
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "U3");     // cursor unchanged
  // Kept up to date after appends and deletes.
  AddMaster(master(), "U4", "new");
  EXPECT_TRUE(master().Locate("OBOSN", Variant::String("NEW")));
  master().Delete();
  EXPECT_FALSE(master().Locate("OBOSN", Variant::String("new")));
  // Only visible records are found.
  master().SetFilter("NOBOSN <> 'U1'");
  master().SetFiltered(true);
  EXPECT_FALSE(master().Locate("NOBOSN", Variant::String("u1")));
  EXPECT_THROW(master().Locate("NOPE", Variant::String("x")), EDBEngineError);
}

TEST_F(CatalogueSet, DeleteMovesToFollowingOrNewLastRecord) {
  for (auto n : {"A", "B", "C", "D"}) AddMaster(master(), n, n);
  ASSERT_TRUE(master().Locate("NOBOSN", Variant::String("B")));
  master().Delete();
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "C");
  ASSERT_TRUE(master().Locate("NOBOSN", Variant::String("D")));
  master().Delete();
  EXPECT_FALSE(master().Eof());
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "C");
  master().Delete();
  master().Delete();
  EXPECT_TRUE(master().Eof());
  EXPECT_EQ(master().RecordCount(), 0);
  EXPECT_THROW(master().Delete(), EDBEngineError);
}

TEST_F(CatalogueSet, FieldsByNameAndOrdinal) {
  AddMaster(master(), "U1", "o");
  EXPECT_EQ(master().FieldCount(), 7);
  EXPECT_EQ(master().Fields(1).FieldName(), "OBOSN");
  EXPECT_EQ(master().FindField("obosn"), &master().Fields(1));
  EXPECT_EQ(master().FindField("UKOD"), nullptr);
  try {
    master().FieldByName("UKOD");
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.kind(), K::kNoField);
    EXPECT_NE(std::string(e.what()).find("UKOD"), std::string::npos);
  }
  EXPECT_THROW(master().Fields(7), EDBEngineError);
  // Field values can be written only while appending.
  EXPECT_THROW(master().FieldByName("OBOSN").SetAsString("x"), EDBEngineError);
}

TEST_F(CatalogueSet, ValueConversionsAndNull) {
  master().Append();
  master().FieldByName("NOBOSN").SetAsInteger(15);
  master().FieldByName("ID").SetAsString("42");
  master().FieldByName("TRUD").SetAsVariant(Variant::String("1,5"));
  master().FieldByName("DT").SetAsString("31.12.2004");
  master().FieldByName("NAIMR").SetAsString("Смета №1");
  master().FieldByName("OBOSN").SetAsString("to be cleared");
  master().FieldByName("OBOSN").SetAsVariant(Variant::Null());
  EXPECT_THROW(master().FieldByName("ID").SetAsString("abc"), EDBEngineError);
  EXPECT_THROW(master().FieldByName("DT").SetAsString("32.01.2004"), EDBEngineError);
  EXPECT_THROW(master().FieldByName("NAIMR").SetAsString("日本"), EDBEngineError);  // not in 1251
  master().Post();
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "15");
  EXPECT_EQ(master().FieldByName("ID").AsInteger(), 42);
  EXPECT_EQ(master().FieldByName("ID").AsVariant(), Variant::Int(42));
  EXPECT_DOUBLE_EQ(master().FieldByName("TRUD").AsFloat(), 1.5);
  EXPECT_EQ(master().FieldByName("DT").AsString(), "31.12.2004");
  EXPECT_EQ(master().FieldByName("NAIMR").AsString(), "Смета №1");
  EXPECT_TRUE(master().FieldByName("OBOSN").IsNull());
  EXPECT_TRUE(master().FieldByName("YEAR").AsVariant().IsNull());
  // Variants carry values across tables, with conversion to the target type.
  link().Append();
  link().FieldByName("KOD").SetAsVariant(master().FieldByName("TRUD").AsVariant());
  link().FieldByName("Q0").SetAsVariant(master().FieldByName("ID").AsVariant());
  link().Post();
  EXPECT_EQ(link().FieldByName("KOD").AsString(), "1.5");
  EXPECT_EQ(link().FieldByName("Q0").AsInteger(), 42);
}

TEST_F(CatalogueSet, KeyViolationOnPost) {
  AddMaster(master(), "U1", "a");
  master().Append();
  master().FieldByName("NOBOSN").SetAsString("U1");
  try {
    master().Post();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.kind(), K::kKeyViolation);
  }
  master().Cancel();
  EXPECT_EQ(master().RecordCount(), 1);
}

TEST_F(CatalogueSet, ManyRecordsInRandomOrderStayValid) {
  std::vector<int> keys(3000);
  for (int i = 0; i < 3000; ++i) keys[i] = i;
  std::shuffle(keys.begin(), keys.end(), std::mt19937(3));
  for (int k : keys) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "K%05d", k);
    AddMaster(master(), buf, std::string("obosn ") + buf);
    if (k % 3 == 0) AddDetail(link(), buf);
  }
  // Delete a slice to free blocks.
  for (int k = 100; k < 400; ++k) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "K%05d", k);
    ASSERT_TRUE(master().Locate("NOBOSN", Variant::String(buf)));
    master().Delete();
  }
  EXPECT_EQ(master().RecordCount(), 2700);
  master().First();
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "K00000");
  master().Close();
  link().Close();
  for (auto f : {"Base8491.db", "Link8491.db"}) {
    auto p = PxTable::Open(Fs(), dir_ / f, PxTable::Mode::kRead);
    auto problems = p->Check();
    EXPECT_TRUE(problems.empty()) << f << ": " << (problems.empty() ? "" : problems[0]);
  }
  auto p = PxTable::Open(Fs(), dir_ / "Base8491.db", PxTable::Mode::kRead);
  auto ids = p->RecordsInOrder();
  ASSERT_EQ(ids.size(), 2700u);
  for (size_t i = 1; i < ids.size(); ++i)
    ASSERT_LT(p->GetText(p->rec(ids[i - 1]), 0), p->GetText(p->rec(ids[i]), 0));
}

// The save of user records as the installer performs it, on two table sets.
TEST(Transfer, CopiesNewMastersWithTheirDetails) {
  TempDir dir;
  MakeSet(dir, "");
  MakeSet(dir, "U_", 1);  // details with fewer fields than the product's
  TableCatalogue cat(Fs());
  for (auto c : {"Tb_Base8491", "Tb_link8491", "Tb_link_mex", "Tb_w_list"})
    cat.BindPath(c, dir.str());
  for (auto c : {"Table1", "Table2", "Table3", "Table4"}) cat.BindPath(c, dir.str());
  TTable* src[] = {&cat.Tb_Base8491, &cat.Tb_link8491, &cat.Tb_link_mex, &cat.Tb_w_list};
  TTable* dst[] = {&cat.Table1, &cat.Table2, &cat.Table3, &cat.Table4};
  for (TTable* t : src) t->Open();
  for (TTable* t : dst) t->Open();
  AddMaster(*src[0], "U1", "O1", "04");
  AddDetail(*src[1], "d1");
  AddMaster(*src[0], "P2", "O2", "99");
  AddMaster(*src[0], "U3", "O3", "04");
  AddMaster(*dst[0], "u3", "X");  // already saved
  src[0]->SetFilter("YEAR = '04'");
  src[0]->SetFiltered(true);
  EXPECT_EQ(src[0]->RecordCount(), 2);
  for (src[0]->First(); !src[0]->Eof(); src[0]->Next()) {
    if (dst[0]->Locate("NOBOSN", Variant::String(src[0]->FieldByName("NOBOSN").AsString())))
      continue;
    dst[0]->Append();
    for (auto f : {"OBOSN", "NOBOSN", "YEAR"})
      dst[0]->FieldByName(f).SetAsVariant(src[0]->FieldByName(f).AsVariant());
    dst[0]->Post();
    for (int k = 1; k < 4; ++k) {
      while (!src[k]->Eof()) {
        dst[k]->Append();
        for (int i = 1; i < src[k]->FieldCount(); ++i) {
          if (i >= dst[k]->FieldCount()) {
            // The shorter user table makes the copy fail on its first row.
            EXPECT_THROW(dst[k]->Fields(i), EDBEngineError);
            break;
          }
          dst[k]->Fields(i).SetAsVariant(src[k]->Fields(i).AsVariant());
        }
        dst[k]->Post();
        src[k]->Next();
      }
    }
  }
  dst[0]->First();
  EXPECT_EQ(dst[0]->RecordCount(), 2);
  ASSERT_TRUE(dst[0]->Locate("NOBOSN", Variant::String("U1")));
  EXPECT_EQ(dst[1]->RecordCount(), 1);
  EXPECT_EQ(dst[1]->FieldByName("KOD").AsString(), "d1");
  EXPECT_EQ(dst[1]->FieldByName("NOBOSN").AsString(), "U1");
  cat.CloseAll();
}

TEST(Classifier, SetAsidePruneAndUsersGroup) {
  TempDir dir;
  TableSpec spr;
  spr.fields = {{"Kod", FieldType::kAlpha, 10},
                {"NAME", FieldType::kAlpha, 80},
                {"YEAR", FieldType::kAlpha, 4},
                {"Group_kod", FieldType::kLong, 0}};
  spr.key_fields = 1;
  spr.indexes = {{"kl_spr_kod", {"Kod"}}};
  // Created in upper case: the installer's mixed-case names must still find it.
  PxTable::Create(Fs(), dir / "KL_SPR.DB", spr);
  TableSpec grp;
  grp.fields = {{"Group_kod", FieldType::kLong, 0}, {"Name", FieldType::kAlpha, 60}};
  grp.key_fields = 1;
  grp.indexes = {{"kl_group_1", {"Group_kod"}}};
  PxTable::Create(Fs(), dir / "Kl_Group.db", grp);
  TableCatalogue cat(Fs());
  cat.BindPath("Tb_Kl_Spr", dir.str());
  TTable& t = cat.Tb_Kl_Spr;
  t.Open();
  const char* years[] = {"04", "4", "04 ", "", "04", "05"};
  for (int i = 0; i < 6; ++i) {
    t.Append();
    t.FieldByName("Kod").SetAsString("K" + std::to_string(i));
    t.FieldByName("NAME").SetAsString("Сборник " + std::to_string(i));
    t.FieldByName("YEAR").SetAsString(years[i]);
    t.FieldByName("Group_kod").SetAsInteger(i);
    t.Post();
  }
  t.First();
  while (!t.Eof()) {
    if (t.FieldByName("YEAR").AsString() != "04")
      t.Delete();
    else
      t.Next();
  }
  t.Close();
  t.Open();
  EXPECT_EQ(Column(t, "Kod"), (std::vector<std::string>{"K0", "K4"}));
  t.Close();
  cat.BindPath("Tb_Kl_Group", dir.str());
  TTable& g = cat.Tb_Kl_Group;
  g.Open();
  g.Append();
  g.FieldByName("Group_kod").SetAsInteger(1000);
  g.FieldByName("Name").SetAsString("Сборники пользователя");
  g.Post();
  EXPECT_TRUE(g.Locate("Name", Variant::String("СБОРНИКИ ПОЛЬЗОВАТЕЛЯ")));
  g.Close();
  auto p = PxTable::Open(Fs(), dir / "kl_spr.db", PxTable::Mode::kRead);
  EXPECT_TRUE(p->Check().empty());
}

TEST(Catalogue, ComponentsAreWiredAsListed) {
  TableCatalogue cat(Fs());
  EXPECT_EQ(CatalogueEntries().size(), 11u);
  EXPECT_EQ(cat.Tb_link_mex.IndexName(), "link_mex_1");
  EXPECT_EQ(cat.Tb_link_mex.MasterSource(), &cat.Ds_Base8491);
  EXPECT_EQ(cat.Tb_link_mex.MasterFields(), "NOBOSN");
  EXPECT_EQ(cat.Table4.MasterSource(), &cat.DataSource1);
  EXPECT_EQ(cat.DataSource1.DataSet(), &cat.Table1);
  EXPECT_EQ(cat.Tb_Kl_Group.IndexName(), "kl_group_1");
  EXPECT_EQ(cat._Tb_Kl_spr.MasterSource(), nullptr);
  cat.BindPath("Table3", "C:\\Upd\\");
  EXPECT_EQ(cat.Table3.TableName(), "C:\\Upd\\U_Link_mex.DB");
  // A closed table keeps its properties and closing again is harmless.
  cat.Table3.Close();
  EXPECT_EQ(cat.Table3.IndexName(), "link_mex_1");
  TempDir dir;
  cat.BindPath("Tb_Base8491", dir.str());
  try {
    cat.Tb_Base8491.Open();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.kind(), K::kMissingFile);
  }
}

TEST(Collation, CyrillicKeysSortWithoutRegardToCase) {
  TempDir dir;
  TableSpec s;
  s.fields = {{"K", FieldType::kAlpha, 10}};
  s.key_fields = 1;
  s.code_page = 1251;
  PxTable::Create(Fs(), dir / "c.db", s);
  TTable t(Fs(), "t");
  t.SetTableName(dir / "c.db");
  t.Open();
  for (auto k : {"Ж", "б", "Ё", "е", "А", "Б", "z", "A"}) {
    t.Append();
    t.FieldByName("K").SetAsString(k);
    t.Post();
  }
  EXPECT_EQ(Column(t, "K"), (std::vector<std::string>{"A", "z", "А", "Б", "б", "е", "Ё", "Ж"}));
  t.Close();
  auto p = PxTable::Open(Fs(), dir / "c.db", PxTable::Mode::kRead);
  EXPECT_TRUE(p->Check().empty());
}

TEST(Create, EveryFieldTypeRoundTrips) {
  TempDir dir;
  TableSpec s;
  s.fields = {{"A", FieldType::kAlpha, 12},     {"D", FieldType::kDate, 0},
              {"S", FieldType::kShort, 0},      {"I", FieldType::kLong, 0},
              {"M", FieldType::kMoney, 0},      {"N", FieldType::kNumber, 0},
              {"L", FieldType::kLogical, 0},    {"MEMO", FieldType::kMemo, 5},
              {"BLOB", FieldType::kBlob, 0},    {"T", FieldType::kTime, 0},
              {"TS", FieldType::kTimestamp, 0}, {"INC", FieldType::kAutoInc, 0},
              {"BCD", FieldType::kBcd, 2},      {"Y", FieldType::kBytes, 4}};
  s.code_page = 866;
  s.indexes = {{"", {"I"}}, {"both", {"A", "S"}}};
  PxTable::Create(Fs(), dir / "all.db", s);
  TTable t(Fs(), "t");
  t.SetTableName(dir / "all");
  t.Open();
  t.Append();
  t.FieldByName("A").SetAsString("Привет");
  t.FieldByName("D").SetAsString("2004-12-31");
  t.FieldByName("S").SetAsInteger(-5);
  t.FieldByName("I").SetAsInteger(0);
  t.FieldByName("M").SetAsString("12.34");
  t.FieldByName("N").SetAsString("-0.5");
  t.FieldByName("L").SetAsString("False");
  t.FieldByName("MEMO").SetAsString("a memo much longer than its five-byte leader");
  t.FieldByName("BLOB").SetAsVariant(Variant::Bytes(std::string("\0\1\2", 3)));
  t.FieldByName("T").SetAsString("23:59:58");
  t.FieldByName("TS").SetAsString("01.02.2020 01:00:01");
  t.FieldByName("BCD").SetAsString("-123.45");
  t.FieldByName("Y").SetAsVariant(Variant::Bytes("abcd"));
  t.Post();
  t.Append();
  t.Post();  // every field blank, the counter aside
  t.Close();
  t.Open();
  t.First();
  EXPECT_EQ(t.FieldByName("A").AsString(), "Привет");
  EXPECT_EQ(t.FieldByName("D").AsString(), "31.12.2004");
  EXPECT_EQ(t.FieldByName("S").AsInteger(), -5);
  EXPECT_FALSE(t.FieldByName("I").IsNull());  // zero, not blank
  EXPECT_EQ(t.FieldByName("M").AsString(), "12.34");
  EXPECT_EQ(t.FieldByName("N").AsString(), "-0.5");
  EXPECT_EQ(t.FieldByName("L").AsString(), "False");
  EXPECT_EQ(t.FieldByName("MEMO").AsString(), "a memo much longer than its five-byte leader");
  EXPECT_EQ(t.FieldByName("BLOB").AsVariant(), Variant::Bytes(std::string("\0\1\2", 3)));
  EXPECT_EQ(t.FieldByName("T").AsString(), "23:59:58");
  EXPECT_EQ(t.FieldByName("TS").AsString(), "01.02.2020 01:00:01");
  EXPECT_EQ(t.FieldByName("INC").AsInteger(), 1);
  EXPECT_EQ(t.FieldByName("BCD").AsString(), "-123.45");
  EXPECT_EQ(t.FieldByName("Y").AsVariant(), Variant::Bytes("abcd"));
  t.Next();
  EXPECT_EQ(t.FieldByName("INC").AsInteger(), 2);
  for (int i = 0; i < t.FieldCount(); ++i)
    if (t.Fields(i).FieldName() != "INC") {
      EXPECT_TRUE(t.Fields(i).IsNull()) << i;
    }
  EXPECT_EQ(t.Data().indexes().size(), 2u);
  t.Close();
  auto p = PxTable::Open(Fs(), dir / "all.db", PxTable::Mode::kRead);
  auto problems = p->Check();
  EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems[0]);
}

}  // namespace
}  // namespace tarvo::db

namespace tarvo::db {
namespace {

// Sorting compares leading keys first and the fields only where those are equal: two keys that
// differ must order as the full comparison does, for byte order and for the language orders,
// with NULs and bytes left after them.
// The type letters the table tool takes: each type back from its own letter with the header size
// it stores, and the shapes it must refuse.
TEST(FieldTypeLetters, EveryTypeFromItsLetterAndBadShapesRefused) {
  const std::pair<FieldType, int> fixed[] = {
      {FieldType::kDate, 4},  {FieldType::kShort, 2},     {FieldType::kLong, 4},
      {FieldType::kMoney, 8}, {FieldType::kNumber, 8},    {FieldType::kLogical, 1},
      {FieldType::kTime, 4},  {FieldType::kTimestamp, 8}, {FieldType::kAutoInc, 4}};
  for (auto [want, want_size] : fixed) {
    FieldType type = FieldType::kAlpha;
    int size = 0;
    const std::string letter = FieldTypeLetter(want);
    ASSERT_TRUE(ParseFieldTypeSpec(letter, type, size)) << letter;
    EXPECT_EQ(type, want) << letter;
    EXPECT_EQ(size, want_size) << letter;
    EXPECT_FALSE(ParseFieldTypeSpec(letter + "4", type, size)) << letter;
  }
  const std::tuple<std::string, FieldType, int> sized[] = {
      {"A20", FieldType::kAlpha, 20},  {"a255", FieldType::kAlpha, 255},
      {"Y1", FieldType::kBytes, 1},    {"#", FieldType::kBcd, 2},
      {"#0", FieldType::kBcd, 0},      {"M", FieldType::kMemo, 11},
      {"M240", FieldType::kMemo, 250}, {"B0", FieldType::kBlob, 10},
      {"F5", FieldType::kFmtMemo, 15}, {"O1", FieldType::kOle, 11},
      {"G2", FieldType::kGraphic, 12}};
  for (const auto& [shape, want, want_size] : sized) {
    FieldType type = FieldType::kDate;
    int size = 0;
    ASSERT_TRUE(ParseFieldTypeSpec(shape, type, size)) << shape;
    EXPECT_EQ(type, want) << shape;
    EXPECT_EQ(size, want_size) << shape;
    EXPECT_EQ(FieldTypeLetter(type), std::string(1, static_cast<char>(std::toupper(shape[0]))));
  }
  for (const char* bad :
       {"", "A", "A0", "A256", "Y", "Y256", "#33", "#-1", "M0", "G241", "X", "A1x", "I 4"}) {
    FieldType type;
    int size;
    EXPECT_FALSE(ParseFieldTypeSpec(bad, type, size)) << bad;
  }
}

TEST(LeadingKeys, OrderAsTheFullComparisonWhereTheyDiffer) {
  std::mt19937 rng(17);
  const uint8_t alphabet[] = {0,    0,    'a',  'A',  'b',  'B',  '0',  '9',  ' ',  '-',
                              0xC0, 0xE0, 0xC1, 0xE1, 0xA8, 0xB8, 0xFF, 0xDF, 0x98, 0x7F};
  const std::pair<int, const char*> orders[] = {{1251, ""}, {1251, "cyrr"}, {1252, "DBWINUS0"}};
  for (const auto& [code_page, name] : orders) {
    const TextCodec codec(code_page);
    const Collation collation(codec, name);
    for (int round = 0; round < 20000; ++round) {
      uint8_t a[20] = {}, b[20] = {};
      const size_t shared = rng() % 20;
      for (size_t i = 0; i < 20; ++i) {
        a[i] = alphabet[rng() % sizeof alphabet];
        b[i] = i < shared ? a[i] : alphabet[rng() % sizeof alphabet];
      }
      const LeadingKey ka = collation.Key(a, 20), kb = collation.Key(b, 20);
      if (ka == kb) continue;
      const int full = collation.Compare(a, b, 20);
      ASSERT_NE(full, 0) << name;
      EXPECT_EQ(ka < kb, full < 0) << name << " round " << round;
    }
  }
}

}  // namespace
}  // namespace tarvo::db

namespace tarvo::db {
namespace {

using namespace testing;

TableSpec AllTypesSpec(int code_page) {
  TableSpec s;
  s.fields = {{"K", FieldType::kLong, 0},  {"A", FieldType::kAlpha, 12},
              {"S", FieldType::kShort, 0}, {"N", FieldType::kNumber, 0},
              {"D", FieldType::kDate, 0},  {"L", FieldType::kLogical, 0},
              {"M", FieldType::kMemo, 10}, {"B", FieldType::kBlob, 10},
              {"C", FieldType::kBcd, 2},   {"T", FieldType::kTimestamp, 0}};
  s.key_fields = 1;
  s.code_page = code_page;
  return s;
}

std::string Repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

// Copying a row field by field with AssignValue (bytes where the fields store alike) gives what
// SetAsVariant(AsVariant()) gives: the same values, blobs in the record and in the blob file,
// blanks, and text converted where the code pages differ.
TEST(AssignValue, GivesWhatTheVariantRouteGives) {
  TempDir dir;
  for (int target_page : {1251, 866}) {
    const std::string src = dir / "src.db";
    const std::string by_bytes = dir / ("b" + std::to_string(target_page) + ".db");
    const std::string by_variant = dir / ("v" + std::to_string(target_page) + ".db");
    if (target_page == 1251) PxTable::Create(Fs(), src, AllTypesSpec(1251));
    PxTable::Create(Fs(), by_bytes, AllTypesSpec(target_page));
    PxTable::Create(Fs(), by_variant, AllTypesSpec(target_page));
    TTable s(Fs(), "s"), b(Fs(), "b"), v(Fs(), "v");
    s.SetTableName(src);
    b.SetTableName(by_bytes);
    v.SetTableName(by_variant);
    s.Open();
    if (target_page == 1251) {
      for (int k = 1; k <= 3; ++k) {
        s.Append();
        s.FieldByName("K").SetAsInteger(k);
        if (k < 3) {
          s.FieldByName("A").SetAsString(k == 1 ? "Смета" : "x");
          s.FieldByName("S").SetAsInteger(-32767 + k);
          s.FieldByName("N").SetAsString("12.5");
          s.FieldByName("D").SetAsString("09.12.2026");
          s.FieldByName("L").SetAsString(k == 1 ? "T" : "F");
          s.FieldByName("M").SetAsString(k == 1 ? "коротко" : Repeated("Ж", 300));
          s.FieldByName("B").SetAsString(k == 1 ? "bytes" : std::string(200, '\x01'));
          s.FieldByName("C").SetAsString("3.25");
          s.FieldByName("T").SetAsString("09.12.2026 18:05:00");
        }
        s.Post();
      }
    }
    b.Open();
    v.Open();
    for (s.First(); !s.Eof(); s.Next()) {
      b.Append();
      v.Append();
      for (int i = 0; i < s.FieldCount(); ++i) {
        b.Fields(i).AssignValue(s.Fields(i));
        v.Fields(i).SetAsVariant(s.Fields(i).AsVariant());
      }
      b.Post();
      v.Post();
    }
    for (b.First(), v.First(); !v.Eof(); b.Next(), v.Next()) {
      ASSERT_FALSE(b.Eof());
      for (int i = 0; i < v.FieldCount(); ++i)
        EXPECT_EQ(b.Fields(i).AsString(), v.Fields(i).AsString())
            << v.Fields(i).FieldName() << " in code page " << target_page;
    }
    EXPECT_TRUE(b.Eof());
    s.Close();
    b.Close();
    v.Close();
    // Written and read back, the copied blobs are whole.
    b.Open();
    b.First();
    b.Next();
    EXPECT_EQ(b.FieldByName("M").AsString().size(), Repeated("Ж", 300).size());
    EXPECT_TRUE(b.Data().Check().empty());
    b.Close();
  }
}

// Details posted into and deleted from many masters' ranges at random, the view crossing many
// chunks: every master shows exactly its rows, in the order they were added.
TEST_F(CatalogueSet, RangesStayRightThroughRandomPostsAndDeletes) {
  const int masters = 40;
  auto key = [](int m) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "M%03d", m);
    return std::string(buf);
  };
  for (int m = 0; m < masters; ++m) AddMaster(master(), key(m), "o" + key(m));
  std::vector<std::vector<std::string>> model(masters);
  std::mt19937 rng(21);
  int serial = 0;
  for (int step = 0; step < 4000; ++step) {
    const int m = static_cast<int>(rng() % masters);
    ASSERT_TRUE(master().Locate("NOBOSN", Variant::String(key(m))));
    auto& rows = model[m];
    if (rows.empty() || rng() % 4 != 0) {
      const std::string kod = "k" + std::to_string(serial++);
      AddDetail(link(), kod);
      rows.push_back(kod);
      ASSERT_EQ(link().FieldByName("KOD").AsString(), kod);
    } else {
      const size_t at = rng() % rows.size();
      ASSERT_TRUE(link().Locate("KOD", Variant::String(rows[at])));
      link().Delete();
      rows.erase(rows.begin() + static_cast<ptrdiff_t>(at));
      // The cursor is on the row that followed, or on the new last one.
      if (rows.empty()) {
        ASSERT_TRUE(link().Eof());
      } else {
        ASSERT_EQ(link().FieldByName("KOD").AsString(), rows[std::min(at, rows.size() - 1)]);
      }
    }
    ASSERT_EQ(link().RecordCount(), static_cast<int>(rows.size()));
  }
  for (master().First(); !master().Eof(); master().Next()) {
    const int m = std::stoi(master().FieldByName("NOBOSN").AsString().substr(1));
    ASSERT_EQ(Column(link(), "KOD"), model[m]) << key(m);
  }
  // Opened again, the view is built from the file and agrees.
  link().Close();
  link().Open();
  for (master().First(); !master().Eof(); master().Next()) {
    const int m = std::stoi(master().FieldByName("NOBOSN").AsString().substr(1));
    ASSERT_EQ(Column(link(), "KOD"), model[m]) << key(m);
  }
}

TEST_F(CatalogueSet, RowsPostedOutsideTheRangeLeaveItIntact) {
  for (auto n : {"A", "B", "C"}) AddMaster(master(), n, n);
  ASSERT_TRUE(master().Locate("NOBOSN", Variant::String("B")));
  AddDetail(link(), "b1");
  AddDetail(link(), "b2");
  // Rows for the masters before and after B, posted while B's range is shown: each is current
  // until the cursor moves, and moving on goes to the range's rows, never to others.
  auto post_for = [&](const char* nobosn, const char* kod) {
    link().Append();
    link().FieldByName("NOBOSN").SetAsString(nobosn);
    link().FieldByName("KOD").SetAsString(kod);
    link().Post();
    EXPECT_EQ(link().FieldByName("KOD").AsString(), kod);
    EXPECT_EQ(link().RecordCount(), 2);
  };
  post_for("A", "a1");
  link().Next();
  EXPECT_EQ(link().FieldByName("KOD").AsString(), "b1");
  post_for("C", "c1");
  link().Next();
  EXPECT_TRUE(link().Eof());
  post_for("A", "a2");
  EXPECT_EQ(Column(link(), "KOD"), (std::vector<std::string>{"b1", "b2"}));
  AddDetail(link(), "b3");
  // Deleting the range's first and last rows.
  link().First();
  link().Delete();
  EXPECT_EQ(link().FieldByName("KOD").AsString(), "b2");
  ASSERT_TRUE(link().Locate("KOD", Variant::String("b3")));
  link().Delete();
  EXPECT_EQ(link().FieldByName("KOD").AsString(), "b2");
  EXPECT_EQ(Column(link(), "KOD"), (std::vector<std::string>{"b2"}));
  // A row of another master's range cannot be found from this one.
  EXPECT_FALSE(link().Locate("KOD", Variant::String("a1")));
  master().First();
  EXPECT_EQ(Column(link(), "KOD"), (std::vector<std::string>{"a1", "a2"}));
  master().Next();
  master().Next();
  EXPECT_EQ(Column(link(), "KOD"), (std::vector<std::string>{"c1"}));
  link().Delete();
  EXPECT_TRUE(link().Eof());
  EXPECT_EQ(link().RecordCount(), 0);
}

TEST_F(CatalogueSet, FilteredDeletesAndATableEmptiedWhileOpen) {
  for (int i = 0; i < 1500; ++i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "K%04d", i);
    AddMaster(master(), buf, buf, i % 3 == 0 ? "04" : "05");
  }
  master().SetFilter("YEAR = '04'");
  master().SetFiltered(true);
  EXPECT_EQ(master().RecordCount(), 500);
  // Deleting goes to the next visible record, past the hidden ones.
  ASSERT_TRUE(master().Locate("NOBOSN", Variant::String("K0003")));
  master().Delete();
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "K0006");
  ASSERT_TRUE(master().Locate("NOBOSN", Variant::String("K1497")));
  master().Delete();
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "K1494");      // the new last visible
  EXPECT_FALSE(master().Locate("NOBOSN", Variant::String("K0004")));  // hidden
  EXPECT_EQ(master().RecordCount(), 498);
  master().SetFiltered(false);
  EXPECT_EQ(master().RecordCount(), 1498);
  master().EmptyTable();
  EXPECT_TRUE(master().Eof());
  EXPECT_EQ(master().RecordCount(), 0);
  EXPECT_FALSE(master().Locate("NOBOSN", Variant::String("K0006")));
  AddMaster(master(), "Z1", "z");
  AddMaster(master(), "Y1", "y");
  EXPECT_EQ(Column(master(), "NOBOSN"), (std::vector<std::string>{"Y1", "Z1"}));
  EXPECT_TRUE(master().Locate("OBOSN", Variant::String("Z")));
  EXPECT_EQ(master().FieldByName("NOBOSN").AsString(), "Z1");
}

// An unkeyed table: equal rows keep the order they were added in, Locate finds the first of
// them, and reopening gives the same order.
TEST(UnkeyedTable, DuplicatesKeepTheirOrder) {
  TempDir dir;
  TableSpec s;
  s.fields = {{"F", FieldType::kAlpha, 10}, {"SEQ", FieldType::kLong, 0}};
  PxTable::Create(Fs(), dir / "plain.db", s);
  TTable t(Fs());
  t.SetTableName(dir / "plain.db");
  t.Open();
  const int n = 1300;
  for (int i = 0; i < n; ++i) {
    t.Append();
    t.FieldByName("F").SetAsString(i % 5 == 0 ? "y" : "x");
    t.FieldByName("SEQ").SetAsInteger(i);
    t.Post();
  }
  for (int i = 1; i < 400; ++i) {
    if (i % 5 == 0) continue;
    ASSERT_TRUE(t.Locate("F", Variant::String("X")));
    ASSERT_EQ(t.FieldByName("SEQ").AsInteger(), i);
    t.Delete();
    ASSERT_EQ(t.FieldByName("SEQ").AsInteger(), i + 1);  // the following row
  }
  auto check = [&] {
    std::vector<int64_t> seq;
    for (t.First(); !t.Eof(); t.Next()) seq.push_back(t.FieldByName("SEQ").AsInteger());
    std::vector<int64_t> want;
    for (int i = 0; i < n; ++i)
      if (i >= 400 || i % 5 == 0) want.push_back(i);
    EXPECT_EQ(seq, want);
  };
  check();
  t.Close();
  t.Open();
  check();
  ASSERT_TRUE(t.Locate("F", Variant::String("y")));
  EXPECT_EQ(t.FieldByName("SEQ").AsInteger(), 0);
}

}  // namespace
}  // namespace tarvo::db
