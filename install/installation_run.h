// What the install button starts. The installation layer implements it; the window only calls it.
#pragma once

#include "install/main_window_ops.h"

namespace tarvo::install {

class InstallationRun {
 public:
  virtual ~InstallationRun() = default;
  // Runs the installation against the window and returns the run result code (0 success), or a
  // negative value when it stopped before locking the window (no mode chosen, not confirmed).
  virtual int Run(MainWindowOps& window) = 0;
};

}  // namespace tarvo::install
