// The window as an installation run sees it, recording what the run told it: the tests read the
// order of the steps, the percents and activity labels shown, and the result.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "install/main_window_ops.h"

namespace tarvo::platform {
class AutoDialogs;
}

namespace tarvo::install::testing {

class RecordingWindow : public MainWindowOps {
 public:
  struct Component {
    bool checked = true;
    std::string file;
  };

  // Every step in order: "hint", "hide hint", "lock", "panel", "stage 2 on", "tick 2",
  // "repaint", "result ok" or "result failed". Tests may add lines of their own.
  std::vector<std::string> log;
  std::vector<int> percents;                       // every SetProgressPercent, clamped
  std::vector<std::string> activity;               // "data+", "data-", "save+", "check-", ...
  int percent = 0;                                 // the percent shown
  int result = -100;                               // the last ShowResult code; -100 before any
  const platform::AutoDialogs* dialogs = nullptr;  // to see what was asked before the result
  size_t dialogs_at_result = 0;

  // The user's choices; row i of the component list is components[i - 1].
  bool transfer_checked = true;
  bool replace_checked = false;
  bool transfer_enabled = true;
  std::vector<Component> components;

  // Checks the mode's choice and clears the other's.
  void ChooseTransfer(bool transfer) {
    transfer_checked = transfer;
    replace_checked = !transfer;
  }
  bool Logged(const std::string& line) const;

  void ShowChoiceHint() override;
  void HideChoiceHint() override;
  void LockForRun() override;
  void ShowProgressPanel() override;
  void SetStageActive(int stage, bool on) override;
  void ShowStageTick(int stage) override;
  void SetActivity(Activity kind, bool on) override;
  void SetProgressPercent(int p) override;
  int ProgressPercent() const override { return percent; }
  void ShowResult(int code) override;
  void Repaint() override;
  void ProcessPendingMessages() override {}
  bool CloseRequested() const override { return false; }
  bool TransferChoiceChecked() const override { return transfer_checked; }
  bool ReplaceChoiceChecked() const override { return replace_checked; }
  bool TransferChoiceEnabled() const override { return transfer_enabled; }
  bool TransferMode() const override { return transfer_checked; }
  int ComponentRowCount() const override { return static_cast<int>(components.size()) + 1; }
  bool ComponentChecked(int row) const override { return components.at(row - 1).checked; }
  std::string ComponentFile(int row) const override { return components.at(row - 1).file; }
};

}  // namespace tarvo::install::testing
