// A window that records what the data stages do to it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "install/main_window_ops.h"

namespace tarvo::install::testing {

class FakeWindow : public MainWindowOps {
 public:
  std::vector<int> percents;          // every SetProgressPercent, clamped
  std::vector<std::string> activity;  // "data+", "data-"
  int shown = 0;

  void ShowChoiceHint() override {}
  void HideChoiceHint() override {}
  void LockForRun() override {}
  void ShowProgressPanel() override {}
  void SetStageActive(int, bool) override {}
  void ShowStageTick(int) override {}
  void SetActivity(Activity kind, bool on) override {
    const char* k = kind == Activity::kData ? "data" : kind == Activity::kSaving ? "save" : "check";
    activity.push_back(std::string(k) + (on ? "+" : "-"));
  }
  void SetProgressPercent(int p) override {
    shown = std::clamp(p, 0, 100);
    percents.push_back(shown);
  }
  int ProgressPercent() const override { return shown; }
  void ShowResult(int) override {}
  void Repaint() override {}
  void ProcessPendingMessages() override {}
  bool CloseRequested() const override { return false; }
  bool TransferChoiceChecked() const override { return true; }
  bool ReplaceChoiceChecked() const override { return false; }
  bool TransferChoiceEnabled() const override { return true; }
  bool TransferMode() const override { return true; }
  int ComponentRowCount() const override { return 1; }
  bool ComponentChecked(int) const override { return false; }
  std::string ComponentFile(int) const override { return ""; }
};

}  // namespace tarvo::install::testing
