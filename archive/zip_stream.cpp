#include "archive/zip_stream.h"

#include <algorithm>
#include <cstring>

namespace tarvo::archive {

size_t ZipStream::Read(void* buffer, size_t n) {
  auto* p = static_cast<uint8_t*>(buffer);
  size_t total = 0;
  while (total < n) {
    size_t got = file_->Read(p + total, n - total);
    if (got == 0) break;
    total += got;
  }
  return total;
}

void ZipStream::ReadExact(void* buffer, size_t n) {
  if (Read(buffer, n) != n) throw EStreamError("Stream read error");
}

void ZipStream::Write(const void* buffer, size_t n) {
  if (before_write) before_write(n);
  file_->Write(buffer, n);
}

void ZipStream::Seek(uint64_t position) { file_->Seek(position); }
uint64_t ZipStream::Position() { return file_->Position(); }
uint64_t ZipStream::Size() { return file_->Size(); }
void ZipStream::Truncate() { file_->Truncate(); }
void ZipStream::Flush() { file_->Flush(); }

void ZipStream::Close() {
  if (file_) {
    std::unique_ptr<platform::File> f = std::move(file_);
    f->Close();
  }
}

size_t MemoryFile::Read(void* buffer, size_t n) {
  if (n == 0) return 0;
  if (position_ >= data_.size()) return 0;
  size_t got = static_cast<size_t>(std::min<uint64_t>(n, data_.size() - position_));
  std::memcpy(buffer, data_.data() + position_, got);
  position_ += got;
  return got;
}

void MemoryFile::Write(const void* buffer, size_t n) {
  if (n == 0) return;
  if (position_ + n > data_.size()) data_.resize(position_ + n);
  std::memcpy(data_.data() + position_, buffer, n);
  position_ += n;
}

void MemoryFile::Truncate() {
  if (position_ < data_.size()) data_.resize(position_);
}

}  // namespace tarvo::archive
