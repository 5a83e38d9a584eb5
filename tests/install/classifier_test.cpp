// Setting the users' classifier rows aside and merging them into a new classifier.
#include "install/classifier.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "db/catalogue.h"
#include "db/px_table.h"
#include "tests/db/db_test_util.h"
#include "tests/install/recording_window.h"

namespace tarvo::install {
namespace {

using namespace db;
using db::testing::Fs;
using db::testing::TempDir;
using testing::RecordingWindow;

struct Row {
  std::string kod, name, year;
  int group;
};

void MakeClassifier(const TempDir& dir, const std::string& stem, const std::vector<Row>& rows) {
  TableSpec spr;
  spr.fields = {{"Kod", FieldType::kAlpha, 10},
                {"NAME", FieldType::kAlpha, 80},
                {"YEAR", FieldType::kAlpha, 4},
                {"Group_kod", FieldType::kLong, 0}};
  spr.key_fields = 1;
  spr.indexes = {{"kl_spr_kod", {"Kod"}}};
  PxTable::Create(Fs(), dir / (stem + ".db"), spr);
  TTable t(Fs());
  t.SetTableName(dir / (stem + ".db"));
  t.SetIndexName("kl_spr_kod");
  t.Open();
  for (const Row& r : rows) {
    t.Append();
    t.FieldByName("Kod").SetAsString(r.kod);
    t.FieldByName("NAME").SetAsString(r.name);
    t.FieldByName("YEAR").SetAsString(r.year);
    t.FieldByName("Group_kod").SetAsInteger(r.group);
    t.Post();
  }
  t.Close();
}

void MakeGroups(const TempDir& dir, const std::vector<std::pair<int, std::string>>& rows) {
  TableSpec grp;
  grp.fields = {{"Group_kod", FieldType::kLong, 0}, {"Name", FieldType::kAlpha, 60}};
  grp.key_fields = 1;
  grp.indexes = {{"kl_group_1", {"Group_kod"}}};
  PxTable::Create(Fs(), dir / "Kl_Group.db", grp);
  TTable t(Fs());
  t.SetTableName(dir / "Kl_Group.db");
  t.Open();
  for (auto& [code, name] : rows) {
    t.Append();
    t.FieldByName("Group_kod").SetAsInteger(code);
    t.FieldByName("Name").SetAsString(name);
    t.Post();
  }
  t.Close();
}

// Kod -> "NAME|YEAR|group" of a table family, checked for index validity on the way.
std::map<std::string, std::string> Read(const std::string& path) {
  {
    auto px = PxTable::Open(Fs(), path, PxTable::Mode::kRead);
    auto problems = px->Check();
    EXPECT_TRUE(problems.empty()) << path << ": " << (problems.empty() ? "" : problems[0]);
  }  // released before the table opens it again
  TTable t(Fs());
  t.SetTableName(path);
  t.Open();
  std::map<std::string, std::string> out;
  for (t.First(); !t.Eof(); t.Next()) {
    std::string key = t.Fields(0).AsString();
    std::string value;
    for (int i = 1; i < t.FieldCount(); ++i) value += (i > 1 ? "|" : "") + t.Fields(i).AsString();
    out[key] = value;
  }
  t.Close();
  return out;
}

bool Exists(const TempDir& dir, const std::string& name) {
  return std::filesystem::exists(dir.path() / name);
}

class Classifier : public ::testing::Test {
 protected:
  Classifier() : cat_(Fs()) {}
  void SetUp() override {
    MakeClassifier(db_, "Kl_spr",
                   {{"P1", "Сборник 1", "2020", 1},
                    {"U1", "Мой сборник", "04", 5},
                    {"X4", "Четыре", "4", 2},
                    {"XS", "С пробелом", "04 ", 2},
                    {"XE", "Пусто", "", 2},
                    {"U2", "Второй", "04", 6}});
    cat_.BindPath("Tb_Kl_Spr", db_.str());
  }
  // Stage 3 as it would be: a new Kl_spr replaces the product's.
  void InstallNewClassifier(const std::vector<Row>& rows) {
    for (auto ext : {".db", ".px", ".XG0", ".YG0"})
      std::filesystem::remove(db_ / ("Kl_spr" + std::string(ext)));
    MakeClassifier(db_, "Kl_spr", rows);
  }
  TempDir db_;
  TableCatalogue cat_;
  RecordingWindow window_;
};

TEST_F(Classifier, SetAsideKeepsProductClassifierAndMergeAddsUserRowsInGroup1000) {
  const auto before = Read(db_ / "Kl_spr.db");
  SetAsideClassifier(cat_, Fs(), db_.str(), window_);
  EXPECT_FALSE(cat_.Tb_Kl_Spr.Active());
  EXPECT_EQ(Read(db_ / "Kl_spr.db"), before);  // the product's classifier stays whole
  for (auto f : {"_Kl_spr.db", "_Kl_spr.px", "_Kl_spr.XG0", "_Kl_spr.YG0"})
    EXPECT_TRUE(Exists(db_, f)) << f;
  EXPECT_FALSE(Exists(db_, "_Kl_spr_new.db"));
  auto aside = Read(db_ / "_Kl_spr.db");
  EXPECT_EQ(aside.size(), 2u);
  EXPECT_EQ(aside["U1"], "Мой сборник|04|5");
  EXPECT_EQ(aside["U2"], "Второй|04|6");

  InstallNewClassifier({{"P1", "Сборник 1", "2024", 1}, {"u2", "Новый", "2024", 3}});
  MakeGroups(db_, {{1, "Общие"}});
  MergeClassifier(cat_, Fs(), db_.str(), window_);
  EXPECT_FALSE(cat_.Tb_Kl_Spr.Active());
  EXPECT_FALSE(cat_._Tb_Kl_spr.Active());
  EXPECT_FALSE(cat_.Tb_Kl_Group.Active());
  auto merged = Read(db_ / "Kl_spr.db");
  EXPECT_EQ(merged.size(), 3u);
  EXPECT_EQ(merged["U1"], "Мой сборник|04|1000");
  EXPECT_EQ(merged["u2"], "Новый|2024|3");  // same Kod in other case: the new row wins
  for (auto f : {"_Kl_spr.db", "_Kl_spr.px", "_Kl_spr.XG0", "_Kl_spr.YG0"})
    EXPECT_FALSE(Exists(db_, f)) << f;
  auto groups = Read(db_ / "Kl_Group.db");
  EXPECT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups["1000"], "Сборники пользователя");

  // A second merge finds the group (in any case) and no set-aside: nothing changes.
  MergeClassifier(cat_, Fs(), db_.str(), window_);
  EXPECT_EQ(Read(db_ / "Kl_Group.db"), groups);
  EXPECT_EQ(Read(db_ / "Kl_spr.db"), merged);
}

TEST_F(Classifier, NoNewClassifierMergeAddsNothing) {
  SetAsideClassifier(cat_, Fs(), db_.str(), window_);
  const auto before = Read(db_ / "Kl_spr.db");
  MakeGroups(db_, {{1000, "СБОРНИКИ ПОЛЬЗОВАТЕЛЯ"}});
  MergeClassifier(cat_, Fs(), db_.str(), window_);
  EXPECT_EQ(Read(db_ / "Kl_spr.db"), before);
  EXPECT_EQ(Read(db_ / "Kl_Group.db").size(), 1u);
}

TEST_F(Classifier, LeftOverSetAsideRowsAreKeptByTheNextSetAside) {
  MakeClassifier(db_, "_Kl_spr", {{"OLD", "Старый", "04", 9}, {"U1", "Прежний", "04", 5}});
  SetAsideClassifier(cat_, Fs(), db_.str(), window_);
  auto aside = Read(db_ / "_Kl_spr.db");
  EXPECT_EQ(aside.size(), 3u);
  EXPECT_EQ(aside["OLD"], "Старый|04|9");
  EXPECT_EQ(aside["U1"], "Мой сборник|04|5");  // the current row wins over the left-over one
}

TEST_F(Classifier, MergeFailureKeepsSetAsideAndClosesTables) {
  SetAsideClassifier(cat_, Fs(), db_.str(), window_);
  for (auto ext : {".db", ".px", ".XG0", ".YG0"})
    std::filesystem::remove(db_ / ("Kl_spr" + std::string(ext)));
  MakeGroups(db_, {});
  EXPECT_THROW(MergeClassifier(cat_, Fs(), db_.str(), window_), std::exception);
  EXPECT_FALSE(cat_.Tb_Kl_Spr.Active());
  EXPECT_FALSE(cat_._Tb_Kl_spr.Active());
  EXPECT_EQ(Read(db_ / "_Kl_spr.db").size(), 2u);
}

TEST_F(Classifier, NoUserRowsAndNoSetAsideStillCreateTheGroup) {
  InstallNewClassifier({{"P1", "Сборник", "2020", 1}});
  SetAsideClassifier(cat_, Fs(), db_.str(), window_);
  EXPECT_TRUE(Read(db_ / "_Kl_spr.db").empty());
  MakeGroups(db_, {});
  MergeClassifier(cat_, Fs(), db_.str(), window_);
  EXPECT_EQ(Read(db_ / "Kl_spr.db").size(), 1u);
  EXPECT_EQ(Read(db_ / "Kl_Group.db").size(), 1u);
  // No set-aside at all: the group step still runs.
  std::filesystem::remove(db_ / "Kl_Group.db");
  std::filesystem::remove(db_ / "Kl_Group.px");
  for (auto& e : std::filesystem::directory_iterator(db_.path()))
    if (e.path().filename().string().rfind("Kl_Group.", 0) == 0) std::filesystem::remove(e.path());
  MakeGroups(db_, {});
  MergeClassifier(cat_, Fs(), db_.str(), window_);
  EXPECT_EQ(Read(db_ / "Kl_Group.db").size(), 1u);
}

}  // namespace
}  // namespace tarvo::install
