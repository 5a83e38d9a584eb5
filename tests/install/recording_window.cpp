#include "tests/install/recording_window.h"

#include <algorithm>

#include "platform/auto_dialogs.h"

namespace tarvo::install::testing {

bool RecordingWindow::Logged(const std::string& line) const {
  return std::find(log.begin(), log.end(), line) != log.end();
}

void RecordingWindow::ShowChoiceHint() { log.push_back("hint"); }
void RecordingWindow::HideChoiceHint() { log.push_back("hide hint"); }
void RecordingWindow::LockForRun() { log.push_back("lock"); }
void RecordingWindow::ShowProgressPanel() { log.push_back("panel"); }

void RecordingWindow::SetStageActive(int stage, bool on) {
  log.push_back("stage " + std::to_string(stage) + (on ? " on" : " off"));
}

void RecordingWindow::ShowStageTick(int stage) { log.push_back("tick " + std::to_string(stage)); }

void RecordingWindow::SetActivity(Activity kind, bool on) {
  const char* k = kind == Activity::kData ? "data" : kind == Activity::kSaving ? "save" : "check";
  activity.push_back(std::string(k) + (on ? "+" : "-"));
}

void RecordingWindow::SetProgressPercent(int p) {
  percent = std::clamp(p, 0, 100);
  percents.push_back(percent);
}

void RecordingWindow::ShowResult(int code) {
  result = code;
  if (dialogs) dialogs_at_result = dialogs->shown().size();
  log.push_back(code == 0 ? "result ok" : "result failed");
}

void RecordingWindow::Repaint() { log.push_back("repaint"); }

}  // namespace tarvo::install::testing
