// Dialogs answered without a person: by tests and by unattended runs. Each question is recorded.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/services.h"

namespace tarvo::platform {

class AutoDialogs : public Dialogs {
 public:
  struct Shown {
    std::string text;
    std::string caption;
    std::vector<DialogResult> buttons;
    MessageIcon icon = MessageIcon::kNone;
    DialogResult answer = DialogResult::kNone;
  };

  // Answers queued here are given in order; when none is queued, `default_answer` decides (its
  // default picks the box's default button, or Abort/No where offered for engine questions).
  void QueueAnswer(DialogResult answer) { answers_.push_back(answer); }
  void QueueInput(std::string value, bool ok = true) { inputs_.push_back({std::move(value), ok}); }
  std::function<DialogResult(const Shown&)> default_answer;

  DialogResult ShowMessage(const std::string& text, const std::string& caption,
                           const std::vector<DialogResult>& buttons, MessageIcon icon,
                           DialogResult default_button = DialogResult::kNone) override;
  bool InputQuery(const std::string& caption, const std::string& prompt,
                  std::string& value) override;

  const std::vector<Shown>& shown() const { return shown_; }
  void ClearShown() { shown_.clear(); }

 private:
  std::deque<DialogResult> answers_;
  std::deque<std::pair<std::string, bool>> inputs_;
  std::vector<Shown> shown_;
};

}  // namespace tarvo::platform
