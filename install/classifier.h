// The users' own classifier rows (YEAR "04") are set aside before the new database replaces the
// classifier and merged into the new one afterwards, under the users' group.
#pragma once

#include <string>

#include "db/catalogue.h"
#include "install/main_window_ops.h"
#include "platform/services.h"

namespace tarvo::install {

inline constexpr int kUsersGroupCode = 1000;
inline constexpr const char* kUsersGroupName = "Сборники пользователя";

// Stage 2: copies Kl_spr to _Kl_spr and prunes the copy to the users' rows; the product's own
// Kl_spr stays whole. Rows of a _Kl_spr left by an earlier failed merge are kept.
void SetAsideClassifier(db::TableCatalogue& tables, platform::FileSystem& fs,
                        const std::string& database_folder, MainWindowOps& window);
// Stage 4: adds the set-aside rows that the new Kl_spr lacks, in group 1000, then makes sure the
// users' group exists in Kl_Group.
void MergeClassifier(db::TableCatalogue& tables, platform::FileSystem& fs,
                     const std::string& database_folder, MainWindowOps& window);
// Finishes or drops a move of the staged set-aside that a killed run left between names; true
// when there was one.
bool RecoverClassifierSetAside(platform::FileSystem& fs, const std::string& database_folder);
// Deletes the set-aside once the merge that drained it is committed.
void DropClassifierSetAside(platform::FileSystem& fs, const std::string& database_folder);

}  // namespace tarvo::install
