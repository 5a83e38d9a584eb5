#include "tools/command_line.h"

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
