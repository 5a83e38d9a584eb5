#include "widgets/win32/main_window.h"

#include <windows.h>
// commctrl.h needs the types of windows.h.
#include <commctrl.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "widgets/win32/pictures.h"

namespace tarvo::widgets::win32 {
namespace {

constexpr wchar_t kAppClass[] = L"TarvoApplication";
constexpr wchar_t kFormClass[] = L"TarvoForm";
constexpr wchar_t kPanelClass[] = L"TarvoPanel";
constexpr wchar_t kBalloonClass[] = L"TarvoBalloon";
constexpr UINT kActivateMessage = WM_APP + 1;
constexpr UINT_PTR kFirstTimerId = 100;

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

COLORREF ToColorRef(Color c) {
  if (IsSystemColor(c)) return GetSysColor(static_cast<int>(c & 0xFF));
  return static_cast<COLORREF>(c & 0xFFFFFF);
}

RECT ToRect(const Rect& r) { return {r.left, r.top, r.right(), r.bottom()}; }

class View;
View* g_view = nullptr;  // one window per program

class View : public FormView {
 public:
  View(Form& form, const std::string& app_title) : form_(form), app_title_(app_title) {}
  ~View() override {
    for (auto& [key, font] : fonts_) DeleteObject(font);
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
  int event_depth_ = 0;
  bool activated_ = false;
  bool destroyed_ = false;

  friend LRESULT CALLBACK StaticListProc(HWND, UINT, WPARAM, LPARAM);
};

LRESULT CALLBACK StaticAppProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  return g_view ? g_view->AppProc(h, m, w, l) : DefWindowProcW(h, m, w, l);
}
LRESULT CALLBACK StaticContainerProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  return g_view ? g_view->ContainerProc(h, m, w, l) : DefWindowProcW(h, m, w, l);
}
LRESULT CALLBACK StaticBalloonProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  return g_view ? g_view->BalloonProc(h, m, w, l) : DefWindowProcW(h, m, w, l);
}
LRESULT CALLBACK StaticListProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  return g_view->ListProc(h, m, w, l);
}

HFONT View::Font(const widgets::Font& f) {
  auto key = std::make_tuple(f.name, f.height, f.bold);
  auto it = fonts_.find(key);
  if (it != fonts_.end()) return it->second;
  HFONT h = CreateFontW(-f.height, 0, 0, 0, f.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                        DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_DONTCARE, Wide(f.name).c_str());
  fonts_[key] = h;
  return h;
}

void View::Create(Control& c, HWND parent) {
  if (!c.IsWindowed() || c.kind == ControlKind::kForm) {
    for (Control* child : c.children) Create(*child, parent);
    return;
  }
  if (c.kind == ControlKind::kBalloon) {
    balloon_ =
        CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_NOACTIVATE, kBalloonClass, L"",
                        WS_POPUP, 0, 0, 10, 10, main_, nullptr, GetModuleHandleW(nullptr), nullptr);
    hwnds_[&c] = balloon_;
    controls_[balloon_] = &c;
    return;
  }
  const wchar_t* cls = kPanelClass;
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
  DWORD ex = 0;
  switch (c.kind) {
    case ControlKind::kButton:
      cls = WC_BUTTONW;
      style = WS_CHILD | WS_CLIPSIBLINGS | BS_PUSHBUTTON;
      break;
    case ControlKind::kRadioButton:
      cls = WC_BUTTONW;
      style = WS_CHILD | WS_CLIPSIBLINGS | BS_RADIOBUTTON;
      break;
    case ControlKind::kMemo:
      cls = WC_EDITW;
      style = WS_CHILD | WS_CLIPSIBLINGS | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
              ES_AUTOVSCROLL | WS_BORDER;
      break;
    case ControlKind::kCheckListBox:
      cls = WC_LISTBOXW;
      style = WS_CHILD | WS_CLIPSIBLINGS | WS_VSCROLL | WS_BORDER | LBS_OWNERDRAWFIXED |
              LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | LBS_HASSTRINGS;
      break;
    default:
      ex = WS_EX_CONTROLPARENT;
      break;
  }
  if (c.tab_order >= 0) style |= WS_TABSTOP;
  const Rect& b = c.bounds;
  HWND h = CreateWindowExW(ex, cls, Wide(c.text).c_str(), style, b.left, b.top, b.width, b.height,
                           parent, nullptr, GetModuleHandleW(nullptr), nullptr);
  hwnds_[&c] = h;
  controls_[h] = &c;
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(Font(c.font)), FALSE);
  if (c.kind == ControlKind::kCheckListBox) {
    list_proc_ = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(StaticListProc)));
    SendMessageW(h, LB_SETITEMHEIGHT, 0, c.item_height);
  }
  Update(c, h);
  for (Control* child : c.children) Create(*child, h);
}

void View::Update(const Control& c, HWND h) {
  const Rect& b = c.bounds;
  RECT now;
  GetWindowRect(h, &now);
  MapWindowPoints(HWND_DESKTOP, GetParent(h), reinterpret_cast<POINT*>(&now), 2);
  if (now.left != b.left || now.top != b.top || now.right - now.left != b.width ||
      now.bottom - now.top != b.height) {
    MoveWindow(h, b.left, b.top, b.width, b.height, TRUE);
  }
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(Font(c.font)), FALSE);
  switch (c.kind) {
    case ControlKind::kButton:
    case ControlKind::kRadioButton:
      SetWindowTextW(h, Wide(c.text).c_str());
      if (c.kind == ControlKind::kRadioButton) {
        SendMessageW(h, BM_SETCHECK, c.checked ? BST_CHECKED : BST_UNCHECKED, 0);
      }
      break;
    case ControlKind::kMemo: {
      std::string text;
      for (size_t i = 0; i < c.lines.size(); ++i) text += (i ? "\r\n" : "") + c.lines[i];
      SetWindowTextW(h, Wide(text).c_str());
      break;
    }
    case ControlKind::kCheckListBox: {
      int count = static_cast<int>(SendMessageW(h, LB_GETCOUNT, 0, 0));
      if (count != static_cast<int>(c.items.size())) {
        SendMessageW(h, LB_RESETCONTENT, 0, 0);
        for (const CheckItem& item : c.items) {
          SendMessageW(h, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item.text).c_str()));
        }
      }
      // Each row's state as item data, so other programs (the end-to-end driver, accessibility
      // tools) can read it: bit 0 checked, bit 1 enabled, bit 2 header row.
      for (size_t i = 0; i < c.items.size(); ++i) {
        const CheckItem& item = c.items[i];
        LPARAM data = (item.checked ? 1 : 0) | (item.enabled ? 2 : 0) | (item.header ? 4 : 0);
        SendMessageW(h, LB_SETITEMDATA, i, data);
      }
      break;
    }
    default:
      break;
  }
  if (static_cast<bool>(IsWindowEnabled(h)) != c.enabled) EnableWindow(h, c.enabled);
  bool shown = (GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE) != 0;
  if (shown != c.visible) ShowWindow(h, c.visible ? SW_SHOWNA : SW_HIDE);
  InvalidateRect(h, nullptr, TRUE);
  UpdateWindow(h);
}

void View::ControlChanged(const Control& c) {
  if (!main_ || destroyed_) return;
  if (c.kind == ControlKind::kForm) {
    SetWindowTextW(main_, Wide(c.text).c_str());
    RECT r{0, 0, c.bounds.width, c.bounds.height};
    AdjustWindowRectEx(&r, GetWindowLongW(main_, GWL_STYLE), FALSE,
                       GetWindowLongW(main_, GWL_EXSTYLE));
    SetWindowPos(main_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return;
  }
  if (c.kind == ControlKind::kTimer) {
    auto it = timers_.find(&c);
    if (c.enabled && it == timers_.end()) {
      UINT_PTR id = kFirstTimerId + timers_.size();
      SetTimer(main_, id, c.interval_ms, nullptr);
      timers_[&c] = id;
    } else if (!c.enabled && it != timers_.end()) {
      KillTimer(main_, it->second);
      timers_.erase(it);
    }
    return;
  }
  if (c.kind == ControlKind::kBalloon) {
    PlaceBalloon(c);
    return;
  }
  if (HWND h = Handle(c)) {
    Update(c, h);
    return;
  }
  // A drawn control: its container repaints the area now.
  const Control* container = Container(c);
  HWND h = container ? Handle(*container) : nullptr;
  if (container && container->kind == ControlKind::kForm) h = main_;
  if (!h) return;
  InvalidateRect(h, nullptr, FALSE);
  UpdateWindow(h);
}

void View::HandlePointer(const MSG& msg) {
  Control* c = ControlOf(msg.hwnd);
  if (msg.hwnd == main_) c = &form_.root();
  if (!c) return;
  POINT pt{static_cast<short>(LOWORD(msg.lParam)), static_cast<short>(HIWORD(msg.lParam))};
  // Inside a container, the drawn control under the pointer has the hint.
  Control* target = c;
  for (auto it = c->children.rbegin(); it != c->children.rend(); ++it) {
    const Control* child = *it;
    if (child->visible && !child->IsWindowed() && child->kind != ControlKind::kTimer &&
        child->bounds.Contains({pt.x, pt.y})) {
      target = const_cast<Control*>(child);
      break;
    }
  }
  form_.PointerOver(*target);
}

void View::Dispatch(MSG& msg) {
  if (msg.message == WM_MOUSEMOVE) HandlePointer(msg);
  if (main_ && IsDialogMessageW(main_, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

// Input reaches the form only from the outermost event; a close requested meanwhile (from a
// message pumped during a long run) destroys the window once that event has returned.
void View::EventDone() {
  if (event_depth_ == 0 && form_.closed() && main_ && !destroyed_) {
    destroyed_ = true;
    DestroyWindow(app_);
  }
}

LRESULT View::AppProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  switch (m) {
    case WM_ACTIVATE:
      if (LOWORD(w) != WA_INACTIVE && main_ && IsWindowVisible(main_)) SetActiveWindow(main_);
      return 0;
    case WM_SYSCOMMAND:
      if ((w & 0xFFF0) == SC_RESTORE) {
        ShowWindow(h, SW_RESTORE);
        if (main_) SetActiveWindow(main_);
        return 0;
      }
      if ((w & 0xFFF0) == SC_CLOSE && main_) {
        PostMessageW(main_, WM_CLOSE, 0, 0);
        return 0;
      }
      break;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(h, m, w, l);
}

LRESULT View::ContainerProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  switch (m) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(h, &ps);
      Paint(h, dc);
      EndPaint(h, &ps);
      return 0;
    }
    case WM_PRINTCLIENT:
      Paint(h, reinterpret_cast<HDC>(w));
      return 0;
    case WM_SETCURSOR:
      if (form_.cursor() == Cursor::kHourGlass) {
        SetCursor(LoadCursor(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_COMMAND:
      if (HIWORD(w) == BN_CLICKED) {
        if (Control* c = ControlOf(reinterpret_cast<HWND>(l))) {
          ++event_depth_;
          form_.Click(*c);
          --event_depth_;
          // Native radio buttons keep the state the form decided.
          if (c->kind == ControlKind::kRadioButton && !form_.closed()) Update(*c, Handle(*c));
          EventDone();
        }
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT: {
      Control* c = ControlOf(reinterpret_cast<HWND>(l));
      HDC dc = reinterpret_cast<HDC>(w);
      if (c && c->kind == ControlKind::kMemo) {
        SetTextColor(dc, ToColorRef(c->font.color));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      Control* self = ControlOf(h);
      Color bg = self ? self->color : kColorBtnFace;
      SetBkMode(dc, TRANSPARENT);
      if (IsSystemColor(bg)) return reinterpret_cast<LRESULT>(GetSysColorBrush(bg & 0xFF));
      static std::map<Color, HBRUSH> brushes;
      HBRUSH& b = brushes[bg];
      if (!b) b = CreateSolidBrush(ToColorRef(bg));
      return reinterpret_cast<LRESULT>(b);
    }
    case WM_DRAWITEM:
      DrawListItem(*reinterpret_cast<DRAWITEMSTRUCT*>(l));
      return TRUE;
    case WM_MEASUREITEM: {
      auto* mi = reinterpret_cast<MEASUREITEMSTRUCT*>(l);
      mi->itemHeight = 18;
      return TRUE;
    }
  }
  if (h == main_) {
    switch (m) {
      case WM_ACTIVATE:
        if (LOWORD(w) != WA_INACTIVE && !activated_) {
          activated_ = true;
          PostMessageW(h, kActivateMessage, 0, 0);
        }
        break;
      case kActivateMessage:
        ++event_depth_;
        form_.Activate();
        --event_depth_;
        EventDone();
        return 0;
      case WM_MOVE: {
        POINT p{0, 0};
        ClientToScreen(h, &p);
        form_.SetClientOrigin({p.x, p.y});
        break;
      }
      case WM_TIMER: {
        Control* timer = nullptr;
        for (auto& [c, id] : timers_) {
          if (id == w) timer = const_cast<Control*>(c);
        }
        if (timer) {
          ++event_depth_;
          form_.TimerElapsed(*timer);
          --event_depth_;
          EventDone();
        }
        return 0;
      }
      case WM_SYSCOMMAND:
        if ((w & 0xFFF0) == SC_MINIMIZE) {
          ShowWindow(app_, SW_MINIMIZE);
          return 0;
        }
        break;
      case WM_CLOSE:
        form_.Close();
        EventDone();
        return 0;
    }
  }
  return DefWindowProcW(h, m, w, l);
}

LRESULT View::ListProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  Control* c = ControlOf(h);
  if (c && (m == WM_LBUTTONDOWN || m == WM_LBUTTONDBLCLK)) {
    int x = static_cast<short>(LOWORD(l));
    LRESULT hit = SendMessageW(h, LB_ITEMFROMPOINT, 0, l);
    int index = LOWORD(hit);
    LRESULT result = CallWindowProcW(list_proc_, h, m, w, l);
    // A click on the check box, or a double click anywhere on the row, toggles it.
    if (!HIWORD(hit) && (x < c->item_height || m == WM_LBUTTONDBLCLK)) {
      ++event_depth_;
      form_.ToggleItem(*c, index);
      --event_depth_;
      InvalidateRect(h, nullptr, FALSE);
      EventDone();
    }
    return result;
  }
  if (c && m == WM_CHAR && w == L' ') {
    int index = static_cast<int>(SendMessageW(h, LB_GETCURSEL, 0, 0));
    ++event_depth_;
    form_.ToggleItem(*c, index);
    --event_depth_;
    InvalidateRect(h, nullptr, FALSE);
    EventDone();
    return 0;
  }
  return CallWindowProcW(list_proc_, h, m, w, l);
}

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

// Keeps the start and the end of a text that is too wide and puts an ellipsis between them.
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

LRESULT View::BalloonProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  switch (m) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(h, &ps);
      RECT r;
      GetClientRect(h, &r);
      PaintBalloon(dc, r);
      EndPaint(h, &ps);
      return 0;
    }
    case WM_MOUSEACTIVATE:
      return MA_NOACTIVATE;
    case WM_LBUTTONDOWN:
      ShowWindow(h, SW_HIDE);
      return 0;
  }
  return DefWindowProcW(h, m, w, l);
}

int View::Run() {
  HINSTANCE inst = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.hInstance = inst;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hIcon = LoadIcon(inst, MAKEINTRESOURCE(1));
  if (!wc.hIcon) wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.lpfnWndProc = StaticAppProc;
  wc.lpszClassName = kAppClass;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = StaticContainerProc;
  wc.lpszClassName = kFormClass;
  wc.hbrBackground = nullptr;
  RegisterClassExW(&wc);
  wc.lpszClassName = kPanelClass;
  wc.hIcon = nullptr;
  RegisterClassExW(&wc);
  wc.lpfnWndProc = StaticBalloonProc;
  wc.lpszClassName = kBalloonClass;
  wc.style = CS_DROPSHADOW;
  RegisterClassExW(&wc);

  // The application window carries the taskbar button with the program's title; the main
  // window is owned by it.
  app_ = CreateWindowExW(0, kAppClass, Wide(app_title_).c_str(),
                         WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_VISIBLE,
                         GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0,
                         nullptr, nullptr, inst, nullptr);
  const Control& root = form_.root();
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT r{0, 0, root.bounds.width, root.bounds.height};
  AdjustWindowRectEx(&r, style, FALSE, WS_EX_CONTROLPARENT);
  int w = r.right - r.left, h = r.bottom - r.top;
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  int x = work.left + (work.right - work.left - w) / 2;
  int y = work.top + (work.bottom - work.top - h) / 2;
  main_ = CreateWindowExW(WS_EX_CONTROLPARENT, kFormClass, Wide(root.text).c_str(), style, x, y, w,
                          h, app_, nullptr, inst, nullptr);
  controls_[main_] = &form_.root();
  hwnds_[&form_.root()] = main_;
  POINT origin{0, 0};
  ClientToScreen(main_, &origin);
  form_.SetClientOrigin({origin.x, origin.y});
  Create(form_.root(), main_);

  // Drawing order among siblings: the progress panel lies over the check area; tab stops follow
  // the form's tab order within each parent.
  for (auto& [c, hwnd] : hwnds_) {
    if (c->kind == ControlKind::kGradientPanel) {
      SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
  }
  std::map<HWND, HWND> last_in_parent;
  for (Control* c : form_.TabOrder()) {
    HWND hwnd = Handle(*c);
    if (!hwnd) continue;
    HWND parent = GetParent(hwnd);
    auto it = last_in_parent.find(parent);
    HWND after = it == last_in_parent.end() ? HWND_TOP : it->second;
    SetWindowPos(hwnd, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    last_in_parent[parent] = hwnd;
  }
  for (auto& [c, hwnd] : hwnds_) {
    if (c->kind == ControlKind::kGradientPanel) {
      SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
  }

  form_.SetView(this);
  ShowWindow(main_, SW_SHOWNORMAL);
  UpdateWindow(main_);
  SetForegroundWindow(main_);
  // Timers switched on before the window existed start now.
  for (const auto& c : form_.controls()) {
    if (c->kind == ControlKind::kTimer && c->enabled) ControlChanged(*c);
  }

  MSG msg;
  int code = 0;
  while (true) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      code = static_cast<int>(msg.wParam);
      break;
    }
    if (got == -1) break;
    Dispatch(msg);
  }
  form_.SetView(nullptr);
  return code;
}

}  // namespace

ScreenMetrics QueryScreen() {
  ScreenMetrics s;
  HDC dc = GetDC(nullptr);
  s.pixels_per_inch = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  s.width = GetSystemMetrics(SM_CXSCREEN);
  s.height = GetSystemMetrics(SM_CYSCREEN);
  if (s.pixels_per_inch <= 0) s.pixels_per_inch = 96;
  return s;
}

void InitCommonControls() {
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof(icc);
  icc.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
  InitCommonControlsEx(&icc);
}

int RunMainWindow(Form& form, const std::string& app_title) {
  InitCommonControls();
  View view(form, app_title);
  g_view = &view;
  int code = view.Run();
  g_view = nullptr;
  return code;
}

}  // namespace tarvo::widgets::win32
