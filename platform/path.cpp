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

}  // namespace tarvo::platform
