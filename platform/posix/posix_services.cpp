// POSIX stand-ins for the Windows services, so that everything but the window runs on Linux.
// Paths are Windows-form: "\" is a separator and each name is found without regard to case.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <unordered_map>

#include "platform/path.h"
#include "platform/pe_version.h"
#include "platform/services.h"
#include "text/codepage.h"

namespace tarvo::platform {
namespace {

constexpr char kAttrXattr[] = "user.tarvo.attributes";

int ToWindowsError(int err) {
  switch (err) {
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case EEXIST:
      return kErrorFileExists;
    case EBUSY:
    case ETXTBSY:
      return kErrorSharingViolation;
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

[[noreturn]] void Throw(const std::string& what, const std::string& path, int err) {
  throw PlatformError(what + " \"" + path + "\": " + std::strerror(err), ToWindowsError(err));
}

std::string Normalise(std::string_view path) {
  std::string s(path);
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  return s;
}

// Folder listings by upper-case name, so that finding a name without regard to case costs one
// look-up instead of a scan of the folder. A listing is trusted while the folder's change time
// and inode are those it was read at; our own changes update it in place, so that creating many
// files in one folder does not read the folder again for each.
struct FolderListing {
  ino_t inode = 0;
  timespec mtime{};
  bool trusted = false;
  std::unordered_map<std::string, std::string> names;  // upper case -> as stored
};

std::mutex listing_mutex;
std::unordered_map<std::string, FolderListing> listings;

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool ChangedJustNow(const timespec& mtime) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const double age = static_cast<double>(now.tv_sec - mtime.tv_sec) +
                     static_cast<double>(now.tv_nsec - mtime.tv_nsec) / 1e9;
  // Folder times move in coarse clock ticks: a change made by someone else in the same tick as
  // our reading would go unseen, so a folder changed this recently is read again next time.
  return age < 0.05;
}

std::optional<std::string> FindIgnoringCase(const std::string& folder, const std::string& name) {
  const std::string dir = folder.empty() ? "." : folder;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  std::lock_guard<std::mutex> lock(listing_mutex);
  FolderListing& l = listings[dir];
  if (!l.trusted || l.inode != st.st_ino || !SameTime(l.mtime, st.st_mtim)) {
    l.names.clear();
    DIR* d = opendir(dir.c_str());
    if (!d) {
      listings.erase(dir);
      return std::nullopt;
    }
    while (dirent* e = readdir(d)) l.names.emplace(text::ToUpperUtf8(e->d_name), e->d_name);
    closedir(d);
    l.inode = st.st_ino;
    l.mtime = st.st_mtim;
    l.trusted = !ChangedJustNow(st.st_mtim);
  }
  auto it = l.names.find(text::ToUpperUtf8(name));
  if (it == l.names.end()) return std::nullopt;
  return it->second;
}

// Keeps a listing current after one of our own changes to the folder of `resolved`.
void NoteChange(const std::string& resolved, bool added) {
  const size_t cut = resolved.find_last_of('/');
  const std::string dir = cut == std::string::npos ? "." : cut == 0 ? "/" : resolved.substr(0, cut);
  const std::string name = cut == std::string::npos ? resolved : resolved.substr(cut + 1);
  std::lock_guard<std::mutex> lock(listing_mutex);
  auto it = listings.find(dir);
  if (it == listings.end()) return;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    listings.erase(it);
    return;
  }
  FolderListing& l = it->second;
  if (added) {
    l.names[text::ToUpperUtf8(name)] = name;
  } else {
    auto n = l.names.find(text::ToUpperUtf8(name));
    if (n != l.names.end() && n->second == name) l.names.erase(n);
  }
  l.mtime = st.st_mtim;
  l.inode = st.st_ino;
  // Our own change is known exactly; only a stranger's change in the very tick of our last
  // reading could be missed, which is why a fresh reading starts untrusted.
  l.trusted = true;
}

// The length of the longest leading part of `path` (cut at a separator) that exists as written:
// path.size() when the whole path does. One lstat for a path that exists, and one more for each
// missing trailing component, where a walk from the root would cost one for every component.
size_t ExistingPrefix(const std::string& path) {
  struct stat st;
  size_t end = path.size();
  while (end > 0) {
    if (lstat(path.substr(0, end).c_str(), &st) == 0) return end;
    const size_t cut = path.find_last_of('/', end - 1);
    if (cut == std::string::npos) return 0;
    end = cut == 0 ? 1 : cut;  // "/" stands for the root
    if (end == 1 && path[0] == '/') return 1;
  }
  return 0;
}

// Finds each component of the path on disk without regard to letter case. Components that do
// not exist are kept as written, so the result also serves to create them.
std::string Resolve(std::string_view windows_path) {
  std::string path = Normalise(windows_path);
  if (path.empty()) return path;
  // What exists as written needs no case-blind search: only the rest is resolved part by part.
  // (A doubled separator is dropped by the walk below, so such a path takes the walk whole.)
  const bool single = path.find("//") == std::string::npos;
  const size_t known = single ? ExistingPrefix(path) : 0;
  if (known == path.size()) return path;
  std::string out = path.substr(0, known);
  size_t pos = known;
  if (pos < path.size() && path[pos] == '/') {
    out += '/';
    ++pos;
  }
  bool exists = true;
  bool known_missing = single;  // the first part after the prefix was just found missing
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    const std::string part = path.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty()) continue;
    std::string candidate = out + part;
    if (exists && part != "." && part != "..") {
      struct stat st;
      if (known_missing || lstat(candidate.c_str(), &st) != 0) {
        std::string folder = out;
        if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (auto found = FindIgnoringCase(folder, part)) {
          candidate = out + *found;
        } else {
          exists = false;
        }
      }
    }
    known_missing = false;
    out = candidate;
    if (next < path.size()) out += '/';
  }
  return out;
}

bool StatPath(const std::string& path, struct stat& st) {
  return !path.empty() && stat(Resolve(path).c_str(), &st) == 0;
}

time_t DosToTime(DosDateTime d) {
  const LocalTime t = FromDosDateTime(d);
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

LocalTime FromTime(time_t when, long nanos) {
  std::tm tm{};
  localtime_r(&when, &tm);
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.millisecond = static_cast<int>(nanos / 1000000);
  t.day_of_week = tm.tm_wday;
  return t;
}

class PosixFile : public File {
 public:
  PosixFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  size_t Read(void* buffer, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const ssize_t got = ::read(fd_, static_cast<char*>(buffer) + done, n - done);
      if (got < 0) {
        if (errno == EINTR) continue;
        Throw("cannot read", path_, errno);
      }
      if (got == 0) break;
      done += static_cast<size_t>(got);
    }
    return done;
  }
  void Write(const void* buffer, size_t n) override {
    size_t done = 0;
    while (done < n) {
      const ssize_t put = ::write(fd_, static_cast<const char*>(buffer) + done, n - done);
      if (put < 0) {
        if (errno == EINTR) continue;
        Throw("cannot write", path_, errno);
      }
      done += static_cast<size_t>(put);
    }
  }
  void Seek(uint64_t position) override {
    if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0)
      Throw("cannot seek", path_, errno);
  }
  uint64_t Position() override {
    const off_t p = ::lseek(fd_, 0, SEEK_CUR);
    if (p < 0) Throw("cannot seek", path_, errno);
    return static_cast<uint64_t>(p);
  }
  uint64_t Size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) Throw("cannot stat", path_, errno);
    return static_cast<uint64_t>(st.st_size);
  }
  void Truncate() override {
    if (::ftruncate(fd_, static_cast<off_t>(Position())) != 0)
      Throw("cannot truncate", path_, errno);
  }
  void Flush() override {
    if (::fsync(fd_) != 0 && errno != EINVAL) Throw("cannot flush", path_, errno);
  }
  void SetLastWriteTime(DosDateTime time) override {
    const timespec times[2] = {{0, UTIME_OMIT}, {DosToTime(time), 0}};
    if (::futimens(fd_, times) != 0) Throw("cannot set the time of", path_, errno);
  }
  void Close() override {
    if (fd_ >= 0) {
      const int fd = fd_;
      fd_ = -1;
      if (::close(fd) != 0) Throw("cannot close", path_, errno);
    }
  }

 private:
  int fd_;
  std::string path_;
};

class PosixFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    struct stat st;
    return StatPath(path, st) && !S_ISDIR(st.st_mode);
  }
  bool DirectoryExists(const std::string& path) override {
    struct stat st;
    return StatPath(path, st) && S_ISDIR(st.st_mode);
  }
  std::optional<uint32_t> GetAttributes(const std::string& path) override {
    struct stat st;
    if (!StatPath(path, st)) return std::nullopt;
    return AttributesOf(Resolve(path), st);
  }
  bool SetAttributes(const std::string& path, uint32_t attributes) override {
    const std::string p = Resolve(path);
    struct stat st;
    if (stat(p.c_str(), &st) != 0) return false;
    mode_t mode = st.st_mode & 07777;
    if (attributes & kAttrReadOnly) {
      mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else {
      mode |= S_IWUSR;
    }
    if (chmod(p.c_str(), mode) != 0) return false;
    const uint32_t stored = attributes == 0 ? kAttrNormal : attributes;
    setxattr(p.c_str(), kAttrXattr, &stored, sizeof stored, 0);  // where the file system allows
    return true;
  }
  std::vector<DirEntry> List(const std::string& folder, const std::string& pattern) override {
    const std::string p = Resolve(folder.empty() ? std::string(".") : folder);
    DIR* dir = opendir(p.c_str());
    if (!dir) Throw("cannot list", folder, errno);
    std::vector<DirEntry> out;
    while (dirent* e = readdir(dir)) {
      if (!text::WildcardMatch(pattern, e->d_name)) continue;
      const std::string full = (p.back() == '/' ? p : p + "/") + e->d_name;
      struct stat st;
      if (stat(full.c_str(), &st) != 0) continue;  // a dangling link
      out.push_back({e->d_name, AttributesOf(full, st), static_cast<uint64_t>(st.st_size)});
    }
    closedir(dir);
    return out;
  }
  bool CreateDirectories(const std::string& path) override {
    const std::string p = Resolve(path);
    // Folders that exist already are not made again: only the missing tail is.
    const size_t start = ExistingPrefix(p);
    std::string partial = p.substr(0, start);
    for (size_t i = start; i <= p.size(); ++i) {
      if (i == p.size() || p[i] == '/') {
        if (!partial.empty() && partial != "/" && mkdir(partial.c_str(), 0777) == 0) {
          NoteChange(partial, true);
        }
      }
      if (i < p.size()) partial += p[i];
    }
    return DirectoryExists(path);
  }
  bool RemoveFolder(const std::string& path) override {
    const std::string p = Resolve(path);
    if (rmdir(p.c_str()) != 0) return false;
    NoteChange(ExcludeTrailingBackslash(p), false);
    return true;
  }
  bool CopyFileNoOverwrite(const std::string& source, const std::string& target) override {
    if (FileExists(target) || DirectoryExists(target)) return false;
    const std::string from = Resolve(source);
    const std::string to = Resolve(target);
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (out < 0) {
      close(in);
      return false;
    }
    NoteChange(to, true);
    char buffer[1 << 16];
    bool ok = true;
    while (true) {
      const ssize_t got = read(in, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ok = got == 0;
        break;
      }
      if (write(out, buffer, static_cast<size_t>(got)) != got) {
        ok = false;
        break;
      }
    }
    struct stat st;
    if (ok && fstat(in, &st) == 0) {
      const timespec times[2] = {st.st_atim, st.st_mtim};
      futimens(out, times);
      fchmod(out, st.st_mode & 07777);
    }
    close(in);
    if (close(out) != 0) ok = false;
    if (!ok && unlink(to.c_str()) == 0) NoteChange(to, false);
    return ok;
  }
  bool Rename(const std::string& source, const std::string& target) override {
    if (FileExists(target) || DirectoryExists(target)) return false;  // Windows never replaces
    const std::string from = Resolve(source);
    const std::string to = Resolve(target);
    if (rename(from.c_str(), to.c_str()) != 0) return false;
    NoteChange(from, false);
    NoteChange(to, true);
    return true;
  }
  bool ReplaceFile(const std::string& source, const std::string& target) override {
    const std::optional<std::string> to = RenameOver(source, target);
    // The rename is durable only once its folder is on the disk.
    if (to) SyncFolderOf(*to);
    return to.has_value();
  }
  bool ReplaceFileUnflushed(const std::string& source, const std::string& target) override {
    return RenameOver(source, target).has_value();
  }
  bool FlushFolder(const std::string& folder) override {
    std::string resolved = Resolve(folder);
    if (!resolved.empty() && resolved.back() != '/') resolved += '/';
    return SyncFolderOf(resolved);
  }
  bool DeleteFileAt(const std::string& path) override {
    if (!FileExists(path)) return false;
    const std::string p = Resolve(path);
    auto attributes = GetAttributes(path);
    if (attributes && (*attributes & kAttrReadOnly)) return false;  // as Windows refuses
    if (unlink(p.c_str()) != 0) return false;
    NoteChange(p, false);
    return true;
  }
  std::optional<DosDateTime> GetLastWriteTime(const std::string& path) override {
    struct stat st;
    if (!StatPath(path, st)) return std::nullopt;
    return ToDosDateTime(FromTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
  }
  bool SetLastWriteTime(const std::string& path, DosDateTime time) override {
    const timespec times[2] = {{0, UTIME_OMIT}, {DosToTime(time), 0}};
    return utimensat(AT_FDCWD, Resolve(path).c_str(), times, 0) == 0;
  }
  std::unique_ptr<File> Open(const std::string& path, Access access, Share share,
                             Disposition disposition) override {
    const std::string p = Resolve(path);
    int flags = O_CLOEXEC;
    flags |= access == Access::kRead ? O_RDONLY : access == Access::kWrite ? O_WRONLY : O_RDWR;
    switch (disposition) {
      case Disposition::kOpenExisting:
        break;
      case Disposition::kCreateAlways:
        flags |= O_CREAT | O_TRUNC;
        break;
      case Disposition::kCreateNew:
        flags |= O_CREAT | O_EXCL;
        break;
      case Disposition::kOpenAlways:
        flags |= O_CREAT;
        break;
    }
    struct stat st;
    if (!p.empty() && stat(p.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) Throw("cannot open", path, EACCES);
      if (access != Access::kRead && (AttributesOf(p, st) & kAttrReadOnly))
        Throw("cannot open", path, EACCES);
    }
    const int fd = open(p.c_str(), flags, 0666);
    if (fd < 0) Throw("cannot open", path, errno);
    if (flags & O_CREAT) NoteChange(p, true);
    // Share modes have no POSIX equivalent. Advisory locks give the part that matters most: an
    // exclusive opener keeps every other opener out, and cannot open what others hold.
    const int lock = share == Share::kExclusive ? LOCK_EX : LOCK_SH;
    if (flock(fd, lock | LOCK_NB) != 0) {
      close(fd);
      Throw("cannot open", path, EBUSY);
    }
    return std::make_unique<PosixFile>(fd, path);
  }
  std::string MakeTempFile(const std::string& folder, const std::string& prefix) override {
    std::string name;
    close(CreateUnique(folder, prefix, name));
    return name;
  }
  std::pair<std::string, std::unique_ptr<File>> CreateTempFile(const std::string& folder,
                                                               const std::string& prefix) override {
    // One open instead of a create, a close and an open again: creating is what costs most.
    std::string name;
    const int fd = CreateUnique(folder, prefix, name);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {  // a file this new is no one else's yet
      close(fd);
      if (unlink(name.c_str()) == 0) NoteChange(name, false);
      Throw("cannot open", name, EBUSY);
    }
    return {name, std::make_unique<PosixFile>(fd, name)};
  }
  std::string TempFolder() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string t = tmp && *tmp ? tmp : "/tmp";
    if (t.back() != '/') t += '/';
    return t;
  }
  bool IsRemovableDrive(const std::string&) override { return false; }
  uint64_t AvailablePhysicalMemory() override {
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(size) : 0;
  }
  std::string ExecutablePath() override {
    std::string buffer(256, '\0');
    while (true) {
      const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
      if (n <= 0) return std::string();
      if (static_cast<size_t>(n) < buffer.size()) return buffer.substr(0, static_cast<size_t>(n));
      buffer.assign(buffer.size() * 2, '\0');  // possibly cut off: try a longer buffer
    }
  }
  std::string FullPath(const std::string& path) override {
    std::string p = Normalise(path);
    if (!p.empty() && p[0] == '/') return p;
    char* cwd = getcwd(nullptr, 0);  // as long as it needs
    if (!cwd) return p;
    std::string full = std::string(cwd) + "/" + p;
    std::free(cwd);
    return full;
  }

 private:
  // Renames a file over the target, which must not be a folder or read-only (as Windows refuses);
  // the target's resolved path when done.
  std::optional<std::string> RenameOver(const std::string& source, const std::string& target) {
    if (source.empty() || target.empty()) return std::nullopt;
    const std::string from = Resolve(source);
    const std::string to = Resolve(target);
    struct stat st;
    if (stat(from.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
    if (stat(to.c_str(), &st) == 0 &&
        (S_ISDIR(st.st_mode) || (AttributesOf(to, st) & kAttrReadOnly)))
      return std::nullopt;
    if (rename(from.c_str(), to.c_str()) != 0) return std::nullopt;
    NoteChange(from, false);
    NoteChange(to, true);
    return to;
  }
  // Creates "<prefix>XXXX.tmp" in the folder, new, and returns its open descriptor.
  int CreateUnique(const std::string& folder, const std::string& prefix, std::string& created) {
    std::string dir = Resolve(folder.empty() ? TempFolder() : folder);
    if (dir.empty() || dir.back() != '/') dir += '/';
    static std::mt19937 rng(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
    const std::string head = prefix.substr(0, 3);
    for (int attempt = 0; attempt < 65535; ++attempt) {
      char unique[8];
      std::snprintf(unique, sizeof unique, "%04X", static_cast<unsigned>(rng() % 0xFFFF) + 1);
      const std::string name = dir + head + unique + ".tmp";
      const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        NoteChange(name, true);
        created = name;
        return fd;
      }
      if (errno != EEXIST) Throw("cannot create a temporary file in", folder, errno);
    }
    Throw("cannot create a temporary file in", folder, EEXIST);
  }
  // Writes the folder holding `resolved` (the part up to its last '/') to the disk.
  static bool SyncFolderOf(const std::string& resolved) {
    const std::string folder = resolved.substr(0, resolved.find_last_of('/') + 1);
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0 || errno == EINVAL;
    close(fd);
    return ok;
  }
  static uint32_t AttributesOf(const std::string& resolved, const struct stat& st) {
    uint32_t stored = 0;
    if (getxattr(resolved.c_str(), kAttrXattr, &stored, sizeof stored) == sizeof stored) {
      stored &= ~kAttrDirectory;
      if (S_ISDIR(st.st_mode)) stored = (stored & ~kAttrNormal) | kAttrDirectory;
    } else {
      stored = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
      const std::string name = ExtractFileName(resolved);
      if (name.size() > 1 && name[0] == '.' && name != "..") stored |= kAttrHidden;
    }
    if ((st.st_mode & S_IWUSR) == 0) stored |= kAttrReadOnly;
    if (stored & ~kAttrNormal) stored &= ~kAttrNormal;
    return stored;
  }
};

// Registry values from a text file named by TARVO_REGISTRY_FILE:
//   [HKLM\SOFTWARE\...\{...}_is1]
//   InstallLocation=/opt/tarvo/
class FileRegistry : public Registry {
 public:
  StringValue ReadLocalMachineString(const std::string& key, const std::string& name) override {
    StringValue result;
    const char* file = std::getenv("TARVO_REGISTRY_FILE");
    if (!file || !*file) return result;
    std::ifstream in(file);
    std::string line;
    std::string want = key;
    while (!want.empty() && want.front() == '\\') want.erase(0, 1);
    bool in_key = false;
    while (std::getline(in, line)) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (line.empty() || line[0] == ';' || line[0] == '#') continue;
      if (line.front() == '[' && line.back() == ']') {
        std::string k = line.substr(1, line.size() - 2);
        for (const char* hive : {"HKLM\\", "HKEY_LOCAL_MACHINE\\"}) {
          if (text::EqualsIgnoreCase(k.substr(0, std::strlen(hive)), hive)) {
            k = k.substr(std::strlen(hive));
          }
        }
        while (!k.empty() && k.front() == '\\') k.erase(0, 1);
        in_key = text::EqualsIgnoreCase(k, want);
        result.key_opened = result.key_opened || in_key;
        continue;
      }
      const size_t eq = line.find('=');
      if (in_key && eq != std::string::npos && !result.value_present &&
          text::EqualsIgnoreCase(line.substr(0, eq), name)) {
        result.value_present = true;
        result.value = line.substr(eq + 1);
      }
    }
    return result;
  }
};

// The running marker as an advisory lock on a file in the temporary folder (or
// TARVO_MARKER_DIR): held by whoever created it, seen by everyone else.
class LockMarker : public RunningMarker {
 public:
  ~LockMarker() override {
    if (fd_ >= 0) close(fd_);
  }
  State Create(const std::string& name) override {
    const char* dir = std::getenv("TARVO_MARKER_DIR");
    std::string path = dir && *dir ? dir : "/tmp";
    path += "/" + name + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return errno == EACCES ? State::kAccessDenied : State::kFailed;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      // The other process's lock is what "already exists" means here; keep our descriptor open
      // as Windows keeps the handle.
      if (fd_ < 0)
        fd_ = fd;
      else
        close(fd);
      return err == EWOULDBLOCK ? State::kAlreadyExists : State::kFailed;
    }
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
    return State::kCreated;
  }

 private:
  int fd_ = -1;
};

class PeVersionInfo : public VersionInfo {
 public:
  explicit PeVersionInfo(FileSystem& fs) : fs_(fs) {}
  Strings Read(const std::string& path, const std::vector<std::string>& names) override {
    std::string image;
    try {
      auto file = fs_.Open(path, Access::kRead, Share::kDenyNone, Disposition::kOpenExisting);
      const uint64_t size = file->Size();
      if (size > (256u << 20)) throw PlatformError("too large", 0);
      image.resize(static_cast<size_t>(size));
      image.resize(file->Read(image.data(), image.size()));
    } catch (const PlatformError&) {
      Strings none;
      none.values.resize(names.size());
      return none;
    }
    return ReadPeVersionStrings(image, names);
  }

 private:
  FileSystem& fs_;
};

// Without a window system the questions go to standard error and take their default answer.
class ConsoleDialogs : public Dialogs {
 public:
  DialogResult ShowMessage(const std::string& text, const std::string& caption,
                           const std::vector<DialogResult>& buttons, MessageIcon,
                           DialogResult default_button) override {
    std::cerr << caption << ": " << text << "\n";
    if (default_button != DialogResult::kNone) return default_button;
    return buttons.empty() ? DialogResult::kOk : buttons.front();
  }
  bool InputQuery(const std::string& caption, const std::string& prompt, std::string&) override {
    std::cerr << caption << ": " << prompt << "(no input)\n";
    return false;
  }
};

class SystemClock : public Clock {
 public:
  LocalTime Now() override {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return FromTime(ts.tv_sec, ts.tv_nsec);
  }
};

}  // namespace

Services MakeSystemServices() {
  Services s;
  s.fs = std::make_unique<PosixFileSystem>();
  s.registry = std::make_unique<FileRegistry>();
  s.marker = std::make_unique<LockMarker>();
  s.version = std::make_unique<PeVersionInfo>(*s.fs);
  s.dialogs = std::make_unique<ConsoleDialogs>();
  s.clock = std::make_unique<SystemClock>();
  return s;
}

}  // namespace tarvo::platform
