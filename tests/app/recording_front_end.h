// The program's front end in the tests: it records what was printed for the console and how many
// windows were shown, and closes each window at once unless a test acts on it.
#pragma once

#include <string>

#include "app/form_main.h"
#include "app/installer_program.h"

namespace tarvo::testing {

class RecordingFrontEnd : public app::ProgramFrontEnd {
 public:
  std::string printed;
  int windows = 0;

  app::ScreenInfo Screen() override { return {}; }
  void RunWindow(app::TForm_Main& form) override {
    ++windows;
    form.Close();
  }
  void Print(const std::string& text) override { printed += text; }
};

}  // namespace tarvo::testing
