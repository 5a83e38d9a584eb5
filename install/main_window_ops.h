// The window operations that an installation run calls, and what it reads back from the window.
// The installation layer is written against this, so a run is tested without a window.
#pragma once

#include <string>

namespace tarvo::install {

// The activity labels of the progress panel.
enum class Activity { kSaving, kData, kChecking };

class MainWindowOps {
 public:
  virtual ~MainWindowOps() = default;

  // Each operation repaints what it changed at once: the run does not return to the message loop.
  virtual void ShowChoiceHint() = 0;
  virtual void HideChoiceHint() = 0;
  virtual void LockForRun() = 0;
  virtual void ShowProgressPanel() = 0;
  virtual void SetStageActive(int stage, bool on) = 0;  // stage 1..4
  virtual void ShowStageTick(int stage) = 0;            // stage 1..4
  virtual void SetActivity(Activity kind, bool on) = 0;
  virtual void SetProgressPercent(int percent) = 0;  // clamped to 0..100
  virtual int ProgressPercent() const = 0;           // the percent shown
  virtual void ShowResult(int code) = 0;             // 0 success, anything else failure
  virtual void Repaint() = 0;
  // Lets the window handle waiting messages (the archive progress handler does this).
  virtual void ProcessPendingMessages() = 0;
  // True once the user asked to close the window (the run goes on; dialogs it opens then close).
  virtual bool CloseRequested() const = 0;

  // The user's choices.
  virtual bool TransferChoiceChecked() const = 0;  // "Перенести данные пользователя ..."
  virtual bool ReplaceChoiceChecked() const = 0;  // "Заменить старую базу данных на новую"
  virtual bool TransferChoiceEnabled() const = 0;
  virtual bool TransferMode() const = 0;
  // Rows of the component list: row 0 is the header row, component i is row i.
  virtual int ComponentRowCount() const = 0;
  virtual bool ComponentChecked(int row) const = 0;
  virtual std::string ComponentFile(int row) const = 0;  // relative to the installer folder
};

}  // namespace tarvo::install
