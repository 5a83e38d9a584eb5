// Fault injection across a whole transfer-mode run: for every counted file operation of the run,
// the same run again with that operation failing, and afterwards nothing of the users' may be
// lost and no failure may pass for success.
//
// TARVO_SWEEP_STRIDE=k tries every k-th point only (default 1; 2 in sanitizer builds and 20 in
// Windows builds, whose runs are several times slower); TARVO_SWEEP_FROM=n starts at point n (to
// rerun one point); TARVO_SWEEP_ALL=1 goes on past a broken point; TARVO_SWEEP_LIST=1 lists the
// operations of the run without faults.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "install/backup.h"
#include "install/installer_run.h"
#include "platform/auto_dialogs.h"
#include "tests/archive/zip_test_util.h"
#include "tests/install/demo_install.h"
#include "tests/install/faulty_fs.h"
#include "tests/install/sweep_support.h"
#include "tests/platform/set_clock.h"

namespace tarvo::install {
namespace {

namespace stdfs = std::filesystem;
using archive::testing::ReadFileBytes;
using testing::Classifier;
using testing::DemoInstall;
using testing::FaultyFileSystem;
using testing::RecordingWindow;
using testing::Records;
using testing::SweepTemplate;

// Faults after which the run may still report success, because what failed carries none of the
// users' data and nothing of the new installation depends on it:
// - attributes and file times (of an extracted file, of a backup entry): metadata only;
// - a deletion with nothing to delete (the file was not there: the same false either way);
// - the deletion of a temporary file or of a left-over copy that only wastes space (the
//   engines' "FC*.tmp" files and the old files they replaced, the drained set-aside after a
//   merge, which the next set-aside clears and whose rows the new classifier already has).
// Every other failure must fail the run. The data checks apply to all points alike.
bool Harmless(const FaultyFileSystem::Op& op) {
  if (op.kind == "set attributes" || op.kind == "set time" || op.kind == "file time") return true;
  if (op.kind == "delete") {
    if (!op.target_existed) return true;
    const std::string name = op.path.substr(op.path.find_last_of("/\\") + 1);
    if (name.rfind("FC", 0) == 0 && name.find(".tmp") != std::string::npos) return true;
    if (name.rfind("_Kl_spr.", 0) == 0) return true;
  }
  return false;
}

// Reads what can be read; a table that a fault left damaged reads as nothing, so that the
// record must then be found elsewhere.
Records TryRecords(platform::FileSystem& fs, const std::string& folder, const std::string& prefix) {
  try {
    return testing::ReadRecords(fs, folder, prefix);
  } catch (const std::exception&) {
    return {};
  }
}

Classifier TryClassifier(platform::FileSystem& fs, const std::string& path) {
  try {
    if (!fs.FileExists(path)) return {};
    return testing::ReadClassifier(fs, path);
  } catch (const std::exception&) {
    return {};
  }
}

struct Sweep {
  testing::SweepDir scratch{"tarvo_sweep_"};
  platform::Services services = platform::MakeSystemServices();
  platform::FileSystem& real = *services.fs;
  SweepTemplate demo_template{real, scratch / "template"};
  std::string work_root = scratch / "work";
  std::map<std::string, std::string> pristine;  // database folder file name -> bytes
  bool have_unzip = archive::testing::HaveTool("unzip");

  Sweep() {
    DemoInstall demo(real, demo_template.root, {}, false);
    // The copy an earlier run left in the product folder: it is replaced by this update's.
    stdfs::copy_file(demo.installer + "Base.zip", demo.product + "Base.zip");
    for (const auto& e : stdfs::directory_iterator(demo.database))
      pristine[e.path().filename().string()] = ReadFileBytes(e.path().string());
  }

  struct Outcome {
    int code = 0;
    bool backup_done = false;
    std::optional<FaultyFileSystem::Op> failed;
    long count = 0;
    std::string backup_path;
  };

  Outcome RunOnce(long fail_at) {
    testing::CopyFresh(demo_template.root, work_root);
    DemoInstall demo(real, work_root, {}, false);
    FaultyFileSystem faulty(real);
    faulty.fail_at = fail_at;
    faulty.sync = false;
    faulty.record = fail_at == 0 && std::getenv("TARVO_SWEEP_LIST") != nullptr;
    platform::AutoDialogs dialogs;  // Abort for a failure dialog, OK for information
    platform::testing::SetClock clock({2026, 12, 9, 11, 5, 0, 0, 3});
    RecordingWindow window = testing::SweepWindow(true);
    const RunSettings settings = demo.Settings();
    Outcome out;
    out.code = testing::RunInstallation(faulty, dialogs, clock, window, settings);
    out.backup_done = window.Logged("tick 1");
    out.failed = faulty.failed;
    out.count = faulty.count;
    for (size_t i = 0; i < faulty.ops.size(); ++i)
      std::printf("%zu %s %s\n", i + 1, faulty.ops[i].kind.c_str(), faulty.ops[i].path.c_str());
    out.backup_path =
        demo.product + "Backup\\" + BackupArchiveName(clock.Now(), settings.backup_file_name);
    return out;
  }

  // Everything the users had is somewhere: the database folder, the user data tables or the
  // backup archive; every table family left in the database folder is sound or untouched.
  void Check(long point, const Outcome& out) {
    DemoInstall demo(real, work_root, {}, false);
    const std::string where = "point " + std::to_string(point) +
                              (out.failed ? " (" + out.failed->kind + " " + out.failed->path + ")"
                                          : std::string(" (none)"));
    if (point > 0 && (!out.failed || !Harmless(*out.failed))) {
      EXPECT_NE(out.code, 0) << where << ": a failure reported as success";
    }
    Records from_backup;
    Classifier backup_classifier;
    if (out.backup_done) {
      const std::string restored = work_root + "/restored/";
      EXPECT_EQ(testing::TestAndExtract(real, out.backup_path, restored), "") << where;
      if (have_unzip) {
        EXPECT_EQ(archive::testing::Run("unzip -tqq '" + testing::HostPath(out.backup_path) +
                                        "' >/dev/null 2>&1"),
                  0)
            << where;
      }
      from_backup = TryRecords(real, restored + "Db/", "");
      backup_classifier = TryClassifier(real, restored + "Db/Kl_spr.db");
    }
    const Records in_db = TryRecords(real, demo.database, "");
    const Records saved = TryRecords(real, demo.installer, "U_");
    for (const auto& [key, record] : demo_template.users) {
      const auto found = [&, &key = key, &record = record](const Records& r) {
        return testing::Holds(r, key, record);
      };
      EXPECT_TRUE(found(in_db) || found(saved) || found(from_backup))
          << where << ": the users' record " << key << " is lost";
      if (out.code == 0) {
        EXPECT_TRUE(found(in_db)) << where << ": " << key << " not restored";
      }
    }
    const Classifier kl = TryClassifier(real, demo.database + "Kl_spr.db");
    const Classifier aside = TryClassifier(real, demo.database + "_Kl_spr.db");
    for (const auto& [kod, row] : demo_template.user_rows) {
      const auto found = [&, &kod = kod, &row = row](const Classifier& c) {
        return testing::Holds(c, kod, row);
      };
      EXPECT_TRUE(found(kl) || found(aside) || found(backup_classifier))
          << where << ": the users' classifier row " << kod << " is lost";
      if (out.code == 0) {
        EXPECT_TRUE(found(kl)) << where << ": " << kod << " not merged";
      }
    }
    for (const auto& [stem, files] : testing::TableFamilies(real, demo.database)) {
      const std::string problems = testing::CheckTable(real, demo.database + stem + ".db");
      if (problems.empty()) continue;
      bool untouched = true;
      for (const auto& f : files) {
        auto it = pristine.find(f);
        untouched =
            untouched && it != pristine.end() && it->second == ReadFileBytes(demo.database + f);
      }
      EXPECT_TRUE(untouched) << where << ": table " << stem << " left damaged: " << problems;
    }
  }
};

TEST(FaultSweep, NoFailingFileOperationLosesTheUsersData) {
  Sweep sweep;
  const Sweep::Outcome clean = sweep.RunOnce(0);
  ASSERT_EQ(clean.code, 0) << "the run without faults must succeed";
  sweep.Check(0, clean);
  const long total = clean.count;
  // Under Wine every file operation costs many times more.
  const long stride = testing::SweepStride(1, 2, 20);
  const long tried = testing::SweepPoints(total, stride, [&](long n) {
    const Sweep::Outcome out = sweep.RunOnce(n);
    EXPECT_TRUE(out.failed.has_value()) << "point " << n << " was never reached";
    if (!out.failed) return false;
    sweep.Check(n, out);
    return true;
  });
  std::printf("fault sweep: %ld of %ld failure points tried (stride %ld)\n", tried, total, stride);
  EXPECT_GT(tried, 0);
}

}  // namespace
}  // namespace tarvo::install
