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

// True when Windows stores and lists a file or folder name (one path component, UTF-8) exactly as
// written, so that the name shown is the file opened. False for an empty name, control bytes (NUL
// included), the characters < > : " / \ | ? *, a trailing dot or space (which Windows drops, so
// "." and ".." too), a device name with or without an extension (CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, COM1-9 and LPT1-9, also with the superscript digits 1-3), and a name of the 8.3 shape
// with a "~" in it, which may be the short alias of another file.
bool IsPlainWindowsName(std::string_view name);

}  // namespace tarvo::platform
