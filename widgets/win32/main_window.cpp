#include "widgets/win32/main_window.h"

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "widgets/win32/pictures.h"
#include "widgets/win32/view.h"

namespace tarvo::widgets::win32 {
namespace detail {
namespace {

constexpr wchar_t kAppClass[] = L"TarvoApplication";
constexpr wchar_t kFormClass[] = L"TarvoForm";
constexpr wchar_t kPanelClass[] = L"TarvoPanel";
constexpr wchar_t kBalloonClass[] = L"TarvoBalloon";
constexpr UINT kActivateMessage = WM_APP + 1;
constexpr UINT_PTR kFirstTimerId = 100;

View* g_view = nullptr;  // one window per program

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

}  // namespace

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

HBRUSH View::Brush(Color color) {
  HBRUSH& b = brushes_[color];
  if (!b) b = CreateSolidBrush(ToColorRef(color));
  return b;
}

LRESULT View::ContainerProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (auto r = ChildMessage(h, m, w, l)) return *r;
  if (h == main_) {
    if (auto r = MainWindowMessage(h, m, w, l)) return *r;
  }
  return DefWindowProcW(h, m, w, l);
}

LRESULT View::ColorMessage(HWND h, WPARAM w, LPARAM l) {
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
  return reinterpret_cast<LRESULT>(Brush(bg));
}

std::optional<LRESULT> View::ChildMessage(HWND h, UINT m, WPARAM w, LPARAM l) {
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
          Event([&] {
            form_.Click(*c);
            // Native radio buttons keep the state the form decided.
            if (c->kind == ControlKind::kRadioButton && !form_.closed()) Update(*c, Handle(*c));
          });
        }
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
      return ColorMessage(h, w, l);
    case WM_DRAWITEM:
      DrawListItem(*reinterpret_cast<DRAWITEMSTRUCT*>(l));
      return TRUE;
    case WM_MEASUREITEM: {
      auto* mi = reinterpret_cast<MEASUREITEMSTRUCT*>(l);
      mi->itemHeight = 18;
      return TRUE;
    }
  }
  return std::nullopt;
}

std::optional<LRESULT> View::MainWindowMessage(HWND h, UINT m, WPARAM w, LPARAM l) {
  switch (m) {
    case WM_ACTIVATE:
      if (LOWORD(w) != WA_INACTIVE && !activated_) {
        activated_ = true;
        PostMessageW(h, kActivateMessage, 0, 0);
      }
      break;
    case kActivateMessage:
      Event([&] { form_.Activate(); });
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
      if (timer) Event([&] { form_.TimerElapsed(*timer); });
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
  return std::nullopt;
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

void View::RegisterClasses(HINSTANCE inst) {
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
}

void View::CreateWindows(HINSTANCE inst) {
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
}

// Drawing order among siblings: the progress panel lies over the check area; tab stops follow
// the form's tab order within each parent.
void View::ArrangeZOrder() {
  auto raise_panels = [&] {
    for (auto& [c, hwnd] : hwnds_) {
      if (c->kind == ControlKind::kGradientPanel) {
        SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      }
    }
  };
  raise_panels();
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
  raise_panels();
}

int View::MessageLoop() {
  MSG msg;
  while (true) {
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(msg.wParam);
    if (got == -1) return 0;
    Dispatch(msg);
  }
}

int View::Run() {
  HINSTANCE inst = GetModuleHandleW(nullptr);
  RegisterClasses(inst);
  CreateWindows(inst);
  ArrangeZOrder();
  form_.SetView(this);
  ShowWindow(main_, SW_SHOWNORMAL);
  UpdateWindow(main_);
  SetForegroundWindow(main_);
  // Timers switched on before the window existed start now.
  for (const auto& c : form_.controls()) {
    if (c->kind == ControlKind::kTimer && c->enabled) ControlChanged(*c);
  }
  int code = MessageLoop();
  form_.SetView(nullptr);
  return code;
}

}  // namespace detail

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
  detail::View view(form, app_title);
  detail::g_view = &view;
  int code = view.Run();
  detail::g_view = nullptr;
  return code;
}

}  // namespace tarvo::widgets::win32
