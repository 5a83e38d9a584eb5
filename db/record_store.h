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
  struct Chunk {
    std::unique_ptr<uint8_t[]> bytes;  // null while out
    bool in_file = false;              // the scratch file has it
    bool changed = false;              // changed since it was last written out
    uint64_t used = 0;
  };
  uint8_t* Bring(size_t c) const;
  void SendOut(size_t c) const;
  void RemoveScratch() const;

  size_t record_size_ = 0;
  platform::FileSystem* fs_ = nullptr;
  std::string label_;
  size_t budget_chunks_ = 0;  // 0: no limit
  mutable std::vector<Chunk> chunks_;
  mutable std::vector<size_t> held_;  // chunks in memory
  mutable uint64_t clock_ = 0;
  mutable std::string scratch_path_;
  mutable std::unique_ptr<platform::File> scratch_;
};

}  // namespace tarvo::db
