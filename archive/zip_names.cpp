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

}  // namespace tarvo::archive
