#include "app/readiness.h"

#include <algorithm>

#include "app/product.h"
#include "install/run_progress.h"
#include "text/codepage.h"

namespace tarvo::app {
namespace {

constexpr char kValueNotAvailable[] = "Value Not Available";
constexpr char kEstimateTable[] = "a_base8491.DB";

std::string TrimControls(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

}  // namespace

bool VersionBelow(const std::string& installed, const std::string& required) {
  // The product compares ANSI texts; for the ASCII texts of versions that is the UTF-8 order.
  const std::string a = text::Utf8ToCp1251(installed);
  const std::string b = text::Utf8ToCp1251(required);
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

std::string NormaliseFileVersion(const std::string& file_version) {
  std::u32string v = text::Utf8ToUtf32(file_version);
  if (v.size() > 5) v.resize(5);
  if (v.size() >= 4 && v[3] == U'.') v.erase(3, 1);
  return TrimControls(text::Utf32ToUtf8(v));
}

ProductChecks::ProductChecks(platform::Services& services, std::string installer_folder,
                             const UpdateDescription& description)
    : services_(services),
      installer_folder_(std::move(installer_folder)),
      description_(description) {}

bool ProductChecks::DiscoverProduct() {
  const auto value = services_.registry->ReadLocalMachineString(kUninstallKey, "InstallLocation");
  if (!value.key_opened) {
    startup_.ProductFolder.clear();
    return false;
  }
  startup_.ProductFolder = value.value;
  // An empty location would make the tests below look in the current folder.
  if (startup_.ProductFolder.empty()) return false;
  auto& fs = *services_.fs;
  if (!fs.FileExists(startup_.ProductFolder + "start7.exe") ||
      !fs.FileExists(startup_.ProductFolder + ProductExeName())) {
    return false;
  }
  version_source_ = startup_.ProductFolder + ProductExeName();
  return true;
}

bool ProductChecks::CheckIdle() {
  using State = platform::RunningMarker::State;
  const State state = services_.marker->Create(kRunningMarkerName);
  return state != State::kAlreadyExists && state != State::kAccessDenied;
}

bool ProductChecks::HasOpenEstimates(const std::string& product_folder) {
  std::vector<std::string> listed;
  try {
    for (const auto& e : services_.fs->List(product_folder + "Edit\\", "*")) {
      constexpr uint32_t kSkip = platform::kAttrHidden | platform::kAttrSystem;
      if ((e.attributes & platform::kAttrDirectory) && (e.attributes & kSkip) == 0) {
        listed.push_back("[" + e.name + "]");
      }
    }
  } catch (const platform::PlatformError&) {
    return false;  // no estimate folder: nothing can be open in it
  }
  std::sort(listed.begin(), listed.end(), [](const std::string& a, const std::string& b) {
    return text::CompareIgnoreCase(a, b) < 0;
  });
  for (const std::string& t : listed) {
    const std::string n = t.substr(1, t.size() - 2);
    if (services_.fs->FileExists(product_folder + "edit\\" + n + "\\" + kEstimateTable)) {
      return true;
    }
  }
  return false;
}

std::string ProductChecks::ReadInstalledVersion() {
  const std::string source =
      version_source_.empty() ? services_.fs->ExecutablePath() : version_source_;
  const auto strings = services_.version->Read(source, {"FileVersion", "ProductVersion"});
  std::string file_version, product_version;
  if (!strings.has_resource) {
    file_version = product_version = kValueNotAvailable;
  } else if (strings.has_translation) {
    file_version = strings.values[0].value_or("");
    product_version = strings.values[1].value_or("");
  }
  return NormaliseFileVersion(file_version) + product_version;
}

const StartupVerdict& ProductChecks::EvaluateStartup() {
  StartupVerdict& v = startup_;
  v.CheckOpenedSm = description_.CheckOpenedSm;
  v.ProductFound = DiscoverProduct();
  v.ProductIdle = CheckIdle();
  if (v.ProductFound && v.CheckOpenedSm) {
    v.NoOpenEstimates = !HasOpenEstimates(v.ProductFolder);
  } else {
    v.NoOpenEstimates = !v.CheckOpenedSm;
  }
  v.VersionSufficient = true;
  v.InstalledVersion = ReadInstalledVersion();
  v.VersionRowText = RequiredVersion() + " (текущая версия: " + v.InstalledVersion + ")";
  if (VersionBelow(v.InstalledVersion, RequiredVersion())) v.VersionSufficient = false;

  v.unfinished_installation = false;
  v.unfinished_text.clear();
  if (v.ProductFound) {
    const install::ProgressState state =
        install::ReadRunProgress(*services_.fs, v.ProductFolder + install::kProgressFileName);
    if (state.present && (!state.valid || state.progress.step == install::RunStep::kSaved ||
                          state.progress.step == install::RunStep::kInstalled)) {
      v.unfinished_installation = true;
      v.unfinished_text = install::UnfinishedMessage(
          state.valid ? state.progress.installer_folder : installer_folder_,
          state.valid ? state.progress.backup_path : std::string());
    }
  }

  v.memo.lines.clear();
  if (v.Ready()) {
    const std::string marker = v.ProductFolder + description_.BackupFolders[0] + "\\RES.bd";
    v.force_replace_mode = !services_.fs->FileExists(marker);
    v.memo.color = kColorPassed;
    v.memo.lines.push_back(kReadyLine);
    if (v.unfinished_installation) {
      v.memo.color = kColorFailed;
      v.memo.lines.push_back(v.unfinished_text);
    }
  } else {
    v.memo.color = kColorFailed;
    v.memo.lines.push_back(kNotPossibleLine);
    const std::string product = "Программный комплекс Tarvo Estimate 6";
    if (!v.ProductFound) v.memo.lines.push_back(product + " не установлен на Вашем компьютере.");
    if (!v.ProductIdle) v.memo.lines.push_back(product + " работает.");
    if (v.ProductFound && !v.NoOpenEstimates) v.memo.lines.push_back("Есть открытые сметы.");
    if (!v.VersionSufficient) {
      v.memo.lines.push_back("Для установки данного обновления требуется версия " +
                             RequiredVersion() + " программного комплекса Tarvo Estimate 6.");
    }
  }
  return v;
}

const TableVerdict& ProductChecks::CheckTables(bool transfer_mode) {
  TableVerdict& t = tables_;
  t.UpdateModulesComplete = true;
  t.DatabaseIntact = true;
  auto& fs = *services_.fs;
  if (transfer_mode) {
    const std::pair<const char*, std::string*> user_tables[] = {
        {"U_Base8491.db", &bindings_.Table1},
        {"U_Link8491.db", &bindings_.Table2},
        {"U_Link_mex.DB", &bindings_.Table3},
        {"U_W_list.DB", &bindings_.Table4},
    };
    for (const auto& [name, slot] : user_tables) {
      const std::string path = installer_folder_ + name;
      if (fs.FileExists(path)) {
        *slot = path;
      } else {
        t.UpdateModulesComplete = false;
      }
    }
    database_folder_ = startup_.ProductFolder + description_.BackupFolders[0] + "\\";
    const std::pair<const char*, std::string*> product_tables[] = {
        {"Base8491.db", &bindings_.Tb_Base8491}, {"Link8491.db", &bindings_.Tb_link8491},
        {"Link_mex.db", &bindings_.Tb_link_mex}, {"W_list.db", &bindings_.Tb_w_list},
        {"Kl_spr.db", &bindings_.Tb_Kl_Spr},
    };
    for (const auto& [name, slot] : product_tables) {
      const std::string path = database_folder_ + name;
      if (fs.FileExists(path)) {
        *slot = path;
      } else {
        t.DatabaseIntact = false;
      }
    }
  }
  t.memo.lines.clear();
  if (t.Ready()) {
    t.memo.color = kColorPassed;
    t.memo.lines.push_back(kReadyLine);
  } else {
    t.memo.color = kColorFailed;
    t.memo.lines.push_back(kNotPossibleLine);
    if (!t.UpdateModulesComplete) t.memo.lines.push_back("Некорректный состав модулей обновления.");
    if (!t.DatabaseIntact) t.memo.lines.push_back("Повреждена обновляемая база данных.");
  }
  if (transfer_mode) {
    t.header_text = description_.BackupText;
    t.header_font_color = kClWindowText;
    t.header_band_color = kClSkyBlue;
  } else {
    t.header_text = description_.Text;
    t.header_font_color = kClAqua;
    t.header_band_color = 0x804000;
  }
  return t;
}

}  // namespace tarvo::app
