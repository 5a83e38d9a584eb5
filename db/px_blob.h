// The blob file (".mb") of one table: its header, its map of blocks (whole blobs, sub-allocated
// blocks of small blobs, free blocks) and the changes not yet written.
//
// Changes stay in memory until the table flushes; the flush writes them in one pass and keeps
// what it overwrote, so that a failed flush can put the file back. Every length and offset read
// from the file is checked before it is used: a damaged file raises EDBEngineError.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/services.h"

namespace tarvo::db {

class BlobFile {
 public:
  static constexpr uint32_t kUnit = 4096;
  // Blobs of up to this many bytes go into sub-allocated blocks: 127 chunks of 16 bytes.
  static constexpr uint32_t kMaxSmallBlob = 2032;

  // `handle` is the table's handle on the file, opened here when first needed; `new_header` is
  // the header a file gets when it does not exist yet.
  BlobFile(platform::FileSystem* fs, std::string path, std::unique_ptr<platform::File>& handle,
           std::vector<uint8_t> new_header);

  const std::string& path() const { return path_; }

  // The blob a record names by its pointer (block offset and slot) and length.
  std::string Read(uint32_t pointer, uint32_t length);
  // Places a blob; returns the record's pointer and sets the modification number it carries.
  uint32_t Store(std::string_view data, uint16_t& mod);
  // Frees the blob a record names. A pointer that names no live blob of that length and
  // modification number is left alone: it may be damaged or already freed, and freeing on a
  // guess could take another record's blob.
  void Release(uint32_t pointer, uint32_t length, uint16_t mod);
  // Every blob gone: the file becomes its header alone.
  void Clear();

  bool dirty() const { return dirty_; }
  // File size after the pending changes.
  uint64_t size() const { return static_cast<uint64_t>(end_units_) * kUnit; }

  struct Undo {
    bool started = false;  // Write ran: there is something to put back
    bool existed = true;
    uint64_t size = 0;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> ranges;  // offset, old bytes
  };
  // Called with what the write will overwrite (whether the file existed, its size, the old bytes
  // of every range), before the first byte of it changes.
  using BeforeImages =
      std::function<void(bool existed, uint64_t old_size,
                         const std::vector<std::pair<uint64_t, std::vector<uint8_t>>>&)>;
  // Writes the pending changes, recording in `undo` what they overwrite.
  void Write(Undo& undo, const BeforeImages& record = {});
  // Puts back what `undo` recorded (best effort; the caller reports the original failure).
  void Restore(const Undo& undo);
  // The flush that wrote the changes succeeded.
  void Written();

  // Works a whole blob file held in memory (for tests and fuzzing): the block map is validated,
  // every blob read and freed, and new blobs placed and read back, without writing anything.
  static void CheckBytes(const std::vector<uint8_t>& bytes);

 private:
  struct Block {
    uint8_t type = 0;     // 2 whole blob, 3 sub-allocated, 4 free
    uint32_t units = 0;   // size in 4 KiB units
    int free_chunks = 0;  // sub-allocated: 16-byte chunks not held by a live blob
    int free_slots = 0;   // sub-allocated: pointer entries not in use
  };

  void OpenForReading();
  void Load();  // the block map, before the first change
  std::vector<uint8_t> ReadAt(uint64_t offset, size_t n);
  std::vector<uint8_t>& SubImage(uint32_t unit);
  uint32_t TakeUnits(uint32_t units);
  void FreeUnits(uint32_t unit);
  void SetFreeHeader(uint32_t unit, uint32_t units);
  void Recount(uint32_t unit, const std::vector<uint8_t>& image);
  std::vector<uint8_t> HeaderImage() const;
  [[noreturn]] void Damaged(const std::string& what) const;

  platform::FileSystem* fs_;
  std::string path_;
  std::unique_ptr<platform::File>& file_;
  bool writable_ = false;
  std::vector<uint8_t> new_header_;

  bool loaded_ = false;
  bool exists_ = false;
  bool dirty_ = false;
  std::vector<uint8_t> header_;
  std::map<uint32_t, Block> blocks_;  // by first unit; unit 0 is the header
  std::set<uint32_t> open_;           // sub-allocated blocks with room for another blob
  std::set<uint32_t> free_;           // free blocks
  uint32_t end_units_ = 1;            // file size in units after the pending changes
  uint32_t disk_units_ = 0;           // file size in units as last written
  uint64_t disk_size_ = 0;
  // Bytes to write, by unit: whole images of new and changed blocks, or the three header bytes
  // of a block that became free.
  std::map<uint32_t, std::vector<uint8_t>> writes_;
};

}  // namespace tarvo::db
