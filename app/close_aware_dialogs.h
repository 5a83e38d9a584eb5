// Message boxes that stop asking once the user has asked to close the window: a run goes on
// after a close request (it cannot be interrupted safely), and every box it opens afterwards
// closes at once as if the user had cancelled it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/services.h"

namespace tarvo::app {

class CloseAwareDialogs : public platform::Dialogs {
 public:
  CloseAwareDialogs(platform::Dialogs& inner, std::function<bool()> close_requested)
      : inner_(inner), close_requested_(std::move(close_requested)) {}

  platform::DialogResult ShowMessage(const std::string& text, const std::string& caption,
                                     const std::vector<platform::DialogResult>& buttons,
                                     platform::MessageIcon icon,
                                     platform::DialogResult default_button) override;
  bool InputQuery(const std::string& caption, const std::string& prompt,
                  std::string& value) override;

  // What a box closed without a choice answers: Cancel where offered, OK for a lone OK, else the
  // refusing choice (Abort, then No), as the system's own message box does.
  static platform::DialogResult CancelAnswer(const std::vector<platform::DialogResult>& buttons);

 private:
  platform::Dialogs& inner_;
  std::function<bool()> close_requested_;
};

}  // namespace tarvo::app
