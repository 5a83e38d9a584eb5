#include "tools/demo_database.h"

#include <cstdio>
#include <string>
#include <vector>

#include "db/px_table.h"
#include "db/ttable.h"

namespace tarvo::demo {

using namespace db;

namespace {

const char* const kNumeric[] = {"TRUD",  "OSN_ZARPL",  "MEX",  "ZARM",  "MAT",  "MT_TR",  "TRUDO",
                                "TRUD2", "OSN_ZARPL2", "MEX2", "ZARM2", "MAT2", "MT_TR2", "TRUDO2",
                                "TRUD3", "OSN_ZARPL3", "MEX3", "ZARM3", "MAT3", "MT_TR3", "TRUDO3",
                                "ZU",    "CENF",       "KOF",  "MT_OPT"};

TableSpec Master(int block_size_kb) {
  TableSpec s;
  s.block_size_kb = block_size_kb;
  s.fields = {{"NOBOSN", FieldType::kAlpha, 20}, {"OBOSN", FieldType::kAlpha, 30},
              {"ID", FieldType::kLong, 0},       {"UKOD", FieldType::kAlpha, 10},
              {"NAIMR", FieldType::kAlpha, 120}, {"EI", FieldType::kAlpha, 10}};
  for (const char* f : kNumeric) s.fields.push_back({f, FieldType::kNumber, 0});
  s.fields.push_back({"NOBOSN2", FieldType::kAlpha, 20});
  s.fields.push_back({"YEAR", FieldType::kAlpha, 4});
  s.key_fields = 1;
  s.indexes = {{"base8491_1", {"NOBOSN"}}, {"", {"OBOSN"}}};
  return s;
}

TableSpec Detail(const std::string& index, int block_size_kb) {
  TableSpec s;
  s.block_size_kb = block_size_kb;
  s.fields = {{"N", FieldType::kAutoInc, 0},
              {"NOBOSN", FieldType::kAlpha, 20},
              {"KOD", FieldType::kAlpha, 20},
              {"Q", FieldType::kNumber, 0},
              {"NOTE", FieldType::kMemo, 10}};
  s.key_fields = 1;
  s.indexes = {{index, {"NOBOSN"}}};
  return s;
}

std::string WithSlash(std::string s) {
  if (!s.empty() && s.back() != '/' && s.back() != '\\') s += '/';
  return s;
}

// A table family is replaced whole: the table and whatever index files it had.
void RemoveFamily(platform::FileSystem& fs, const std::string& folder, const std::string& stem) {
  for (const auto& entry : fs.List(folder, stem + ".*")) {
    if (!(entry.attributes & platform::kAttrDirectory)) (void)fs.DeleteFileAt(folder + entry.name);
  }
}

void CreateTable(platform::FileSystem& fs, const std::string& folder, const std::string& name,
                 const TableSpec& shape) {
  RemoveFamily(fs, folder, name.substr(0, name.find('.')));
  PxTable::Create(fs, folder + name, shape);
}

void CreateSet(platform::FileSystem& fs, const std::string& folder, const std::string& prefix,
               int block_size_kb = 4) {
  CreateTable(fs, folder, prefix + "Base8491.db", Master(block_size_kb));
  CreateTable(fs, folder, prefix + "Link8491.db", Detail("link8491_1", block_size_kb));
  CreateTable(fs, folder, prefix + (prefix.empty() ? "Link_mex.db" : "Link_mex.DB"),
              Detail("link_mex_1", block_size_kb));
  CreateTable(fs, folder, prefix + (prefix.empty() ? "W_list.db" : "W_list.DB"),
              Detail("w_list_1", block_size_kb));
}

}  // namespace

void WriteDemoDatabase(platform::FileSystem& fs, const std::string& database_folder,
                       const DemoDatabaseOptions& options) {
  const std::string folder = WithSlash(database_folder);
  (void)fs.CreateDirectories(folder);
  CreateSet(fs, folder, "", options.block_size_kb);
  const int records = options.records;
  const int users = options.new_database ? 0 : options.users;
  const bool fresh = options.new_database;
  TTable master(fs), link(fs), mex(fs), wl(fs);
  TDataSource source;
  master.SetTableName(folder + "Base8491.db");
  master.SetIndexName("base8491_1");
  source.SetDataSet(&master);
  TTable* details[] = {&link, &mex, &wl};
  const char* files[] = {"Link8491.db", "Link_mex.db", "W_list.db"};
  const char* indexes[] = {"link8491_1", "link_mex_1", "w_list_1"};
  for (int i = 0; i < 3; ++i) {
    details[i]->SetTableName(folder + files[i]);
    details[i]->SetIndexName(indexes[i]);
    details[i]->SetMasterSource(&source);
    details[i]->SetMasterFields("NOBOSN");
  }
  master.Open();
  for (TTable* d : details) d->Open();
  // The users' records are spread over the table, one every `stride` records.
  const int stride = users > 0 && records / users > 0 ? records / users : 1;
  for (int r = 0; r < records; ++r) {
    const bool user = users > 0 && r % stride == 0 && r / stride < users;
    char key[32], code[32];
    std::snprintf(key, sizeof key, "%s%06d", user ? "U" : "P", r);
    std::snprintf(code, sizeof code, "%s%d-%d", user ? "П" : "Е", r / 100 + 1, r % 100 + 1);
    master.Append();
    master.FieldByName("NOBOSN").SetAsString(key);
    master.FieldByName("OBOSN").SetAsString(code);
    master.FieldByName("ID").SetAsInteger(r + 1);
    master.FieldByName("NAIMR").SetAsString(std::string("Работа ") + code);
    master.FieldByName("EI").SetAsString("100 м2");
    master.FieldByName("TRUD").SetAsVariant(Variant::Float((fresh ? 1.5 : 1.25) * (r % 40)));
    master.FieldByName("MAT").SetAsVariant(Variant::Float(r % 1000 / 7.0));
    master.FieldByName("YEAR").SetAsString(user ? "04" : (fresh ? "2026" : "2024"));
    master.Post();
    for (int d = 0; d < 3; ++d)
      for (int k = 0; k < 1 + (r + d) % 3; ++k) {
        details[d]->Append();
        details[d]->FieldByName("KOD").SetAsString(std::string(code) + "/" + std::to_string(k));
        details[d]->FieldByName("Q").SetAsVariant(Variant::Float(k + 0.5));
        const bool long_note = options.note_every <= 1 || r % options.note_every == 0;
        if (k == 0)
          details[d]->FieldByName("NOTE").SetAsString(
              long_note ? std::string("Примечание к ") + code + ": " +
                              std::string(options.note_length, '*')
                        : std::string("ok"));
        details[d]->Post();
      }
  }
  for (TTable* d : details) d->Close();
  master.Close();

  TableSpec spr;
  spr.fields = {{"Kod", FieldType::kAlpha, 10},
                {"NAME", FieldType::kAlpha, 80},
                {"YEAR", FieldType::kAlpha, 4},
                {"Group_kod", FieldType::kLong, 0}};
  spr.key_fields = 1;
  spr.indexes = {{"kl_spr_kod", {"Kod"}}};
  CreateTable(fs, folder, "Kl_spr.db", spr);
  TTable kl(fs);
  kl.SetTableName(folder + "Kl_spr.db");
  kl.Open();
  for (int i = 0; i < options.classifier_rows; ++i) {
    const bool user = i % 8 == 0;
    if (user && fresh) continue;
    kl.Append();
    kl.FieldByName("Kod").SetAsString((user ? "USR" : "K") + std::to_string(i));
    kl.FieldByName("NAME").SetAsString((user ? "Сборник пользователя " : "Сборник ") +
                                       std::to_string(i));
    kl.FieldByName("YEAR").SetAsString(user ? "04" : (fresh ? "2026" : "2024"));
    kl.FieldByName("Group_kod").SetAsInteger(1 + i % 4);
    kl.Post();
  }
  kl.Close();

  TableSpec grp;
  grp.fields = {{"Group_kod", FieldType::kLong, 0}, {"Name", FieldType::kAlpha, 60}};
  grp.key_fields = 1;
  grp.indexes = {{"kl_group_1", {"Group_kod"}}};
  CreateTable(fs, folder, "Kl_Group.db", grp);
  TTable groups(fs);
  groups.SetTableName(folder + "Kl_Group.db");
  groups.Open();
  const char* names[] = {"Строительные работы", "Монтажные работы", "Ремонтные работы",
                         "Пусконаладочные работы"};
  for (int i = 0; i < 4; ++i) {
    groups.Append();
    groups.FieldByName("Group_kod").SetAsInteger(i + 1);
    groups.FieldByName("Name").SetAsString(names[i]);
    groups.Post();
  }
  groups.Close();
}

void WriteUserDataTables(platform::FileSystem& fs, const std::string& installer_folder) {
  const std::string folder = WithSlash(installer_folder);
  (void)fs.CreateDirectories(folder);
  CreateSet(fs, folder, "U_");
}

}  // namespace tarvo::demo
