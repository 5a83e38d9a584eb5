// A window as state: its controls, focus, cursor and screen position, the events a front end
// delivers and the notifications a front end receives to repaint what changed.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "widgets/control.h"

namespace tarvo::widgets {

// What a front end (a real window, or nothing in tests) implements. Every notification comes
// while the change is made, so the front end repaints at once: a long operation that never returns
// to the message loop still shows its progress.
class FormView {
 public:
  virtual ~FormView() = default;
  virtual void ControlChanged(const Control& control) = 0;
  // Paint every pending change of the whole window now.
  virtual void RepaintAll() = 0;
  // Paint the whole window again now, also what no change touched: the part a box that has just
  // closed uncovered may not be known to be invalid until messages are processed.
  virtual void RedrawAll() { RepaintAll(); }
  virtual void CursorChanged(Cursor cursor) = 0;
  virtual void FocusChanged(const Control& control) = 0;
  // Let the window handle the messages waiting for it.
  virtual void ProcessPendingMessages() = 0;
};

class FormError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

class Form {
 public:
  Form(std::string name, int client_width, int client_height);
  virtual ~Form() = default;
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  Control& root() { return *controls_.front(); }
  const Control& root() const { return *controls_.front(); }
  Control& Add(Control& parent, std::string name, ControlKind kind, Rect bounds);
  // The control of that name; throws FormError when there is none.
  Control& Get(std::string_view name);
  const Control& Get(std::string_view name) const;
  Control* Find(std::string_view name);
  const std::vector<std::unique_ptr<Control>>& controls() const { return controls_; }

  // Multiplies every position, size and font height by numerator / denominator, rounding halves
  // away from zero (as MulDiv does); right and bottom edges are scaled, so neighbours stay flush.
  void ScaleBy(int numerator, int denominator);
  // Lays out the aligned children of `parent` (and recursively theirs).
  void Realign(Control& parent);
  void SetClientSize(int width, int height);

  // Setters that tell the view about a real change.
  void SetText(Control& c, std::string text);
  void SetEnabled(Control& c, bool enabled);
  void SetVisible(Control& c, bool visible);
  void SetPicture(Control& c, Picture picture);
  void SetFontColor(Control& c, Color color);
  void SetBold(Control& c, bool bold);
  void SetColor(Control& c, Color color);
  void SetBounds(Control& c, Rect bounds);
  void SetLines(Control& c, std::vector<std::string> lines);
  void SetChecked(Control& c, bool checked);
  void SetItemChecked(Control& list, int index, bool checked);
  void SetPercent(Control& c, int percent);
  void Changed(const Control& c);
  void Repaint();
  void RedrawAll();

  Cursor cursor() const { return cursor_; }
  void SetCursor(Cursor cursor);
  Control* active_control() const { return active_; }
  void SetFocus(Control& c);

  // Screen position of the top-left corner of the form's client area; front ends keep it current.
  Point client_origin() const { return client_origin_; }
  void SetClientOrigin(Point p) { client_origin_ = p; }
  // Screen position of the top-left corner of a control's client area.
  Point ScreenPosition(const Control& c) const;
  // The deepest visible control at a point of the form's client area (the form itself if none).
  Control& ControlAt(Point client_point);
  // Controls that take the keyboard focus in tab order.
  std::vector<Control*> TabOrder();

  void SetView(FormView* view) { view_ = view; }
  FormView* view() const { return view_; }
  void ProcessPendingMessages();

  // Events a front end delivers. Disabled or hidden controls ignore them.
  void Activate();
  void Click(Control& c);  // a radio button becomes the checked one of its group first
  // The user toggles a row: header rows, greyed rows and disabled lists do not react.
  void ToggleItem(Control& list, int index);
  void TimerElapsed(Control& timer);
  // The pointer moved over a control: the status bar shows its hint.
  void PointerOver(Control& c);
  void Close();
  bool closed() const { return closed_; }

  Control* status_bar() const { return status_bar_; }
  void set_status_bar(Control* bar) { status_bar_ = bar; }

 protected:
  virtual void OnActivate() {}
  virtual void OnClick(Control& c) {}
  virtual void OnItemCheckChanged(Control& list, int index) {}
  virtual void OnTimer(Control& timer) {}
  virtual void OnClose() {}

 private:
  void Notify(const Control& c);

  std::vector<std::unique_ptr<Control>> controls_;
  FormView* view_ = nullptr;
  Cursor cursor_ = Cursor::kDefault;
  Control* active_ = nullptr;
  Control* status_bar_ = nullptr;
  Point client_origin_;
  bool closed_ = false;
};

// MulDiv of the Windows API: value * numerator / denominator rounded half away from zero.
int MulDiv(int value, int numerator, int denominator);
// Rounding to the nearest integer, halves to the even neighbour (banker's rounding).
int RoundHalfEven(double value);

}  // namespace tarvo::widgets
