// The demo product database: justification records with three detail tables (one memo field
// each), the classifier with users' rows marked "04", and the groups table; and the empty user
// data tables of the update folder. Shared by the demo, the whole-run tests and the benchmark.
#pragma once

#include <string>

#include "platform/services.h"

namespace tarvo::demo {

struct DemoDatabaseOptions {
  int records = 3000;  // justification records in all
  int users = 300;     // of them the users' own (spread evenly, keys "U...")
  // The database an update delivers: the product's records only (values of the new year), no
  // users' records, classifier rows or users' group.
  bool new_database = false;
  int classifier_rows = 40;  // every eighth is a users' row in the old database
  int note_length = 200;     // characters of the memo on each first detail row
  // Only every Nth record's first detail rows carry that memo; the others a short one kept in
  // the record, so that a large database is in its records rather than in blob blocks.
  int note_every = 1;
  // Block size of the record tables: a table holds at most 65,535 blocks, so a database several
  // times the usual size needs larger ones.
  int block_size_kb = 4;
};

// Writes Base8491/Link8491/Link_mex/W_list, Kl_spr and Kl_Group into `database_folder` (which
// is created); existing tables there are replaced.
void WriteDemoDatabase(platform::FileSystem& fs, const std::string& database_folder,
                       const DemoDatabaseOptions& options);

// Creates the four empty user data tables U_* in `installer_folder`.
void WriteUserDataTables(platform::FileSystem& fs, const std::string& installer_folder);

}  // namespace tarvo::demo
