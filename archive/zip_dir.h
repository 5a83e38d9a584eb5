// The in-memory directory of an open archive: entry records, the list that holds them with its
// hashed name index, and the manager that owns the directory and the end records as read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/zip_records.h"
#include "archive/zip_types.h"

namespace tarvo::archive {

// One entry: the central header as fields, name, comment, extra blocks, the 64-bit values and the
// work fields of the running operation.
struct TDirItem {
  CentralDirHeader header;
  std::string FileName;  // UTF-8, "/" separators, as stored
  std::string RawName;   // the name's bytes as read, written back while FileName is unchanged
  std::string Comment;   // raw bytes, never converted
  std::vector<ExtraBlock> ExtraBlocks;  // every block as read, the Zip64 one included
  bool Zip64 = false;
  uint64_t UncompressedSize = 0;
  uint64_t CompressedSize = 0;
  uint64_t LocalHeaderOffset = 0;
  uint32_t DiskNumber = 0;

  // Work fields.
  bool Selected = false;
  TZipProcessOperation Operation = TZipProcessOperation::poNone;
  int CompressionMode = 0;
  std::string SourceFileName;
  std::string Password;
  bool Changed = false;
  int OriginalIndex = -1;  // position in the rollback copy of an entry that was on disk

  bool IsDirectory() const;
  bool IsEncrypted() const { return (header.flags & kFlagEncrypted) != 0; }
  // The extra blocks other than Zip64 one, which the writer makes anew.
  std::vector<ExtraBlock> ForeignExtraBlocks() const;
};

// Rotate left by 2 and XOR each byte of the upper-cased name.
uint32_t TZipStringHash(std::string_view upper_name);

// One lower-cased name per directory position, found without regard to case through a hash.
class TZipHashedStringList {
 public:
  void Clear();
  void Add(std::string_view name);
  void Set(int index, std::string_view name);
  void Delete(int index);
  // The first position holding the name (compared without case), or -1.
  int IndexOf(std::string_view name);
  const std::string& operator[](int index) const { return names_[index]; }
  int Count() const { return static_cast<int>(names_.size()); }

 private:
  void Rebuild();
  static std::string Key(std::string_view name);

  std::vector<std::string> names_;
  std::vector<std::vector<int>> buckets_;
  bool hashed_ = false;
};

// The entries in directory order, with the name index kept in step.
class TZipDirArray {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  size_t Capacity() const { return capacity_; }
  TDirItem& operator[](int index) { return items_[index]; }
  const TDirItem& operator[](int index) const { return items_[index]; }
  TDirItem& At(int index);  // native error 1 when out of bounds

  int Add(TDirItem item);
  void Delete(int index);
  void Clear();
  // Renames an entry; native error 59 when the index disagrees with the old name.
  void SetName(int index, const std::string& name);
  // Position of an entry by name (without case), or -1; native error 58 when the index names a
  // position whose entry has another name.
  int IndexOf(std::string_view name) const;
  // Grows the capacity for `needed` items by the growth rule.
  void Reserve(size_t needed);

 private:
  void Grow(size_t needed);

  std::vector<TDirItem> items_;
  size_t capacity_ = 0;
  size_t growth_step_ = 0;
  mutable TZipHashedStringList names_;  // the hash is built on first lookup
};

// Everything known about the open archive's directory.
struct TZipDirManager {
  EndOfCentralDir end_record;
  bool has_end_record = false;
  std::string archive_comment;  // raw bytes
  Zip64EndOfCentralDir zip64_end_record;
  Zip64Locator zip64_locator;
  bool is_zip64 = false;
  bool multi_volume = false;
  uint64_t end_record_offset = 0;
  uint64_t stub_size = 0;
  uint64_t directory_start = 0;  // entry data never runs past this offset
  bool repaired = false;
  TZipDirArray items;
  TZipDirArray rollback;  // the directory as it was when the update started

  void Clear();
};

}  // namespace tarvo::archive
