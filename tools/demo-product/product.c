/* The demo's stand-in for the product's executables: it only carries a version resource. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  (void)instance;
  (void)previous;
  (void)command_line;
  (void)show;
  MessageBoxW(NULL, L"Tarvo Estimate 7 (demo)", L"Tarvo Estimate", MB_OK);
  return 0;
}
