// The Win32 front end of TarvoUpdate.exe: the real window for the main window's state.
#include "app/window_program_win32.h"

#include "app/product.h"
#include "widgets/win32/main_window.h"

namespace tarvo::app {

ScreenInfo Win32FrontEnd::Screen() {
  widgets::win32::InitCommonControls();
  const widgets::win32::ScreenMetrics screen = widgets::win32::QueryScreen();
  return {screen.pixels_per_inch, screen.width, screen.height};
}

void Win32FrontEnd::RunWindow(TForm_Main& form) {
  widgets::win32::RunMainWindow(form, kApplicationTitle);
}

void Win32FrontEnd::Print(const std::string& text) {
  if (print_) print_(text);
}

}  // namespace tarvo::app
