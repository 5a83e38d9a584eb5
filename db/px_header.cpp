// Headers of the files of a table family: file access, parsing, the chain of blocks, and the
// headers of new files.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <numeric>
#include <set>

#include "db/db_error.h"
#include "db/px_internal.h"
#include "db/px_table.h"
#include "text/codepage.h"

namespace tarvo::db::px {

using Kind = EDBEngineError::Kind;

namespace {

constexpr int kMaxFileBytes = 1 << 30;

}  // namespace

std::vector<uint8_t> ReadAll(platform::File& f, const std::string& path) {
  uint64_t size = f.Size();
  if (size > static_cast<uint64_t>(kMaxFileBytes)) Damaged(path, "file too large");
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  f.Seek(0);
  size_t got = 0;
  while (got < bytes.size()) {
    size_t n = f.Read(bytes.data() + got, bytes.size() - got);
    if (n == 0) break;
    got += n;
  }
  bytes.resize(got);
  return bytes;
}

std::vector<uint8_t> ReadFile(platform::FileSystem& fs, const std::string& path) {
  auto f = fs.Open(path, platform::Access::kRead, platform::Share::kDenyNone,
                   platform::Disposition::kOpenExisting);
  auto b = ReadAll(*f, path);
  f->Close();
  return b;
}

void WriteFile(platform::FileSystem& fs, const std::string& path, const std::vector<uint8_t>& b) {
  auto f = fs.Open(path, platform::Access::kReadWrite, platform::Share::kDenyWrite,
                   platform::Disposition::kOpenAlways);
  f->Seek(0);
  f->Write(b.data(), b.size());
  f->Truncate();
  f->Flush();
  f->Close();
}

EDBEngineError FromPlatform(const platform::PlatformError& e, const std::string& path) {
  if (e.code() == platform::kErrorSharingViolation || e.code() == 33)
    return EDBEngineError(Kind::kInUse, "Table is busy: " + path + " is in use by another program");
  if (e.code() == platform::kErrorFileNotFound || e.code() == platform::kErrorPathNotFound)
    return EDBEngineError(Kind::kMissingFile, "Table does not exist: " + path);
  return EDBEngineError(Kind::kIo, "Cannot access " + path + ": " + e.what());
}

bool ValidBlockCode(int c) { return (c >= 1 && c <= 4) || c == 8 || c == 16 || c == 32; }

bool IsDataLayout(int file_type) {
  return file_type == 0 || file_type == 2 || file_type == 3 || file_type == 5 || file_type == 6 ||
         file_type == 8;
}

int TableNameLength(int version) { return version >= 12 ? 261 : 79; }

namespace {

// The field list's types and sizes, laid out in the record; the caller has checked its bounds.
std::vector<FieldInfo> ReadFieldList(const std::vector<uint8_t>& b, const std::string& path,
                                     size_t at, int num_fields) {
  std::vector<FieldInfo> fields;
  int offset = 0;
  for (int i = 0; i < num_fields; ++i) {
    FieldInfo f;
    uint8_t t = b[at + 2 * i];
    f.size = b[at + 2 * i + 1];
    if (!IsKnownFieldType(t)) Damaged(path, "unknown field type " + std::to_string(t));
    f.type = static_cast<FieldType>(t);
    f.length = FieldStorageLength(f.type, f.size);
    if (f.length <= 0) Damaged(path, "field of no length");
    if (IsBlobType(f.type) && f.size < 10) Damaged(path, "blob field shorter than its descriptor");
    f.offset = offset;
    offset += f.length;
    fields.push_back(f);
  }
  return fields;
}

// The field names from `at`, then, where the header holds them, the field numbers, the sort order
// and the index name.
void ReadNames(const std::vector<uint8_t>& b, const std::string& path, size_t at,
               const TextCodec* name_codec, Header& h) {
  const size_t end = static_cast<size_t>(h.header_size);
  auto read_z = [&](std::string& out) {
    if (at >= end) return false;
    size_t z = at;
    while (z < end && b[z]) ++z;
    if (z >= end) return false;
    out.assign(reinterpret_cast<const char*>(b.data() + at), z - at);
    at = z + 1;
    return true;
  };
  for (auto& f : h.fields) {
    std::string raw;
    if (!read_z(raw)) Damaged(path, "field names beyond the header");
    f.name = name_codec ? name_codec->ToUtf8(raw) : raw;
  }
  if (at + 2 * h.num_fields <= end) {
    for (int i = 0; i < h.num_fields; ++i) h.numbers.push_back(Get16(b, at + 2 * i));
    at += 2 * h.num_fields;
    read_z(h.sort_order);
    read_z(h.index_name);
  }
}

}  // namespace

Header ParseHeader(const std::vector<uint8_t>& b, const std::string& path, bool names,
                   const TextCodec* name_codec) {
  Header h;
  if (b.size() < 0x58) Damaged(path, "header too short");
  h.record_size = Get16(b, 0);
  h.header_size = Get16(b, 2);
  h.file_type = b[4];
  int code = b[5];
  h.records = static_cast<int32_t>(Get32(b, 6));
  h.used_blocks = Get16(b, 0x0A);
  h.file_blocks = Get16(b, 0x0C);
  h.first_block = Get16(b, 0x0E);
  h.last_block = Get16(b, 0x10);
  h.root = Get16(b, 0x1E);
  h.levels = b[0x20];
  h.num_fields = Get16(b, 0x21);
  h.key_fields = Get16(b, 0x23);
  h.version = b[0x39];
  h.autoinc = static_cast<int32_t>(Get32(b, 0x49));
  h.first_free = Get16(b, 0x4D);
  if (h.file_type > 8) Damaged(path, "unknown file type " + std::to_string(h.file_type));
  if (!ValidBlockCode(code)) Damaged(path, "bad block size code " + std::to_string(code));
  h.block_size = code * 1024;
  if (h.header_size < 0x58 || h.header_size > static_cast<int>(b.size()))
    Damaged(path, "bad header size");
  if (h.record_size <= 0 || h.record_size + 6 > h.block_size) Damaged(path, "bad record size");
  if (h.num_fields <= 0 || h.num_fields > 255) Damaged(path, "bad field count");
  if (h.key_fields < 0 || h.key_fields > h.num_fields) Damaged(path, "bad key field count");
  if (h.records < 0) Damaged(path, "bad record count");
  bool v4 = h.version >= 5 && IsDataLayout(h.file_type);
  bool encrypted =
      v4 ? Get32(b, 0x5C) != 0 : (Get32(b, 0x25) != 0 && Get32(b, 0x25) != 0xFF00FF00u);
  if (v4 && b.size() >= 0x78) h.code_page = Get16(b, 0x6A);
  // A version 3 header names neither its code page nor its sort order; the Cyrillic sort order
  // byte implies code page 866 (of.db: Cyrillic field names and text in 866, byte 0xC0).
  const bool cyrillic_v3 = !v4 && IsDataLayout(h.file_type) && b[0x29] == 0xC0;
  if (cyrillic_v3) h.code_page = 866;
  if (encrypted) throw EDBEngineError(Kind::kUnsupported, "Table " + path + " is encrypted");
  size_t at = v4 ? 0x78 : 0x58;
  size_t end = static_cast<size_t>(h.header_size);
  if (at + 2 * h.num_fields > end) Damaged(path, "field list beyond the header");
  h.fields = ReadFieldList(b, path, at, h.num_fields);
  at += 2 * h.num_fields + 4;
  if (names) at += 4 * h.num_fields;
  at += TableNameLength(h.version);
  if (!names) return h;
  ReadNames(b, path, at, name_codec, h);
  if (cyrillic_v3 && h.sort_order.empty()) h.sort_order = "cyrr";
  return h;
}

size_t BlocksIn(const std::vector<uint8_t>& b, const Header& h) {
  if (b.size() <= static_cast<size_t>(h.header_size)) return 0;
  return (b.size() - h.header_size + h.block_size - 1) / h.block_size;
}

std::vector<ChainBlock> WalkChain(const std::vector<uint8_t>& b, const Header& h,
                                  const std::string& path) {
  std::vector<ChainBlock> out;
  const size_t avail = BlocksIn(b, h);
  if (h.first_block == 0) return out;
  std::vector<bool> seen(avail + 1, false);
  uint16_t n = static_cast<uint16_t>(h.first_block);
  uint16_t prev = 0;
  while (n != 0) {
    if (n > avail) Damaged(path, "block " + std::to_string(n) + " beyond the end of the file");
    if (seen[n]) Damaged(path, "block chain loops at block " + std::to_string(n));
    seen[n] = true;
    const size_t at = h.header_size + static_cast<size_t>(n - 1) * h.block_size;
    if (at + 6 > b.size()) Damaged(path, "block " + std::to_string(n) + " cut short");
    const uint8_t* p = b.data() + at;
    uint16_t next = static_cast<uint16_t>(p[0] | p[1] << 8);
    uint16_t bprev = static_cast<uint16_t>(p[2] | p[3] << 8);
    int16_t add = static_cast<int16_t>(p[4] | p[5] << 8);
    int count = add < 0 ? 0 : add / h.record_size + 1;
    if (static_cast<int64_t>(count) * h.record_size > h.block_size - 6)
      Damaged(path, "block " + std::to_string(n) + " holds more than fits");
    if (at + 6 + static_cast<size_t>(count) * h.record_size > b.size())
      Damaged(path, "block " + std::to_string(n) + " beyond the end of the file");
    (void)prev;
    out.push_back({n, next, bprev, count, p + 6});
    prev = n;
    n = next;
  }
  return out;
}

void PutName(std::vector<uint8_t>& b, size_t& at, const std::string& s) {
  if (at + s.size() + 1 > b.size()) b.resize(at + s.size() + 1 + 2048, 0);
  std::memcpy(b.data() + at, s.data(), s.size());
  at += s.size();
  b[at++] = 0;
}

// A header of the version 7 layout for a data-layout file (table or ".X" index).
std::vector<uint8_t> MakeDataHeader(int file_type, int block_code, const std::vector<FieldInfo>& f,
                                    const std::vector<std::string>& raw_names,
                                    const std::vector<uint16_t>& numbers, int key_fields,
                                    int code_page, const std::string& sort_order, uint8_t sort_byte,
                                    const std::string& table_name, const std::string& index_name,
                                    uint8_t direction, int index_field) {
  std::vector<uint8_t> b(0x800, 0);
  int rs = 0;
  for (auto& x : f) rs += x.length;
  Put16(b, 0, rs);
  b[4] = static_cast<uint8_t>(file_type);
  b[5] = static_cast<uint8_t>(block_code);
  Put16(b, 0x12, file_type == 0 || file_type == 2 ? 3 : 5);
  b[0x15] = static_cast<uint8_t>(index_field);
  Put16(b, 0x21, static_cast<uint32_t>(f.size()));
  Put16(b, 0x23, key_fields);
  Put32(b, 0x25, 0xFF00FF00u);
  b[0x29] = sort_byte;
  b[0x2D] = 1;
  b[0x2E] = 1;
  b[0x39] = 0x0C;
  b[0x3E] = 0x1F;
  b[0x3F] = 0x0F;
  // The first index field and its direction: 0x00 for a single-field index, 0x01 for a composite
  // one, 0x11 descending (db_CUSTOMER.X06, db_AREACODES.XG0, joins_indexed.xg0).
  b[0x55] = direction;
  b[0x56] = 0x20;
  Put16(b, 0x58, 0x010C);
  Put16(b, 0x5A, 0x010C);
  Put16(b, 0x64, static_cast<uint32_t>(f.size() + 1));
  Put16(b, 0x6A, code_page);
  b[0x6C] = 1;
  b[0x6D] = 1;
  size_t at = 0x78;
  for (auto& x : f) {
    b[at++] = static_cast<uint8_t>(x.type);
    b[at++] = static_cast<uint8_t>(x.size);
  }
  at += 4 + 4 * f.size();
  std::memcpy(b.data() + at, table_name.data(), std::min<size_t>(table_name.size(), 260));
  at += 261;
  for (auto& n : raw_names) PutName(b, at, n);
  if (at + 2 * numbers.size() > b.size()) b.resize(at + 2 * numbers.size() + 2048, 0);
  // Where the field numbers, the sort order's name and an index's name start, counted from 0x58
  // (db_AREACODES.DB, .XG0, db_CUSTOMER.DB, .X06, lekarstva.DB, TypSammlung.DB, empty.db).
  Put16(b, 0x66, static_cast<uint32_t>(at - 0x58));
  for (auto n : numbers) {
    Put16(b, at, n);
    at += 2;
  }
  Put16(b, 0x6E, static_cast<uint32_t>(at - 0x58));
  PutName(b, at, sort_order);
  if (!index_name.empty()) {
    Put16(b, 0x68, static_cast<uint32_t>(at - 0x58));
    PutName(b, at, index_name);
  }
  // No rule the samples show: 2 in three of the four keyed version 7 tables (lekarstva,
  // db_AREACODES, db_CUSTOMER), 1 in the unkeyed ones (empty.db, joins_indexed.db), 0 in every
  // ".X" file.
  b[0x70] = file_type == 0 ? 2 : file_type == 2 ? 1 : 0;
  // The length of the header in use, up to the last name (every Windows-written sample).
  Put16(b, 0x51, static_cast<uint32_t>(at));
  size_t hs = (at + 0x7FF) / 0x800 * 0x800;
  b.resize(std::max<size_t>(hs, 0x800), 0);
  Put16(b, 2, static_cast<uint32_t>(b.size()));
  StampUpdateTime(b);
  return b;
}

void StampUpdateTime(std::vector<uint8_t>& header) {
  // Seconds since 1970 (lekarstva.DB: 2001-10-29, fields_date7.db: 2018-09-14); whether the
  // engine counts them in local time or UTC no sample shows.
  if (header.size() >= 0x78 && header[0x39] >= 5 && IsDataLayout(header[4]))
    Put32(header, 0x60, static_cast<uint32_t>(std::time(nullptr)));
}

std::vector<uint8_t> MakeTreeHeader(int file_type, const std::vector<FieldInfo>& key,
                                    uint8_t sort_byte, const std::string& name, int version) {
  std::vector<uint8_t> b(0x800, 0);
  int rs = 6;
  for (auto& x : key) rs += x.length;
  Put16(b, 0, rs);
  Put16(b, 2, 0x800);
  b[4] = static_cast<uint8_t>(file_type);
  b[5] = 2;
  // A counter the engine keeps while it works; no sample shows a rule.
  Put16(b, 0x12, file_type == 1 ? 4 : 6);
  Put16(b, 0x1E, 1);
  Put16(b, 0x21, static_cast<uint32_t>(key.size()));
  b[0x29] = sort_byte;
  b[0x39] = static_cast<uint8_t>(version);
  // No rule either; the value most samples show: 1 in every version 7 ".PX" (db_AREACODES,
  // db_CUSTOMER, lekarstva, tblZCode), 2 in every single-field ".Y" (db_CUSTOMER.Y06,
  // joins_case.y01, joins_fk1.y02), 3 in three of the five composite ones (db_AREACODES.YG0,
  // tblZCode.YG0, .YG1).
  Put32(b, 0x49, file_type == 1 ? 1 : file_type == 4 ? 2 : 3);
  size_t at = 0x58;
  for (auto& x : key) {
    b[at++] = static_cast<uint8_t>(x.type);
    b[at++] = static_cast<uint8_t>(x.size);
  }
  at += 4;
  const size_t name_len = static_cast<size_t>(TableNameLength(version));
  std::memcpy(b.data() + at, name.data(), std::min(name.size(), name_len - 1));
  // The header in use ends after the table name (every ".PX" and ".Y" sample).
  Put16(b, 0x51, static_cast<uint32_t>(at + name_len));
  return b;
}

std::string DefaultSortOrder(int code_page) {
  switch (code_page) {
    case 866:
      return "cyrr";
    case 1251:
      return "ANCYRR";
    case 1252:
      return "ANSIINTL";
    default:
      return "ascii";
  }
}

uint8_t SortOrderByte(const std::string& name) {
  // The byte at 0x29 beside each sort order's name in the samples: cyrr (lekarstva.DB,
  // of_cp866.db), ANSIINTL (TypSammlung.DB), intl850 (country.db), ANSII850 (db_CUSTOMER.DB),
  // DBWINUS0 (db_AREACODES.DB), DBWINWE0 (fields_time.db), nordan40 (KOMMENT.DB), intl
  // (HOSTFAM.DB), ascii (ZIPCODES.DB). No sample has ANCYRR: it takes the byte of the other
  // Cyrillic order.
  std::string n = Upper(name);
  if (n == "CYRR" || n == "ANCYRR") return 0xC0;
  if (n == "ANSIINTL") return 0x62;
  if (n == "INTL850") return 0x54;
  if (n == "ANSII850") return 0x11;
  if (n == "DBWINUS0") return 0x4C;
  if (n == "DBWINWE0") return 0x40;
  if (n == "NORDAN40") return 0xE6;
  if (n == "INTL") return 0xB7;
  return 0;
}

}  // namespace tarvo::db::px
