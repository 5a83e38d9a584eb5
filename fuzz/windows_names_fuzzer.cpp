// The Windows name rules and the stored-path check built on them, on arbitrary bytes. Besides
// not crashing, an accepted path must stay below the base folder when resolved as Windows would,
// and the rules must not depend on letter case or be fooled by what Windows drops.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "archive/zip_mask.h"
#include "platform/path.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

std::string AsciiUpper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

void CheckName(const std::string& name) {
  const bool plain = tarvo::platform::IsPlainWindowsName(name);
  Require(plain == tarvo::platform::IsPlainWindowsName(AsciiUpper(name)));
  // Windows drops a trailing dot or space, so such a name is never the one written.
  Require(!tarvo::platform::IsPlainWindowsName(name + "."));
  Require(!tarvo::platform::IsPlainWindowsName(name + " "));
  if (!plain) return;
  Require(!name.empty() && name != "." && name != "..");
  for (char c : name) Require(static_cast<unsigned char>(c) >= 0x20 && c != '/' && c != '\\');
}

void CheckPath(std::string_view stored) {
  const char* why = nullptr;
  const std::optional<std::string> safe = tarvo::archive::SafeRelativePath(stored, &why);
  // A refusal always names its rule, and the same name is refused with or without asking why.
  Require((why != nullptr) == !safe.has_value());
  Require(tarvo::archive::SafeRelativePath(stored).has_value() == safe.has_value());
  if (!safe) return;
  // Resolved lexically, as the file system will: never above the base, never a drive or a
  // device, and no component is altered on the way.
  std::string_view rest = *safe;
  if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  int depth = 0;
  while (true) {
    const size_t cut = rest.find('\\');
    const std::string part(rest.substr(0, cut));
    if (part == "..") {
      Require(--depth >= 0);
      Require(cut != std::string_view::npos);  // the last component names the file itself
    } else {
      Require(tarvo::platform::IsPlainWindowsName(part));
      ++depth;
    }
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  Require(safe->find(':') == std::string::npos && safe->find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  CheckName(bytes);
  CheckPath(bytes);
  return 0;
}
