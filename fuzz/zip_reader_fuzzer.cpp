// Opens arbitrary bytes as an archive held in memory, lists it and tests every entry.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "archive/zip_archiver.h"
#include "archive/zip_stream.h"
#include "platform/auto_dialogs.h"
#include "platform/services.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tarvo::platform::Services services = tarvo::platform::MakeSystemServices();
  tarvo::platform::AutoDialogs dialogs;
  tarvo::archive::TZipArchiver zip(*services.fs, dialogs);
  zip.Password = "fuzz";
  zip.OnProcessFileFailure = [](tarvo::archive::TZipBaseArchiver&, const std::string&,
                                tarvo::archive::TZipProcessOperation, int, int, const std::string&,
                                tarvo::archive::TZipAction& action) {
    action = tarvo::archive::TZipAction::fxaIgnore;
  };
  try {
    zip.OpenArchive(
        std::make_unique<tarvo::archive::MemoryFile>(std::vector<uint8_t>(data, data + size)),
        tarvo::archive::kOpenReadDenyWrite);
    tarvo::archive::TZipArchiveItem item;
    for (bool more = zip.FindFirst("*.*", item); more; more = zip.FindNext(item)) {
    }
    zip.TestFiles();
  } catch (const std::exception&) {
  }
  return 0;
}
