#include "text/codepage.h"

#include <algorithm>
#include <array>

namespace tarvo::text {
namespace {

#include "text/codepage_tables.inc"

const char16_t* HighTable(CodePage cp) { return cp == CodePage::kCp866 ? kCp866High : kCp1251High; }

template <size_t N>
std::optional<uint8_t> FindBestFit(const BestFit (&table)[N], char32_t ch) {
  auto it = std::lower_bound(std::begin(table), std::end(table), ch,
                             [](const BestFit& row, char32_t c) { return row.ch < c; });
  if (it != std::end(table) && it->ch == ch) return it->byte;
  return std::nullopt;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one code point at s[i], advancing i; nothing for a bad sequence (i moves one byte).
std::optional<char32_t> DecodeUtf8(std::string_view s, size_t& i) {
  const auto b0 = static_cast<uint8_t>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len = 0;
  char32_t c = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    c = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    c = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    c = b0 & 0x07;
  } else {
    ++i;
    return std::nullopt;
  }
  if (i + len > s.size()) {
    ++i;
    return std::nullopt;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<uint8_t>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return std::nullopt;
    }
    c = (c << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return std::nullopt;
  }
  i += len;
  return c;
}

}  // namespace

char32_t ByteToChar(uint8_t byte, CodePage cp) {
  return byte < 0x80 ? byte : HighTable(cp)[byte - 0x80];
}

std::optional<uint8_t> CharToByte(char32_t ch, CodePage cp) {
  if (ch < 0x80) return static_cast<uint8_t>(ch);
  const char16_t* table = HighTable(cp);
  for (int i = 0; i < 128; ++i) {
    if (table[i] == ch) return static_cast<uint8_t>(0x80 + i);
  }
  return std::nullopt;
}

std::string ToUtf8(std::string_view bytes, CodePage cp) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char b : bytes) AppendUtf8(out, ByteToChar(static_cast<uint8_t>(b), cp));
  return out;
}

std::string Cp1251ToUtf8(std::string_view bytes) { return ToUtf8(bytes, CodePage::kWindows1251); }
std::string Cp866ToUtf8(std::string_view bytes) { return ToUtf8(bytes, CodePage::kCp866); }

std::optional<std::string> FromUtf8Exact(std::string_view utf8, CodePage cp) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    auto c = DecodeUtf8(utf8, i);
    if (!c) return std::nullopt;
    auto b = CharToByte(*c, cp);
    if (!b) return std::nullopt;
    out += static_cast<char>(*b);
  }
  return out;
}

std::string FromUtf8(std::string_view utf8, CodePage cp) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    auto c = DecodeUtf8(utf8, i);
    std::optional<uint8_t> b;
    if (c) {
      b = CharToByte(*c, cp);
      if (!b)
        b = cp == CodePage::kCp866 ? FindBestFit(kBestFit866, *c) : FindBestFit(kBestFit1251, *c);
    }
    out += static_cast<char>(b.value_or('?'));
  }
  return out;
}

std::string Cp1251ToCp866(std::string_view cp1251) {
  return FromUtf8(Cp1251ToUtf8(cp1251), CodePage::kCp866);
}

std::string Cp866ToCp1251(std::string_view cp866) {
  return FromUtf8(Cp866ToUtf8(cp866), CodePage::kWindows1251);
}

std::u32string Utf8ToUtf32(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) out += DecodeUtf8(utf8, i).value_or(U'\uFFFD');
  return out;
}

std::string Utf32ToUtf8(std::u32string_view utf32) {
  std::string out;
  for (char32_t c : utf32) AppendUtf8(out, c > 0x10FFFF ? U'\uFFFD' : c);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (char32_t c : Utf8ToUtf32(utf8)) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

bool IsValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    if (!DecodeUtf8(s, i)) return false;
  }
  return true;
}

char32_t ToUpper(char32_t c) {
  if (c >= U'a' && c <= U'z') return c - 32;
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  if (c == 0x491) return 0x490;
  return c;
}

char32_t ToLower(char32_t c) {
  if (c >= U'A' && c <= U'Z') return c + 32;
  if (c < 0x80) return c;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
  if (c == 0x178) return 0xFF;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c == 0x490) return 0x491;
  return c;
}

std::string ToUpperUtf8(std::string_view s) {
  std::u32string u = Utf8ToUtf32(s);
  for (auto& c : u) c = ToUpper(c);
  return Utf32ToUtf8(u);
}

std::string ToLowerUtf8(std::string_view s) {
  std::u32string u = Utf8ToUtf32(s);
  for (auto& c : u) c = ToLower(c);
  return Utf32ToUtf8(u);
}

int CompareIgnoreCase(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const char32_t ca = ToUpper(DecodeUtf8(a, i).value_or(U'\uFFFD'));
    const char32_t cb = ToUpper(DecodeUtf8(b, j).value_or(U'\uFFFD'));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return CompareIgnoreCase(a, b) == 0;
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  std::u32string p = Utf8ToUtf32(pattern);
  std::u32string n = Utf8ToUtf32(name);
  for (auto& c : p) c = ToUpper(c);
  for (auto& c : n) c = ToUpper(c);
  // Iterative match with one backtrack point: linear in practice, no recursion on hostile masks.
  size_t pi = 0, ni = 0, star = std::u32string::npos, mark = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == U'?' || p[pi] == n[ni])) {
      ++pi;
      ++ni;
    } else if (pi < p.size() && p[pi] == U'*') {
      star = pi++;
      mark = ni;
    } else if (star != std::u32string::npos) {
      pi = star + 1;
      ni = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == U'*') ++pi;
  return pi == p.size();
}

}  // namespace tarvo::text
