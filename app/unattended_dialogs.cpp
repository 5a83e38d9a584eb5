#include "app/unattended_dialogs.h"

#include <algorithm>

#include "install/installer_run.h"

namespace tarvo::app {

using platform::DialogResult;

namespace {

bool Offers(const std::vector<DialogResult>& buttons, DialogResult r) {
  return std::find(buttons.begin(), buttons.end(), r) != buttons.end();
}

std::string OneLine(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  std::replace(s.begin(), s.end(), '\r', ' ');
  return s;
}

}  // namespace

std::string DialogResultName(DialogResult r) {
  switch (r) {
    case DialogResult::kNone:
      return "none";
    case DialogResult::kOk:
      return "OK";
    case DialogResult::kCancel:
      return "Cancel";
    case DialogResult::kAbort:
      return "Abort";
    case DialogResult::kRetry:
      return "Retry";
    case DialogResult::kIgnore:
      return "Ignore";
    case DialogResult::kYes:
      return "Yes";
    case DialogResult::kNo:
      return "No";
    case DialogResult::kAll:
      return "All";
    case DialogResult::kNoToAll:
      return "No to all";
    case DialogResult::kYesToAll:
      return "Yes to all";
  }
  return "?";
}

DialogResult UnattendedDialogs::DefaultAnswer(const std::string& text,
                                              const std::vector<DialogResult>& buttons,
                                              DialogResult default_button, bool confirm_replace) {
  if (text == install::kReplaceWarning) {
    return confirm_replace ? DialogResult::kYes : DialogResult::kNo;
  }
  if (Offers(buttons, DialogResult::kAbort)) return DialogResult::kAbort;
  if (Offers(buttons, DialogResult::kNo)) return DialogResult::kNo;
  if (buttons.empty() || (buttons.size() == 1 && buttons[0] == DialogResult::kOk)) {
    return DialogResult::kOk;
  }
  if (default_button != DialogResult::kNone && Offers(buttons, default_button)) {
    return default_button;
  }
  return buttons.front();
}

DialogResult UnattendedDialogs::ShowMessage(const std::string& text, const std::string& caption,
                                            const std::vector<DialogResult>& buttons,
                                            platform::MessageIcon icon,
                                            DialogResult default_button) {
  const bool replace_warning = text == install::kReplaceWarning;
  const bool informs =
      icon == platform::MessageIcon::kInformation &&
      (buttons.empty() || (buttons.size() == 1 && buttons[0] == DialogResult::kOk));
  const bool automatic = policy_.suppress || (replace_warning && policy_.confirm_replace) ||
                         (informs && policy_.answer_information);
  const DialogResult answer =
      automatic ? DefaultAnswer(text, buttons, default_button, policy_.confirm_replace)
                : inner_.ShowMessage(text, caption, buttons, icon, default_button);
  Record(caption, text, buttons, answer, automatic);
  return answer;
}

bool UnattendedDialogs::InputQuery(const std::string& caption, const std::string& prompt,
                                   std::string& value) {
  if (policy_.suppress) {
    log_.Note("Question \"" + OneLine(caption) + "\": " + OneLine(prompt) +
              " -> cancelled (automatic)");
    return false;
  }
  const bool ok = inner_.InputQuery(caption, prompt, value);
  // The text typed may be a password: it stays out of the log.
  log_.Note("Question \"" + OneLine(caption) + "\": " + OneLine(prompt) + " -> " +
            (ok ? "answered" : "cancelled") + " (by the user)");
  return ok;
}

void UnattendedDialogs::Record(const std::string& caption, const std::string& text,
                               const std::vector<DialogResult>& buttons, DialogResult answer,
                               bool automatic) {
  if (answer == DialogResult::kAbort) abort_answered_ = true;
  std::string offered;
  for (DialogResult b : buttons) offered += (offered.empty() ? "" : "/") + DialogResultName(b);
  log_.Note("Message \"" + OneLine(caption) + "\": " + OneLine(text) + " [" + offered + "] -> " +
            DialogResultName(answer) + (automatic ? " (automatic)" : " (by the user)"));
}

}  // namespace tarvo::app
