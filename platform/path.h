// Path text helpers for Windows-form paths ("\" separators, any letter case).
#pragma once

#include <string>
#include <string_view>

namespace tarvo::platform {

// The folder part of a path, with its trailing separator ("" when there is none).
std::string ExtractFilePath(std::string_view path);
// The name after the last separator.
std::string ExtractFileName(std::string_view path);
// The extension with its dot ("" when there is none).
std::string ExtractFileExt(std::string_view path);
// Ends the path with a backslash unless it already ends with a separator.
std::string IncludeTrailingBackslash(std::string_view path);
std::string ExcludeTrailingBackslash(std::string_view path);
bool IsPathSeparator(char c);
// True for "C:\...", "\\server\..." and, on POSIX, "/...".
bool IsAbsolutePath(std::string_view path);

}  // namespace tarvo::platform
