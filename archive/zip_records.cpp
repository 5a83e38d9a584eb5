#include "archive/zip_records.h"

namespace tarvo::archive {

void ByteWriter::U16(uint16_t v) {
  data_.push_back(static_cast<uint8_t>(v));
  data_.push_back(static_cast<uint8_t>(v >> 8));
}
void ByteWriter::U32(uint32_t v) {
  for (int i = 0; i < 4; ++i) data_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void ByteWriter::U64(uint64_t v) {
  for (int i = 0; i < 8; ++i) data_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

LocalFileHeader LocalFileHeader::Parse(const uint8_t* p) {
  LocalFileHeader h;
  h.signature = GetU32(p);
  h.version_needed = GetU16(p + 4);
  h.flags = GetU16(p + 6);
  h.method = GetU16(p + 8);
  h.time = GetU16(p + 10);
  h.date = GetU16(p + 12);
  h.crc32 = GetU32(p + 14);
  h.compressed_size = GetU32(p + 18);
  h.uncompressed_size = GetU32(p + 22);
  h.name_length = GetU16(p + 26);
  h.extra_length = GetU16(p + 28);
  return h;
}

void LocalFileHeader::Serialize(uint8_t* p) const {
  PutU32(p, signature);
  PutU16(p + 4, version_needed);
  PutU16(p + 6, flags);
  PutU16(p + 8, method);
  PutU16(p + 10, time);
  PutU16(p + 12, date);
  PutU32(p + 14, crc32);
  PutU32(p + 18, compressed_size);
  PutU32(p + 22, uncompressed_size);
  PutU16(p + 26, name_length);
  PutU16(p + 28, extra_length);
}

CentralDirHeader CentralDirHeader::Parse(const uint8_t* p) {
  CentralDirHeader h;
  h.signature = GetU32(p);
  h.version_made_by = GetU16(p + 4);
  h.version_needed = GetU16(p + 6);
  h.flags = GetU16(p + 8);
  h.method = GetU16(p + 10);
  h.time = GetU16(p + 12);
  h.date = GetU16(p + 14);
  h.crc32 = GetU32(p + 16);
  h.compressed_size = GetU32(p + 20);
  h.uncompressed_size = GetU32(p + 24);
  h.name_length = GetU16(p + 28);
  h.extra_length = GetU16(p + 30);
  h.comment_length = GetU16(p + 32);
  h.disk_number_start = GetU16(p + 34);
  h.internal_attributes = GetU16(p + 36);
  h.external_attributes = GetU32(p + 38);
  h.local_header_offset = GetU32(p + 42);
  return h;
}

void CentralDirHeader::Serialize(uint8_t* p) const {
  PutU32(p, signature);
  PutU16(p + 4, version_made_by);
  PutU16(p + 6, version_needed);
  PutU16(p + 8, flags);
  PutU16(p + 10, method);
  PutU16(p + 12, time);
  PutU16(p + 14, date);
  PutU32(p + 16, crc32);
  PutU32(p + 20, compressed_size);
  PutU32(p + 24, uncompressed_size);
  PutU16(p + 28, name_length);
  PutU16(p + 30, extra_length);
  PutU16(p + 32, comment_length);
  PutU16(p + 34, disk_number_start);
  PutU16(p + 36, internal_attributes);
  PutU32(p + 38, external_attributes);
  PutU32(p + 42, local_header_offset);
}

EndOfCentralDir EndOfCentralDir::Parse(const uint8_t* p) {
  EndOfCentralDir e;
  e.signature = GetU32(p);
  e.disk_number = GetU16(p + 4);
  e.directory_disk = GetU16(p + 6);
  e.entries_on_disk = GetU16(p + 8);
  e.total_entries = GetU16(p + 10);
  e.directory_size = GetU32(p + 12);
  e.directory_offset = GetU32(p + 16);
  e.comment_length = GetU16(p + 20);
  return e;
}

void EndOfCentralDir::Serialize(uint8_t* p) const {
  PutU32(p, signature);
  PutU16(p + 4, disk_number);
  PutU16(p + 6, directory_disk);
  PutU16(p + 8, entries_on_disk);
  PutU16(p + 10, total_entries);
  PutU32(p + 12, directory_size);
  PutU32(p + 16, directory_offset);
  PutU16(p + 20, comment_length);
}

Zip64EndOfCentralDir Zip64EndOfCentralDir::Parse(const uint8_t* p) {
  Zip64EndOfCentralDir z;
  z.signature = GetU32(p);
  z.record_size = GetU64(p + 4);
  z.version_made_by = GetU16(p + 12);
  z.version_needed = GetU16(p + 14);
  z.disk_number = GetU32(p + 16);
  z.directory_disk = GetU32(p + 20);
  z.entries_on_disk = GetU64(p + 24);
  z.total_entries = GetU64(p + 32);
  z.directory_size = GetU64(p + 40);
  z.directory_offset = GetU64(p + 48);
  return z;
}

void Zip64EndOfCentralDir::Serialize(uint8_t* p) const {
  PutU32(p, signature);
  PutU64(p + 4, record_size);
  PutU16(p + 12, version_made_by);
  PutU16(p + 14, version_needed);
  PutU32(p + 16, disk_number);
  PutU32(p + 20, directory_disk);
  PutU64(p + 24, entries_on_disk);
  PutU64(p + 32, total_entries);
  PutU64(p + 40, directory_size);
  PutU64(p + 48, directory_offset);
}

Zip64Locator Zip64Locator::Parse(const uint8_t* p) {
  Zip64Locator l;
  l.signature = GetU32(p);
  l.record_disk = GetU32(p + 4);
  l.record_offset = GetU64(p + 8);
  l.total_disks = GetU32(p + 16);
  return l;
}

void Zip64Locator::Serialize(uint8_t* p) const {
  PutU32(p, signature);
  PutU32(p + 4, record_disk);
  PutU64(p + 8, record_offset);
  PutU32(p + 16, total_disks);
}

DataDescriptor DataDescriptor::Parse(const uint8_t* p) {
  return {GetU32(p + 4), GetU32(p + 8), GetU32(p + 12)};
}

std::vector<ExtraBlock> ParseExtraField(const uint8_t* p, size_t n) {
  std::vector<ExtraBlock> blocks;
  size_t pos = 0;
  while (n - pos >= 4) {
    ExtraBlock b;
    b.id = GetU16(p + pos);
    size_t size = GetU16(p + pos + 2);
    pos += 4;
    if (size > n - pos) size = n - pos;
    b.data.assign(p + pos, p + pos + size);
    pos += size;
    blocks.push_back(std::move(b));
  }
  return blocks;
}

void AppendExtraBlocks(ByteWriter& out, const std::vector<ExtraBlock>& blocks) {
  for (const ExtraBlock& b : blocks) {
    out.U16(b.id);
    out.U16(static_cast<uint16_t>(b.data.size()));
    out.Bytes(b.data);
  }
}

Zip64Values ParseZip64Block(const std::vector<uint8_t>& data, bool want_uncompressed,
                            bool want_compressed, bool want_offset, bool want_disk) {
  Zip64Values v;
  size_t pos = 0;
  auto take64 = [&](bool want, bool& has, uint64_t& out) {
    if (want && data.size() - pos >= 8) {
      out = GetU64(data.data() + pos);
      has = true;
      pos += 8;
    }
  };
  take64(want_uncompressed, v.has_uncompressed, v.uncompressed_size);
  take64(want_compressed, v.has_compressed, v.compressed_size);
  take64(want_offset, v.has_offset, v.local_header_offset);
  if (want_disk && data.size() - pos >= 2) {
    v.disk_number = GetU16(data.data() + pos);
    v.has_disk = true;
  }
  return v;
}

ExtraBlock MakeCentralZip64Block(const Zip64Values& v) {
  ByteWriter w;
  if (v.has_uncompressed) w.U64(v.uncompressed_size);
  if (v.has_compressed) w.U64(v.compressed_size);
  if (v.has_offset) w.U64(v.local_header_offset);
  if (v.has_disk) w.U32(v.disk_number);
  return {kZip64ExtraId, w.data()};
}

ExtraBlock MakeLocalZip64Block(uint64_t uncompressed_size, uint64_t compressed_size) {
  ByteWriter w;
  w.U64(uncompressed_size);
  w.U64(compressed_size);
  return {kZip64ExtraId, w.data()};
}

}  // namespace tarvo::archive
