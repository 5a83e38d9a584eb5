// The stream layer between the engine and the archive file: exact reads with the engine's
// errors, and a test hook through which a write can be made to fail at a chosen point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/services.h"

namespace tarvo::archive {

// A read past the end of the archive.
class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ZipStream {
 public:
  explicit ZipStream(std::unique_ptr<platform::File> file) : file_(std::move(file)) {}

  size_t Read(void* buffer, size_t n);
  // Reads exactly n bytes or throws EStreamError "Stream read error".
  void ReadExact(void* buffer, size_t n);
  // Writes all n bytes or throws.
  void Write(const void* buffer, size_t n);
  void Seek(uint64_t position);
  uint64_t Position();
  uint64_t Size();
  void Truncate();
  void Flush();
  void Close();
  bool IsOpen() const { return file_ != nullptr; }
  platform::File& file() { return *file_; }

  // Called before every write with the byte count; a test throws from it to inject a failure.
  std::function<void(size_t)> before_write;

 private:
  std::unique_ptr<platform::File> file_;
};

// A file held in memory: archives for the fuzzer and for tests that need no disk.
class MemoryFile : public platform::File {
 public:
  MemoryFile() = default;
  explicit MemoryFile(std::vector<uint8_t> data) : data_(std::move(data)) {}

  size_t Read(void* buffer, size_t n) override;
  void Write(const void* buffer, size_t n) override;
  void Seek(uint64_t position) override { position_ = position; }
  uint64_t Position() override { return position_; }
  uint64_t Size() override { return data_.size(); }
  void Truncate() override;
  void Flush() override {}
  void SetLastWriteTime(platform::DosDateTime) override {}
  void Close() override {}

  const std::vector<uint8_t>& data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
  uint64_t position_ = 0;
};

}  // namespace tarvo::archive
