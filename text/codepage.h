// Code page conversions. Every string inside the program is UTF-8; Windows-1251 is the ANSI code
// page of a Russian system (the INI files, Paradox tables of code page 1251) and CP866 its OEM code
// page (names inside ZIP archives, Paradox tables of code page 866). The tables are Windows' own,
// whatever the host locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::text {

enum class CodePage { kWindows1251 = 1251, kCp866 = 866 };

// Bytes of a code page to UTF-8. Every byte has a character.
std::string ToUtf8(std::string_view bytes, CodePage cp);
std::string Cp1251ToUtf8(std::string_view bytes);
std::string Cp866ToUtf8(std::string_view bytes);

// UTF-8 to a code page with exact equivalents only; nothing when a character has none (or the
// text is not valid UTF-8).
std::optional<std::string> FromUtf8Exact(std::string_view utf8, CodePage cp);
// UTF-8 to a code page as Windows converts (best-fit replacements, then '?').
std::string FromUtf8(std::string_view utf8, CodePage cp);
inline std::string Utf8ToCp1251(std::string_view s) { return FromUtf8(s, CodePage::kWindows1251); }
inline std::string Utf8ToCp866(std::string_view s) { return FromUtf8(s, CodePage::kCp866); }

// The character of one byte, and the byte of one character (nothing when there is none exactly).
char32_t ByteToChar(uint8_t byte, CodePage cp);
std::optional<uint8_t> CharToByte(char32_t ch, CodePage cp);

// Windows' CharToOemA/OemToCharA on a Russian system, byte by byte.
std::string Cp1251ToCp866(std::string_view cp1251);
std::string Cp866ToCp1251(std::string_view cp866);

// UTF-8 <-> UTF-16 (Win32 W functions) and <-> code points. Bad sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
std::u32string Utf8ToUtf32(std::string_view utf8);
std::string Utf32ToUtf8(std::u32string_view utf32);
bool IsValidUtf8(std::string_view s);

// Letter case as a Russian Windows system maps it: ASCII, Latin-1 and Cyrillic letters.
char32_t ToUpper(char32_t ch);
char32_t ToLower(char32_t ch);
std::string ToUpperUtf8(std::string_view s);
std::string ToLowerUtf8(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// -1, 0 or 1, comparing the upper-case forms code point by code point.
int CompareIgnoreCase(std::string_view a, std::string_view b);

// Wildcard test with `*` and `?` over whole code points, ignoring letter case.
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace tarvo::text
