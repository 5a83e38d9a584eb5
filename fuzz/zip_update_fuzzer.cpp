// Opens arbitrary bytes read-write as an archive in memory, adds a small file, and checks the
// result: a failed pass leaves the bytes exactly as they were; a completed one gives an archive
// whose new entry tests good and whose other entries that were good stay good. With
// TARVO_FUZZ_UNZIP=1, an input that `unzip -t` accepted must still be accepted afterwards.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "archive/zip_archiver.h"
#include "archive/zip_stream.h"
#include "platform/auto_dialogs.h"
#include "platform/services.h"

namespace {

using namespace tarvo;

platform::Services& Services() {
  static platform::Services s = platform::MakeSystemServices();
  return s;
}

const std::string& Base() {
  static const std::string base = [] {
    auto dir =
        std::filesystem::temp_directory_path() / ("tarvo_update_fuzz_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "fuzz_added.txt") << "added by the update fuzzer\n";
    return dir.string();
  }();
  return base;
}

struct Verdict {
  bool opened = false;
  bool tested = false;  // the test ran to its end
  int failures = 0;
  int good = 0;  // entries that decoded to their size and CRC-32
};

// Opens the bytes and tests the entries matching the mask.
Verdict Check(const std::vector<uint8_t>& bytes, const std::string& mask) {
  platform::AutoDialogs dialogs;
  archive::TZipArchiver zip(*Services().fs, dialogs);
  Verdict v;
  zip.OnProcessFileFailure = [&](archive::TZipBaseArchiver&, const std::string&,
                                 archive::TZipProcessOperation, int, int, const std::string&,
                                 archive::TZipAction& action) {
    ++v.failures;
    action = archive::TZipAction::fxaIgnore;
  };
  int skipped = 0;
  zip.OnPassword = [&](archive::TZipBaseArchiver&, const std::string&, std::string&, bool& skip) {
    skip = true;
    ++skipped;
  };
  zip.OnFileProgress = [&](archive::TZipBaseArchiver&, const std::string&, double,
                           archive::TZipProcessOperation, archive::TZipProgressPhase phase,
                           bool&) { v.good += phase == archive::TZipProgressPhase::ppEnd; };
  try {
    zip.OpenArchive(std::make_unique<archive::MemoryFile>(bytes), archive::kOpenReadDenyWrite);
    v.opened = true;
    zip.TestFiles(mask);
    v.tested = true;
    v.good -= skipped;
  } catch (const std::exception&) {
  }
  return v;
}

bool UnzipAccepts(const std::vector<uint8_t>& bytes) {
  std::string path = Base() + "/check.zip";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return std::system(("unzip -tqq '" + path + "' > /dev/null 2>&1").c_str()) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> original(data, data + size);
  static const bool use_unzip = std::getenv("TARVO_FUZZ_UNZIP") != nullptr;
  const bool unzip_before = use_unzip && UnzipAccepts(original);
  const Verdict before = Check(original, "*.*");

  platform::AutoDialogs dialogs;
  archive::TZipArchiver zip(*Services().fs, dialogs);
  zip.BaseDir = Base();
  zip.SetCompressionLevel(archive::TZipCompressionLevel::clNormal);
  auto file = std::make_unique<archive::MemoryFile>(original);
  archive::MemoryFile* memory = file.get();
  try {
    zip.OpenArchive(std::move(file), archive::kOpenReadWrite);
  } catch (const std::exception&) {
    return 0;
  }
  bool passed = true;
  try {
    zip.AddFiles("fuzz_added.txt");
  } catch (const std::exception&) {
    passed = false;
  }
  std::vector<uint8_t> result = memory->data();
  zip.CloseArchive();
  if (!passed || zip.LastOperationAborted()) {
    if (result != original) {
      std::fprintf(stderr, "failed pass changed the archive\n");
      std::abort();
    }
    return 0;
  }
  const Verdict after = Check(result, "*.*");
  const Verdict added = Check(result, "fuzz_added.txt");
  if (!after.opened || !added.tested || added.failures != 0 ||
      (before.tested && (!after.tested || after.good < before.good + 1))) {
    std::fprintf(stderr, "updated archive does not test: before %d/%d after %d/%d added %d\n",
                 before.tested, before.good, after.tested, after.good, added.failures);
    if (const char* dump = std::getenv("TARVO_FUZZ_DUMP"))
      std::ofstream(dump, std::ios::binary)
          .write(reinterpret_cast<const char*>(result.data()),
                 static_cast<std::streamsize>(result.size()));
    std::abort();
  }
  if (unzip_before && !UnzipAccepts(result)) {
    std::fprintf(stderr, "unzip rejects the updated archive\n");
    std::abort();
  }
  return 0;
}
