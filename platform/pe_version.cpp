#include "platform/pe_version.h"

#include <cstdint>
#include <cstdio>

#include "text/codepage.h"

namespace tarvo::platform {
namespace {

constexpr uint32_t kRtVersion = 16;

class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}
  bool Has(uint64_t offset, uint64_t n) const {
    return offset <= data_.size() && n <= data_.size() - offset;
  }
  std::optional<uint16_t> U16(uint64_t offset) const {
    if (!Has(offset, 2)) return std::nullopt;
    return static_cast<uint16_t>(Byte(offset) | (Byte(offset + 1) << 8));
  }
  std::optional<uint32_t> U32(uint64_t offset) const {
    if (!Has(offset, 4)) return std::nullopt;
    return static_cast<uint32_t>(Byte(offset)) | (static_cast<uint32_t>(Byte(offset + 1)) << 8) |
           (static_cast<uint32_t>(Byte(offset + 2)) << 16) |
           (static_cast<uint32_t>(Byte(offset + 3)) << 24);
  }
  std::string_view data() const { return data_; }

 private:
  uint8_t Byte(uint64_t i) const { return static_cast<uint8_t>(data_[i]); }
  std::string_view data_;
};

struct Section {
  uint32_t virtual_address;
  uint32_t virtual_size;
  uint32_t raw_size;
  uint32_t raw_offset;
};

// A resource directory's entry for an id (or the first entry when `id` is nothing). Returns the
// entry's OffsetToData word.
std::optional<uint32_t> FindEntry(const Reader& r, uint64_t rsrc, uint32_t dir_offset,
                                  std::optional<uint32_t> id) {
  const uint64_t dir = rsrc + dir_offset;
  auto named = r.U16(dir + 12);
  auto ids = r.U16(dir + 14);
  if (!named || !ids) return std::nullopt;
  const uint32_t count = uint32_t{*named} + *ids;
  std::optional<uint32_t> first;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = dir + 16 + uint64_t{i} * 8;
    auto name = r.U32(entry);
    auto target = r.U32(entry + 4);
    if (!name || !target) return std::nullopt;
    if (!first) first = *target;
    if (id && (*name & 0x80000000u) == 0 && *name == *id) return *target;
  }
  if (id) return std::nullopt;
  return first;
}

}  // namespace

std::optional<std::string> ExtractVersionResource(std::string_view image) {
  const Reader r(image);
  if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z') return std::nullopt;
  const auto pe = r.U32(0x3C);
  if (!pe || !r.Has(*pe, 24) || image.substr(*pe, 4) != std::string_view("PE\0\0", 4)) {
    return std::nullopt;
  }
  const auto section_count = r.U16(*pe + 6);
  const auto optional_size = r.U16(*pe + 20);
  const uint64_t opt = uint64_t{*pe} + 24;
  const auto magic = r.U16(opt);
  if (!section_count || !optional_size || !magic) return std::nullopt;
  uint64_t dirs_at;
  uint64_t count_at;
  if (*magic == 0x10B) {
    count_at = opt + 92;
    dirs_at = opt + 96;
  } else if (*magic == 0x20B) {
    count_at = opt + 108;
    dirs_at = opt + 112;
  } else {
    return std::nullopt;
  }
  const auto dir_count = r.U32(count_at);
  if (!dir_count || *dir_count < 3 || dirs_at + 24 > opt + *optional_size) return std::nullopt;
  const auto rsrc_rva = r.U32(dirs_at + 16);
  if (!rsrc_rva || *rsrc_rva == 0) return std::nullopt;

  std::vector<Section> sections;
  const uint64_t table = opt + *optional_size;
  for (uint32_t i = 0; i < *section_count; ++i) {
    const uint64_t s = table + uint64_t{i} * 40;
    auto vs = r.U32(s + 8), va = r.U32(s + 12), rs = r.U32(s + 16), ro = r.U32(s + 20);
    if (!vs || !va || !rs || !ro) return std::nullopt;
    sections.push_back({*va, *vs, *rs, *ro});
  }
  auto to_offset = [&](uint32_t rva, uint32_t size) -> std::optional<uint64_t> {
    for (const Section& s : sections) {
      const uint64_t extent = std::max(s.virtual_size, s.raw_size);
      if (rva >= s.virtual_address &&
          uint64_t{rva} + size <= uint64_t{s.virtual_address} + extent) {
        const uint64_t delta = rva - s.virtual_address;
        if (delta + size > s.raw_size) return std::nullopt;  // not backed by file data
        const uint64_t off = uint64_t{s.raw_offset} + delta;
        if (!r.Has(off, size)) return std::nullopt;
        return off;
      }
    }
    return std::nullopt;
  };
  const auto rsrc = to_offset(*rsrc_rva, 16);
  if (!rsrc) return std::nullopt;

  // type -> name -> language; the version resource is id 1 when present, else the first.
  auto type = FindEntry(r, *rsrc, 0, kRtVersion);
  if (!type || (*type & 0x80000000u) == 0) return std::nullopt;
  auto name = FindEntry(r, *rsrc, *type & 0x7FFFFFFFu, 1u);
  if (!name) name = FindEntry(r, *rsrc, *type & 0x7FFFFFFFu, std::nullopt);
  if (!name || (*name & 0x80000000u) == 0) return std::nullopt;
  auto lang = FindEntry(r, *rsrc, *name & 0x7FFFFFFFu, std::nullopt);
  if (!lang || (*lang & 0x80000000u) != 0) return std::nullopt;
  const auto data_rva = r.U32(*rsrc + *lang);
  const auto data_size = r.U32(*rsrc + *lang + 4);
  if (!data_rva || !data_size) return std::nullopt;
  const auto data = to_offset(*data_rva, *data_size);
  if (!data) return std::nullopt;
  return std::string(image.substr(*data, *data_size));
}

namespace {

struct Block {
  uint64_t start = 0;
  uint64_t length = 0;
  uint16_t value_length = 0;
  uint16_t type = 0;
  std::u16string key;
  uint64_t value_offset = 0;
  uint64_t children_offset = 0;
};

uint64_t Align4(uint64_t v) { return (v + 3) & ~uint64_t{3}; }

std::optional<Block> ReadBlock(const Reader& r, uint64_t start, uint64_t limit) {
  Block b;
  b.start = start;
  auto length = r.U16(start);
  auto value_length = r.U16(start + 2);
  auto type = r.U16(start + 4);
  if (!length || !value_length || !type || *length < 6 || start + *length > limit) {
    return std::nullopt;
  }
  b.length = *length;
  b.value_length = *value_length;
  b.type = *type;
  uint64_t p = start + 6;
  const uint64_t end = start + b.length;
  while (true) {
    auto ch = r.U16(p);
    if (!ch || p + 2 > end) return std::nullopt;
    p += 2;
    if (*ch == 0) break;
    b.key += static_cast<char16_t>(*ch);
  }
  b.value_offset = Align4(p);
  const uint64_t value_bytes = b.type == 1 ? uint64_t{b.value_length} * 2 : b.value_length;
  b.children_offset = Align4(std::min(end, b.value_offset + value_bytes));
  if (b.value_offset > end) {
    b.value_offset = end;
    b.value_length = 0;
  } else if (b.value_offset + value_bytes > end) {
    b.value_length =
        static_cast<uint16_t>(b.type == 1 ? (end - b.value_offset) / 2 : end - b.value_offset);
  }
  return b;
}

std::vector<Block> Children(const Reader& r, const Block& parent) {
  std::vector<Block> out;
  const uint64_t end = parent.start + parent.length;
  uint64_t p = parent.children_offset;
  while (p + 6 <= end && out.size() < 4096) {
    auto child = ReadBlock(r, p, end);
    if (!child) break;
    out.push_back(*child);
    p = Align4(p + child->length);
  }
  return out;
}

bool KeyIs(const Block& b, std::string_view ascii) {
  return text::EqualsIgnoreCase(text::Utf16ToUtf8(b.key), ascii);
}

}  // namespace

VersionInfo::Strings ParseVersionStrings(std::string_view resource,
                                         const std::vector<std::string>& names) {
  VersionInfo::Strings out;
  out.values.resize(names.size());
  const Reader r(resource);
  auto root = ReadBlock(r, 0, resource.size());
  if (!root) return out;
  out.has_resource = true;

  std::optional<uint32_t> translation;
  std::vector<Block> string_tables;
  for (const Block& child : Children(r, *root)) {
    if (KeyIs(child, "VarFileInfo")) {
      for (const Block& var : Children(r, child)) {
        if (KeyIs(var, "Translation") && var.value_length >= 4 && !translation) {
          auto lang = r.U16(var.value_offset);
          auto cp = r.U16(var.value_offset + 2);
          if (lang && cp) translation = (uint32_t{*lang} << 16) | *cp;
        }
      }
    } else if (KeyIs(child, "StringFileInfo")) {
      for (const Block& table : Children(r, child)) string_tables.push_back(table);
    }
  }
  if (!translation) return out;
  out.has_translation = true;
  char wanted[9];
  std::snprintf(wanted, sizeof wanted, "%04x%04x", *translation >> 16, *translation & 0xFFFF);
  for (const Block& table : string_tables) {
    if (!KeyIs(table, wanted)) continue;
    const std::vector<Block> strings = Children(r, table);
    for (size_t i = 0; i < names.size(); ++i) {
      for (const Block& s : strings) {
        if (!KeyIs(s, names[i])) continue;
        std::u16string value;
        for (uint64_t k = 0; k < s.value_length; ++k) {
          auto ch = r.U16(s.value_offset + k * 2);
          if (!ch || *ch == 0) break;
          value += static_cast<char16_t>(*ch);
        }
        out.values[i] = text::Utf16ToUtf8(value);
        break;
      }
    }
    break;
  }
  return out;
}

VersionInfo::Strings ReadPeVersionStrings(std::string_view image,
                                          const std::vector<std::string>& names) {
  auto resource = ExtractVersionResource(image);
  if (!resource) {
    VersionInfo::Strings none;
    none.values.resize(names.size());
    return none;
  }
  return ParseVersionStrings(*resource, names);
}

}  // namespace tarvo::platform
