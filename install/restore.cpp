#include "install/restore.h"

#include <algorithm>
#include <exception>
#include <map>
#include <set>

#include "archive/zip_archiver.h"
#include "install/backup.h"
#include "install/quiet_archive.h"
#include "install/start_ini.h"
#include "platform/path.h"
#include "text/codepage.h"

namespace tarvo::install {
namespace {

using platform::DialogResult;

constexpr char kDatedPrefix[] = "Архив от ";
constexpr char kWorkFolderStem[] = "~TarvoRestore";

// Backup archives are never encrypted: an entry that asks for a password is a wrong archive.
void StopAtFirstFailureOrPassword(archive::TZipBaseArchiver& zip, std::string& problem) {
  StopAtFirstFailure(zip, problem);
  zip.OnPassword = [&problem](archive::TZipBaseArchiver&, const std::string& file, std::string&,
                              bool& skip) {
    if (problem.empty()) problem = file + " is encrypted; backup archives are not";
    skip = true;
  };
}

std::string Key(const std::string& name) { return text::ToLowerUtf8(name); }

std::vector<std::string> SplitName(const std::string& name) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : name) {
    if (c == '/' || c == '\\') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  return parts;
}

bool IsDeviceName(const std::string& part) {
  std::string stem = text::ToLowerUtf8(part.substr(0, part.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const std::set<std::string> kDevices = {"con", "prn", "aux", "nul"};
  if (kDevices.count(stem)) return true;
  return stem.size() == 4 && (stem.rfind("com", 0) == 0 || stem.rfind("lpt", 0) == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

}  // namespace

// Directory names end with a separator, which is dropped first.
std::string EntryNameProblem(const std::string& original, bool is_folder) {
  std::string name = original;
  if (is_folder && !name.empty() && (name.back() == '/' || name.back() == '\\')) name.pop_back();
  if (name.empty()) return "an empty name";
  if (name.find(':') != std::string::npos) return "a drive or stream in the name";
  for (unsigned char c : name) {
    if (c < 0x20) return "a control character in the name";
  }
  const std::vector<std::string> parts = SplitName(name);
  if (parts.front().empty()) return "an absolute path";
  for (const std::string& part : parts) {
    if (part.empty() || part == "." || part == "..") return "a path that leaves its folder";
    if (part.back() == ' ' || part.back() == '.') return "a name Windows would shorten";
    if (IsDeviceName(part)) return "a device name";
  }
  return {};
}

namespace {

// Why a backup entry may not be restored; empty when it may.
std::string NameProblem(const std::string& name, bool is_folder) {
  std::string why = EntryNameProblem(name, is_folder);
  if (why.empty() && !is_folder && name.find_first_of("/\\") == std::string::npos) {
    why = "a file outside every database folder";
  }
  return why;
}

std::string WithBackslashes(std::string name) {
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

std::string ParentOf(const std::string& rel) {
  const size_t slash = rel.find_last_of('\\');
  return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

// The files below `folder` (full path, without a trailing separator), as names relative to the
// product folder under `rel`; throws PlatformError when a folder cannot be listed.
void ListFiles(platform::FileSystem& fs, const std::string& folder, const std::string& rel,
               std::vector<std::string>& out) {
  for (const platform::DirEntry& e : fs.List(folder + "\\", "*")) {
    if (e.name == "." || e.name == "..") continue;
    if (e.attributes & platform::kAttrDirectory) {
      ListFiles(fs, folder + "\\" + e.name, rel + "\\" + e.name, out);
    } else {
      out.push_back(rel + "\\" + e.name);
    }
  }
}

// Deletes a folder's files and folders, as far as it can; false when anything is left.
bool RemoveTree(platform::FileSystem& fs, const std::string& folder) {
  bool all = true;
  try {
    for (const platform::DirEntry& e : fs.List(folder + "\\", "*")) {
      if (e.name == "." || e.name == "..") continue;
      const std::string path = folder + "\\" + e.name;
      if (e.attributes & platform::kAttrDirectory) {
        all = RemoveTree(fs, path) && all;
      } else {
        (void)fs.SetAttributes(path, platform::kAttrNormal);  // a read-only copy is deleted too
        all = fs.DeleteFileAt(path) && all;
      }
    }
  } catch (const platform::PlatformError&) {
    return false;
  }
  return fs.RemoveFolder(folder) && all;
}

bool ReadIntAt(const std::string& s, size_t at, size_t digits, int& out) {
  if (at + digits > s.size()) return false;
  out = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

// The archive name not taken yet: the dated name, then " (2)", " (3)", ... before ".zip".
std::string FreeArchivePath(platform::FileSystem& fs, const std::string& folder,
                            const std::string& name) {
  if (!fs.FileExists(folder + name) && !fs.DirectoryExists(folder + name)) return folder + name;
  const std::string stem = name.substr(0, name.size() - 4);
  for (int n = 2;; ++n) {
    const std::string path = folder + stem + " (" + std::to_string(n) + ").zip";
    if (!fs.FileExists(path) && !fs.DirectoryExists(path)) return path;
  }
}

// One step of a restore, as it is undone.
struct Step {
  enum class Kind { kFolderMade, kMarkCleared, kReplaced, kCreated, kMovedAside };
  Kind kind;
  std::string target;       // below the product folder
  std::string aside;        // the old file's copy or the moved file (kReplaced, kMovedAside)
  uint32_t attributes = 0;  // kMarkCleared: as they were
};

// Undoes the steps in reverse; false when any could not be undone.
bool Undo(platform::FileSystem& fs, const std::vector<Step>& steps, RunLog& log) {
  bool all = true;
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
    bool done = false;
    switch (it->kind) {
      case Step::Kind::kFolderMade:
        done = fs.RemoveFolder(it->target);
        break;
      case Step::Kind::kMarkCleared:
        done = fs.SetAttributes(it->target, it->attributes);
        break;
      case Step::Kind::kReplaced:
        done = fs.ReplaceFile(it->aside, it->target);
        break;
      case Step::Kind::kCreated:
        done = fs.DeleteFileAt(it->target);
        break;
      case Step::Kind::kMovedAside:
        done = fs.Rename(it->aside, it->target);
        break;
    }
    if (!done) {
      log.Note("Could not undo the change of " + it->target);
      all = false;
    }
  }
  return all;
}

// Makes the folder and its missing parents, recording each one made.
bool MakeFolder(platform::FileSystem& fs, const std::string& product_folder, const std::string& rel,
                std::vector<Step>& steps) {
  if (rel.empty() || fs.DirectoryExists(product_folder + rel)) return true;
  if (!MakeFolder(fs, product_folder, ParentOf(rel), steps)) return false;
  if (!fs.CreateDirectories(product_folder + rel)) return false;
  steps.push_back({Step::Kind::kFolderMade, product_folder + rel, {}});
  return true;
}

// Writes and tests the archive of the files; the problem, or "" when it holds them all soundly.
std::string WriteSafetyArchive(platform::FileSystem& fs, const std::string& path,
                               const std::string& product_folder,
                               const std::vector<std::string>& folders,
                               const std::vector<std::string>& files) {
  NoPersonDialogs dialogs;
  std::string problem;
  try {
    archive::TZipArchiver zip(fs, dialogs);
    zip.SetCompressionLevel(archive::TZipCompressionLevel::clNormal);
    zip.FileName = path;
    zip.BaseDir = product_folder;
    StopAtFirstFailureOrPassword(zip, problem);
    zip.OpenArchive(archive::kOpenCreate);
    for (const std::string& folder : folders) {
      if (!fs.DirectoryExists(product_folder + folder)) continue;
      zip.AddFiles(folder + "\\*.*", archive::kFaDefaultSearch, "");
      if (!problem.empty() || zip.LastOperationAborted()) {
        return problem.empty() ? "adding " + folder + " was stopped" : problem;
      }
    }
    zip.CloseArchive();
  } catch (const std::exception& e) {
    return e.what();
  }
  const BackupArchiveTest test = TestBackupArchive(fs, path);
  if (!test.sound()) return test.problem;
  std::set<std::string> held;
  for (const std::string& f : test.files) held.insert(Key(f));
  for (const std::string& f : files) {
    if (!held.count(Key(f))) return f + " is missing from it";
  }
  return {};
}

// Extracts the archive below `folder`; the problem, or "".
std::string ExtractAll(platform::FileSystem& fs, const std::string& archive_path,
                       const std::string& folder) {
  NoPersonDialogs dialogs;
  std::string problem;
  try {
    archive::TZipArchiver zip(fs, dialogs);
    zip.FileName = archive_path;
    zip.BaseDir = folder;
    zip.RepairOnOpen = false;
    StopAtFirstFailureOrPassword(zip, problem);
    zip.OpenArchive(archive::kOpenReadDenyWrite);
    zip.ExtractFiles("*.*", archive::kFaDefaultSearch);
    if (problem.empty() && zip.LastOperationAborted()) problem = "the extraction was stopped";
    zip.CloseArchive();
  } catch (const std::exception& e) {
    if (problem.empty()) problem = e.what();
  }
  return problem;
}

}  // namespace

std::string BackupFolderFor(platform::FileSystem& fs, const std::string& product_folder,
                            const std::string& installer_folder) {
  const std::string dir = ReadStartIniBackupDir(fs, installer_folder);
  // Used as written, as the backup stage uses it: this is where its archives are.
  if (!dir.empty()) return dir;
  return product_folder + "Backup\\";
}

std::optional<platform::LocalTime> BackupArchiveTime(const std::string& name) {
  const std::string prefix = kDatedPrefix;
  if (name.rfind(prefix, 0) != 0) return std::nullopt;
  // "DD.MM.YYYY г. [HH-NN]"; the year has as many digits as it has.
  const size_t at = prefix.size();
  platform::LocalTime t;
  if (!ReadIntAt(name, at, 2, t.day) || name.size() <= at + 2 || name[at + 2] != '.' ||
      !ReadIntAt(name, at + 3, 2, t.month) || name.size() <= at + 5 || name[at + 5] != '.') {
    return std::nullopt;
  }
  size_t year_end = at + 6;
  while (year_end < name.size() && name[year_end] >= '0' && name[year_end] <= '9') ++year_end;
  if (year_end == at + 6 || year_end - (at + 6) > 5) return std::nullopt;
  ReadIntAt(name, at + 6, year_end - (at + 6), t.year);
  const std::string mid = " г. [";
  size_t p = year_end;
  if (name.compare(p, mid.size(), mid) != 0) return std::nullopt;
  p += mid.size();
  if (!ReadIntAt(name, p, 2, t.hour) || name.size() <= p + 2 || name[p + 2] != '-' ||
      !ReadIntAt(name, p + 3, 2, t.minute) || name.size() <= p + 5 || name[p + 5] != ']') {
    return std::nullopt;
  }
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59) {
    return std::nullopt;
  }
  return t;
}

std::vector<BackupArchive> FindBackupArchives(platform::FileSystem& fs, const std::string& folder) {
  struct Found {
    BackupArchive archive;
    uint32_t written = 0;
  };
  std::vector<Found> found;
  std::vector<platform::DirEntry> entries;
  try {
    entries = fs.List(folder, "*");
  } catch (const platform::PlatformError&) {
    return {};
  }
  for (const platform::DirEntry& e : entries) {
    if (e.attributes & platform::kAttrDirectory) continue;
    const auto made = BackupArchiveTime(e.name);
    if (!made) continue;
    Found f;
    f.archive = {folder + e.name, e.name, *made, e.size};
    if (auto w = fs.GetLastWriteTime(folder + e.name)) f.written = w->Packed();
    found.push_back(std::move(f));
  }
  // File times tell two seconds apart only. Within them, a restore's safety archive is the newer:
  // it is made after the archive restored from, and its " (n)" names count up.
  auto safety_rank = [](const std::string& name) {
    const std::string stem(kSafetyBackupTail, sizeof(kSafetyBackupTail) - 5);  // without ".zip"
    const size_t at = name.rfind(stem);
    if (at == std::string::npos || name.size() < 4 || name.compare(name.size() - 4, 4, ".zip")) {
      return 0;
    }
    const std::string rest = name.substr(at + stem.size(), name.size() - 4 - at - stem.size());
    if (rest.empty()) return 1;
    int n = 0;
    if (rest.size() < 4 || rest.size() > 9 || rest.compare(0, 2, " (") != 0 || rest.back() != ')' ||
        !ReadIntAt(rest, 2, rest.size() - 3, n)) {
      return 0;
    }
    return n;
  };
  auto key = [&safety_rank](const Found& f) {
    const platform::LocalTime& t = f.archive.made;
    return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, f.written,
                           safety_rank(f.archive.name));
  };
  std::sort(found.begin(), found.end(), [&key](const Found& a, const Found& b) {
    if (key(a) != key(b)) return key(a) > key(b);
    return a.archive.name > b.archive.name;
  });
  std::vector<BackupArchive> out;
  for (Found& f : found) out.push_back(std::move(f.archive));
  return out;
}

BackupArchiveTest TestBackupArchive(platform::FileSystem& fs, const std::string& path) {
  BackupArchiveTest result;
  if (!fs.FileExists(path)) {
    result.problem = "there is no such file";
    return result;
  }
  WholeArchiveCheck check;
  // Backup archives are never encrypted: an entry that asks for a password is a wrong archive.
  check.password_problem = " is encrypted; backup archives are not";
  check.repaired_problem = "its directory is damaged";
  check.inspect = [&result](const archive::TZipDirManager& dir) -> std::string {
    const archive::TZipDirArray& items = dir.items;
    std::set<std::string> names;
    for (int i = 0; i < items.Count(); ++i) {
      const archive::TDirItem& item = items[i];
      const std::string why = NameProblem(item.FileName, item.IsDirectory());
      if (!why.empty()) return "the entry \"" + item.FileName + "\" has " + why;
      if (item.IsEncrypted()) return "the entry \"" + item.FileName + "\" is encrypted";
      if (item.IsDirectory()) continue;
      std::string name = WithBackslashes(item.FileName);
      if (!names.insert(Key(name)).second) return "two entries name the file " + name;
      result.files.push_back(std::move(name));
    }
    return result.files.empty() ? "it holds no file" : "";
  };
  result.problem = CheckWholeArchive(fs, path, check);
  if (!result.sound()) {
    result.files.clear();
    return result;
  }
  // The database folders: the folders of the entries, without those below another of them.
  std::set<std::string> parents;
  std::map<std::string, std::string> spelled;
  for (const std::string& f : result.files) {
    const std::string parent = ParentOf(f);
    if (parents.insert(Key(parent)).second) spelled[Key(parent)] = parent;
  }
  for (const std::string& p : parents) {
    bool below_another = false;
    for (const std::string& q : parents) {
      if (q != p && p.size() > q.size() && p.compare(0, q.size(), q) == 0 && p[q.size()] == '\\') {
        below_another = true;
      }
    }
    if (!below_another) result.folders.push_back(spelled[p]);
  }
  return result;
}

RestoreOutcome RestoreDatabase(platform::FileSystem& fs, platform::Clock& clock,
                               const std::string& product_folder, const std::string& backup_folder,
                               const std::string& archive_path, RunLog& log) {
  using State = RestoreOutcome::State;
  RestoreOutcome out;
  // The outcome's message is the caller's to report.
  auto finish = [&out](State state, std::string message) {
    out.state = state;
    out.message = std::move(message);
    return out;
  };

  log.Note("Testing " + archive_path);
  const BackupArchiveTest test = TestBackupArchive(fs, archive_path);
  if (!test.sound()) {
    return finish(State::kRefused, "The archive " + archive_path + " cannot be restored from: " +
                                       test.problem + ". Nothing was changed.");
  }
  std::string folders_text;
  for (const std::string& f : test.folders) folders_text += (folders_text.empty() ? "" : ", ") + f;
  log.Note("The archive is sound: " + std::to_string(test.files.size()) + " file(s) of " +
           folders_text);

  // What the database folders hold now.
  std::vector<std::string> current;
  try {
    for (const std::string& folder : test.folders) {
      if (fs.DirectoryExists(product_folder + folder)) {
        ListFiles(fs, product_folder + folder, folder, current);
      }
    }
  } catch (const platform::PlatformError& e) {
    return finish(State::kFailed, std::string("The database cannot be listed: ") + e.what() +
                                      ". Nothing was changed.");
  }

  // The safety archive is written while its folder's files are read: never into the database.
  auto normal = [](std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return Key(path);
  };
  for (const std::string& folder : test.folders) {
    if (normal(backup_folder).rfind(normal(product_folder + folder + "\\"), 0) == 0) {
      return finish(State::kRefused, "The backup folder " + backup_folder +
                                         " lies in the database folder " + folder +
                                         ". Nothing was changed.");
    }
  }

  // The safety backup: the database as it is now, in a dated archive of its own.
  if (backup_folder == product_folder + "Backup\\" &&
      !fs.DirectoryExists(product_folder + "Backup") &&
      !fs.CreateDirectories(product_folder + "Backup")) {
    return finish(State::kFailed,
                  "The backup folder " + backup_folder + " cannot be made. Nothing was changed.");
  }
  if (!current.empty()) {
    const std::string safety =
        FreeArchivePath(fs, backup_folder, BackupArchiveName(clock.Now(), kSafetyBackupTail));
    log.Note("Saving the current database into " + safety);
    const std::string problem =
        WriteSafetyArchive(fs, safety, product_folder, test.folders, current);
    if (!problem.empty()) {
      if (fs.FileExists(safety)) (void)fs.DeleteFileAt(safety);
      return finish(State::kFailed, "The current database could not be saved into " + safety +
                                        ": " + problem + ". Nothing was changed.");
    }
    out.safety_archive = safety;
  } else {
    log.Note("The database folders hold no file: there is nothing to save first");
  }
  auto drop_safety = [&] {
    if (!out.safety_archive.empty() && fs.DeleteFileAt(out.safety_archive)) {
      out.safety_archive.clear();
    }
  };

  // The archive's files, extracted beside the database first: on the same drive, so that each
  // one then takes its place in one rename.
  std::string work;
  for (int n = 1;; ++n) {
    work = product_folder + kWorkFolderStem + (n == 1 ? "" : std::to_string(n));
    if (!fs.FileExists(work) && !fs.DirectoryExists(work)) break;
  }
  const std::string fresh = work + "\\new";
  const std::string old = work + "\\old";
  auto drop_work = [&] {
    if (fs.DirectoryExists(work) && !RemoveTree(fs, work)) {
      log.Note("The work folder " + work + " could not be removed whole; it may be deleted");
    }
  };
  if (!fs.CreateDirectories(fresh) || !fs.CreateDirectories(old)) {
    drop_work();
    drop_safety();
    return finish(State::kFailed,
                  "The work folder " + work + " cannot be made. Nothing was changed.");
  }
  std::string problem = ExtractAll(fs, archive_path, fresh + "\\");
  if (problem.empty()) {
    // On the disk before any of them replaces a database file.
    try {
      for (const std::string& f : test.files) {
        // A read-only file is opened for writing only once the mark is off, and gets it back.
        const std::string staged = fresh + "\\" + f;
        const uint32_t attributes = fs.GetAttributes(staged).value_or(0);
        const bool read_only = (attributes & platform::kAttrReadOnly) != 0;
        if (read_only && !fs.SetAttributes(staged, attributes & ~platform::kAttrReadOnly)) {
          throw platform::PlatformError("Cannot write " + staged, platform::kErrorAccessDenied);
        }
        auto file = fs.Open(staged, platform::Access::kReadWrite, platform::Share::kExclusive,
                            platform::Disposition::kOpenExisting);
        file->Flush();
        file->Close();
        if (read_only && !fs.SetAttributes(staged, attributes)) {
          throw platform::PlatformError("Cannot mark " + staged, platform::kErrorAccessDenied);
        }
      }
    } catch (const platform::PlatformError& e) {
      problem = e.what();
    }
  }
  if (!problem.empty()) {
    drop_work();
    drop_safety();
    return finish(State::kFailed,
                  "The archive could not be extracted: " + problem + ". Nothing was changed.");
  }

  // Each file in its place: the old one copied aside first, so that a failure can put it back.
  std::vector<Step> steps;
  std::string failed;
  try {
    std::set<std::string> restored;
    for (const std::string& f : test.files) {
      restored.insert(Key(f));
      const std::string target = product_folder + f;
      if (!MakeFolder(fs, product_folder, ParentOf(f), steps)) {
        failed = "the folder of " + f + " cannot be made";
        break;
      }
      if (fs.FileExists(target)) {
        // A read-only database file is replaced all the same; undoing puts the old file back
        // with its own attributes.
        const uint32_t attributes = fs.GetAttributes(target).value_or(0);
        if ((attributes & platform::kAttrReadOnly) != 0) {
          if (!fs.SetAttributes(target, attributes & ~platform::kAttrReadOnly)) {
            failed = f + " is read-only";
            break;
          }
          steps.push_back({Step::Kind::kMarkCleared, target, {}, attributes});
        }
        const std::string aside = old + "\\" + f;
        if (!fs.CreateDirectories(ParentOf(aside)) || !fs.CopyFileNoOverwrite(target, aside)) {
          failed = f + " cannot be copied aside";
          break;
        }
        if (!fs.ReplaceFile(fresh + "\\" + f, target)) {
          failed = f + " cannot be replaced";
          break;
        }
        steps.push_back({Step::Kind::kReplaced, target, aside});
      } else {
        if (!fs.ReplaceFile(fresh + "\\" + f, target)) {
          failed = f + " cannot be written";
          break;
        }
        steps.push_back({Step::Kind::kCreated, target, {}});
      }
    }
    // The files the archive does not hold leave the database; the safety archive has them.
    for (const std::string& f : current) {
      if (!failed.empty()) break;
      if (restored.count(Key(f))) continue;
      const std::string aside = old + "\\" + f;
      if (!fs.CreateDirectories(ParentOf(aside)) || !fs.Rename(product_folder + f, aside)) {
        failed = f + " cannot be moved out of the database";
        break;
      }
      steps.push_back({Step::Kind::kMovedAside, product_folder + f, aside});
    }
  } catch (const platform::PlatformError& e) {
    failed = e.what();
  }

  if (!failed.empty()) {
    log.Note("Restoring failed: " + failed + "; undoing");
    if (!Undo(fs, steps, log)) {
      return finish(State::kBroken,
                    "Restoring failed (" + failed +
                        ") and could not be undone whole: the old "
                        "files are in " +
                        old +
                        (out.safety_archive.empty() ? std::string(".")
                                                    : ", and the database as it was is in the "
                                                      "archive " +
                                                          out.safety_archive + "."));
    }
    drop_work();
    drop_safety();
    return finish(State::kFailed, "Restoring failed: " + failed + ". The database is as it was.");
  }
  drop_work();
  return finish(State::kRestored,
                "The database was restored from " + archive_path +
                    (out.safety_archive.empty()
                         ? std::string(".")
                         : "; the database it replaced is in " + out.safety_archive + "."));
}

}  // namespace tarvo::install
