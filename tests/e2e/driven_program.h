// A program under test started by an end-to-end driver: its windows found by class and text,
// read with window messages, and the small helpers the drivers share.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace tarvo::e2e {

inline std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

inline void MakeFolders(const std::wstring& path) {
  for (size_t i = 3; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
  }
}

// The running program and its windows.
class Program {
 public:
  explicit Program(const std::wstring& exe) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    std::wstring cmd = L"\"" + exe + L"\"";
    std::wstring dir = exe.substr(0, exe.rfind(L'\\'));
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(),
                        &si, &pi_)) {
      std::printf("cannot start %s\n", Utf8(exe).c_str());
      return;
    }
    for (int i = 0; i < 300 && !form_; ++i) {
      Sleep(100);
      form_ = FindTopLevel(L"TarvoForm");
    }
    Sleep(1500);  // first activation and painting
  }
  ~Program() {
    if (pi_.hProcess) {
      if (WaitForSingleObject(pi_.hProcess, 5000) != WAIT_OBJECT_0) {
        TerminateProcess(pi_.hProcess, 1);
      }
      CloseHandle(pi_.hProcess);
      CloseHandle(pi_.hThread);
    }
  }
  HWND form() const { return form_; }

  HWND FindTopLevel(const wchar_t* cls) const {
    struct Search {
      DWORD pid;
      const wchar_t* cls;
      HWND found;
    } s{pi_.dwProcessId, cls, nullptr};
    EnumWindows(
        [](HWND h, LPARAM l) -> BOOL {
          auto* s = reinterpret_cast<Search*>(l);
          DWORD pid = 0;
          GetWindowThreadProcessId(h, &pid);
          wchar_t name[64];
          GetClassNameW(h, name, 64);
          if (pid == s->pid && wcscmp(name, s->cls) == 0) {
            s->found = h;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
  }

  // The child window of a class with a text ("" matches any text).
  HWND Child(const wchar_t* cls, const std::wstring& text = L"") const {
    struct Search {
      const wchar_t* cls;
      const std::wstring* text;
      HWND found;
    } s{cls, &text, nullptr};
    EnumChildWindows(
        form_,
        [](HWND h, LPARAM l) -> BOOL {
          auto* s = reinterpret_cast<Search*>(l);
          wchar_t name[64];
          GetClassNameW(h, name, 64);
          if (_wcsicmp(name, s->cls) != 0) return TRUE;
          if (!s->text->empty() && Text(h) != *s->text) return TRUE;
          s->found = h;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
  }

  static std::wstring Text(HWND h) {
    int n = static_cast<int>(SendMessageW(h, WM_GETTEXTLENGTH, 0, 0));
    std::wstring t(n + 1, L'\0');
    SendMessageW(h, WM_GETTEXT, n + 1, reinterpret_cast<LPARAM>(t.data()));
    t.resize(n);
    return t;
  }

  // Every child window of a class, at any depth, in creation order.
  std::vector<HWND> Children(const wchar_t* cls) const {
    struct Search {
      const wchar_t* cls;
      std::vector<HWND> found;
    } s{cls, {}};
    EnumChildWindows(
        form_,
        [](HWND h, LPARAM l) -> BOOL {
          auto* s = reinterpret_cast<Search*>(l);
          wchar_t name[64];
          GetClassNameW(h, name, 64);
          if (_wcsicmp(name, s->cls) == 0) s->found.push_back(h);
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
  }

  DWORD ExitCode() const {
    DWORD code = 0;
    if (pi_.hProcess) GetExitCodeProcess(pi_.hProcess, &code);
    return code;
  }

  bool Exited(int ms) const { return WaitForSingleObject(pi_.hProcess, ms) == WAIT_OBJECT_0; }

 private:
  PROCESS_INFORMATION pi_{};
  HWND form_ = nullptr;
};

}  // namespace tarvo::e2e
