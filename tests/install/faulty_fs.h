// A file system that counts the operations passed through it and makes one of them fail, the way
// the real one fails: a PlatformError where the interface throws, false where it returns a result.
//
// Counted: every operation that changes the disk or can fail for reasons outside the program
// (open, read, write, truncate, flush, the last-write time of an open file, rename, delete, copy,
// folder creation and removal, attributes and times by path, temporary files, folder listings).
// Not counted: pure questions about the disk (existence, attributes, times, sizes, positions,
// full paths, the temporary folder, memory) and Seek and Close: a seek within a file that is open
// does not fail on its own, and every writer flushes before it closes, so a close has nothing
// left to lose; counting them would only multiply the points without new ways to fail.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "tests/platform/forwarding_fs.h"

namespace tarvo::install::testing {

class FaultyFileSystem : public platform::testing::ForwardingFileSystem {
 public:
  struct Op {
    std::string kind;  // "open", "write", "rename", ...
    std::string path;
    bool target_existed = true;  // for a delete: whether there was anything to delete
  };

  explicit FaultyFileSystem(platform::FileSystem& inner) : ForwardingFileSystem(inner) {}

  // The operation number (1-based) that fails; 0: none.
  long fail_at = 0;
  // Or every operation this picks (kind, path) fails.
  std::function<bool(const std::string& kind, const std::string& path)> fail_if;
  long count = 0;
  bool record = false;
  // Off: counted flushes do not reach the device (a sweep of many runs need not wait for it).
  bool sync = true;
  std::vector<Op> ops;  // filled when `record` is set
  std::optional<Op> failed;

  // True when this operation is the one to fail; counts it.
  bool Hit(const char* kind, const std::string& path, bool target_existed = true) {
    ++count;
    if (record) ops.push_back({kind, path, target_existed});
    if (count == fail_at || (fail_if && fail_if(kind, path))) {
      failed = Op{kind, path, target_existed};
      return true;
    }
    return false;
  }

  bool SetAttributes(const std::string& p, uint32_t a) override {
    return !Hit("set attributes", p) && inner().SetAttributes(p, a);
  }
  std::vector<platform::DirEntry> List(const std::string& f, const std::string& p) override {
    if (Hit("list", f)) throw platform::PlatformError("Cannot list " + f, 21);  // not ready
    return inner().List(f, p);
  }
  bool CreateDirectories(const std::string& p) override {
    return !Hit("create folder", p) && inner().CreateDirectories(p);
  }
  bool RemoveFolder(const std::string& p) override {
    return !Hit("remove folder", p) && inner().RemoveFolder(p);
  }
  bool CopyFileNoOverwrite(const std::string& s, const std::string& t) override {
    return !Hit("copy", t) && inner().CopyFileNoOverwrite(s, t);
  }
  bool Rename(const std::string& s, const std::string& t) override {
    return !Hit("rename", s) && inner().Rename(s, t);
  }
  bool ReplaceFile(const std::string& s, const std::string& t) override {
    return !Hit("replace", s) && inner().ReplaceFile(s, t);
  }
  bool DeleteFileAt(const std::string& p) override {
    return !Hit("delete", p, inner().FileExists(p)) && inner().DeleteFileAt(p);
  }
  bool SetLastWriteTime(const std::string& p, platform::DosDateTime t) override {
    return !Hit("set time", p) && inner().SetLastWriteTime(p, t);
  }
  std::unique_ptr<platform::File> Open(const std::string& p, platform::Access a, platform::Share s,
                                       platform::Disposition d) override;
  std::string MakeTempFile(const std::string& f, const std::string& p) override {
    if (Hit("temp file", f)) throw platform::PlatformError("Cannot make a file in " + f, 112);
    return inner().MakeTempFile(f, p);
  }
};

class FaultyFile : public platform::testing::ForwardingFile {
 public:
  FaultyFile(FaultyFileSystem& fs, std::unique_ptr<platform::File> inner, std::string path)
      : ForwardingFile(std::move(inner)), fs_(fs), path_(std::move(path)) {}
  size_t Read(void* b, size_t n) override {
    if (fs_.Hit("read", path_)) throw platform::PlatformError("Read error in " + path_, 23);
    return inner().Read(b, n);
  }
  // Disk full: nothing of this call reaches the file.
  void Write(const void* b, size_t n) override {
    if (fs_.Hit("write", path_)) throw platform::PlatformError("Disk full: " + path_, 112);
    inner().Write(b, n);
  }
  void Truncate() override {
    if (fs_.Hit("truncate", path_)) throw platform::PlatformError("Cannot end " + path_, 112);
    inner().Truncate();
  }
  void Flush() override {
    if (fs_.Hit("flush", path_)) throw platform::PlatformError("Cannot flush " + path_, 1117);
    if (fs_.sync) inner().Flush();
  }
  void SetLastWriteTime(platform::DosDateTime t) override {
    if (fs_.Hit("file time", path_)) throw platform::PlatformError("Cannot date " + path_, 5);
    inner().SetLastWriteTime(t);
  }

 private:
  FaultyFileSystem& fs_;
  std::string path_;
};

inline std::unique_ptr<platform::File> FaultyFileSystem::Open(const std::string& p,
                                                              platform::Access a, platform::Share s,
                                                              platform::Disposition d) {
  // Another program holding the file: the commonest way an open fails on Windows.
  if (Hit("open", p)) throw platform::PlatformError("Sharing violation: " + p, 32);
  return std::make_unique<FaultyFile>(*this, inner().Open(p, a, s, d), p);
}

}  // namespace tarvo::install::testing
