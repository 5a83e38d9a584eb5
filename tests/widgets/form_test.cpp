#include "widgets/form.h"

#include <gtest/gtest.h>

namespace tarvo::widgets {
namespace {

TEST(WidgetsFormTest, RoundingRules) {
  EXPECT_EQ(MulDiv(31, 120, 96), 39);  // 38.75
  EXPECT_EQ(MulDiv(6, 120, 96), 8);    // 7.5 rounds away from zero
  EXPECT_EQ(MulDiv(-6, 120, 96), -8);
  EXPECT_EQ(MulDiv(5, 1, 0), -1);
  EXPECT_EQ(RoundHalfEven(7.5), 8);
  EXPECT_EQ(RoundHalfEven(6.5), 6);
  EXPECT_EQ(RoundHalfEven(10.0), 10);
  EXPECT_EQ(RoundHalfEven(8 * 1.5), 12);
  EXPECT_EQ(RoundHalfEven(6 * 1.75), 10);  // 10.5
}

TEST(WidgetsFormTest, ScalingKeepsNeighboursFlushAndRealignsDockedControls) {
  Form f("F", 100, 100);
  Control& top = f.Add(f.root(), "top", ControlKind::kShape, {0, 0, 100, 13});
  top.align = Align::kTop;
  Control& bottom = f.Add(f.root(), "bottom", ControlKind::kStatusBar, {0, 81, 100, 19});
  bottom.align = Align::kBottom;
  Control& client = f.Add(f.root(), "client", ControlKind::kPanel, {});
  client.align = Align::kClient;
  Control& a = f.Add(client, "a", ControlKind::kLabel, {5, 5, 7, 7});
  Control& b = f.Add(client, "b", ControlKind::kLabel, {12, 5, 7, 7});
  f.Realign(f.root());
  EXPECT_EQ(client.bounds, (Rect{0, 13, 100, 68}));

  f.ScaleBy(120, 96);
  EXPECT_EQ(f.root().bounds, (Rect{0, 0, 125, 125}));
  EXPECT_EQ(a.bounds.right(), b.bounds.left);
  EXPECT_EQ(bottom.bounds.bottom(), 125);
  EXPECT_EQ(client.bounds.top, top.bounds.bottom());
  EXPECT_EQ(client.bounds.bottom(), bottom.bounds.top);

  f.SetClientSize(125, 100);
  EXPECT_EQ(bottom.bounds.bottom(), 100);
  EXPECT_EQ(client.bounds.bottom(), bottom.bounds.top);
  f.SetVisible(top, false);
  EXPECT_EQ(client.bounds.top, 0);
  EXPECT_THROW(f.Add(f.root(), "a", ControlKind::kLabel, {}), FormError);
  EXPECT_THROW(f.Get("missing"), FormError);
}

class CountingForm : public Form {
 public:
  CountingForm() : Form("F", 200, 200) {}
  int clicks = 0;
  int toggles = 0;

 protected:
  void OnClick(Control&) override { ++clicks; }
  void OnItemCheckChanged(Control&, int) override { ++toggles; }
};

TEST(WidgetsFormTest, EventsRespectEnabledStateAndRadioGroups) {
  CountingForm f;
  Control& group = f.Add(f.root(), "group", ControlKind::kPanel, {0, 0, 200, 100});
  Control& r1 = f.Add(group, "r1", ControlKind::kRadioButton, {0, 0, 50, 17});
  Control& r2 = f.Add(group, "r2", ControlKind::kRadioButton, {0, 20, 50, 17});
  Control& other = f.Add(f.root(), "other", ControlKind::kRadioButton, {0, 120, 50, 17});
  f.Click(r1);
  f.Click(other);
  EXPECT_TRUE(r1.checked);
  EXPECT_TRUE(other.checked);  // another parent, another group
  f.Click(r2);
  EXPECT_FALSE(r1.checked);
  EXPECT_TRUE(r2.checked);
  EXPECT_EQ(f.clicks, 3);
  f.Click(r2);  // no change of choice
  EXPECT_EQ(f.clicks, 3);
  f.SetEnabled(r1, false);
  f.Click(r1);
  EXPECT_FALSE(r1.checked);
  EXPECT_EQ(f.clicks, 3);

  Control& list = f.Add(f.root(), "list", ControlKind::kCheckListBox, {0, 150, 100, 40});
  list.items = {{"head", false, true, true, ""},
                {"on", false, true, false, ""},
                {"grey", true, false, false, ""}};
  f.ToggleItem(list, 0);
  f.ToggleItem(list, 2);
  f.ToggleItem(list, 3);
  f.ToggleItem(list, -1);
  EXPECT_EQ(f.toggles, 0);
  f.ToggleItem(list, 1);
  EXPECT_TRUE(list.items[1].checked);
  f.SetEnabled(list, false);
  f.ToggleItem(list, 1);
  EXPECT_TRUE(list.items[1].checked);
  EXPECT_EQ(f.toggles, 1);

  f.Close();
  f.SetEnabled(list, true);
  f.ToggleItem(list, 1);
  EXPECT_EQ(f.toggles, 1);  // a closed window takes no more input
}

TEST(WidgetsFormTest, ScreenPositionsAndHitTesting) {
  Form f("F", 200, 200);
  f.SetClientOrigin({100, 50});
  Control& panel = f.Add(f.root(), "panel", ControlKind::kPanel, {10, 20, 100, 100});
  Control& label = f.Add(panel, "label", ControlKind::kLabel, {5, 6, 30, 10});
  Control& hidden = f.Add(panel, "hidden", ControlKind::kLabel, {5, 6, 30, 10});
  hidden.visible = false;
  EXPECT_EQ(f.ScreenPosition(label), (Point{115, 76}));
  EXPECT_EQ(&f.ControlAt({16, 27}), &label);
  EXPECT_EQ(&f.ControlAt({50, 90}), &panel);
  EXPECT_EQ(&f.ControlAt({150, 150}), &f.root());
}

}  // namespace
}  // namespace tarvo::widgets
