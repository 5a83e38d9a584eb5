// The Win32 front end of TarvoUpdate.exe.
#pragma once

#include <functional>
#include <string>

#include "app/installer_program.h"

namespace tarvo::app {

class Win32FrontEnd : public ProgramFrontEnd {
 public:
  explicit Win32FrontEnd(std::function<void(const std::string&)> print)
      : print_(std::move(print)) {}
  ScreenInfo Screen() override;
  void RunWindow(TForm_Main& form) override;
  void Print(const std::string& text) override;

 private:
  std::function<void(const std::string&)> print_;
};

}  // namespace tarvo::app
