// The window of a widgets::Form, shared by the files that implement it: main_window.cpp creates
// the native controls and handles their messages, view_paint.cpp paints the drawn ones.
#pragma once

#include <windows.h>
// commctrl.h needs the types of windows.h.
#include <commctrl.h>

#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "widgets/form.h"

namespace tarvo::widgets::win32::detail {

std::wstring Wide(const std::string& s);
COLORREF ToColorRef(Color c);
RECT ToRect(const Rect& r);
// Keeps the start and the end of a text that is too wide and puts an ellipsis between them.
std::wstring ShortenInMiddle(HDC dc, const std::wstring& text, int width);

class View : public FormView {
 public:
  View(Form& form, const std::string& app_title) : form_(form), app_title_(app_title) {}
  ~View() override {
    for (auto& [key, font] : fonts_) DeleteObject(font);
    for (auto& [color, brush] : brushes_) DeleteObject(brush);
  }

  int Run();

  // FormView
  void ControlChanged(const Control& c) override;
  void RepaintAll() override {
    if (main_) RedrawWindow(main_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  }
  void RedrawAll() override {
    if (main_) {
      RedrawWindow(main_, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
  }
  void CursorChanged(Cursor cursor) override {
    SetCursor(LoadCursor(nullptr, cursor == Cursor::kHourGlass ? IDC_WAIT : IDC_ARROW));
  }
  void FocusChanged(const Control& c) override {
    HWND h = Handle(c);
    if (h) SetFocus(h);
  }
  void ProcessPendingMessages() override {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));
        break;
      }
      Dispatch(msg);
    }
  }

  LRESULT AppProc(HWND h, UINT m, WPARAM w, LPARAM l);
  LRESULT ContainerProc(HWND h, UINT m, WPARAM w, LPARAM l);
  LRESULT BalloonProc(HWND h, UINT m, WPARAM w, LPARAM l);
  LRESULT ListProc(HWND h, UINT m, WPARAM w, LPARAM l);
  WNDPROC list_proc_ = nullptr;

 private:
  HWND Handle(const Control& c) const {
    auto it = hwnds_.find(&c);
    return it == hwnds_.end() ? nullptr : it->second;
  }
  Control* ControlOf(HWND h) const {
    auto it = controls_.find(h);
    return it == controls_.end() ? nullptr : it->second;
  }
  const Control* Container(const Control& c) const {
    const Control* p = c.parent;
    while (p && !p->IsWindowed()) p = p->parent;
    return p;
  }
  HFONT Font(const widgets::Font& f);
  HBRUSH Brush(Color color);
  // Messages every container window handles, then those of the main window alone; each returns
  // nothing when the message is left to the default procedure.
  std::optional<LRESULT> ChildMessage(HWND h, UINT m, WPARAM w, LPARAM l);
  std::optional<LRESULT> MainWindowMessage(HWND h, UINT m, WPARAM w, LPARAM l);
  LRESULT ColorMessage(HWND h, WPARAM w, LPARAM l);
  // Runs one input event of the form and what must follow it.
  template <typename F>
  void Event(F&& event) {
    ++event_depth_;
    event();
    --event_depth_;
    EventDone();
  }
  // The steps of Run.
  static void RegisterClasses(HINSTANCE inst);
  void CreateWindows(HINSTANCE inst);
  void ArrangeZOrder();
  int MessageLoop();
  void Create(Control& c, HWND parent);
  void Update(const Control& c, HWND h);
  void Dispatch(MSG& msg);
  void HandlePointer(const MSG& msg);
  void EventDone();

  void Paint(HWND h, HDC dc);
  void PaintContainer(HDC dc, const Control& c, const RECT& client);
  void PaintGraphic(HDC dc, const Control& c);
  void PaintText(HDC dc, const Control& c, RECT r, COLORREF color);
  void PaintHeader(HDC dc, const Control& c, const RECT& client);
  void PaintStatusBar(HDC dc, const Control& c, const RECT& client);
  void PaintProgress(HDC dc, const Control& c, const RECT& client);
  void DrawListItem(const DRAWITEMSTRUCT& d);
  void PlaceBalloon(const Control& c);
  void PaintBalloon(HDC dc, const RECT& client);
  SIZE MeasureBalloon(const Control& c);

  Form& form_;
  std::string app_title_;
  HWND app_ = nullptr;
  HWND main_ = nullptr;
  HWND balloon_ = nullptr;
  std::map<const Control*, HWND> hwnds_;
  std::map<HWND, Control*> controls_;
  std::map<const Control*, UINT_PTR> timers_;
  std::map<std::tuple<std::string, int, bool>, HFONT> fonts_;
  std::map<Color, HBRUSH> brushes_;
  int event_depth_ = 0;
  bool activated_ = false;
  bool destroyed_ = false;
};

}  // namespace tarvo::widgets::win32::detail
