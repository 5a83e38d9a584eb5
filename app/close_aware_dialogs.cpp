#include "app/close_aware_dialogs.h"

#include <algorithm>

namespace tarvo::app {

using platform::DialogResult;

DialogResult CloseAwareDialogs::CancelAnswer(const std::vector<DialogResult>& buttons) {
  auto has = [&](DialogResult r) {
    return std::find(buttons.begin(), buttons.end(), r) != buttons.end();
  };
  if (has(DialogResult::kCancel)) return DialogResult::kCancel;
  if (buttons.empty() || (buttons.size() == 1 && buttons[0] == DialogResult::kOk)) {
    return DialogResult::kOk;
  }
  if (has(DialogResult::kAbort)) return DialogResult::kAbort;
  if (has(DialogResult::kNo)) return DialogResult::kNo;
  if (has(DialogResult::kNoToAll)) return DialogResult::kNoToAll;
  return DialogResult::kCancel;
}

DialogResult CloseAwareDialogs::ShowMessage(const std::string& text, const std::string& caption,
                                            const std::vector<DialogResult>& buttons,
                                            platform::MessageIcon icon,
                                            DialogResult default_button) {
  if (close_requested_ && close_requested_()) return CancelAnswer(buttons);
  return inner_.ShowMessage(text, caption, buttons, icon, default_button);
}

bool CloseAwareDialogs::InputQuery(const std::string& caption, const std::string& prompt,
                                   std::string& value) {
  if (close_requested_ && close_requested_()) return false;
  return inner_.InputQuery(caption, prompt, value);
}

}  // namespace tarvo::app
