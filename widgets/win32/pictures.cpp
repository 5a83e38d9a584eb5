#include "widgets/win32/pictures.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tarvo::widgets::win32 {
namespace {

// Maps the 32-unit design grid onto the target rect.
class Canvas {
 public:
  Canvas(HDC dc, const RECT& r) : dc_(dc), r_(r) {}
  int X(double x) const { return r_.left + static_cast<int>(x * (r_.right - r_.left) / 32.0); }
  int Y(double y) const { return r_.top + static_cast<int>(y * (r_.bottom - r_.top) / 32.0); }
  int W(double w) const { return std::max(1, static_cast<int>(w * (r_.right - r_.left) / 32.0)); }

  void Rect(double l, double t, double rr, double b, COLORREF fill, COLORREF pen,
            double radius = 0) {
    Select(fill, pen, 1);
    if (radius > 0) {
      RoundRect(dc_, X(l), Y(t), X(rr), Y(b), W(radius), W(radius));
    } else {
      Rectangle(dc_, X(l), Y(t), X(rr), Y(b));
    }
    Deselect();
  }
  void Ellipse(double l, double t, double rr, double b, COLORREF fill, COLORREF pen,
               double pen_width = 1) {
    Select(fill, pen, pen_width);
    ::Ellipse(dc_, X(l), Y(t), X(rr), Y(b));
    Deselect();
  }
  void Polygon(std::initializer_list<std::pair<double, double>> pts, COLORREF fill, COLORREF pen) {
    std::vector<POINT> p;
    for (auto [x, y] : pts) p.push_back({X(x), Y(y)});
    Select(fill, pen, 1);
    ::Polygon(dc_, p.data(), static_cast<int>(p.size()));
    Deselect();
  }
  void Line(std::initializer_list<std::pair<double, double>> pts, COLORREF pen, double width) {
    std::vector<POINT> p;
    for (auto [x, y] : pts) p.push_back({X(x), Y(y)});
    LOGBRUSH lb{BS_SOLID, pen, 0};
    HPEN h = ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND | PS_JOIN_ROUND, W(width), &lb,
                          0, nullptr);
    HGDIOBJ old = SelectObject(dc_, h);
    Polyline(dc_, p.data(), static_cast<int>(p.size()));
    SelectObject(dc_, old);
    DeleteObject(h);
  }

 private:
  void Select(COLORREF fill, COLORREF pen, double width) {
    brush_ = CreateSolidBrush(fill);
    pen_ = CreatePen(PS_SOLID, W(width), pen);
    old_brush_ = SelectObject(dc_, brush_);
    old_pen_ = SelectObject(dc_, pen_);
  }
  void Deselect() {
    SelectObject(dc_, old_brush_);
    SelectObject(dc_, old_pen_);
    DeleteObject(brush_);
    DeleteObject(pen_);
  }
  HDC dc_;
  RECT r_;
  HBRUSH brush_ = nullptr;
  HPEN pen_ = nullptr;
  HGDIOBJ old_brush_ = nullptr;
  HGDIOBJ old_pen_ = nullptr;
};

// Colours of one picture; greyed variants use the grey set.
struct Palette {
  COLORREF main, light, dark, accent;
};
constexpr Palette kGrey{RGB(160, 160, 160), RGB(215, 215, 215), RGB(110, 110, 110),
                        RGB(235, 235, 235)};

void Folder(Canvas& c, const Palette& p) {
  c.Polygon({{3, 8}, {12, 8}, {15, 11}, {29, 11}, {29, 26}, {3, 26}}, p.main, p.dark);
  c.Polygon({{3, 14}, {29, 14}, {29, 26}, {3, 26}}, p.light, p.dark);
  c.Line({{6, 20}, {26, 20}}, p.dark, 1);
}

void Monitor(Canvas& c, const Palette& p) {
  c.Rect(3, 5, 29, 23, p.dark, p.dark, 3);
  c.Rect(5, 7, 27, 21, p.light, p.main);
  c.Line({{8, 17}, {12, 12}, {16, 15}, {21, 9}, {24, 11}}, p.main, 1.6);
  c.Polygon({{13, 23}, {19, 23}, {21, 27}, {11, 27}}, p.dark, p.dark);
  c.Rect(8, 27, 24, 29, p.main, p.dark, 1);
}

void Document(Canvas& c, const Palette& p) {
  c.Polygon({{7, 3}, {21, 3}, {26, 8}, {26, 29}, {7, 29}}, p.accent, p.dark);
  c.Polygon({{21, 3}, {21, 8}, {26, 8}}, p.light, p.dark);
  for (int i = 0; i < 5; ++i) c.Line({{10, 12.0 + 3.5 * i}, {23, 12.0 + 3.5 * i}}, p.main, 1.2);
}

void Version(Canvas& c, const Palette& p) {
  c.Polygon({{4, 15}, {15, 4}, {28, 4}, {28, 17}, {17, 28}}, p.main, p.dark);
  c.Ellipse(21, 8, 25, 12, p.accent, p.dark);
  c.Line({{10, 16}, {13, 21}, {17, 12}}, p.accent, 2);
}

void Components(Canvas& c, const Palette& p) {
  auto box = [&](double x, double y) {
    c.Polygon({{x, y + 3}, {x + 6, y}, {x + 12, y + 3}, {x + 6, y + 6}}, p.light, p.dark);
    c.Polygon({{x, y + 3}, {x + 6, y + 6}, {x + 6, y + 13}, {x, y + 10}}, p.main, p.dark);
    c.Polygon({{x + 6, y + 6}, {x + 12, y + 3}, {x + 12, y + 10}, {x + 6, y + 13}}, p.dark, p.dark);
  };
  box(10, 2);
  box(3, 15);
  box(17, 15);
}

void Info(Canvas& c, const Palette& p) {
  c.Ellipse(2, 2, 30, 30, p.main, p.dark, 1);
  c.Ellipse(14, 7, 18.5, 11.5, p.accent, p.accent);
  c.Rect(14, 13.5, 18.5, 25, p.accent, p.accent);
}

void Clock(Canvas& c, const Palette& p) {
  c.Ellipse(2, 2, 30, 30, p.main, p.dark, 1.5);
  c.Ellipse(4.5, 4.5, 27.5, 27.5, p.accent, p.main);
  for (int i = 0; i < 12; ++i) {
    double a = i * 3.14159265 / 6;
    c.Line({{16 + 9.5 * std::sin(a), 16 - 9.5 * std::cos(a)},
            {16 + 10.5 * std::sin(a), 16 - 10.5 * std::cos(a)}},
           p.dark, 1);
  }
  c.Line({{16, 8}, {16, 16}, {22, 19}}, p.dark, 2);
}

void StatusOk(Canvas& c, const Palette& p) {
  c.Ellipse(3, 3, 29, 29, p.main, p.dark, 1);
  c.Line({{9, 16}, {14, 21}, {23, 10}}, p.accent, 3.5);
}

void StatusStop(Canvas& c, const Palette& p) {
  c.Polygon({{11, 3}, {21, 3}, {29, 11}, {29, 21}, {21, 29}, {11, 29}, {3, 21}, {3, 11}}, p.main,
            p.dark);
  c.Rect(8, 13.5, 24, 18.5, p.accent, p.accent);
}

void StatusIdle(Canvas& c, const Palette& p) {
  c.Ellipse(3, 3, 29, 29, p.light, p.main, 1);
  c.Line({{10, 16}, {22, 16}}, p.main, 3);
}

void Header(Canvas& c) {
  const Palette blue{RGB(40, 90, 170), RGB(200, 220, 245), RGB(20, 50, 110), RGB(255, 255, 255)};
  c.Rect(2, 2, 30, 30, blue.main, blue.dark, 5);
  // A box receiving a downward arrow: the update going into the product.
  c.Polygon({{6, 18}, {26, 18}, {26, 27}, {6, 27}}, blue.light, blue.dark);
  c.Line({{6, 22}, {26, 22}}, blue.main, 1);
  c.Polygon({{13, 4}, {19, 4}, {19, 11}, {23, 11}, {16, 19}, {9, 11}, {13, 11}}, RGB(250, 200, 60),
            RGB(150, 100, 0));
}

}  // namespace

void DrawPicture(HDC dc, Picture picture, const RECT& r) {
  Canvas c(dc, r);
  const Palette folder{RGB(235, 180, 50), RGB(250, 215, 110), RGB(140, 95, 10), RGB(255, 245, 210)};
  const Palette blue{RGB(50, 110, 200), RGB(200, 225, 250), RGB(25, 60, 120), RGB(255, 255, 255)};
  const Palette green{RGB(40, 160, 60), RGB(170, 225, 170), RGB(20, 90, 30), RGB(255, 255, 255)};
  const Palette red{RGB(205, 40, 40), RGB(245, 170, 170), RGB(120, 15, 15), RGB(255, 255, 255)};
  const Palette paper{RGB(90, 120, 170), RGB(220, 230, 245), RGB(70, 80, 100), RGB(255, 255, 255)};
  const Palette violet{RGB(120, 90, 190), RGB(210, 200, 245), RGB(60, 40, 110), RGB(255, 255, 255)};
  const Palette orange{RGB(230, 140, 40), RGB(250, 210, 150), RGB(130, 70, 10), RGB(255, 255, 255)};
  switch (picture) {
    case Picture::kNone:
      break;
    case Picture::kHeader:
      Header(c);
      break;
    case Picture::kPath:
      Folder(c, folder);
      break;
    case Picture::kPathDisabled:
      Folder(c, kGrey);
      break;
    case Picture::kProgramState:
      Monitor(c, blue);
      break;
    case Picture::kProgramStateDisabled:
      Monitor(c, kGrey);
      break;
    case Picture::kOpenEstimates:
      Document(c, paper);
      break;
    case Picture::kOpenEstimatesDisabled:
      Document(c, kGrey);
      break;
    case Picture::kVersion:
      Version(c, violet);
      break;
    case Picture::kVersionDisabled:
      Version(c, kGrey);
      break;
    case Picture::kComponents:
      Components(c, orange);
      break;
    case Picture::kComponentsDisabled:
      Components(c, kGrey);
      break;
    case Picture::kInfo:
      Info(c, blue);
      break;
    case Picture::kClock:
      Clock(c, blue);
      break;
    case Picture::kStatusOk:
      StatusOk(c, green);
      break;
    case Picture::kStatusStop:
      StatusStop(c, red);
      break;
    case Picture::kStatusDisabled:
      StatusIdle(c, kGrey);
      break;
    case Picture::kTick:
      c.Line({{5, 17}, {13, 25}, {27, 7}}, RGB(20, 140, 40), 5);
      break;
  }
}

}  // namespace tarvo::widgets::win32
