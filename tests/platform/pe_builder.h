// Builds small PE images with a version resource, for the version reader's tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::testing {

struct VersionSpec {
  std::vector<std::pair<std::string, std::string>> strings;  // name, value (ASCII)
  std::string table_key = "041904e3";                        // language + code page, hex
  std::optional<std::pair<uint16_t, uint16_t>> translation = std::make_pair(0x0419, 0x04E3);
};

class Bytes {
 public:
  void U8(uint8_t v) { data.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) {
    U8(v & 0xFF);
    U8(v >> 8);
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void U64(uint64_t v) {
    U32(static_cast<uint32_t>(v));
    U32(static_cast<uint32_t>(v >> 32));
  }
  void Wide(const std::string& ascii) {
    for (char c : ascii) U16(static_cast<uint8_t>(c));
    U16(0);
  }
  void Align(size_t n) {
    while (data.size() % n) U8(0);
  }
  void Put16(size_t at, uint16_t v) {
    data[at] = static_cast<char>(v & 0xFF);
    data[at + 1] = static_cast<char>(v >> 8);
  }
  void Append(const std::string& more) { data += more; }
  std::string data;
};

// One version block: length, value length, type, key, value, children.
inline std::string VersionBlock(const std::string& key, const std::string& value,
                                uint16_t value_length, uint16_t type,
                                const std::vector<std::string>& children) {
  Bytes b;
  b.U16(0);
  b.U16(value_length);
  b.U16(type);
  b.Wide(key);
  b.Align(4);
  b.Append(value);
  for (const std::string& child : children) {
    b.Align(4);
    b.Append(child);
  }
  b.Put16(0, static_cast<uint16_t>(b.data.size()));
  return b.data;
}

inline std::string VersionResource(const VersionSpec& shape) {
  Bytes fixed;
  fixed.U32(0xFEEF04BD);
  fixed.U32(0x00010000);
  for (int i = 0; i < 11; ++i) fixed.U32(i == 6 ? 0x3F : 0);
  std::vector<std::string> strings;
  for (const auto& [name, value] : shape.strings) {
    Bytes v;
    v.Wide(value);
    strings.push_back(VersionBlock(name, v.data, static_cast<uint16_t>(value.size() + 1), 1, {}));
  }
  std::vector<std::string> top;
  top.push_back(
      VersionBlock("StringFileInfo", "", 0, 1, {VersionBlock(shape.table_key, "", 0, 1, strings)}));
  if (shape.translation) {
    Bytes t;
    t.U16(shape.translation->first);
    t.U16(shape.translation->second);
    top.push_back(
        VersionBlock("VarFileInfo", "", 0, 1, {VersionBlock("Translation", t.data, 4, 0, {})}));
  }
  return VersionBlock("VS_VERSION_INFO", fixed.data, 52, 0, top);
}

// A PE32+ image whose only section holds the resource tree (no resource when `resource` is
// empty).
inline std::string PeImage(const std::string& resource) {
  Bytes rsrc;
  if (!resource.empty()) {
    const uint32_t kRva = 0x1000;
    auto dir = [&](uint32_t id, uint32_t target) {
      rsrc.U32(0);
      rsrc.U32(0);
      rsrc.U16(0);
      rsrc.U16(0);
      rsrc.U16(0);
      rsrc.U16(1);
      rsrc.U32(id);
      rsrc.U32(target);
    };
    dir(16, 0x80000000u | 24);
    dir(1, 0x80000000u | 48);
    dir(0x0419, 72);
    rsrc.U32(kRva + 88);
    rsrc.U32(static_cast<uint32_t>(resource.size()));
    rsrc.U32(0);
    rsrc.U32(0);
    rsrc.Append(resource);
  }
  const uint32_t raw_size = static_cast<uint32_t>((rsrc.data.size() + 0x1FF) & ~size_t{0x1FF});
  Bytes pe;
  pe.U16(0x5A4D);
  while (pe.data.size() < 0x3C) pe.U8(0);
  pe.U32(0x40);
  pe.U32(0x00004550);  // "PE\0\0"
  pe.U16(0x8664);
  pe.U16(1);
  pe.U32(0);
  pe.U32(0);
  pe.U32(0);
  pe.U16(240);
  pe.U16(0x0022);
  const size_t opt = pe.data.size();
  pe.U16(0x20B);
  pe.U8(14);
  pe.U8(0);
  pe.U32(0);
  pe.U32(raw_size);
  pe.U32(0);
  pe.U32(0);       // entry point
  pe.U32(0x1000);  // base of code
  pe.U64(0x140000000ull);
  pe.U32(0x1000);
  pe.U32(0x200);
  pe.U16(6);
  pe.U16(0);
  pe.U16(0);
  pe.U16(0);
  pe.U16(6);
  pe.U16(0);
  pe.U32(0);
  pe.U32(0x1000 + ((raw_size + 0xFFF) & ~0xFFFu) + (raw_size == 0 ? 0x1000 : 0));
  pe.U32(0x200);
  pe.U32(0);
  pe.U16(2);
  pe.U16(0x8160);
  pe.U64(0x100000);
  pe.U64(0x1000);
  pe.U64(0x100000);
  pe.U64(0x1000);
  pe.U32(0);
  pe.U32(16);
  for (int i = 0; i < 16; ++i) {
    const bool res = i == 2 && !resource.empty();
    pe.U32(res ? 0x1000 : 0);
    pe.U32(res ? static_cast<uint32_t>(rsrc.data.size()) : 0);
  }
  (void)opt;
  // The section.
  pe.Append(std::string(".rsrc\0\0\0", 8));
  pe.U32(static_cast<uint32_t>(std::max<size_t>(rsrc.data.size(), 1)));
  pe.U32(0x1000);
  pe.U32(raw_size);
  pe.U32(raw_size ? 0x200 : 0);
  pe.U32(0);
  pe.U32(0);
  pe.U16(0);
  pe.U16(0);
  pe.U32(0x40000040);
  while (pe.data.size() < 0x200) pe.U8(0);
  pe.Append(rsrc.data);
  while (pe.data.size() < 0x200 + raw_size) pe.U8(0);
  return pe.data;
}

}  // namespace tarvo::testing
