// The program entry of every command-line tool: the arguments in UTF-8, then the tool's own
// ToolMain.
#include <cwchar>
#include <string>
#include <vector>

#include "text/codepage.h"
#include "tools/command_line.h"

#ifdef _WIN32
// The wide command line: the ANSI one cannot carry text outside the system's code page (a
// Cyrillic value on a Western system, or any character the code page lacks).
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i)
    args.push_back(tarvo::text::Utf16ToUtf8(
        std::u16string(reinterpret_cast<const char16_t*>(argv[i]), std::wcslen(argv[i]))));
  return tarvo::tools::ToolMain(args);
}
#else
int main(int argc, char** argv) {
  return tarvo::tools::ToolMain(std::vector<std::string>(argv, argv + argc));
}
#endif
