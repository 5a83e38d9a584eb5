// Painting of the drawn controls: containers with their gradients and frames, texts, pictures,
// the check list's rows, the header, the status bar, the progress bar and the balloon.
#include <algorithm>
#include <string>
#include <vector>

#include "widgets/win32/pictures.h"
#include "widgets/win32/view.h"

namespace tarvo::widgets::win32::detail {

void View::DrawListItem(const DRAWITEMSTRUCT& d) {
  Control* c = ControlOf(d.hwndItem);
  if (!c || d.itemID == static_cast<UINT>(-1) || d.itemID >= c->items.size()) return;
  const CheckItem& item = c->items[d.itemID];
  HDC dc = d.hDC;
  RECT r = d.rcItem;
  SelectObject(dc, Font(c->font));
  SetBkMode(dc, TRANSPARENT);
  if (item.header) {
    HBRUSH b = CreateSolidBrush(ToColorRef(c->header_color));
    FillRect(dc, &r, b);
    DeleteObject(b);
    SetTextColor(dc, ToColorRef(c->header_font_color));
    RECT t = r;
    t.left += 4;
    DrawTextW(dc, Wide(item.text).c_str(), -1, &t, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    return;
  }
  bool usable = c->enabled && item.enabled;
  bool selected = (d.itemState & ODS_SELECTED) && c->enabled;
  FillRect(dc, &r, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  int box = std::min<int>(r.bottom - r.top - 4, 13 * c->item_height / 18);
  RECT cb{r.left + 3, r.top + (r.bottom - r.top - box) / 2, 0, 0};
  cb.right = cb.left + box;
  cb.bottom = cb.top + box;
  UINT state = DFCS_BUTTONCHECK | DFCS_FLAT | (item.checked ? DFCS_CHECKED : 0) |
               (usable ? 0 : DFCS_INACTIVE);
  DrawFrameControl(dc, &cb, DFC_BUTTON, state);
  SetTextColor(dc, GetSysColor(!usable    ? COLOR_GRAYTEXT
                               : selected ? COLOR_HIGHLIGHTTEXT
                                          : COLOR_WINDOWTEXT));
  RECT t = r;
  t.left = cb.right + 5;
  DrawTextW(dc, Wide(item.text).c_str(), -1, &t,
            DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
  if (d.itemState & ODS_FOCUS) DrawFocusRect(dc, &r);
}

void View::Paint(HWND h, HDC target) {
  const Control* c = h == main_ ? &form_.root() : ControlOf(h);
  if (!c) return;
  RECT client;
  GetClientRect(h, &client);
  // Paint off screen so the many immediate repaints of a run do not flicker.
  HDC dc = CreateCompatibleDC(target);
  HBITMAP bmp = CreateCompatibleBitmap(target, std::max<LONG>(1, client.right),
                                       std::max<LONG>(1, client.bottom));
  HGDIOBJ old = SelectObject(dc, bmp);
  switch (c->kind) {
    case ControlKind::kHeaderControl:
      PaintHeader(dc, *c, client);
      break;
    case ControlKind::kStatusBar:
      PaintStatusBar(dc, *c, client);
      break;
    case ControlKind::kProgressBar:
      PaintProgress(dc, *c, client);
      break;
    default:
      PaintContainer(dc, *c, client);
      break;
  }
  BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
  SelectObject(dc, old);
  DeleteObject(bmp);
  DeleteDC(dc);
}

void View::PaintContainer(HDC dc, const Control& c, const RECT& client) {
  if (c.kind == ControlKind::kGradientPanel) {
    COLORREF a = ToColorRef(c.gradient_from), b = ToColorRef(c.gradient_to);
    TRIVERTEX v[2] = {
        {0, 0, static_cast<COLOR16>(GetRValue(a) << 8), static_cast<COLOR16>(GetGValue(a) << 8),
         static_cast<COLOR16>(GetBValue(a) << 8), 0},
        {client.right, client.bottom, static_cast<COLOR16>(GetRValue(b) << 8),
         static_cast<COLOR16>(GetGValue(b) << 8), static_cast<COLOR16>(GetBValue(b) << 8), 0}};
    GRADIENT_RECT gr{0, 1};
    GradientFill(dc, v, 2, &gr, 1, GRADIENT_FILL_RECT_V);
    // The dotted grid, one dot every 9 pixels.
    COLORREF dot = RGB(GetRValue(b) * 3 / 4, GetGValue(b) * 3 / 4, GetBValue(b) * 3 / 4);
    for (int y = 9; y < client.bottom; y += 9) {
      for (int x = 9; x < client.right; x += 9) SetPixel(dc, x, y, dot);
    }
  } else {
    HBRUSH b = CreateSolidBrush(ToColorRef(c.color));
    FillRect(dc, &client, b);
    DeleteObject(b);
  }
  for (const Control* child : c.children) {
    if (child->visible && !child->IsWindowed() && child->kind != ControlKind::kTimer) {
      PaintGraphic(dc, *child);
    }
  }
  if (c.kind == ControlKind::kGradientPanel) {
    RECT r = client;
    DrawEdge(dc, &r, EDGE_SUNKEN, BF_RECT);
  } else if (c.border) {
    HBRUSH b = CreateSolidBrush(GetSysColor(COLOR_BTNSHADOW));
    FrameRect(dc, &client, b);
    DeleteObject(b);
  }
}

std::wstring ShortenInMiddle(HDC dc, const std::wstring& text, int width) {
  auto fits = [&](const std::wstring& t) {
    SIZE s{};
    GetTextExtentPoint32W(dc, t.c_str(), static_cast<int>(t.size()), &s);
    return s.cx <= width;
  };
  if (fits(text)) return text;
  for (size_t keep = text.size(); keep-- > 0;) {
    size_t head = (keep + 1) / 2, tail = keep - head;
    std::wstring t = text.substr(0, head) + L"\u2026" + text.substr(text.size() - tail);
    if (fits(t)) return t;
  }
  return L"\u2026";
}

void View::PaintText(HDC dc, const Control& c, RECT r, COLORREF color) {
  std::wstring text = Wide(c.text);
  UINT flags = DT_NOPREFIX;
  flags |= c.text_align == TextAlign::kRight    ? DT_RIGHT
           : c.text_align == TextAlign::kCenter ? DT_CENTER
                                                : DT_LEFT;
  if (c.word_wrap) {
    flags |= DT_WORDBREAK;
    // A screen font wider than the designed one would push the last line out of the label:
    // step the font down a little until the text fits.
    int h = 0;
    for (int height = c.font.height; height >= std::max(8, c.font.height * 4 / 5); --height) {
      SelectObject(dc, Font({c.font.name, height, c.font.bold, c.font.color}));
      RECT calc = r;
      DrawTextW(dc, text.c_str(), -1, &calc, flags | DT_CALCRECT);
      h = calc.bottom - calc.top;
      if (h <= r.bottom - r.top) break;
    }
    if (c.vertical_center && h < r.bottom - r.top) r.top += (r.bottom - r.top - h) / 2;
  } else {
    flags |= DT_SINGLELINE | (c.vertical_center ? DT_VCENTER : 0);
    if (c.ellipsis_middle) text = ShortenInMiddle(dc, text, r.right - r.left);
  }
  SetTextColor(dc, color);
  DrawTextW(dc, text.c_str(), -1, &r, flags);
}

void View::PaintGraphic(HDC dc, const Control& c) {
  RECT r = ToRect(c.bounds);
  switch (c.kind) {
    case ControlKind::kShape: {
      HBRUSH b = CreateSolidBrush(ToColorRef(c.color));
      HPEN p = CreatePen(PS_SOLID, 1, ToColorRef(c.pen_color));
      HGDIOBJ ob = SelectObject(dc, b), op = SelectObject(dc, p);
      Rectangle(dc, r.left, r.top, r.right, r.bottom);
      SelectObject(dc, ob);
      SelectObject(dc, op);
      DeleteObject(b);
      DeleteObject(p);
      break;
    }
    case ControlKind::kBevel: {
      HPEN shadow = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
      HPEN light = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNHIGHLIGHT));
      HGDIOBJ old = SelectObject(dc, shadow);
      if (c.vertical) {
        MoveToEx(dc, r.left, r.top, nullptr);
        LineTo(dc, r.left, r.bottom);
        SelectObject(dc, light);
        MoveToEx(dc, r.left + 1, r.top, nullptr);
        LineTo(dc, r.left + 1, r.bottom);
      } else {
        MoveToEx(dc, r.left, r.top, nullptr);
        LineTo(dc, r.right, r.top);
        SelectObject(dc, light);
        MoveToEx(dc, r.left, r.top + 1, nullptr);
        LineTo(dc, r.right, r.top + 1);
      }
      SelectObject(dc, old);
      DeleteObject(shadow);
      DeleteObject(light);
      break;
    }
    case ControlKind::kImage:
      DrawPicture(dc, c.picture, r);
      break;
    case ControlKind::kLabel:
    case ControlKind::kStaticText: {
      if (!c.transparent) {
        HBRUSH b = CreateSolidBrush(ToColorRef(c.color));
        FillRect(dc, &r, b);
        DeleteObject(b);
      }
      SetBkMode(dc, TRANSPARENT);
      HGDIOBJ old = SelectObject(dc, Font(c.font));
      if (c.enabled) {
        PaintText(dc, c, r, ToColorRef(c.font.color));
      } else {
        // Greyed text, embossed as the component library draws disabled labels.
        RECT lit = r;
        OffsetRect(&lit, 1, 1);
        PaintText(dc, c, lit, GetSysColor(COLOR_BTNHIGHLIGHT));
        PaintText(dc, c, r, GetSysColor(COLOR_BTNSHADOW));
      }
      SelectObject(dc, old);
      break;
    }
    default:
      break;
  }
}

void View::PaintHeader(HDC dc, const Control& c, const RECT& client) {
  FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
  SelectObject(dc, Font(c.font));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  int x = 0;
  HPEN shadow = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_BTNSHADOW));
  HGDIOBJ old = SelectObject(dc, shadow);
  for (const Section& s : c.sections) {
    RECT r{x, 0, x + s.width, client.bottom};
    DrawTextW(dc, Wide(s.text).c_str(), -1, &r, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
    MoveToEx(dc, r.right - 1, 3, nullptr);
    LineTo(dc, r.right - 1, client.bottom - 3);
    x = r.right;
  }
  MoveToEx(dc, 0, client.bottom - 1, nullptr);
  LineTo(dc, client.right, client.bottom - 1);
  SelectObject(dc, old);
  DeleteObject(shadow);
}

void View::PaintStatusBar(HDC dc, const Control& c, const RECT& client) {
  FillRect(dc, &client, GetSysColorBrush(COLOR_BTNFACE));
  SelectObject(dc, Font(c.font));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  int x = 0;
  for (size_t i = 0; i < c.sections.size(); ++i) {
    const Section& s = c.sections[i];
    int right = i + 1 == c.sections.size() ? client.right : x + s.width;
    RECT r{x, 2, right - 2, client.bottom};
    DrawEdge(dc, &r, BDR_SUNKENOUTER, BF_RECT);
    RECT t{r.left + 3, r.top, r.right - 3, r.bottom};
    UINT align = s.align == TextAlign::kCenter  ? DT_CENTER
                 : s.align == TextAlign::kRight ? DT_RIGHT
                                                : DT_LEFT;
    DrawTextW(dc, Wide(s.text).c_str(), -1, &t,
              DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX | align);
    x = right;
  }
}

void View::PaintProgress(HDC dc, const Control& c, const RECT& client) {
  FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
  RECT inner{client.left + 1, client.top + 1, client.right - 1, client.bottom - 1};
  int filled = inner.left + (inner.right - inner.left) * c.percent / 100;
  if (filled > inner.left) {
    COLORREF a = ToColorRef(c.gradient_from), b = ToColorRef(c.gradient_to);
    TRIVERTEX v[2] = {
        {inner.left, inner.top, static_cast<COLOR16>(GetRValue(a) << 8),
         static_cast<COLOR16>(GetGValue(a) << 8), static_cast<COLOR16>(GetBValue(a) << 8), 0},
        {filled, inner.bottom, static_cast<COLOR16>(GetRValue(b) << 8),
         static_cast<COLOR16>(GetGValue(b) << 8), static_cast<COLOR16>(GetBValue(b) << 8), 0}};
    GRADIENT_RECT gr{0, 1};
    GradientFill(dc, v, 2, &gr, 1, GRADIENT_FILL_RECT_H);
  }
  std::wstring text = std::to_wstring(c.percent) + L"%";
  SelectObject(dc, Font({c.font.name, c.font.height, true, c.font.color}));
  SetBkMode(dc, TRANSPARENT);
  // The text in the bar's colour over the empty part and in white over the filled part.
  RECT empty{filled, inner.top, inner.right, inner.bottom};
  RECT full{inner.left, inner.top, filled, inner.bottom};
  for (auto [clip, color] :
       {std::pair{empty, ToColorRef(c.font.color)}, std::pair{full, RGB(255, 255, 255)}}) {
    if (clip.right <= clip.left) continue;
    SaveDC(dc);
    IntersectClipRect(dc, clip.left, clip.top, clip.right, clip.bottom);
    SetTextColor(dc, color);
    RECT t = inner;
    DrawTextW(dc, text.c_str(), -1, &t, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
    RestoreDC(dc, -1);
  }
  HBRUSH frame = CreateSolidBrush(ToColorRef(c.gradient_to));
  FrameRect(dc, &client, frame);
  DeleteObject(frame);
}

// Balloon geometry: a pointer at the top left, a rounded body below it.
constexpr int kBalloonStem = 14;
constexpr int kBalloonPad = 10;

SIZE View::MeasureBalloon(const Control& c) {
  HDC dc = GetDC(main_);
  int icon = GetSystemMetrics(SM_CXICON);
  HGDIOBJ old = SelectObject(dc, Font({c.font.name, c.font.height, true, 0}));
  RECT title{0, 0, std::max(50, c.max_width - 3 * kBalloonPad - icon), 0};
  DrawTextW(dc, Wide(c.title).c_str(), -1, &title, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, Font(c.font));
  RECT text{0, 0, std::max(50, c.max_width - 3 * kBalloonPad - icon), 0};
  DrawTextW(dc, Wide(c.text).c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(main_, dc);
  int w = 3 * kBalloonPad + icon + std::max(title.right, text.right);
  int h = kBalloonStem + 2 * kBalloonPad + std::max<int>(icon, title.bottom + 4 + text.bottom);
  return {w, h};
}

void View::PlaceBalloon(const Control& c) {
  if (!balloon_) return;
  if (!c.visible) {
    ShowWindow(balloon_, SW_HIDE);
    return;
  }
  SIZE s = MeasureBalloon(c);
  SetWindowPos(balloon_, HWND_TOPMOST, c.bounds.left, c.bounds.top, s.cx, s.cy, SWP_NOACTIVATE);
  HRGN body = CreateRoundRectRgn(0, kBalloonStem, s.cx, s.cy, 14, 14);
  POINT stem[3] = {{kBalloonStem, 0},
                   {kBalloonStem, kBalloonStem + 1},
                   {2 * kBalloonStem + 6, kBalloonStem + 1}};
  HRGN pointer = CreatePolygonRgn(stem, 3, WINDING);
  CombineRgn(body, body, pointer, RGN_OR);
  DeleteObject(pointer);
  SetWindowRgn(balloon_, body, TRUE);  // the window owns the region now
  ShowWindow(balloon_, SW_SHOWNOACTIVATE);
  InvalidateRect(balloon_, nullptr, TRUE);
  UpdateWindow(balloon_);
}

void View::PaintBalloon(HDC dc, const RECT& client) {
  Control* c = ControlOf(balloon_);
  if (!c) return;
  FillRect(dc, &client, GetSysColorBrush(COLOR_INFOBK));
  HRGN rgn = CreateRectRgn(0, 0, 0, 0);
  if (GetWindowRgn(balloon_, rgn) != ERROR) {
    FrameRgn(dc, rgn, GetSysColorBrush(COLOR_WINDOWFRAME), 1, 1);
  }
  DeleteObject(rgn);
  int icon = GetSystemMetrics(SM_CXICON);
  int top = kBalloonStem + kBalloonPad;
  DrawIconEx(dc, kBalloonPad, top, LoadIcon(nullptr, IDI_INFORMATION), icon, icon, 0, nullptr,
             DI_NORMAL);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
  int x = 2 * kBalloonPad + icon;
  HGDIOBJ old = SelectObject(dc, Font({c->font.name, c->font.height, true, 0}));
  RECT t{x, top, client.right - kBalloonPad, client.bottom};
  DrawTextW(dc, Wide(c->title).c_str(), -1, &t, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  DrawTextW(dc, Wide(c->title).c_str(), -1, &t, DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, Font(c->font));
  RECT b{x, t.bottom + 4, client.right - kBalloonPad, client.bottom};
  DrawTextW(dc, Wide(c->text).c_str(), -1, &b, DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
}

}  // namespace tarvo::widgets::win32::detail
