#include "install/run_progress.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <stdexcept>

#include "archive/zip_archiver.h"
#include "db/family_journal.h"

namespace tarvo::install {
namespace {

constexpr uint64_t kMaxProgressBytes = 64 * 1024;
constexpr char kMagicLine[] = "TarvoUpdateProgress=1";

uint32_t Crc32(const std::string& s) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

std::string Hex(uint32_t v) {
  char b[9];
  std::snprintf(b, sizeof b, "%08X", v);
  return b;
}

bool ValidValue(const std::string& v) {
  return v.find_first_of("\r\n") == std::string::npos && v.find('\0') == std::string::npos;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string SameFolderKey(std::string folder) {
  for (char& c : folder)
    if (c == '/') c = '\\';
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return Lower(folder);
}

// "FC" and one to four hexadecimal digits, ".tmp": what the extraction makes beside the file it
// replaces, and nothing a person would name so.
bool ExtractionTempName(const std::string& name) {
  if (name.size() < 7 || name.size() > 10) return false;
  if (Lower(name.substr(0, 2)) != "fc" || Lower(name.substr(name.size() - 4)) != ".tmp")
    return false;
  for (size_t i = 2; i + 4 < name.size(); ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Reading an archive's directory asks nothing; should it ever, the answer is no.
class SilentDialogs : public platform::Dialogs {
 public:
  platform::DialogResult ShowMessage(const std::string&, const std::string&,
                                     const std::vector<platform::DialogResult>&,
                                     platform::MessageIcon, platform::DialogResult) override {
    return platform::DialogResult::kAbort;
  }
  bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
};

// Calls `each` with every entry of the archive whose stored path stays below the folder it is
// extracted into: a path that climbs out or is absolute reaches no folder of ours.
void ForEachEntryBelow(platform::FileSystem& fs, const std::string& archive_path,
                       const std::function<void(const archive::TZipArchiveItem&)>& each) {
  SilentDialogs silent;
  archive::TZipArchiver zip(fs, silent);
  zip.FileName = archive_path;
  zip.OpenArchive(archive::kOpenReadDenyWrite);
  archive::TZipArchiveItem item;
  for (bool more = zip.FindFirst("*.*", item); more; more = zip.FindNext(item)) {
    const std::string& p = item.StoredPath;
    if (p.find("..") != std::string::npos || p.find(':') != std::string::npos ||
        (!p.empty() && (p[0] == '\\' || p[0] == '/')))
      continue;
    each(item);
  }
  zip.CloseArchive();
}

// The folders below the product folder that the update's component archives extract into.
std::set<std::string> ExtractionFolders(platform::FileSystem& fs, MainWindowOps& window,
                                        const RunSettings& settings) {
  std::set<std::string> folders{""};
  for (int row = 1; row < window.ComponentRowCount(); ++row) {
    const std::string archive = settings.installer_folder + window.ComponentFile(row);
    if (!fs.FileExists(archive)) continue;
    try {
      ForEachEntryBelow(fs, archive, [&folders](const archive::TZipArchiveItem& item) {
        folders.insert(item.StoredPath);
      });
    } catch (const std::exception&) {
      // An archive that cannot be read now was not extracted by the killed run either.
    }
  }
  return folders;
}

}  // namespace

void FlushExtractedFiles(platform::FileSystem& fs, MainWindowOps& window,
                         const RunSettings& settings) {
  for (int row = 1; row < window.ComponentRowCount(); ++row) {
    if (!window.ComponentChecked(row)) continue;
    const std::string archive = settings.installer_folder + window.ComponentFile(row);
    if (!fs.FileExists(archive)) continue;
    std::vector<std::string> files;
    try {
      ForEachEntryBelow(fs, archive, [&](const archive::TZipArchiveItem& item) {
        if (!item.FileName.empty())
          files.push_back(settings.product_folder + item.StoredPath + item.FileName);
      });
    } catch (const std::exception& e) {
      throw std::runtime_error("Cannot read the component archive " + archive + ": " + e.what());
    }
    for (const std::string& path : files) {
      if (!fs.FileExists(path)) continue;
      try {
        auto f = fs.Open(path, platform::Access::kReadWrite, platform::Share::kDenyNone,
                         platform::Disposition::kOpenExisting);
        f->Flush();
        f->Close();
      } catch (const platform::PlatformError& e) {
        throw std::runtime_error("Cannot write the installed file " + path +
                                 " through to the disk: " + e.what());
      }
    }
  }
}

std::string ProgressPath(const RunSettings& settings) {
  return settings.product_folder + kProgressFileName;
}

ProgressState ReadRunProgress(platform::FileSystem& fs, const std::string& path) {
  ProgressState state;
  if (!fs.FileExists(path)) return state;
  state.present = true;
  std::string text;
  try {
    auto f = fs.Open(path, platform::Access::kRead, platform::Share::kDenyWrite,
                     platform::Disposition::kOpenExisting);
    const uint64_t size = f->Size();
    if (size > kMaxProgressBytes) return state;
    text.resize(static_cast<size_t>(size));
    size_t got = 0;
    while (got < text.size()) {
      const size_t n = f->Read(text.data() + got, text.size() - got);
      if (n == 0) break;
      got += n;
    }
    text.resize(got);
    f->Close();
  } catch (const platform::PlatformError&) {
    return state;
  }
  const size_t check = text.rfind("Check=");
  if (check == std::string::npos || (check > 0 && text[check - 1] != '\n')) return state;
  const std::string body = text.substr(0, check);
  std::string sum = text.substr(check + 6);
  while (!sum.empty() && (sum.back() == '\n' || sum.back() == '\r')) sum.pop_back();
  if (sum != Hex(Crc32(body))) return state;
  RunProgress p;
  bool magic = false;
  int step = -1;
  size_t at = 0;
  while (at < body.size()) {
    size_t end = body.find('\n', at);
    if (end == std::string::npos) end = body.size();
    const std::string line = body.substr(at, end - at);
    at = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (line == kMagicLine) magic = true;
    if (key == "Step" && value.size() == 1 && value[0] >= '1' && value[0] <= '4')
      step = value[0] - '0';
    if (key == "InstallerFolder") p.installer_folder = value;
    if (key == "DatabaseFolder") p.database_folder = value;
    if (key == "Backup") p.backup_path = value;
  }
  if (!magic || step < 0) return state;
  p.step = static_cast<RunStep>(step);
  state.valid = true;
  state.progress = p;
  return state;
}

void WriteRunProgress(platform::FileSystem& fs, const std::string& path, const RunProgress& p) {
  if (!ValidValue(p.installer_folder) || !ValidValue(p.database_folder) ||
      !ValidValue(p.backup_path))
    throw std::runtime_error("A folder name with a line break cannot be recorded");
  std::string body = std::string(kMagicLine) + "\n";
  body += "Step=" + std::to_string(static_cast<int>(p.step)) + "\n";
  body += "InstallerFolder=" + p.installer_folder + "\n";
  body += "DatabaseFolder=" + p.database_folder + "\n";
  body += "Backup=" + p.backup_path + "\n";
  const std::string text = body + "Check=" + Hex(Crc32(body)) + "\n";
  const std::string staging = path + ".new";
  try {
    auto f = fs.Open(staging, platform::Access::kWrite, platform::Share::kExclusive,
                     platform::Disposition::kCreateAlways);
    f->Write(text.data(), text.size());
    f->Flush();
    f->Close();
  } catch (const platform::PlatformError& e) {
    throw std::runtime_error("Cannot record the installation's progress in " + path + ": " +
                             e.what());
  }
  if (!fs.ReplaceFile(staging, path))
    throw std::runtime_error("Cannot record the installation's progress in " + path);
}

void DeleteRunProgress(platform::FileSystem& fs, const std::string& path) {
  if (fs.FileExists(path) && !fs.DeleteFileAt(path))
    throw std::runtime_error("Cannot delete the installation's progress record " + path);
  if (fs.FileExists(path + ".new"))
    (void)fs.DeleteFileAt(path + ".new");  // never the record itself
}

std::string UnfinishedMessage(const std::string& installer_folder, const std::string& backup_path) {
  std::string text =
      "Предыдущая установка обновления не была завершена. Пользовательские обоснования "
      "сохранены в таблицах U_Base8491, U_Link8491, U_Link_mex и U_W_list в папке \"" +
      installer_folder + "\" и ещё не перенесены в новую базу данных.";
  if (!backup_path.empty())
    text += " Резервная копия прежней базы данных: \"" + backup_path + "\".";
  text +=
      " Не удаляйте и не изменяйте эту папку. Запустите обновление из неё снова и выберите "
      "перенос пользовательских данных: установка будет завершена.";
  return text;
}

UnfinishedVerdict JudgeUnfinished(const ProgressState& state, const RunSettings& settings,
                                  bool transfer_mode, bool can_transfer) {
  UnfinishedVerdict v;
  if (!state.present) return v;
  if (!state.valid) {
    // Unreadable: the users' data may be waiting, and nothing says where; nothing is touched.
    v.unfinished = true;
    v.message = UnfinishedMessage(settings.installer_folder, "") + " Файл состояния установки \"" +
                ProgressPath(settings) + "\" повреждён: обратитесь к администратору.";
    v.log_note = "The progress record " + ProgressPath(settings) +
                 " is damaged; the users' data may be in the user data tables of " +
                 settings.installer_folder + "; nothing was changed";
    return v;
  }
  const RunProgress& p = state.progress;
  if (p.step != RunStep::kSaved && p.step != RunStep::kInstalled) return v;
  v.unfinished = true;
  const std::string where = "the users' data are saved in the user data tables of " +
                            p.installer_folder + " (backup " + p.backup_path + ")";
  v.message = UnfinishedMessage(p.installer_folder, p.backup_path);
  if (SameFolderKey(p.installer_folder) != SameFolderKey(settings.installer_folder)) {
    v.log_note = "An earlier installation is unfinished: " + where +
                 "; run the update from that folder in transfer mode";
  } else if (!transfer_mode || !can_transfer) {
    v.log_note = "An earlier installation is unfinished: " + where +
                 "; run the update again in transfer mode to finish it";
  } else {
    v.resumable = true;
    v.log_note = "An earlier installation is unfinished: " + where + "; finishing it";
  }
  return v;
}

std::vector<std::string> RepairAfterKilledRun(platform::FileSystem& fs, MainWindowOps& window,
                                              const RunSettings& settings,
                                              const ProgressState& state) {
  std::vector<std::string> notes;
  for (const std::string& folder : {settings.database_folder, settings.installer_folder}) {
    if (folder.empty() || !fs.DirectoryExists(folder)) continue;
    if (const int n = db::RecoverFolder(fs, folder); n > 0)
      notes.push_back(std::to_string(n) + " table(s) in " + folder + " put back as they were");
  }
  // Only a run that got as far as installing components can have left extraction files, and
  // only in the folders its archives extract into.
  const bool extracting = state.valid && (state.progress.step == RunStep::kSaved ||
                                          state.progress.step == RunStep::kInstalled ||
                                          state.progress.step == RunStep::kExtracting);
  if (!extracting) return notes;
  for (const std::string& sub : ExtractionFolders(fs, window, settings)) {
    const std::string folder = settings.product_folder + sub;
    if (!fs.DirectoryExists(folder)) continue;
    std::vector<platform::DirEntry> entries;
    try {
      entries = fs.List(folder, "FC*.tmp");
    } catch (const platform::PlatformError&) {
      continue;
    }
    for (const auto& e : entries) {
      if ((e.attributes & platform::kAttrDirectory) || !ExtractionTempName(e.name)) continue;
      const std::string path =
          folder + (folder.back() == '\\' || folder.back() == '/' ? "" : "\\") + e.name;
      if (!fs.DeleteFileAt(path))
        throw std::runtime_error("Cannot delete the file " + path +
                                 " that an interrupted installation left");
      notes.push_back("Removed " + path + ", left by an interrupted installation");
    }
  }
  return notes;
}

}  // namespace tarvo::install
