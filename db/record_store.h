// Records of a table that are held by the engine rather than read from the table file: those of
// blocks a change touched, and new ones. They are kept in chunks; past a memory budget the
// least recently used chunks go to a scratch file of the table's own in the temporary folder,
// so that a large change does not need the whole table in memory. The scratch file is never
// part of the family: the family's files change only when the table is flushed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/services.h"

namespace tarvo::db {

class RecordStore {
 public:
  RecordStore() = default;
  ~RecordStore();
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  // Starts empty. Without a file system (a table parsed from memory) nothing is spilled.
  // `label` names the table in messages.
  void Reset(int record_size, platform::FileSystem* fs, size_t budget_bytes, std::string label);
  // The record's bytes; it must have been stored. The pointer stays valid until kMinChunks - 1
  // other chunks have been brought back in, enough for the two records a comparison holds.
  const uint8_t* at(uint32_t id) const;
  void Set(uint32_t id, const uint8_t* bytes);
  void clear();

  static constexpr size_t kChunk = 64;  // records a chunk
  static constexpr size_t kMinChunks = 4;

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  // Chunks in memory are linked from the most recently used to the least.
  struct Chunk {
    std::unique_ptr<uint8_t[]> bytes;  // null while out
    bool in_file = false;              // the scratch file has it
    bool changed = false;              // changed since it was last written out
    uint32_t newer = kNone, older = kNone;
  };
  uint8_t* Use(size_t c) const {
    Chunk& ch = chunks_[c];
    if (!ch.bytes) return Bring(c);
    if (c != newest_) MarkUsed(static_cast<uint32_t>(c));
    return ch.bytes.get();
  }
  void MarkUsed(uint32_t c) const;
  void Unlink(uint32_t c) const;
  void Link(uint32_t c) const;  // as the newest
  uint8_t* Bring(size_t c) const;
  void SendOut(size_t c) const;
  void RemoveScratch() const;

  size_t record_size_ = 0;
  platform::FileSystem* fs_ = nullptr;
  std::string label_;
  size_t budget_chunks_ = 0;  // 0: no limit
  mutable std::vector<Chunk> chunks_;
  mutable size_t held_ = 0;  // chunks in memory
  mutable uint32_t newest_ = kNone, oldest_ = kNone;
  mutable std::string scratch_path_;
  mutable std::unique_ptr<platform::File> scratch_;
};

}  // namespace tarvo::db
