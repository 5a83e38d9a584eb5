// Message boxes and engine questions of a run nobody may be watching: each question and its
// answer go to the run log, and the questions an administrator settled on the command line are
// answered without a box.
#pragma once

#include <string>
#include <vector>

#include "install/run_log.h"
#include "platform/services.h"

namespace tarvo::app {

class UnattendedDialogs : public platform::Dialogs {
 public:
  struct Policy {
    // /SUPPRESSMSGBOXES: every box gets its documented default answer (DefaultAnswer).
    bool suppress = false;
    // /SILENT and /VERYSILENT: boxes that only inform (OK alone, information icon) are closed
    // with OK at once; a run nobody watches must not stop on them.
    bool answer_information = false;
    // An explicit /MODE=replace: the replacement warning is answered Yes without a box.
    bool confirm_replace = false;
  };

  UnattendedDialogs(platform::Dialogs& inner, install::RunLog& log, Policy policy)
      : inner_(inner), log_(log), policy_(policy) {}

  platform::DialogResult ShowMessage(const std::string& text, const std::string& caption,
                                     const std::vector<platform::DialogResult>& buttons,
                                     platform::MessageIcon icon,
                                     platform::DialogResult default_button) override;
  bool InputQuery(const std::string& caption, const std::string& prompt,
                  std::string& value) override;

  // The documented default answers: the replacement warning Yes when `confirm_replace`, else No;
  // Abort where offered (a failure dialog: the step fails); No where offered (an overwrite
  // question); OK for a box that only informs; otherwise the box's default button.
  static platform::DialogResult DefaultAnswer(const std::string& text,
                                              const std::vector<platform::DialogResult>& buttons,
                                              platform::DialogResult default_button,
                                              bool confirm_replace);

  // Whether any box was answered Abort (by default or by a person).
  bool abort_answered() const { return abort_answered_; }

 private:
  void Record(const std::string& caption, const std::string& text,
              const std::vector<platform::DialogResult>& buttons, platform::DialogResult answer,
              bool automatic);

  platform::Dialogs& inner_;
  install::RunLog& log_;
  Policy policy_;
  bool abort_answered_ = false;
};

// "Abort", "Yes", ... as the buttons read.
std::string DialogResultName(platform::DialogResult r);

}  // namespace tarvo::app
