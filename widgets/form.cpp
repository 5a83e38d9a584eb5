#include "widgets/form.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace tarvo::widgets {

bool Control::IsWindowed() const {
  switch (kind) {
    case ControlKind::kForm:
    case ControlKind::kPanel:
    case ControlKind::kGradientPanel:
    case ControlKind::kStatusBar:
    case ControlKind::kHeaderControl:
    case ControlKind::kMemo:
    case ControlKind::kCheckListBox:
    case ControlKind::kRadioButton:
    case ControlKind::kButton:
    case ControlKind::kProgressBar:
    case ControlKind::kBalloon:
      return true;
    default:
      return false;
  }
}

int MulDiv(int value, int numerator, int denominator) {
  if (denominator == 0) return -1;  // as the Windows function does
  int64_t product = int64_t{value} * numerator;
  int64_t half = std::abs(int64_t{denominator}) / 2;
  bool negative = (product < 0) != (denominator < 0);
  int64_t q = (std::abs(product) + half) / std::abs(int64_t{denominator});
  return static_cast<int>(negative ? -q : q);
}

int RoundHalfEven(double value) { return static_cast<int>(std::nearbyint(value)); }

Form::Form(std::string name, int client_width, int client_height) {
  auto root = std::make_unique<Control>();
  root->name = std::move(name);
  root->kind = ControlKind::kForm;
  root->bounds = {0, 0, client_width, client_height};
  controls_.push_back(std::move(root));
}

Control& Form::Add(Control& parent, std::string name, ControlKind kind, Rect bounds) {
  if (!name.empty() && Find(name)) throw FormError("duplicate control name " + name);
  auto c = std::make_unique<Control>();
  c->name = std::move(name);
  c->kind = kind;
  c->bounds = bounds;
  c->parent = &parent;
  c->font = parent.font;
  if (kind == ControlKind::kLabel || kind == ControlKind::kStaticText ||
      kind == ControlKind::kImage || kind == ControlKind::kRadioButton) {
    c->color = parent.color;
  }
  parent.children.push_back(c.get());
  controls_.push_back(std::move(c));
  return *controls_.back();
}

Control* Form::Find(std::string_view name) {
  for (auto& c : controls_) {
    if (c->name == name) return c.get();
  }
  return nullptr;
}

Control& Form::Get(std::string_view name) {
  Control* c = Find(name);
  if (!c) throw FormError("no control named " + std::string(name));
  return *c;
}

const Control& Form::Get(std::string_view name) const { return const_cast<Form*>(this)->Get(name); }

void Form::ScaleBy(int numerator, int denominator) {
  if (numerator == denominator) return;
  auto scale = [&](int v) { return MulDiv(v, numerator, denominator); };
  for (auto& c : controls_) {
    Rect& b = c->bounds;
    if (c->kind != ControlKind::kForm) {
      int left = scale(b.left), top = scale(b.top);
      b = {left, top, scale(b.right()) - left, scale(b.bottom()) - top};
    } else {
      b.width = scale(b.width);
      b.height = scale(b.height);
    }
    c->font.height = scale(c->font.height);
    c->item_height = scale(c->item_height);
    for (auto& s : c->sections) s.width = scale(s.width);
  }
  Realign(root());
}

void Form::Realign(Control& parent) {
  int top = 0, bottom = parent.bounds.height;
  for (Control* c : parent.children) {
    if (!c->visible) continue;
    Rect b = c->bounds;
    switch (c->align) {
      case Align::kTop:
        b = {0, top, parent.bounds.width, b.height};
        top += b.height;
        break;
      case Align::kBottom:
        bottom -= b.height;
        b = {0, bottom, parent.bounds.width, b.height};
        break;
      default:
        continue;
    }
    if (!(b == c->bounds)) SetBounds(*c, b);
  }
  for (Control* c : parent.children) {
    if (c->align == Align::kClient && c->visible) {
      Rect b{0, top, parent.bounds.width, std::max(0, bottom - top)};
      if (!(b == c->bounds)) SetBounds(*c, b);
    }
  }
  for (Control* c : parent.children) {
    if (!c->children.empty()) Realign(*c);
  }
}

void Form::SetClientSize(int width, int height) {
  Control& r = root();
  r.bounds.width = width;
  r.bounds.height = height;
  Notify(r);
  Realign(r);
}

void Form::Notify(const Control& c) {
  if (view_) view_->ControlChanged(c);
}

void Form::Changed(const Control& c) { Notify(c); }

void Form::Repaint() {
  if (view_) view_->RepaintAll();
}

void Form::RedrawAll() {
  if (view_) view_->RedrawAll();
}

void Form::SetText(Control& c, std::string text) {
  if (c.text == text) return;
  c.text = std::move(text);
  Notify(c);
}

void Form::SetEnabled(Control& c, bool enabled) {
  if (c.enabled == enabled) return;
  c.enabled = enabled;
  Notify(c);
}

void Form::SetVisible(Control& c, bool visible) {
  if (c.visible == visible) return;
  c.visible = visible;
  Notify(c);
  if (c.align != Align::kNone && c.parent) Realign(*c.parent);
}

void Form::SetPicture(Control& c, Picture picture) {
  if (c.picture == picture) return;
  c.picture = picture;
  Notify(c);
}

void Form::SetFontColor(Control& c, Color color) {
  if (c.font.color == color) return;
  c.font.color = color;
  Notify(c);
}

void Form::SetBold(Control& c, bool bold) {
  if (c.font.bold == bold) return;
  c.font.bold = bold;
  Notify(c);
}

void Form::SetColor(Control& c, Color color) {
  if (c.color == color) return;
  c.color = color;
  Notify(c);
}

void Form::SetBounds(Control& c, Rect bounds) {
  if (c.bounds == bounds) return;
  c.bounds = bounds;
  Notify(c);
  if (!c.children.empty()) Realign(c);
}

void Form::SetLines(Control& c, std::vector<std::string> lines) {
  if (c.lines == lines) return;
  c.lines = std::move(lines);
  Notify(c);
}

void Form::SetChecked(Control& c, bool checked) {
  if (c.checked == checked) return;
  c.checked = checked;
  Notify(c);
}

void Form::SetItemChecked(Control& list, int index, bool checked) {
  if (index < 0 || index >= static_cast<int>(list.items.size())) return;
  CheckItem& item = list.items[index];
  if (item.checked == checked) return;
  item.checked = checked;
  Notify(list);
}

void Form::SetPercent(Control& c, int percent) {
  percent = std::clamp(percent, 0, 100);
  if (c.percent == percent) return;
  c.percent = percent;
  Notify(c);
}

void Form::SetCursor(Cursor cursor) {
  cursor_ = cursor;
  if (view_) view_->CursorChanged(cursor);
}

void Form::SetFocus(Control& c) {
  active_ = &c;
  if (view_) view_->FocusChanged(c);
}

Point Form::ScreenPosition(const Control& c) const {
  Point p = client_origin_;
  for (const Control* x = &c; x && x->kind != ControlKind::kForm; x = x->parent) {
    p.x += x->bounds.left;
    p.y += x->bounds.top;
  }
  return p;
}

Control& Form::ControlAt(Point client_point) {
  Control* found = &root();
  Point local = client_point;
  for (bool descended = true; descended;) {
    descended = false;
    // Later children lie on top of earlier ones.
    for (auto it = found->children.rbegin(); it != found->children.rend(); ++it) {
      Control* c = *it;
      if (!c->visible || c->kind == ControlKind::kTimer || c->kind == ControlKind::kBalloon) {
        continue;
      }
      if (c->bounds.Contains(local)) {
        local.x -= c->bounds.left;
        local.y -= c->bounds.top;
        found = c;
        descended = true;
        break;
      }
    }
  }
  return *found;
}

std::vector<Control*> Form::TabOrder() {
  std::vector<Control*> order;
  for (auto& c : controls_) {
    if (c->tab_order >= 0) order.push_back(c.get());
  }
  std::stable_sort(order.begin(), order.end(),
                   [](Control* a, Control* b) { return a->tab_order < b->tab_order; });
  return order;
}

void Form::ProcessPendingMessages() {
  if (view_) view_->ProcessPendingMessages();
}

void Form::Activate() { OnActivate(); }

void Form::Click(Control& c) {
  if (!c.enabled || !c.visible || closed_) return;
  if (c.kind == ControlKind::kRadioButton && c.parent) {
    if (c.checked) return;  // only a change of choice counts as a click
    for (Control* sibling : c.parent->children) {
      if (sibling->kind == ControlKind::kRadioButton) SetChecked(*sibling, sibling == &c);
    }
  }
  OnClick(c);
}

void Form::ToggleItem(Control& list, int index) {
  if (!list.enabled || !list.visible || closed_) return;
  if (index < 0 || index >= static_cast<int>(list.items.size())) return;
  CheckItem& item = list.items[index];
  if (item.header || !item.enabled) return;
  SetItemChecked(list, index, !item.checked);
  OnItemCheckChanged(list, index);
}

void Form::TimerElapsed(Control& timer) {
  if (!timer.enabled) return;
  OnTimer(timer);
}

void Form::PointerOver(Control& c) {
  if (!status_bar_ || status_bar_->sections.empty()) return;
  // A control without a hint of its own shows its parent's, as the component library does.
  const Control* x = &c;
  while (x && x->hint.empty()) x = x->parent;
  std::string hint = x ? x->hint : std::string();
  if (status_bar_->sections[0].text == hint) return;
  status_bar_->sections[0].text = hint;
  Notify(*status_bar_);
}

void Form::Close() {
  if (closed_) return;
  closed_ = true;
  OnClose();
}

}  // namespace tarvo::widgets
