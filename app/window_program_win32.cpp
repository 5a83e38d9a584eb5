// The window part of TarvoUpdate.exe: the main window's state and its Win32 front end.
#include <string>
#include <vector>

#include "app/form_main.h"
#include "app/product.h"
#include "platform/services.h"
#include "widgets/win32/main_window.h"

int RunWindowProgram(tarvo::platform::Services& services, const std::string& installer_folder,
                     const std::vector<std::string>&) {
  using namespace tarvo;
  widgets::win32::InitCommonControls();
  const widgets::win32::ScreenMetrics screen = widgets::win32::QueryScreen();
  // The installation run is plugged in here once the installation layer provides it.
  app::TForm_Main form(services, installer_folder,
                       {screen.pixels_per_inch, screen.width, screen.height}, nullptr);
  return widgets::win32::RunMainWindow(form, app::kApplicationTitle);
}
