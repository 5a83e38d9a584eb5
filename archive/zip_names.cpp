#include "archive/zip_names.h"

#include "archive/zip_records.h"
#include "text/codepage.h"

namespace tarvo::archive {

std::string DecodeStoredName(std::string_view raw, uint16_t flags, bool oem_file_names) {
  if ((flags & kFlagUtf8Name) && text::IsValidUtf8(raw)) return std::string(raw);
  return text::ToUtf8(raw, oem_file_names ? text::CodePage::kCp866 : text::CodePage::kWindows1251);
}

EncodedName EncodeStoredName(std::string_view utf8_name, bool oem_file_names, bool keep_utf8) {
  if (!keep_utf8) {
    auto bytes = text::FromUtf8Exact(
        utf8_name, oem_file_names ? text::CodePage::kCp866 : text::CodePage::kWindows1251);
    if (bytes) return {*bytes, false};
  }
  return {std::string(utf8_name), true};
}

std::string NameForMessage(std::string_view name) {
  std::string out;
  for (size_t i = 0; i < name.size() && out.size() < 300; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (out.size() >= 300) {
    while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
    if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
    out += "...";
  }
  return out;
}

}  // namespace tarvo::archive
