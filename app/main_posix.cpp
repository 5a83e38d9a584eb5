// The Linux build of the program: everything but the window, which needs Windows.
#include <iostream>
#include <string>
#include <vector>

#include "app/installer_program.h"
#include "app/run_log_file.h"
#include "app/switches.h"
#include "platform/crash.h"
#include "platform/path.h"

namespace {

class ConsoleFrontEnd : public tarvo::app::ProgramFrontEnd {
 public:
  tarvo::app::ScreenInfo Screen() override { return {}; }
  void RunWindow(tarvo::app::TForm_Main& form) override {
    std::cerr << "tarvo-update: the installer window runs on Windows only; use /check or "
                 "/VERYSILENT\n";
    form.Close();
  }
  void Print(const std::string& text) override { std::cout << text << std::flush; }
};

}  // namespace

int main(int argc, char** argv) {
  using namespace tarvo;
  // A crash ends as a failed run, with a line in the log, never with a code that means an answer.
  platform::InstallCrashHandler(
      [](const char* what) { app::WriteCrashLines(what, app::kExitRunFailed); },
      app::kExitRunFailed);
  const std::vector<std::string> args(argv + 1, argv + argc);
  platform::Services services = platform::MakeSystemServices();
  const std::string folder = platform::ExtractFilePath(services.fs->ExecutablePath());
  ConsoleFrontEnd front_end;
  return app::RunInstallerProgram(services, folder, args, front_end);
}
