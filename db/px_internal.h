// What the files of a table family share: byte access, file access, the parsed header and the
// builders of headers and index trees. Internal to the table engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/db_error.h"
#include "db/field_codec.h"
#include "platform/services.h"

namespace tarvo::db::px {

inline uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
  return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] | b[at + 1] << 8) : 0;
}
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return at + 4 <= b.size() ? static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
                                                    static_cast<uint32_t>(b[at + 3]) << 24)
                            : 0;
}
inline void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Up to `n` bytes from the start of a file: fewer when it is shorter.
inline std::vector<uint8_t> ReadFromStart(platform::File& f, size_t n) {
  std::vector<uint8_t> b(n);
  f.Seek(0);
  size_t got = 0;
  while (got < b.size()) {
    const size_t r = f.Read(b.data() + got, b.size() - got);
    if (r == 0) break;
    got += r;
  }
  b.resize(got);
  return b;
}

[[noreturn]] inline void Damaged(const std::string& path, const std::string& what) {
  throw EDBEngineError(EDBEngineError::Kind::kDamaged,
                       "Corrupt table or index file " + path + ": " + what);
}

inline std::string FolderOf(const std::string& path) {
  auto p = path.find_last_of("\\/");
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}
inline std::string BaseOf(const std::string& path) {
  auto p = path.find_last_of("\\/");
  std::string name = p == std::string::npos ? path : path.substr(p + 1);
  auto dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}
inline std::string StemOf(const std::string& path) {
  auto p = path.find_last_of("\\/");
  auto dot = path.find_last_of('.');
  return dot == std::string::npos || (p != std::string::npos && dot < p) ? path
                                                                         : path.substr(0, dot);
}
inline std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::vector<uint8_t> ReadAll(platform::File& f, const std::string& path);
std::vector<uint8_t> ReadFile(platform::FileSystem& fs, const std::string& path);
void WriteFile(platform::FileSystem& fs, const std::string& path, const std::vector<uint8_t>& b);
EDBEngineError FromPlatform(const platform::PlatformError& e, const std::string& path);

bool ValidBlockCode(int c);

// Bytes of index records a flush sorts in memory at a time (PxTable::SetMemoryBudget's record
// budget); more go to a scratch file in runs of that size.
size_t IndexRunBytes();

// The parts of a table or index header this engine uses.
struct Header {
  int record_size = 0, header_size = 0, file_type = 0, block_size = 0;
  int32_t records = 0;
  int used_blocks = 0, file_blocks = 0, first_block = 0, last_block = 0;
  int num_fields = 0, key_fields = 0, version = 0, code_page = 437;
  int first_free = 0;
  int32_t autoinc = 0;
  int root = 0, levels = 0;
  std::vector<FieldInfo> fields;
  std::vector<uint16_t> numbers;
  std::string sort_order, index_name;
};

bool IsDataLayout(int file_type);
int TableNameLength(int version);
Header ParseHeader(const std::vector<uint8_t>& b, const std::string& path, bool names,
                   const TextCodec* name_codec);

// Blocks of a data-layout file (table or ".X" index), walked along their chain.
struct ChainBlock {
  uint16_t number, next, prev;
  int count;
  const uint8_t* data;
};

// Blocks a file holds, counting a last block cut short: the engine under DOS may end a file
// after the last block's records (ZIPCODES.DB and HOSTFAM.DB end half a block early).
size_t BlocksIn(const std::vector<uint8_t>& b, const Header& h);
std::vector<ChainBlock> WalkChain(const std::vector<uint8_t>& b, const Header& h,
                                  const std::string& path);

// Index tree entries (".px", ".Y"): key, child block, records below it. The count is 32 bits,
// kept in the entry's last two words, low word first, each unsigned (HOSTFAM.PX, tblZCode.PX).
struct TreeEntry {
  std::string key;
  uint16_t block;
  uint32_t count;
};

// Lays an index tree out as the engine writes one in one go (tblZCode.PX, tblZCode.YG1): the root
// in block 1, each level below it in key order after the level above, the leaves last, all on one
// chain in block order; every block but a level's last holds one entry less than fits.
std::vector<uint8_t> BuildTree(std::vector<uint8_t> header, int key_len, int block_size,
                               const std::vector<TreeEntry>& leaves, uint8_t stamp);
// Lays sorted records into full blocks of a data-layout file; returns the tree leaves.
std::vector<uint8_t> BuildDataFile(std::vector<uint8_t> header, int record_size, int block_size,
                                   int key_len, const uint8_t* recs, size_t count,
                                   std::vector<TreeEntry>& leaves);
// An index tree as read from its file.
struct TreeRead {
  std::vector<TreeEntry> leaves;  // entries of the lowest level, in key order
  int levels = 0;
  std::vector<std::vector<uint16_t>> level_blocks;  // root level first, each in key order
  std::vector<std::vector<int>> level_entries;      // entries of those blocks
  std::vector<uint16_t> chain;                      // from the header's first block
  // Where the file departs from the form every engine-written tree has (one chain through all
  // blocks, each level in key order along it, counts that add up, the header counting every
  // entry): faults a reader may survive but the engine does not write.
  std::vector<std::string> problems;
};
// Reads an index tree; raises when it cannot be walked at all (blocks out of range, loops).
TreeRead ReadTree(const std::vector<uint8_t>& b, const std::string& path, int key_len);

// A header of the version 7 layout for a data-layout file (table or ".X" index).
std::vector<uint8_t> MakeDataHeader(int file_type, int block_code, const std::vector<FieldInfo>& f,
                                    const std::vector<std::string>& raw_names,
                                    const std::vector<uint16_t>& numbers, int key_fields,
                                    int code_page, const std::string& sort_order, uint8_t sort_byte,
                                    const std::string& table_name, const std::string& index_name,
                                    uint8_t direction, int index_field);
// A header of an index tree file (".px", ".Y") of a table of that version (the byte at 0x39).
std::vector<uint8_t> MakeTreeHeader(int file_type, const std::vector<FieldInfo>& key,
                                    uint8_t sort_byte, const std::string& name, int version);
// Sets the time of the last change (0x60) of a table or ".X" header of the version 4 layout.
void StampUpdateTime(std::vector<uint8_t>& header);
std::string DefaultSortOrder(int code_page);
uint8_t SortOrderByte(const std::string& name);
// The ".mb" header of an empty blob file, as the engine writes it.
std::vector<uint8_t> MakeMbHeader();

}  // namespace tarvo::db::px
