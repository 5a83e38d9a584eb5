// The main window of the installer as state: every named control, the events of the window and
// the operations an installation run calls. Front ends draw it; tests assert on it.
#pragma once

#include <memory>
#include <string>

#include "app/readiness.h"
#include "app/update_description.h"
#include "install/installation_run.h"
#include "install/main_window_ops.h"
#include "platform/services.h"
#include "widgets/form.h"

namespace tarvo::app {

struct ScreenInfo {
  int pixels_per_inch = 96;
  int width = 1024;
  int height = 768;
};

inline constexpr char kComponentsHeader[] = "Устанавливаемые компоненты";
inline constexpr char kChoiceHintTitle[] = "Информация";
inline constexpr char kChoiceHintText[] = "Необходимо выбрать вариант установки обновления";
inline constexpr char kResultSuccess[] = "Обновление успешно установлено на Ваш компьютер.";
inline constexpr char kResultFailure[] = "Не удалось установить обновление.";
inline constexpr char kVersionLabel[] = "3.55";
inline constexpr int kChoiceHintMs = 6500;

class TForm_Main : public widgets::Form, public install::MainWindowOps {
 public:
  // Builds the controls at 96 pixels per inch, scales them to the screen and runs FormCreate.
  // `run` is what the install button starts; it may be null (the button then does nothing).
  TForm_Main(platform::Services& services, std::string installer_folder, ScreenInfo screen,
             install::InstallationRun* run);

  // Window events (front ends call them through widgets::Form: Activate, Click, ToggleItem,
  // TimerElapsed, Close).
  void Btn_installClick();

  // install::MainWindowOps
  void ShowChoiceHint() override;
  void HideChoiceHint() override;
  void LockForRun() override;
  void ShowProgressPanel() override;
  void SetStageActive(int stage, bool on) override;
  void ShowStageTick(int stage) override;
  void SetActivity(install::Activity kind, bool on) override;
  void SetProgressPercent(int percent) override;
  int ProgressPercent() const override;
  void ShowResult(int code) override;
  // The run calls it after a box of its own closed: everything is painted again.
  void Repaint() override { widgets::Form::RedrawAll(); }
  void ProcessPendingMessages() override { widgets::Form::ProcessPendingMessages(); }
  bool CloseRequested() const override { return closed(); }
  bool TransferChoiceChecked() const override;
  bool ReplaceChoiceChecked() const override;
  bool TransferChoiceEnabled() const override;
  bool TransferMode() const override { return transfer_mode_; }
  int ComponentRowCount() const override;
  bool ComponentChecked(int row) const override;
  std::string ComponentFile(int row) const override;

  bool RunFinished() const { return run_finished_; }
  bool ComponentFileMissing() const { return component_file_missing_; }
  double scale() const { return scale_; }
  bool running() const { return running_; }
  const UpdateDescription& description() const { return description_; }
  const ProductChecks& checks() const { return *checks_; }
  ProductChecks& checks() { return *checks_; }
  const ScreenInfo& screen() const { return screen_; }

 protected:
  void OnActivate() override;
  void OnClick(widgets::Control& c) override;
  void OnItemCheckChanged(widgets::Control& list, int index) override;
  void OnTimer(widgets::Control& timer) override;
  void OnClose() override;

 private:
  struct LayoutRow;                  // one control as designed (form_main.cpp)
  static const LayoutRow kLayout[];  // every control, in creation order

  void BuildLayout();
  void FormCreate();
  void RemoveOpenEstimatesRow();
  void ShowReadinessRows(const StartupVerdict& v);
  void ShowMemo(const MemoText& memo);
  void DisableChoosing();
  void ModeChoice();
  void ApplyInstallButtonRule();
  void SetAllChecks(bool checked);
  void FormClose();
  widgets::Control& StageLabel(int stage);

  platform::Services& services_;
  std::string installer_folder_;
  ScreenInfo screen_;
  install::InstallationRun* run_;

  UpdateDescription description_;
  std::unique_ptr<ProductChecks> checks_;
  bool component_file_missing_ = false;
  bool transfer_mode_ = true;
  bool run_finished_ = false;
  bool activated_ = false;
  bool running_ = false;
  double scale_ = 1.0;

  // The controls the window's rules touch; all are owned by the form.
  widgets::Control *Shape1_, *Label1_, *StatusBar1_, *Panel1_, *Panel2_;
  widgets::Control *Image_path_, *Label_1_, *StaticText1_, *Image_1_;
  widgets::Control *Image_state_, *Label_2_, *Image_2_;
  widgets::Control *Image_open_, *Label_3_, *Image_3_, *Bevel_3_;
  widgets::Control *Image_version_, *Label_4_, *Label_Version_, *Image_4_, *Bevel_4_;
  widgets::Control *Image_info_, *Memo1_, *Image_comp_, *CheckListBox1_;
  widgets::Control *RadioButton1_, *RadioButton2_, *Label_for_Radio1_, *Label_for_Radio2_;
  widgets::Control *Btn_All_ON_, *Btn_All_OFF_, *Btn_install_, *Btn_exit_;
  widgets::Control *Panel_info_, *Label2_, *GrPanel1_, *GrProgressBar1_;
  widgets::Control *GrLabel_info_save_, *GrLabel_info_data_, *GrLabel_info_check_;
  widgets::Control *ChoiceHint_, *Timer1_;
};

}  // namespace tarvo::app
