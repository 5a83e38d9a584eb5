// Writes a demo product database (justification records with three detail tables, a memo field,
// the classifier with users' rows marked "04", the groups table) and the empty user data tables.
//   tarvo-demo-data [--new] <database folder> [<installer folder>] [records] [users' records]
// --new writes the database an update delivers: the product's records only.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "platform/services.h"
#include "tools/demo_database.h"

namespace {

bool ParseCount(const char* text, int& value) {
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < 0 || n > 10'000'000) return false;
  value = static_cast<int>(n);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  tarvo::demo::DemoDatabaseOptions options;
  if (!args.empty() && args.front() == "--new") {
    options.new_database = true;
    args.erase(args.begin());
  }
  const bool usage_ok = !args.empty() && args.size() <= 4 &&
                        (args.size() < 3 || ParseCount(args[2].c_str(), options.records)) &&
                        (args.size() < 4 || ParseCount(args[3].c_str(), options.users));
  if (!usage_ok) {
    std::fprintf(stderr,
                 "usage: tarvo-demo-data [--new] <database folder> [<installer folder>] "
                 "[records] [users' records]\n");
    return 2;
  }
  try {
    auto services = tarvo::platform::MakeSystemServices();
    auto& fs = *services.fs;
    tarvo::demo::WriteDemoDatabase(fs, args[0], options);
    if (args.size() > 1 && !args[1].empty()) tarvo::demo::WriteUserDataTables(fs, args[1]);
    const int users = options.new_database ? 0 : options.users;
    std::printf("demo data: %d records (%d the users'), classifier and groups in %s\n",
                options.records, users, args[0].c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarvo-demo-data: %s\n", e.what());
    return 1;
  }
}
