// The ZIP records this engine reads and writes, as plain structures with their byte forms. Field
// values that the writer puts in, and what the reader looks at, live with the code that uses them;
// here are only layouts, signatures and the extra-field blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::archive {

inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr uint32_t kEndRecordSignature = 0x06054B50;
inline constexpr uint32_t kZip64EndRecordSignature = 0x06064B50;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
inline constexpr uint32_t kDataDescriptorSignature = 0x08074B50;

inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kEndRecordSize = 22;
inline constexpr size_t kZip64EndRecordSize = 56;
inline constexpr size_t kZip64LocatorSize = 20;
inline constexpr size_t kDataDescriptorSize = 16;
inline constexpr size_t kEncryptionHeaderSize = 12;

inline constexpr uint16_t kZip64ExtraId = 0x0001;
inline constexpr uint32_t kOverflow32 = 0xFFFFFFFF;
inline constexpr uint16_t kOverflow16 = 0xFFFF;

inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDirectory = 0x0002;  // written on folder entries
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8Name = 0x0800;

inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflate = 8;
inline constexpr uint16_t kMethodDeflate64 = 9;

inline constexpr uint16_t kVersionZip64 = 45;
inline constexpr uint16_t kVersionOem = 20;
inline constexpr uint16_t kVersionAnsi = 0x0B14;

// Little-endian access to a byte buffer.
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint64_t GetU64(const uint8_t* p) { return GetU32(p) | (uint64_t{GetU32(p + 4)} << 32); }
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Appends little-endian values to a growing byte string.
class ByteWriter {
 public:
  void U16(uint16_t v);
  void U32(uint32_t v);
  void U64(uint64_t v);
  void Bytes(std::string_view b) { data_.insert(data_.end(), b.begin(), b.end()); }
  void Bytes(const std::vector<uint8_t>& b) { data_.insert(data_.end(), b.begin(), b.end()); }
  const std::vector<uint8_t>& data() const { return data_; }
  std::vector<uint8_t>& data() { return data_; }

 private:
  std::vector<uint8_t> data_;
};

struct LocalFileHeader {
  uint32_t signature = kLocalHeaderSignature;
  uint16_t version_needed = kVersionOem;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t time = 0;
  uint16_t date = 0;
  uint32_t crc32 = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;

  static LocalFileHeader Parse(const uint8_t* p);  // kLocalHeaderSize bytes
  void Serialize(uint8_t* p) const;
};

struct CentralDirHeader {
  uint32_t signature = kCentralHeaderSignature;
  uint16_t version_made_by = kVersionOem;
  uint16_t version_needed = kVersionOem;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t time = 0;
  uint16_t date = 0;
  uint32_t crc32 = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
  uint16_t comment_length = 0;
  uint16_t disk_number_start = 0;
  uint16_t internal_attributes = 0;
  uint32_t external_attributes = 0;
  uint32_t local_header_offset = 0;

  static CentralDirHeader Parse(const uint8_t* p);  // kCentralHeaderSize bytes
  void Serialize(uint8_t* p) const;
};

struct EndOfCentralDir {
  uint32_t signature = kEndRecordSignature;
  uint16_t disk_number = 0;
  uint16_t directory_disk = 0;
  uint16_t entries_on_disk = 0;
  uint16_t total_entries = 0;
  uint32_t directory_size = 0;
  uint32_t directory_offset = 0;
  uint16_t comment_length = 0;

  static EndOfCentralDir Parse(const uint8_t* p);  // kEndRecordSize bytes
  void Serialize(uint8_t* p) const;
};

struct Zip64EndOfCentralDir {
  uint32_t signature = kZip64EndRecordSignature;
  uint64_t record_size = kZip64EndRecordSize - 12;
  uint16_t version_made_by = kVersionZip64;
  uint16_t version_needed = kVersionZip64;
  uint32_t disk_number = 0;
  uint32_t directory_disk = 0;
  uint64_t entries_on_disk = 0;
  uint64_t total_entries = 0;
  uint64_t directory_size = 0;
  uint64_t directory_offset = 0;

  static Zip64EndOfCentralDir Parse(const uint8_t* p);  // kZip64EndRecordSize bytes
  void Serialize(uint8_t* p) const;
};

struct Zip64Locator {
  uint32_t signature = kZip64LocatorSignature;
  uint32_t record_disk = 0;
  uint64_t record_offset = 0;
  uint32_t total_disks = 1;

  static Zip64Locator Parse(const uint8_t* p);  // kZip64LocatorSize bytes
  void Serialize(uint8_t* p) const;
};

struct DataDescriptor {
  uint32_t crc32 = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  static DataDescriptor Parse(const uint8_t* p);  // kDataDescriptorSize bytes, signature first
};

// One block of an extra field, kept as read so foreign data survives an update.
struct ExtraBlock {
  uint16_t id = 0;
  std::vector<uint8_t> data;
  bool operator==(const ExtraBlock&) const = default;
};

// Splits an extra field into blocks; a block whose stated size runs past the end is cut to the
// bytes that remain (and a trailing fragment shorter than a block header is dropped).
std::vector<ExtraBlock> ParseExtraField(const uint8_t* p, size_t n);
void AppendExtraBlocks(ByteWriter& out, const std::vector<ExtraBlock>& blocks);

// Values of a central Zip64 block: each one present only for a field that held its marker, read
// only while the block has data left.
struct Zip64Values {
  bool has_uncompressed = false, has_compressed = false, has_offset = false, has_disk = false;
  uint64_t uncompressed_size = 0;
  uint64_t compressed_size = 0;
  uint64_t local_header_offset = 0;
  uint16_t disk_number = 0;
};
Zip64Values ParseZip64Block(const std::vector<uint8_t>& data, bool want_uncompressed,
                            bool want_compressed, bool want_offset, bool want_disk);
// The central block for the fields that overflow, in the standard order.
ExtraBlock MakeCentralZip64Block(const Zip64Values& v);
// The local block: both sizes, 16 bytes of data.
ExtraBlock MakeLocalZip64Block(uint64_t uncompressed_size, uint64_t compressed_size);

}  // namespace tarvo::archive
