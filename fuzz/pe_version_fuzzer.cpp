// The PE version-resource reader on arbitrary images and on arbitrary resource blocks.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/pe_version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> names = {"FileVersion", "ProductVersion"};
  tarvo::platform::ReadPeVersionStrings(bytes, names);
  tarvo::platform::ParseVersionStrings(bytes, names);
  return 0;
}
