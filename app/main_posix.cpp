// The Linux build of the program: the window needs Windows, the checks do not.
#include <iostream>
#include <string>

#include "app/check_report.h"
#include "platform/path.h"
#include "text/codepage.h"

int main(int argc, char** argv) {
  using namespace tarvo;
  bool check = false;
  bool replace = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (text::EqualsIgnoreCase(arg, "/check") || text::EqualsIgnoreCase(arg, "-check") ||
        text::EqualsIgnoreCase(arg, "/check=transfer") || text::EqualsIgnoreCase(arg, "-check=transfer")) {
      check = true;
    } else if (text::EqualsIgnoreCase(arg, "/check=replace") ||
               text::EqualsIgnoreCase(arg, "-check=replace")) {
      check = replace = true;
    } else {
      std::cerr << "tarvo-update: unknown argument '" << arg << "'\n";
      return 1;
    }
  }
  if (!check) {
    std::cerr << "usage: tarvo-update /check[=transfer|=replace]\n"
                 "The installer window runs on Windows only.\n";
    return 1;
  }
  platform::Services services = platform::MakeSystemServices();
  const std::string folder = platform::ExtractFilePath(services.fs->ExecutablePath());
  return static_cast<int>(app::RunCheck(services, folder, replace, std::cout));
}
