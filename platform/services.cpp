#include "platform/services.h"

#include <algorithm>

#include "platform/auto_dialogs.h"

namespace tarvo::platform {

DosDateTime ToDosDateTime(const LocalTime& t) {
  const int year = std::clamp(t.year, 1980, 2107);
  DosDateTime d;
  d.date = static_cast<uint16_t>(((year - 1980) << 9) | (t.month << 5) | t.day);
  d.time = static_cast<uint16_t>((t.hour << 11) | (t.minute << 5) | (t.second / 2));
  return d;
}

LocalTime FromDosDateTime(DosDateTime d) {
  LocalTime t;
  t.year = 1980 + (d.date >> 9);
  t.month = (d.date >> 5) & 0x0F;
  t.day = d.date & 0x1F;
  t.hour = d.time >> 11;
  t.minute = (d.time >> 5) & 0x3F;
  t.second = (d.time & 0x1F) * 2;
  // Zeller-free weekday: days since 1980-01-01 (a Tuesday).
  static constexpr int kCum[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  if (t.month >= 1 && t.month <= 12 && t.day >= 1) {
    int days = 0;
    for (int y = 1980; y < t.year; ++y)
      days += (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 366 : 365;
    days += kCum[t.month - 1] + t.day - 1;
    const bool leap = t.year % 4 == 0 && (t.year % 100 != 0 || t.year % 400 == 0);
    if (leap && t.month > 2) ++days;
    t.day_of_week = (2 + days) % 7;
  }
  return t;
}

DialogResult AutoDialogs::ShowMessage(const std::string& text, const std::string& caption,
                                      const std::vector<DialogResult>& buttons, MessageIcon icon,
                                      DialogResult default_button) {
  Shown shown{text, caption, buttons, icon, DialogResult::kNone};
  if (!answers_.empty()) {
    shown.answer = answers_.front();
    answers_.pop_front();
  } else if (default_answer) {
    shown.answer = default_answer(shown);
  } else if (default_button != DialogResult::kNone) {
    shown.answer = default_button;
  } else if (std::find(buttons.begin(), buttons.end(), DialogResult::kAbort) != buttons.end()) {
    shown.answer = DialogResult::kAbort;
  } else if (std::find(buttons.begin(), buttons.end(), DialogResult::kNo) != buttons.end()) {
    shown.answer = DialogResult::kNo;
  } else {
    shown.answer = buttons.empty() ? DialogResult::kOk : buttons.front();
  }
  shown_.push_back(shown);
  return shown.answer;
}

bool AutoDialogs::InputQuery(const std::string& caption, const std::string& prompt,
                             std::string& value) {
  Shown shown{prompt,
              caption,
              {DialogResult::kOk, DialogResult::kCancel},
              MessageIcon::kNone,
              DialogResult::kCancel};
  bool ok = false;
  if (!inputs_.empty()) {
    value = inputs_.front().first;
    ok = inputs_.front().second;
    inputs_.pop_front();
    shown.answer = ok ? DialogResult::kOk : DialogResult::kCancel;
  }
  shown_.push_back(shown);
  return ok;
}

}  // namespace tarvo::platform
