// A file system that "dies" at its Nth counted operation, as a process that is killed or a
// machine that loses power: that operation and every later one have no effect on the disk. A
// write that dies reaches the disk torn (its first half only), as a kill in the middle of one
// can leave it. With `lose_unflushed`, writes wait in memory until their file is flushed and are
// lost at the death, as after a power loss.
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

namespace tarvo::install::testing {

class DyingFileSystem : public platform::FileSystem {
 public:
  explicit DyingFileSystem(platform::FileSystem& inner) : in_(inner) {}

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
      return true;
    }
    return false;
  }
  [[noreturn]] static void Fail(const std::string& path) {
    throw platform::PlatformError("The process is gone: " + path, 1117);
  }

  bool FileExists(const std::string& p) override { return in_.FileExists(p); }
  bool DirectoryExists(const std::string& p) override { return in_.DirectoryExists(p); }
  std::optional<uint32_t> GetAttributes(const std::string& p) override {
    return in_.GetAttributes(p);
  }
  bool SetAttributes(const std::string& p, uint32_t a) override {
    return !Gone("set attributes", p) && in_.SetAttributes(p, a);
  }
  std::vector<platform::DirEntry> List(const std::string& f, const std::string& p) override {
    if (Gone("list", f)) Fail(f);
    return in_.List(f, p);
  }
  bool CreateDirectories(const std::string& p) override {
    return !Gone("create folder", p) && in_.CreateDirectories(p);
  }
  bool RemoveDirectory(const std::string& p) override {
    return !Gone("remove folder", p) && in_.RemoveDirectory(p);
  }
  bool CopyFileNoOverwrite(const std::string& s, const std::string& t) override {
    return !Gone("copy", t) && in_.CopyFileNoOverwrite(s, t);
  }
  bool Rename(const std::string& s, const std::string& t) override {
    return !Gone("rename", s) && in_.Rename(s, t);
  }
  bool ReplaceFile(const std::string& s, const std::string& t) override {
    return !Gone("replace", s) && in_.ReplaceFile(s, t);
  }
  bool DeleteFile(const std::string& p) override { return !Gone("delete", p) && in_.DeleteFile(p); }
  std::optional<platform::DosDateTime> GetLastWriteTime(const std::string& p) override {
    return in_.GetLastWriteTime(p);
  }
  bool SetLastWriteTime(const std::string& p, platform::DosDateTime t) override {
    return !Gone("set time", p) && in_.SetLastWriteTime(p, t);
  }
  std::unique_ptr<platform::File> Open(const std::string& p, platform::Access a, platform::Share s,
                                       platform::Disposition d) override;
  std::string MakeTempFile(const std::string& f, const std::string& p) override {
    if (Gone("temp file", f)) Fail(f);
    return in_.MakeTempFile(f, p);
  }
  std::string TempFolder() override { return in_.TempFolder(); }
  bool IsRemovableDrive(const std::string& p) override { return in_.IsRemovableDrive(p); }
  uint64_t AvailablePhysicalMemory() override { return in_.AvailablePhysicalMemory(); }
  std::string ExecutablePath() override { return in_.ExecutablePath(); }
  std::string FullPath(const std::string& p) override { return in_.FullPath(p); }

 private:
  platform::FileSystem& in_;
};

class DyingFile : public platform::File {
 public:
  DyingFile(DyingFileSystem& fs, std::unique_ptr<platform::File> inner, std::string path)
      : fs_(fs), in_(std::move(inner)), path_(std::move(path)) {
    size_ = in_->Size();
  }
  size_t Read(void* b, size_t n) override {
    if (fs_.Gone("read", path_)) DyingFileSystem::Fail(path_);
    if (!pending_.empty()) {
      // Reads see the file as the program wrote it.
      const uint64_t end = std::min<uint64_t>(size_, pos_ + n);
      if (pos_ >= end) return 0;
      const size_t got = static_cast<size_t>(end - pos_);
      std::vector<uint8_t> bytes = Image(pos_, got);
      std::memcpy(b, bytes.data(), got);
      pos_ = end;
      return got;
    }
    in_->Seek(pos_);
    const size_t got = in_->Read(b, n);
    pos_ += got;
    return got;
  }
  void Write(const void* b, size_t n) override {
    const bool was_dead = fs_.dead;
    if (fs_.Gone("write", path_)) {
      // The write that dies reaches the disk torn, unless it was only in memory.
      if (!was_dead && !fs_.lose_unflushed) {
        in_->Seek(pos_);
        in_->Write(b, n / 2);
      }
      DyingFileSystem::Fail(path_);
    }
    if (fs_.lose_unflushed) {
      pending_.push_back({pos_, std::vector<uint8_t>(static_cast<const uint8_t*>(b),
                                                     static_cast<const uint8_t*>(b) + n)});
    } else {
      in_->Seek(pos_);
      in_->Write(b, n);
    }
    pos_ += n;
    size_ = std::max(size_, pos_);
  }
  void Seek(uint64_t p) override { pos_ = p; }
  uint64_t Position() override { return pos_; }
  uint64_t Size() override { return size_; }
  void Truncate() override {
    if (fs_.Gone("truncate", path_)) DyingFileSystem::Fail(path_);
    if (fs_.lose_unflushed) {
      pending_.push_back({pos_, {}});
      truncates_.push_back(pending_.size() - 1);
    } else {
      in_->Seek(pos_);
      in_->Truncate();
    }
    size_ = pos_;
  }
  void Flush() override {
    if (fs_.Gone("flush", path_)) DyingFileSystem::Fail(path_);
    Drain();
  }
  void SetLastWriteTime(platform::DosDateTime t) override {
    if (fs_.Gone("file time", path_)) DyingFileSystem::Fail(path_);
    in_->SetLastWriteTime(t);
  }
  // A close hands what was written to the system, which writes it in its own time: after a
  // kill it still reaches the disk, after a power loss only if flushed.
  void Close() override {
    if (fs_.Gone("close", path_)) {
      pending_.clear();
      return;
    }
    if (!fs_.lose_unflushed) Drain();
    pending_.clear();
    in_->Close();
  }

 private:
  struct Pending {
    uint64_t at;
    std::vector<uint8_t> bytes;  // empty: a truncation at `at`
  };
  void Drain() {
    for (size_t i = 0; i < pending_.size(); ++i) {
      const Pending& p = pending_[i];
      in_->Seek(p.at);
      if (std::find(truncates_.begin(), truncates_.end(), i) != truncates_.end())
        in_->Truncate();
      else
        in_->Write(p.bytes.data(), p.bytes.size());
    }
    pending_.clear();
    truncates_.clear();
    in_->Flush();
  }
  std::vector<uint8_t> Image(uint64_t at, size_t n) {
    std::vector<uint8_t> bytes(n, 0);
    in_->Seek(at);
    size_t got = 0;
    while (got < n) {
      const size_t r = in_->Read(bytes.data() + got, n - got);
      if (r == 0) break;
      got += r;
    }
    for (size_t i = 0; i < pending_.size(); ++i) {
      const Pending& p = pending_[i];
      if (std::find(truncates_.begin(), truncates_.end(), i) != truncates_.end()) {
        if (p.at < at + n)
          std::fill(bytes.begin() + static_cast<size_t>(std::max(p.at, at) - at), bytes.end(), 0);
        continue;
      }
      for (size_t k = 0; k < p.bytes.size(); ++k) {
        const uint64_t pos = p.at + k;
        if (pos >= at && pos < at + n) bytes[static_cast<size_t>(pos - at)] = p.bytes[k];
      }
    }
    return bytes;
  }

  DyingFileSystem& fs_;
  std::unique_ptr<platform::File> in_;
  std::string path_;
  uint64_t pos_ = 0;
  uint64_t size_ = 0;
  std::vector<Pending> pending_;
  std::vector<size_t> truncates_;
};

inline std::unique_ptr<platform::File> DyingFileSystem::Open(const std::string& p,
                                                             platform::Access a, platform::Share s,
                                                             platform::Disposition d) {
  if (Gone("open", p)) Fail(p);
  return std::make_unique<DyingFile>(*this, in_.Open(p, a, s, d), p);
}

}  // namespace tarvo::install::testing
