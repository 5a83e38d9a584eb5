#include "platform/path.h"

namespace tarvo::platform {

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

std::string ExtractFilePath(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(path[i - 1]) || path[i - 1] == ':') return std::string(path.substr(0, i));
  }
  return {};
}

std::string ExtractFileName(std::string_view path) {
  return std::string(path.substr(ExtractFilePath(path).size()));
}

std::string ExtractFileExt(std::string_view path) {
  const std::string name = ExtractFileName(path);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string IncludeTrailingBackslash(std::string_view path) {
  std::string s(path);
  if (s.empty() || !IsPathSeparator(s.back())) s += '\\';
  return s;
}

std::string ExcludeTrailingBackslash(std::string_view path) {
  std::string s(path);
  while (s.size() > 1 && IsPathSeparator(s.back())) s.pop_back();
  return s;
}

bool IsAbsolutePath(std::string_view path) {
  if (path.size() >= 3 && path[1] == ':' && IsPathSeparator(path[2])) return true;
  if (path.size() >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1])) return true;
#ifndef _WIN32
  if (!path.empty() && IsPathSeparator(path[0])) return true;
#endif
  return false;
}

namespace {

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsAscii(std::string_view a, std::string_view upper) {
  if (a.size() != upper.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != upper[i]) return false;
  return true;
}

// Windows opens a device for its name whatever follows the first dot, and ignores spaces before
// that dot.
bool IsDeviceName(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (EqualsAscii(base, device)) return true;
  if (base.size() < 4 ||
      !(EqualsAscii(base.substr(0, 3), "COM") || EqualsAscii(base.substr(0, 3), "LPT")))
    return false;
  const std::string_view digit = base.substr(3);
  if (digit.size() == 1) return digit[0] >= '1' && digit[0] <= '9';
  // Superscript one, two and three in UTF-8.
  return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

// An 8.3-shaped name with a tilde: "LONGNA~1.TXT", or the hashed forms such as "LONG~NCA.TXT".
bool MayBeShortAlias(std::string_view name) {
  const size_t tilde = name.find('~');
  if (tilde == std::string_view::npos) return false;
  const size_t dot = name.find('.');
  if (dot != std::string_view::npos && name.find('.', dot + 1) != std::string_view::npos)
    return false;
  const std::string_view base = name.substr(0, dot);
  const std::string_view ext =
      dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  return tilde < base.size() && base.size() <= 8 && ext.size() <= 3;
}

}  // namespace

bool IsPlainWindowsName(std::string_view name) {
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
    switch (c) {
      case '<':
      case '>':
      case ':':
      case '"':
      case '/':
      case '\\':
      case '|':
      case '?':
      case '*':
        return false;
      default:
        break;
    }
  }
  return !IsDeviceName(name) && !MayBeShortAlias(name);
}

}  // namespace tarvo::platform
