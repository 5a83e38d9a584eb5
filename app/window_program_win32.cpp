// The window part of TarvoUpdate.exe: the main window's state and its Win32 front end.
#include <memory>
#include <string>
#include <vector>

#include "app/close_aware_dialogs.h"
#include "app/form_main.h"
#include "app/product.h"
#include "install/installer_run.h"
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
    // The run reads what the window found (product, bound tables, description) when the
    // install button is pressed.
    install::InstallerRun run(
        *services.fs, *services.dialogs, *services.clock,
        [&window, installer_folder] {
          install::RunSettings s;
          const app::UpdateDescription& d = window->description();
          const app::ProductChecks& checks = window->checks();
          const app::TableBindings& b = checks.bindings();
          s.installer_folder = installer_folder;
          s.product_folder = checks.startup().ProductFolder;
          s.database_folder = checks.DatabaseFolder();
          s.backup_count = d.BackupCount;
          s.backup_file_name = d.BackupFileName;
          s.backup_folders = d.BackupFolders;
          s.db_filter = d.DBFilter;
          s.application_title = app::kApplicationTitle;
          const std::pair<const char*, const std::string*> paths[] = {
              {"Table1", &b.Table1},           {"Table2", &b.Table2},
              {"Table3", &b.Table3},           {"Table4", &b.Table4},
              {"Tb_Base8491", &b.Tb_Base8491}, {"Tb_link8491", &b.Tb_link8491},
              {"Tb_link_mex", &b.Tb_link_mex}, {"Tb_w_list", &b.Tb_w_list},
              {"Tb_Kl_Spr", &b.Tb_Kl_Spr}};
          for (const auto& [name, path] : paths) {
            if (!path->empty()) s.table_paths[name] = *path;
          }
          return s;
        },
        install::MakeProductDataStages());
    app::TForm_Main form(services, installer_folder,
                         {screen.pixels_per_inch, screen.width, screen.height}, &run);
    window = &form;
    code = widgets::win32::RunMainWindow(form, app::kApplicationTitle);
    window = nullptr;
  }
  services.dialogs = std::move(system_dialogs);
  return code;
}
