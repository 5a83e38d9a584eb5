// The main window driven through a scripted installation run, so the run's states (locked
// window, progress panel, result) are seen on the real window. Started by the end-to-end script
// from a prepared update folder; saves a screenshot of each state and closes.
//
// tarvo_run_preview <installer folder> <screenshot folder> <result code | close>
// "close" asks to close the window in the middle of the run: the run must go on, a box it opens
// must close by itself, and the program must end once the run has returned.
#include <windows.h>

#include <string>

#include "app/close_aware_dialogs.h"
#include "app/form_main.h"
#include "install/installation_run.h"
#include "platform/services.h"
#include "tests/e2e/screenshot.h"
#include "widgets/win32/main_window.h"

namespace {

std::wstring g_shots;
int g_code = 0;
bool g_close_midway = false;
bool g_failed = false;
tarvo::platform::Dialogs* g_dialogs = nullptr;

std::string Utf8(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

HWND MainWindow() { return FindWindowW(L"TarvoForm", nullptr); }

void Shot(const wchar_t* name) {
  tarvo::e2e::Screenshot(MainWindow(), g_shots + L"\\" + name + L".bmp");
}

// Walks through the stages the way the installation does, without touching any file.
class ScriptedRun : public tarvo::install::InstallationRun {
 public:
  int Run(tarvo::install::MainWindowOps& window) override {
    window.LockForRun();
    if (g_close_midway) {
      PostMessageW(MainWindow(), WM_CLOSE, 0, 0);
      window.ProcessPendingMessages();
      if (!window.CloseRequested()) g_failed = true;
      auto answer = g_dialogs->ShowMessage(
          "Продолжать?", "Tarvo Update",
          {tarvo::platform::DialogResult::kYes, tarvo::platform::DialogResult::kNo},
          tarvo::platform::MessageIcon::kQuestion, tarvo::platform::DialogResult::kNo);
      if (answer != tarvo::platform::DialogResult::kNo) g_failed = true;
      window.ShowResult(0);
      return 0;
    }
    window.ShowProgressPanel();
    window.SetProgressPercent(100);
    window.ShowStageTick(1);
    window.SetStageActive(1, false);
    window.SetStageActive(2, true);
    window.SetActivity(tarvo::install::Activity::kSaving, true);
    window.SetActivity(tarvo::install::Activity::kData, true);
    window.SetProgressPercent(45);
    window.ProcessPendingMessages();
    Sleep(300);
    Shot(L"run_progress");
    window.SetActivity(tarvo::install::Activity::kSaving, false);
    window.SetActivity(tarvo::install::Activity::kData, false);
    window.ShowStageTick(2);
    window.SetStageActive(2, false);
    window.ShowResult(g_code);
    window.ProcessPendingMessages();
    Sleep(300);
    Shot(g_code == 0 ? L"run_success" : L"run_failure");
    PostMessageW(MainWindow(), WM_CLOSE, 0, 0);
    return g_code;
  }
};

void CALLBACK StartRun(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  // The install button is found by its text among the window's descendants.
  struct Search {
    HWND found = nullptr;
  } s;
  EnumChildWindows(
      MainWindow(),
      [](HWND h, LPARAM l) -> BOOL {
        wchar_t text[64];
        GetWindowTextW(h, text, 64);
        if (std::wstring(text) == L"Начать установку") {
          reinterpret_cast<Search*>(l)->found = h;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&s));
  HWND replace = nullptr;
  EnumChildWindows(
      MainWindow(),
      [](HWND h, LPARAM l) -> BOOL {
        wchar_t text[64];
        GetWindowTextW(h, text, 64);
        if (std::wstring(text) == L"Заменить старую базу данных на новую") {
          *reinterpret_cast<HWND*>(l) = h;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&replace));
  if (replace) SendMessageW(replace, BM_CLICK, 0, 0);
  if (s.found) SendMessageW(s.found, BM_CLICK, 0, 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  g_shots = argv[2];
  g_close_midway = std::wstring(argv[3]) == L"close";
  g_code = _wtoi(argv[3]);
  tarvo::platform::Services services = tarvo::platform::MakeSystemServices();
  tarvo::app::TForm_Main* window = nullptr;
  tarvo::app::CloseAwareDialogs dialogs(*services.dialogs,
                                        [&window] { return window && window->closed(); });
  g_dialogs = &dialogs;
  tarvo::widgets::win32::InitCommonControls();
  auto screen = tarvo::widgets::win32::QueryScreen();
  ScriptedRun run;
  tarvo::app::TForm_Main form(services, Utf8(argv[1]),
                              {screen.pixels_per_inch, screen.width, screen.height}, &run);
  window = &form;
  SetTimer(nullptr, 0, 1500, StartRun);
  int code = tarvo::widgets::win32::RunMainWindow(form, "Tarvo Update");
  window = nullptr;
  return g_failed ? 1 : code;
}
