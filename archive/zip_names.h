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

}  // namespace tarvo::archive
