// tarvo-zip: lists, tests, extracts and adds to ZIP archives with the product's archive engine, for
// people and for black-box tests. No dialogs: a failed entry is reported on standard error and the
// run goes on. Exit status: 0 every selected entry passed, 1 some entry failed, 2 the archive could
// not be opened (or the command line was wrong).
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define TARVO_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define TARVO_ISATTY(fd) isatty(fd)
#endif

#include "archive/zip_archiver.h"
#include "platform/auto_dialogs.h"
#include "platform/services.h"
#include "tools/command_line.h"

namespace {

using tarvo::archive::TZipAction;
using tarvo::archive::TZipArchiver;
using tarvo::archive::TZipBaseArchiver;
using tarvo::archive::TZipProcessOperation;
using tarvo::archive::TZipProgressPhase;

constexpr int kExitOk = 0;
constexpr int kExitEntryFailed = 1;
constexpr int kExitOpenFailed = 2;

int Usage() {
  std::fprintf(stderr,
               "usage: tarvo-zip list [--tsv] ARCHIVE\n"
               "       tarvo-zip test ARCHIVE [MASK] [--password P]\n"
               "       tarvo-zip extract ARCHIVE DIR [MASK] [--password P]\n"
               "       tarvo-zip add ARCHIVE BASEDIR MASK [--level 0-9] [--password P]\n"
               "                 [--exclude MASK] [--no-test] [--threads N]\n");
  return kExitOpenFailed;
}

std::string DosTimeText(uint16_t date, uint16_t time) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", 1980 + (date >> 9),
                (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return buf;
}

// A name as one field of a --tsv row: a tab, a line break or an escape sequence in a stored name
// cannot fake another field or row. "\\" for a backslash, "\t", "\n", "\r", "\xNN" for the other
// control bytes.
std::string TsvField(const std::string& name) {
  std::string out;
  for (char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

struct Args {
  std::string command;
  std::vector<std::string> positional;
  std::string password;
  bool has_password = false;
  bool tsv = false;
  int level = 6;
  std::string exclude;
  bool no_test = false;
  int threads = 0;  // one per processor
};

bool ParseArgs(const std::vector<std::string>& argv, Args& a) {
  if (argv.size() < 2) return false;
  a.command = argv[1];
  tarvo::tools::CommandLine cl;
  // Any other "--" word is a positional one: a mask may start so.
  if (!tarvo::tools::ParseCommandLine(argv, 2, {"--exclude", "--level", "--password", "--threads"},
                                      {"--tsv", "--no-test"},
                                      tarvo::tools::UnknownOption::kPositional, cl))
    return false;
  a.positional = cl.positional;
  a.tsv = cl.Has("--tsv");
  a.no_test = cl.Has("--no-test");
  a.exclude = cl.Value("--exclude");
  a.has_password = cl.Has("--password");
  a.password = cl.Value("--password");
  if (cl.Has("--level")) {
    const std::string v = cl.Value("--level");
    if (v.size() != 1 || v[0] < '0' || v[0] > '9') return false;
    a.level = v[0] - '0';
  }
  if (cl.Has("--threads")) {
    const std::string v = cl.Value("--threads");
    if (v.empty() || v.size() > 3 || v.find_first_not_of("0123456789") != std::string::npos)
      return false;
    a.threads = std::stoi(v);
  }
  return true;
}

class Runner {
 public:
  explicit Runner(tarvo::platform::FileSystem& fs) : zip_(fs, dialogs_) {
    zip_.SetEntryFailureNote(
        [this](const std::string& name, const std::string& message, const std::string& reason) {
          EndProgressLine();
          std::fprintf(stderr, "tarvo-zip: %s: %s%s\n", name.c_str(), message.c_str(),
                       reason.empty() ? "" : (" (" + reason + ")").c_str());
        });
    zip_.OnProcessFileFailure = [this](TZipBaseArchiver&, const std::string&, TZipProcessOperation,
                                       int, int, const std::string&, TZipAction& action) {
      ++failures_;
      action = TZipAction::fxaIgnore;
    };
    zip_.OnPassword = [this](TZipBaseArchiver&, const std::string& name, std::string&, bool& skip) {
      EndProgressLine();
      std::fprintf(stderr, "tarvo-zip: %s: wrong or missing password\n", name.c_str());
      ++failures_;
      skip = true;
    };
    if (TARVO_ISATTY(2)) {
      zip_.OnOverallProgress = [this](TZipBaseArchiver&, double progress, TZipProcessOperation,
                                      TZipProgressPhase phase, bool&) {
        int width = 40, filled = static_cast<int>(progress / 100 * width + 0.5);
        std::string bar(filled, '#');
        bar.resize(width, '.');
        std::fprintf(stderr, "\r[%s] %5.1f%%", bar.c_str(), progress);
        progress_shown_ = true;
        if (phase == TZipProgressPhase::ppEnd) EndProgressLine();
      };
    }
  }

  bool Open(const std::string& path, uint16_t mode = tarvo::archive::kOpenReadDenyWrite) {
    zip_.FileName = path;
    try {
      zip_.OpenArchive(mode);
      return true;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tarvo-zip: cannot open %s: %s\n", path.c_str(), e.what());
      return false;
    }
  }

  int List(bool tsv) {
    const auto& items = zip_.Directory().items;
    if (!tsv)
      std::printf("%12s %12s %6s  %-19s  %s\n", "Size", "Compressed", "Method", "Modified", "Name");
    for (int i = 0; i < items.Count(); ++i) {
      const auto& d = items[i];
      if (tsv) {
        std::printf("%s\t%u\t%llu\t%llu\t%08x\t%d\t%08x\t%s\n", TsvField(d.FileName).c_str(),
                    unsigned{d.header.method}, static_cast<unsigned long long>(d.UncompressedSize),
                    static_cast<unsigned long long>(d.CompressedSize), d.header.crc32,
                    d.IsEncrypted() ? 1 : 0, d.header.external_attributes,
                    DosTimeText(d.header.date, d.header.time).c_str());
      } else {
        std::printf("%12llu %12llu %6s  %s  %s%s\n",
                    static_cast<unsigned long long>(d.UncompressedSize),
                    static_cast<unsigned long long>(d.CompressedSize),
                    d.header.method == 0   ? "Stored"
                    : d.header.method == 8 ? "Defl"
                                           : "Other",
                    DosTimeText(d.header.date, d.header.time).c_str(), d.FileName.c_str(),
                    d.IsEncrypted() ? " (encrypted)" : "");
      }
    }
    return kExitOk;
  }

  int Process(bool extract, const std::string& mask, const std::string& dir,
              const std::string* password) {
    if (password) zip_.Password = *password;
    zip_.BaseDir = dir;
    try {
      if (extract)
        zip_.ExtractFiles(mask);
      else
        zip_.TestFiles(mask);
    } catch (const std::exception& e) {
      EndProgressLine();
      std::fprintf(stderr, "tarvo-zip: %s\n", e.what());
      return kExitEntryFailed;
    }
    if (failures_ == 0 && !extract) std::fprintf(stderr, "No errors found.\n");
    return failures_ == 0 ? kExitOk : kExitEntryFailed;
  }

  // 0: one per processor, 1: the one-thread writer.
  void SetThreads(int threads) { threads_ = threads; }

  // Exit 1 when an entry was left out, 2 when the pass failed and the archive is unchanged.
  int Add(const std::string& base, const std::string& mask, const std::string& exclude, int level,
          const std::string* password, bool test) {
    zip_.BaseDir = base;
    zip_.SetCompressionMode(level);
    zip_.CompressionThreads = threads_;
    if (password) zip_.Password = *password;
    try {
      zip_.AddFiles(mask, tarvo::archive::kFaDefaultSearch, exclude);
    } catch (const std::exception& e) {
      EndProgressLine();
      std::fprintf(stderr, "tarvo-zip: %s\n", e.what());
      return kExitOpenFailed;
    }
    if (zip_.LastOperationAborted()) return kExitOpenFailed;
    int added = failures_;
    if (test) {
      try {
        zip_.TestFiles(mask);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvo-zip: %s\n", e.what());
        return kExitEntryFailed;
      }
    }
    return failures_ == 0 && added == 0 ? kExitOk : kExitEntryFailed;
  }

 private:
  void EndProgressLine() {
    if (progress_shown_) std::fputc('\n', stderr);
    progress_shown_ = false;
  }

  tarvo::platform::AutoDialogs dialogs_;
  TZipArchiver zip_;
  int failures_ = 0;
  bool progress_shown_ = false;
  int threads_ = 0;
};

int Main(const std::vector<std::string>& argv) {
  Args a;
  if (!ParseArgs(argv, a)) return Usage();
  tarvo::platform::Services services = tarvo::platform::MakeSystemServices();
  Runner runner(*services.fs);
  if (a.command == "list") {
    if (a.positional.size() != 1) return Usage();
    if (!runner.Open(a.positional[0])) return kExitOpenFailed;
    return runner.List(a.tsv);
  }
  if (a.command == "test") {
    if (a.positional.empty() || a.positional.size() > 2) return Usage();
    if (!runner.Open(a.positional[0])) return kExitOpenFailed;
    return runner.Process(false, a.positional.size() > 1 ? a.positional[1] : "*.*", "",
                          a.has_password ? &a.password : nullptr);
  }
  if (a.command == "extract") {
    if (a.positional.size() < 2 || a.positional.size() > 3) return Usage();
    if (!runner.Open(a.positional[0])) return kExitOpenFailed;
    return runner.Process(true, a.positional.size() > 2 ? a.positional[2] : "*.*", a.positional[1],
                          a.has_password ? &a.password : nullptr);
  }
  if (a.command == "add") {
    if (a.positional.size() != 3) return Usage();
    bool exists = services.fs->FileExists(a.positional[0]);
    if (!runner.Open(a.positional[0],
                     exists ? tarvo::archive::kOpenReadWrite : tarvo::archive::kOpenCreate))
      return kExitOpenFailed;
    runner.SetThreads(a.threads);
    return runner.Add(a.positional[1], a.positional[2], a.exclude, a.level,
                      a.has_password ? &a.password : nullptr, !a.no_test);
  }
  return Usage();
}

}  // namespace

int tarvo::tools::ToolMain(const std::vector<std::string>& argv) { return Main(argv); }
