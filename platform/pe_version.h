// Our own reader of version resources in PE files (Windows executables), for platforms without
// the Win32 version API. Every offset and length in the image is checked.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/services.h"

namespace tarvo::platform {

// The raw VS_VERSIONINFO block of a PE image; nothing when the image has none or is damaged.
std::optional<std::string> ExtractVersionResource(std::string_view image);

// The string values of a VS_VERSIONINFO block, looked up under the first translation, names
// compared without regard to letter case.
VersionInfo::Strings ParseVersionStrings(std::string_view resource,
                                         const std::vector<std::string>& names);

// Both steps on a whole file image.
VersionInfo::Strings ReadPeVersionStrings(std::string_view image,
                                          const std::vector<std::string>& names);

}  // namespace tarvo::platform
