// Carrying the users' own justification records across a database replacement: saved into the
// user data tables before the new database is installed, restored into it afterwards.
#pragma once

#include <string>

#include "db/catalogue.h"
#include "db/ttable.h"
#include "install/main_window_ops.h"

namespace tarvo::install {

// Copies every source master record that the destination lacks (by NOBOSN, then by OBOSN),
// with its detail rows. The eight tables are open; master 1 with details 2..4, master 5 with
// details 6..8. Raises whatever the table engine raises; nothing is rolled back.
void TransferUserData(db::TTable& src_master, db::TTable& src_link8491, db::TTable& src_link_mex,
                      db::TTable& src_w_list, db::TTable& dst_master, db::TTable& dst_link8491,
                      db::TTable& dst_link_mex, db::TTable& dst_w_list, MainWindowOps& window);

// Stage 2 save: empty the user tables, filter the master by DBFilter, copy the users' records.
void SaveUserData(db::TableCatalogue& tables, const std::string& db_filter, MainWindowOps& window);
// Stage 4 restore: copy the saved records into the new product tables.
void RestoreUserData(db::TableCatalogue& tables, MainWindowOps& window);

}  // namespace tarvo::install
