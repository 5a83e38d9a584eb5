#include "install/installer_run.h"

#include <exception>
#include <stdexcept>

#include "db/family_journal.h"
#include "install/backup.h"
#include "install/components.h"
#include "install/install_error.h"
#include "install/run_progress.h"

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
        dialogs_.ShowMessage(kReplaceWarning, settings.application_title,
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
    dialogs_.ShowMessage(error_message, settings.application_title, {platform::DialogResult::kOk},
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
    throw InstallError("This build cannot carry user data over: no table work is built in");
  }

  window.ShowProgressPanel();
  // Where an earlier run stopped. Its users' data may be only in the user data tables now: this
  // run either finishes that installation or touches nothing.
  const std::string progress_path = ProgressPath(settings);
  const ProgressState state = ReadRunProgress(fs_, progress_path);
  const UnfinishedVerdict unfinished =
      JudgeUnfinished(state, settings, transfer, stages_ != nullptr);
  if (unfinished.unfinished) {
    log_->Note(unfinished.log_note);
    if (!unfinished.resumable) {
      dialogs_.ShowMessage(unfinished.message, settings.application_title,
                           {platform::DialogResult::kOk}, platform::MessageIcon::kError);
      return kCodeUnfinished;
    }
  }
  const RunStep resume = unfinished.resumable ? state.progress.step : RunStep::kNone;
  for (const std::string& note : RepairAfterKilledRun(fs_, window, settings, state))
    log_->Note(note);
  if (stages_ && fs_.DirectoryExists(settings.database_folder) &&
      stages_->RecoverClassifierSetAside(fs_, settings.database_folder))
    log_->Note("The classifier set-aside left by an interrupted run was made whole");

  RunProgress progress;
  progress.installer_folder = settings.installer_folder;
  progress.database_folder = settings.database_folder;
  log_->StageStarted(1);
  if (resume == RunStep::kNone) {
    if (const int code =
            RunBackupStage(fs_, dialogs_, clock_, window, settings, log_, &progress.backup_path);
        code != 0) {
      log_->StageEnded(1, code);
      return code;
    }
  } else {
    // The backup of the database as it was before any of this is the earlier run's.
    progress.backup_path = state.progress.backup_path;
    log_->Note("Backup made by the interrupted run: " + progress.backup_path);
  }
  log_->StageEnded(1, 0);
  window.ShowStageTick(1);
  window.SetStageActive(1, false);

  if (transfer) {
    window.SetStageActive(2, true);
    log_->StageStarted(2);
    window.SetProgressPercent(0);
    if (resume == RunStep::kNone) {
      {
        // The user data tables change together or not at all.
        db::JournalSet set(fs_, settings.installer_folder, "TarvoUpdate_save");
        stages_->SaveUserData(tables_, settings.db_filter, window);
        set.Commit();
      }
      stages_->SetAsideClassifier(tables_, fs_, settings.database_folder, window);
      // From here on the users' data may exist only in the user data tables and the backup.
      progress.step = RunStep::kSaved;
      WriteRunProgress(fs_, progress_path, progress);
    } else {
      log_->Note("The users' data were saved by the interrupted run");
    }
    log_->StageEnded(2, 0);
    window.ShowStageTick(2);
  } else {
    progress.step = RunStep::kExtracting;
    WriteRunProgress(fs_, progress_path, progress);
  }

  window.SetStageActive(2, false);
  window.SetStageActive(3, true);
  log_->StageStarted(3);
  int code = 0;
  if (resume != RunStep::kInstalled) {
    code = RunComponentStage(fs_, dialogs_, window, settings, log_);
    if (code == 0) {
      FlushExtractedFiles(fs_, window, settings);
    } else {
      // The stage failed and says so; what it did install is written through all the same.
      try {
        FlushExtractedFiles(fs_, window, settings);
      } catch (const std::exception& e) {
        log_->Note(e.what());
      }
    }
    if (transfer && code == 0) {
      progress.step = RunStep::kInstalled;
      WriteRunProgress(fs_, progress_path, progress);
    }
  } else {
    log_->Note("The components were installed by the interrupted run");
  }
  log_->StageEnded(3, code);
  window.ShowStageTick(3);
  window.SetStageActive(3, false);

  if (transfer) {
    dialogs_.ShowMessage(kRestoreNotice, settings.application_title, {platform::DialogResult::kOk},
                         platform::MessageIcon::kInformation);
    window.Repaint();
    window.SetStageActive(4, true);
    log_->StageStarted(4);
    window.SetProgressPercent(0);
    {
      // One commit point for every table the restore and the merge change; redone whole after
      // a kill, which finds nothing of an uncommitted restore.
      db::JournalSet set(fs_, settings.database_folder, "TarvoUpdate_restore");
      stages_->RestoreUserData(tables_, window);
      stages_->MergeClassifier(tables_, fs_, settings.database_folder, window);
      set.Commit();
    }
    stages_->DropClassifierSetAside(fs_, settings.database_folder);
    log_->StageEnded(4, 0);
    window.ShowStageTick(4);
    window.SetStageActive(4, false);
  }
  DeleteRunProgress(fs_, progress_path);
  return code;
}

}  // namespace tarvo::install
