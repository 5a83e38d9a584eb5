#include "text/profile.h"

#include "text/codepage.h"

namespace tarvo::text {
namespace {

bool IsBlank(char32_t c) {
  return c == U' ' || c == U'\t' || c == U'\n' || c == U'\v' || c == U'\f' || c == U'\r' ||
         c == 0x1A;
}

std::u32string_view Trim(std::u32string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::u32string Decode(std::string_view bytes) {
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    return Utf8ToUtf32(bytes.substr(3));
  }
  if (bytes.size() >= 2 && bytes.substr(0, 2) == "\xFF\xFE") {
    std::u16string u16;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      u16 += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                   (static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
    return Utf8ToUtf32(Utf16ToUtf8(u16));
  }
  std::u32string out;
  out.reserve(bytes.size());
  for (char b : bytes) out += ByteToChar(static_cast<uint8_t>(b), CodePage::kWindows1251);
  return out;
}

bool SameName(std::string_view a, std::string_view b) { return CompareIgnoreCase(a, b) == 0; }

std::string TrimmedName(std::string_view name) { return Utf32ToUtf8(Trim(Utf8ToUtf32(name))); }

}  // namespace

ProfileFile ProfileFile::Parse(std::string_view bytes) {
  ProfileFile file;
  const std::u32string text = Decode(bytes);
  Section* current = nullptr;  // keys before the first section belong to none
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(U'\n', pos);
    if (end == std::u32string::npos) end = text.size();
    std::u32string_view line = Trim(std::u32string_view(text).substr(pos, end - pos));
    pos = end + 1;
    if (line.empty()) continue;
    if (line.front() == U'[') {
      const size_t close = line.rfind(U']');
      if (close != std::u32string_view::npos && close > 0) {
        file.sections_.push_back({Utf32ToUtf8(line.substr(1, close - 1)), {}});
        current = &file.sections_.back();
        continue;
      }
    }
    if (current == nullptr) continue;
    Key key;
    const size_t eq = line.find(U'=');
    if (eq == std::u32string_view::npos) {
      key.name = Utf32ToUtf8(line);
    } else {
      key.name = Utf32ToUtf8(Trim(line.substr(0, eq)));
      key.value = Utf32ToUtf8(Trim(line.substr(eq + 1)));
    }
    current->keys.push_back(std::move(key));
  }
  return file;
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key) const {
  const std::string want_section = TrimmedName(section);
  const std::string want_key = TrimmedName(key);
  if (want_section.empty()) return {};  // "[]" names no section that can be asked for
  for (const Section& s : sections_) {
    if (!SameName(s.name, want_section)) continue;
    for (const Key& k : s.keys) {
      if (!SameName(k.name, want_key)) continue;
      if (!k.value) return {};
      std::u32string v = Utf8ToUtf32(*k.value);
      // One enclosing pair of quotes, single or double, is dropped. The value is cut to the
      // buffer first and the closing quote dropped after, as Windows does: a quoted value of
      // exactly 2,047 characters loses its last one.
      if (v.size() >= 2 && (v.front() == U'"' || v.front() == U'\'') && v.back() == v.front()) {
        const size_t rest = v.size() - 1;
        v = v.substr(1, kMaxValueLength);
        if (rest <= kMaxValueLength + 1 && !v.empty()) v.pop_back();
        return Utf32ToUtf8(v);
      }
      if (v.size() > kMaxValueLength) v.resize(kMaxValueLength);
      return Utf32ToUtf8(v);
    }
    // Only the first section of that name is searched, as Windows does.
    return {};
  }
  return {};
}

std::optional<int32_t> ParseProfileInteger(std::string_view text) {
  std::string s(text);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = "$" + s.substr(2);
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < s.size() && s[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return std::nullopt;
  uint64_t value = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  if (hex) {
    const auto bits = static_cast<uint32_t>(value);
    const auto v = static_cast<int32_t>(bits);
    return negative ? static_cast<int32_t>(0u - bits) : v;
  }
  if (negative) {
    if (value > 0x80000000ull) return std::nullopt;
    return static_cast<int32_t>(-static_cast<int64_t>(value));
  }
  if (value > 0x7FFFFFFFull) return std::nullopt;
  return static_cast<int32_t>(value);
}

int32_t ProfileFile::ReadInteger(std::string_view section, std::string_view key,
                                 int32_t def) const {
  return ParseProfileInteger(ReadString(section, key)).value_or(def);
}

bool ProfileFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

}  // namespace tarvo::text
