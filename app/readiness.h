// Product discovery, the readiness checks made at start-up and the table check made on each mode
// choice. Results are data that the window shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/product.h"
#include "app/update_description.h"
#include "platform/services.h"

namespace tarvo::app {

inline constexpr char kReadyLine[] =
    "Всё готово к началу инсталляции обновления на Ваш компьютер. Нажмите кнопку [Начать "
    "установку] для активации процесса установки.";
inline constexpr char kNotPossibleLine[] = "Установка обновления в данный момент невозможна.";

struct MemoText {
  uint32_t color = kColorPassed;
  std::vector<std::string> lines;
};

struct StartupVerdict {
  std::string ProductFolder;  // InstallLocation as stored; empty when the key cannot be opened
  bool ProductFound = false;
  bool ProductIdle = false;
  bool NoOpenEstimates = false;
  bool VersionSufficient = false;
  std::string InstalledVersion;
  std::string VersionRowText;  // RequiredVersion + " (текущая версия: " + InstalledVersion + ")"
  bool CheckOpenedSm = true;  // false: the open-estimates row is removed from the window
  // Ready but "RES.bd" missing: the transfer-mode choice is disabled and the replace-mode choice
  // selected, which runs the table check in replace mode at once.
  bool force_replace_mode = false;
  // An earlier run stopped with the users' data saved and not yet restored. Not a bar to
  // starting: a transfer-mode run from the same update folder finishes it, any other refuses.
  bool unfinished_installation = false;
  std::string unfinished_text;
  MemoText memo;
  bool Ready() const { return ProductFound && ProductIdle && NoOpenEstimates && VersionSufficient; }
};

// Full paths bound to the table objects (empty when that file was missing).
struct TableBindings {
  std::string Table1;  // installer folder + "U_Base8491.db"
  std::string Table2;  // "U_Link8491.db"
  std::string Table3;  // "U_Link_mex.DB"
  std::string Table4;  // "U_W_list.DB"
  std::string Tb_Base8491;
  std::string Tb_link8491;
  std::string Tb_link_mex;
  std::string Tb_w_list;
  std::string Tb_Kl_Spr;
};

struct TableVerdict {
  bool UpdateModulesComplete = true;
  bool DatabaseIntact = true;
  MemoText memo;
  std::string header_text;
  uint32_t header_font_color = 0;
  uint32_t header_band_color = 0;
  bool Ready() const { return UpdateModulesComplete && DatabaseIntact; }
};

// Compares version texts byte by byte as unsigned codes; a proper prefix is below.
bool VersionBelow(const std::string& installed, const std::string& required);
// FileVersion cut to 5 characters, a 4th-place "." removed, blanks and controls trimmed.
std::string NormaliseFileVersion(const std::string& file_version);

class ProductChecks {
 public:
  ProductChecks(platform::Services& services, std::string installer_folder,
                const UpdateDescription& description);

  // The four readiness checks, once per run of the program. Keeps the running marker.
  const StartupVerdict& EvaluateStartup();
  // The table check for the chosen mode; rebinds the tables in transfer mode.
  const TableVerdict& CheckTables(bool transfer_mode);

  const StartupVerdict& startup() const { return startup_; }
  const TableVerdict& tables() const { return tables_; }
  const TableBindings& bindings() const { return bindings_; }
  // Product folder + BackupFolders[0] + "\" (set by the transfer-mode table check).
  const std::string& DatabaseFolder() const { return database_folder_; }
  // Whether the estimate folder holds an open estimate (also through "." and "..").
  bool HasOpenEstimates(const std::string& product_folder);
  // FileVersion normalised + ProductVersion of the version source.
  std::string ReadInstalledVersion();

 private:
  bool DiscoverProduct();
  bool CheckIdle();

  platform::Services& services_;
  std::string installer_folder_;
  const UpdateDescription& description_;
  std::string version_source_;  // empty: the installer's own executable
  StartupVerdict startup_;
  TableVerdict tables_;
  TableBindings bindings_;
  std::string database_folder_;
};

}  // namespace tarvo::app
