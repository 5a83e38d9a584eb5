// tarvo-pack: makes an update folder from a description of the update, and checks an update
// folder before it is shipped.
//
//   tarvo-pack DESCRIPTION FOLDER [--installer FILE] [--password-file FILE]
//   tarvo-pack verify FOLDER [--password-file FILE]
//
// The component password is this build's unless --password-file names another (one line).
// Exit status: 0 made / the installer would install it; 1 not; 2 the command line was wrong.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "install/components.h"
#include "platform/path.h"
#include "platform/services.h"
#include "tools/command_line.h"
#include "tools/pack.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: tarvo-pack DESCRIPTION FOLDER [--installer FILE] [--password-file FILE]\n"
               "       tarvo-pack verify FOLDER [--password-file FILE]\n");
  return 2;
}

bool ReadPassword(tarvo::platform::FileSystem& fs, const std::string& path, std::string& out) {
  try {
    auto file = fs.Open(path, tarvo::platform::Access::kRead, tarvo::platform::Share::kDenyWrite,
                        tarvo::platform::Disposition::kOpenExisting);
    if (file->Size() > 4096) return false;
    std::string bytes(static_cast<size_t>(file->Size()), '\0');
    bytes.resize(file->Read(bytes.data(), bytes.size()));
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
    out = bytes;
    return true;
  } catch (const tarvo::platform::PlatformError&) {
    return false;
  }
}

int Verify(tarvo::platform::FileSystem& fs, const std::string& folder,
           const std::string& password) {
  const tarvo::pack::VerifyReport r = tarvo::pack::VerifyUpdate(fs, folder, password);
  for (const std::string& line : r.lines) std::printf("%s\n", line.c_str());
  for (const std::string& p : r.problems) std::printf("Problem=%s\n", p.c_str());
  std::printf("Verdict=%s\n",
              r.ok() ? "the installer would install it" : "the installer would not install it");
  return r.ok() ? 0 : 1;
}

int Main(const std::vector<std::string>& argv) {
  tarvo::tools::CommandLine cl;
  if (!tarvo::tools::ParseCommandLine(argv, 1, {"--installer", "--password-file"}, {},
                                      tarvo::tools::UnknownOption::kRefused, cl))
    return Usage();
  const std::vector<std::string>& positional = cl.positional;
  const std::string installer = cl.Value("--installer");
  const std::string password_file = cl.Value("--password-file");
  if (positional.size() != 2) return Usage();
  tarvo::platform::Services services = tarvo::platform::MakeSystemServices();
  tarvo::platform::FileSystem& fs = *services.fs;
  std::string password = tarvo::install::ComponentPassword();
  if (!password_file.empty() && !ReadPassword(fs, password_file, password)) {
    std::fprintf(stderr, "tarvo-pack: cannot read the password from %s\n", password_file.c_str());
    return 2;
  }
  if (positional[0] == "verify") {
    if (!installer.empty()) return Usage();
    return Verify(fs, positional[1], password);
  }
  try {
    const std::string description = fs.FullPath(positional[0]);
    tarvo::pack::PackDescription d = tarvo::pack::ReadPackDescription(fs, description);
    if (!installer.empty()) d.Installer = fs.FullPath(installer);
    tarvo::pack::PackUpdate(fs, d, tarvo::platform::ExtractFilePath(description), positional[1],
                            password);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tarvo-pack: %s\n", e.what());
    return 1;
  }
  // What was made is checked as any folder would be.
  return Verify(fs, positional[1], password);
}

}  // namespace

int tarvo::tools::ToolMain(const std::vector<std::string>& argv) { return Main(argv); }
