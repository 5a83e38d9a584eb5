// The program after its entry point: the command line, the log, the window or no window, the
// installation run and the exit code. Portable, so that a whole unattended run is tested natively;
// the Windows entry only supplies the real window.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/form_main.h"
#include "app/restore_program.h"
#include "install/run_settings.h"
#include "platform/services.h"

namespace tarvo::app {

// What the program needs from the machine's user interface.
class ProgramFrontEnd {
 public:
  virtual ~ProgramFrontEnd() = default;
  virtual ScreenInfo Screen() = 0;
  // Shows the window of `form` and handles its events until the form has closed.
  virtual void RunWindow(TForm_Main& form) = 0;
  // Text for the console the program was started from; dropped when there is none.
  virtual void Print(const std::string& text) = 0;
};

// The main window with one hook more: something to do once it has been shown and activated (the
// /SILENT run presses the install button there, so the person sees the run). Should the window
// never become the active one (started in the background, where Windows keeps the focus
// elsewhere), a timer does it a little later.
class UnattendedForm : public TForm_Main {
 public:
  UnattendedForm(platform::Services& services, std::string installer_folder, ScreenInfo screen,
                 install::InstallationRun* run);
  // Set before the window is shown.
  void SetAfterShown(std::function<void()> action);
  // After a failed run: which backup holds the database as it was (empty when none is known).
  const std::string& backup_hint() const { return backup_hint_text_; }

  static constexpr int kFallbackMs = 3000;

 protected:
  void OnActivate() override;
  void OnTimer(widgets::Control& timer) override;
  // A failed run also names the backup that holds the database as it was.
  void LockForRun() override;
  void ShowResult(int code) override;

 private:
  void AfterShown();

  std::function<void()> after_shown_;
  widgets::Control* fallback_timer_;
  bool done_ = false;
  platform::FileSystem& fs_;
  std::string folder_;
  BackupHint backup_hint_;
  std::string backup_hint_text_;
};

// What the run needs from the window, read when the install button is pressed.
install::RunSettings RunSettingsOf(const TForm_Main& window, const std::string& installer_folder);

// Runs the program for `args` (the command line without the program name) and returns its exit
// code (kExit... of app/switches.h, or the /check codes).
int RunInstallerProgram(platform::Services& services, const std::string& installer_folder,
                        const std::vector<std::string>& args, ProgramFrontEnd& front_end);

}  // namespace tarvo::app
