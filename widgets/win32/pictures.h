// The program's own pictures, drawn with GDI at any size.
#pragma once

#include <windows.h>

#include "widgets/control.h"

namespace tarvo::widgets::win32 {

// Draws `picture` into `r`; the drawings are laid out on a 32 by 32 grid and scaled to the rect.
void DrawPicture(HDC dc, Picture picture, const RECT& r);

}  // namespace tarvo::widgets::win32
