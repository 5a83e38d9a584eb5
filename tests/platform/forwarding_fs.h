// A file system and a file that pass every call to another: the base of the test file systems
// that change a few operations (fail them, count them, lose them) and leave the rest alone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/services.h"

namespace tarvo::platform::testing {

class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(FileSystem& inner) : inner_(inner) {}

  FileSystem& inner() { return inner_; }

  bool FileExists(const std::string& p) override { return inner_.FileExists(p); }
  bool DirectoryExists(const std::string& p) override { return inner_.DirectoryExists(p); }
  std::optional<uint32_t> GetAttributes(const std::string& p) override {
    return inner_.GetAttributes(p);
  }
  bool SetAttributes(const std::string& p, uint32_t a) override {
    return inner_.SetAttributes(p, a);
  }
  std::vector<DirEntry> List(const std::string& f, const std::string& p) override {
    return inner_.List(f, p);
  }
  bool CreateDirectories(const std::string& p) override { return inner_.CreateDirectories(p); }
  bool RemoveFolder(const std::string& p) override { return inner_.RemoveFolder(p); }
  bool CopyFileNoOverwrite(const std::string& s, const std::string& t) override {
    return inner_.CopyFileNoOverwrite(s, t);
  }
  bool Rename(const std::string& s, const std::string& t) override { return inner_.Rename(s, t); }
  bool ReplaceFile(const std::string& s, const std::string& t) override {
    return inner_.ReplaceFile(s, t);
  }
  bool DeleteFileAt(const std::string& p) override { return inner_.DeleteFileAt(p); }
  std::optional<DosDateTime> GetLastWriteTime(const std::string& p) override {
    return inner_.GetLastWriteTime(p);
  }
  bool SetLastWriteTime(const std::string& p, DosDateTime t) override {
    return inner_.SetLastWriteTime(p, t);
  }
  std::unique_ptr<File> Open(const std::string& p, Access a, Share s, Disposition d) override {
    return inner_.Open(p, a, s, d);
  }
  std::string MakeTempFile(const std::string& f, const std::string& p) override {
    return inner_.MakeTempFile(f, p);
  }
  std::string TempFolder() override { return inner_.TempFolder(); }
  bool IsRemovableDrive(const std::string& p) override { return inner_.IsRemovableDrive(p); }
  uint64_t AvailablePhysicalMemory() override { return inner_.AvailablePhysicalMemory(); }
  std::string ExecutablePath() override { return inner_.ExecutablePath(); }
  std::string FullPath(const std::string& p) override { return inner_.FullPath(p); }

 private:
  FileSystem& inner_;
};

class ForwardingFile : public File {
 public:
  explicit ForwardingFile(std::unique_ptr<File> inner) : inner_(std::move(inner)) {}

  File& inner() { return *inner_; }

  size_t Read(void* b, size_t n) override { return inner_->Read(b, n); }
  void Write(const void* b, size_t n) override { inner_->Write(b, n); }
  void Seek(uint64_t p) override { inner_->Seek(p); }
  uint64_t Position() override { return inner_->Position(); }
  uint64_t Size() override { return inner_->Size(); }
  void Truncate() override { inner_->Truncate(); }
  void Flush() override { inner_->Flush(); }
  void SetLastWriteTime(DosDateTime t) override { inner_->SetLastWriteTime(t); }
  void Close() override { inner_->Close(); }

 private:
  std::unique_ptr<File> inner_;
};

}  // namespace tarvo::platform::testing
