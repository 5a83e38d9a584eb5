// The installation run started by the install button: checks, then the four stages, then the
// result on the window.
#pragma once

#include <functional>
#include <memory>

#include "db/catalogue.h"
#include "install/data_stages.h"
#include "install/installation_run.h"
#include "install/run_log.h"
#include "install/run_settings.h"
#include "platform/services.h"

namespace tarvo::install {

inline constexpr char kReplaceWarning[] =
    "Вы выбрали вариант полной замены существующей БД на новую. Будьте осторожны! Если текущая "
    "БД содержит пользовательские изменения, то все они исчезнут после инсталляции данного "
    "обновления. Продолжать процесс установки?";
inline constexpr char kRestoreNotice[] =
    "Установка новой базы данных успешно завершена. Сейчас будет производиться добавление "
    "обоснований пользователя из предыдущей базы. Этот процесс может занять от нескольких "
    "десятков секунд до нескольких минут (зависит от скорости Вашего компьютера).";

class InstallerRun : public InstallationRun {
 public:
  // `settings` is asked once per run, when the button is pressed (the window binds the table
  // paths when the mode is chosen). `stages` may be null: a transfer-mode run then fails.
  InstallerRun(platform::FileSystem& fs, platform::Dialogs& dialogs, platform::Clock& clock,
               std::function<RunSettings()> settings, std::unique_ptr<DataStages> stages);

  int Run(MainWindowOps& window) override;

  db::TableCatalogue& tables() { return tables_; }
  // Where the run writes its steps; null restores the default, which writes nothing.
  void SetLog(RunLog* log) { log_ = log ? log : &NoRunLog(); }

 private:
  struct StageRun;  // what the stages of one run share (installer_run.cpp)

  int Stages(MainWindowOps& window, const RunSettings& settings);
  bool TakeOverEarlierRun(StageRun& run);
  int BackupStage(StageRun& run);
  void SaveStage(StageRun& run);
  int ComponentStage(StageRun& run);
  void RestoreStage(StageRun& run);

  platform::FileSystem& fs_;
  platform::Dialogs& dialogs_;
  platform::Clock& clock_;
  std::function<RunSettings()> settings_;
  std::unique_ptr<DataStages> stages_;
  db::TableCatalogue tables_;
  RunLog* log_ = &NoRunLog();
};

}  // namespace tarvo::install
