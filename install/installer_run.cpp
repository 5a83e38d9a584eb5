#include "install/installer_run.h"

#include <exception>
#include <stdexcept>

#include "install/backup.h"
#include "install/components.h"

namespace tarvo::install {

RunLog& NoRunLog() {
  static NullRunLog log;
  return log;
}

InstallerRun::InstallerRun(platform::FileSystem& fs, platform::Dialogs& dialogs,
                           platform::Clock& clock, std::function<RunSettings()> settings,
                           std::unique_ptr<DataStages> stages)
    : fs_(fs),
      dialogs_(dialogs),
      clock_(clock),
      settings_(std::move(settings)),
      stages_(std::move(stages)),
      tables_(fs) {}

int InstallerRun::Run(MainWindowOps& window) {
  if (!window.TransferChoiceChecked() && !window.ReplaceChoiceChecked()) {
    window.ShowChoiceHint();
    log_->Note("No installation mode chosen: nothing started");
    return -1;
  }
  const RunSettings settings = settings_ ? settings_() : RunSettings{};
  if (window.TransferChoiceEnabled() && window.ReplaceChoiceChecked()) {
    const platform::DialogResult answer =
        dialogs_.MessageBox(kReplaceWarning, settings.application_title,
                            {platform::DialogResult::kYes, platform::DialogResult::kNo},
                            platform::MessageIcon::kWarning, platform::DialogResult::kNo);
    if (answer != platform::DialogResult::kYes) {
      log_->Note("Replacing the database not confirmed: nothing started");
      return -1;
    }
  }
  int code = 0;
  window.LockForRun();
  std::string error_message;
  try {
    code = Stages(window, settings);
  } catch (const std::exception& e) {
    error_message = e.what();
    if (error_message.empty()) error_message = "Ошибка установки";  // shown in a box
    log_->RunError(error_message);
  } catch (...) {
    log_->RunError("Unknown error");
    log_->RunResult(code == 0 ? kCodeError : code);
    window.ShowResult(code == 0 ? kCodeError : code);
    throw;
  }
  if (!error_message.empty() && code == 0) code = kCodeError;
  log_->RunResult(code);
  window.ShowResult(code);
  // The application's error handler: the error's own message after the result.
  if (!error_message.empty()) {
    dialogs_.MessageBox(error_message, settings.application_title, {platform::DialogResult::kOk},
                        platform::MessageIcon::kError);
  }
  return code;
}

int InstallerRun::Stages(MainWindowOps& window, const RunSettings& settings) {
  for (const auto& [component, path] : settings.table_paths) {
    if (db::TTable* table = tables_.Table(component)) table->SetTableName(path);
  }
  const bool transfer = window.TransferMode();
  if (transfer && !stages_) {
    throw std::runtime_error("This build cannot carry user data over: no table work is built in");
  }

  window.ShowProgressPanel();
  log_->StageStarted(1);
  if (const int code = RunBackupStage(fs_, dialogs_, clock_, window, settings, log_); code != 0) {
    log_->StageEnded(1, code);
    return code;
  }
  log_->StageEnded(1, 0);
  window.ShowStageTick(1);
  window.SetStageActive(1, false);

  if (transfer) {
    window.SetStageActive(2, true);
    log_->StageStarted(2);
    window.SetProgressPercent(0);
    stages_->SaveUserData(tables_, settings.db_filter, window);
    stages_->SetAsideClassifier(tables_, fs_, settings.database_folder, window);
    log_->StageEnded(2, 0);
    window.ShowStageTick(2);
  }

  window.SetStageActive(2, false);
  window.SetStageActive(3, true);
  log_->StageStarted(3);
  const int code = RunComponentStage(fs_, dialogs_, window, settings, log_);
  log_->StageEnded(3, code);
  window.ShowStageTick(3);
  window.SetStageActive(3, false);

  if (transfer) {
    dialogs_.MessageBox(kRestoreNotice, settings.application_title, {platform::DialogResult::kOk},
                        platform::MessageIcon::kInformation);
    window.Repaint();
    window.SetStageActive(4, true);
    log_->StageStarted(4);
    window.SetProgressPercent(0);
    stages_->RestoreUserData(tables_, window);
    stages_->MergeClassifier(tables_, fs_, settings.database_folder, window);
    log_->StageEnded(4, 0);
    window.ShowStageTick(4);
    window.SetStageActive(4, false);
  }
  return code;
}

}  // namespace tarvo::install
