#include "archive/zip_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/zip_exception.h"
#include "archive/zip_names.h"

namespace tarvo::archive {

namespace {

// Sequential reads through a buffer, for the many small records of a central directory.
class BufferedReader {
 public:
  BufferedReader(ZipStream& stream, uint64_t start) : stream_(stream) { stream_.Seek(start); }
  void ReadExact(void* out, size_t n) {
    auto* p = static_cast<uint8_t*>(out);
    while (n > 0) {
      if (pos_ == buffer_.size()) {
        buffer_.resize(kBlock);
        size_t got = stream_.Read(buffer_.data(), kBlock);
        buffer_.resize(got);
        pos_ = 0;
        if (got == 0) throw EStreamError("Stream read error");
      }
      size_t take = std::min(n, buffer_.size() - pos_);
      std::memcpy(p, buffer_.data() + pos_, take);
      pos_ += take;
      p += take;
      n -= take;
    }
  }
  std::string ReadString(size_t n) {
    std::string s(n, '\0');
    if (n) ReadExact(s.data(), n);
    return s;
  }

 private:
  static constexpr size_t kBlock = 1 << 16;
  ZipStream& stream_;
  std::vector<uint8_t> buffer_;
  size_t pos_ = 0;
};

std::string ReadStringAt(ZipStream& stream, uint64_t position, size_t n) {
  std::string s(n, '\0');
  stream.Seek(position);
  if (n) s.resize(stream.Read(s.data(), n));
  return s;
}

void FillFromZip64(TDirItem& item) {
  item.UncompressedSize = item.header.uncompressed_size;
  item.CompressedSize = item.header.compressed_size;
  item.LocalHeaderOffset = item.header.local_header_offset;
  item.DiskNumber = item.header.disk_number_start;
  for (const ExtraBlock& b : item.ExtraBlocks) {
    if (b.id != kZip64ExtraId) continue;
    item.Zip64 = true;
    Zip64Values v = ParseZip64Block(b.data, item.header.uncompressed_size == kOverflow32,
                                    item.header.compressed_size == kOverflow32,
                                    item.header.local_header_offset == kOverflow32,
                                    item.header.disk_number_start == kOverflow16);
    if (v.has_uncompressed) item.UncompressedSize = v.uncompressed_size;
    if (v.has_compressed) item.CompressedSize = v.compressed_size;
    if (v.has_offset) item.LocalHeaderOffset = v.local_header_offset;
    if (v.has_disk) item.DiskNumber = v.disk_number;
    break;
  }
}

// Whether a local header at `position` is the first entry's: same CRC, version needed, method,
// time, date and sizes (the flags are not compared).
bool LocalHeaderMatches(ZipStream& stream, uint64_t position, const TDirItem& first) {
  uint8_t raw[kLocalHeaderSize];
  stream.Seek(position);
  if (stream.Read(raw, sizeof raw) != sizeof raw) return false;
  LocalFileHeader h = LocalFileHeader::Parse(raw);
  const CentralDirHeader& c = first.header;
  bool same = h.version_needed == c.version_needed && h.method == c.method && h.time == c.time &&
              h.date == c.date;
  // With a data descriptor the local header may hold zeros for the CRC and sizes.
  if (h.flags & kFlagDataDescriptor) return same;
  return same && h.crc32 == c.crc32 && h.compressed_size == c.compressed_size &&
         h.uncompressed_size == c.uncompressed_size;
}

bool HasSignatureAt(ZipStream& stream, uint64_t position, uint32_t signature) {
  uint8_t raw[4];
  stream.Seek(position);
  return stream.Read(raw, 4) == 4 && GetU32(raw) == signature;
}

void DetectStub(ZipStream& stream, TZipDirManager& dir) {
  TZipDirArray& items = dir.items;
  if (items.Count() == 0) {
    dir.stub_size = dir.end_record_offset;
    return;
  }
  const TDirItem& first = items[0];
  uint64_t from = first.LocalHeaderOffset;
  uint64_t size = stream.Size();
  std::optional<uint64_t> stub;
  while (from < size) {
    std::optional<uint64_t> hit = FindSignature(stream, from, kLocalHeaderSignature, kStubWindow);
    if (!hit) break;
    if (*hit == 0 || LocalHeaderMatches(stream, *hit, first)) {
      stub = *hit;
      break;
    }
    from = *hit + 1;
  }
  dir.stub_size = stub.value_or(0);
  if (dir.stub_size == 0) return;
  for (int i = 0; i < items.Count(); ++i) {
    if (items[i].CompressedSize == 0) continue;
    const uint64_t offset = items[i].LocalHeaderOffset;
    // Corrected only when the offset as stored misses a local header and the corrected one hits
    // one, so that a false match in front cannot spoil an archive whose offsets are right.
    if (offset < dir.stub_size && !HasSignatureAt(stream, offset, kLocalHeaderSignature) &&
        HasSignatureAt(stream, offset + dir.stub_size, kLocalHeaderSignature)) {
      // Offsets counted from the archive's own start: move every entry, folders included, so
      // that a later update copies their local records from the right place too. An entry whose
      // offset already finds its record (one added after the stub was put in front) stays.
      for (int j = 0; j < items.Count(); ++j) {
        const uint64_t at = items[j].LocalHeaderOffset;
        if (!HasSignatureAt(stream, at, kLocalHeaderSignature) &&
            HasSignatureAt(stream, at + dir.stub_size, kLocalHeaderSignature)) {
          items[j].LocalHeaderOffset += dir.stub_size;
        }
      }
    }
    break;
  }
}

void ReadEntries(ZipStream& stream, TZipDirManager& dir, uint64_t start, uint64_t count,
                 const DirectoryReadOptions& options) {
  dir.directory_start = start;
  uint64_t size = stream.Size();
  // A count that could not fit in the file is not believed for the allocation.
  dir.items.Reserve(static_cast<size_t>(std::min<uint64_t>(count, size / kCentralHeaderSize)));
  BufferedReader reader(stream, start);
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t raw[kCentralHeaderSize];
    reader.ReadExact(raw, sizeof raw);
    TDirItem item;
    item.header = CentralDirHeader::Parse(raw);
    std::string name = reader.ReadString(item.header.name_length);
    item.FileName = DecodeStoredName(name, item.header.flags, options.oem_file_names);
    item.RawName = std::move(name);
    std::string extra = reader.ReadString(item.header.extra_length);
    item.ExtraBlocks =
        ParseExtraField(reinterpret_cast<const uint8_t*>(extra.data()), extra.size());
    item.Comment = reader.ReadString(item.header.comment_length);
    FillFromZip64(item);
    dir.items.Add(std::move(item));
  }
}

}  // namespace

// Refuses a directory whose entries share data with each other or with the directory itself:
// one stored record listed many times (a few kilobytes that extract to gigabytes) or an entry
// hidden inside another's data. An entry's data reaches from its local header to the end of its
// compressed data.
void RefuseOverlaps(ZipStream& stream, const TZipDirManager& dir,
                    const DirectoryReadOptions& options, bool against_directory) {
  struct Range {
    uint64_t begin, end;
    int index;
  };
  std::vector<Range> ranges;
  ranges.reserve(static_cast<size_t>(dir.items.Count()));
  for (int i = 0; i < dir.items.Count(); ++i) {
    const TDirItem& item = dir.items[i];
    uint64_t header = kLocalHeaderSize + item.header.name_length + item.header.extra_length;
    uint8_t raw[kLocalHeaderSize];
    stream.Seek(item.LocalHeaderOffset);
    if (stream.Read(raw, sizeof raw) == sizeof raw && GetU32(raw) == kLocalHeaderSignature) {
      const LocalFileHeader local = LocalFileHeader::Parse(raw);
      header = kLocalHeaderSize + local.name_length + local.extra_length;
    }
    const uint64_t begin = item.LocalHeaderOffset;
    const uint64_t length =
        item.CompressedSize > UINT64_MAX - header ? UINT64_MAX : header + item.CompressedSize;
    const uint64_t end = begin > UINT64_MAX - length ? UINT64_MAX : begin + length;
    ranges.push_back({begin, end, i});
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.begin < b.begin; });
  for (size_t k = 0; k < ranges.size(); ++k) {
    const std::string name = NameForMessage(dir.items[ranges[k].index].FileName);
    if (against_directory && ranges[k].end > dir.directory_start)
      throw EZipException(ZipNative::kOverlap, {name, "the central directory"},
                          options.component_name);
    if (k + 1 < ranges.size() && ranges[k].end > ranges[k + 1].begin) {
      throw EZipException(
          ZipNative::kOverlap,
          {name, "that of \"" + NameForMessage(dir.items[ranges[k + 1].index].FileName) + "\""},
          options.component_name);
    }
  }
}

std::optional<uint64_t> FindSignature(ZipStream& stream, uint64_t from, uint32_t signature,
                                      size_t window) {
  uint64_t size = stream.Size();
  std::vector<uint8_t> buffer(window);
  uint8_t sig[4];
  PutU32(sig, signature);
  while (from + 4 <= size) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(window, size - from));
    stream.Seek(from);
    n = stream.Read(buffer.data(), n);
    if (n < 4) return std::nullopt;
    for (size_t i = 0; i + 4 <= n; ++i) {
      if (buffer[i] == sig[0] && std::memcmp(&buffer[i], sig, 4) == 0) return from + i;
    }
    if (from + n >= size) break;
    from += n - 3;  // a signature across the window edge is found in the next window
  }
  return std::nullopt;
}

std::optional<EndRecordHit> FindEndRecord(ZipStream& stream) {
  uint64_t size = stream.Size();
  if (size < kEndRecordSize) return std::nullopt;
  size_t n = static_cast<size_t>(std::min<uint64_t>(size, kEndRecordSearchSize));
  uint64_t base = size - n;
  std::vector<uint8_t> buffer(n);
  stream.Seek(base);
  stream.ReadExact(buffer.data(), n);
  for (size_t i = n - kEndRecordSize + 1; i-- > 0;) {
    if (GetU32(&buffer[i]) != kEndRecordSignature) continue;
    EndOfCentralDir e = EndOfCentralDir::Parse(&buffer[i]);
    if (size - (base + i + kEndRecordSize) != e.comment_length) continue;
    EndRecordHit hit;
    hit.position = base + i;
    hit.record = e;
    hit.comment.assign(reinterpret_cast<const char*>(&buffer[i + kEndRecordSize]),
                       e.comment_length);
    return hit;
  }
  return std::nullopt;
}

void RepairDirectory(ZipStream& stream, TZipDirManager& dir, const DirectoryReadOptions& options) {
  if (dir.multi_volume) throw EZipException(ZipNative::kMultiVolume, {}, options.component_name);
  dir.items.Clear();
  dir.repaired = true;
  dir.stub_size = 0;
  uint64_t size = stream.Size();
  auto next = [&](uint64_t from) -> std::optional<uint64_t> {
    auto hit = FindSignature(stream, from, kLocalHeaderSignature, kRepairWindow);
    if (hit && size - *hit < kLocalHeaderSize) return std::nullopt;
    return hit;
  };
  std::optional<uint64_t> hit = next(0);
  if (!hit) throw EZipException(ZipNative::kNoEndRecord, {}, options.component_name);
  for (; hit; hit = next(*hit + 4)) {
    uint8_t raw[kLocalHeaderSize];
    stream.Seek(*hit);
    stream.ReadExact(raw, sizeof raw);
    LocalFileHeader l = LocalFileHeader::Parse(raw);
    if (l.compressed_size >= size || l.extra_length > 260) continue;
    TDirItem item;
    CentralDirHeader& c = item.header;
    c.version_made_by = c.version_needed = l.version_needed;
    c.flags = l.flags;
    c.method = l.method;
    c.time = l.time;
    c.date = l.date;
    c.crc32 = l.crc32;
    c.compressed_size = l.compressed_size;
    c.uncompressed_size = l.uncompressed_size;
    c.name_length = l.name_length;
    c.extra_length = l.extra_length;
    c.external_attributes =
        (l.uncompressed_size != 0 || (l.flags & kFlagDataDescriptor)) ? 0x20 : 0x10;
    c.local_header_offset = static_cast<uint32_t>(std::min<uint64_t>(*hit, kOverflow32));
    std::string name = ReadStringAt(stream, *hit + kLocalHeaderSize, l.name_length);
    if (name.size() < l.name_length) name.clear();
    item.FileName = DecodeStoredName(name, l.flags, options.oem_file_names);
    item.RawName = name;
    if (l.flags & kFlagDataDescriptor) {
      auto dd = FindSignature(stream, *hit, kDataDescriptorSignature, kRepairWindow);
      if (dd && size - *dd >= kDataDescriptorSize) {
        uint8_t d[kDataDescriptorSize];
        stream.Seek(*dd);
        stream.ReadExact(d, sizeof d);
        DataDescriptor desc = DataDescriptor::Parse(d);
        c.crc32 = desc.crc32;
        c.compressed_size = desc.compressed_size;
        c.uncompressed_size = desc.uncompressed_size;
      }
    }
    item.UncompressedSize = c.uncompressed_size;
    item.CompressedSize = c.compressed_size;
    item.LocalHeaderOffset = *hit;
    dir.items.Add(std::move(item));
  }
  dir.directory_start = size;
}

void ReadCentralDirectory(ZipStream& stream, TZipDirManager& dir,
                          const DirectoryReadOptions& options) {
  dir.Clear();
  std::optional<EndRecordHit> end = FindEndRecord(stream);
  if (!end) {
    if (!options.repair_on_open)
      throw EZipException(ZipNative::kDamaged, {}, options.component_name);
    RepairDirectory(stream, dir, options);
    return;
  }
  dir.has_end_record = true;
  dir.end_record = end->record;
  dir.end_record_offset = end->position;
  dir.archive_comment = end->comment;

  uint64_t count = end->record.total_entries;
  uint64_t start = 0;
  bool start_known = false;
  if (end->position >= kZip64LocatorSize) {
    uint8_t raw[kZip64LocatorSize];
    stream.Seek(end->position - kZip64LocatorSize);
    stream.ReadExact(raw, sizeof raw);
    if (GetU32(raw) == kZip64LocatorSignature) {
      dir.is_zip64 = true;
      dir.zip64_locator = Zip64Locator::Parse(raw);
      uint64_t locator_pos = end->position - kZip64LocatorSize;
      // The record is where the locator says; an archive with a stub in front has it right
      // before the locator instead.
      std::optional<uint64_t> record_pos;
      for (uint64_t candidate :
           {dir.zip64_locator.record_offset, locator_pos - kZip64EndRecordSize}) {
        if (locator_pos < kZip64EndRecordSize && candidate != dir.zip64_locator.record_offset)
          continue;
        uint8_t rec[kZip64EndRecordSize];
        if (candidate > stream.Size() || stream.Size() - candidate < sizeof rec) continue;
        stream.Seek(candidate);
        stream.ReadExact(rec, sizeof rec);
        if (GetU32(rec) != kZip64EndRecordSignature) continue;
        dir.zip64_end_record = Zip64EndOfCentralDir::Parse(rec);
        record_pos = candidate;
        break;
      }
      if (!record_pos)
        throw EZipException(ZipNative::kNoZip64EndRecord, {}, options.component_name);
      count = dir.zip64_end_record.total_entries;
      if (dir.zip64_end_record.directory_size <= *record_pos) {
        start = *record_pos - dir.zip64_end_record.directory_size;
        start_known = true;
      }
    }
  }
  uint32_t disk = end->record.disk_number;
  if (disk == kOverflow16 && dir.is_zip64) disk = dir.zip64_locator.total_disks - 1;
  dir.multi_volume = disk != 0;

  if (!dir.is_zip64) {
    if (end->record.total_entries == kOverflow16) {
      RepairDirectory(stream, dir, options);
      return;
    }
    if (end->record.directory_size <= end->position) {
      start = end->position - end->record.directory_size;
      start_known = true;
    }
  }
  try {
    if (!start_known) throw EStreamError("Stream read error");
    ReadEntries(stream, dir, start, count, options);
  } catch (const EZipException&) {
    if (!options.repair_on_open) throw;
    RepairDirectory(stream, dir, options);
    return;
  } catch (const EStreamError&) {
    if (!options.repair_on_open) throw;
    RepairDirectory(stream, dir, options);
    return;
  }
  if (!options.repair_on_open) {
    uint64_t sum = 0, size = stream.Size();
    for (int i = 0; i < dir.items.Count(); ++i) {
      if (dir.items[i].CompressedSize > size - sum)
        throw EZipException(ZipNative::kDamagedSizes, {}, options.component_name);
      sum += dir.items[i].CompressedSize;
    }
  }
  if (!dir.multi_volume) {
    DetectStub(stream, dir);
    RefuseOverlaps(stream, dir, options, true);
  }
}

}  // namespace tarvo::archive
