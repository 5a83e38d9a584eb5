#include "db/px_blob.h"

#include <algorithm>
#include <cstring>

#include "db/db_error.h"
#include "platform/best_effort.h"

// The layout below follows blob files the Paradox engine wrote (the samples named in the
// comments are the engine-written families of the project's test data):
//   header (unit 0): 00, units 1, modification count, fixed sizes; from 0x38 a list of 6-byte
//     entries, one per block with room: kind 2 = sub-allocated block, count = its free chunks;
//     kind 3 = free block, count = its size in units (every .MB of db_CUSTOMER, biolife,
//     mushrooms, KOMMENT, lekarstva, fields_graphic, fields_ole agrees, full blocks unlisted);
//   type 2: 02, units, length, modification number, data from byte 9;
//   type 3: 03, 01 00, nine bytes, 64 pointer entries of 5 bytes (chunk offset, chunk count,
//     modification number, bytes in the last chunk), data in 16-byte chunks from 0x150;
//   type 4: 04, units; the rest of the block is left as it was (fields_graphic, fields_ole).

namespace tarvo::db {

using Kind = EDBEngineError::Kind;

namespace {

constexpr int kSlots = 64;
constexpr int kFirstChunk = 0x15;  // 12-byte head and 64 entries of 5 bytes, in 16-byte chunks
constexpr int kChunks = 256;
constexpr int kListAt = 0x38;
constexpr int kListEntries = (BlobFile::kUnit - kListAt) / 6;  // 672, as the DOS engine counts

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}
void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A slot's blob length: chunks before the last, then the bytes in the last.
uint32_t SlotLength(const uint8_t* e) { return e[1] == 0 ? 0 : (e[1] - 1) * 16u + e[4]; }

EDBEngineError FromPlatform(const platform::PlatformError& e, const std::string& path) {
  if (e.code() == platform::kErrorSharingViolation || e.code() == 33)
    return EDBEngineError(Kind::kInUse, "Table is busy: " + path + " is in use by another program");
  if (e.code() == platform::kErrorFileNotFound || e.code() == platform::kErrorPathNotFound)
    return EDBEngineError(Kind::kMissingFile, "Blob file missing: " + path);
  return EDBEngineError(Kind::kIo, "Cannot access " + path + ": " + e.what());
}

// A file held in memory, for CheckBytes.
class MemoryFile : public platform::File {
 public:
  explicit MemoryFile(const std::vector<uint8_t>& b) : b_(b) {}
  size_t Read(void* buffer, size_t n) override {
    size_t k = pos_ < b_.size() ? std::min(n, b_.size() - static_cast<size_t>(pos_)) : 0;
    if (k) std::memcpy(buffer, b_.data() + pos_, k);
    pos_ += k;
    return k;
  }
  void Write(const void*, size_t) override { throw platform::PlatformError("read only", 5); }
  void Seek(uint64_t p) override { pos_ = p; }
  uint64_t Position() override { return pos_; }
  uint64_t Size() override { return b_.size(); }
  void Truncate() override { throw platform::PlatformError("read only", 5); }
  void Flush() override {}
  void SetLastWriteTime(platform::DosDateTime) override {}
  void Close() override {}

 private:
  const std::vector<uint8_t>& b_;
  uint64_t pos_ = 0;
};

// The first chunk of the first run of `chunks` free chunks of a unit of small blobs; -1 when
// there is none.
int FirstFreeRun(const std::vector<uint8_t>& image, int chunks) {
  bool used[kChunks] = {};
  for (int i = 0; i < kSlots; ++i) {
    const uint8_t* e = &image[12 + 5 * i];
    if (e[0]) std::fill(used + e[0], used + e[0] + e[1], true);
  }
  for (int c = kFirstChunk, run = 0; c < kChunks; ++c) {
    run = used[c] ? 0 : run + 1;
    if (run == chunks) return c - chunks + 1;
  }
  return -1;
}

// Moves a unit's live blobs together at its start; returns the first free chunk after them.
int CompactChunks(std::vector<uint8_t>& image) {
  std::vector<int> live;
  for (int i = 0; i < kSlots; ++i)
    if (image[12 + 5 * i]) live.push_back(i);
  std::sort(live.begin(), live.end(),
            [&](int a, int b) { return image[12 + 5 * a] < image[12 + 5 * b]; });
  int next = kFirstChunk;
  for (int i : live) {
    uint8_t* e = &image[12 + 5 * i];
    std::memmove(&image[next * 16], &image[e[0] * 16], e[1] * 16u);
    e[0] = static_cast<uint8_t>(next);
    next += e[1];
  }
  std::fill(image.begin() + next * 16, image.end(), 0);
  return next;
}

// Writes a small blob into free chunks from `at` and a free entry of its unit; returns the entry.
int PlaceSmallBlob(std::vector<uint8_t>& image, int at, uint16_t mod, std::string_view data) {
  const uint32_t length = static_cast<uint32_t>(data.size());
  const int chunks = static_cast<int>((length + 15) / 16);
  // Entries are taken from the last one down (GENUS.MB, HOSTOLIN.MB).
  int slot = kSlots - 1;
  while (slot >= 0 && image[12 + 5 * slot] != 0) --slot;
  uint8_t* e = &image[12 + 5 * slot];
  e[0] = static_cast<uint8_t>(at);
  e[1] = static_cast<uint8_t>(chunks);
  Put16(e + 2, mod);
  e[4] = static_cast<uint8_t>(length - (chunks - 1) * 16);
  std::memcpy(&image[at * 16], data.data(), length);
  std::fill(image.begin() + at * 16 + length, image.begin() + (at + chunks) * 16, 0);
  return slot;
}

}  // namespace

BlobFile::BlobFile(platform::FileSystem* fs, std::string path,
                   std::unique_ptr<platform::File>& handle, std::vector<uint8_t> new_header)
    : fs_(fs), path_(std::move(path)), file_(handle), new_header_(std::move(new_header)) {}

void BlobFile::Damaged(const std::string& what) const {
  throw EDBEngineError(Kind::kDamaged, "Corrupt blob file " + path_ + ": " + what);
}

void BlobFile::OpenForReading() {
  if (file_ || !fs_) return;
  file_ = fs_->Open(path_, platform::Access::kRead, platform::Share::kDenyNone,
                    platform::Disposition::kOpenExisting);
}

std::vector<uint8_t> BlobFile::ReadAt(uint64_t offset, size_t n) {
  // Changes not yet written are read from memory.
  const uint32_t unit = static_cast<uint32_t>(std::min<uint64_t>(offset / kUnit, 0xFFFFFFFFu));
  auto it = writes_.upper_bound(unit);
  if (it != writes_.begin()) {
    --it;
    const uint64_t start = static_cast<uint64_t>(it->first) * kUnit;
    if (offset >= start && offset + n <= start + it->second.size())
      return std::vector<uint8_t>(it->second.begin() + (offset - start),
                                  it->second.begin() + (offset - start + n));
  }
  if (loaded_ && !exists_) Damaged("blob outside the file");
  OpenForReading();
  if (!file_) Damaged("blob outside the file");
  if (offset + n > file_->Size()) Damaged("blob beyond the end of the file");
  std::vector<uint8_t> out(n);
  file_->Seek(offset);
  size_t got = 0;
  while (got < n) {
    size_t k = file_->Read(out.data() + got, n - got);
    if (!k) Damaged("short read");
    got += k;
  }
  return out;
}

std::string BlobFile::Read(uint32_t pointer, uint32_t length) {
  try {
    const uint32_t index = pointer & 0xFF;
    const uint64_t base = pointer & ~0xFFu;
    auto head = ReadAt(base, 12);
    uint64_t at = 0;
    if (index == 0xFF) {
      if (head[0] != 2) Damaged("blob block of the wrong type");
      if (Le32(&head[3]) != length) Damaged("blob length mismatch");
      if (9 + static_cast<uint64_t>(length) > static_cast<uint64_t>(Le16(&head[1])) * kUnit)
        Damaged("blob longer than its block");
      at = base + 9;
    } else {
      if (head[0] != 3 || index >= kSlots) Damaged("blob block of the wrong type");
      auto e = ReadAt(base + 12 + 5 * index, 5);
      if (e[0] == 0 || SlotLength(e.data()) != length) Damaged("blob pointer does not match");
      if (e[0] < kFirstChunk) Damaged("blob inside the block header");
      at = base + e[0] * 16u;
      if (at + length > base + kUnit) Damaged("blob beyond its block");
    }
    auto bytes = ReadAt(at, length);
    return std::string(bytes.begin(), bytes.end());
  } catch (const platform::PlatformError& e) {
    throw FromPlatform(e, path_);
  }
}

void BlobFile::Load() {
  if (loaded_) return;
  try {
    if (!file_ && fs_ && fs_->FileExists(path_)) OpenForReading();
    if (file_ && fs_ && !writable_) {
      // Changes need write access; the handle is reopened for it.
      file_->Close();
      file_.reset();
      file_ = fs_->Open(path_, platform::Access::kReadWrite, platform::Share::kDenyWrite,
                        platform::Disposition::kOpenExisting);
      writable_ = true;
    }
    exists_ = file_ != nullptr;
    if (!exists_) {
      header_ = new_header_;
      header_.resize(kUnit, 0);
      end_units_ = 1;
      disk_units_ = 0;
      disk_size_ = 0;
      writes_[0] = header_;
      dirty_ = true;
      loaded_ = true;
      return;
    }
    disk_size_ = file_->Size();
    if (disk_size_ < kUnit) Damaged("file shorter than its header");
    if (disk_size_ > 0xFFFFFFFFull) Damaged("file too large");
    loaded_ = true;  // ReadAt reads the file from here on
    header_ = ReadAt(0, kUnit);
    if (header_[0] != 0 || Le16(&header_[1]) != 1) Damaged("not a blob file header");
    disk_units_ = static_cast<uint32_t>((disk_size_ + kUnit - 1) / kUnit);
    end_units_ = disk_units_;
    // Every block names its type and size; the map is built from the blocks themselves, not
    // from the header's list, which the engine keeps only as a hint.
    for (uint32_t u = 1; u < disk_units_;) {
      const uint64_t at = static_cast<uint64_t>(u) * kUnit;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(12 + 5 * kSlots, disk_size_ - at));
      if (n < 3) Damaged("block header cut short");
      auto h = ReadAt(at, n);
      Block b;
      b.type = h[0];
      b.units = Le16(&h[1]);
      if (b.type != 2 && b.type != 3 && b.type != 4) Damaged("block of unknown type");
      if (b.units == 0 || static_cast<uint64_t>(u) + b.units > disk_units_)
        Damaged("block beyond the end of the file");
      if (b.type == 2 && (n < 9 || 9 + static_cast<uint64_t>(Le32(&h[3])) >
                                       static_cast<uint64_t>(b.units) * kUnit))
        Damaged("blob longer than its block");
      if (b.type == 3) {
        if (b.units != 1 || n < 12 + 5 * kSlots) Damaged("sub-allocated block of the wrong size");
        Recount(u, h);
        b.free_chunks = blocks_[u].free_chunks;
        b.free_slots = blocks_[u].free_slots;
      }
      blocks_[u] = b;
      if (b.type == 3 && b.free_chunks > 0 && b.free_slots > 0) open_.insert(u);
      if (b.type == 4) free_.insert(u);
      u += b.units;
    }
  } catch (const platform::PlatformError& e) {
    throw FromPlatform(e, path_);
  }
}

// Counts the free chunks and slots of a sub-allocated block; live blobs must lie inside the
// block and must not overlap.
void BlobFile::Recount(uint32_t unit, const std::vector<uint8_t>& image) {
  bool used[kChunks] = {};
  int free_slots = 0, used_chunks = 0;
  for (int i = 0; i < kSlots; ++i) {
    const uint8_t* e = &image[12 + 5 * i];
    if (e[0] == 0) {
      ++free_slots;
      continue;
    }
    if (e[0] < kFirstChunk || e[1] == 0 || e[4] == 0 || e[4] > 16 || e[0] + e[1] > kChunks)
      Damaged("blob pointer entry out of its block");
    for (int c = e[0]; c < e[0] + e[1]; ++c) {
      if (used[c]) Damaged("blobs overlap in a sub-allocated block");
      used[c] = true;
    }
    used_chunks += e[1];
  }
  Block& b = blocks_[unit];
  b.free_chunks = kChunks - kFirstChunk - used_chunks;
  b.free_slots = free_slots;
}

std::vector<uint8_t>& BlobFile::SubImage(uint32_t unit) {
  auto it = writes_.find(unit);
  if (it != writes_.end() && it->second.size() == kUnit) return it->second;
  auto image = ReadAt(static_cast<uint64_t>(unit) * kUnit, kUnit);
  return writes_[unit] = std::move(image);
}

void BlobFile::SetFreeHeader(uint32_t unit, uint32_t units) {
  Block& b = blocks_[unit];
  b = Block();
  b.type = 4;
  b.units = units;
  free_.insert(unit);
  open_.erase(unit);
  // Only the type and size change; the rest of the block stays as it was, as the engine
  // leaves it (fields_graphic.mb, fields_ole.mb).
  std::vector<uint8_t> h = {4, static_cast<uint8_t>(units), static_cast<uint8_t>(units >> 8)};
  auto it = writes_.find(unit);
  if (it != writes_.end() && it->second.size() >= 3 && unit >= disk_units_) {
    std::copy(h.begin(), h.end(), it->second.begin());
  } else {
    writes_[unit] = std::move(h);
  }
}

// Units for a new block: the first free block that is large enough (split, the rest stays
// free), a free block at the end of the file grown, or new units at the end.
uint32_t BlobFile::TakeUnits(uint32_t units) {
  for (uint32_t u : free_) {
    const uint32_t have = blocks_[u].units;
    if (have < units) continue;
    free_.erase(u);
    if (have > units) SetFreeHeader(u + units, have - units);
    blocks_[u] = Block();
    writes_.erase(u);
    return u;
  }
  uint32_t u = end_units_;
  if (!free_.empty()) {
    uint32_t last = *free_.rbegin();
    if (last + blocks_[last].units == end_units_) {
      u = last;
      free_.erase(last);
      writes_.erase(last);
    }
  }
  if ((static_cast<uint64_t>(u) + units) * kUnit > 0xFFFFFF00ull)
    throw EDBEngineError(Kind::kInvalidValue, "Blob file full: " + path_);
  end_units_ = std::max(end_units_, u + units);
  blocks_[u] = Block();
  return u;
}

// A block becomes free and joins free neighbours (the engine keeps the combined size in the
// first of them); a free block's size is a 16-bit count of units.
void BlobFile::FreeUnits(uint32_t unit) {
  uint32_t units = blocks_[unit].units;
  auto next = blocks_.find(unit + units);
  while (next != blocks_.end() && next->second.type == 4 && units + next->second.units <= 0xFFFF) {
    units += next->second.units;
    free_.erase(next->first);
    writes_.erase(next->first);
    next = blocks_.erase(next);
  }
  auto it = blocks_.find(unit);
  if (it != blocks_.begin()) {
    auto prev = std::prev(it);
    if (prev->second.type == 4 && prev->second.units + units <= 0xFFFF) {
      uint32_t p = prev->first;
      units += prev->second.units;
      writes_.erase(unit);
      blocks_.erase(it);
      unit = p;
    }
  }
  // Whatever was pending inside the freed range is not written.
  for (auto w = writes_.upper_bound(unit); w != writes_.end() && w->first < unit + units;)
    w = writes_.erase(w);
  SetFreeHeader(unit, units);
}

uint32_t BlobFile::Store(std::string_view data, uint16_t& mod) {
  if (data.empty() || data.size() > 0xFFFFFFF0u)
    throw EDBEngineError(Kind::kInvalidValue, "Blob of impossible size for " + path_);
  Load();
  dirty_ = true;
  // Each blob written moves the header's modification count on and carries the new count, so
  // that no blob written now has the number of one written before (the engine's own blobs
  // carry the count or less: db_CUSTOMER.MB, KOMMENT.MB). A replaced record's stale pointer
  // can then never free a newer blob that took its place.
  const uint16_t count = Le16(&header_[3]);
  mod = count >= 0xFFFF ? 1 : static_cast<uint16_t>(count + 1);
  Put16(&header_[3], mod);
  const uint32_t length = static_cast<uint32_t>(data.size());
  if (length <= kMaxSmallBlob) {
    const int chunks = static_cast<int>((length + 15) / 16);
    uint32_t unit = 0;
    for (uint32_t u : open_)
      if (blocks_[u].free_chunks >= chunks) {
        unit = u;
        break;
      }
    if (unit == 0) {
      unit = TakeUnits(1);
      std::vector<uint8_t> image(kUnit, 0);
      image[0] = 3;
      Put16(&image[1], 1);
      writes_[unit] = std::move(image);
      blocks_[unit] = Block{3, 1, kChunks - kFirstChunk, kSlots};
    }
    std::vector<uint8_t>& image = SubImage(unit);
    // First fit among the free chunks; when they are scattered, the live blobs move together
    // first (records point at the entry, not at the data, so they stay valid).
    int at = FirstFreeRun(image, chunks);
    if (at < 0) at = CompactChunks(image);
    const int slot = PlaceSmallBlob(image, at, mod, data);
    Recount(unit, image);
    if (blocks_[unit].free_chunks > 0 && blocks_[unit].free_slots > 0)
      open_.insert(unit);
    else
      open_.erase(unit);
    return unit * kUnit | static_cast<uint32_t>(slot);
  }
  const uint64_t need = (9 + static_cast<uint64_t>(length) + kUnit - 1) / kUnit;
  if (need > 0xFFFF) throw EDBEngineError(Kind::kInvalidValue, "Blob too large for " + path_);
  const uint32_t units = static_cast<uint32_t>(need);
  const uint32_t unit = TakeUnits(units);
  std::vector<uint8_t> image(static_cast<size_t>(units) * kUnit, 0);
  image[0] = 2;
  Put16(&image[1], units);
  Put32(&image[3], length);
  Put16(&image[7], mod);
  std::memcpy(&image[9], data.data(), length);
  writes_[unit] = std::move(image);
  blocks_[unit] = Block{2, units, 0, 0};
  return unit * kUnit | 0xFF;
}

void BlobFile::Release(uint32_t pointer, uint32_t length, uint16_t mod) {
  if ((pointer & ~0xFFu) % kUnit != 0) return;
  Load();
  const uint32_t unit = pointer / kUnit;
  const uint32_t index = pointer & 0xFF;
  auto it = blocks_.find(unit);
  if (unit == 0 || it == blocks_.end()) return;
  if (index == 0xFF) {
    if (it->second.type != 2) return;
    auto h = ReadAt(static_cast<uint64_t>(unit) * kUnit, 9);
    if (Le32(&h[3]) != length || Le16(&h[7]) != mod) return;
    dirty_ = true;
    FreeUnits(unit);
    return;
  }
  if (it->second.type != 3 || index >= kSlots) return;
  std::vector<uint8_t>& image = SubImage(unit);
  uint8_t* e = &image[12 + 5 * index];
  if (e[0] == 0 || SlotLength(e) != length || Le16(e + 2) != mod) return;
  dirty_ = true;
  // A freed entry keeps its sizes; its offset and modification number become zero
  // (db_CUSTOMER.MB, mushrooms.mb, KOMMENT.MB).
  e[0] = 0;
  e[2] = e[3] = 0;
  Recount(unit, image);
  if (blocks_[unit].free_slots == kSlots) {
    FreeUnits(unit);  // the last blob gone: the block is free (KOMMENT.MB, block at 0x1000)
  } else if (blocks_[unit].free_chunks > 0) {
    open_.insert(unit);
  }
}

void BlobFile::Clear() {
  try {
    Load();
  } catch (const EDBEngineError& e) {
    // A damaged blob file loses nothing by being emptied: its header is made anew. A file
    // that cannot be read is another matter: that failure is the caller's to hear.
    if (!file_ || e.kind() != Kind::kDamaged) throw;
    loaded_ = true;
    exists_ = true;
    header_ = new_header_;
    header_.resize(kUnit, 0);
  }
  blocks_.clear();
  open_.clear();
  free_.clear();
  writes_.clear();
  end_units_ = 1;
  dirty_ = true;
}

std::vector<uint8_t> BlobFile::HeaderImage() const {
  std::vector<uint8_t> h = header_;
  // The list written the way the Windows engine writes it (from 0x38, blocks in file order);
  // the counters a DOS engine keeps at 0x2F..0x37 and its list at the end go.
  std::fill(h.begin() + 0x2F, h.end(), 0);
  size_t at = kListAt;
  int n = 0;
  for (const auto& [u, b] : blocks_) {
    uint8_t kind = 0;
    uint32_t count = 0;
    if (b.type == 3 && b.free_chunks > 0 && b.free_slots > 0) {
      kind = 2;
      count = static_cast<uint32_t>(b.free_chunks);
    } else if (b.type == 4) {
      kind = 3;
      count = b.units;
    }
    if (!kind) continue;
    if (n++ == kListEntries) break;  // the rest are not listed: the engine appends there
    Put32(&h[at], u * kUnit | kind);
    Put16(&h[at + 4], count);
    at += 6;
  }
  return h;
}

void BlobFile::Write(Undo& undo, const BeforeImages& record) {
  if (!dirty_) return;
  try {
    // Every write is planned first, so that what it overwrites can be kept (and journalled)
    // before the first byte changes.
    struct Piece {
      uint64_t offset;
      const uint8_t* bytes;
      size_t size;
    };
    std::vector<Piece> plan;
    const auto header = HeaderImage();
    plan.push_back({0, header.data(), header.size()});
    // New units are written whole, so that the file never has a gap.
    uint32_t covered = std::max<uint32_t>(disk_units_, 1);
    static const std::vector<uint8_t> zeros(kUnit, 0);
    for (const auto& [u, bytes] : writes_) {
      if (u == 0) continue;
      if (u >= end_units_) break;
      for (; covered < u; ++covered)
        plan.push_back({static_cast<uint64_t>(covered) * kUnit, zeros.data(), kUnit});
      plan.push_back({static_cast<uint64_t>(u) * kUnit, bytes.data(), bytes.size()});
      const uint32_t through = u + static_cast<uint32_t>((bytes.size() + kUnit - 1) / kUnit);
      if (u >= covered && bytes.size() % kUnit) {
        const size_t pad = kUnit - bytes.size() % kUnit;
        plan.push_back({static_cast<uint64_t>(u) * kUnit + bytes.size(), zeros.data(), pad});
      }
      covered = std::max(covered, through);
    }
    for (; covered < end_units_; ++covered)
      plan.push_back({static_cast<uint64_t>(covered) * kUnit, zeros.data(), kUnit});

    undo.started = true;
    undo.existed = exists_;
    undo.size = disk_size_;
    undo.ranges.clear();
    if (exists_) {
      auto keep = [&](uint64_t offset, size_t n) {
        std::vector<uint8_t> before(n);
        file_->Seek(offset);
        size_t got = 0;
        while (got < n) {
          size_t k = file_->Read(before.data() + got, n - got);
          if (!k) break;
          got += k;
        }
        before.resize(got);
        undo.ranges.emplace_back(offset, std::move(before));
      };
      for (const Piece& piece : plan) {
        if (piece.offset < disk_size_)
          keep(piece.offset,
               static_cast<size_t>(std::min<uint64_t>(piece.size, disk_size_ - piece.offset)));
      }
      // What the file loses at its end is kept too: a failed flush gives it back.
      if (size() < disk_size_) keep(size(), static_cast<size_t>(disk_size_ - size()));
    }
    if (record) record(undo.existed, undo.size, undo.ranges);

    if (!exists_) {
      if (!fs_) throw EDBEngineError(Kind::kState, "Blob file cannot be created: " + path_);
      file_ = fs_->Open(path_, platform::Access::kReadWrite, platform::Share::kDenyWrite,
                        platform::Disposition::kCreateNew);
      writable_ = true;
      exists_ = true;
    }
    for (const Piece& piece : plan) {
      file_->Seek(piece.offset);
      file_->Write(piece.bytes, piece.size);
    }
    if (file_->Size() != size()) {
      file_->Seek(size());
      file_->Truncate();
    }
    file_->Flush();
  } catch (const platform::PlatformError& e) {
    throw FromPlatform(e, path_);
  }
}

void BlobFile::Restore(const Undo& undo) {
  if (!undo.started || !file_) return;
  platform::BestEffort("the caller reports the failure that made the undo necessary", [&] {
    if (!undo.existed) {
      file_->Close();
      file_.reset();
      if (fs_) (void)fs_->DeleteFileAt(path_);
      exists_ = false;
      return;
    }
    for (auto it = undo.ranges.rbegin(); it != undo.ranges.rend(); ++it) {
      file_->Seek(it->first);
      file_->Write(it->second.data(), it->second.size());
    }
    if (file_->Size() != undo.size) {
      file_->Seek(undo.size);
      file_->Truncate();
    }
    file_->Flush();
  });
}

void BlobFile::Written() {
  if (!dirty_) return;
  writes_.clear();
  disk_units_ = end_units_;
  disk_size_ = size();
  dirty_ = false;
}

void BlobFile::CheckBytes(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<platform::File> handle = std::make_unique<MemoryFile>(bytes);
  BlobFile f(nullptr, "<memory>", handle, {});
  f.writable_ = true;
  f.Load();
  // Every blob read, then freed (joining free neighbours), then new blobs of every kind placed
  // in what was freed: in memory only.
  std::vector<std::pair<uint32_t, std::pair<uint32_t, uint16_t>>> blobs;
  for (const auto& [u, b] : f.blocks_) {
    auto head = f.ReadAt(static_cast<uint64_t>(u) * kUnit, b.type == 3 ? 12 + 5 * kSlots : 9);
    if (b.type == 2) blobs.push_back({u * kUnit | 0xFF, {Le32(&head[3]), Le16(&head[7])}});
    for (int i = 0; b.type == 3 && i < kSlots; ++i) {
      const uint8_t* e = &head[12 + 5 * i];
      if (e[0])
        blobs.push_back({u * kUnit | static_cast<uint32_t>(i), {SlotLength(e), Le16(e + 2)}});
    }
  }
  for (const auto& [pointer, desc] : blobs) f.Read(pointer, desc.first);
  for (const auto& [pointer, desc] : blobs) f.Release(pointer, desc.first, desc.second);
  uint16_t mod = 0;
  for (size_t n : {1, 100, 2032, 2033, 9000, 300}) {
    const uint32_t pointer = f.Store(std::string(n, 'x'), mod);
    if (f.Read(pointer, static_cast<uint32_t>(n)) != std::string(n, 'x'))
      f.Damaged("a stored blob does not read back");
  }
  f.HeaderImage();
}

}  // namespace tarvo::db
