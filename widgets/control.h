// The state of one control of a window: everything a front end needs to draw it and everything a
// test needs to assert on. Positions are in screen pixels, relative to the parent's client area.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvo::widgets {

// Windows colour values 0x00BBGGRR; system colours carry 0xFF000000 | COLOR_* index, as the
// component library encodes them.
using Color = uint32_t;
inline constexpr Color kSystemColorFlag = 0xFF000000;
inline constexpr Color kColorWindowText = kSystemColorFlag | 8;
inline constexpr Color kColorBtnFace = kSystemColorFlag | 15;
inline constexpr Color kColorBtnShadow = kSystemColorFlag | 16;
inline constexpr Color kColorGrayText = kSystemColorFlag | 17;
inline constexpr Color kColorWindow = kSystemColorFlag | 5;
inline constexpr Color kColorBlack = 0x000000;
inline constexpr Color kColorWhite = 0xFFFFFF;
inline constexpr Color kColorGreen = 0x008000;
inline constexpr bool IsSystemColor(Color c) { return (c & kSystemColorFlag) == kSystemColorFlag; }

struct Point {
  int x = 0;
  int y = 0;
  bool operator==(const Point&) const = default;
};

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  int right() const { return left + width; }
  int bottom() const { return top + height; }
  bool Contains(Point p) const {
    return p.x >= left && p.x < right() && p.y >= top && p.y < bottom();
  }
  bool operator==(const Rect&) const = default;
};

enum class ControlKind {
  kForm,
  kPanel,          // plain panel, optionally with a flat border
  kGradientPanel,  // sunken panel with a gradient background and a dotted grid
  kShape,          // filled rectangle (separator bands)
  kImage,
  kLabel,
  kStaticText,  // single-line label; may shorten its text in the middle
  kStatusBar,
  kHeaderControl,
  kBevel,  // a one-pixel etched line, horizontal or vertical
  kMemo,
  kCheckListBox,
  kRadioButton,
  kButton,
  kProgressBar,
  kTimer,    // not drawn: a front end runs it while `enabled`
  kBalloon,  // a top-level hint window; `bounds` are screen coordinates
};

// Which side of its parent a control sticks to; the rest of the parent goes to kClient.
enum class Align { kNone, kTop, kBottom, kClient };
enum class TextAlign { kLeft, kCenter, kRight };
enum class Cursor { kDefault, kHourGlass };

// The pictures this program draws for itself.
enum class Picture {
  kNone,
  kHeader,
  kPath,
  kPathDisabled,
  kProgramState,
  kProgramStateDisabled,
  kOpenEstimates,
  kOpenEstimatesDisabled,
  kVersion,
  kVersionDisabled,
  kComponents,
  kComponentsDisabled,
  kInfo,
  kClock,
  kStatusOk,
  kStatusStop,
  kStatusDisabled,
  kTick,
};

struct Font {
  std::string name = "Tahoma";
  int height = 11;  // character height in pixels
  bool bold = false;
  Color color = kColorWindowText;
  bool operator==(const Font&) const = default;
};

// A row of a check list. A header row has no check box and is drawn in the header colours.
struct CheckItem {
  std::string text;
  bool checked = false;
  bool enabled = true;
  bool header = false;
  std::string data;  // what the owner keeps beside the row
};

// A section of a header control or a panel of a status bar.
struct Section {
  std::string text;
  int width = 0;
  TextAlign align = TextAlign::kLeft;
};

struct Control {
  std::string name;
  ControlKind kind = ControlKind::kPanel;
  Control* parent = nullptr;
  std::vector<Control*> children;  // in creation order, which is the drawing order

  Rect bounds;
  Align align = Align::kNone;
  std::string text;
  Font font;
  Color color = kColorBtnFace;      // background; the fill of a shape
  Color pen_color = kColorBtnFace;  // outline of a shape
  bool transparent = false;
  bool border = false;  // flat one-pixel border (panels, memo)
  bool enabled = true;
  bool visible = true;
  Picture picture = Picture::kNone;
  std::string hint;
  int tab_order = -1;  // -1: not a tab stop
  TextAlign text_align = TextAlign::kLeft;
  bool vertical_center = false;
  bool word_wrap = false;
  bool ellipsis_middle = false;  // shorten a too long text in the middle, as paths are
  bool vertical = false;         // bevels

  std::vector<std::string> lines;  // memo
  std::vector<CheckItem> items;    // check list
  int item_height = 0;
  Color header_color = kColorWhite;       // check list header row background
  Color header_font_color = kColorBlack;  // ... and text
  bool checked = false;                   // radio button
  int percent = 0;                        // progress bar
  Color gradient_from = 0;
  Color gradient_to = 0;
  std::vector<Section> sections;  // header control sections, status bar panels
  int interval_ms = 0;            // timer
  std::string title;              // balloon
  int max_width = 0;              // balloon layout width

  bool IsWindowed() const;  // has a window of its own in a native front end
};

}  // namespace tarvo::widgets
