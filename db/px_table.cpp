#include "db/px_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>
#include <set>

#include "db/db_error.h"
#include "db/family_journal.h"
#include "db/px_internal.h"
#include "platform/best_effort.h"
#include "text/codepage.h"

namespace tarvo::db {

using Kind = EDBEngineError::Kind;
using namespace px;

namespace px {

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

}  // namespace px

// ---------------------------------------------------------------------------------------------

PxTable::~PxTable() = default;

namespace {

// The installer keeps eight tables open at once, four of them changing.
size_t block_cache_bytes = 1u << 20;
size_t record_store_bytes = 2u << 20;

// The header of a companion file: a header's size is a 16-bit field, so 64 KiB hold any. The
// file's blocks are read when it is rebuilt, not when the table opens.
std::vector<uint8_t> ReadHead(platform::FileSystem& fs, const std::string& path) {
  auto f = fs.Open(path, platform::Access::kRead, platform::Share::kDenyNone,
                   platform::Disposition::kOpenExisting);
  auto b = ReadFromStart(*f, static_cast<size_t>(std::min<uint64_t>(f->Size(), 0xFFFF)));
  f->Close();
  return b;
}

}  // namespace

size_t px::IndexRunBytes() { return record_store_bytes; }

void PxTable::SetMemoryBudget(size_t cache_bytes, size_t record_bytes) {
  block_cache_bytes = cache_bytes;
  record_store_bytes = record_bytes;
}

std::unique_ptr<PxTable> PxTable::FromBytes(std::vector<uint8_t> bytes) {
  std::unique_ptr<PxTable> t(new PxTable());
  t->path_ = "<memory>";
  t->memory_ = std::move(bytes);
  t->table_bytes_ = t->memory_.size();
  t->Load();
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
    t->table_bytes_ = t->file_->Size();
    if (t->table_bytes_ > (1u << 30)) Damaged(path, "file too large");
    t->Load();
    t->LoadCompanions();
  } catch (const platform::PlatformError& e) {
    throw FromPlatform(e, path);
  }
  return t;
}

void PxTable::Load() {
  // A header is at most 64 KiB (its size is a 16-bit field).
  std::vector<uint8_t> head(std::min<uint64_t>(table_bytes_, 0xFFFF));
  head.resize(ReadTable(0, head.data(), head.size()));
  // The code page is known only after the first parse; field names are decoded with it.
  Header probe = ParseHeader(head, path_, true, nullptr);
  codec_ = TextCodec(probe.code_page);
  Header h = ParseHeader(head, path_, true, &codec_);
  if (h.file_type != 0 && h.file_type != 2)
    Damaged(path_, "not a table file (type " + std::to_string(h.file_type) + ")");
  int sum = 0;
  for (auto& f : h.fields) sum += f.length;
  if (sum != h.record_size) Damaged(path_, "record size does not match the fields");
  for (int i = 0; i < h.key_fields; ++i)
    if (IsBlobType(h.fields[i].type)) Damaged(path_, "blob field in the key");
  header_.assign(head.begin(), head.begin() + h.header_size);
  head = {};
  ApplyHeader(h);

  // The engine under DOS may end a file after the last block's records (ZIPCODES.DB and
  // HOSTFAM.DB end half a block early): a block cut short still counts.
  const uint64_t hs = static_cast<uint64_t>(h.header_size);
  const uint64_t bs = static_cast<uint64_t>(h.block_size);
  const size_t avail =
      table_bytes_ <= hs ? 0 : static_cast<size_t>((table_bytes_ - hs + bs - 1) / bs);
  size_t nblocks = std::max<size_t>(avail, static_cast<size_t>(h.file_blocks));
  nblocks = std::min(nblocks, avail);
  blocks_.assign(nblocks, Block());
  cache_index_.assign(nblocks + 1, -1);
  LoadChain(h, avail);
  LoadFreeList(static_cast<uint16_t>(h.first_free));
  disk_blocks_ = avail;
  order_valid_ = false;
}

void PxTable::ApplyHeader(const Header& h) {
  header_size_ = h.header_size;
  record_size_ = h.record_size;
  pool_.Reset(record_size_, fs_, record_store_bytes, path_);
  block_size_ = h.block_size;
  file_type_ = h.file_type;
  version_id_ = h.version;
  key_fields_ = h.file_type == 0 ? h.key_fields : 0;
  header_records_ = h.records;
  autoinc_ = h.autoinc;
  sort_order_ = h.sort_order;
  collation_ = Collation(codec_, sort_order_);
  fields_ = h.fields;
  cache_capacity_ = std::max(kMinCacheBlocks, block_cache_bytes / static_cast<size_t>(block_size_));
}

void PxTable::LoadChain(const Header& h, size_t avail) {
  const size_t nblocks = blocks_.size();
  const uint64_t hs = static_cast<uint64_t>(h.header_size);
  const uint64_t bs = static_cast<uint64_t>(h.block_size);
  // The chain is read in runs of neighbouring blocks; it mostly runs in block order.
  const size_t window_blocks = std::min(std::max<size_t>(1, (1u << 20) / bs), avail);
  // Every byte of the window that is looked at was read into it first.
  std::unique_ptr<uint8_t[]> window(new uint8_t[std::max<size_t>(window_blocks, 1) * bs]);
  size_t window_first = 0, window_count = 0, window_len = 0;
  auto block_bytes = [&](uint16_t n, size_t& len) -> const uint8_t* {
    if (n < window_first || n >= window_first + window_count) {
      const size_t count = std::min(window_blocks, avail - (n - 1));
      window_len = ReadTable(hs + (n - 1) * bs, window.get(), count * bs);
      window_first = n;
      window_count = count;
    }
    const size_t at = (n - window_first) * bs;
    len = window_len > at ? std::min<size_t>(bs, window_len - at) : 0;
    return window.get() + at;
  };
  std::vector<bool> seen(nblocks + 1, false);
  uint16_t prev = 0;
  for (uint16_t n = static_cast<uint16_t>(h.first_block); n != 0;) {
    // Checked as the whole-file walk checks: a block outside the file, a loop, a count that
    // does not fit.
    if (n > avail) Damaged(path_, "block " + std::to_string(n) + " beyond the end of the file");
    if (n > nblocks || seen[n]) Damaged(path_, "block chain loops at block " + std::to_string(n));
    seen[n] = true;
    size_t len = 0;
    const uint8_t* p = block_bytes(n, len);
    if (len < 6) Damaged(path_, "block " + std::to_string(n) + " cut short");
    const uint16_t next = static_cast<uint16_t>(p[0] | p[1] << 8);
    const uint16_t bprev = static_cast<uint16_t>(p[2] | p[3] << 8);
    const int16_t add = static_cast<int16_t>(p[4] | p[5] << 8);
    const int count = add < 0 ? 0 : add / h.record_size + 1;
    if (static_cast<int64_t>(count) * h.record_size > h.block_size - 6)
      Damaged(path_, "block " + std::to_string(n) + " holds more than fits");
    if (6 + static_cast<size_t>(count) * h.record_size > len)
      Damaged(path_, "block " + std::to_string(n) + " beyond the end of the file");
    Block& b = blocks_[n - 1];
    b.in_use = true;
    b.prev = prev;
    b.next = next;
    b.first_id = loaded_ids_;
    b.count = static_cast<uint16_t>(count);
    // A block whose back link is wrong is repaired on the next write, so it is held in memory.
    b.listed = bprev != prev;
    for (int i = 0; b.listed && i < count; ++i) {
      pool_.Set(loaded_ids_ + i, p + 6 + i * record_size_);
      b.ids.push_back(loaded_ids_ + i);
    }
    if (b.listed) b.dirty = true;
    if (count > 0) {
      loaded_first_.push_back(loaded_ids_);
      loaded_block_.push_back(n);
    }
    loaded_ids_ += static_cast<RecId>(count);
    live_ += count;
    if (prev == 0) first_ = n;
    prev = n;
    n = next;
  }
  last_ = prev;
  located_ = loaded_ids_ == 0;
}

void PxTable::LoadFreeList(uint16_t first_free) {
  // The free list, as far as it is sound; blocks neither used nor listed are left alone.
  const size_t nblocks = blocks_.size();
  const uint64_t hs = static_cast<uint64_t>(header_size_);
  const uint64_t bs = static_cast<uint64_t>(block_size_);
  std::vector<bool> seen(nblocks + 1, false);
  for (uint16_t n = first_free; n != 0;) {
    uint8_t p[2];
    if (n > nblocks || seen[n] || blocks_[n - 1].in_use ||
        ReadTable(hs + static_cast<uint64_t>(n - 1) * bs, p, 2) != 2)
      break;
    seen[n] = true;
    free_blocks_.push_back(n);
    n = static_cast<uint16_t>(p[0] | p[1] << 8);
  }
}

void PxTable::LoadCompanions() {
  std::vector<std::pair<std::string, std::string>> x_files, y_files;  // (EXT, path)
  FindCompanions(x_files, y_files);
  if (!mb_path_.empty()) blobs_ = std::make_unique<BlobFile>(fs_, mb_path_, mb_, MakeMbHeader());
  if (px_present_) {
    auto b = ReadHead(*fs_, px_path_);
    ParseHeader(b, px_path_, false, nullptr);
    px_header_.assign(b.begin(), b.begin() + Get16(b, 2));
  }
  std::sort(x_files.begin(), x_files.end());
  for (auto& [suffix, xpath] : x_files) indexes_.push_back(LoadIndex(suffix, xpath, y_files));
}

void PxTable::FindCompanions(std::vector<std::pair<std::string, std::string>>& x_files,
                             std::vector<std::pair<std::string, std::string>>& y_files) {
  std::string folder = FolderOf(path_);
  std::string base = BaseOf(path_);
  // The table file is there, so its folder is: a listing that fails would open the table
  // without its indexes, and the first write would leave them stale.
  const std::vector<platform::DirEntry> entries =
      fs_->List(folder.empty() ? std::string(".") : folder, base + ".*");
  std::string base_upper = Upper(base);
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
}

SecondaryIndex PxTable::LoadIndex(const std::string& suffix, const std::string& xpath,
                                  const std::vector<std::pair<std::string, std::string>>& y_files) {
  auto b = ReadHead(*fs_, xpath);
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
    // A single-field index names its table field at 0x15; its field list may number the
    // fields of the index file itself instead (HOSTOLIN.X02 lists 1 for table field 2).
    if (!ix.composite && m == 1 && b[0x15] != 0) fno = b[0x15] - 1;
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
    auto yb = ReadHead(*fs_, ypath);
    Header yh = ParseHeader(yb, ypath, false, nullptr);
    ix.y_present = true;
    ix.y_path = ypath;
    ix.y_header.assign(yb.begin(), yb.begin() + yh.header_size);
    ix.y_block_size = yh.block_size;
  }
  return ix;
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
  for (uint16_t n : order_) {
    const BlockIds ids = IdsOf(n);
    for (size_t i = 0; i < ids.size(); ++i) out.push_back(ids[i]);
  }
  return out;
}

int PxTable::CompareField(const uint8_t* a, const uint8_t* b, int field) const {
  const FieldInfo& f = fields_[field];
  if (f.type == FieldType::kAlpha) return collation_.Compare(a + f.offset, b + f.offset, f.length);
  int c = std::memcmp(a + f.offset, b + f.offset, f.length);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

LeadingKey PxTable::Leading(const uint8_t* rec, int field, bool descending) const {
  const FieldInfo& f = fields_[field];
  const uint8_t* p = rec + f.offset;
  const size_t n = static_cast<size_t>(f.length);
  // Other types compare as memcmp does.
  LeadingKey key = f.type == FieldType::kAlpha ? collation_.Key(p, n) : LeadingKey::FromBytes(p, n);
  return descending ? key.Reversed() : key;
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
  if (read_only_ || !file_) throw EDBEngineError(Kind::kState, "Table is read only: " + path_);
  modified_ = true;
}

uint16_t PxTable::AllocateBlock() {
  uint16_t n;
  if (!free_blocks_.empty()) {
    n = free_blocks_.front();
    free_blocks_.erase(free_blocks_.begin());
  } else {
    if (blocks_.size() >= 65535) throw EDBEngineError(Kind::kIo, "Table is full: " + path_);
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
      Touch(first_);
    }
    first_ = n;
    if (!last_) last_ = n;
  } else {
    Block& a = blocks_[after - 1];
    b.prev = after;
    b.next = a.next;
    if (a.next) {
      blocks_[a.next - 1].prev = n;
      Touch(a.next);
    } else {
      last_ = n;
    }
    a.next = n;
    Touch(after);
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
  Touch(n);
  Block& b = blocks_[n - 1];
  if (b.prev) {
    blocks_[b.prev - 1].next = b.next;
    Touch(b.prev);
  } else {
    first_ = b.next;
  }
  if (b.next) {
    blocks_[b.next - 1].prev = b.prev;
    Touch(b.next);
  } else {
    last_ = b.prev;
  }
  b.in_use = false;
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
  Locate();
  if (!order_valid_) RebuildOrder();
  const uint8_t* nr = reinterpret_cast<const uint8_t*>(record.data());
  const int cap = (block_size_ - 6) / record_size_;
  const auto [target, pos] = InsertPlace(nr);

  // The blocks that change (the next one too, when a split links a block before it) take their
  // records into the store before anything changes: storing may fail, and then nothing has.
  Touch(target);
  {
    const Block& t = blocks_[target - 1];
    const bool splits =
        static_cast<int>(t.ids.size()) >= cap && !(target == last_ && pos == t.ids.size());
    if (splits && t.next) MakeResident(t.next);
  }
  const RecId id = StoreNewRecord(nr);
  PlaceRecord(id, target, pos, cap);
  ++live_;
  return id;
}

std::pair<uint16_t, size_t> PxTable::InsertPlace(const uint8_t* nr) {
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
    // Records copied in key order, or with a growing key, go after the last one: one comparison.
    const BlockIds tail = IdsOf(last_);
    if (tail.size() > 0 && ComparePrimary(rec(tail.back()), nr) < 0) return {last_, tail.size()};
    // The last block whose first record is not above the new one.
    size_t lo = 0, hi = order_.size();
    while (hi - lo > 1) {
      size_t mid = (lo + hi) / 2;
      const BlockIds ids = IdsOf(order_[mid]);
      if (ids.size() == 0 || ComparePrimary(rec(ids.front()), nr) <= 0)
        lo = mid;
      else
        hi = mid;
    }
    target = order_[lo];
    const BlockIds ids = IdsOf(target);
    size_t l = 0, h = ids.size();
    while (l < h) {
      size_t mid = (l + h) / 2;
      if (ComparePrimary(rec(ids[mid]), nr) <= 0)
        l = mid + 1;
      else
        h = mid;
    }
    pos = l;
    if (pos > 0 && ComparePrimary(rec(ids[pos - 1]), nr) == 0)
      throw EDBEngineError(Kind::kKeyViolation, "Key violation in " + path_);
  } else {
    target = last_;
    pos = IdsOf(target).size();
  }
  return {target, pos};
}

RecId PxTable::StoreNewRecord(const uint8_t* nr) {
  RecId id;
  if (!free_ids_.empty()) {
    id = free_ids_.back();
    pool_.Set(id, nr);
    free_ids_.pop_back();
  } else {
    id = static_cast<RecId>(rec_block_.size());
    pool_.Set(id, nr);
    rec_block_.push_back(0);
  }
  return id;
}

void PxTable::PlaceRecord(RecId id, uint16_t target, size_t pos, int cap) {
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
}

void PxTable::Erase(RecId id) {
  RequireWritable();
  Locate();
  uint16_t n = rec_block_[id];
  if (n == 0) return;
  Block& b = blocks_[n - 1];
  if (b.listed && std::find(b.ids.begin(), b.ids.end(), id) == b.ids.end()) return;
  // Every block the erase may change takes its records into the store first: storing may fail,
  // and then nothing has changed.
  MakeResident(n);
  for (uint16_t x : {b.prev, b.next, b.next ? blocks_[b.next - 1].next : uint16_t{0}})
    if (x) MakeResident(x);
  const auto it = std::find(b.ids.begin(), b.ids.end(), id);
  b.dirty = true;
  // The record's blobs leave their space to the next ones.
  for (size_t i = 0; blobs_ && i < fields_.size(); ++i) {
    if (!IsBlobType(fields_[i].type)) continue;
    const uint8_t* d = rec(id) + fields_[i].offset + fields_[i].length - 10;
    if (Get32(d) != 0)
      blobs_->Release(Get32(d), Get32(d + 4), static_cast<uint16_t>(d[8] | d[9] << 8));
  }
  b.ids.erase(it);
  rec_block_[id] = 0;
  free_ids_.push_back(id);
  --live_;
  if (live_ == 0) {
    // The last record gone: the table is as the engine leaves an emptied one.
    blocks_.clear();
    first_ = last_ = 0;
    free_blocks_.clear();
    order_valid_ = false;
    DropCache();
    return;
  }
  if (!b.ids.empty()) return;
  if (n == first_ && b.next) {
    // The first block never goes free: the next block's records move into it.
    uint16_t nx = b.next;
    Touch(nx);
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
  if (blobs_) blobs_->Clear();
  pool_.clear();
  rec_block_.clear();
  loaded_first_ = {};
  loaded_block_ = {};
  loaded_ids_ = 0;
  located_ = true;
  DropCache();
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
  if (!blobs_) throw EDBEngineError(Kind::kMissingFile, "Blob file missing for " + path_);
  return blobs_->Read(offset, length);
}

void PxTable::WriteBlob(uint8_t* desc, int leader, const std::string& data) {
  uint8_t* d = desc + leader;
  // The blob a new value replaces leaves its space to the next one.
  if (blobs_ && Get32(d) != 0)
    blobs_->Release(Get32(d), Get32(d + 4), static_cast<uint16_t>(d[8] | d[9] << 8));
  std::memset(desc, 0, leader + 10);
  if (data.empty()) return;
  if (data.size() <= static_cast<size_t>(leader)) {
    std::memcpy(desc, data.data(), data.size());
    Put32(d + 4, static_cast<uint32_t>(data.size()));
    return;
  }
  if (!fs_) throw EDBEngineError(Kind::kState, "Table is read only");
  if (!blobs_) {
    // The file is made by the next flush.
    if (mb_path_.empty()) mb_path_ = StemOf(path_) + ".mb";
    blobs_ = std::make_unique<BlobFile>(fs_, mb_path_, mb_, MakeMbHeader());
  }
  uint16_t mod = 0;
  const uint32_t pointer = blobs_->Store(data, mod);
  std::memcpy(desc, data.data(), leader);
  modified_ = true;
  Put32(d, pointer);
  Put32(d + 4, static_cast<uint32_t>(data.size()));
  Put16(d + 8, mod);
}

// ---- writing ----

std::vector<uint8_t> PxTable::BlockImage(uint16_t number) const {
  const Block& b = blocks_[number - 1];
  std::vector<uint8_t> img;
  img.reserve(block_size_);
  img.resize(6);
  if (!b.in_use) {
    auto it = std::find(free_blocks_.begin(), free_blocks_.end(), number);
    uint16_t next = it != free_blocks_.end() && it + 1 != free_blocks_.end() ? *(it + 1) : 0;
    Put16(&img[0], next);
    Put16(&img[2], 0);
    Put16(&img[4], static_cast<uint32_t>(-record_size_) & 0xFFFF);
    img.resize(block_size_);
    return img;
  }
  const BlockIds ids = IdsOf(number);
  Put16(&img[0], b.next);
  Put16(&img[2], b.prev);
  Put16(&img[4], static_cast<uint32_t>((static_cast<int>(ids.size()) - 1) * record_size_) & 0xFFFF);
  // Only the bytes past the last record are zeroed; the records are copied in.
  for (size_t i = 0; i < ids.size(); ++i) {
    const uint8_t* r = rec(ids[i]);
    img.insert(img.end(), r, r + record_size_);
  }
  img.resize(block_size_);
  return img;
}

void PxTable::JournalCompanions(const std::vector<std::string>& paths) {
  if (!undo_ || !undo_->journal) return;
  auto wholes = undo_->journal->RecordWholesFrom(paths);
  for (auto& w : wholes) undo_->companions.push_back(std::move(w));
}

void PxTable::WriteCompanions(std::vector<std::pair<std::string, std::vector<uint8_t>>>& files) {
  std::vector<std::string> paths;
  for (const auto& f : files) paths.push_back(f.first);
  JournalCompanions(paths);
  for (const auto& [path, bytes] : files) WriteFile(*fs_, path, bytes);
}

// Best effort: the error that stopped the flush is what the caller hears, not one of these.
// When any of it fails, the journal stays for the next open to finish the job.
void PxTable::Undo(const FlushUndo& undo) {
  if (blobs_) blobs_->Restore(undo.blobs);
  bool whole = undo.journal != nullptr;
  try {
    for (size_t i = 0; i < undo.table_at.size(); ++i)
      undo.journal->CopyBack(undo.table_at[i], undo.table_spans[i].size, *file_,
                             undo.table_spans[i].offset);
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
      if (it->existed) {
        auto f = fs_->Open(it->path, platform::Access::kReadWrite, platform::Share::kDenyWrite,
                           platform::Disposition::kOpenAlways);
        undo.journal->CopyBack(it->at, it->size, *f, 0);
        f->Seek(it->size);
        f->Truncate();
        f->Flush();
        f->Close();
      } else {
        whole = fs_->DeleteFileAt(it->path) && whole;
      }
    } catch (...) {
      whole = false;
    }
  }
  if (whole && undo.journal) undo.journal->Discard();
}

void PxTable::ReadBeforeImages(FlushUndo& undo) {
  try {
    undo.table_size = file_->Size();
    // Only what the file holds: a last block may be cut short.
    auto span = [&](uint64_t at, uint64_t n) {
      if (at < undo.table_size) undo.table_spans.push_back({at, std::min(n, undo.table_size - at)});
    };
    span(0, header_.size());
    for (uint16_t n = 1; n <= blocks_.size() && n <= disk_blocks_; ++n) {
      if (!blocks_[n - 1].dirty) continue;
      span(static_cast<uint64_t>(header_size_) + static_cast<uint64_t>(n - 1) * block_size_,
           static_cast<uint64_t>(block_size_));
    }
  } catch (const platform::PlatformError& e) {
    throw FromPlatform(e, path_);
  }
}

void PxTable::UpdateHeaderCounters() {
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
  StampUpdateTime(h);
  header_records_ = static_cast<int32_t>(live_);
}

void PxTable::WriteTableFile() {
  const size_t old_blocks = disk_blocks_;
  file_->Seek(0);
  file_->Write(header_.data(), header_.size());
  // Runs of neighbouring blocks go out in one write each (up to a megabyte).
  std::vector<uint8_t> run;
  size_t run_first = 0;
  auto write_run = [&] {
    if (run.empty()) return;
    file_->Seek(static_cast<uint64_t>(header_size_) +
                static_cast<uint64_t>(run_first - 1) * block_size_);
    file_->Write(run.data(), run.size());
    run.clear();
  };
  const size_t run_limit = std::max<size_t>(1, (1u << 20) / block_size_);
  for (size_t n = 1; n <= blocks_.size(); ++n) {
    const Block& b = blocks_[n - 1];
    if (!b.dirty && n <= old_blocks) {
      write_run();
      continue;
    }
    if (run.empty()) run_first = n;
    auto img = BlockImage(static_cast<uint16_t>(n));
    run.insert(run.end(), img.begin(), img.end());
    if (run.size() >= run_limit * block_size_) write_run();
  }
  write_run();
  uint64_t end =
      static_cast<uint64_t>(header_size_) + static_cast<uint64_t>(blocks_.size()) * block_size_;
  if (file_->Size() != end) {
    file_->Seek(end);
    file_->Truncate();
  }
  file_->Flush();
}

void PxTable::Flush() {
  if (!modified_ || !file_) return;
  // A flush rewrites the table file in place and every index file whole; when any write fails,
  // what was overwritten is put back, so that the family on disk stays the one last flushed
  // instead of a mix that no index agrees with.
  FlushUndo undo;
  ReadBeforeImages(undo);
  // The before-images on the disk first: a run that dies during the writes below leaves the
  // journal, and the next open puts them back.
  FamilyJournal journal(*fs_, path_);
  undo.table_at = journal.RecordRangesFrom(path_, undo.table_size, *file_, undo.table_spans);
  undo.journal = &journal;
  undo_ = &undo;
  struct Clear {
    FlushUndo*& u;
    ~Clear() { u = nullptr; }
  } clear{undo_};
  try {
    // New blobs are in place before any record points at them.
    if (blobs_) {
      blobs_->Write(undo.blobs,
                    [&](bool existed, uint64_t old_size, const FamilyJournal::Ranges& before) {
                      if (existed)
                        journal.RecordRanges(blobs_->path(), old_size, before);
                      else
                        journal.RecordWhole(blobs_->path(), std::nullopt);
                    });
    }
    UpdateHeaderCounters();
    WriteTableFile();
    WriteIndexFiles(header_[0x2D]);
    journal.Commit();
  } catch (const platform::PlatformError& e) {
    Undo(undo);
    throw FromPlatform(e, path_);
  } catch (...) {
    Undo(undo);
    throw;
  }
  for (auto& b : blocks_) b.dirty = false;
  if (blobs_) blobs_->Written();
  disk_blocks_ = blocks_.size();
  modified_ = false;
}

void PxTable::Close() {
  std::exception_ptr err;
  try {
    Flush();
  } catch (...) {
    err = std::current_exception();
  }
  if (mb_) {
    platform::BestEffort("its changes were flushed above or the flush's error is reported",
                         [&] { mb_->Close(); });
    mb_.reset();
  }
  if (file_) {
    platform::BestEffort("its changes were flushed above or the flush's error is reported",
                         [&] { file_->Close(); });
    file_.reset();
  }
  if (err) std::rethrow_exception(err);
}

// ---- emptying ----

void PxTable::Empty(platform::FileSystem& fs, const std::string& path) {
  auto t = Open(fs, path, Mode::kReadWrite);
  if (t->read_only()) throw EDBEngineError(Kind::kState, "Table is read only: " + path);
  t->EraseAll();
  t->Close();
}

}  // namespace tarvo::db
