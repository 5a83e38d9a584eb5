#include "app/update_description.h"

#include <algorithm>

#include "app/product.h"
#include "install/start_ini.h"
#include "text/profile.h"

namespace tarvo::app {
namespace {

// A description may ask for any count; reading two billion absent sections would hang the
// program, so counts are read up to this many.
constexpr int32_t kMaxSections = 1024;

text::ProfileFile LoadProfile(platform::FileSystem& fs, const std::string& path) {
  if (!fs.FileExists(path)) return {};
  try {
    auto file = fs.Open(path, platform::Access::kRead, platform::Share::kDenyNone,
                        platform::Disposition::kOpenExisting);
    const uint64_t size = file->Size();
    if (size > (64u << 20)) return {};  // not a description
    std::string bytes(static_cast<size_t>(size), '\0');
    bytes.resize(file->Read(bytes.data(), bytes.size()));
    return text::ProfileFile::Parse(bytes);
  } catch (const platform::PlatformError&) {
    return {};  // an unreadable file reads as an empty one: every value takes its default
  }
}

}  // namespace

DescriptionReadResult ReadUpdateDescription(platform::FileSystem& fs, platform::Dialogs* dialogs,
                                            const std::string& installer_folder) {
  DescriptionReadResult result;
  const text::ProfileFile ini = LoadProfile(fs, installer_folder + kDescriptionFileName);
  UpdateDescription& d = result.description;
  d.Caption = ini.ReadString("Info", "Caption");
  d.BeginText = ini.ReadString("Info", "BeginText");
  d.BackupText = ini.ReadString("Info", "BackupText");
  d.Text = ini.ReadString("Info", "Text");
  d.ComponentCount = ini.ReadInteger("Info", "ComponentCount", 1);
  d.CheckOpenedSm = ini.ReadBool("Info", "CheckOpenedSm", true);
  d.DBFilter = ini.ReadString("Info", "DBFilter");
  const int32_t components = std::min(d.ComponentCount, kMaxSections);
  for (int32_t i = 1; i <= components; ++i) {
    const std::string n = std::to_string(i);
    const std::string section = "Component" + n;
    ComponentEntry c;
    c.Name = ini.ReadString(section, "Name" + n);
    c.Check = ini.ReadBool(section, "Check" + n, false);
    c.Enabled = ini.ReadBool(section, "Enabled" + n, false);
    c.File = ini.ReadString(section, "File" + n);
    if (!fs.FileExists(installer_folder + c.File)) {
      if (dialogs) {
        dialogs->ShowMessage("Файл [" + c.File + "] не найден!", "Ошибка!",
                             {platform::DialogResult::kOk}, platform::MessageIcon::kNone);
      }
      result.ComponentFileMissing = true;
    }
    d.Components.push_back(std::move(c));
  }
  d.BackupCount = ini.ReadInteger("Backup", "BackupCount", 1);
  d.BackupFileName = ini.ReadString("Backup", "BackupFileName");
  const int32_t folders = std::min(d.BackupCount, kMaxSections);
  if (folders > kBackupFolderSlots) d.BackupFolders.resize(static_cast<size_t>(folders));
  for (int32_t i = 1; i <= folders; ++i) {
    d.BackupFolders[static_cast<size_t>(i - 1)] =
        ini.ReadString("Backup", "Backup_Dir" + std::to_string(i));
  }
  return result;
}

std::string ReadBackupDirOverride(platform::FileSystem& fs, const std::string& installer_folder) {
  return install::ReadStartIniBackupDir(fs, installer_folder);
}

}  // namespace tarvo::app
