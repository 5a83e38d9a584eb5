#include "db/catalogue.h"

#include <exception>

namespace tarvo::db {

const std::vector<CatalogueEntry>& CatalogueEntries() {
  static const std::vector<CatalogueEntry> kEntries = {
      {"Tb_Base8491", "Base8491.db", TableFolder::kDatabase, "base8491_1", nullptr, "Ds_Base8491"},
      {"Tb_link8491", "Link8491.db", TableFolder::kDatabase, "link8491_1", "Ds_Base8491",
       "Ds_link8491"},
      {"Tb_link_mex", "Link_mex.db", TableFolder::kDatabase, "link_mex_1", "Ds_Base8491",
       "Ds_link_mex"},
      {"Tb_w_list", "W_list.db", TableFolder::kDatabase, "w_list_1", "Ds_Base8491", "Ds_w_list"},
      {"Table1", "U_Base8491.db", TableFolder::kInstaller, "base8491_1", nullptr, "DataSource1"},
      {"Table2", "U_Link8491.db", TableFolder::kInstaller, "link8491_1", "DataSource1",
       "DataSource2"},
      {"Table3", "U_Link_mex.DB", TableFolder::kInstaller, "link_mex_1", "DataSource1",
       "DataSource3"},
      {"Table4", "U_W_list.DB", TableFolder::kInstaller, "w_list_1", "DataSource1", "DataSource4"},
      {"Tb_Kl_Spr", "Kl_spr.db", TableFolder::kDatabase, "kl_spr_kod", nullptr, "Ds_Kl_Spr"},
      {"_Tb_Kl_spr", "_Kl_spr.db", TableFolder::kDatabase, "kl_spr_kod", nullptr, "_Ds_Kl_spr"},
      {"Tb_Kl_Group", "Kl_Group.db", TableFolder::kDatabase, "kl_group_1", nullptr, "DataSource5"},
  };
  return kEntries;
}

TableCatalogue::TableCatalogue(platform::FileSystem& fs)
    : Tb_Base8491(fs, "Tb_Base8491"),
      Tb_link8491(fs, "Tb_link8491"),
      Tb_link_mex(fs, "Tb_link_mex"),
      Tb_w_list(fs, "Tb_w_list"),
      Table1(fs, "Table1"),
      Table2(fs, "Table2"),
      Table3(fs, "Table3"),
      Table4(fs, "Table4"),
      Tb_Kl_Spr(fs, "Tb_Kl_Spr"),
      _Tb_Kl_spr(fs, "_Tb_Kl_spr"),
      Tb_Kl_Group(fs, "Tb_Kl_Group"),
      Ds_Base8491("Ds_Base8491"),
      Ds_link8491("Ds_link8491"),
      Ds_link_mex("Ds_link_mex"),
      Ds_w_list("Ds_w_list"),
      DataSource1("DataSource1"),
      DataSource2("DataSource2"),
      DataSource3("DataSource3"),
      DataSource4("DataSource4"),
      Ds_Kl_Spr("Ds_Kl_Spr"),
      _Ds_Kl_spr("_Ds_Kl_spr"),
      DataSource5("DataSource5") {
  for (const CatalogueEntry& e : CatalogueEntries()) {
    TTable* t = Table(e.component);
    DataSource(e.data_source)->SetDataSet(t);
    t->SetIndexName(e.index);
    if (e.master_source) {
      t->SetMasterSource(DataSource(e.master_source));
      t->SetMasterFields("NOBOSN");
    }
  }
}

TTable* TableCatalogue::Table(const std::string& c) {
  TTable* all[] = {&Tb_Base8491, &Tb_link8491, &Tb_link_mex, &Tb_w_list,  &Table1,     &Table2,
                   &Table3,      &Table4,      &Tb_Kl_Spr,   &_Tb_Kl_spr, &Tb_Kl_Group};
  for (TTable* t : all)
    if (t->Name() == c) return t;
  return nullptr;
}

TDataSource* TableCatalogue::DataSource(const std::string& n) {
  TDataSource* all[] = {&Ds_Base8491, &Ds_link8491, &Ds_link_mex, &Ds_w_list,
                        &DataSource1, &DataSource2, &DataSource3, &DataSource4,
                        &Ds_Kl_Spr,   &_Ds_Kl_spr,  &DataSource5};
  for (TDataSource* d : all)
    if (d->Name() == n) return d;
  return nullptr;
}

const CatalogueEntry* TableCatalogue::Entry(const std::string& c) const {
  for (const CatalogueEntry& e : CatalogueEntries())
    if (c == e.component) return &e;
  return nullptr;
}

void TableCatalogue::BindPath(const std::string& component, const std::string& folder) {
  const CatalogueEntry* e = Entry(component);
  TTable* t = Table(component);
  if (!e || !t) throw EDBEngineError(EDBEngineError::Kind::kState, "Unknown table " + component);
  t->SetTableName(folder + e->file);
}

void CloseTables(std::initializer_list<TTable*> tables, std::exception_ptr pending) {
  std::exception_ptr first = pending;
  for (TTable* t : tables) {
    try {
      t->Close();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

void TableCatalogue::CloseAll() {
  CloseTables({&Tb_Base8491, &Tb_link8491, &Tb_link_mex, &Tb_w_list, &Table1, &Table2, &Table3,
               &Table4, &Tb_Kl_Spr, &_Tb_Kl_spr, &Tb_Kl_Group});
}

}  // namespace tarvo::db
