// Saving the users' records out of a product database and restoring them into another one.
#include "install/user_data.h"

#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/catalogue.h"
#include "db/px_table.h"
#include "tests/db/db_test_util.h"
#include "tests/install/faulty_fs.h"
#include "tests/install/recording_window.h"

namespace tarvo::install {
namespace {

using namespace db;
using db::testing::Fs;
using db::testing::TempDir;
using testing::RecordingWindow;

const char* const kNumeric[] = {"TRUD",  "OSN_ZARPL",  "MEX",  "ZARM",  "MAT",  "MT_TR",  "TRUDO",
                                "TRUD2", "OSN_ZARPL2", "MEX2", "ZARM2", "MAT2", "MT_TR2", "TRUDO2",
                                "TRUD3", "OSN_ZARPL3", "MEX3", "ZARM3", "MAT3", "MT_TR3", "TRUDO3",
                                "ZU",    "CENF",       "KOF",  "MT_OPT"};

TableSpec MasterSpec(bool with_optional) {
  TableSpec s;
  s.fields = {{"NOBOSN", FieldType::kAlpha, 20}, {"OBOSN", FieldType::kAlpha, 30}};
  if (with_optional) {
    s.fields.push_back({"ID", FieldType::kLong, 0});
    s.fields.push_back({"UKOD", FieldType::kAlpha, 10});
  }
  s.fields.push_back({"NAIMR", FieldType::kAlpha, 120});
  s.fields.push_back({"EI", FieldType::kAlpha, 10});
  for (const char* f : kNumeric) s.fields.push_back({f, FieldType::kNumber, 0});
  s.fields.push_back({"NOBOSN2", FieldType::kAlpha, 20});
  s.fields.push_back({"YEAR", FieldType::kAlpha, 4});
  s.key_fields = 1;
  s.indexes = {{"base8491_1", {"NOBOSN"}}};
  return s;
}

TableSpec DetailSpec(const std::string& index, bool short_of_fields = false) {
  TableSpec s;
  s.fields = {{"N", FieldType::kAutoInc, 0},
              {"NOBOSN", FieldType::kAlpha, 20},
              {"KOD", FieldType::kAlpha, 20}};
  if (!short_of_fields) {
    s.fields.push_back({"Q", FieldType::kNumber, 0});
    s.fields.push_back({"NOTE", FieldType::kMemo, 10});
  }
  s.key_fields = 1;
  s.indexes = {{index, {"NOBOSN"}}};
  return s;
}

struct SetOptions {
  bool with_optional = true;
  bool short_detail = false;
};

void MakeSet(const TempDir& dir, const std::string& prefix, SetOptions o = {}) {
  PxTable::Create(Fs(), dir / (prefix + "Base8491.db"), MasterSpec(o.with_optional));
  PxTable::Create(Fs(), dir / (prefix + "Link8491.db"), DetailSpec("link8491_1", o.short_detail));
  PxTable::Create(Fs(), dir / (prefix + "Link_mex.DB"), DetailSpec("link_mex_1"));
  PxTable::Create(Fs(), dir / (prefix + "W_list.DB"), DetailSpec("w_list_1"));
}

const char* const kProduct[] = {"Tb_Base8491", "Tb_link8491", "Tb_link_mex", "Tb_w_list"};
const char* const kUser[] = {"Table1", "Table2", "Table3", "Table4"};

class Transfer : public ::testing::Test {
 protected:
  void Build(SetOptions product = {}, SetOptions user = {}) {
    MakeSet(db_, "", product);
    MakeSet(inst_, "U_", user);
    cat_ = std::make_unique<TableCatalogue>(Fs());
    for (auto c : kProduct) cat_->BindPath(c, db_.str());
    for (auto c : kUser) cat_->BindPath(c, inst_.str());
  }
  void OpenProduct() {
    for (auto c : kProduct) cat_->Table(c)->Open();
  }
  void OpenUser() {
    for (auto c : kUser) cat_->Table(c)->Open();
  }
  // A master record in an open master, with `rows` rows in each detail.
  static void Add(TTable& m, TTable* details[3], const std::string& nobosn,
                  const std::string& obosn, const std::string& year, int rows = 1) {
    m.Append();
    m.FieldByName("NOBOSN").SetAsString(nobosn);
    m.FieldByName("OBOSN").SetAsString(obosn);
    m.FieldByName("YEAR").SetAsString(year);
    m.FieldByName("NAIMR").SetAsString("Работа " + obosn);
    m.FieldByName("TRUD").SetAsVariant(Variant::Float(1.5));
    if (m.FindField("ID")) m.FieldByName("ID").SetAsInteger(7);
    if (m.FindField("UKOD")) m.FieldByName("UKOD").SetAsString("U" + nobosn);
    m.Post();
    for (int d = 0; d < 3; ++d)
      for (int r = 0; r < rows; ++r) {
        details[d]->Append();
        details[d]->FieldByName("KOD").SetAsString(obosn + "/" + std::to_string(r));
        details[d]->FieldByName("Q").SetAsVariant(Variant::Float(r + 0.25));
        details[d]->FieldByName("NOTE").SetAsString(std::string(300, 'm') + obosn);
        details[d]->Post();
      }
  }
  void AddProduct(const std::string& nobosn, const std::string& obosn, const std::string& year,
                  int rows = 1) {
    TTable* d[3] = {&cat_->Tb_link8491, &cat_->Tb_link_mex, &cat_->Tb_w_list};
    Add(cat_->Tb_Base8491, d, nobosn, obosn, year, rows);
  }
  void CheckFamilies(const TempDir& dir, const std::string& prefix) {
    for (auto f : {"Base8491.db", "Link8491.db", "Link_mex.DB", "W_list.DB"}) {
      auto p = PxTable::Open(Fs(), dir / (prefix + f), PxTable::Mode::kRead);
      auto problems = p->Check();
      EXPECT_TRUE(problems.empty()) << prefix + f << ": " << (problems.empty() ? "" : problems[0]);
    }
  }
  bool AllClosed() {
    for (auto c : kProduct)
      if (cat_->Table(c)->Active()) return false;
    for (auto c : kUser)
      if (cat_->Table(c)->Active()) return false;
    return true;
  }
  static std::vector<std::string> Column(TTable& t, const char* field) {
    std::vector<std::string> out;
    for (t.First(); !t.Eof(); t.Next()) out.push_back(t.FieldByName(field).AsString());
    return out;
  }

  TempDir db_, inst_;
  std::unique_ptr<TableCatalogue> cat_;
  RecordingWindow window_;
};

TEST_F(Transfer, SaveThenRestoreCarriesUserRecordsWithDetailsAndMemos) {
  Build();
  OpenProduct();
  AddProduct("P1", "Е1-1", "05", 2);
  AddProduct("U1", "Е1-2", "04", 2);
  AddProduct("P2", "Е1-3", "05");
  AddProduct("U2", "Е1-4", "04", 0);  // no detail rows
  AddProduct("U3", "Е1-5", "04", 3);
  cat_->CloseAll();
  // Stale rows in the user tables from an earlier run are emptied first.
  cat_->Table1.Open();
  cat_->Table1.Append();
  cat_->Table1.FieldByName("NOBOSN").SetAsString("OLD");
  cat_->Table1.Post();
  cat_->Table1.Close();

  SaveUserData(*cat_, "YEAR = '04'", window_);
  EXPECT_TRUE(AllClosed());
  EXPECT_FALSE(cat_->Tb_Base8491.Filtered());
  EXPECT_EQ(window_.activity, (std::vector<std::string>{"data+", "data-"}));
  CheckFamilies(inst_, "U_");
  OpenUser();
  EXPECT_EQ(Column(cat_->Table1, "NOBOSN"), (std::vector<std::string>{"U1", "U2", "U3"}));
  EXPECT_EQ(cat_->Table2.RecordCount(), 3);  // U3 is current: its rows
  cat_->CloseAll();

  // A new database: P1, P2 and a new user-visible U1 with another OBOSN.
  TempDir fresh;
  MakeSet(fresh, "");
  for (auto c : kProduct) cat_->BindPath(c, fresh.str());
  OpenProduct();
  AddProduct("P1", "Е1-1", "05", 1);
  AddProduct("u1", "Е9-9", "05", 1);  // same NOBOSN in other case: U1 is not restored
  cat_->CloseAll();
  window_ = RecordingWindow();
  RestoreUserData(*cat_, window_);
  EXPECT_TRUE(AllClosed());
  CheckFamilies(fresh, "");

  OpenProduct();
  TTable& m = cat_->Tb_Base8491;
  EXPECT_EQ(Column(m, "NOBOSN"), (std::vector<std::string>{"P1", "u1", "U2", "U3"}));
  ASSERT_TRUE(m.Locate("NOBOSN", Variant::String("U3")));
  EXPECT_EQ(m.FieldByName("OBOSN").AsString(), "Е1-5");
  EXPECT_EQ(m.FieldByName("NAIMR").AsString(), "Работа Е1-5");
  EXPECT_DOUBLE_EQ(m.FieldByName("TRUD").AsFloat(), 1.5);
  EXPECT_EQ(m.FieldByName("ID").AsInteger(), 7);
  EXPECT_EQ(m.FieldByName("UKOD").AsString(), "UU3");
  EXPECT_TRUE(m.FieldByName("MEX").IsNull());  // null carried as null
  for (TTable* d : {&cat_->Tb_link8491, &cat_->Tb_link_mex, &cat_->Tb_w_list}) {
    EXPECT_EQ(Column(*d, "KOD"), (std::vector<std::string>{"Е1-5/0", "Е1-5/1", "Е1-5/2"}));
    d->First();
    EXPECT_EQ(d->FieldByName("NOBOSN").AsString(), "U3");
    EXPECT_EQ(d->FieldByName("NOTE").AsString(), std::string(300, 'm') + "Е1-5");
    EXPECT_DOUBLE_EQ(d->FieldByName("Q").AsFloat(), 0.25);
  }
  ASSERT_TRUE(m.Locate("NOBOSN", Variant::String("U2")));
  EXPECT_EQ(cat_->Tb_link8491.RecordCount(), 0);
  cat_->CloseAll();
}

TEST_F(Transfer, EmptyFilterSavesEveryRecordAndNoRecordsTouchesNothing) {
  Build();
  OpenProduct();
  AddProduct("P1", "A", "05");
  AddProduct("P2", "B", "04");
  cat_->CloseAll();
  SaveUserData(*cat_, "", window_);
  OpenUser();
  EXPECT_EQ(cat_->Table1.RecordCount(), 2);
  cat_->CloseAll();

  // A filter that admits nothing: the user tables are emptied, the window left alone.
  window_ = RecordingWindow();
  SaveUserData(*cat_, "YEAR = '99'", window_);
  EXPECT_TRUE(AllClosed());
  EXPECT_FALSE(cat_->Tb_Base8491.Filtered());
  EXPECT_TRUE(window_.activity.empty());
  EXPECT_TRUE(window_.percents.empty());
  OpenUser();
  EXPECT_EQ(cat_->Table1.RecordCount(), 0);
  EXPECT_EQ(cat_->Table2.RecordCount(), 0);
  cat_->CloseAll();
  CheckFamilies(inst_, "U_");
}

TEST_F(Transfer, TableErrorDuringSaveClosesTablesAndPropagates) {
  SetOptions short_user;
  short_user.short_detail = true;  // U_Link8491 lacks fields the product's has
  Build({}, short_user);
  OpenProduct();
  AddProduct("U1", "A", "04");
  AddProduct("U2", "B", "04");
  cat_->CloseAll();
  EXPECT_THROW(SaveUserData(*cat_, "YEAR = '04'", window_), std::exception);
  EXPECT_TRUE(AllClosed());
  EXPECT_FALSE(cat_->Tb_Base8491.Filtered());
  EXPECT_EQ(window_.activity, (std::vector<std::string>{"data+", "data-"}));
  // The master already posted stays.
  OpenUser();
  EXPECT_EQ(cat_->Table1.RecordCount(), 1);
  cat_->CloseAll();

  // A filter that does not parse fails the same way.
  window_ = RecordingWindow();
  EXPECT_THROW(SaveUserData(*cat_, "YEAR = = '04'", window_), std::exception);
  EXPECT_TRUE(AllClosed());
  EXPECT_FALSE(cat_->Tb_Base8491.Filtered());
}

TEST_F(Transfer, DuplicatesFoundOnNobosnThenObosnAndOptionalFieldsSkipped) {
  SetOptions no_optional;
  no_optional.with_optional = false;
  Build(no_optional, {});
  OpenProduct();
  AddProduct("N1", "Х-1", "04");
  AddProduct("N2", "х-1", "04");  // same OBOSN as N1 in other case: skipped after N1 lands
  AddProduct("N3", "Х-3", "04");
  AddProduct("N4", "Х-4", "04");
  cat_->CloseAll();
  OpenUser();
  TTable* d[3] = {&cat_->Table2, &cat_->Table3, &cat_->Table4};
  Add(cat_->Table1, d, "n3", "Z", "04");    // NOBOSN present in other case
  Add(cat_->Table1, d, "M4", "х-4", "04");  // OBOSN present in other case
  cat_->CloseAll();
  OpenProduct();
  OpenUser();
  TransferUserData(cat_->Tb_Base8491, cat_->Tb_link8491, cat_->Tb_link_mex, cat_->Tb_w_list,
                   cat_->Table1, cat_->Table2, cat_->Table3, cat_->Table4, window_);
  EXPECT_EQ(Column(cat_->Table1, "NOBOSN"), (std::vector<std::string>{"M4", "N1", "n3"}));
  ASSERT_TRUE(cat_->Table1.Locate("NOBOSN", Variant::String("N1")));
  EXPECT_TRUE(cat_->Table1.FieldByName("ID").IsNull());
  EXPECT_TRUE(cat_->Table1.FieldByName("UKOD").IsNull());
  EXPECT_EQ(cat_->Table2.RecordCount(), 1);
  // Skipped records took no detail rows: one row each for n3, M4 and N1.
  cat_->Table1.Close();
  EXPECT_EQ(cat_->Table2.RecordCount(), 3);
  EXPECT_EQ(window_.percents.back(), 100);
  cat_->CloseAll();
}

TEST_F(Transfer, ProgressRepaintsOnlyWhenRoundedPercentChanges) {
  Build();
  OpenProduct();
  for (int i = 0; i < 3; ++i) AddProduct("A" + std::to_string(i), "A" + std::to_string(i), "04");
  cat_->CloseAll();
  SaveUserData(*cat_, "", window_);
  EXPECT_EQ(window_.percents, (std::vector<int>{33, 67, 100}));

  TempDir big_db, big_inst;
  MakeSet(big_db, "");
  MakeSet(big_inst, "U_");
  for (auto c : kProduct) cat_->BindPath(c, big_db.str());
  for (auto c : kUser) cat_->BindPath(c, big_inst.str());
  OpenProduct();
  for (int i = 0; i < 200; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "B%03d", i);
    AddProduct(key, key, "04", 0);
  }
  cat_->CloseAll();
  window_ = RecordingWindow();
  SaveUserData(*cat_, "", window_);
  // Step 0.5: 0 after the first (not repainted), 1 after the second, 2 at 2.5 (halves to even).
  ASSERT_EQ(window_.percents.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(window_.percents[i], i + 1);
  CheckFamilies(big_inst, "U_");
}

// Closing a set of tables: a close that fails leaves none of the others open or unwritten; the
// work's own error wins over a close's, and the first close's error over a later one's.
TEST(CloseTables, ClosesEveryTableAndRaisesTheErrorThatWins) {
  TempDir dir;
  TableSpec shape;
  shape.fields = {{"K", FieldType::kAlpha, 10}};
  shape.key_fields = 1;
  const std::string names[] = {"first", "second", "third"};
  auto path_of = [&](const std::string& name) { return dir / (name + ".db"); };
  for (const std::string& n : names) PxTable::Create(Fs(), path_of(n), shape);
  testing::FaultyFileSystem faulty(Fs());
  auto records_on_disk = [&](const std::string& name) {
    return PxTable::Open(Fs(), path_of(name), PxTable::Mode::kRead)->size();
  };
  auto fail_writes_to = [&](std::vector<std::string> stems) {
    faulty.fail_if = [stems](const std::string& kind, const std::string& path) {
      if (kind != "write" && kind != "flush") return false;
      for (const std::string& s : stems)
        if (path.find(s + ".") != std::string::npos) return true;
      return false;
    };
  };
  auto open_with_row = [&](TTable& t, const std::string& name, const std::string& key) {
    t.SetTableName(path_of(name));
    t.Open();
    t.Append();
    t.FieldByName("K").SetAsString(key);
    t.Post();
  };

  {
    TTable a(faulty, "a"), b(faulty, "b"), c(faulty, "c");
    open_with_row(a, "first", "1");
    open_with_row(b, "second", "1");
    open_with_row(c, "third", "1");
    fail_writes_to({"first", "second"});
    try {
      CloseTables({&a, &b, &c});
      ADD_FAILURE() << "a failed close was not raised";
    } catch (const EDBEngineError& e) {
      EXPECT_NE(std::string(e.what()).find("first"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(a.Active() || b.Active() || c.Active());
    EXPECT_EQ(records_on_disk("third"), 1u);
  }
  {
    TTable a(faulty, "a"), c(faulty, "c");
    faulty.fail_if = nullptr;
    open_with_row(a, "first", "2");
    open_with_row(c, "third", "2");
    fail_writes_to({"first"});
    try {
      CloseTables({&a, &c}, std::make_exception_ptr(std::runtime_error("the work failed")));
      ADD_FAILURE() << "the pending error was not raised";
    } catch (const EDBEngineError& e) {
      ADD_FAILURE() << "a close's error won over the work's: " << e.what();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "the work failed");
    }
    EXPECT_FALSE(a.Active() || c.Active());
    EXPECT_EQ(records_on_disk("third"), 2u);
  }
  faulty.fail_if = nullptr;
  TTable c(faulty, "c");
  open_with_row(c, "third", "3");
  EXPECT_NO_THROW(CloseTables({&c}));
  EXPECT_EQ(records_on_disk("third"), 3u);
}

}  // namespace
}  // namespace tarvo::install
