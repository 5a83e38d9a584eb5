// What the command-line tools share: their arguments in UTF-8 on every platform, and the reading
// of "--name VALUE" options and "--flag" switches among the positional words.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tarvo::tools {

// Defined by each tool; the program entry (tool_main.cpp) calls it with the arguments in
// UTF-8, the program's name first.
int ToolMain(const std::vector<std::string>& argv);

struct CommandLine {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // "--name VALUE"; the last one given wins
  std::set<std::string> flags;                // "--flag"

  bool Has(const std::string& name) const { return values.count(name) || flags.count(name); }
  // The option's value, or empty when it was not given.
  std::string Value(const std::string& name) const;
};

// What a "--" word that names no option of the tool is.
enum class UnknownOption { kRefused, kPositional };

// Reads argv[first..]. A value option takes the next word whatever it is. False when a value
// option is last, or when a word names no option and `unknown` refuses it.
bool ParseCommandLine(const std::vector<std::string>& argv, size_t first,
                      const std::set<std::string>& value_options,
                      const std::set<std::string>& flag_options, UnknownOption unknown,
                      CommandLine& out);

}  // namespace tarvo::tools
