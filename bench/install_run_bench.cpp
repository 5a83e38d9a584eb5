// The whole installation run in transfer mode on a large product database, timed per stage:
// backup (stage 1), save of the users' records and the classifier set-aside (stage 2), the
// component installation (stage 3), restore and merge (stage 4). The data are made once, before
// the clock starts.
//
//   install_run_bench [--records N[,N...]] [--users N] [--dir FOLDER] [--keep]
// Defaults: 125000 records of which 50000 are the users' own (about 200 MB of tables), in a
// fresh folder under the temporary folder that is removed afterwards unless --keep is given.
// Several record counts give one run each (users' records 40% of each unless --users is given);
// the figures end as a Markdown table, a row per run, for the README:
//   install_run_bench --records 125000,500000
// The peak resident memory is that of the run alone: the high-water mark is reset after the
// data are made (Linux; "n/a" elsewhere).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/zip_archiver.h"
#include "db/ttable.h"
#include "install/backup.h"
#include "install/components.h"
#include "install/installer_run.h"
#include "platform/auto_dialogs.h"
#include "tests/install/demo_install.h"
#include "tools/demo_database.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

using namespace tarvo;
namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

uint64_t FolderBytes(const std::string& folder) {
  uint64_t total = 0;
  for (const auto& e : stdfs::recursive_directory_iterator(folder))
    if (e.is_regular_file()) total += e.file_size();
  return total;
}

// Times the stages from the window's calls.
class TimingWindow : public install::testing::RunWindow {
 public:
  Clock::time_point start[5], end[5];
  void SetStageActive(int stage, bool on) override {
    RunWindow::SetStageActive(stage, on);
    if (stage < 1 || stage > 4) return;
    if (on) start[stage] = Clock::now();
  }
  void ShowStageTick(int stage) override {
    RunWindow::ShowStageTick(stage);
    if (stage >= 1 && stage <= 4) end[stage] = Clock::now();
  }
  void ShowProgressPanel() override {
    RunWindow::ShowProgressPanel();
    start[1] = Clock::now();  // stage 1 starts with the panel
  }
};

// Resident-memory figures of this process from /proc, in MiB; -1 where there are none.
double ProcStatusMiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(status, line))
    if (line.compare(0, prefix.size(), prefix) == 0)
      return std::atof(line.c_str() + prefix.size()) / 1024;
  return -1;
}

// Starts a new high-water mark at the current resident size, so that the peak is the run's.
void ResetPeakMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);  // what the data generation freed leaves the process
#endif
  std::ofstream clear("/proc/self/clear_refs");
  if (clear) clear << "5\n";
}

struct Figures {
  int records = 0, users = 0;
  double database_mb = 0;
  double stage[5] = {};
  double whole = 0;
  double rss_before = -1, peak = -1;
  int code = 0;
};

Figures RunOnce(platform::Services& services, const std::string& dir, int records, int users);

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  int users = -1;
  std::string dir;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--records" && i + 1 < argc) {
      const std::string list = argv[++i];
      for (size_t at = 0; at <= list.size();) {
        size_t comma = list.find(',', at);
        if (comma == std::string::npos) comma = list.size();
        counts.push_back(std::atoi(list.substr(at, comma - at).c_str()));
        at = comma + 1;
      }
    } else if (a == "--users" && i + 1 < argc) {
      users = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr,
                   "usage: install_run_bench [--records N[,N...]] [--users N] [--dir D] "
                   "[--keep]\n");
      return 2;
    }
  }
  if (counts.empty()) counts.push_back(125000);
  for (int records : counts) {
    const int u = users >= 0 ? users : records == 125000 ? 50000 : records / 5 * 2;
    if (u > records || records <= 0) {
      std::fprintf(stderr, "need 0 < users <= records\n");
      return 2;
    }
  }
  if (dir.empty())
    dir = (stdfs::temp_directory_path() /
           ("tarvo_run_bench_" + std::to_string(std::random_device{}())))
              .string();
  stdfs::create_directories(dir);

  platform::Services services = platform::MakeSystemServices();
  std::vector<Figures> all;
  int code = 0;
  for (size_t k = 0; k < counts.size(); ++k) {
    const int records = counts[k];
    const int u = users >= 0 ? users : records == 125000 ? 50000 : records / 5 * 2;
    const std::string run_dir = counts.size() > 1 ? dir + "/" + std::to_string(records) : dir;
    stdfs::create_directories(run_dir);
    all.push_back(RunOnce(services, run_dir, records, u));
    if (all.back().code) code = all.back().code;
    if (!keep && counts.size() > 1) {
      std::error_code ec;
      stdfs::remove_all(run_dir, ec);
    }
  }
  std::printf(
      "\n| records (users') | database | stage 1 backup | stage 2 save | stage 3 components | "
      "stage 4 restore | stages 2+4 / stage 1 | whole run | peak memory of the run |\n"
      "| --- | --- | --- | --- | --- | --- | --- | --- | --- |\n");
  for (const Figures& f : all) {
    char peak[32] = "n/a";
    if (f.peak >= 0) std::snprintf(peak, sizeof peak, "%.0f MiB", f.peak);
    std::printf("| %d (%d) | %.1f MB | %.2f s | %.2f s | %.2f s | %.2f s | %.2f | %.2f s | %s |\n",
                f.records, f.users, f.database_mb, f.stage[1], f.stage[2], f.stage[3], f.stage[4],
                (f.stage[2] + f.stage[4]) / f.stage[1], f.whole, peak);
  }
  if (!keep) {
    std::error_code ec;
    stdfs::remove_all(dir, ec);
  }
  return code;
}

namespace {

Figures RunOnce(platform::Services& services, const std::string& dir, int records, int users) {
  platform::FileSystem& fs = *services.fs;
  Figures fig;
  fig.records = records;
  fig.users = users;
  int code = 0;
  try {
    const auto made = Clock::now();
    // The demo's database, large.
    install::testing::DemoInstallOptions shapes;
    // Memos stay short (in the record) but for every 50th record's.
    // Blocks of 16 KB for a database past what 4 KB blocks hold (65,535 blocks a table).
    const int block_kb = records > 200000 ? 16 : 4;
    shapes.old_db = {records, users, false, 400, 300, 50, block_kb};
    shapes.new_db = {records - users, 0, true, 400, 300, 50, block_kb};
    const std::string root = dir;
    {
      // Laid out without Base.zip first: it is made once the new database is filled.
      install::testing::DemoInstall layout(fs, root, shapes, false);
      demo::WriteDemoDatabase(fs, layout.database, shapes.old_db);
      demo::WriteUserDataTables(fs, layout.installer);
      demo::WriteDemoDatabase(fs, layout.new_product + "Db/", shapes.new_db);
      layout.MakeComponent("Base.zip", layout.new_product, "Db\\*.*");
    }
    install::testing::DemoInstall demo(fs, root, shapes, false);
    std::printf(
        "data made in %.1f s: old database %.1f MB, %d records (%d the users'), "
        "Base.zip %.1f MB\n",
        Seconds(Clock::now() - made), FolderBytes(demo.database) / 1e6, records, users,
        stdfs::file_size(demo.installer + "Base.zip") / 1e6);
    fig.database_mb = FolderBytes(demo.database) / 1e6;

    platform::AutoDialogs dialogs;
    platform::Clock& clock = *services.clock;
    TimingWindow window;
    window.components = {{true, "Base.zip"}};
    const install::RunSettings settings = demo.Settings();
    install::InstallerRun run(
        fs, dialogs, clock, [&] { return settings; }, install::MakeProductDataStages());
    ResetPeakMemory();
    fig.rss_before = ProcStatusMiB("VmRSS");
    const auto t0 = Clock::now();
    code = run.Run(window);
    const auto t1 = Clock::now();
    fig.peak = ProcStatusMiB("VmHWM");
    for (int st = 1; st <= 4; ++st) fig.stage[st] = Seconds(window.end[st] - window.start[st]);
    fig.whole = Seconds(t1 - t0);
    const char* names[] = {"", "backup", "save + set-aside", "components", "restore + merge"};
    for (int s = 1; s <= 4; ++s)
      std::printf("stage %d %-17s %8.2f s\n", s, names[s],
                  Seconds(window.end[s] - window.start[s]));
    std::printf("whole run             %8.2f s, result %d\n", Seconds(t1 - t0), code);
    const auto restored =
        install::testing::UsersOnly(install::testing::ReadRecords(fs, demo.database));
    std::printf("users' records in the new database: %zu\n", restored.size());
    if (fig.peak >= 0)
      std::printf("resident memory: %.0f MiB before the run, peak of the run %.0f MiB\n",
                  fig.rss_before, fig.peak);
    if (restored.size() != static_cast<size_t>(users)) code = code ? code : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    code = 1;
  }
  fig.code = code;
  return fig;
}

}  // namespace
