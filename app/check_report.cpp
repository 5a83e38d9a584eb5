#include "app/check_report.h"

#include "app/product.h"
#include "app/readiness.h"
#include "app/update_description.h"

namespace tarvo::app {
namespace {

const char* Flag(bool b) { return b ? "1" : "0"; }

std::string Hex(uint32_t v) {
  static const char* digits = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) s += digits[(v >> shift) & 0xF];
  return s;
}

}  // namespace

CheckExit RunCheck(platform::Services& services, const std::string& installer_folder,
                   bool replace_mode, std::ostream& out) {
  if (!services.fs->FileExists(installer_folder + kDescriptionFileName)) {
    out << "Error=Не найден файл инициализации!\n";
    return CheckExit::kNoDescription;
  }
  // Missing archives are reported as data here, never as message boxes.
  const DescriptionReadResult read = ReadUpdateDescription(*services.fs, nullptr, installer_folder);
  const UpdateDescription& d = read.description;
  out << "Caption=" << d.Caption << "\n";
  out << "BeginText=" << d.BeginText << "\n";
  out << "BackupText=" << d.BackupText << "\n";
  out << "Text=" << d.Text << "\n";
  out << "ComponentCount=" << d.ComponentCount << "\n";
  out << "CheckOpenedSm=" << Flag(d.CheckOpenedSm) << "\n";
  out << "DBFilter=" << d.DBFilter << "\n";
  out << "BackupCount=" << d.BackupCount << "\n";
  out << "BackupFileName=" << d.BackupFileName << "\n";
  for (size_t i = 0; i < d.BackupFolders.size(); ++i) {
    out << "BackupFolders[" << i << "]=" << d.BackupFolders[i] << "\n";
  }
  for (size_t i = 0; i < d.Components.size(); ++i) {
    const ComponentEntry& c = d.Components[i];
    out << "Component[" << i + 1 << "]=" << Flag(c.Check) << "," << Flag(c.Enabled) << "," << c.File
        << "," << c.Name << "\n";
  }
  out << "ComponentFileMissing=" << Flag(read.ComponentFileMissing) << "\n";

  ProductChecks checks(services, installer_folder, d);
  const StartupVerdict& v = checks.EvaluateStartup();
  out << "ProductFolder=" << v.ProductFolder << "\n";
  out << "InstalledVersion=" << v.InstalledVersion << "\n";
  out << "ProductFound=" << Flag(v.ProductFound) << "\n";
  out << "ProductIdle=" << Flag(v.ProductIdle) << "\n";
  out << "NoOpenEstimates=" << Flag(v.NoOpenEstimates) << "\n";
  out << "VersionSufficient=" << Flag(v.VersionSufficient) << "\n";
  out << "VersionRow=" << v.VersionRowText << "\n";
  out << "UnfinishedInstallation=" << Flag(v.unfinished_installation) << "\n";
  if (v.unfinished_installation) out << "Unfinished=" << v.unfinished_text << "\n";

  const MemoText* memo = &v.memo;
  bool can_start = v.Ready() && !read.ComponentFileMissing;
  if (v.Ready()) {
    const bool transfer = !replace_mode && !v.force_replace_mode;
    out << "TransferModeAvailable=" << Flag(!v.force_replace_mode) << "\n";
    out << "Mode=" << (transfer ? "transfer" : "replace") << "\n";
    const TableVerdict& t = checks.CheckTables(transfer);
    out << "UpdateModulesComplete=" << Flag(t.UpdateModulesComplete) << "\n";
    out << "DatabaseIntact=" << Flag(t.DatabaseIntact) << "\n";
    out << "DatabaseFolder=" << checks.DatabaseFolder() << "\n";
    out << "Header=" << t.header_text << "\n";
    memo = &t.memo;
    can_start = can_start && t.Ready();
  }
  out << "MemoColor=" << Hex(memo->color) << "\n";
  for (const std::string& line : memo->lines) out << "Memo=" << line << "\n";
  return can_start ? CheckExit::kCanStart : CheckExit::kCannotStart;
}

}  // namespace tarvo::app
