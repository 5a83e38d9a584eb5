// Drives a whole installation on the real window, as a person would: starts TarvoUpdate.exe in
// a laid-out update folder, chooses the mode, presses the install button, answers the boxes the
// run opens, watches the progress panel, reads the result and closes the window. Saves a
// screenshot of every state; what the run did to the files is checked from outside afterwards.
//
// install_driver <update folder\> <product folder\> <screenshot folder> <transfer|replace>
// Prints "ok"/"FAIL" lines and "Name=value" facts; exit code 0 when every check held.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/driven_program.h"
#include "tests/e2e/screenshot.h"

namespace {

using tarvo::e2e::MakeFolders;
using tarvo::e2e::Program;
using tarvo::e2e::Screenshot;
using tarvo::e2e::Utf8;

const wchar_t kReplaceWarning[] =
    L"Вы выбрали вариант полной замены существующей БД на новую. Будьте осторожны! Если текущая "
    L"БД содержит пользовательские изменения, то все они исчезнут после инсталляции данного "
    L"обновления. Продолжать процесс установки?";
const wchar_t kRestoreNotice[] =
    L"Установка новой базы данных успешно завершена. Сейчас будет производиться добавление "
    L"обоснований пользователя из предыдущей базы. Этот процесс может занять от нескольких "
    L"десятков секунд до нескольких минут (зависит от скорости Вашего компьютера).";
const wchar_t kReadyLine[] =
    L"Всё готово к началу инсталляции обновления на Ваш компьютер. Нажмите кнопку [Начать "
    L"установку] для активации процесса установки.";
constexpr int kRunTimeoutMs = 300'000;

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

void Fact(const char* name, const std::string& value) {
  std::printf("%s=%s\n", name, value.c_str());
  std::fflush(stdout);
}

bool FileExists(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// A visible message box of the program (standard dialog class), or null.
HWND OpenBox(const Program& p) {
  HWND box = p.FindTopLevel(L"#32770");
  return box && IsWindowVisible(box) ? box : nullptr;
}

std::wstring BoxText(HWND box) {
  wchar_t text[2048] = L"";
  // The text of a message box is its static control 0xFFFF.
  SendMessageTimeoutW(GetDlgItem(box, 0xFFFF), WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 2000, nullptr);
  return text;
}

// Presses a button of a message box the way a click does, and waits for the box to go.
void Press(HWND box, int id) {
  HWND button = GetDlgItem(box, id);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  for (int i = 0; i < 100 && IsWindow(box) && IsWindowVisible(box); ++i) Sleep(50);
}

// The progress panel: the panel window of its designed size, 317 x 161 at 96 pixels per inch.
HWND ProgressPanel(const Program& p) {
  HDC dc = GetDC(p.form());
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(p.form(), dc);
  for (HWND h : p.Children(L"TarvoPanel")) {
    RECT r;
    GetClientRect(h, &r);
    if (r.right == MulDiv(317, dpi, 96) && r.bottom == MulDiv(161, dpi, 96)) return h;
  }
  return nullptr;
}

// The wait panel that replaces the memo while the run goes on and then shows the result: the
// panel window that lies exactly where the (hidden) memo is.
HWND WaitPanel(const Program& p, HWND memo) {
  RECT m;
  GetWindowRect(memo, &m);
  for (HWND h : p.Children(L"TarvoPanel")) {
    RECT r;
    GetWindowRect(h, &r);
    if (EqualRect(&r, &m) && IsWindowVisible(h)) return h;
  }
  return nullptr;
}

// The colour behind the result text, near the left edge of the wait panel.
COLORREF ResultColour(HWND panel) {
  RECT r;
  GetWindowRect(panel, &r);
  HDC screen = GetDC(nullptr);
  const COLORREF c = GetPixel(screen, r.left + 4, (r.top + r.bottom) / 2);
  ReleaseDC(nullptr, screen);
  return c;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) {
    std::printf("usage: install_driver <update folder\\> <product folder\\> <shots> "
                "<transfer|replace>\n");
    return 2;
  }
  const std::wstring update = argv[1], product = argv[2], shots = argv[3], mode = argv[4];
  const bool transfer = mode == L"transfer";
  const std::string m = Utf8(mode);
  MakeFolders(shots);
  auto shot = [&](HWND form, const std::string& name) {
    Screenshot(form, shots + L"\\" + std::wstring(name.begin(), name.end()) + L".bmp");
    Fact("Screenshot", name);
  };

  Program p(update + L"TarvoUpdate.exe");
  Check(p.form() != nullptr, "the window opens");
  if (!p.form()) return 1;
  HWND form = p.form();
  HWND install = p.Child(L"Button", L"Начать установку");
  HWND exit_button = p.Child(L"Button", L"Выход");
  HWND memo = p.Child(L"Edit");
  HWND choice = p.Child(L"Button", transfer ? L"Перенести данные пользователя из старой базы в новую"
                                            : L"Заменить старую базу данных на новую");
  Check(install && exit_button && memo && choice, "controls found");
  if (!install || !exit_button || !memo || !choice) return 1;
  Check(Program::Text(memo) == kReadyLine, "the readiness checks pass on the demo");

  SendMessageW(choice, BM_CLICK, 0, 0);
  Sleep(400);
  Check(SendMessageW(choice, BM_GETCHECK, 0, 0) == BST_CHECKED, m + " mode chosen");
  Check(IsWindowEnabled(install), "install button enabled after the choice");
  Check(Program::Text(memo) == kReadyLine, "the table check passes");
  shot(form, m + "_ready");

  // The run goes on inside the click: post it, so this driver stays free to watch.
  const DWORD started = GetTickCount();
  PostMessageW(install, BM_CLICK, 0, 0);

  bool locked = false, finished = false, warning_seen = false, notice_seen = false;
  int progress_shots = 0;
  DWORD last_progress_shot = 0;
  std::vector<std::wstring> unexpected;
  while (GetTickCount() - started < static_cast<DWORD>(kRunTimeoutMs) && !p.Exited(0)) {
    if (HWND box = OpenBox(p)) {
      Sleep(300);  // painted
      const std::wstring text = BoxText(box);
      if (text == kReplaceWarning && !warning_seen) {
        warning_seen = true;
        Check(!locked, "the replace warning comes before the window locks");
        shot(form, m + "_replace_warning");
        Press(box, IDYES);
      } else if (text == kRestoreNotice && !notice_seen) {
        notice_seen = true;
        shot(form, m + "_restore_notice");
        Press(box, IDOK);
      } else {
        unexpected.push_back(text);
        std::printf("box: %s\n", Utf8(text).c_str());
        shot(form, m + "_box_" + std::to_string(unexpected.size()));
        Press(box, GetDlgItem(box, IDOK) ? IDOK : GetDlgItem(box, IDABORT) ? IDABORT : IDCANCEL);
      }
      continue;
    }
    const bool exit_enabled = IsWindowEnabled(exit_button);
    if (!locked && !exit_enabled) locked = true;
    if (locked && exit_enabled) {
      finished = true;
      break;
    }
    HWND panel = ProgressPanel(p);
    if (locked && panel && IsWindowVisible(panel) && progress_shots < 8 &&
        (progress_shots == 0 || GetTickCount() - last_progress_shot > 1500)) {
      shot(form, m + "_progress_" + std::to_string(++progress_shots));
      last_progress_shot = GetTickCount();
    }
    Sleep(50);
  }
  const double seconds = (GetTickCount() - started) / 1000.0;
  char took[32];
  std::snprintf(took, sizeof took, "%.1f", seconds);
  Fact("RunSeconds", took);
  Check(locked, "the run locks the window");
  Check(finished, "the run ends with the exit button usable");
  Check(progress_shots > 0, "the progress panel was seen during the run");
  Check(warning_seen == !transfer, transfer ? "no replace warning in transfer mode"
                                            : "the replace warning was shown and answered Yes");
  Check(notice_seen == transfer, transfer ? "the restore notice came before stage 4"
                                          : "no restore notice in replace mode");
  if (!finished) return 1;

  Sleep(500);
  HWND wait_panel = WaitPanel(p, memo);
  Check(wait_panel != nullptr, "the wait panel shows the result");
  const COLORREF colour = wait_panel ? ResultColour(wait_panel) : CLR_INVALID;
  const bool success = colour == RGB(255, 255, 255);
  Fact("Result", success ? "success" : colour == RGB(128, 0, 0) ? "failure" : "unknown");
  Check(success, "the result is success (white behind green text)");
  HWND panel = ProgressPanel(p);
  Check(panel && !IsWindowVisible(panel), "the progress panel is hidden at the end");
  Check(!IsWindowEnabled(install), "the install button stays disabled");
  shot(form, m + "_result");
  // An error raised inside the run would show its own box after the result.
  Sleep(1000);
  if (HWND box = OpenBox(p)) {
    unexpected.push_back(BoxText(box));
    std::printf("box: %s\n", Utf8(unexpected.back()).c_str());
    shot(form, m + "_box_after_result");
    Press(box, IDOK);
  }
  Check(unexpected.empty(), "no other box was opened");

  const bool copies = FileExists(product + L"Base.zip") && FileExists(product + L"Prog.zip");
  Check(copies, "the archive copies are in the product folder after the run");
  PostMessageW(form, WM_CLOSE, 0, 0);
  Check(p.Exited(10000), "closing the window ends the program");
  Check(!FileExists(product + L"Base.zip") && !FileExists(product + L"Prog.zip"),
        "closing the window deleted the archive copies");
  std::printf("%d failure(s)\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
