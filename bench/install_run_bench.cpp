// The whole installation run in transfer mode on a large product database, timed per stage:
// backup (stage 1), save of the users' records and the classifier set-aside (stage 2), the
// component installation (stage 3), restore and merge (stage 4). The data are made once, before
// the clock starts.
//
//   install_run_bench [--records N] [--users N] [--dir FOLDER] [--keep]
// Defaults: 125000 records of which 50000 are the users' own (about 200 MB of tables), in a
// fresh folder under the temporary folder that is removed afterwards unless --keep is given.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

}  // namespace

int main(int argc, char** argv) {
  int records = 125000, users = 50000;
  std::string dir;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--records" && i + 1 < argc) {
      records = std::atoi(argv[++i]);
    } else if (a == "--users" && i + 1 < argc) {
      users = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr,
                   "usage: install_run_bench [--records N] [--users N] [--dir D] [--keep]\n");
      return 2;
    }
  }
  if (users > records || records <= 0) {
    std::fprintf(stderr, "need 0 < users <= records\n");
    return 2;
  }
  if (dir.empty())
    dir = (stdfs::temp_directory_path() /
           ("tarvo_run_bench_" + std::to_string(std::random_device{}())))
              .string();
  stdfs::create_directories(dir);

  platform::Services services = platform::MakeSystemServices();
  platform::FileSystem& fs = *services.fs;
  int code = 0;
  try {
    const auto made = Clock::now();
    // The demo's database, large.
    install::testing::DemoInstallOptions shapes;
    // Memos stay short (in the record) but for every 50th record's.
    shapes.old_db = {records, users, false, 400, 300, 50};
    shapes.new_db = {records - users, 0, true, 400, 300, 50};
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

    platform::AutoDialogs dialogs;
    platform::Clock& clock = *services.clock;
    TimingWindow window;
    window.components = {{true, "Base.zip"}};
    const install::RunSettings settings = demo.Settings();
    install::InstallerRun run(
        fs, dialogs, clock, [&] { return settings; }, install::MakeProductDataStages());
    const auto t0 = Clock::now();
    code = run.Run(window);
    const auto t1 = Clock::now();
    const char* names[] = {"", "backup", "save + set-aside", "components", "restore + merge"};
    for (int s = 1; s <= 4; ++s)
      std::printf("stage %d %-17s %8.2f s\n", s, names[s],
                  Seconds(window.end[s] - window.start[s]));
    std::printf("whole run             %8.2f s, result %d\n", Seconds(t1 - t0), code);
    const auto restored =
        install::testing::UsersOnly(install::testing::ReadRecords(fs, demo.database));
    std::printf("users' records in the new database: %zu\n", restored.size());
    if (restored.size() != static_cast<size_t>(users)) code = code ? code : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    code = 1;
  }
  if (!keep) {
    std::error_code ec;
    stdfs::remove_all(dir, ec);
  }
  return code;
}
