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

// What the stages of one run share.
struct InstallerRun::StageRun {
  MainWindowOps& window;
  const RunSettings& settings;
  const bool transfer;
  const std::string progress_path;
  ProgressState earlier = {};       // the record an earlier run left, if any
  RunStep resume = RunStep::kNone;  // the step that run got to, when this run finishes it
  RunProgress progress = {};        // this run's record
};

int InstallerRun::Stages(MainWindowOps& window, const RunSettings& settings) {
  for (const auto& [component, path] : settings.table_paths) {
    if (db::TTable* table = tables_.Table(component)) table->SetTableName(path);
  }
  const bool transfer = window.TransferMode();
  if (transfer && !stages_) {
    throw InstallError("This build cannot carry user data over: no table work is built in");
  }

  window.ShowProgressPanel();
  StageRun run{window, settings, transfer, ProgressPath(settings)};
  if (!TakeOverEarlierRun(run)) return kCodeUnfinished;

  run.progress.installer_folder = settings.installer_folder;
  run.progress.database_folder = settings.database_folder;
  if (const int code = BackupStage(run); code != 0) return code;
  if (transfer) {
    SaveStage(run);
  } else {
    run.progress.step = RunStep::kExtracting;
    WriteRunProgress(fs_, run.progress_path, run.progress);
  }
  window.SetStageActive(2, false);
  const int code = ComponentStage(run);
  if (transfer) RestoreStage(run);
  DeleteRunProgress(fs_, run.progress_path);
  return code;
}

// Where an earlier run stopped. Its users' data may be only in the user data tables now: this
// run either finishes that installation or touches nothing (false). What a killed run left
// half-done is put right.
bool InstallerRun::TakeOverEarlierRun(StageRun& run) {
  const RunSettings& settings = run.settings;
  run.earlier = ReadRunProgress(fs_, run.progress_path);
  const UnfinishedVerdict unfinished =
      JudgeUnfinished(run.earlier, settings, run.transfer, stages_ != nullptr);
  if (unfinished.unfinished) {
    log_->Note(unfinished.log_note);
    if (!unfinished.resumable) {
      dialogs_.ShowMessage(unfinished.message, settings.application_title,
                           {platform::DialogResult::kOk}, platform::MessageIcon::kError);
      return false;
    }
  }
  run.resume = unfinished.resumable ? run.earlier.progress.step : RunStep::kNone;
  for (const std::string& note : RepairAfterKilledRun(fs_, run.window, settings, run.earlier))
    log_->Note(note);
  if (stages_ && fs_.DirectoryExists(settings.database_folder) &&
      stages_->RecoverClassifierSetAside(fs_, settings.database_folder))
    log_->Note("The classifier set-aside left by an interrupted run was made whole");
  return true;
}

// Stage 1: the backup of the database; the result code of the backup when it fails.
int InstallerRun::BackupStage(StageRun& run) {
  log_->StageStarted(1);
  if (run.resume == RunStep::kNone) {
    if (const int code = RunBackupStage(fs_, dialogs_, clock_, run.window, run.settings, log_,
                                        &run.progress.backup_path);
        code != 0) {
      log_->StageEnded(1, code);
      return code;
    }
  } else {
    // The backup of the database as it was before any of this is the earlier run's.
    run.progress.backup_path = run.earlier.progress.backup_path;
    log_->Note("Backup made by the interrupted run: " + run.progress.backup_path);
  }
  log_->StageEnded(1, 0);
  run.window.ShowStageTick(1);
  run.window.SetStageActive(1, false);
  return 0;
}

// Stage 2 (transfer mode): the users' data into the user data tables, the classifier set aside.
void InstallerRun::SaveStage(StageRun& run) {
  const RunSettings& settings = run.settings;
  run.window.SetStageActive(2, true);
  log_->StageStarted(2);
  run.window.SetProgressPercent(0);
  if (run.resume == RunStep::kNone) {
    {
      // The user data tables change together or not at all.
      db::JournalSet set(fs_, settings.installer_folder, "TarvoUpdate_save");
      stages_->SaveUserData(tables_, settings.db_filter, run.window);
      set.Commit();
    }
    stages_->SetAsideClassifier(tables_, fs_, settings.database_folder, run.window);
    // From here on the users' data may exist only in the user data tables and the backup.
    run.progress.step = RunStep::kSaved;
    WriteRunProgress(fs_, run.progress_path, run.progress);
  } else {
    log_->Note("The users' data were saved by the interrupted run");
  }
  log_->StageEnded(2, 0);
  run.window.ShowStageTick(2);
}

// Stage 3: the components; the result code of the stage.
int InstallerRun::ComponentStage(StageRun& run) {
  const RunSettings& settings = run.settings;
  run.window.SetStageActive(3, true);
  log_->StageStarted(3);
  int code = 0;
  if (run.resume != RunStep::kInstalled) {
    code = RunComponentStage(fs_, dialogs_, run.window, settings, log_);
    if (code == 0) {
      FlushExtractedFiles(fs_, run.window, settings);
    } else {
      // The stage failed and says so; what it did install is written through all the same.
      try {
        FlushExtractedFiles(fs_, run.window, settings);
      } catch (const std::exception& e) {
        log_->Note(e.what());
      }
    }
    if (run.transfer && code == 0) {
      run.progress.step = RunStep::kInstalled;
      WriteRunProgress(fs_, run.progress_path, run.progress);
    }
  } else {
    log_->Note("The components were installed by the interrupted run");
  }
  log_->StageEnded(3, code);
  run.window.ShowStageTick(3);
  run.window.SetStageActive(3, false);
  return code;
}

// Stage 4 (transfer mode): the users' data back into the new database, the classifier merged.
void InstallerRun::RestoreStage(StageRun& run) {
  const RunSettings& settings = run.settings;
  dialogs_.ShowMessage(kRestoreNotice, settings.application_title, {platform::DialogResult::kOk},
                       platform::MessageIcon::kInformation);
  run.window.Repaint();
  run.window.SetStageActive(4, true);
  log_->StageStarted(4);
  run.window.SetProgressPercent(0);
  {
    // One commit point for every table the restore and the merge change; redone whole after
    // a kill, which finds nothing of an uncommitted restore.
    db::JournalSet set(fs_, settings.database_folder, "TarvoUpdate_restore");
    stages_->RestoreUserData(tables_, run.window);
    stages_->MergeClassifier(tables_, fs_, settings.database_folder, run.window);
    set.Commit();
  }
  stages_->DropClassifierSetAside(fs_, settings.database_folder);
  log_->StageEnded(4, 0);
  run.window.ShowStageTick(4);
  run.window.SetStageActive(4, false);
}

}  // namespace tarvo::install
