#include "app/installer_program.h"

#include <memory>
#include <sstream>
#include <utility>

#include "app/check_report.h"
#include "app/close_aware_dialogs.h"
#include "app/product.h"
#include "app/restore_program.h"
#include "app/run_log_file.h"
#include "app/switches.h"
#include "app/unattended_dialogs.h"
#include "install/backup.h"
#include "install/installer_run.h"
#include "widgets/control.h"

namespace tarvo::app {

UnattendedForm::UnattendedForm(platform::Services& services, std::string installer_folder,
                               ScreenInfo screen, install::InstallationRun* run)
    : TForm_Main(services, installer_folder, screen, run),
      fs_(*services.fs),
      folder_(std::move(installer_folder)) {
  fallback_timer_ = &Add(root(), "Timer_unattended", widgets::ControlKind::kTimer, {});
  fallback_timer_->interval_ms = kFallbackMs;
  fallback_timer_->enabled = false;
}

void UnattendedForm::SetAfterShown(std::function<void()> action) {
  after_shown_ = std::move(action);
  SetEnabled(*fallback_timer_, static_cast<bool>(after_shown_));
}

void UnattendedForm::AfterShown() {
  SetEnabled(*fallback_timer_, false);
  if (done_ || !after_shown_) return;
  done_ = true;
  after_shown_();
}

void UnattendedForm::LockForRun() {
  backup_hint_.BeforeRun(fs_, checks().startup().ProductFolder, folder_);
  TForm_Main::LockForRun();
}

void UnattendedForm::ShowResult(int code) {
  TForm_Main::ShowResult(code);
  if (code == 0) return;
  backup_hint_text_ = backup_hint_.AfterFailure(fs_, code);
  if (backup_hint_text_.empty()) return;
  SetText(Get("Label2"), std::string(kResultFailure) + "\n" + backup_hint_text_);
  widgets::Form::Repaint();
}

void UnattendedForm::OnActivate() {
  TForm_Main::OnActivate();
  AfterShown();
}

void UnattendedForm::OnTimer(widgets::Control& timer) {
  if (&timer == fallback_timer_) {
    AfterShown();
    return;
  }
  TForm_Main::OnTimer(timer);
}

install::RunSettings RunSettingsOf(const TForm_Main& window, const std::string& installer_folder) {
  install::RunSettings s;
  const UpdateDescription& d = window.description();
  const ProductChecks& checks = window.checks();
  const TableBindings& b = checks.bindings();
  s.installer_folder = installer_folder;
  s.product_folder = checks.startup().ProductFolder;
  s.database_folder = checks.DatabaseFolder();
  s.backup_count = d.BackupCount;
  s.backup_file_name = d.BackupFileName;
  s.backup_folders = d.BackupFolders;
  s.db_filter = d.DBFilter;
  s.application_title = kApplicationTitle;
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
}

namespace {

using platform::DialogResult;

// The caption of the window's own error boxes.
constexpr char kErrorCaption[] = "Ошибка";

// Remembers what the run returned; the window itself only shows it.
class RecordingRun : public install::InstallationRun {
 public:
  explicit RecordingRun(install::InstallationRun& inner) : inner_(inner) {}
  int Run(install::MainWindowOps& window) override {
    try {
      code_ = inner_.Run(window);
    } catch (...) {
      threw_ = true;
      throw;
    }
    return code_;
  }
  // A negative code: stopped before anything was locked or changed.
  bool ran() const { return threw_ || code_ >= 0; }
  int code() const { return threw_ ? install::kCodeError : code_; }

 private:
  install::InstallationRun& inner_;
  int code_ = -1;
  bool threw_ = false;
};

const char* YesNo(bool b) { return b ? "yes" : "no"; }

std::string Joined(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) s += (s.empty() ? "" : " ") + a;
  return s.empty() ? "(no switches)" : s;
}

std::string ExitMeaning(int code) {
  switch (code) {
    case kExitSuccess:
      return "the update is installed";
    case kExitCannotStart:
      return "the program could not start";
    case kExitNotStarted:
      return "the installation was not started";
    case kExitRunFailed:
      return "the installation failed";
    case kExitAborted:
      return "an Abort answer ended the installation";
    case kExitNotReady:
      return "the readiness checks refused the installation";
  }
  return "";
}

class Program {
 public:
  Program(platform::Services& services, std::string installer_folder,
          const std::vector<std::string>& args, ProgramFrontEnd& front_end)
      : services_(services),
        folder_(std::move(installer_folder)),
        args_(args),
        front_end_(front_end) {}

  int Run();

 private:
  int Install();
  // Ends the program before any window: the message goes to the log and the console, and
  // `box_text` (Russian, as the window speaks) to a message box when someone may be watching.
  int Stop(int exit, const std::string& message, bool box, const std::string& box_text = "");
  int Finish(int exit);
  void LogDescription(const TForm_Main& form);
  void LogStartup(const StartupVerdict& v);
  void LogTables(const TForm_Main& form);
  // The choices of the command line put on the window; an exit code when they cannot be.
  int ApplyMode(UnattendedForm& form);
  int ApplyComponents(UnattendedForm& form);
  int CheckComponentsForRun(UnattendedForm& form);
  void Press(UnattendedForm& form);
  int ExitCodeAfter(const UnattendedForm& form, const RecordingRun& run,
                    const UnattendedDialogs& dialogs) const;

  platform::Services& services_;
  std::string folder_;
  const std::vector<std::string>& args_;
  ProgramFrontEnd& front_end_;
  Switches switches_;
  std::unique_ptr<FileRunLog> file_log_;
  install::RunLog* log_ = &install::NoRunLog();
};

int Program::Stop(int exit, const std::string& message, bool box, const std::string& box_text) {
  log_->Note(message);
  front_end_.Print("Tarvo Update: " + message + "\n");
  if (box) {
    services_.dialogs->ShowMessage(box_text.empty() ? message : box_text, kErrorCaption,
                                   {DialogResult::kOk}, platform::MessageIcon::kNone);
  }
  return Finish(exit);
}

int Program::Finish(int exit) {
  const std::string meaning =
      switches_.restore != RestoreSwitch::kNone ? RestoreExitMeaning(exit) : ExitMeaning(exit);
  log_->Note("Exit code " + std::to_string(exit) + (meaning.empty() ? "" : ": " + meaning));
  if (!switches_.None()) {
    front_end_.Print("Tarvo Update: exit code " + std::to_string(exit) + ": " + meaning + "\n");
  }
  if (file_log_ && file_log_->write_failed()) {
    front_end_.Print("Tarvo Update: the log " + file_log_->path() + " is incomplete\n");
  }
  return exit;
}

int Program::Run() {
  const SwitchParse parse = ParseSwitches(args_);
  if (!parse.ok()) {
    return Stop(kExitCannotStart, parse.error + ". TarvoUpdate.exe /? lists the switches.",
                !ArgumentsAskForQuiet(args_),
                parse.error_box + ". Список параметров: TarvoUpdate.exe /?");
  }
  switches_ = parse.switches;
  const bool quiet = switches_.Unattended() || switches_.suppress_message_boxes;
  if (switches_.help) {
    front_end_.Print(UsageText());
    if (!quiet) {
      services_.dialogs->ShowMessage(UsageBoxText(), kApplicationTitle, {DialogResult::kOk},
                                     platform::MessageIcon::kInformation);
    }
    return kExitSuccess;
  }
  if (switches_.check) {
    std::ostringstream report;
    const CheckExit code = RunCheck(services_, folder_, switches_.check_replace, report);
    front_end_.Print(report.str());
    return static_cast<int>(code);
  }
  // The log comes first: one that cannot be made stops the program before anything changes.
  if (switches_.log != LogSwitch::kNone) {
    try {
      file_log_ = CreateRunLog(*services_.fs, *services_.clock,
                               switches_.log == LogSwitch::kFile ? switches_.log_file : "");
    } catch (const platform::PlatformError& e) {
      return Stop(kExitCannotStart, e.what(), !quiet,
                  "Не удаётся создать файл журнала " + (switches_.log == LogSwitch::kFile
                                                            ? "\"" + switches_.log_file + "\""
                                                            : std::string("во временной папке")));
    }
    log_ = file_log_.get();
    front_end_.Print("Tarvo Update: log " + file_log_->path() + "\n");
  }
  log_->Note("Tarvo Update started in " + folder_ + " with " + Joined(args_));
  for (const std::string& word : switches_.ignored) {
    log_->Note("\"" + word + "\" is no switch: ignored");
  }
  if (switches_.restore != RestoreSwitch::kNone) {
    return Finish(RunRestore(services_, folder_, switches_, *log_, front_end_));
  }
  if (switches_.Unattended() && switches_.mode == ModeSwitch::kNone) {
    return Stop(kExitNotStarted,
                "/SILENT and /VERYSILENT need /MODE=transfer or /MODE=replace: nothing done",
                false);
  }
  return Install();
}

int Program::Install() {
  // Every box of this start goes through the log; the switches decide which get no person.
  std::unique_ptr<platform::Dialogs> system_dialogs = std::move(services_.dialogs);
  UnattendedForm* window = nullptr;
  CloseAwareDialogs close_aware(*system_dialogs, [&window] { return window && window->closed(); });
  UnattendedDialogs::Policy policy;
  policy.suppress = switches_.suppress_message_boxes;
  policy.answer_information = switches_.Unattended();
  policy.confirm_replace = switches_.mode == ModeSwitch::kReplace;
  auto dialogs_owner = std::make_unique<UnattendedDialogs>(close_aware, *log_, policy);
  UnattendedDialogs& dialogs = *dialogs_owner;
  services_.dialogs = std::move(dialogs_owner);
  struct Restore {
    platform::Services& s;
    std::unique_ptr<platform::Dialogs>& system;
    ~Restore() { s.dialogs = std::move(system); }
  } restore{services_, system_dialogs};

  if (!services_.fs->FileExists(folder_ + kDescriptionFileName)) {
    log_->Note(folder_ + kDescriptionFileName + " not found");
    services_.dialogs->ShowMessage("Не найден файл инициализации!", "Ошибка", {DialogResult::kOk},
                                   platform::MessageIcon::kNone);
    front_end_.Print("Tarvo Update: " + folder_ + kDescriptionFileName + " not found\n");
    return Finish(kExitCannotStart);
  }

  install::InstallerRun run(
      *services_.fs, *services_.dialogs, *services_.clock,
      [&window, this] { return RunSettingsOf(*window, folder_); },
      install::MakeProductDataStages());
  run.SetLog(log_);
  RecordingRun recording(run);
  const ScreenInfo screen =
      switches_.display == Display::kVerySilent ? ScreenInfo{} : front_end_.Screen();
  UnattendedForm form(services_, folder_, screen, &recording);
  window = &form;
  struct Unset {
    UnattendedForm*& w;
    ~Unset() { w = nullptr; }
  } unset{window};

  LogDescription(form);
  LogStartup(form.checks().startup());
  if (const int stop = ApplyComponents(form); stop != 0) return Finish(stop);

  if (!switches_.Unattended()) {
    // In the window the switches only preselect; the person decides.
    if (switches_.mode != ModeSwitch::kNone) ApplyMode(form);
    front_end_.RunWindow(form);
    return Finish(ExitCodeAfter(form, recording, dialogs));
  }

  if (!form.checks().startup().Ready()) {
    return Stop(kExitNotReady, "The readiness checks refuse the installation: nothing done", false);
  }
  if (const int stop = ApplyMode(form); stop != 0) return Finish(stop);
  if (const int stop = CheckComponentsForRun(form); stop != 0) return Finish(stop);

  if (switches_.display == Display::kVerySilent) {
    Press(form);
    form.Close();
  } else {
    form.SetAfterShown([this, &form] {
      form.HideChoiceHint();
      Press(form);
      form.Close();
    });
    front_end_.RunWindow(form);
  }
  return Finish(ExitCodeAfter(form, recording, dialogs));
}

void Program::LogDescription(const TForm_Main& form) {
  const UpdateDescription& d = form.description();
  log_->Note(
      "Update description " + folder_ + kDescriptionFileName + " read: \"" + d.Caption + "\", " +
      std::to_string(d.Components.size()) + " component(s), " + std::to_string(d.BackupCount) +
      " backup folder(s)" +
      (d.DBFilter.empty() ? std::string(", no record filter") : ", record filter " + d.DBFilter));
  for (size_t i = 0; i < d.Components.size(); ++i) {
    const ComponentEntry& c = d.Components[i];
    log_->Note("  Component " + std::to_string(i + 1) + ": \"" + c.Name + "\", file " + c.File +
               (c.Check ? ", checked" : ", not checked") +
               (c.Enabled ? "" : ", fixed by the update") +
               (services_.fs->FileExists(folder_ + c.File) ? "" : ", ARCHIVE MISSING"));
  }
  for (int i = 0; i < d.BackupCount && i < static_cast<int>(d.BackupFolders.size()); ++i) {
    log_->Note("  Backup folder " + std::to_string(i + 1) + ": " + d.BackupFolders[i]);
  }
}

void Program::LogStartup(const StartupVerdict& v) {
  log_->Note("Check: product found: " + std::string(YesNo(v.ProductFound)) +
             (v.ProductFolder.empty() ? "" : " (" + v.ProductFolder + ")"));
  log_->Note("Check: product not running: " + std::string(YesNo(v.ProductIdle)));
  log_->Note("Check: no open estimates: " +
             std::string(v.CheckOpenedSm ? YesNo(v.NoOpenEstimates) : "not checked"));
  log_->Note("Check: version " + v.VersionRowText + ": " +
             (v.VersionSufficient ? "sufficient" : "too old"));
  if (v.Ready() && v.force_replace_mode) {
    log_->Note("Check: the database has no RES.bd: only replacing it is offered");
  }
  log_->Note(std::string("Start-up verdict: ") + (v.Ready() ? "ready" : "refused"));
  for (const std::string& line : v.memo.lines) log_->Note("  " + line);
}

void Program::LogTables(const TForm_Main& form) {
  const TableVerdict& t = form.checks().tables();
  log_->Note(std::string("Mode: ") + (form.TransferMode() ? "transfer" : "replace"));
  if (form.TransferMode()) {
    log_->Note("Check: update modules complete: " + std::string(YesNo(t.UpdateModulesComplete)));
    log_->Note("Check: database intact: " + std::string(YesNo(t.DatabaseIntact)) + " (" +
               form.checks().DatabaseFolder() + ")");
  }
  log_->Note(std::string("Table verdict: ") + (t.Ready() ? "ready" : "refused"));
  for (const std::string& line : t.memo.lines) log_->Note("  " + line);
}

int Program::ApplyMode(UnattendedForm& form) {
  const bool transfer = switches_.mode == ModeSwitch::kTransfer;
  widgets::Control& choice = form.Get(transfer ? "RadioButton1" : "RadioButton2");
  if (transfer && form.checks().startup().force_replace_mode) {
    return switches_.Unattended()
               ? Stop(kExitNotReady,
                      "/MODE=transfer, but the database has no RES.bd: the users' records "
                      "cannot be carried over; nothing done",
                      false)
               : 0;
  }
  if (!choice.enabled) return 0;  // the window already refused; the verdict says why
  if (!choice.checked) form.Click(choice);
  LogTables(form);
  if (switches_.Unattended() && !form.checks().tables().Ready()) {
    return Stop(kExitNotReady, "The table check refuses the installation: nothing done", false);
  }
  return 0;
}

int Program::ApplyComponents(UnattendedForm& form) {
  if (!switches_.components) return 0;
  widgets::Control& list = form.Get("CheckListBox1");
  const int rows = static_cast<int>(list.items.size());
  for (int position : *switches_.components) {
    if (position >= rows) {
      return Stop(kExitCannotStart,
                  "/COMPONENTS names position " + std::to_string(position) +
                      ", but the update has " + std::to_string(rows - 1) + " component(s)",
                  !switches_.Unattended() && !switches_.suppress_message_boxes,
                  "Параметр /COMPONENTS называет компонент " + std::to_string(position) +
                      ", а компонентов в обновлении " + std::to_string(rows - 1));
    }
  }
  for (int row = 1; row < rows; ++row) {
    bool wanted = false;
    for (int position : *switches_.components) wanted = wanted || position == row;
    const widgets::CheckItem& item = list.items[row];
    if (item.checked == wanted) continue;
    if (!item.enabled) {
      log_->Note("Component " + std::to_string(row) + " is fixed by the update and stays " +
                 (item.checked ? "checked" : "unchecked"));
      continue;
    }
    // As a click would, so the window's rule for the install button applies.
    form.ToggleItem(list, row);
  }
  return 0;
}

int Program::CheckComponentsForRun(UnattendedForm& form) {
  std::string chosen;
  for (int row = 1; row < form.ComponentRowCount(); ++row) {
    if (!form.ComponentChecked(row)) continue;
    const std::string file = form.ComponentFile(row);
    if (!services_.fs->FileExists(folder_ + file)) {
      return Stop(kExitNotReady,
                  "The archive " + folder_ + file + " of component " + std::to_string(row) +
                      " is missing: nothing done",
                  false);
    }
    chosen += (chosen.empty() ? "" : ", ") + std::to_string(row) + " (" + file + ")";
  }
  if (chosen.empty()) {
    return Stop(kExitNotStarted, "No component is chosen (see /COMPONENTS): nothing done", false);
  }
  log_->Note("Components to install: " + chosen);
  return 0;
}

void Program::Press(UnattendedForm& form) {
  log_->Note("Installation started");
  try {
    form.Btn_installClick();
  } catch (const std::exception& e) {
    log_->Note(std::string("Error: ") + e.what());
  } catch (...) {
    log_->Note("Error: unknown");
  }
}

int Program::ExitCodeAfter(const UnattendedForm& form, const RecordingRun& run,
                           const UnattendedDialogs& dialogs) const {
  if (run.ran()) {
    if (run.code() == 0) return kExitSuccess;
    if (!form.backup_hint().empty()) log_->Note(form.backup_hint());
    // Without switches the exit code tells only success from failure, as it always could.
    if (!switches_.None() && dialogs.abort_answered()) return kExitAborted;
    return kExitRunFailed;
  }
  const bool refused = !form.checks().startup().Ready() || !form.checks().tables().Ready();
  return refused ? kExitNotReady : kExitNotStarted;
}

}  // namespace

int RunInstallerProgram(platform::Services& services, const std::string& installer_folder,
                        const std::vector<std::string>& args, ProgramFrontEnd& front_end) {
  return Program(services, installer_folder, args, front_end).Run();
}

}  // namespace tarvo::app
