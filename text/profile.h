// Reading of Windows profile files (INI files) with the value semantics of
// GetPrivateProfileStringA and of the component library's integer and boolean readers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::text {

class ProfileFile {
 public:
  // Longest value returned, as with a 2,048-character buffer.
  static constexpr size_t kMaxValueLength = 2047;

  ProfileFile() = default;
  // The file's bytes: Windows-1251 unless they start with a UTF-8 or UTF-16LE byte-order mark.
  static ProfileFile Parse(std::string_view bytes);

  // The value as UTF-8; empty when the section or key is missing. Sections and keys match
  // regardless of letter case; the first occurrence counts.
  std::string ReadString(std::string_view section, std::string_view key) const;
  // A "0x"/"0X" prefix (text of 3 characters or more) or a "$" marks hexadecimal; empty or
  // unreadable text gives the default.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  // An integer with the default 1 or 0; non-zero is true.
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

 private:
  struct Key {
    std::string name;
    std::optional<std::string> value;  // nothing for a line without "="
  };
  struct Section {
    std::string name;
    std::vector<Key> keys;
  };
  std::vector<Section> sections_;
};

// The integer reading rule on its own: "0x1F", "$1F", "-12"; nothing when unreadable or out of the
// 32-bit range (hexadecimal may use all 32 bits).
std::optional<int32_t> ParseProfileInteger(std::string_view text);

}  // namespace tarvo::text
