#include "tools/command_line.h"

#include <cwchar>

#include "text/codepage.h"

namespace tarvo::tools {

std::string CommandLine::Value(const std::string& name) const {
  auto it = values.find(name);
  return it == values.end() ? std::string() : it->second;
}

bool ParseCommandLine(const std::vector<std::string>& argv, size_t first,
                      const std::set<std::string>& value_options,
                      const std::set<std::string>& flag_options, UnknownOption unknown,
                      CommandLine& out) {
  for (size_t i = first; i < argv.size(); ++i) {
    const std::string& word = argv[i];
    if (value_options.count(word)) {
      if (i + 1 >= argv.size()) return false;
      out.values[word] = argv[++i];
    } else if (flag_options.count(word)) {
      out.flags.insert(word);
    } else if (word.rfind("--", 0) == 0 && unknown == UnknownOption::kRefused) {
      return false;
    } else {
      out.positional.push_back(word);
    }
  }
  return true;
}

}  // namespace tarvo::tools

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
