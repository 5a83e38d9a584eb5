// Starts TarvoUpdate.exe with the given switches and watches its window from outside: whether one
// is shown, screenshots while it is, and whether the program ends by itself.
// usage: silent_watch.exe <shots folder> <program> [switches ...]
// Prints "window_seen=0|1", "shots=N", "exit=CODE" (or "exit=timeout") and returns 0 when the
// program ended by itself.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/e2e/screenshot.h"

namespace {

struct Search {
  DWORD pid = 0;
  HWND found = nullptr;
};

BOOL CALLBACK FindWindowOf(HWND h, LPARAM l) {
  auto* s = reinterpret_cast<Search*>(l);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  RECT r;
  // The program's taskbar owner is a visible window of no size; the main window has one.
  if (pid == s->pid && IsWindowVisible(h) && GetWindowRect(h, &r) && r.right - r.left > 200 &&
      r.bottom - r.top > 200) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}

std::wstring Quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: silent_watch <shots folder> <program> [switches ...]\n");
    return 2;
  }
  const std::wstring shots = argv[1];
  std::wstring command = Quoted(argv[2]);
  for (int i = 3; i < argc; ++i) command += L" " + Quoted(argv[i]);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring mutable_command = command;
  if (!CreateProcessW(nullptr, mutable_command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    std::fprintf(stderr, "silent_watch: cannot start the program (%lu)\n", GetLastError());
    return 2;
  }
  bool seen = false;
  int shots_taken = 0;
  DWORD waited = 0;
  const DWORD kStepMs = 100, kLimitMs = 240000;
  while (WaitForSingleObject(pi.hProcess, kStepMs) == WAIT_TIMEOUT) {
    waited += kStepMs;
    if (waited > kLimitMs) break;
    Search s;
    s.pid = pi.dwProcessId;
    EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&s));
    if (!s.found) continue;
    seen = true;
    // A few frames spread over the run: its start, and later ones while it goes on.
    if (shots_taken < 6 && (shots_taken == 0 || (waited / kStepMs) % 5 == 0)) {
      tarvo::e2e::Screenshot(s.found,
                             shots + L"\\silent_" + std::to_wstring(shots_taken) + L".bmp");
      ++shots_taken;
    }
  }
  DWORD code = 0;
  const bool ended = WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
  if (ended) GetExitCodeProcess(pi.hProcess, &code);
  std::printf("window_seen=%d\nshots=%d\n", seen ? 1 : 0, shots_taken);
  if (ended) {
    std::printf("exit=%lu\n", code);
  } else {
    std::printf("exit=timeout\n");
    TerminateProcess(pi.hProcess, 99);
  }
  std::fflush(stdout);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return ended ? 0 : 1;
}
