// The product tables the installer touches: one table component and one data source per table,
// with their file names, index names and master links fixed, and their paths bound at run time.
#pragma once

#include <exception>
#include <initializer_list>
#include <string>
#include <vector>

#include "db/ttable.h"
#include "platform/services.h"

namespace tarvo::db {

enum class TableFolder { kDatabase, kInstaller };

// Closes every table in order, whatever fails, so that none is left open. Then raises `pending`
// (an error of the work the tables served, which wins) or else the first error of a close.
void CloseTables(std::initializer_list<TTable*> tables, std::exception_ptr pending = nullptr);

struct CatalogueEntry {
  const char* component;  // "Tb_Base8491"
  const char* file;       // "Base8491.db", as the installer writes it
  TableFolder folder;
  const char* index;          // "base8491_1"
  const char* master_source;  // data source of the master, or nullptr
  const char* data_source;    // the table's own data source
};

// Every table of the catalogue, in the order of its listing.
const std::vector<CatalogueEntry>& CatalogueEntries();

class TableCatalogue {
 public:
  explicit TableCatalogue(platform::FileSystem& fs);
  TableCatalogue(const TableCatalogue&) = delete;
  TableCatalogue& operator=(const TableCatalogue&) = delete;

  // Product record tables.
  TTable Tb_Base8491, Tb_link8491, Tb_link_mex, Tb_w_list;
  // User data tables in the installer folder.
  TTable Table1, Table2, Table3, Table4;
  // Classifier, set-aside classifier, classifier groups.
  TTable Tb_Kl_Spr, _Tb_Kl_spr, Tb_Kl_Group;

  TDataSource Ds_Base8491, Ds_link8491, Ds_link_mex, Ds_w_list;
  TDataSource DataSource1, DataSource2, DataSource3, DataSource4;
  TDataSource Ds_Kl_Spr, _Ds_Kl_spr, DataSource5;

  // The component and data source of an entry by component name (nullptr when unknown).
  TTable* Table(const std::string& component);
  TDataSource* DataSource(const std::string& name);
  const CatalogueEntry* Entry(const std::string& component) const;
  // Sets the component's TableName to folder + its file name (the folder ends with a separator).
  void BindPath(const std::string& component, const std::string& folder);
  // Closes every table, product tables first, ignoring nothing: the first error is raised after
  // all were closed.
  void CloseAll();
};

}  // namespace tarvo::db
