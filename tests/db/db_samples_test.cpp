// Tables written by the Paradox engine itself: read back exactly, checked, and written to the way
// the engine writes (counters, stamps, index files).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "db/db_error.h"
#include "db/px_table.h"
#include "db/ttable.h"
#include "tests/db/db_test_util.h"

namespace tarvo::db {
namespace {

using namespace testing;

std::string Sample(const std::string& name) { return (SampleDir() / name).string(); }

// Every record of a table as text, in table order.
std::vector<std::vector<std::string>> Rows(PxTable& t) {
  std::vector<std::vector<std::string>> rows;
  for (RecId id : t.RecordsInOrder()) {
    std::vector<std::string> r;
    for (size_t f = 0; f < t.fields().size(); ++f)
      r.push_back(t.GetText(t.rec(id), static_cast<int>(f)));
    rows.push_back(r);
  }
  return rows;
}

TEST(Samples, EveryFamilyReadsAndChecks) {
  struct Case {
    const char* file;
    size_t records;
    bool missing_px;
  } cases[] = {
      {"db_AREACODES.DB", 370, false}, {"db_CUSTOMER.DB", 20, false},
      {"joins_fk4.db", 2, false},      {"joins_fk1.db", 0, false},
      {"joins_case.db", 1, false},     {"joins_indexed.db", 0, false},
      {"fields_bcd.db", 3, false},     {"fields_bytes.db", 1, false},
      {"fields_date35.db", 3, false},  {"fields_date4.db", 3, false},
      {"fields_date5.db", 3, false},   {"fields_date7.db", 5, false},
      {"fields_fmemo.db", 2, false},   {"fields_logical.db", 4, false},
      {"fields_long.db", 3, false},    {"fields_memo.db", 2, false},
      {"fields_time.db", 3, false},    {"fields_timestamp.db", 2, false},
      {"empty.db", 0, false},          {"of_cp866_head.db", 21, false},
      {"TypSammlung.DB", 5, true},     {"country.db", 18, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto t = PxTable::Open(Fs(), Sample(c.file), PxTable::Mode::kRead);
    EXPECT_EQ(t->size(), c.records);
    for (RecId id : t->RecordsInOrder())
      for (size_t f = 0; f < t->fields().size(); ++f) t->GetValue(t->rec(id), static_cast<int>(f));
    auto problems = t->Check();
    if (c.missing_px) {
      ASSERT_EQ(problems.size(), 1u);
      EXPECT_NE(problems[0].find("primary index (.PX) is missing"), std::string::npos);
    } else {
      EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems[0]);
    }
    t->Close();
  }
}

TEST(Samples, KeyedTableWithCompositeIndex) {
  auto t = PxTable::Open(Fs(), Sample("db_AREACODES.DB"), PxTable::Mode::kRead);
  EXPECT_EQ(t->version_id(), 12);
  EXPECT_EQ(t->code_page(), 1252);
  EXPECT_EQ(t->block_size(), 16384);
  EXPECT_EQ(t->key_fields(), 1);
  ASSERT_EQ(t->indexes().size(), 1u);
  EXPECT_TRUE(t->indexes()[0].composite);
  EXPECT_EQ(t->indexes()[0].fields, std::vector<int>{1});
  auto rows = Rows(*t);
  ASSERT_EQ(rows.size(), 370u);
  EXPECT_EQ(rows[0],
            (std::vector<std::string>{"201", "NJ", "Hackensack, Jersey City (201/551 overlay)"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"202", "DC", "Washington D.C."}));
  // Keys ascend through the four blocks.
  EXPECT_TRUE(
      std::is_sorted(rows.begin(), rows.end(), [](auto& a, auto& b) { return a[0] < b[0]; }));
}

TEST(Samples, AutoincrementMemoAndSingleFieldIndex) {
  auto t = PxTable::Open(Fs(), Sample("db_CUSTOMER.DB"), PxTable::Mode::kRead);
  auto rows = Rows(*t);
  ASSERT_EQ(rows.size(), 20u);
  EXPECT_EQ(rows[0][0], "1");
  EXPECT_EQ(rows[0][1], "Luke");
  EXPECT_EQ(rows[0][5], "Santa Cruz");
  EXPECT_EQ(rows[0][8], "Small comment (less 100 symbols)");
  EXPECT_EQ(rows[0][9], "02.02.1996");
  // A memo longer than its 100-byte leader comes from the blob file.
  EXPECT_GT(rows[1][8].size(), 100u);
  EXPECT_NE(rows[1][8].find("The length of the leader may be zero"), std::string::npos);
  ASSERT_EQ(t->indexes().size(), 1u);
  EXPECT_FALSE(t->indexes()[0].composite);
  EXPECT_EQ(t->indexes()[0].name, "City");
}

TEST(Samples, FieldTypesAndBlanks) {
  {
    auto t = PxTable::Open(Fs(), Sample("fields_long.db"), PxTable::Mode::kRead);
    auto ids = t->RecordsInOrder();
    EXPECT_EQ(t->GetValue(t->rec(ids[0]), 1), Variant::Int(1));
    EXPECT_TRUE(t->GetValue(t->rec(ids[2]), 1).IsNull());  // blank, not zero
  }
  {
    auto t = PxTable::Open(Fs(), Sample("fields_logical.db"), PxTable::Mode::kRead);
    auto rows = Rows(*t);
    EXPECT_EQ(rows,
              (std::vector<std::vector<std::string>>{{"True"}, {"False"}, {"True"}, {"True"}}));
  }
  {
    auto t = PxTable::Open(Fs(), Sample("fields_bcd.db"), PxTable::Mode::kRead);
    auto rows = Rows(*t);
    EXPECT_EQ(rows[0][0], "1.23");
    EXPECT_EQ(rows[0][1], "1");
    EXPECT_EQ(rows[1][0], "-1.23");
    EXPECT_EQ(rows[1][1], "-1");
    EXPECT_EQ(rows[2][0], "0");  // zero
    EXPECT_EQ(rows[2][1], "");   // blank
    EXPECT_EQ(rows[0][2].substr(0, 8), "0.122999");
  }
  for (const char* f :
       {"fields_date35.db", "fields_date4.db", "fields_date5.db", "fields_date7.db"}) {
    SCOPED_TRACE(f);
    auto t = PxTable::Open(Fs(), Sample(f), PxTable::Mode::kRead);
    auto ids = t->RecordsInOrder();
    EXPECT_EQ(t->GetValue(t->rec(ids[0]), 0), Variant::Date(736695));
    EXPECT_EQ(t->GetText(t->rec(ids[1]), 0), "01.02.2018");
  }
  {
    auto t = PxTable::Open(Fs(), Sample("fields_date7.db"), PxTable::Mode::kRead);
    auto rows = Rows(*t);
    EXPECT_EQ(rows[2], (std::vector<std::string>{"02.01.2018", "09:25:25"}));
    EXPECT_EQ(rows[3], (std::vector<std::string>{"", "10:00:00"}));
    EXPECT_EQ(rows[4], (std::vector<std::string>{"01.01.2018", ""}));
  }
  {
    auto t = PxTable::Open(Fs(), Sample("fields_timestamp.db"), PxTable::Mode::kRead);
    auto ids = t->RecordsInOrder();
    EXPECT_TRUE(t->GetValue(t->rec(ids[0]), 0).IsNull());
    EXPECT_EQ(t->GetValue(t->rec(ids[1]), 0), Variant::DateTime(63716202001000.0));
    EXPECT_EQ(t->GetText(t->rec(ids[1]), 0), "01.02.2020 01:00:01");
  }
  {
    auto t = PxTable::Open(Fs(), Sample("fields_time.db"), PxTable::Mode::kRead);
    auto ids = t->RecordsInOrder();
    EXPECT_EQ(t->GetValue(t->rec(ids[0]), 0), Variant::Time(3601000));
    EXPECT_TRUE(t->GetValue(t->rec(ids[1]), 0).IsNull());
  }
  {
    auto t = PxTable::Open(Fs(), Sample("fields_bytes.db"), PxTable::Mode::kRead);
    Variant v = t->GetValue(t->rec(t->RecordsInOrder()[0]), 0);
    ASSERT_EQ(v.type(), Variant::Type::kBytes);
    EXPECT_EQ(v.AsStringRef().size(), 255u);
    EXPECT_EQ(v.AsStringRef().substr(0, 5), std::string("1\0002\0003", 5));
  }
  {
    // A memo in a sub-allocated blob block and one held in its leader.
    auto t = PxTable::Open(Fs(), Sample("fields_memo.db"), PxTable::Mode::kRead);
    auto rows = Rows(*t);
    EXPECT_EQ(rows[0][1].size(), 555u);
    EXPECT_EQ(rows[0][1].substr(0, 12), "012345678900");
    EXPECT_EQ(rows[1][1], "01234567890\n");
  }
  {
    auto t = PxTable::Open(Fs(), Sample("fields_fmemo.db"), PxTable::Mode::kRead);
    Variant v = t->GetValue(t->rec(t->RecordsInOrder()[1]), 1);
    ASSERT_EQ(v.type(), Variant::Type::kBytes);
    EXPECT_NE(v.AsStringRef().find("0123456789"), std::string::npos);
  }
}

TEST(Samples, EveryTypeInOneTable) {
  auto t = PxTable::Open(Fs(), Sample("TypSammlung.DB"), PxTable::Mode::kRead);
  auto rows = Rows(*t);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0][0], "AAA Irgendein Text");
  EXPECT_EQ(rows[2][0], "Fünfter Datensatz");
  EXPECT_EQ(rows[2][9], "Dies ist eine Memo im 'Fünften Datensat'");
  EXPECT_EQ(rows[4][1], "-40");
  EXPECT_EQ(rows[4][5], "-40");
  EXPECT_EQ(rows[4][10], "True");
  EXPECT_EQ(rows[4][8], "10.06.2003 11:11:11");
  // "Null-Werte" holds zeros, which are not blanks.
  EXPECT_EQ(rows[3][1], "0");
  EXPECT_EQ(rows[3][3], "0");
  EXPECT_EQ(rows[3][6], "");
  EXPECT_EQ(t->fields()[2].name, "Währung");
}

TEST(Samples, Cp866TextAndFieldNames) {
  auto t = PxTable::Open(Fs(), Sample("of_cp866_head.db"), PxTable::Mode::kRead);
  EXPECT_EQ(t->code_page(), 866);
  EXPECT_EQ(t->sort_order(), "cyrr");
  EXPECT_EQ(t->fields()[0].name, "Инвентарный номер");
  EXPECT_EQ(t->fields()[3].name, "Наименование");
  auto rows = Rows(*t);
  ASSERT_EQ(rows.size(), 21u);
  EXPECT_EQ(rows[0][0], "001370009");
  EXPECT_EQ(rows[0][3], "АП-Т УЗТ-ПЕРЕНОСНОЙ");
  EXPECT_EQ(rows[0][4], "01.01.1972");
  EXPECT_EQ(rows[0][7], "Получено 29.09.2000 от 170 МОЛ");
  EXPECT_EQ(rows[1][3], "ОТСАСЫВАТЕЛЬ ХИР-ИЙ ОХ-10");
}

// The families written to in the round-trip tests, and a record each can take.
struct Family {
  const char* stem;
  const char* db;
};
const Family kFamilies[] = {{"db_AREACODES", "db_AREACODES.DB"},
                            {"db_CUSTOMER", "db_CUSTOMER.DB"},
                            {"joins_fk4", "joins_fk4.db"},
                            {"joins_fk1", "joins_fk1.db"},
                            {"fields_memo", "fields_memo.db"}};

TEST(Samples, OpenAndCloseLeavesFamilyByteForByte) {
  for (const Family& f : kFamilies) {
    SCOPED_TRACE(f.stem);
    TempDir dir;
    CopyFamily(f.stem, dir);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> before;
    for (auto& e : fs::directory_iterator(dir.path()))
      before.push_back({e.path().string(), Bytes(e.path())});
    TTable t(Fs(), "t");
    t.SetTableName(dir / f.db);
    t.Open();
    for (t.First(); !t.Eof(); t.Next())
      for (int i = 0; i < t.FieldCount(); ++i) t.Fields(i).AsString();
    t.Close();
    for (auto& [p, b] : before) EXPECT_EQ(Bytes(p), b) << p;
  }
}

TEST(Samples, WritesKeepFamilyValidAndMoveStamps) {
  TempDir dir;
  CopyFamily("db_AREACODES", dir);
  auto db0 = Bytes(dir / "db_AREACODES.DB");
  auto xg0 = Bytes(dir / "db_AREACODES.XG0");
  std::vector<std::vector<std::string>> before;
  {
    auto t = PxTable::Open(Fs(), dir / "db_AREACODES.DB", PxTable::Mode::kRead);
    before = Rows(*t);
  }
  {
    TTable t(Fs(), "t");
    t.SetTableName(dir / "db_AREACODES.DB");
    t.Open();
    t.Append();
    t.FieldByName("AC").SetAsString("000");
    t.FieldByName("State").SetAsString("ZZ");
    t.Post();
    t.Append();
    t.FieldByName("AC").SetAsString("555");
    t.FieldByName("State").SetAsString("AA");
    t.FieldByName("Cities").SetAsString("Nowhere");
    t.Post();
    ASSERT_TRUE(t.Locate("AC", Variant::String("202")));
    t.Delete();
    EXPECT_EQ(t.FieldByName("AC").AsString(), "203");  // the record that followed
    t.Close();
  }
  auto t = PxTable::Open(Fs(), dir / "db_AREACODES.DB", PxTable::Mode::kRead);
  auto problems = t->Check();
  EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems[0]);
  auto after = Rows(*t);
  ASSERT_EQ(after.size(), 371u);
  EXPECT_EQ(after[0][0], "000");
  // Records not touched read as before.
  std::vector<std::vector<std::string>> expect;
  for (auto& r : before)
    if (r[0] != "202") expect.push_back(r);
  std::vector<std::vector<std::string>> kept;
  for (auto& r : after)
    if (r[0] != "000" && r[0] != "555") kept.push_back(r);
  EXPECT_EQ(kept, expect);
  t->Close();
  // Counters and stamps: the table's change count moves on, the indexes copy it.
  auto db1 = Bytes(dir / "db_AREACODES.DB");
  auto px1 = Bytes(dir / "db_AREACODES.PX");
  auto xg1 = Bytes(dir / "db_AREACODES.XG0");
  auto yg1 = Bytes(dir / "db_AREACODES.YG0");
  EXPECT_EQ(Le32(db1, 6), 371u);
  EXPECT_EQ(db1[0x2D], static_cast<uint8_t>(db0[0x2D] + 1));
  EXPECT_EQ(db1[0x2E], db0[0x2E]);
  EXPECT_EQ(px1[0x2C], db1[0x2D]);
  EXPECT_EQ(xg1[0x2F], px1[0x2C]);
  EXPECT_EQ(xg1[0x2D], static_cast<uint8_t>(xg0[0x2D] + 1));
  EXPECT_EQ(yg1[0x2C], xg1[0x2D]);
  EXPECT_EQ(Le32(xg1, 6), 371u);
  // The header beyond the counters is the engine's own.
  EXPECT_TRUE(std::equal(db0.begin() + 0x78, db0.begin() + 0x800, db1.begin() + 0x78));
}

TEST(Samples, FullBlocksSplitInKeyOrder) {
  TempDir dir;
  CopyFamily("db_CUSTOMER", dir);
  TTable t(Fs(), "t");
  t.SetTableName(dir / "db_CUSTOMER.DB");
  t.Open();
  // Blocks of 2 KiB hold five of these records: appending forty splits or extends many times.
  for (int i = 0; i < 40; ++i) {
    t.Append();
    t.FieldByName("FirstName").SetAsString("N" + std::to_string(i));
    t.FieldByName("City").SetAsString(i % 2 ? "Aptos" : "Zurich");
    t.FieldByName("Comments").SetAsString(std::string(150 + i, 'x'));
    t.Post();
    EXPECT_EQ(t.FieldByName("CustNo").AsInteger(), 45 + i);  // after the header's counter
  }
  t.Close();
  auto p = PxTable::Open(Fs(), dir / "db_CUSTOMER.DB", PxTable::Mode::kRead);
  auto problems = p->Check();
  EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems[0]);
  auto rows = Rows(*p);
  ASSERT_EQ(rows.size(), 60u);
  EXPECT_EQ(rows.back()[8], std::string(189, 'x'));
  auto h = Bytes(dir / "db_CUSTOMER.DB");
  EXPECT_EQ(Le32(h, 0x49), 84u);  // the autoincrement counter
}

TEST(Samples, DeletingEverythingAndEmptying) {
  TempDir dir;
  CopyFamily("joins_fk4", dir);
  {
    TTable t(Fs(), "t");
    t.SetTableName(dir / "joins_fk4.db");
    t.Open();
    t.First();
    t.Delete();
    EXPECT_FALSE(t.Eof());
    t.Delete();
    EXPECT_TRUE(t.Eof());
    EXPECT_EQ(t.RecordCount(), 0);
    t.Close();
  }
  auto p = PxTable::Open(Fs(), dir / "joins_fk4.db", PxTable::Mode::kRead);
  EXPECT_TRUE(p->Check().empty());
  p->Close();
  TempDir dir2;
  CopyFamily("db_AREACODES", dir2);
  TTable t(Fs(), "t");
  t.SetTableName(dir2 / "db_AREACODES.DB");
  t.EmptyTable();
  t.Open();
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_EQ(t.FieldCount(), 3);
  EXPECT_EQ(t.Data().indexes().size(), 1u);
  t.Close();
  auto q = PxTable::Open(Fs(), dir2 / "db_AREACODES.DB", PxTable::Mode::kRead);
  EXPECT_TRUE(q->Check().empty());
  EXPECT_EQ(Bytes(dir2 / "db_AREACODES.DB").size(), 0x800u);
}

TEST(Samples, KeyedTableWithoutPrimaryIndexGetsOneWhenWritten) {
  TempDir dir;
  CopyFamily("country", dir);
  TTable t(Fs(), "t");
  t.SetTableName(dir / "country.db");
  t.Open();
  t.Append();
  t.FieldByName("Name").SetAsString("Atlantis");
  t.FieldByName("Area").SetAsString("12.5");
  t.Post();
  t.Close();
  auto p = PxTable::Open(Fs(), dir / "country.db", PxTable::Mode::kRead);
  EXPECT_TRUE(p->Check().empty());
  EXPECT_EQ(p->size(), 19u);
}

TEST(Samples, DamagedFilesRaiseNeverCrash) {
  auto good = Bytes(SampleDir() / "db_AREACODES.DB");
  std::mt19937 rng(7);
  int raised = 0;
  for (int round = 0; round < 300; ++round) {
    auto b = good;
    if (round % 3 == 0) {
      b.resize(rng() % b.size());
    } else {
      for (int k = 0; k < 8; ++k)
        b[rng() % (round % 2 ? 0x800 : b.size())] = static_cast<uint8_t>(rng());
    }
    try {
      auto t = PxTable::FromBytes(b);
      for (RecId id : t->RecordsInOrder())
        for (size_t f = 0; f < t->fields().size(); ++f) t->GetText(t->rec(id), static_cast<int>(f));
    } catch (const EDBEngineError&) {
      ++raised;
    }
  }
  EXPECT_GT(raised, 0);
  auto truncated = good;
  truncated.resize(0x800 + 100);
  EXPECT_THROW(PxTable::FromBytes(truncated), EDBEngineError);
}

TEST(Samples, MissingAndBusyTables) {
  TempDir dir;
  try {
    PxTable::Open(Fs(), dir / "nothere.db", PxTable::Mode::kRead);
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.kind(), EDBEngineError::Kind::kMissingFile);
  }
  CopyFamily("joins_fk4", dir);
  auto holder = Fs().Open(dir / "joins_fk4.db", platform::Access::kReadWrite,
                          platform::Share::kDenyWrite, platform::Disposition::kOpenExisting);
  try {
    auto t = PxTable::Open(Fs(), dir / "joins_fk4.db", PxTable::Mode::kReadWrite);
    // Platforms without share modes let the second opener in; the table then reads normally.
    EXPECT_EQ(t->size(), 2u);
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.kind(), EDBEngineError::Kind::kInUse) << e.what();
  }
  holder->Close();
}

// The engine's own order of Cyrillic keys (lekarstva.DB, code page 866, sort order cyrr): our
// collation keeps it, in 866 and, for the same words, in 1251; rows inserted in any order land
// where the engine put them.
TEST(Collation, EngineOrderOfCyrillicKeys) {
  auto engine = PxTable::Open(Fs(), Sample("lekarstva.DB"), PxTable::Mode::kRead);
  ASSERT_EQ(engine->size(), 605u);
  EXPECT_EQ(engine->sort_order(), "cyrr");
  EXPECT_TRUE(engine->Check().empty());
  std::vector<std::string> keys;
  for (RecId id : engine->RecordsInOrder()) keys.push_back(engine->GetText(engine->rec(id), 0));
  auto ids = engine->RecordsInOrder();
  for (size_t i = 1; i < ids.size(); ++i)
    EXPECT_LT(engine->ComparePrimary(engine->rec(ids[i - 1]), engine->rec(ids[i])), 0) << keys[i];
  TextCodec cp1251(1251);
  Collation ancyrr(cp1251, "ANCYRR");
  for (size_t i = 1; i < keys.size(); ++i) {
    std::string a = cp1251.FromUtf8(keys[i - 1]), b = cp1251.FromUtf8(keys[i]);
    a.resize(35, '\0');
    b.resize(35, '\0');
    EXPECT_LT(ancyrr.Compare(reinterpret_cast<const uint8_t*>(a.data()),
                             reinterpret_cast<const uint8_t*>(b.data()), 35),
              0)
        << keys[i];
  }
  TempDir dir;
  TableSpec s;
  s.fields = {{"preparati", FieldType::kAlpha, 35}};
  s.key_fields = 1;
  s.code_page = 866;
  PxTable::Create(Fs(), dir / "l.db", s);
  std::vector<std::string> shuffled = keys;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(866));
  {
    auto t = PxTable::Open(Fs(), dir / "l.db", PxTable::Mode::kReadWrite);
    for (const auto& k : shuffled) {
      std::string rec = t->BlankRecord();
      t->SetText(rec, 0, k);
      t->Insert(rec);
    }
    t->Close();
  }
  auto ours = PxTable::Open(Fs(), dir / "l.db", PxTable::Mode::kRead);
  EXPECT_EQ(ours->sort_order(), "cyrr");
  std::vector<std::string> got;
  for (RecId id : ours->RecordsInOrder()) got.push_back(ours->GetText(ours->rec(id), 0));
  EXPECT_EQ(got, keys);
  EXPECT_TRUE(ours->Check().empty());
}

// A version 3 header names no code page; its Cyrillic sort order byte means 866 (of.db).
TEST(Samples, Version3CyrillicTableReadsInItsCodePage) {
  auto t = PxTable::Open(Fs(), Sample("of.db"), PxTable::Mode::kRead);
  EXPECT_EQ(t->code_page(), 866);
  EXPECT_EQ(t->sort_order(), "cyrr");
  EXPECT_EQ(t->fields()[0].name, "Инвентарный номер");
  EXPECT_EQ(t->size(), 2197u);
  EXPECT_TRUE(t->Check().empty());
}

}  // namespace
}  // namespace tarvo::db
