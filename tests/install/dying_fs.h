// A file system that "dies" at its Nth counted operation, as a process that is killed or a
// machine that loses power: that operation and every later one have no effect on the disk. A
// write that dies reaches the disk torn (its first half only), as a kill in the middle of one
// can leave it. With `lose_unflushed`, every write, truncation and copy that its file's flush did
// not follow is undone at the death, as after a power loss; renames, deletions and new files stay
// (the file system's own journal keeps them, in their order).
//
// After the death every operation fails the way the real one fails (PlatformError or false), so
// that the program winds down through its ordinary error paths while nothing more reaches the
// disk; questions that change nothing (existence, sizes) are answered from the disk as the death
// left it. Counted: the same operations as FaultyFileSystem, plus Close.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/services.h"
#include "tests/platform/forwarding_fs.h"

namespace tarvo::install::testing {

class DyingFileSystem : public platform::testing::ForwardingFileSystem {
 public:
  explicit DyingFileSystem(platform::FileSystem& inner) : ForwardingFileSystem(inner) {}

  long die_at = 0;  // 1-based; 0: never
  // Or the first operation this picks (kind, path).
  std::function<bool(const std::string& kind, const std::string& path)> die_if;
  bool lose_unflushed = false;
  long count = 0;
  bool dead = false;
  std::string death;  // "write <path>" of the operation that died

  // Counts an operation; true when it must have no effect.
  bool Gone(const char* kind, const std::string& path) {
    if (dead) return true;
    ++count;
    if (count == die_at || (die_if && die_if(kind, path))) {
      dead = true;
      death = std::string(kind) + " " + path;
      if (lose_unflushed) LoseUnflushed();
      return true;
    }
    return false;
  }

  // What a write that no flush followed overwrote: put back at a power loss.
  struct Undo {
    uint64_t at = 0;
    std::vector<uint8_t> old;
    uint64_t old_size = 0;
  };
  static std::string Key(std::string p) {
    for (char& c : p) {
      if (c == '/') c = '\\';
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return p;
  }
  void Unflushed(const std::string& path, Undo undo) {
    auto& list = unflushed_[Key(path)];
    if (list.empty()) spelled_[Key(path)] = path;
    list.push_back(std::move(undo));
  }
  void Flushed(const std::string& path) { unflushed_.erase(Key(path)); }
  void Moved(const std::string& from, const std::string& to) {
    unflushed_.erase(Key(to));
    auto it = unflushed_.find(Key(from));
    if (it == unflushed_.end()) return;
    auto undos = std::move(it->second);
    unflushed_.erase(it);
    unflushed_[Key(to)] = std::move(undos);
    spelled_[Key(to)] = to;
  }
  void LoseUnflushed() {
    for (auto& [key, undos] : unflushed_) {
      const std::string path = spelled_[key];
      if (!inner().FileExists(path)) continue;
      auto f = inner().Open(path, platform::Access::kReadWrite, platform::Share::kDenyNone,
                            platform::Disposition::kOpenExisting);
      for (auto it = undos.rbegin(); it != undos.rend(); ++it) {
        f->Seek(it->at);
        if (!it->old.empty()) f->Write(it->old.data(), it->old.size());
        f->Seek(it->old_size);
        f->Truncate();
      }
      f->Close();
    }
    unflushed_.clear();
  }

  [[noreturn]] static void Fail(const std::string& path) {
    throw platform::PlatformError("The process is gone: " + path, 1117);
  }

  bool SetAttributes(const std::string& p, uint32_t a) override {
    return !Gone("set attributes", p) && inner().SetAttributes(p, a);
  }
  std::vector<platform::DirEntry> List(const std::string& f, const std::string& p) override {
    if (Gone("list", f)) Fail(f);
    return inner().List(f, p);
  }
  bool CreateDirectories(const std::string& p) override {
    return !Gone("create folder", p) && inner().CreateDirectories(p);
  }
  bool RemoveFolder(const std::string& p) override {
    return !Gone("remove folder", p) && inner().RemoveFolder(p);
  }
  bool CopyFileNoOverwrite(const std::string& s, const std::string& t) override {
    if (Gone("copy", t) || !inner().CopyFileNoOverwrite(s, t)) return false;
    if (lose_unflushed) Unflushed(t, {0, {}, 0});  // the copy's data: in the cache only
    return true;
  }
  bool Rename(const std::string& s, const std::string& t) override {
    if (Gone("rename", s) || !inner().Rename(s, t)) return false;
    Moved(s, t);
    return true;
  }
  bool ReplaceFile(const std::string& s, const std::string& t) override {
    if (Gone("replace", s) || !inner().ReplaceFile(s, t)) return false;
    Moved(s, t);
    return true;
  }
  bool DeleteFileAt(const std::string& p) override {
    if (Gone("delete", p) || !inner().DeleteFileAt(p)) return false;
    Flushed(p);
    return true;
  }
  bool SetLastWriteTime(const std::string& p, platform::DosDateTime t) override {
    return !Gone("set time", p) && inner().SetLastWriteTime(p, t);
  }
  std::unique_ptr<platform::File> Open(const std::string& p, platform::Access a, platform::Share s,
                                       platform::Disposition d) override;
  std::string MakeTempFile(const std::string& f, const std::string& p) override {
    if (Gone("temp file", f)) Fail(f);
    return inner().MakeTempFile(f, p);
  }

 private:
  std::map<std::string, std::vector<Undo>> unflushed_;  // by Key()
  std::map<std::string, std::string> spelled_;          // Key() -> a path as given
};

class DyingFile : public platform::testing::ForwardingFile {
 public:
  DyingFile(DyingFileSystem& fs, std::unique_ptr<platform::File> inner, std::string path)
      : ForwardingFile(std::move(inner)), fs_(fs), path_(std::move(path)) {}
  size_t Read(void* b, size_t n) override {
    if (fs_.Gone("read", path_)) DyingFileSystem::Fail(path_);
    return inner().Read(b, n);
  }
  void Write(const void* b, size_t n) override {
    const bool was_dead = fs_.dead;
    if (fs_.Gone("write", path_)) {
      // The write that dies reaches the disk torn, unless a power loss takes it anyway.
      if (!was_dead && !fs_.lose_unflushed) inner().Write(b, n / 2);
      DyingFileSystem::Fail(path_);
    }
    if (fs_.lose_unflushed) fs_.Unflushed(path_, Before(inner().Position(), n));
    inner().Write(b, n);
  }
  void Truncate() override {
    if (fs_.Gone("truncate", path_)) DyingFileSystem::Fail(path_);
    if (fs_.lose_unflushed) {
      const uint64_t at = inner().Position();
      const uint64_t size = inner().Size();
      if (size > at) fs_.Unflushed(path_, Before(at, static_cast<size_t>(size - at)));
    }
    inner().Truncate();
  }
  void Flush() override {
    if (fs_.Gone("flush", path_)) DyingFileSystem::Fail(path_);
    inner().Flush();
    fs_.Flushed(path_);
  }
  void SetLastWriteTime(platform::DosDateTime t) override {
    if (fs_.Gone("file time", path_)) DyingFileSystem::Fail(path_);
    inner().SetLastWriteTime(t);
  }
  // What was written is with the system after a close: a kill loses none of it.
  void Close() override {
    if (fs_.Gone("close", path_)) return;
    inner().Close();
  }

 private:
  // The bytes a write of n bytes at `at` is about to overwrite, and the size before it.
  DyingFileSystem::Undo Before(uint64_t at, size_t n) {
    DyingFileSystem::Undo u;
    u.at = at;
    u.old_size = inner().Size();
    if (at < u.old_size) {
      u.old.resize(static_cast<size_t>(std::min<uint64_t>(n, u.old_size - at)));
      size_t got = 0;
      try {
        inner().Seek(at);
        while (got < u.old.size()) {
          const size_t r = inner().Read(u.old.data() + got, u.old.size() - got);
          if (r == 0) break;
          got += r;
        }
      } catch (const platform::PlatformError&) {
        // Opened for writing only: the bytes are read through a handle of their own.
        auto r = fs_.inner().Open(path_, platform::Access::kRead, platform::Share::kDenyNone,
                                  platform::Disposition::kOpenExisting);
        r->Seek(at);
        got = 0;
        while (got < u.old.size()) {
          const size_t k = r->Read(u.old.data() + got, u.old.size() - got);
          if (k == 0) break;
          got += k;
        }
      }
      u.old.resize(got);
    }
    inner().Seek(at);
    return u;
  }

  DyingFileSystem& fs_;
  std::string path_;
};

inline std::unique_ptr<platform::File> DyingFileSystem::Open(const std::string& p,
                                                             platform::Access a, platform::Share s,
                                                             platform::Disposition d) {
  if (Gone("open", p)) Fail(p);
  return std::make_unique<DyingFile>(*this, inner().Open(p, a, s, d), p);
}

}  // namespace tarvo::install::testing
