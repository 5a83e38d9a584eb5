#include "db/px_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>
#include <set>

#include "db/db_error.h"
#include "db/family_journal.h"
#include "text/codepage.h"

namespace tarvo::db {

using Kind = EDBEngineError::Kind;

namespace {

constexpr int kMaxFileBytes = 1 << 30;

uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
  return at + 2 <= b.size() ? static_cast<uint16_t>(b[at] | b[at + 1] << 8) : 0;
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return at + 4 <= b.size() ? static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
                                                    static_cast<uint32_t>(b[at + 3]) << 24)
                            : 0;
}
void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

[[noreturn]] void Damaged(const std::string& path, const std::string& what) {
  throw EDBEngineError(Kind::kDamaged, "Corrupt table or index file " + path + ": " + what);
}

std::string FolderOf(const std::string& path) {
  auto p = path.find_last_of("\\/");
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}
std::string BaseOf(const std::string& path) {
  auto p = path.find_last_of("\\/");
  std::string name = p == std::string::npos ? path : path.substr(p + 1);
  auto dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}
std::string StemOf(const std::string& path) {
  auto p = path.find_last_of("\\/");
  auto dot = path.find_last_of('.');
  return dot == std::string::npos || (p != std::string::npos && dot < p) ? path
                                                                         : path.substr(0, dot);
}
std::string Upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

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

bool IsDataLayout(int file_type) {
  return file_type == 0 || file_type == 2 || file_type == 3 || file_type == 5 ||
         file_type == 6 || file_type == 8;
}

int TableNameLength(int version) { return version >= 12 ? 261 : 79; }

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
  bool encrypted = v4 ? Get32(b, 0x5C) != 0 : (Get32(b, 0x25) != 0 && Get32(b, 0x25) != 0xFF00FF00u);
  if (v4 && b.size() >= 0x78) h.code_page = Get16(b, 0x6A);
  if (encrypted)
    throw EDBEngineError(Kind::kUnsupported, "Table " + path + " is encrypted");
  size_t at = v4 ? 0x78 : 0x58;
  size_t end = static_cast<size_t>(h.header_size);
  if (at + 2 * h.num_fields > end) Damaged(path, "field list beyond the header");
  int offset = 0;
  for (int i = 0; i < h.num_fields; ++i) {
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
    h.fields.push_back(f);
  }
  at += 2 * h.num_fields + 4;
  if (names) at += 4 * h.num_fields;
  at += TableNameLength(h.version);
  if (!names) return h;
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
  return h;
}

// Blocks of a data-layout file (table or ".X" index), walked along their chain.
struct ChainBlock {
  uint16_t number, next, prev;
  int count;
  const uint8_t* data;
};

std::vector<ChainBlock> WalkChain(const std::vector<uint8_t>& b, const Header& h,
                                  const std::string& path) {
  std::vector<ChainBlock> out;
  size_t avail = b.size() > static_cast<size_t>(h.header_size)
                     ? (b.size() - h.header_size) / h.block_size
                     : 0;
  if (h.first_block == 0) return out;
  std::vector<bool> seen(avail + 1, false);
  uint16_t n = static_cast<uint16_t>(h.first_block);
  uint16_t prev = 0;
  while (n != 0) {
    if (n > avail) Damaged(path, "block " + std::to_string(n) + " beyond the end of the file");
    if (seen[n]) Damaged(path, "block chain loops at block " + std::to_string(n));
    seen[n] = true;
    const uint8_t* p = b.data() + h.header_size + static_cast<size_t>(n - 1) * h.block_size;
    uint16_t next = static_cast<uint16_t>(p[0] | p[1] << 8);
    uint16_t bprev = static_cast<uint16_t>(p[2] | p[3] << 8);
    int16_t add = static_cast<int16_t>(p[4] | p[5] << 8);
    int count = add < 0 ? 0 : add / h.record_size + 1;
    if (static_cast<int64_t>(count) * h.record_size > h.block_size - 6)
      Damaged(path, "block " + std::to_string(n) + " holds more than fits");
    (void)prev;
    out.push_back({n, next, bprev, count, p + 6});
    prev = n;
    n = next;
  }
  return out;
}

// Index tree entries (".px", ".Y"): key, block, record count.
struct TreeEntry {
  std::string key;
  uint16_t block;
  uint16_t count;
};

std::vector<uint8_t> BuildTree(std::vector<uint8_t> header, int key_len, int block_size,
                               const std::vector<TreeEntry>& leaves, uint8_t stamp) {
  const int rs = key_len + 6;
  const int cap = std::max(1, (block_size - 6) / rs);
  std::vector<std::vector<uint8_t>> blocks;
  int levels = 0, root = 1;
  int32_t total = 0;
  std::vector<TreeEntry> cur = leaves;
  while (!cur.empty()) {
    ++levels;
    std::vector<TreeEntry> up;
    size_t chunks = (cur.size() + cap - 1) / cap;
    size_t first_number = blocks.size() + 1;
    for (size_t c = 0; c < chunks; ++c) {
      std::vector<uint8_t> blk(block_size, 0);
      size_t from = c * cap, to = std::min(cur.size(), from + cap);
      uint16_t number = static_cast<uint16_t>(blocks.size() + 1);
      Put16(&blk[0], c + 1 < chunks ? number + 1 : 0);
      Put16(&blk[2], c > 0 ? number - 1 : 0);
      Put16(&blk[4], static_cast<uint32_t>((to - from - 1) * rs));
      uint32_t sum = 0;
      for (size_t i = from; i < to; ++i) {
        uint8_t* p = &blk[6 + (i - from) * rs];
        std::memcpy(p, cur[i].key.data(), key_len);
        codec::EncodeInt(p + key_len, 2, cur[i].block);
        codec::EncodeInt(p + key_len + 2, 2, cur[i].count);
        codec::EncodeInt(p + key_len + 4, 2, 0);
        sum += cur[i].count;
      }
      total += static_cast<int32_t>(to - from);
      up.push_back({cur[from].key, number, static_cast<uint16_t>(std::min<uint32_t>(sum, 32767))});
      blocks.push_back(std::move(blk));
    }
    (void)first_number;
    if (chunks == 1) {
      root = static_cast<int>(blocks.size());
      break;
    }
    cur = std::move(up);
  }
  int n = static_cast<int>(blocks.size());
  Put32(header, 0x06, static_cast<uint32_t>(total));
  Put16(header, 0x0A, n);
  Put16(header, 0x0C, n);
  Put16(header, 0x0E, n ? 1 : 0);
  Put16(header, 0x10, n);
  Put16(header, 0x1E, root);
  header[0x20] = static_cast<uint8_t>(levels);
  Put16(header, 0x3A, n);
  header[0x2C] = stamp;
  std::vector<uint8_t> out = std::move(header);
  for (auto& blk : blocks) out.insert(out.end(), blk.begin(), blk.end());
  return out;
}

// Lays sorted records into full blocks of a data-layout file; returns the tree leaves.
std::vector<uint8_t> BuildDataFile(std::vector<uint8_t> header, int record_size, int block_size,
                                   int key_len, const std::vector<std::string>& recs,
                                   std::vector<TreeEntry>& leaves) {
  const int cap = (block_size - 6) / record_size;
  size_t nblocks = (recs.size() + cap - 1) / cap;
  std::vector<uint8_t> out = std::move(header);
  size_t base = out.size();
  out.resize(base + nblocks * block_size, 0);
  for (size_t c = 0; c < nblocks; ++c) {
    uint8_t* blk = out.data() + base + c * block_size;
    size_t from = c * cap, to = std::min(recs.size(), from + cap);
    uint16_t number = static_cast<uint16_t>(c + 1);
    Put16(blk, c + 1 < nblocks ? number + 1 : 0);
    Put16(blk + 2, c > 0 ? number - 1 : 0);
    Put16(blk + 4, static_cast<uint32_t>((to - from - 1) * record_size));
    for (size_t i = from; i < to; ++i)
      std::memcpy(blk + 6 + (i - from) * record_size, recs[i].data(), record_size);
    leaves.push_back({recs[from].substr(0, key_len), number, static_cast<uint16_t>(to - from)});
  }
  Put32(out, 0x06, static_cast<uint32_t>(recs.size()));
  Put16(out, 0x0A, static_cast<uint32_t>(nblocks));
  Put16(out, 0x0C, static_cast<uint32_t>(nblocks));
  Put16(out, 0x0E, nblocks ? 1 : 0);
  Put16(out, 0x10, static_cast<uint32_t>(nblocks));
  Put16(out, 0x3A, static_cast<uint32_t>(nblocks));
  Put16(out, 0x4D, 0);
  return out;
}

// Reads the leaves of an index tree in order.
std::vector<TreeEntry> ReadTree(const std::vector<uint8_t>& b, const std::string& path,
                                int key_len) {
  Header h = ParseHeader(b, path, false, nullptr);
  std::vector<TreeEntry> out;
  if (h.file_blocks == 0 || h.levels == 0) return out;
  int rs = key_len + 6;
  if (h.record_size != rs) Damaged(path, "index record size does not match its key");
  size_t avail = (b.size() - h.header_size) / h.block_size;
  std::vector<bool> seen(avail + 1, false);
  std::function<void(int, int)> walk = [&](int block, int level) {
    if (block < 1 || static_cast<size_t>(block) > avail) Damaged(path, "index block out of range");
    if (seen[block]) Damaged(path, "index tree loops");
    seen[block] = true;
    const uint8_t* p = b.data() + h.header_size + static_cast<size_t>(block - 1) * h.block_size;
    int16_t add = static_cast<int16_t>(p[4] | p[5] << 8);
    int count = add < 0 ? 0 : add / rs + 1;
    if (count * rs > h.block_size - 6) Damaged(path, "index block overfull");
    for (int i = 0; i < count; ++i) {
      const uint8_t* e = p + 6 + i * rs;
      auto child = static_cast<uint16_t>(codec::DecodeInt(e + key_len, 2));
      auto stat = static_cast<uint16_t>(codec::DecodeInt(e + key_len + 2, 2));
      if (level > 1)
        walk(child, level - 1);
      else
        out.push_back({std::string(reinterpret_cast<const char*>(e), key_len), child, stat});
    }
  };
  if (h.levels > 16) Damaged(path, "index too deep");
  walk(h.root, h.levels);
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
  for (auto n : numbers) {
    Put16(b, at, n);
    at += 2;
  }
  PutName(b, at, sort_order);
  if (!index_name.empty()) PutName(b, at, index_name);
  size_t hs = (at + 0x7FF) / 0x800 * 0x800;
  b.resize(std::max<size_t>(hs, 0x800), 0);
  Put16(b, 2, static_cast<uint32_t>(b.size()));
  return b;
}

// A header of an index tree file (".px", ".Y").
std::vector<uint8_t> MakeTreeHeader(int file_type, const std::vector<FieldInfo>& key,
                                    uint8_t sort_byte, const std::string& name) {
  std::vector<uint8_t> b(0x800, 0);
  int rs = 6;
  for (auto& x : key) rs += x.length;
  Put16(b, 0, rs);
  Put16(b, 2, 0x800);
  b[4] = static_cast<uint8_t>(file_type);
  b[5] = 2;
  Put16(b, 0x12, file_type == 1 ? 4 : 6);
  Put16(b, 0x1E, 1);
  Put16(b, 0x21, static_cast<uint32_t>(key.size()));
  b[0x29] = sort_byte;
  b[0x39] = 0x0C;
  Put32(b, 0x49, 1);
  size_t at = 0x58;
  for (auto& x : key) {
    b[at++] = static_cast<uint8_t>(x.type);
    b[at++] = static_cast<uint8_t>(x.size);
  }
  at += 4;
  std::memcpy(b.data() + at, name.data(), std::min<size_t>(name.size(), 260));
  return b;
}

std::string DefaultSortOrder(int code_page) {
  switch (code_page) {
    case 866: return "cyrr";
    case 1251: return "ANCYRR";
    case 1252: return "ANSIINTL";
    default: return "ascii";
  }
}

uint8_t SortOrderByte(const std::string& name) {
  std::string n = Upper(name);
  if (n == "CYRR" || n == "ANCYRR") return 0xC0;
  if (n == "ANSIINTL") return 0x62;
  if (n == "INTL850") return 0x54;
  if (n == "ANSII850") return 0x11;
  return 0;
}

const char kHex[] = "0123456789ABCDEF";

// The ".mb" header of an empty blob file, as the engine writes it.
std::vector<uint8_t> MakeMbHeader() {
  std::vector<uint8_t> b(4096, 0);
  const uint8_t head[] = {0x00, 0x01, 0x00, 0x01, 0x00, 0x82, 0x73, 0x02, 0x00, 0x29, 0x00,
                          0x00, 0x10, 0x00, 0x10, 0x00, 0x10, 0x40, 0x00, 0x00, 0x08};
  std::memcpy(b.data(), head, sizeof head);
  b[0x29] = 0xA1;
  b[0x2A] = 0x02;
  return b;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

PxTable::~PxTable() = default;

std::unique_ptr<PxTable> PxTable::FromBytes(std::vector<uint8_t> bytes) {
  std::unique_ptr<PxTable> t(new PxTable());
  t->path_ = "<memory>";
  t->Load(std::move(bytes));
  return t;
}

std::unique_ptr<PxTable> PxTable::Open(platform::FileSystem& fs, const std::string& path,
                                       Mode mode) {
  if (!fs.FileExists(path))
    throw EDBEngineError(Kind::kMissingFile, "Table does not exist: " + path);
  std::unique_ptr<PxTable> t(new PxTable());
  t->fs_ = &fs;
  t->path_ = path;
  // A flush that a kill or a power loss cut short left its journal: the family goes back to
  // the state before it, whatever the mode, since no reader may see the mix.
  RecoverFamily(fs, path);
  try {
    if (mode == Mode::kReadWrite) {
      try {
        t->file_ = fs.Open(path, platform::Access::kReadWrite, platform::Share::kDenyWrite,
                           platform::Disposition::kOpenExisting);
        t->read_only_ = false;
      } catch (const platform::PlatformError& e) {
        if (e.code() != platform::kErrorAccessDenied) throw;
      }
    }
    if (!t->file_)
      t->file_ = fs.Open(path, platform::Access::kRead, platform::Share::kDenyWrite,
                         platform::Disposition::kOpenExisting);
    t->Load(ReadAll(*t->file_, path));
    t->LoadCompanions();
  } catch (const platform::PlatformError& e) {
    throw FromPlatform(e, path);
  }
  return t;
}

void PxTable::Load(std::vector<uint8_t> bytes) {
  // The code page is known only after the first parse; field names are decoded with it.
  Header probe = ParseHeader(bytes, path_, true, nullptr);
  codec_ = TextCodec(probe.code_page);
  Header h = ParseHeader(bytes, path_, true, &codec_);
  if (h.file_type != 0 && h.file_type != 2)
    Damaged(path_, "not a table file (type " + std::to_string(h.file_type) + ")");
  int sum = 0;
  for (auto& f : h.fields) sum += f.length;
  if (sum != h.record_size) Damaged(path_, "record size does not match the fields");
  for (int i = 0; i < h.key_fields; ++i)
    if (IsBlobType(h.fields[i].type)) Damaged(path_, "blob field in the key");
  header_.assign(bytes.begin(), bytes.begin() + h.header_size);
  header_size_ = h.header_size;
  record_size_ = h.record_size;
  block_size_ = h.block_size;
  file_type_ = h.file_type;
  version_id_ = h.version;
  key_fields_ = h.file_type == 0 ? h.key_fields : 0;
  header_records_ = h.records;
  autoinc_ = h.autoinc;
  sort_order_ = h.sort_order;
  collation_ = Collation(codec_, sort_order_);
  fields_ = h.fields;

  auto chain = WalkChain(bytes, h, path_);
  size_t avail = bytes.size() > static_cast<size_t>(h.header_size)
                     ? (bytes.size() - h.header_size) / h.block_size
                     : 0;
  size_t nblocks = std::max<size_t>(avail, static_cast<size_t>(h.file_blocks));
  nblocks = std::min(nblocks, avail);
  blocks_.assign(nblocks, Block());
  uint16_t prev = 0;
  for (auto& cb : chain) {
    Block& b = blocks_[cb.number - 1];
    b.in_use = true;
    b.prev = prev;
    b.next = cb.next;
    if (cb.prev != prev) b.dirty = true;  // repaired on the next write
    for (int i = 0; i < cb.count; ++i) {
      RecId id = static_cast<RecId>(pool_.size());
      pool_.emplace_back(reinterpret_cast<const char*>(cb.data + i * record_size_), record_size_);
      rec_block_.push_back(cb.number);
      b.ids.push_back(id);
    }
    live_ += cb.count;
    if (prev == 0) first_ = cb.number;
    prev = cb.number;
  }
  last_ = prev;
  // The free list, as far as it is sound; blocks neither used nor listed are left alone.
  std::vector<bool> seen(nblocks + 1, false);
  for (uint16_t n = static_cast<uint16_t>(h.first_free); n != 0;) {
    if (n > nblocks || seen[n] || blocks_[n - 1].in_use) break;
    seen[n] = true;
    free_blocks_.push_back(n);
    const uint8_t* p = bytes.data() + h.header_size + static_cast<size_t>(n - 1) * h.block_size;
    n = static_cast<uint16_t>(p[0] | p[1] << 8);
  }
  disk_blocks_ = avail;
  order_valid_ = false;
}

void PxTable::LoadCompanions() {
  std::string folder = FolderOf(path_);
  std::string base = BaseOf(path_);
  // The table file is there, so its folder is: a listing that fails would open the table
  // without its indexes, and the first write would leave them stale.
  const std::vector<platform::DirEntry> entries =
      fs_->List(folder.empty() ? std::string(".") : folder, base + ".*");
  std::string base_upper = Upper(base);
  std::vector<std::pair<std::string, std::string>> x_files, y_files;  // (EXT, path)
  for (auto& e : entries) {
    if (e.attributes & platform::kAttrDirectory) continue;
    std::string up = Upper(e.name);
    if ((up.size() != base_upper.size() + 3 && up.size() != base_upper.size() + 4) ||
        up.compare(0, base_upper.size(), base_upper) != 0 || up[base_upper.size()] != '.')
      continue;
    std::string ext = up.substr(base_upper.size() + 1);
    std::string full = folder + e.name;
    if (ext == "PX") {
      px_present_ = true;
      px_path_ = full;
    } else if (ext == "MB") {
      mb_path_ = full;
    } else if (ext.size() == 3 && ext[0] == 'X') {
      x_files.push_back({ext.substr(1), full});
    } else if (ext.size() == 3 && ext[0] == 'Y') {
      y_files.push_back({ext.substr(1), full});
    }
  }
  if (px_present_) {
    auto b = ReadFile(*fs_, px_path_);
    ParseHeader(b, px_path_, false, nullptr);
    px_header_.assign(b.begin(), b.begin() + Get16(b, 2));
  }
  std::sort(x_files.begin(), x_files.end());
  for (auto& [suffix, xpath] : x_files) {
    auto b = ReadFile(*fs_, xpath);
    Header xh = ParseHeader(b, xpath, true, &codec_);
    if (xh.file_type != 3 && xh.file_type != 5 && xh.file_type != 6 && xh.file_type != 8)
      Damaged(xpath, "not a secondary index");
    SecondaryIndex ix;
    ix.composite = suffix[0] == 'G';
    ix.maintained = xh.file_type == 5 || xh.file_type == 8;
    ix.x_path = xpath;
    ix.x_header.assign(b.begin(), b.begin() + xh.header_size);
    ix.x_record_size = xh.record_size;
    ix.x_key_fields = xh.key_fields;
    ix.x_block_size = xh.block_size;
    int extra = keyed() ? key_fields_ + 1 : 3;
    int m = xh.num_fields - extra;
    if (m < 1 || static_cast<int>(xh.numbers.size()) < m)
      Damaged(xpath, "index fields do not match the table");
    bool desc_all = b.size() > 0x55 && b[0x55] == 0x11;
    for (int i = 0; i < m; ++i) {
      int fno = (xh.numbers[i] & 0x7FFF) - 1;
      if (fno < 0 || fno >= static_cast<int>(fields_.size())) Damaged(xpath, "bad field number");
      if (fields_[fno].type != xh.fields[i].type || fields_[fno].length != xh.fields[i].length)
        Damaged(xpath, "index field differs from the table field");
      ix.fields.push_back(fno);
      ix.descending.push_back((xh.numbers[i] & 0x8000) != 0 || desc_all);
    }
    for (int i = 0; keyed() && i < key_fields_; ++i)
      if (xh.fields[m + i].type != fields_[i].type || xh.fields[m + i].length != fields_[i].length)
        Damaged(xpath, "index does not carry the primary key");
    if (ix.composite) {
      ix.name = xh.index_name;
      ix.number = std::isxdigit(static_cast<unsigned char>(suffix[1]))
                      ? static_cast<int>(std::strtol(suffix.substr(1).c_str(), nullptr, 16))
                      : 0;
    } else {
      ix.name = fields_[ix.fields[0]].name;
      ix.number = static_cast<int>(std::strtol(suffix.c_str(), nullptr, 16));
    }
    for (auto& [ys, ypath] : y_files) {
      if (ys != suffix) continue;
      auto yb = ReadFile(*fs_, ypath);
      Header yh = ParseHeader(yb, ypath, false, nullptr);
      ix.y_present = true;
      ix.y_path = ypath;
      ix.y_header.assign(yb.begin(), yb.begin() + yh.header_size);
      ix.y_block_size = yh.block_size;
    }
    indexes_.push_back(std::move(ix));
  }
}

int PxTable::FieldIndex(std::string_view name) const {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (text::EqualsIgnoreCase(fields_[i].name, name)) return static_cast<int>(i);
  return -1;
}

void PxTable::RebuildOrder() const {
  order_.clear();
  std::vector<bool> seen(blocks_.size() + 1, false);
  for (uint16_t n = first_; n != 0 && n <= blocks_.size() && !seen[n]; n = blocks_[n - 1].next) {
    seen[n] = true;
    order_.push_back(n);
  }
  order_valid_ = true;
}

std::vector<RecId> PxTable::RecordsInOrder() const {
  if (!order_valid_) RebuildOrder();
  std::vector<RecId> out;
  out.reserve(live_);
  for (uint16_t n : order_)
    for (RecId id : blocks_[n - 1].ids) out.push_back(id);
  return out;
}

int PxTable::CompareField(const uint8_t* a, const uint8_t* b, int field) const {
  const FieldInfo& f = fields_[field];
  if (f.type == FieldType::kAlpha)
    return collation_.Compare(a + f.offset, b + f.offset, f.length);
  int c = std::memcmp(a + f.offset, b + f.offset, f.length);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int PxTable::CompareFields(const uint8_t* a, const uint8_t* b, const std::vector<int>& fields,
                           const std::vector<bool>* descending) const {
  for (size_t i = 0; i < fields.size(); ++i) {
    int c = CompareField(a, b, fields[i]);
    if (c) return descending && i < descending->size() && (*descending)[i] ? -c : c;
  }
  return 0;
}

int PxTable::ComparePrimary(const uint8_t* a, const uint8_t* b) const {
  for (int i = 0; i < key_fields_; ++i) {
    int c = CompareField(a, b, i);
    if (c) return c;
  }
  return 0;
}

void PxTable::RequireWritable() {
  if (read_only_ || !file_)
    throw EDBEngineError(Kind::kState, "Table is read only: " + path_);
  modified_ = true;
}

uint16_t PxTable::AllocateBlock() {
  uint16_t n;
  if (!free_blocks_.empty()) {
    n = free_blocks_.front();
    free_blocks_.erase(free_blocks_.begin());
  } else {
    if (blocks_.size() >= 65535)
      throw EDBEngineError(Kind::kIo, "Table is full: " + path_);
    blocks_.emplace_back();
    n = static_cast<uint16_t>(blocks_.size());
  }
  Block& b = blocks_[n - 1];
  b = Block();
  b.in_use = true;
  b.dirty = true;
  return n;
}

void PxTable::LinkAfter(uint16_t after, uint16_t n) {
  Block& b = blocks_[n - 1];
  if (after == 0) {
    b.prev = 0;
    b.next = first_;
    if (first_) {
      blocks_[first_ - 1].prev = n;
      blocks_[first_ - 1].dirty = true;
    }
    first_ = n;
    if (!last_) last_ = n;
  } else {
    Block& a = blocks_[after - 1];
    b.prev = after;
    b.next = a.next;
    if (a.next) {
      blocks_[a.next - 1].prev = n;
      blocks_[a.next - 1].dirty = true;
    } else {
      last_ = n;
    }
    a.next = n;
    a.dirty = true;
  }
  // Keep the list order current: appending at the end, the usual case, costs nothing.
  if (order_valid_) {
    if (after == 0) {
      order_.insert(order_.begin(), n);
    } else if (!order_.empty() && order_.back() == after) {
      order_.push_back(n);
    } else {
      auto it = std::find(order_.begin(), order_.end(), after);
      if (it == order_.end())
        order_valid_ = false;
      else
        order_.insert(it + 1, n);
    }
  }
}

void PxTable::Unlink(uint16_t n) {
  Block& b = blocks_[n - 1];
  if (b.prev) {
    blocks_[b.prev - 1].next = b.next;
    blocks_[b.prev - 1].dirty = true;
  } else {
    first_ = b.next;
  }
  if (b.next) {
    blocks_[b.next - 1].prev = b.prev;
    blocks_[b.next - 1].dirty = true;
  } else {
    last_ = b.prev;
  }
  b.in_use = false;
  b.dirty = true;
  b.ids.clear();
  b.next = b.prev = 0;
  free_blocks_.insert(free_blocks_.begin(), n);
  if (order_valid_) {
    auto it = std::find(order_.begin(), order_.end(), n);
    if (it == order_.end())
      order_valid_ = false;
    else
      order_.erase(it);
  }
}

RecId PxTable::Insert(const std::string& record) {
  if (static_cast<int>(record.size()) != record_size_)
    throw EDBEngineError(Kind::kInvalidValue, "Record of the wrong size");
  RequireWritable();
  if (!order_valid_) RebuildOrder();
  const uint8_t* nr = reinterpret_cast<const uint8_t*>(record.data());
  const int cap = (block_size_ - 6) / record_size_;
  uint16_t target = 0;
  size_t pos = 0;
  if (first_ == 0) {
    target = AllocateBlock();
    if (target != 1 && blocks_.size() >= 1 && !blocks_[0].in_use) {
      // An emptied table starts again in block 1.
    }
    LinkAfter(0, target);
    RebuildOrder();
  } else if (keyed()) {
    // The last block whose first record is not above the new one.
    size_t lo = 0, hi = order_.size();
    while (hi - lo > 1) {
      size_t mid = (lo + hi) / 2;
      const Block& b = blocks_[order_[mid] - 1];
      if (ComparePrimary(rec(b.ids.front()), nr) <= 0)
        lo = mid;
      else
        hi = mid;
    }
    target = order_[lo];
    const Block& b = blocks_[target - 1];
    size_t l = 0, h = b.ids.size();
    while (l < h) {
      size_t mid = (l + h) / 2;
      if (ComparePrimary(rec(b.ids[mid]), nr) <= 0)
        l = mid + 1;
      else
        h = mid;
    }
    pos = l;
    const uint8_t* before = nullptr;
    if (pos > 0)
      before = rec(b.ids[pos - 1]);
    if (before && ComparePrimary(before, nr) == 0)
      throw EDBEngineError(Kind::kKeyViolation, "Key violation in " + path_);
  } else {
    target = last_;
    pos = blocks_[target - 1].ids.size();
  }

  RecId id;
  if (!free_ids_.empty()) {
    id = free_ids_.back();
    free_ids_.pop_back();
    pool_[id] = record;
  } else {
    id = static_cast<RecId>(pool_.size());
    pool_.push_back(record);
    rec_block_.push_back(0);
  }

  Block* b = &blocks_[target - 1];
  if (static_cast<int>(b->ids.size()) < cap) {
    b->ids.insert(b->ids.begin() + pos, id);
    b->dirty = true;
    rec_block_[id] = target;
  } else if (target == last_ && pos == b->ids.size()) {
    uint16_t n = AllocateBlock();
    LinkAfter(target, n);
    blocks_[n - 1].ids.push_back(id);
    rec_block_[id] = n;
  } else {
    // A full block splits in two halves; the new record goes where its key belongs.
    uint16_t n = AllocateBlock();
    LinkAfter(target, n);
    b = &blocks_[target - 1];
    Block& nb = blocks_[n - 1];
    size_t half = b->ids.size() / 2;
    nb.ids.assign(b->ids.begin() + half, b->ids.end());
    b->ids.resize(half);
    b->dirty = true;
    for (RecId m : nb.ids) rec_block_[m] = n;
    if (pos <= half) {
      b->ids.insert(b->ids.begin() + pos, id);
      rec_block_[id] = target;
    } else {
      nb.ids.insert(nb.ids.begin() + (pos - half), id);
      rec_block_[id] = n;
    }
  }
  ++live_;
  return id;
}

void PxTable::Erase(RecId id) {
  RequireWritable();
  uint16_t n = rec_block_[id];
  if (n == 0) return;
  Block& b = blocks_[n - 1];
  auto it = std::find(b.ids.begin(), b.ids.end(), id);
  if (it == b.ids.end()) return;
  b.ids.erase(it);
  b.dirty = true;
  rec_block_[id] = 0;
  pool_[id].clear();
  pool_[id].shrink_to_fit();
  free_ids_.push_back(id);
  --live_;
  if (live_ == 0) {
    // The last record gone: the table is as the engine leaves an emptied one.
    for (uint16_t x = 1; x <= blocks_.size(); ++x) blocks_[x - 1] = Block();
    blocks_.clear();
    first_ = last_ = 0;
    free_blocks_.clear();
    order_valid_ = false;
    return;
  }
  if (!b.ids.empty()) return;
  if (n == first_ && b.next) {
    // The first block never goes free: the next block's records move into it.
    uint16_t nx = b.next;
    Block& nb = blocks_[nx - 1];
    b.ids = nb.ids;
    for (RecId m : b.ids) rec_block_[m] = n;
    nb.ids.clear();
    Unlink(nx);
  } else {
    Unlink(n);
  }
}

void PxTable::EraseAll() {
  RequireWritable();
  pool_.clear();
  rec_block_.clear();
  free_ids_.clear();
  live_ = 0;
  blocks_.clear();
  first_ = last_ = 0;
  free_blocks_.clear();
  order_valid_ = false;
}

void PxTable::TakeAutoInc(int32_t v) {
  if (v > autoinc_) {
    autoinc_ = v;
    modified_ = true;
  }
}

// ---- values ----

bool PxTable::IsBlank(const uint8_t* rec, int field) const {
  const FieldInfo& f = fields_[field];
  if (IsBlobType(f.type)) {
    const uint8_t* d = rec + f.offset + f.length - 10;
    return Get32(d + 4) == 0;
  }
  return codec::IsBlank(rec + f.offset, f.length);
}

std::string PxTable::ReadBlob(const uint8_t* desc, int leader) const {
  const uint8_t* d = desc + leader;
  uint32_t offset = Get32(d);
  uint32_t length = Get32(d + 4);
  if (length == 0) return std::string();
  if (offset == 0) {
    if (length > static_cast<uint32_t>(leader))
      Damaged(path_, "blob longer than its leader and not in the blob file");
    return std::string(reinterpret_cast<const char*>(desc), length);
  }
  if (!mb_ && fs_ && !mb_path_.empty()) {
    try {
      const_cast<PxTable*>(this)->mb_ =
          fs_->Open(mb_path_, platform::Access::kRead, platform::Share::kDenyNone,
                    platform::Disposition::kOpenExisting);
    } catch (const platform::PlatformError& e) {
      throw FromPlatform(e, mb_path_);
    }
  }
  if (!mb_)
    throw EDBEngineError(Kind::kMissingFile, "Blob file missing for " + path_);
  uint32_t index = offset & 0xFF;
  uint64_t base = offset & ~0xFFu;
  uint64_t size = mb_->Size();
  if (base + 12 > size) Damaged(mb_path_, "blob block beyond the end of the file");
  uint8_t head[12];
  mb_->Seek(base);
  if (mb_->Read(head, 12) != 12) Damaged(mb_path_, "short read");
  uint64_t at = 0;
  if (index == 0xFF) {
    if (head[0] != 2) Damaged(mb_path_, "blob block of the wrong type");
    if (Get32(head + 3) != length) Damaged(mb_path_, "blob length mismatch");
    at = base + 9;
  } else {
    if (head[0] != 3 || index > 63) Damaged(mb_path_, "blob block of the wrong type");
    uint8_t e[5];
    mb_->Seek(base + 12 + 5 * index);
    if (mb_->Read(e, 5) != 5) Damaged(mb_path_, "short read");
    uint32_t len = e[1] == 0 ? 0 : (e[1] - 1) * 16u + e[4];
    if (len != length || e[0] == 0) Damaged(mb_path_, "blob pointer does not match");
    at = base + e[0] * 16u;
    if (at + length > base + 4096) Damaged(mb_path_, "blob beyond its block");
  }
  if (at + length > size) Damaged(mb_path_, "blob beyond the end of the file");
  std::string out(length, '\0');
  mb_->Seek(at);
  size_t got = 0;
  while (got < length) {
    size_t n = mb_->Read(out.data() + got, length - got);
    if (!n) Damaged(mb_path_, "short read");
    got += n;
  }
  return out;
}

void PxTable::WriteBlob(uint8_t* desc, int leader, const std::string& data) {
  uint8_t* d = desc + leader;
  std::memset(desc, 0, leader + 10);
  if (data.empty()) return;
  if (data.size() <= static_cast<size_t>(leader)) {
    std::memcpy(desc, data.data(), data.size());
    Put32(d + 4, static_cast<uint32_t>(data.size()));
    return;
  }
  if (!fs_) throw EDBEngineError(Kind::kState, "Table is read only");
  try {
    if (mb_path_.empty()) {
      mb_path_ = StemOf(path_) + ".mb";
      if (!fs_->FileExists(mb_path_)) WriteFile(*fs_, mb_path_, MakeMbHeader());
    }
    if (mb_) mb_->Close();
    mb_ = fs_->Open(mb_path_, platform::Access::kReadWrite, platform::Share::kDenyWrite,
                    platform::Disposition::kOpenExisting);
    uint64_t end = (mb_->Size() + 4095) / 4096 * 4096;
    if (end < 4096) end = 4096;
    size_t chunks = (9 + data.size() + 4095) / 4096;
    if (chunks > 0xFFFF || end > 0xFFFFFF00ull)
      throw EDBEngineError(Kind::kInvalidValue, "Blob too large for " + mb_path_);
    std::vector<uint8_t> blk(chunks * 4096, 0);
    blk[0] = 2;
    Put16(&blk[1], static_cast<uint32_t>(chunks));
    Put32(&blk[3], static_cast<uint32_t>(data.size()));
    Put16(&blk[7], mb_mod_);
    std::memcpy(&blk[9], data.data(), data.size());
    mb_->Seek(end);
    mb_->Write(blk.data(), blk.size());
    mb_->Flush();
  } catch (const platform::PlatformError& e) {
    throw FromPlatform(e, mb_path_);
  }
  std::memcpy(desc, data.data(), leader);
  modified_ = true;
  uint64_t end = (mb_->Size() - 1) / 4096 * 4096;
  (void)end;
  // The block just written starts where the file ended before it.
  uint64_t start = mb_->Size() - ((9 + data.size() + 4095) / 4096 * 4096);
  Put32(d, static_cast<uint32_t>(start) | 0xFF);
  Put32(d + 4, static_cast<uint32_t>(data.size()));
  Put16(d + 8, mb_mod_);
}

Variant PxTable::GetValue(const uint8_t* rec, int field) const {
  const FieldInfo& f = fields_[field];
  const uint8_t* p = rec + f.offset;
  if (IsBlank(rec, field)) return Variant::Null();
  // A damaged header may give a fixed-size type fewer bytes than it needs.
  const int needed = f.type == FieldType::kTimestamp || f.type == FieldType::kNumber ||
                             f.type == FieldType::kMoney
                         ? 8
                     : f.type == FieldType::kDate || f.type == FieldType::kTime ? 4
                     : f.type == FieldType::kLogical                             ? 1
                                                                                 : 0;
  const bool integer = f.type == FieldType::kShort || f.type == FieldType::kLong ||
                       f.type == FieldType::kAutoInc;
  if (f.length < needed || (integer && (f.length < 1 || f.length > 8))) {
    throw EDBEngineError(EDBEngineError::Kind::kDamaged,
                         "Corrupt table: field " + std::to_string(field + 1) + " is too short");
  }
  switch (f.type) {
    case FieldType::kAlpha: {
      size_t n = 0;
      while (n < static_cast<size_t>(f.length) && p[n]) ++n;
      return Variant::String(codec_.ToUtf8(std::string_view(reinterpret_cast<const char*>(p), n)));
    }
    case FieldType::kShort: case FieldType::kLong: case FieldType::kAutoInc:
      return Variant::Int(codec::DecodeInt(p, f.length));
    case FieldType::kDate: return Variant::Date(static_cast<int32_t>(codec::DecodeInt(p, 4)));
    case FieldType::kTime: return Variant::Time(static_cast<int32_t>(codec::DecodeInt(p, 4)));
    case FieldType::kTimestamp: return Variant::DateTime(codec::DecodeDouble(p));
    case FieldType::kNumber: case FieldType::kMoney: return Variant::Float(codec::DecodeDouble(p));
    case FieldType::kLogical: return Variant::Bool((p[0] & 0x7F) != 0);
    case FieldType::kBcd: {
      double v = 0;
      ParseNumber(codec::DecodeBcd(p, f.size), v);
      return Variant::Float(v);
    }
    case FieldType::kBytes:
      return Variant::Bytes(std::string(reinterpret_cast<const char*>(p), f.length));
    case FieldType::kMemo: {
      std::string b = ReadBlob(p, f.length - 10);
      return Variant::String(codec_.ToUtf8(b));
    }
    case FieldType::kBlob: case FieldType::kFmtMemo: case FieldType::kOle: case FieldType::kGraphic:
      return Variant::Bytes(ReadBlob(p, f.length - 10));
  }
  return Variant::Null();
}

std::string PxTable::GetText(const uint8_t* rec, int field) const {
  const FieldInfo& f = fields_[field];
  if (f.type == FieldType::kBcd && !IsBlank(rec, field))
    return codec::DecodeBcd(rec + f.offset, f.size);
  return GetValue(rec, field).ToText();
}

namespace {

[[noreturn]] void BadValue(const FieldInfo& f, const std::string& what) {
  throw EDBEngineError(Kind::kInvalidValue,
                       "'" + what + "' is not a valid value for field '" + f.name + "'");
}

// Delphi's date values count days from 1899-12-30.
constexpr int32_t kDelphiEpoch = 693594;

int64_t ToInteger(const FieldInfo& f, const Variant& v) {
  switch (v.type()) {
    case Variant::Type::kBool: return v.AsBool() ? 1 : 0;
    case Variant::Type::kInt: return v.AsInt();
    case Variant::Type::kFloat: {
      double d = v.AsFloat();
      if (!std::isfinite(d) || std::fabs(d) > 9e18) BadValue(f, v.ToText());
      return std::llround(d);
    }
    case Variant::Type::kString: {
      int64_t i;
      if (ParseInteger(v.AsStringRef(), i)) return i;
      BadValue(f, v.AsStringRef());
    }
    default: BadValue(f, v.ToText());
  }
}

double ToDouble(const FieldInfo& f, const Variant& v) {
  switch (v.type()) {
    case Variant::Type::kBool: return v.AsBool() ? 1 : 0;
    case Variant::Type::kInt: return static_cast<double>(v.AsInt());
    case Variant::Type::kFloat:
      if (!std::isfinite(v.AsFloat())) BadValue(f, v.ToText());
      return v.AsFloat();
    case Variant::Type::kString: {
      double d;
      if (ParseNumber(v.AsStringRef(), d)) return d;
      BadValue(f, v.AsStringRef());
    }
    default: BadValue(f, v.ToText());
  }
}

}  // namespace

void PxTable::SetValue(std::string& rec, int field, const Variant& v) {
  const FieldInfo& f = fields_[field];
  uint8_t* p = reinterpret_cast<uint8_t*>(rec.data()) + f.offset;
  if (v.IsNull()) {
    std::memset(p, 0, f.length);
    return;
  }
  switch (f.type) {
    case FieldType::kAlpha: {
      std::string bytes = codec_.FromUtf8(v.type() == Variant::Type::kString ? v.AsStringRef()
                                                                            : v.ToText());
      if (bytes.find('\0') != std::string::npos) BadValue(f, "text with a NUL character");
      if (bytes.size() > static_cast<size_t>(f.length)) bytes.resize(f.length);
      std::memset(p, 0, f.length);
      std::memcpy(p, bytes.data(), bytes.size());
      return;
    }
    case FieldType::kShort: case FieldType::kLong: case FieldType::kAutoInc: {
      int64_t i = ToInteger(f, v);
      int64_t lim = f.length == 2 ? 32767 : 2147483647;
      if (i > lim || i < -lim) BadValue(f, std::to_string(i));
      codec::EncodeInt(p, f.length, i);
      return;
    }
    case FieldType::kNumber: case FieldType::kMoney:
      codec::EncodeDouble(p, ToDouble(f, v));
      return;
    case FieldType::kLogical: {
      bool b;
      if (v.type() == Variant::Type::kString) {
        std::string s = text::ToUpperUtf8(v.AsStringRef());
        if (s == "TRUE" || s == "T" || s == "YES" || s == "Y" || s == "1" || s == "ДА")
          b = true;
        else if (s == "FALSE" || s == "F" || s == "NO" || s == "N" || s == "0" || s == "НЕТ")
          b = false;
        else
          BadValue(f, v.AsStringRef());
      } else {
        b = ToInteger(f, v) != 0;
      }
      p[0] = b ? 0x81 : 0x80;
      return;
    }
    case FieldType::kDate: {
      int32_t days = 0;
      switch (v.type()) {
        case Variant::Type::kDate: days = static_cast<int32_t>(v.AsInt()); break;
        case Variant::Type::kDateTime: days = static_cast<int32_t>(std::floor(v.AsFloat() / 86400000.0)); break;
        case Variant::Type::kString: if (!ParseDate(v.AsStringRef(), days)) BadValue(f, v.AsStringRef()); break;
        case Variant::Type::kInt: case Variant::Type::kFloat: {
          double d = ToDouble(f, v);
          if (d < -693593 || d > 2958465) BadValue(f, v.ToText());
          days = static_cast<int32_t>(std::floor(d)) + kDelphiEpoch;
          break;
        }
        default: BadValue(f, v.ToText());
      }
      if (days <= 0 || days > 3652059) BadValue(f, v.ToText());
      codec::EncodeInt(p, 4, days);
      return;
    }
    case FieldType::kTime: {
      int32_t ms = 0;
      switch (v.type()) {
        case Variant::Type::kTime: ms = static_cast<int32_t>(v.AsInt()); break;
        case Variant::Type::kDateTime: ms = static_cast<int32_t>(std::fmod(v.AsFloat(), 86400000.0)); break;
        case Variant::Type::kString: if (!ParseTime(v.AsStringRef(), ms)) BadValue(f, v.AsStringRef()); break;
        case Variant::Type::kFloat: {
          double d = v.AsFloat();
          if (!std::isfinite(d)) BadValue(f, v.ToText());
          ms = static_cast<int32_t>(std::llround((d - std::floor(d)) * 86400000.0)) % 86400000;
          break;
        }
        default: BadValue(f, v.ToText());
      }
      if (ms < 0 || ms >= 86400000) BadValue(f, v.ToText());
      codec::EncodeInt(p, 4, ms);
      return;
    }
    case FieldType::kTimestamp: {
      double ms = 0;
      switch (v.type()) {
        case Variant::Type::kDateTime: ms = v.AsFloat(); break;
        case Variant::Type::kDate: ms = static_cast<double>(v.AsInt()) * 86400000.0; break;
        case Variant::Type::kString: if (!ParseDateTime(v.AsStringRef(), ms)) BadValue(f, v.AsStringRef()); break;
        case Variant::Type::kInt: case Variant::Type::kFloat: {
          double d = ToDouble(f, v);
          if (d < -693593 || d > 2958466) BadValue(f, v.ToText());
          ms = (d + kDelphiEpoch) * 86400000.0;
          break;
        }
        default: BadValue(f, v.ToText());
      }
      if (!(ms > 0) || !std::isfinite(ms)) BadValue(f, v.ToText());
      codec::EncodeDouble(p, ms);
      return;
    }
    case FieldType::kBcd: {
      std::string t = v.type() == Variant::Type::kString ? v.AsStringRef() : v.ToText();
      if (v.type() == Variant::Type::kFloat) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", f.size, v.AsFloat());
        t = buf;
      }
      codec::EncodeBcd(p, f.size, t);
      return;
    }
    case FieldType::kBytes: {
      const std::string& s = v.type() == Variant::Type::kBytes || v.type() == Variant::Type::kString
                                 ? v.AsStringRef()
                                 : v.ToText();
      std::memset(p, 0, f.length);
      std::memcpy(p, s.data(), std::min<size_t>(s.size(), f.length));
      return;
    }
    case FieldType::kMemo: {
      std::string t = v.type() == Variant::Type::kString ? v.AsStringRef() : v.ToText();
      RequireWritable();
      WriteBlob(p, f.length - 10, codec_.FromUtf8(t));
      return;
    }
    case FieldType::kBlob: case FieldType::kFmtMemo: case FieldType::kOle: case FieldType::kGraphic: {
      RequireWritable();
      const std::string& s = v.type() == Variant::Type::kBytes || v.type() == Variant::Type::kString
                                 ? v.AsStringRef()
                                 : v.ToText();
      WriteBlob(p, f.length - 10, s);
      return;
    }
  }
}

void PxTable::SetText(std::string& rec, int field, std::string_view text) {
  if (text.empty()) {
    SetValue(rec, field, Variant::Null());
    return;
  }
  SetValue(rec, field, Variant::String(std::string(text)));
}

std::string PxTable::EncodeField(int field, const Variant& v) {
  const FieldInfo& f = fields_[field];
  std::string rec = BlankRecord();
  if (!IsBlobType(f.type)) SetValue(rec, field, v);
  return rec.substr(f.offset, f.length);
}

// ---- writing ----

std::vector<uint8_t> PxTable::BlockImage(uint16_t number) const {
  std::vector<uint8_t> img(block_size_, 0);
  const Block& b = blocks_[number - 1];
  if (!b.in_use) {
    auto it = std::find(free_blocks_.begin(), free_blocks_.end(), number);
    uint16_t next = it != free_blocks_.end() && it + 1 != free_blocks_.end() ? *(it + 1) : 0;
    Put16(&img[0], next);
    Put16(&img[4], static_cast<uint32_t>(-record_size_) & 0xFFFF);
    return img;
  }
  Put16(&img[0], b.next);
  Put16(&img[2], b.prev);
  Put16(&img[4], static_cast<uint32_t>((static_cast<int>(b.ids.size()) - 1) * record_size_) & 0xFFFF);
  for (size_t i = 0; i < b.ids.size(); ++i)
    std::memcpy(&img[6 + i * record_size_], pool_[b.ids[i]].data(), record_size_);
  return img;
}

namespace {

std::vector<uint8_t> ReadRange(platform::File& f, uint64_t offset, size_t n) {
  std::vector<uint8_t> bytes(n);
  f.Seek(offset);
  size_t got = 0;
  while (got < n) {
    const size_t r = f.Read(bytes.data() + got, n - got);
    if (r == 0) break;
    got += r;
  }
  bytes.resize(got);
  return bytes;
}

}  // namespace

void PxTable::WriteCompanion(const std::string& path, const std::vector<uint8_t>& bytes) {
  if (undo_) {
    std::optional<std::vector<uint8_t>> old;
    if (fs_->FileExists(path)) old = ReadFile(*fs_, path);
    if (undo_->journal) undo_->journal->RecordWhole(path, old);
    undo_->companions.emplace_back(path, std::move(old));
  }
  WriteFile(*fs_, path, bytes);
}

// Best effort: the error that stopped the flush is what the caller hears, not one of these.
// When any of it fails, the journal stays for the next open to finish the job.
void PxTable::Undo(const FlushUndo& undo) {
  bool whole = true;
  try {
    for (const auto& [offset, bytes] : undo.table_ranges) {
      file_->Seek(offset);
      file_->Write(bytes.data(), bytes.size());
    }
    if (file_->Size() != undo.table_size) {
      file_->Seek(undo.table_size);
      file_->Truncate();
    }
    file_->Flush();
  } catch (...) {
    whole = false;
  }
  for (auto it = undo.companions.rbegin(); it != undo.companions.rend(); ++it) {
    try {
      if (it->second)
        WriteFile(*fs_, it->first, *it->second);
      else
        whole = fs_->DeleteFile(it->first) && whole;
    } catch (...) {
      whole = false;
    }
  }
  if (whole && undo.journal) undo.journal->Discard();
}

void PxTable::Flush() {
  if (!modified_ || !file_) return;
  // A flush rewrites the table file in place and every index file whole; when any write fails,
  // what was overwritten is put back, so that the family on disk stays the one last flushed
  // instead of a mix that no index agrees with.
  FlushUndo undo;
  try {
    undo.table_size = file_->Size();
    undo.table_ranges.emplace_back(0, ReadRange(*file_, 0, header_.size()));
    for (uint16_t n = 1; n <= blocks_.size() && n <= disk_blocks_; ++n) {
      if (!blocks_[n - 1].dirty) continue;
      const uint64_t at =
          static_cast<uint64_t>(header_size_) + static_cast<uint64_t>(n - 1) * block_size_;
      undo.table_ranges.emplace_back(at, ReadRange(*file_, at, block_size_));
    }
  } catch (const platform::PlatformError& e) {
    throw FromPlatform(e, path_);
  }
  // The before-images on the disk first: a run that dies during the writes below leaves the
  // journal, and the next open puts them back.
  FamilyJournal journal(*fs_, path_);
  journal.RecordRanges(path_, undo.table_size, undo.table_ranges);
  undo.journal = &journal;
  undo_ = &undo;
  struct Clear {
    FlushUndo*& u;
    ~Clear() { u = nullptr; }
  } clear{undo_};
  try {
    // Counters of the table header.
    std::vector<uint8_t>& h = header_;
    if (!order_valid_) RebuildOrder();
    Put32(h, 0x06, static_cast<uint32_t>(live_));
    Put16(h, 0x0A, static_cast<uint32_t>(order_.size()));
    Put16(h, 0x0C, static_cast<uint32_t>(blocks_.size()));
    Put16(h, 0x0E, first_);
    Put16(h, 0x10, last_);
    Put16(h, 0x3A, static_cast<uint32_t>(blocks_.size()));
    Put16(h, 0x4D, free_blocks_.empty() ? 0 : free_blocks_.front());
    Put32(h, 0x49, static_cast<uint32_t>(autoinc_));
    h[0x2D] = static_cast<uint8_t>(h[0x2D] + 1);
    header_records_ = static_cast<int32_t>(live_);

    size_t old_blocks = disk_blocks_;
    file_->Seek(0);
    file_->Write(h.data(), h.size());
    for (uint16_t n = 1; n <= blocks_.size(); ++n) {
      const Block& b = blocks_[n - 1];
      if (!b.dirty && n <= old_blocks) continue;
      auto img = BlockImage(n);
      file_->Seek(static_cast<uint64_t>(header_size_) + static_cast<uint64_t>(n - 1) * block_size_);
      file_->Write(img.data(), img.size());
    }
    uint64_t end = static_cast<uint64_t>(header_size_) +
                   static_cast<uint64_t>(blocks_.size()) * block_size_;
    if (file_->Size() != end) {
      file_->Seek(end);
      file_->Truncate();
    }
    file_->Flush();
    WriteIndexFiles(h[0x2D]);
    journal.Commit();
  } catch (const platform::PlatformError& e) {
    Undo(undo);
    throw FromPlatform(e, path_);
  } catch (...) {
    Undo(undo);
    throw;
  }
  for (auto& b : blocks_) b.dirty = false;
  disk_blocks_ = blocks_.size();
  modified_ = false;
}

void PxTable::WriteIndexFiles(uint8_t db_stamp) {
  if (!order_valid_) RebuildOrder();
  uint8_t px_stamp = db_stamp;
  if (keyed()) {
    std::vector<FieldInfo> key(fields_.begin(), fields_.begin() + key_fields_);
    int key_len = 0;
    for (auto& f : key) key_len += f.length;
    if (!px_present_) {
      px_path_ = StemOf(path_) + ".PX";
      px_header_ = MakeTreeHeader(1, key, header_[0x29], BaseOf(path_) + ".PX");
      px_present_ = true;
    }
    std::vector<TreeEntry> leaves;
    for (uint16_t n : order_) {
      const Block& b = blocks_[n - 1];
      leaves.push_back({pool_[b.ids.front()].substr(0, key_len), n,
                        static_cast<uint16_t>(b.ids.size())});
    }
    int bs = px_header_[5] * 1024;
    auto bytes = BuildTree(px_header_, key_len, bs, leaves, px_stamp);
    WriteCompanion(px_path_, bytes);
    px_header_.assign(bytes.begin(), bytes.begin() + Get16(bytes, 2));
  }
  std::vector<RecId> all = RecordsInOrder();
  for (auto& ix : indexes_) {
    // The index records: index fields, then the primary key (or the record's place), then the
    // data block that holds it.
    std::vector<std::string> recs;
    recs.reserve(all.size());
    std::vector<int> pos_in_block(all.size());
    {
      uint16_t cur = 0;
      int k = 0;
      for (size_t i = 0; i < all.size(); ++i) {
        uint16_t blk = rec_block_[all[i]];
        k = blk == cur ? k + 1 : 0;
        cur = blk;
        pos_in_block[i] = k;
      }
    }
    std::vector<size_t> perm(all.size());
    std::iota(perm.begin(), perm.end(), 0);
    auto before = [&](size_t a, size_t b) {
      int c = CompareFields(rec(all[a]), rec(all[b]), ix.fields, &ix.descending);
      if (c) return c < 0;
      if (keyed()) return ComparePrimary(rec(all[a]), rec(all[b])) < 0;
      return a < b;
    };
    // Records often come in index order already (an index led by the key, rows appended in
    // order); then the sort is a single pass.
    if (!std::is_sorted(perm.begin(), perm.end(), before))
      std::stable_sort(perm.begin(), perm.end(), before);
    for (size_t i : perm) {
      const uint8_t* r = rec(all[i]);
      std::string x;
      x.reserve(ix.x_record_size);
      for (int f : ix.fields)
        x.append(reinterpret_cast<const char*>(r + fields_[f].offset), fields_[f].length);
      uint8_t num[4];
      if (keyed()) {
        for (int f = 0; f < key_fields_; ++f)
          x.append(reinterpret_cast<const char*>(r + fields_[f].offset), fields_[f].length);
        codec::EncodeInt(num, 2, rec_block_[all[i]]);
        x.append(reinterpret_cast<const char*>(num), 2);
      } else {
        codec::EncodeInt(num, 4, static_cast<int64_t>(i));
        x.append(reinterpret_cast<const char*>(num), 4);
        codec::EncodeInt(num, 2, rec_block_[all[i]]);
        x.append(reinterpret_cast<const char*>(num), 2);
        codec::EncodeInt(num, 2, pos_in_block[i]);
        x.append(reinterpret_cast<const char*>(num), 2);
      }
      if (static_cast<int>(x.size()) != ix.x_record_size)
        Damaged(ix.x_path, "index record size does not match the table");
      recs.push_back(std::move(x));
    }
    std::vector<uint8_t> xh = ix.x_header;
    xh[0x2D] = static_cast<uint8_t>(xh[0x2D] + 1);
    xh[0x2E] = header_[0x2E];
    if (keyed()) xh[0x2F] = px_stamp;
    int key_len = 0;
    {
      Header parsed = ParseHeader(xh, ix.x_path, true, &codec_);
      for (int i = 0; i < parsed.key_fields; ++i) key_len += parsed.fields[i].length;
    }
    std::vector<TreeEntry> leaves;
    auto xbytes = BuildDataFile(xh, ix.x_record_size, ix.x_block_size, key_len, recs, leaves);
    WriteCompanion(ix.x_path, xbytes);
    ix.x_header.assign(xbytes.begin(), xbytes.begin() + Get16(xbytes, 2));
    if (!ix.y_present) {
      Header parsed = ParseHeader(xh, ix.x_path, true, &codec_);
      std::vector<FieldInfo> key(parsed.fields.begin(), parsed.fields.begin() + parsed.key_fields);
      ix.y_path = StemOf(ix.x_path) + (ix.composite ? ".YG" : ".Y") +
                  Upper(ix.x_path.substr(ix.x_path.size() - (ix.composite ? 1 : 2)));
      ix.y_header = MakeTreeHeader(ix.composite ? 7 : 4, key, header_[0x29],
                                   BaseOf(ix.y_path) + ix.y_path.substr(ix.y_path.size() - 4));
      ix.y_block_size = 2048;
      ix.y_present = true;
    }
    auto ybytes = BuildTree(ix.y_header, key_len, ix.y_block_size, leaves, xbytes[0x2D]);
    WriteCompanion(ix.y_path, ybytes);
    ix.y_header.assign(ybytes.begin(), ybytes.begin() + Get16(ybytes, 2));
  }
}

void PxTable::Close() {
  std::exception_ptr err;
  try {
    Flush();
  } catch (...) {
    err = std::current_exception();
  }
  if (mb_) {
    try { mb_->Close(); } catch (...) {}
    mb_.reset();
  }
  if (file_) {
    try { file_->Close(); } catch (...) {}
    file_.reset();
  }
  if (err) std::rethrow_exception(err);
}

// ---- creating and emptying ----

void PxTable::Create(platform::FileSystem& fs, const std::string& path, const TableSpec& shape) {
  auto bad = [&](const std::string& what) {
    throw EDBEngineError(Kind::kInvalidValue, "Cannot create " + path + ": " + what);
  };
  if (shape.fields.empty() || shape.fields.size() > 255) bad("a table has 1 to 255 fields");
  if (shape.key_fields < 0 || shape.key_fields > static_cast<int>(shape.fields.size()))
    bad("more key fields than fields");
  int bcode = shape.block_size_kb;
  if (!ValidBlockCode(bcode)) bad("block size must be 1, 2, 3, 4, 8, 16 or 32 KiB");
  if (fs.FileExists(path)) bad("the table exists");
  TextCodec codec(shape.code_page);
  std::vector<FieldInfo> infos;
  std::vector<std::string> raw_names;
  int offset = 0;
  for (size_t i = 0; i < shape.fields.size(); ++i) {
    const FieldSpec& s = shape.fields[i];
    if (s.name.empty()) bad("a field without a name");
    for (size_t j = 0; j < i; ++j)
      if (text::EqualsIgnoreCase(shape.fields[j].name, s.name)) bad("field '" + s.name + "' twice");
    FieldInfo f;
    f.name = s.name;
    f.type = s.type;
    switch (s.type) {
      case FieldType::kAlpha: case FieldType::kBytes:
        if (s.size < 1 || s.size > 255) bad("field '" + s.name + "' needs a size of 1 to 255");
        f.size = s.size;
        break;
      case FieldType::kBcd:
        if (s.size < 0 || s.size > 32) bad("BCD field '" + s.name + "' takes 0 to 32 decimals");
        f.size = s.size;
        break;
      case FieldType::kMemo: case FieldType::kBlob: case FieldType::kFmtMemo: case FieldType::kOle:
      case FieldType::kGraphic:
        if (s.size < (s.type == FieldType::kMemo ? 1 : 0) || s.size > 240)
          bad("blob field '" + s.name + "' takes a leader of up to 240 bytes");
        f.size = s.size + 10;
        break;
      case FieldType::kShort: f.size = 2; break;
      case FieldType::kLogical: f.size = 1; break;
      case FieldType::kNumber: case FieldType::kMoney: case FieldType::kTimestamp: f.size = 8; break;
      default: f.size = 4; break;
    }
    if (static_cast<int>(i) < shape.key_fields &&
        (IsBlobType(f.type) || f.type == FieldType::kBytes))
      bad("field '" + s.name + "' cannot be in the key");
    f.length = FieldStorageLength(f.type, f.size);
    f.offset = offset;
    offset += f.length;
    infos.push_back(f);
    raw_names.push_back(codec.FromUtf8(s.name));
    if (raw_names.back().size() > 25) bad("field name '" + s.name + "' is longer than 25");
  }
  if (offset + 6 > bcode * 1024) bad("records do not fit in a block");
  std::string sort = shape.sort_order.empty() ? DefaultSortOrder(shape.code_page) : shape.sort_order;
  uint8_t sort_byte = SortOrderByte(sort);
  std::vector<uint16_t> numbers;
  for (size_t i = 0; i < infos.size(); ++i) numbers.push_back(static_cast<uint16_t>(i + 1));
  std::string base = BaseOf(path);
  std::string stem = StemOf(path);
  auto db = MakeDataHeader(shape.key_fields > 0 ? 0 : 2, bcode, infos, raw_names, numbers,
                           shape.key_fields, shape.code_page, sort, sort_byte,
                           base + path.substr(stem.size()), "", 0, 0);
  try {
    WriteFile(fs, path, db);
    if (shape.key_fields > 0) {
      std::vector<FieldInfo> key(infos.begin(), infos.begin() + shape.key_fields);
      auto px = MakeTreeHeader(1, key, sort_byte, base + ".PX");
      px[0x2C] = db[0x2D];
      WriteFile(fs, stem + ".PX", px);
    }
    bool blobs = std::any_of(infos.begin(), infos.end(), [](auto& f) { return IsBlobType(f.type); });
    if (blobs) WriteFile(fs, stem + ".MB", MakeMbHeader());
    int composite_no = 0;
    for (const IndexSpec& is : shape.indexes) {
      if (is.fields.empty()) bad("an index without fields");
      std::vector<FieldInfo> xf;
      std::vector<std::string> xn;
      std::vector<uint16_t> xnum;
      for (auto& name : is.fields) {
        int fi = -1;
        for (size_t i = 0; i < infos.size(); ++i)
          if (text::EqualsIgnoreCase(infos[i].name, name)) fi = static_cast<int>(i);
        if (fi < 0) bad("index field '" + name + "' is not a field");
        if (IsBlobType(infos[fi].type)) bad("blob field '" + name + "' in an index");
        xf.push_back(infos[fi]);
        xn.push_back(raw_names[fi]);
        xnum.push_back(static_cast<uint16_t>(fi + 1) | (is.descending ? 0x8000 : 0));
      }
      auto add = [&](FieldType t, int size, const std::string& n) {
        FieldInfo f;
        f.type = t;
        f.size = size;
        f.length = FieldStorageLength(t, size);
        xf.push_back(f);
        xn.push_back(n);
        xnum.push_back(static_cast<uint16_t>(xf.size()));
      };
      if (shape.key_fields > 0) {
        for (int k = 0; k < shape.key_fields; ++k) {
          xf.push_back(infos[k]);
          xn.push_back(raw_names[k]);
          xnum.push_back(static_cast<uint16_t>(xf.size()));
        }
        add(FieldType::kShort, 2, "Blk Num");
      } else {
        add(FieldType::kLong, 4, "Tup No");
        add(FieldType::kShort, 2, "Blk Num");
        add(FieldType::kShort, 2, "Tup Offset");
      }
      int x_keys = static_cast<int>(xf.size()) - 1;
      bool composite = !is.name.empty() || is.fields.size() > 1;
      std::string suffix;
      if (composite) {
        if (composite_no > 15) bad("more than 16 composite indexes");
        suffix = std::string("G") + kHex[composite_no++];
      } else {
        int fno = static_cast<int>(xnum[0] & 0x7FFF);
        suffix = std::string() + kHex[fno >> 4] + kHex[fno & 15];
      }
      int xtype = composite ? (is.maintained ? 8 : 6) : (is.maintained ? 5 : 3);
      auto xh = MakeDataHeader(xtype, bcode, xf, xn, xnum, x_keys, shape.code_page, sort, sort_byte,
                               base + ".X" + suffix, composite ? is.name : "",
                               is.descending ? 0x11 : 0x01,
                               composite ? 0 : static_cast<int>(xnum[0] & 0x7FFF));
      xh[0x2E] = db[0x2E];
      xh[0x2F] = db[0x2D];
      WriteFile(fs, stem + ".X" + suffix, xh);
      std::vector<FieldInfo> ykey(xf.begin(), xf.begin() + x_keys);
      auto yh = MakeTreeHeader(composite ? 7 : 4, ykey, sort_byte, base + ".Y" + suffix);
      yh[0x2C] = xh[0x2D];
      WriteFile(fs, stem + ".Y" + suffix, yh);
    }
  } catch (const platform::PlatformError& e) {
    throw FromPlatform(e, path);
  }
}

void PxTable::Empty(platform::FileSystem& fs, const std::string& path) {
  auto t = Open(fs, path, Mode::kReadWrite);
  if (t->read_only()) throw EDBEngineError(Kind::kState, "Table is read only: " + path);
  t->EraseAll();
  t->Close();
}

// ---- checking ----

std::vector<std::string> PxTable::Check() {
  std::vector<std::string> problems;
  if (header_records_ != static_cast<int32_t>(live_))
    problems.push_back("header counts " + std::to_string(header_records_) + " records, blocks hold " +
                       std::to_string(live_));
  if (!order_valid_) RebuildOrder();
  std::vector<RecId> all = RecordsInOrder();
  if (keyed()) {
    for (size_t i = 1; i < all.size(); ++i) {
      if (ComparePrimary(rec(all[i - 1]), rec(all[i])) >= 0) {
        problems.push_back("records out of key order at record " + std::to_string(i + 1));
        break;
      }
    }
    if (!px_present_) {
      problems.push_back("primary index (.PX) is missing");
    } else {
      try {
        auto b = ReadFile(*fs_, px_path_);
        int key_len = 0;
        for (int i = 0; i < key_fields_; ++i) key_len += fields_[i].length;
        auto leaves = ReadTree(b, px_path_, key_len);
        std::vector<TreeEntry> expect;
        for (uint16_t n : order_) {
          const Block& bl = blocks_[n - 1];
          expect.push_back({pool_[bl.ids.front()].substr(0, key_len), n,
                            static_cast<uint16_t>(bl.ids.size())});
        }
        bool same = leaves.size() == expect.size();
        for (size_t i = 0; same && i < leaves.size(); ++i)
          same = leaves[i].key == expect[i].key && leaves[i].block == expect[i].block &&
                 leaves[i].count == expect[i].count;
        if (!same) problems.push_back("primary index does not match the data blocks");
      } catch (const EDBEngineError& e) {
        problems.push_back(e.what());
      }
    }
  }
  for (auto& ix : indexes_) {
    try {
      auto b = ReadFile(*fs_, ix.x_path);
      Header xh = ParseHeader(b, ix.x_path, true, &codec_);
      auto chain = WalkChain(b, xh, ix.x_path);
      std::vector<std::string> actual;
      std::vector<TreeEntry> leaves;
      int key_len = 0;
      for (int i = 0; i < xh.key_fields; ++i) key_len += xh.fields[i].length;
      for (auto& cb : chain) {
        if (cb.count == 0) continue;
        leaves.push_back({std::string(reinterpret_cast<const char*>(cb.data), key_len), cb.number,
                          static_cast<uint16_t>(cb.count)});
        for (int i = 0; i < cb.count; ++i)
          actual.emplace_back(reinterpret_cast<const char*>(cb.data + i * xh.record_size),
                              xh.record_size);
      }
      // What the index must hold: each record's index fields and key (its block aside).
      std::multiset<std::string> want, have;
      int cmp_len = keyed() ? xh.record_size - 2 : xh.record_size - 8;
      for (RecId id : all) {
        std::string x;
        const uint8_t* r = rec(id);
        for (int f : ix.fields)
          x.append(reinterpret_cast<const char*>(r + fields_[f].offset), fields_[f].length);
        for (int f = 0; f < key_fields_; ++f)
          x.append(reinterpret_cast<const char*>(r + fields_[f].offset), fields_[f].length);
        want.insert(x);
      }
      for (auto& a : actual) have.insert(a.substr(0, cmp_len));
      std::string label = "index " + ix.x_path.substr(ix.x_path.find_last_of("\\/") + 1);
      if (xh.records != static_cast<int32_t>(actual.size()))
        problems.push_back(label + ": header count differs from its blocks");
      // An index the engine does not maintain may lag behind the table; only its form counts.
      if (!ix.maintained) {
      } else if (want != have) {
        problems.push_back(label + " does not match the table records");
      } else if (keyed()) {
        for (auto& a : actual) {
          const uint8_t* p = reinterpret_cast<const uint8_t*>(a.data());
          uint16_t blk = static_cast<uint16_t>(codec::DecodeInt(p + xh.record_size - 2, 2));
          bool ok = blk >= 1 && blk <= blocks_.size() && blocks_[blk - 1].in_use;
          if (ok) {
            ok = false;
            size_t pk_at = 0;
            for (int f : ix.fields) pk_at += fields_[f].length;
            for (RecId id : blocks_[blk - 1].ids) {
              bool eq = true;
              size_t o = pk_at;
              for (int f = 0; f < key_fields_ && eq; ++f) {
                eq = std::memcmp(rec(id) + fields_[f].offset, p + o, fields_[f].length) == 0;
                o += fields_[f].length;
              }
              if (eq) ok = true;
            }
          }
          if (!ok) {
            problems.push_back(label + ": a record points to the wrong data block");
            break;
          }
        }
      }
      for (size_t i = 1; i < actual.size(); ++i) {
        // Order check on the index fields with their directions.
        int c = 0;
        size_t off = 0;
        for (size_t k = 0; k < ix.fields.size() && !c; ++k) {
          const FieldInfo& f = fields_[ix.fields[k]];
          const uint8_t* a = reinterpret_cast<const uint8_t*>(actual[i - 1].data()) + off;
          const uint8_t* bb = reinterpret_cast<const uint8_t*>(actual[i].data()) + off;
          c = f.type == FieldType::kAlpha ? collation_.Compare(a, bb, f.length)
                                          : std::memcmp(a, bb, f.length);
          if (ix.descending[k]) c = -c;
          off += f.length;
        }
        if (c > 0) {
          problems.push_back(label + ": records out of order");
          break;
        }
      }
      if (keyed() && px_present_ && b[0x2F] != px_header_[0x2C])
        problems.push_back(label + ": stamp differs from the primary index's");
      if (!ix.y_present) {
        problems.push_back(label + ": its .Y file is missing");
      } else {
        auto yb = ReadFile(*fs_, ix.y_path);
        auto ytree = ReadTree(yb, ix.y_path, key_len);
        bool same = ytree.size() == leaves.size();
        for (size_t i = 0; same && i < leaves.size(); ++i)
          same = ytree[i].key == leaves[i].key && ytree[i].block == leaves[i].block &&
                 ytree[i].count == leaves[i].count;
        if (!same) problems.push_back(label + ": its .Y tree does not match its blocks");
      }
    } catch (const EDBEngineError& e) {
      problems.push_back(e.what());
    } catch (const platform::PlatformError& e) {
      problems.push_back(e.what());
    }
  }
  return problems;
}

}  // namespace tarvo::db
