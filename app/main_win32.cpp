// Program entry of TarvoUpdate.exe.
#include <windows.h>
#include <shellapi.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/check_report.h"
#include "app/product.h"
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

int RunWindowProgram(tarvo::platform::Services& services, const std::string& installer_folder,
                     const std::vector<std::string>& args);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace tarvo;
  const std::vector<std::string> args = Arguments();
  platform::Services services = platform::MakeSystemServices();
  const std::string folder = platform::ExtractFilePath(services.fs->ExecutablePath());

  for (const std::string& arg : args) {
    const bool check = text::EqualsIgnoreCase(arg, "/check") ||
                       text::EqualsIgnoreCase(arg, "/check=transfer");
    const bool replace = text::EqualsIgnoreCase(arg, "/check=replace");
    if (check || replace) {
      std::ostringstream report;
      const auto code = app::RunCheck(services, folder, replace, report);
      WriteToStdout(report.str());
      return static_cast<int>(code);
    }
  }
  if (!services.fs->FileExists(folder + app::kDescriptionFileName)) {
    services.dialogs->MessageBox("Не найден файл инициализации!", "Ошибка",
                                 {platform::DialogResult::kOk}, platform::MessageIcon::kNone);
    return 1;
  }
  return RunWindowProgram(services, folder, args);
}
