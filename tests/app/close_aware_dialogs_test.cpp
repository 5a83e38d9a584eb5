#include "app/close_aware_dialogs.h"

#include <gtest/gtest.h>

#include "tests/app/memory_services.h"

namespace tarvo::app {
namespace {

using platform::DialogResult;
using platform::MessageIcon;

TEST(CloseAwareDialogsTest, AsksUntilCloseIsRequestedThenAnswersAsCancelled) {
  testing::memory::RecordingDialogs inner;
  bool closed = false;
  CloseAwareDialogs dialogs(inner, [&] { return closed; });
  EXPECT_EQ(dialogs.ShowMessage("a", "b", {DialogResult::kYes, DialogResult::kNo},
                                MessageIcon::kWarning, DialogResult::kNo),
            DialogResult::kYes);  // the recording fake picks the first button
  EXPECT_EQ(inner.shown.size(), 1u);

  closed = true;
  EXPECT_EQ(dialogs.ShowMessage("a", "b", {DialogResult::kYes, DialogResult::kNo},
                                MessageIcon::kWarning, DialogResult::kNo),
            DialogResult::kNo);
  EXPECT_EQ(dialogs.ShowMessage("a", "b", {DialogResult::kOk}, MessageIcon::kInformation,
                                DialogResult::kNone),
            DialogResult::kOk);
  EXPECT_EQ(dialogs.ShowMessage("a", "b", {DialogResult::kOk, DialogResult::kCancel},
                                MessageIcon::kNone, DialogResult::kNone),
            DialogResult::kCancel);
  EXPECT_EQ(dialogs.ShowMessage("a", "b",
                                {DialogResult::kAbort, DialogResult::kRetry, DialogResult::kIgnore},
                                MessageIcon::kError, DialogResult::kNone),
            DialogResult::kAbort);
  std::string value = "x";
  EXPECT_FALSE(dialogs.InputQuery("c", "p", value));
  EXPECT_EQ(inner.shown.size(), 1u);  // nothing more reached the person
}

}  // namespace
}  // namespace tarvo::app
