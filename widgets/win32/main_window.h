// The real Win32 window of a widgets::Form: creates native controls from the state, paints the
// drawn ones, delivers the user's input back to the form and repaints every change at once.
#pragma once

#include <string>

#include "widgets/form.h"

namespace tarvo::widgets::win32 {

struct ScreenMetrics {
  int pixels_per_inch = 96;
  int width = 1024;
  int height = 768;
};

// The system's pixels per inch and the primary screen's size (the process is DPI aware through
// its manifest, so these are real pixels).
ScreenMetrics QueryScreen();

// Initialises the common controls (version 6 through the manifest).
void InitCommonControls();

// Creates the window for `form`, centred on the screen, shows it and runs the message loop until
// the form has closed. `app_title` is the text of the taskbar button's owner window. Returns the
// exit code of the message loop.
int RunMainWindow(Form& form, const std::string& app_title);

}  // namespace tarvo::widgets::win32
