#pragma once

namespace tarvo::db::detail {
extern const char16_t kCp437High[128];
extern const char16_t kCp850High[128];
extern const char16_t kCp1252High[128];
}  // namespace tarvo::db::detail
