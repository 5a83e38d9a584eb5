// The filter expression syntax and its meaning on records.
#include <gtest/gtest.h>

#include "db/filter.h"
#include "db/px_table.h"
#include "db/ttable.h"
#include "tests/db/db_test_util.h"

namespace tarvo::db {
namespace {

using namespace testing;

class Filters : public ::testing::Test {
 protected:
  void SetUp() override {
    TableSpec s;
    s.fields = {{"NAME", FieldType::kAlpha, 20},
                {"QTY", FieldType::kLong, 0},
                {"PRICE", FieldType::kNumber, 0},
                {"DT", FieldType::kDate, 0},
                {"Full Name", FieldType::kAlpha, 20}};
    s.code_page = 1251;
    PxTable::Create(Fs(), dir_ / "f.db", s);
    t_.SetTableName(dir_ / "f.db");
    t_.Open();
    struct R {
      const char* name;
      const char* qty;
      const char* price;
      const char* dt;
    } rows[] = {{"Alpha", "1", "1.5", "01.01.2004"},
                {"alpine", "5", "", "15.06.2004"},
                {"Beta", "10", "-2", ""},
                {"", "", "0", "31.12.2004"},
                {"Ёлка", "7", "100", "01.01.2005"}};
    for (auto& r : rows) {
      t_.Append();
      t_.FieldByName("NAME").SetAsString(r.name);
      t_.FieldByName("QTY").SetAsString(r.qty);
      t_.FieldByName("PRICE").SetAsString(r.price);
      t_.FieldByName("DT").SetAsString(r.dt);
      t_.FieldByName("Full Name").SetAsString(r.name);
      t_.Post();
    }
  }
  std::vector<std::string> Names(const std::string& filter) {
    t_.SetFilter(filter);
    t_.SetFiltered(true);
    std::vector<std::string> out;
    for (t_.First(); !t_.Eof(); t_.Next()) out.push_back(t_.FieldByName("NAME").AsString());
    EXPECT_EQ(t_.RecordCount(), static_cast<int>(out.size()));
    t_.SetFiltered(false);
    return out;
  }
  std::string ErrorOf(const std::string& filter) {
    try {
      FilterExpr::Parse(filter, t_.Data());
    } catch (const EDBEngineError& e) {
      EXPECT_EQ(e.kind(), EDBEngineError::Kind::kBadFilter);
      return e.what();
    }
    return "";
  }
  TempDir dir_;
  TTable t_{Fs(), "f"};
};

using V = std::vector<std::string>;

TEST_F(Filters, ComparisonsOnEachType) {
  EXPECT_EQ(Names("NAME = 'Alpha'"), V{"Alpha"});
  EXPECT_EQ(Names("NAME = 'alpha'"), V{});  // case-sensitive
  EXPECT_EQ(Names("QTY > 4"), (V{"alpine", "Beta", "Ёлка"}));
  EXPECT_EQ(Names("QTY <= 5"), (V{"Alpha", "alpine"}));
  EXPECT_EQ(Names("5 >= QTY"), (V{"Alpha", "alpine"}));  // literal on the left
  EXPECT_EQ(Names("PRICE < 0"), V{"Beta"});
  EXPECT_EQ(Names("PRICE = 0"), V{""});  // zero is not blank
  EXPECT_EQ(Names("PRICE >= -2.0 AND PRICE < 2"), (V{"Alpha", "Beta", ""}));
  EXPECT_EQ(Names("DT >= '01.06.2004'"), (V{"alpine", "", "Ёлка"}));
  EXPECT_EQ(Names("NAME > 'B'"), (V{"Beta", "Ёлка"}));
}

TEST_F(Filters, LogicPartialAndBlank) {
  EXPECT_EQ(Names("NAME = 'Al*'"), V{"Alpha"});
  EXPECT_EQ(Names("NAME <> 'Al*'"), (V{"alpine", "Beta", "", "Ёлка"}));
  EXPECT_EQ(Names("NAME = 'Ё*'"), V{"Ёлка"});
  EXPECT_EQ(Names("QTY = BLANK"), V{""});
  EXPECT_EQ(Names("PRICE <> blank"), (V{"Alpha", "Beta", "", "Ёлка"}));
  EXPECT_EQ(Names("NAME = NULL"), V{""});
  EXPECT_EQ(Names("QTY < 100"), (V{"Alpha", "alpine", "Beta", "Ёлка"}));  // blank is not below
  EXPECT_EQ(Names("NOT (QTY > 1) AND QTY <> BLANK"), V{"Alpha"});
  EXPECT_EQ(Names("(QTY = 1 OR QTY = 10) AND PRICE < 1"), V{"Beta"});
  EXPECT_EQ(Names("QTY = 1 OR QTY = 10 AND PRICE < 1"), (V{"Alpha", "Beta"}));  // AND binds first
  EXPECT_EQ(Names("[Full Name] = 'Beta'"), V{"Beta"});
  EXPECT_EQ(Names("\"Full Name\" = 'Beta'"), V{"Beta"});
  EXPECT_EQ(Names("name = 'Beta'"), V{"Beta"});  // field names ignore case
  EXPECT_EQ(Names(""), (V{"Alpha", "alpine", "Beta", "", "Ёлка"}));
}

TEST_F(Filters, ErrorsNameThePosition) {
  EXPECT_NE(ErrorOf("NAME = ").find("position 8"), std::string::npos);
  EXPECT_NE(ErrorOf("NOPE = 1").find("position 1"), std::string::npos);
  EXPECT_NE(ErrorOf("NAME = 'x").find("position 8"), std::string::npos);
  EXPECT_NE(ErrorOf("QTY = 'abc'").find("position 7"), std::string::npos);
  EXPECT_NE(ErrorOf("(QTY = 1").find("missing )"), std::string::npos);
  EXPECT_NE(ErrorOf("QTY = 1 AND").find("position 12"), std::string::npos);
  EXPECT_NE(ErrorOf("QTY ! 1").find("position 5"), std::string::npos);
  EXPECT_NE(ErrorOf("QTY = 1 1").find("position 9"), std::string::npos);
  EXPECT_NE(ErrorOf("QTY < BLANK").find("BLANK"), std::string::npos);
  EXPECT_NE(ErrorOf("[Full Name = 'x'").find("missing ]"), std::string::npos);
}

}  // namespace
}  // namespace tarvo::db
