// The profile-file reader on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "text/profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const auto ini = tarvo::text::ProfileFile::Parse(bytes);
  for (const char* section : {"Info", "Component1", "Backup", ""}) {
    for (const char* key : {"Caption", "ComponentCount", "Name1", "Check1", "Backup_Dir1", ""}) {
      const std::string v = ini.ReadString(section, key);
      if (v.size() > 4 * tarvo::text::ProfileFile::kMaxValueLength) __builtin_trap();
      ini.ReadInteger(section, key, 7);
      ini.ReadBool(section, key, true);
    }
  }
  tarvo::text::ParseProfileInteger(bytes);
  return 0;
}
