#include "tools/pack.h"

#include <algorithm>
#include <exception>
#include <set>

#include "app/update_description.h"
#include "archive/zip_archiver.h"
#include "install/quiet_archive.h"
#include "install/restore.h"
#include "platform/path.h"
#include "text/codepage.h"
#include "text/profile.h"

namespace tarvo::pack {
namespace {

using install::NoPersonDialogs;
using install::StopAtFirstFailure;
using platform::DialogResult;

constexpr int kMaxComponents = 1024;
constexpr int kMaxBackupFolders = app::kBackupFolderSlots;
constexpr uint64_t kMaxDescriptionSize = 16u << 20;
const char* const kUserTables[] = {"U_Base8491.db", "U_Link8491.db", "U_Link_mex.DB",
                                   "U_W_list.DB"};

std::string ReadAll(platform::FileSystem& fs, const std::string& path, uint64_t limit) {
  auto file = fs.Open(path, platform::Access::kRead, platform::Share::kDenyWrite,
                      platform::Disposition::kOpenExisting);
  const uint64_t size = file->Size();
  if (size > limit) throw PackError(path + " is too large");
  std::string bytes(static_cast<size_t>(size), '\0');
  bytes.resize(file->Read(bytes.data(), bytes.size()));
  return bytes;
}

std::string Resolve(const std::string& base, const std::string& path) {
  return platform::IsAbsolutePath(path) ? path : base + path;
}

std::string WithSeparator(const std::string& folder) {
  return !folder.empty() && platform::IsPathSeparator(folder.back()) ? folder : folder + "\\";
}

// One "Key=value" line; a value the reader would trim or unquote goes between quotes, which the
// reader removes again.
std::string Line(const std::string& key, const std::string& value) {
  if (value.find_first_of("\r\n") != std::string::npos) {
    throw PackError(key + ": a value cannot span lines");
  }
  const bool edges =
      !value.empty() && (value.front() == ' ' || value.front() == '\t' || value.back() == ' ' ||
                         value.back() == '\t' || value.front() == '"' || value.front() == '\'');
  return key + "=" + (edges ? "\"" + value + "\"" : value) + "\r\n";
}

std::string YesNo(bool b) { return b ? "1" : "0"; }

// Writes the bytes under a working name, then gives the file its name.
void WriteWhole(platform::FileSystem& fs, const std::string& path, const std::string& bytes) {
  const std::string part = path + ".part";
  try {
    auto file = fs.Open(part, platform::Access::kWrite, platform::Share::kExclusive,
                        platform::Disposition::kCreateAlways);
    file->Write(bytes.data(), bytes.size());
    file->Flush();
    file->Close();
  } catch (const platform::PlatformError& e) {
    (void)fs.DeleteFileAt(part);
    throw PackError(std::string("cannot write ") + path + ": " + e.what());
  }
  if (!fs.Rename(part, path)) {
    (void)fs.DeleteFileAt(part);
    throw PackError("cannot name " + path);
  }
}

void MakeArchive(platform::FileSystem& fs, const PackComponent& c, const std::string& source,
                 const std::string& path, const std::string& password) {
  const std::string part = path + ".part";
  NoPersonDialogs dialogs;
  std::string problem;
  int entries = 0;
  try {
    archive::TZipArchiver zip(fs, dialogs);
    zip.SetCompressionLevel(archive::TZipCompressionLevel::clNormal);
    zip.FileName = part;
    zip.BaseDir = source;
    zip.Password = password;
    StopAtFirstFailure(zip, problem);
    zip.OpenArchive(archive::kOpenCreate);
    zip.AddFiles(c.Mask, archive::kFaDefaultSearch, "");
    if (problem.empty() && zip.LastOperationAborted()) problem = "adding was stopped";
    entries = zip.FileCount();
    zip.CloseArchive();
  } catch (const std::exception& e) {
    if (problem.empty()) problem = e.what();
  }
  if (problem.empty() && entries == 0) problem = c.Mask + " matches no file in " + source;
  if (!problem.empty()) {
    (void)fs.DeleteFileAt(part);
    throw PackError("Component \"" + c.Name + "\" (" + c.File + "): " + problem);
  }
  if (!fs.Rename(part, path)) {
    (void)fs.DeleteFileAt(part);
    throw PackError("cannot name " + path);
  }
}

// Why the installer would not extract this component archive; empty when it would.
std::string ArchiveProblem(platform::FileSystem& fs, const std::string& path,
                           const std::string& password, int& entries) {
  install::WholeArchiveCheck check;
  check.password = password;
  check.password_problem = ": the build's password does not decrypt it";
  check.repaired_problem = "it opens only through the repair scan";
  check.open_failed = [&fs, &path](const std::exception& e) -> std::string {
    // Told apart for the vendor: damaged, or no archive at all.
    NoPersonDialogs dialogs;
    archive::TZipArchiver repairing(fs, dialogs);
    repairing.FileName = path;
    try {
      repairing.OpenArchive(archive::kOpenReadDenyWrite);
      return "its directory is damaged: it opens only through the repair scan";
    } catch (const std::exception&) {
      return std::string("it does not open: ") + e.what();
    }
  };
  check.inspect = [&entries](const archive::TZipDirManager& dir) -> std::string {
    entries = dir.items.Count();
    if (entries == 0) return "it holds no entry";
    // Every entry's data apart from the others' and from the directory.
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    std::set<std::string> names;
    for (int i = 0; i < entries; ++i) {
      const archive::TDirItem& item = dir.items[i];
      const std::string why = install::EntryNameProblem(item.FileName, item.IsDirectory());
      if (!why.empty()) return "the entry \"" + item.FileName + "\" has " + why;
      if (!names.insert(text::ToLowerUtf8(item.FileName)).second) {
        return "two entries are named " + item.FileName;
      }
      if (!item.IsDirectory() && !item.IsEncrypted()) {
        return "the entry " + item.FileName + " is not encrypted";
      }
      spans.emplace_back(item.LocalHeaderOffset,
                         item.LocalHeaderOffset + 30 + item.RawName.size() + item.CompressedSize);
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 0; i < spans.size(); ++i) {
      const uint64_t limit = i + 1 < spans.size() ? spans[i + 1].first : dir.directory_start;
      if (spans[i].second > limit) return "its entries overlap";
    }
    return {};
  };
  return install::CheckWholeArchive(fs, path, check);
}

}  // namespace

PackDescription ReadPackDescription(platform::FileSystem& fs, const std::string& path) {
  std::string bytes;
  try {
    bytes = ReadAll(fs, path, kMaxDescriptionSize);
  } catch (const platform::PlatformError& e) {
    throw PackError(std::string("cannot read ") + path + ": " + e.what());
  }
  // Written in UTF-8 by most editors today; the reader takes a marked text as UTF-8.
  if (bytes.rfind("\xEF\xBB\xBF", 0) != 0 && text::IsValidUtf8(bytes)) {
    bytes = "\xEF\xBB\xBF" + bytes;
  }
  const text::ProfileFile ini = text::ProfileFile::Parse(bytes);
  PackDescription d;
  d.Caption = ini.ReadString("Update", "Caption");
  d.BeginText = ini.ReadString("Update", "BeginText");
  d.BackupText = ini.ReadString("Update", "BackupText");
  d.Text = ini.ReadString("Update", "Text");
  d.CheckOpenedSm = ini.ReadBool("Update", "CheckOpenedSm", true);
  d.DBFilter = ini.ReadString("Update", "DBFilter");
  d.Installer = ini.ReadString("Update", "Installer");
  std::set<std::string> files;
  for (int i = 1; i <= kMaxComponents; ++i) {
    const std::string section = "Component" + std::to_string(i);
    PackComponent c;
    c.File = ini.ReadString(section, "File");
    c.Name = ini.ReadString(section, "Name");
    if (c.File.empty() && c.Name.empty()) break;
    if (c.File.empty()) throw PackError("[" + section + "] has no File");
    if (c.File.find_first_of("\\/:") != std::string::npos || c.File == "." || c.File == "..") {
      throw PackError("[" + section + "] File must be a plain file name: " + c.File);
    }
    if (!files.insert(text::ToLowerUtf8(c.File)).second) {
      throw PackError("[" + section + "] File " + c.File + " is named twice");
    }
    c.Check = ini.ReadBool(section, "Check", true);
    c.Enabled = ini.ReadBool(section, "Enabled", true);
    c.Source = ini.ReadString(section, "Source");
    if (c.Source.empty()) throw PackError("[" + section + "] has no Source folder");
    c.Mask = ini.ReadString(section, "Mask");
    if (c.Mask.empty()) c.Mask = "*.*";
    d.Components.push_back(std::move(c));
  }
  if (d.Components.empty()) throw PackError(path + ": no [Component1] with a File");
  d.BackupFileName = ini.ReadString("Backup", "FileName");
  for (int i = 1; i <= kMaxBackupFolders + 1; ++i) {
    const std::string folder = ini.ReadString("Backup", "Folder" + std::to_string(i));
    if (folder.empty()) break;
    if (i > kMaxBackupFolders) {
      throw PackError("[Backup] names more than " + std::to_string(kMaxBackupFolders) + " folders");
    }
    const std::string why = install::EntryNameProblem(folder, true);
    if (!why.empty()) throw PackError("[Backup] Folder" + std::to_string(i) + " has " + why);
    d.BackupFolders.push_back(folder);
  }
  if (d.BackupFolders.empty()) {
    throw PackError("[Backup] Folder1 (the database folder, below the product folder) is missing");
  }
  for (int i = 1;; ++i) {
    const std::string file = ini.ReadString("Files", "File" + std::to_string(i));
    if (file.empty()) break;
    d.Files.push_back(file);
  }
  return d;
}

std::string Update6Text(const PackDescription& d) {
  std::string s = "[Info]\r\n";
  s += Line("Caption", d.Caption) + Line("BeginText", d.BeginText) +
       Line("BackupText", d.BackupText) + Line("Text", d.Text) +
       Line("ComponentCount", std::to_string(d.Components.size())) +
       Line("CheckOpenedSm", YesNo(d.CheckOpenedSm)) + Line("DBFilter", d.DBFilter);
  for (size_t i = 0; i < d.Components.size(); ++i) {
    const PackComponent& c = d.Components[i];
    const std::string n = std::to_string(i + 1);
    s += "[Component" + n + "]\r\n" + Line("Name" + n, c.Name) + Line("Check" + n, YesNo(c.Check)) +
         Line("Enabled" + n, YesNo(c.Enabled)) + Line("File" + n, c.File);
  }
  s += "[Backup]\r\n" + Line("BackupCount", std::to_string(d.BackupFolders.size())) +
       Line("BackupFileName", d.BackupFileName);
  for (size_t i = 0; i < d.BackupFolders.size(); ++i) {
    s += Line("Backup_Dir" + std::to_string(i + 1), d.BackupFolders[i]);
  }
  return s;
}

void PackUpdate(platform::FileSystem& fs, const PackDescription& d, const std::string& base,
                const std::string& out_folder, const std::string& password) {
  const std::string out = WithSeparator(out_folder);
  if (fs.FileExists(out_folder)) throw PackError(out_folder + " is a file");
  if (fs.DirectoryExists(out_folder)) {
    for (const platform::DirEntry& e : fs.List(out, "*")) {
      if (e.name != "." && e.name != "..") throw PackError(out_folder + " is not empty");
    }
  } else if (!fs.CreateDirectories(out_folder)) {
    throw PackError("cannot make " + out_folder);
  }
  // The description first: a text the installer would read otherwise stops here, before any
  // archive is made.
  const std::string ini = Update6Text(d);
  const auto ansi = text::FromUtf8Exact(ini, text::CodePage::kWindows1251);
  if (!ansi) throw PackError("a text of the description has a character outside code page 1251");

  for (const PackComponent& c : d.Components) {
    MakeArchive(fs, c, WithSeparator(Resolve(base, c.Source)), out + c.File, password);
  }
  for (const std::string& f : d.Files) {
    const std::string from = Resolve(base, f);
    const std::string name = platform::ExtractFileName(from);
    std::vector<std::string> names;
    if (name.find_first_of("*?") == std::string::npos) {
      if (!fs.FileExists(from)) throw PackError("[Files] " + f + " is missing");
      names.push_back(name);
    } else {
      try {
        for (const platform::DirEntry& e : fs.List(platform::ExtractFilePath(from), name)) {
          if (!(e.attributes & platform::kAttrDirectory)) names.push_back(e.name);
        }
      } catch (const platform::PlatformError& e) {
        throw PackError("[Files] " + f + ": " + e.what());
      }
      if (names.empty()) throw PackError("[Files] " + f + " matches no file");
    }
    for (const std::string& n : names) {
      const std::string source = platform::ExtractFilePath(from) + n;
      if (!fs.CopyFileNoOverwrite(source, out + n)) {
        throw PackError("cannot copy " + source + " to " + out + n);
      }
    }
  }
  if (d.Installer.empty()) throw PackError("no installer given (Installer= or --installer)");
  const std::string installer = Resolve(base, d.Installer);
  if (!fs.FileExists(installer)) throw PackError("the installer " + installer + " is missing");
  if (!fs.CopyFileNoOverwrite(installer, out + "TarvoUpdate.exe")) {
    throw PackError("cannot copy the installer to " + out);
  }
  WriteWhole(fs, out + "update6.ini", *ansi);

  // Read back as the installer reads it: every value must be the one meant.
  const app::UpdateDescription got = app::ReadUpdateDescription(fs, nullptr, out).description;
  std::vector<std::pair<std::string, bool>> same = {
      {"Caption", got.Caption == d.Caption},
      {"BeginText", got.BeginText == d.BeginText},
      {"BackupText", got.BackupText == d.BackupText},
      {"Text", got.Text == d.Text},
      {"CheckOpenedSm", got.CheckOpenedSm == d.CheckOpenedSm},
      {"DBFilter", got.DBFilter == d.DBFilter},
      {"BackupFileName", got.BackupFileName == d.BackupFileName},
      {"components", got.Components.size() == d.Components.size()}};
  for (size_t i = 0; i < d.Components.size() && i < got.Components.size(); ++i) {
    const app::ComponentEntry& g = got.Components[i];
    const PackComponent& c = d.Components[i];
    same.push_back({"component " + std::to_string(i + 1), g.Name == c.Name && g.File == c.File &&
                                                              g.Check == c.Check &&
                                                              g.Enabled == c.Enabled});
  }
  for (size_t i = 0; i < d.BackupFolders.size(); ++i) {
    same.push_back({"backup folder " + std::to_string(i + 1),
                    i < got.BackupFolders.size() && got.BackupFolders[i] == d.BackupFolders[i]});
  }
  for (const auto& [field, ok] : same) {
    if (!ok) {
      (void)fs.DeleteFileAt(out + "update6.ini");
      throw PackError("update6.ini would not read back the " + field + " meant");
    }
  }
}

VerifyReport VerifyUpdate(platform::FileSystem& fs, const std::string& folder_in,
                          const std::string& password) {
  VerifyReport r;
  const std::string folder = WithSeparator(folder_in);
  if (!fs.FileExists(folder + "update6.ini")) {
    r.problems.push_back(folder + "update6.ini is missing");
    return r;
  }
  const app::UpdateDescription d = app::ReadUpdateDescription(fs, nullptr, folder).description;
  auto line = [&r](const std::string& key, const std::string& value) {
    r.lines.push_back(key + "=" + value);
  };
  line("Caption", d.Caption);
  line("BeginText", d.BeginText);
  line("BackupText", d.BackupText);
  line("Text", d.Text);
  line("ComponentCount", std::to_string(d.ComponentCount));
  line("CheckOpenedSm", YesNo(d.CheckOpenedSm));
  line("DBFilter", d.DBFilter);
  for (size_t i = 0; i < d.Components.size(); ++i) {
    const app::ComponentEntry& c = d.Components[i];
    line("Component[" + std::to_string(i + 1) + "]",
         YesNo(c.Check) + "," + YesNo(c.Enabled) + "," + c.File + "," + c.Name);
  }
  line("BackupCount", std::to_string(d.BackupCount));
  line("BackupFileName", d.BackupFileName);
  for (int i = 0; i < d.BackupCount && i < static_cast<int>(d.BackupFolders.size()); ++i) {
    line("BackupFolder[" + std::to_string(i + 1) + "]", d.BackupFolders[i]);
  }

  if (d.Components.empty()) r.problems.push_back("the update has no component");
  if (d.BackupCount < 1 || d.BackupFolders[0].empty()) {
    r.problems.push_back("no database folder: [Backup] Backup_Dir1 is missing");
  }
  if (d.BackupCount > kMaxBackupFolders) {
    r.problems.push_back("BackupCount " + std::to_string(d.BackupCount) + " is above " +
                         std::to_string(kMaxBackupFolders));
  }
  for (int i = 0; i < d.BackupCount && i < static_cast<int>(d.BackupFolders.size()); ++i) {
    const std::string why = install::EntryNameProblem(d.BackupFolders[i], true);
    if (!d.BackupFolders[i].empty() && !why.empty()) {
      r.problems.push_back("backup folder " + std::to_string(i + 1) + " has " + why);
    }
  }
  if (!fs.FileExists(folder + "TarvoUpdate.exe")) {
    r.problems.push_back("TarvoUpdate.exe is missing");
  }
  std::set<std::string> seen;
  for (size_t i = 0; i < d.Components.size(); ++i) {
    const app::ComponentEntry& c = d.Components[i];
    const std::string what = "component " + std::to_string(i + 1) + " (" + c.File + ")";
    const std::string key = "Archive[" + std::to_string(i + 1) + "]";
    if (c.File.empty()) {
      r.problems.push_back(what + ": no File");
      continue;
    }
    if (!fs.FileExists(folder + c.File)) {
      line(key, "missing");
      r.problems.push_back(what + ": the archive is missing");
      continue;
    }
    int entries = 0;
    const std::string problem = ArchiveProblem(fs, folder + c.File, password, entries);
    if (!problem.empty()) {
      line(key, "refused: " + problem);
      r.problems.push_back(what + ": " + problem);
    } else {
      line(key, std::to_string(entries) + " entries, sound");
    }
  }
  std::string missing;
  for (const char* table : kUserTables) {
    if (!fs.FileExists(folder + table))
      missing += (missing.empty() ? "" : ", ") + std::string(table);
  }
  line("UserTables", missing.empty()
                         ? "present"
                         : "missing " + missing + " (only replace mode can be installed)");
  return r;
}

}  // namespace tarvo::pack
