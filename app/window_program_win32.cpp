// The window part of TarvoUpdate.exe: the main window's state and its Win32 front end.
#include <memory>
#include <string>
#include <vector>

#include "app/close_aware_dialogs.h"
#include "app/form_main.h"
#include "app/product.h"
#include "platform/services.h"
#include "widgets/win32/main_window.h"

int RunWindowProgram(tarvo::platform::Services& services, const std::string& installer_folder,
                     const std::vector<std::string>&) {
  using namespace tarvo;
  widgets::win32::InitCommonControls();
  const widgets::win32::ScreenMetrics screen = widgets::win32::QueryScreen();
  // Once the user has asked to close the window, boxes opened by a run still going on close at
  // once as if cancelled.
  std::unique_ptr<platform::Dialogs> system_dialogs = std::move(services.dialogs);
  app::TForm_Main* window = nullptr;
  services.dialogs = std::make_unique<app::CloseAwareDialogs>(
      *system_dialogs, [&window] { return window && window->closed(); });
  int code = 0;
  {
    // The installation run is plugged in here once the installation layer provides it.
    app::TForm_Main form(services, installer_folder,
                         {screen.pixels_per_inch, screen.width, screen.height}, nullptr);
    window = &form;
    code = widgets::win32::RunMainWindow(form, app::kApplicationTitle);
    window = nullptr;
  }
  services.dialogs = std::move(system_dialogs);
  return code;
}
