#include "install/start_ini.h"

#include <cstdint>

#include "text/profile.h"

namespace tarvo::install {
namespace {

// Larger is no settings file: it is not read.
constexpr uint64_t kMaxStartIniSize = 64u << 20;

}  // namespace

std::string ReadStartIniBackupDir(platform::FileSystem& fs, const std::string& installer_folder) {
  const std::string path = installer_folder + kStartIniName;
  try {
    if (!fs.FileExists(path)) return {};
    auto file = fs.Open(path, platform::Access::kRead, platform::Share::kDenyNone,
                        platform::Disposition::kOpenExisting);
    const uint64_t size = file->Size();
    if (size > kMaxStartIniSize) return {};
    std::string bytes(static_cast<size_t>(size), '\0');
    bytes.resize(file->Read(bytes.data(), bytes.size()));
    return text::ProfileFile::Parse(bytes).ReadString("Backup", "Backup_dir");
  } catch (const platform::PlatformError&) {
    return {};  // an unreadable file reads as an absent one
  }
}

}  // namespace tarvo::install
