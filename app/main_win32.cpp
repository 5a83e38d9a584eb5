// Program entry of TarvoUpdate.exe.
// <windows.h> must come first: <shellapi.h> relies on its macros.
#include <windows.h>
// clang-format off
#include <shellapi.h>
// clang-format on

#include <string>
#include <vector>

#include "app/installer_program.h"
#include "app/run_log_file.h"
#include "app/switches.h"
#include "app/window_program_win32.h"
#include "platform/crash.h"
#include "platform/path.h"
#include "platform/services.h"
#include "text/codepage.h"

namespace {

std::vector<std::string> Arguments() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> out;
  for (int i = 1; argv && i < argc; ++i) {
    const std::wstring w(argv[i]);
    out.push_back(tarvo::text::Utf16ToUtf8(std::u16string(w.begin(), w.end())));
  }
  if (argv) LocalFree(argv);
  return out;
}

// A window program has no console of its own: write to the one it was started from, or to
// whatever standard output was redirected to.
void WriteToStdout(const std::string& utf8) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    if (AttachConsole(ATTACH_PARENT_PROCESS)) out = GetStdHandle(STD_OUTPUT_HANDLE);
  }
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    const std::u16string w = tarvo::text::Utf8ToUtf16(utf8);
    DWORD written = 0;
    WriteConsoleW(out, w.data(), static_cast<DWORD>(w.size()), &written, nullptr);
  } else {
    DWORD written = 0;
    WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace tarvo;
  // A crash ends as a failed run, with a line in the log, never with a code that means an answer.
  platform::InstallCrashHandler(
      [](const char* what) { app::WriteCrashLines(what, app::kExitRunFailed); },
      app::kExitRunFailed);
  const std::vector<std::string> args = Arguments();
  platform::Services services = platform::MakeSystemServices();
  const std::string folder = platform::ExtractFilePath(services.fs->ExecutablePath());
  app::Win32FrontEnd front_end(WriteToStdout);
  return app::RunInstallerProgram(services, folder, args, front_end);
}
