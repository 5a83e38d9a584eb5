// Drives TarvoUpdate.exe like a person would: prepares an update folder and a product
// installation, starts the program, finds its controls, reads them with window messages, clicks,
// and saves a screenshot of every state. Exit code 0 when every check held.
//
// window_driver <TarvoUpdate.exe> <stand-in product exe> <work folder> <screenshot folder> <dpi>
// The screen's pixels per inch are set by the caller (Wine reads them when its server starts):
// 96 runs the scenarios at the designed size, 120 the scaled one.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/driven_program.h"
#include "tests/e2e/screenshot.h"

namespace {

const wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    L"{3F1B7C20-8D4E-4A6B-9C35-0E2A7D19B648}_is1";

using tarvo::e2e::MakeFolders;
using tarvo::e2e::Program;
using tarvo::e2e::Screenshot;
using tarvo::e2e::Utf8;

int g_failures = 0;

void Check(bool ok, const std::string& scenario, const std::string& what) {
  std::printf("%s %s: %s\n", ok ? "ok  " : "FAIL", scenario.c_str(), what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

void WriteFile(const std::wstring& path, const std::string& bytes) {
  if (!tarvo::e2e::WriteBytes(path, bytes)) {
    std::printf("cannot write %s\n", Utf8(path).c_str());
    ++g_failures;
  }
}

struct Scenario {
  std::string name;
  bool product = true;
  bool user_tables = true;
  bool check_opened_sm = true;
  int dpi = 96;
};

// The installer folder and product folder of one scenario, made from scratch.
struct Machine {
  std::wstring installer;
  std::wstring product;
};

Machine Prepare(const Scenario& s, const std::wstring& work, const std::wstring& program,
                const std::wstring& stand_in) {
  Machine m;
  std::wstring root = work + L"\\" + std::wstring(s.name.begin(), s.name.end());
  m.installer = root + L"\\Update\\";
  m.product = root + L"\\Tarvo\\";
  MakeFolders(m.installer);
  CopyFileW(program.c_str(), (m.installer + L"TarvoUpdate.exe").c_str(), FALSE);
  std::string ini =
      "\xEF\xBB\xBF[Info]\r\nCaption=Обновление Tarvo Estimate 7\r\n"
      "BeginText=Обновление программного комплекса Tarvo Estimate 7 до версии 7.25b\r\n"
      "BackupText=Перенос пользовательских данных в новую базу\r\n"
      "Text=Полная замена базы данных\r\nComponentCount=3\r\n";
  ini += std::string("CheckOpenedSm=") + (s.check_opened_sm ? "1" : "0") + "\r\n";
  ini +=
      "[Component1]\r\nName1=Программа\r\nCheck1=1\r\nEnabled1=1\r\nFile1=prog.zip\r\n"
      "[Component2]\r\nName2=База данных\r\nCheck2=1\r\nEnabled2=0\r\nFile2=base.zip\r\n"
      "[Component3]\r\nName3=Справочники\r\nCheck3=0\r\nEnabled3=1\r\nFile3=spr.zip\r\n"
      "[Backup]\r\nBackupCount=1\r\nBackupFileName=Tarvo\r\nBackup_Dir1=Base\r\n";
  WriteFile(m.installer + L"update6.ini", ini);
  for (const wchar_t* f : {L"prog.zip", L"base.zip", L"spr.zip"}) {
    WriteFile(m.installer + f, "PK");
  }
  if (s.user_tables) {
    for (const wchar_t* f :
         {L"U_Base8491.db", L"U_Link8491.db", L"U_Link_mex.DB", L"U_W_list.DB"}) {
      WriteFile(m.installer + f, "table");
    }
  }
  MakeFolders(m.product + L"Base");
  MakeFolders(m.product + L"Edit\\Smeta1");
  CopyFileW(stand_in.c_str(), (m.product + L"Tarvo7.exe").c_str(), FALSE);
  CopyFileW(stand_in.c_str(), (m.product + L"start7.exe").c_str(), FALSE);
  for (const wchar_t* f :
       {L"RES.bd", L"Base8491.db", L"Link8491.db", L"Link_mex.db", L"W_list.db", L"Kl_spr.db"}) {
    WriteFile(m.product + L"Base\\" + f, "table");
  }

  HKEY key;
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_32KEY, 0);
  if (s.product &&
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY,
                      nullptr, &key, nullptr) == ERROR_SUCCESS) {
    RegSetValueExW(key, L"InstallLocation", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(m.product.c_str()),
                   static_cast<DWORD>((m.product.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  return m;
}

void Settle() { Sleep(400); }

LRESULT RowData(HWND list, int row) { return SendMessageW(list, LB_GETITEMDATA, row, 0); }

void ClickRowCheckBox(HWND list, int row) {
  SendMessageW(list, LB_SETTOPINDEX, row, 0);  // the list shows fewer rows than it has
  Settle();
  RECT r;
  SendMessageW(list, LB_GETITEMRECT, row, reinterpret_cast<LPARAM>(&r));
  LPARAM at = MAKELPARAM(r.left + 6, (r.top + r.bottom) / 2);
  PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(list, WM_LBUTTONUP, 0, at);
  Settle();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 6) {
    std::printf("usage: window_driver <TarvoUpdate.exe> <product stand-in> <work> <shots> <dpi>\n");
    return 2;
  }
  const int dpi = _wtoi(argv[5]);
  const std::wstring program = argv[1], stand_in = argv[2], work = argv[3], shots = argv[4];
  MakeFolders(work);
  MakeFolders(shots);
  const std::wstring ready_line =
      L"Всё готово к началу инсталляции обновления на Ваш компьютер. Нажмите кнопку [Начать "
      L"установку] для активации процесса установки.";

  if (dpi == 96) {
    Scenario s{"ready"};
    Machine m = Prepare(s, work, program, stand_in);
    Program p(m.installer + L"TarvoUpdate.exe");
    Check(p.form() != nullptr, s.name, "the window opens");
    if (p.form()) {
      Check(Program::Text(p.form()) == L"Обновление Tarvo Estimate 7", s.name, "caption");
      HWND install = p.Child(L"Button", L"Начать установку");
      HWND exit_button = p.Child(L"Button", L"Выход");
      HWND memo = p.Child(L"Edit");
      HWND list = p.Child(L"ListBox");
      HWND transfer = p.Child(L"Button", L"Перенести данные пользователя из старой базы в новую");
      HWND replace = p.Child(L"Button", L"Заменить старую базу данных на новую");
      Check(install && exit_button && memo && list && transfer && replace, s.name,
            "controls found");
      Check(IsWindowEnabled(install), s.name, "install button enabled");
      Check(IsWindowEnabled(transfer) && IsWindowEnabled(replace), s.name, "choices enabled");
      Check(Program::Text(memo) == ready_line, s.name, "ready line in the memo");
      Check(SendMessageW(list, LB_GETCOUNT, 0, 0) == 4, s.name, "header row and 3 components");
      Check(RowData(list, 0) & 4, s.name, "row 0 is the header row");
      Check(p.Child(L"Button", L"Включить все") && p.Child(L"Button", L"Выключить все"), s.name,
            "all-on and all-off buttons");
      HWND balloon = p.FindTopLevel(L"TarvoBalloon");
      Check(balloon && IsWindowVisible(balloon), s.name, "choice hint shown at first activation");
      Screenshot(p.form(), shots + L"\\ready.bmp");
      Screenshot(p.form(), shots + L"\\balloon.bmp");

      ClickRowCheckBox(list, 2);  // greyed
      Check((RowData(list, 2) & 1) == 1, s.name, "a greyed row does not toggle");
      ClickRowCheckBox(list, 3);
      Check((RowData(list, 3) & 1) == 1, s.name, "an enabled row toggles on");
      ClickRowCheckBox(list, 3);
      Check((RowData(list, 3) & 1) == 0, s.name, "... and off again");
      SendMessageW(p.Child(L"Button", L"Выключить все"), BM_CLICK, 0, 0);
      Settle();
      Check(!IsWindowEnabled(install), s.name, "nothing checked disables the install button");

      SendMessageW(transfer, BM_CLICK, 0, 0);
      Settle();
      Check(SendMessageW(transfer, BM_GETCHECK, 0, 0) == BST_CHECKED, s.name, "transfer chosen");
      Check(!IsWindowVisible(balloon), s.name, "the choice hides the hint");
      Check(IsWindowEnabled(install), s.name, "the table check enables the install button");
      Check(Program::Text(memo) == ready_line, s.name, "transfer mode ready");
      Screenshot(p.form(), shots + L"\\transfer.bmp");

      SendMessageW(replace, BM_CLICK, 0, 0);
      Settle();
      Check(SendMessageW(replace, BM_GETCHECK, 0, 0) == BST_CHECKED &&
                SendMessageW(transfer, BM_GETCHECK, 0, 0) == BST_UNCHECKED,
            s.name, "replace chosen");
      Screenshot(p.form(), shots + L"\\replace.bmp");

      SendMessageW(exit_button, BM_CLICK, 0, 0);
      Check(p.Exited(5000), s.name, "the exit button ends the program");
    }
  }
  if (dpi == 96) {
    Scenario s{"not_ready"};
    s.product = false;
    Machine m = Prepare(s, work, program, stand_in);
    Program p(m.installer + L"TarvoUpdate.exe");
    Check(p.form() != nullptr, s.name, "the window opens");
    if (p.form()) {
      HWND memo = p.Child(L"Edit");
      std::wstring memo_text = Program::Text(memo);
      Check(memo_text.rfind(L"Установка обновления в данный момент невозможна.", 0) == 0, s.name,
            "not possible line first");
      Check(memo_text.find(L"не установлен на Вашем компьютере.") != std::wstring::npos, s.name,
            "not installed line");
      Check(!IsWindowEnabled(p.Child(L"Button", L"Начать установку")), s.name, "install disabled");
      Check(!IsWindowEnabled(p.Child(L"ListBox")), s.name, "list disabled");
      Check(!IsWindowEnabled(p.Child(L"Button", L"Заменить старую базу данных на новую")), s.name,
            "choices disabled");
      Check(IsWindowEnabled(p.Child(L"Button", L"Выход")), s.name, "exit usable");
      Screenshot(p.form(), shots + L"\\not_ready.bmp");
      PostMessageW(p.form(), WM_CLOSE, 0, 0);
      Check(p.Exited(5000), s.name, "closing ends the program");
    }
  }
  if (dpi == 96) {
    Scenario s{"table_check_failed"};
    s.user_tables = false;
    Machine m = Prepare(s, work, program, stand_in);
    Program p(m.installer + L"TarvoUpdate.exe");
    Check(p.form() != nullptr, s.name, "the window opens");
    if (p.form()) {
      HWND transfer = p.Child(L"Button", L"Перенести данные пользователя из старой базы в новую");
      SendMessageW(transfer, BM_CLICK, 0, 0);
      Settle();
      std::wstring memo_text = Program::Text(p.Child(L"Edit"));
      Check(memo_text.find(L"Некорректный состав модулей обновления.") != std::wstring::npos,
            s.name, "modules line");
      Check(!IsWindowEnabled(transfer) && !IsWindowEnabled(p.Child(L"ListBox")) &&
                !IsWindowEnabled(p.Child(L"Button", L"Начать установку")),
            s.name, "choosing greyed");
      Check(IsWindowEnabled(p.Child(L"Button", L"Выход")), s.name, "exit usable");
      HWND balloon = p.FindTopLevel(L"TarvoBalloon");
      Check(!balloon || !IsWindowVisible(balloon), s.name, "hint hidden");
      Screenshot(p.form(), shots + L"\\table_check_failed.bmp");
      PostMessageW(p.form(), WM_CLOSE, 0, 0);
      Check(p.Exited(5000), s.name, "closing ends the program");
    }
  }
  if (dpi == 120) {
    Scenario s{"dpi120_row3_removed"};
    s.dpi = 120;
    s.check_opened_sm = false;
    Machine m = Prepare(s, work, program, stand_in);
    Program p(m.installer + L"TarvoUpdate.exe");
    Check(p.form() != nullptr, s.name, "the window opens");
    if (p.form()) {
      RECT c;
      GetClientRect(p.form(), &c);
      HDC dc = GetDC(p.form());
      int screen_dpi = GetDeviceCaps(dc, LOGPIXELSY);
      ReleaseDC(p.form(), dc);
      Check(screen_dpi == 120, s.name, "the screen has 120 pixels per inch");
      Check(c.right == 629 && c.bottom == 650, s.name,
            "client area 629 x 650 (700 less icon 40 and 10)");
      Screenshot(p.form(), shots + L"\\dpi120_row3_removed.bmp");
      PostMessageW(p.form(), WM_CLOSE, 0, 0);
      Check(p.Exited(5000), s.name, "closing ends the program");
    }
  }
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_32KEY, 0);
  std::printf("%d failure(s)\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
