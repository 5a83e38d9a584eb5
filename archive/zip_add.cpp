// AddFiles: walks the disk for a mask and records an entry for every file and folder it admits;
// the update pass then writes them.
#include <algorithm>
#include <ctime>

#include "archive/zip_archiver.h"
#include "platform/path.h"
#include "text/codepage.h"

namespace tarvo::archive {

namespace {

bool IsSep(char c) { return c == '\\' || c == '/'; }

// Paths compare in one spelling: "\" separators.
std::string Canon(std::string s) {
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

bool HasWildcards(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

bool StartsWithIgnoreCase(const std::string& s, const std::string& prefix) {
  if (prefix.size() > s.size()) return false;
  return text::EqualsIgnoreCase(std::string_view(s).substr(0, prefix.size()), prefix);
}

// A mask or path that stands on its own: a drive, a network path, a POSIX root, or a climb.
bool IsAbsoluteMask(const std::string& m) {
  return m.find(':') != std::string::npos || (m.size() >= 2 && IsSep(m[0]) && IsSep(m[1])) ||
         m.find("..\\") != std::string::npos || m.find("../") != std::string::npos ||
         platform::IsAbsolutePath(m);
}

std::string WithSep(const std::string& folder) {
  if (folder.empty() || IsSep(folder.back())) return folder;
  return folder + "\\";
}

platform::DosDateTime Now() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  platform::LocalTime lt;
  lt.year = tm.tm_year + 1900;
  lt.month = tm.tm_mon + 1;
  lt.day = tm.tm_mday;
  lt.hour = tm.tm_hour;
  lt.minute = tm.tm_min;
  lt.second = tm.tm_sec;
  return platform::ToDosDateTime(lt);
}

}  // namespace

struct TZipBaseArchiver::WalkState {
  uint32_t search_attr = kFaDefaultSearch;
  std::vector<std::string> exclusions;
  std::string base;  // resolved BaseDir with its separator
};

std::string TZipBaseArchiver::ResolvedBaseDir() const {
  std::string base = BaseDir.empty() ? fs_.FullPath(".") : BaseDir;
  if (!platform::IsAbsolutePath(base) && base.find(':') == std::string::npos)
    base = fs_.FullPath(base);
  return WithSep(Canon(base));
}

// Path matching of a disk path against an exclusion or no-compression mask.
static bool PathMatches(std::string x, bool is_folder, std::string e, const std::string& base) {
  if (e == "*.*") return true;
  x = Canon(x);
  e = Canon(e);
  if (is_folder) {
    x = WithSep(x);
    if (e.empty() || e.back() != '*') e = WithSep(e);
  }
  if (e.find('\\') == std::string::npos && !IsAbsoluteMask(e)) {
    std::string name = platform::ExtractFileName(platform::ExcludeTrailingBackslash(x));
    return TMask(is_folder ? platform::ExcludeTrailingBackslash(e) : e).Matches(name);
  }
  if (!IsAbsoluteMask(e)) e = base + e;
  std::string x_folder =
      platform::ExtractFilePath(is_folder ? platform::ExcludeTrailingBackslash(x) : x);
  std::string e_folder = platform::ExtractFilePath(
      is_folder && e.back() == '\\' ? platform::ExcludeTrailingBackslash(e) : e);
  if (text::EqualsIgnoreCase(x_folder, e_folder)) return TMask(e).Matches(x);
  return platform::ExtractFileName(e) == "*.*" && StartsWithIgnoreCase(x_folder, e_folder);
}

void TZipBaseArchiver::AddFiles(const std::string& file_mask, uint32_t search_attr,
                                const std::string& exclusion_mask) {
  RequireOpen();
  WalkState walk;
  walk.search_attr = search_attr;
  if (!exclusion_mask.empty()) walk.exclusions.push_back(exclusion_mask);
  // The archive never adds itself.
  walk.exclusions.push_back(Canon(fs_.FullPath(FileName)));
  BeginUpdate();
  try {
    std::lock_guard<std::recursive_mutex> lock(ZipArchiveLock());
    walk.base = ResolvedBaseDir();
    WalkDisk(file_mask, walk.base, walk);
  } catch (...) {
    // Nothing was written: the directory goes back to what the file holds.
    CancelUpdate();
    dir_.items = dir_.rollback;
    throw;
  }
  try {
    EndUpdate();
  } catch (...) {
    CancelUpdate();
    throw;
  }
}

void TZipBaseArchiver::WalkDisk(const std::string& mask, const std::string& folder,
                                WalkState& walk) {
  const std::string d = WithSep(Canon(folder));
  std::string m = Canon(mask);
  std::string full;
  bool absolute = false;
  if (m.size() >= 1 && IsSep(m[0]) && !(m.size() >= 2 && IsSep(m[1])) &&
      !platform::IsAbsolutePath(mask)) {
    full = m.size() == 1 ? d : d + m.substr(1);
  } else if (m.rfind(".\\", 0) == 0) {
    full = d + m.substr(2);
  } else if (IsAbsoluteMask(mask)) {
    full = m;
    absolute = true;
  } else {
    full = d + m;
  }

  if (absolute && !HasWildcards(full) && fs_.FileExists(full)) {
    Admit(full, false, walk);
    return;
  }
  const std::string dir = platform::ExtractFilePath(full);
  const std::string pattern = platform::ExtractFileName(full);
  const uint32_t file_attr = walk.search_attr & ~platform::kAttrDirectory;
  std::vector<platform::DirEntry> entries;
  try {
    entries = fs_.List(dir.empty() ? d : dir, "*");
  } catch (const platform::PlatformError&) {
    // A folder that does not exist holds nothing; one that exists but cannot be listed would
    // leave an archive silently short of its files.
    if (!fs_.DirectoryExists(dir.empty() ? d : dir)) return;
    throw;
  }
  std::sort(entries.begin(), entries.end(),
            [](const platform::DirEntry& a, const platform::DirEntry& b) {
              return text::CompareIgnoreCase(a.name, b.name) < 0;
            });
  const TMask name_mask(pattern);
  for (const platform::DirEntry& e : entries) {
    if (e.attributes & platform::kAttrDirectory) continue;
    if (!pattern.empty() && !name_mask.Matches(e.name)) continue;
    // Hidden and system files only when the set asks for them, as a Windows search does.
    if (e.attributes & 0x06 & ~file_attr) continue;
    bool admitted =
        (e.attributes & file_attr) != 0 || (e.attributes == 0 && (file_attr & 0x27) == 0x27);
    if (admitted) Admit(dir + e.name, false, walk);
  }
  if (!(walk.search_attr & platform::kAttrDirectory) && !Options.Recurse) return;
  const TMask full_mask(full);
  for (const platform::DirEntry& e : entries) {
    if (!(e.attributes & platform::kAttrDirectory) || e.name == "." || e.name == "..") continue;
    const std::string sub = dir + e.name;
    bool excluded = false;
    for (const std::string& x : walk.exclusions)
      excluded = excluded || PathMatches(sub, true, x, walk.base);
    if (excluded) continue;
    if ((walk.search_attr & platform::kAttrDirectory) &&
        (full_mask.Matches(sub) || full_mask.Matches(sub + "."))) {
      Admit(sub, true, walk);
      WalkDisk("*.*", sub, walk);
    } else if (Options.Recurse) {
      bool has_sep = mask.find_first_of("\\/") != std::string::npos;
      if (!has_sep)
        WalkDisk(mask, sub, walk);
      else if (HasWildcards(mask))
        WalkDisk(pattern, sub, walk);
    }
  }
}

void TZipBaseArchiver::Admit(const std::string& path, bool is_folder, WalkState& walk) {
  for (const std::string& x : walk.exclusions)
    if (PathMatches(path, is_folder, x, walk.base)) return;
  const std::string shown = is_folder ? WithSep(path) : path;
  bool confirm = true;
  DoConfirmProcessFile(shown, TZipProcessOperation::poAdd, confirm);
  if (!confirm) return;
  RecordEntry(path, is_folder);
  if (is_folder) return;
  for (const std::string& nc : NoCompressionMasks) {
    if (!PathMatches(path, false, nc, walk.base)) continue;
    int i = dir_.items.IndexOf(StoredNameOf(path, false));
    if (i >= 0 && dir_.items[i].Changed) {
      dir_.items[i].CompressionMode = 0;
      dir_.items[i].header.method = kMethodStored;
    }
    break;
  }
}

std::string TZipBaseArchiver::StoredNameOf(const std::string& path, bool is_folder) const {
  std::string x = Canon(path);
  if (!x.empty() && x.back() == '\\') x.pop_back();
  if (!x.empty() && x.back() == '.') x.pop_back();
  const std::string base = ResolvedBaseDir();
  switch (Options.StorePath) {
    case TZipStorePathMode::spNoPath:
      x = platform::ExtractFileName(x);
      break;
    case TZipStorePathMode::spRelativePath:
      if (StartsWithIgnoreCase(x, base)) x = x.substr(base.size());
      [[fallthrough]];
    case TZipStorePathMode::spFullPath: {
      size_t colon = x.find(':');
      if (colon != std::string::npos) {
        x = x.substr(colon + 1);
      } else if (x.size() >= 2 && x[0] == '\\' && x[1] == '\\') {
        size_t server_end = x.find('\\', 2);
        x = server_end == std::string::npos ? std::string() : x.substr(server_end + 1);
      }
      if (!x.empty() && x[0] == '\\') x.erase(0, 1);
      break;
    }
    case TZipStorePathMode::spFullPathWithDrive:
      break;
  }
  std::replace(x.begin(), x.end(), '\\', '/');
  if (is_folder) x += '/';
  return x;
}

bool TZipBaseArchiver::Replaces(const TDirItem& old, const std::string& path,
                                const std::string& name, uint32_t packed_time) {
  int32_t entry_time = static_cast<int32_t>((uint32_t{old.header.date} << 16) | old.header.time);
  int32_t file_time = static_cast<int32_t>(packed_time);
  bool replace = false;
  switch (Options.OverwriteMode) {
    case TZipOverwriteMode::omAlways:
      replace = true;
      break;
    case TZipOverwriteMode::omNever:
      replace = false;
      break;
    case TZipOverwriteMode::omPrompt: {
      std::string dest = Canon(name);
      replace = true;
      DoConfirmOverwrite(path, dest, replace);
      break;
    }
    case TZipOverwriteMode::omIfNewer:
      replace = file_time > entry_time;
      break;
    case TZipOverwriteMode::omIfOlder:
      replace = file_time < entry_time;
      break;
  }
  return replace;
}

void TZipBaseArchiver::RecordEntry(const std::string& path, bool is_folder) {
  std::string name = StoredNameOf(path, is_folder);
  uint32_t attributes = 0x20;
  if (is_folder) {
    attributes = 0x10;
  } else if (fs_.FileExists(path)) {
    attributes = fs_.GetAttributes(path).value_or(0x20);
  }
  std::string comment;
  std::string shown = Canon(name);
  DoStoreFile(shown, attributes, comment, path);
  name = shown;
  std::replace(name.begin(), name.end(), '\\', '/');

  std::optional<platform::DosDateTime> when;
  if (!is_folder) when = fs_.GetLastWriteTime(path);
  platform::DosDateTime time = when.value_or(Now());

  int existing = dir_.items.IndexOf(name);
  TZipProcessOperation op = TZipProcessOperation::poAdd;
  if (existing >= 0) {
    if (!Replaces(dir_.items[existing], path, name, time.Packed())) return;
    op = TZipProcessOperation::poUpdate;
  }

  TDirItem item;
  if (existing >= 0) {
    item.ExtraBlocks = dir_.items[existing].ForeignExtraBlocks();
    item.OriginalIndex = dir_.items[existing].OriginalIndex;
  }
  CentralDirHeader& h = item.header;
  h.version_made_by = h.version_needed = Options.OEMFileNames ? kVersionOem : kVersionAnsi;
  h.flags = Password.empty() ? 0 : kFlagEncrypted;
  h.method = compression_method_;
  h.time = time.time;
  h.date = time.date;
  h.crc32 = 0xFFFFFFFF;
  h.external_attributes = attributes;
  if (is_folder) {
    h.flags = kFlagDirectory;
    h.method = kMethodStored;
    h.crc32 = 0;
  }
  item.FileName = name;
  item.Comment = comment;
  item.Changed = true;
  item.Operation = op;
  item.SourceFileName = path;
  item.Password = is_folder ? std::string() : Password;
  item.CompressionMode = is_folder ? 0 : compression_mode_;
  if (existing >= 0) {
    if (dir_.items[existing].FileName != name) dir_.items.SetName(existing, name);
    dir_.items[existing] = std::move(item);
  } else {
    dir_.items.Add(std::move(item));
  }
}

}  // namespace tarvo::archive
