// Stored names and their code pages. Names inside archives are CP866 (the OEM counterpart of
// Windows-1251) unless general purpose bit 11 says UTF-8; with OEM names off they are ANSI.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::archive {

std::string DecodeStoredName(std::string_view raw, uint16_t flags, bool oem_file_names);

struct EncodedName {
  std::string bytes;
  bool utf8 = false;  // written with bit 11 because the code page cannot hold every character
};
// `keep_utf8` keeps an entry that was read as UTF-8 in UTF-8.
EncodedName EncodeStoredName(std::string_view utf8_name, bool oem_file_names, bool keep_utf8);

// A stored name for a message or a log line: control bytes written as \xNN, cut when long, so
// that a hostile name can neither flood nor fake the text it is shown in.
std::string NameForMessage(std::string_view name);

}  // namespace tarvo::archive
