// Kill sweep: a whole run that dies at its Nth file operation (nothing of that operation or any
// later one reaches the disk), for every N, then a fresh run on what it left, in the same minute
// and in a later one. The fresh run must finish the installation with everything the users had,
// or refuse with the unfinished-installation message while their data wait where it says.
//
// TARVO_SWEEP_STRIDE=k tries every k-th point (default 5; 10 in sanitizer builds and 40 under
// Windows); TARVO_SWEEP_FROM=n starts at point n; TARVO_SWEEP_ALL=1 goes on past a broken point;
// TARVO_SWEEP_POWER=1 loses every write not flushed before the death, as a power loss does.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "install/backup.h"
#include "install/installer_run.h"
#include "install/run_progress.h"
#include "platform/auto_dialogs.h"
#include "tests/install/demo_install.h"
#include "tests/install/dying_fs.h"
#include "tests/install/sweep_support.h"
#include "tests/platform/set_clock.h"

namespace tarvo::install {
namespace {

namespace stdfs = std::filesystem;
using testing::Classifier;
using testing::DemoInstall;
using testing::DyingFileSystem;
using testing::RecordingWindow;
using testing::Records;
using testing::SweepTemplate;

// The time of a run: the same day and hour, at `minute`.
platform::LocalTime At(int minute) { return {2026, 12, 9, 11, minute, 0, 0, 3}; }

struct Run {
  int code = 0;
  bool died = false;
  long count = 0;
  std::string death;
  std::vector<std::string> messages;
  bool backup_done = false;
};

class KillSweep {
 public:
  explicit KillSweep(bool transfer) : transfer_(transfer) {}

  Run RunAt(const std::string& root, long die_at, int minute, bool power) {
    DemoInstall demo(real_, root, {}, false);
    DyingFileSystem dying(real_);
    dying.die_at = die_at;
    dying.lose_unflushed = power;
    platform::AutoDialogs dialogs;
    if (!transfer_) dialogs.QueueAnswer(platform::DialogResult::kYes);  // replace: confirmed
    platform::testing::SetClock clock(At(minute));
    RecordingWindow window = testing::SweepWindow(transfer_);
    Run out;
    try {
      out.code = testing::RunInstallation(dying, dialogs, clock, window, demo.Settings());
    } catch (const std::exception&) {
      out.code = kCodeError;
    }
    out.died = dying.dead;
    out.death = dying.death;
    out.count = dying.count;
    out.backup_done = window.Logged("tick 1");
    for (const auto& s : dialogs.shown()) out.messages.push_back(s.text);
    return out;
  }

  std::string Fresh(const std::string& name) { return CopyOf(demo_.root, name); }
  std::string CopyOf(const std::string& from, const std::string& name) {
    const std::string root = scratch_ / name;
    testing::CopyFresh(from, root);
    return root;
  }

  // What the run after the dead one must leave.
  void Check(const std::string& where, const std::string& root, const Run& dead, const Run& rerun,
             int* refused) {
    DemoInstall demo(real_, root, {}, false);
    const RunSettings settings = demo.Settings();
    if (rerun.code == kCodeUnfinished) {
      ++*refused;
      bool said = false;
      for (const auto& m : rerun.messages) said = said || m.find("не была завершена") != m.npos;
      EXPECT_TRUE(said) << where << ": refused without the unfinished-installation message";
      const Records saved = testing::ReadRecords(real_, demo.installer, "U_");
      for (const auto& [key, record] : demo_.users) {
        EXPECT_TRUE(testing::Holds(saved, key, record))
            << where << ": " << key << " not in the user data tables";
      }
      return;
    }
    ASSERT_EQ(rerun.code, 0) << where << ": the run after the killed one failed";
    const Records in_db = testing::ReadRecords(real_, demo.database);
    if (transfer_) {
      for (const auto& [key, record] : demo_.users) {
        EXPECT_TRUE(testing::Holds(in_db, key, record))
            << where << ": the users' record " << key << " is not in the new database whole";
      }
      const Classifier kl = testing::ReadClassifier(real_, demo.database + "Kl_spr.db");
      for (const auto& [kod, row] : demo_.user_rows) {
        EXPECT_TRUE(testing::Holds(kl, kod, row))
            << where << ": the users' classifier row " << kod << " is lost";
      }
    }
    for (const auto& [stem, files] : testing::TableFamilies(real_, demo.database)) {
      EXPECT_EQ(testing::CheckTable(real_, demo.database + stem + ".db"), "")
          << where << ": table " << stem;
    }
    // Only the engine's files are left: no journal, no record, no extraction temporary.
    for (const auto& e : stdfs::directory_iterator(demo.database)) {
      const std::string name = e.path().filename().string();
      const std::string ext = e.path().extension().string();
      EXPECT_TRUE(ext != ".tjl" && ext != ".tjs" && !(name.rfind("FC", 0) == 0 && ext == ".tmp"))
          << where << ": " << name << " left in the database folder";
    }
    EXPECT_FALSE(real_.FileExists(ProgressPath(settings))) << where;
    // The first complete backup holds the old database whole.
    const std::string first =
        demo.product + "Backup\\" + BackupArchiveName(At(5), settings.backup_file_name);
    std::string backup = first;
    if (!dead.backup_done) {
      // The dead run's archive, if any, is incomplete: the rerun made one of its own, beside it
      // in the same minute.
      const std::string numbered = first.substr(0, first.size() - 4) + " (2).zip";
      if (rerun_minute_ == 5 && real_.FileExists(numbered))
        backup = numbered;
      else
        backup = demo.product + "Backup\\" +
                 BackupArchiveName(At(rerun_minute_), settings.backup_file_name);
    }
    const std::string restored = root + "/restored/";
    ASSERT_EQ(testing::TestAndExtract(real_, backup, restored), "") << where << ": " << backup;
    const Records from_backup = testing::ReadRecords(real_, restored + "Db/");
    EXPECT_EQ(from_backup, demo_.all_old) << where << ": the backup does not hold the old database";
  }

  int rerun_minute_ = 5;

 private:
  bool transfer_;
  testing::SweepDir scratch_{"tarvo_kill_"};
  platform::Services services_ = platform::MakeSystemServices();
  platform::FileSystem& real_ = *services_.fs;
  SweepTemplate demo_{real_, scratch_ / "template"};
};

void Sweep(bool transfer) {
  KillSweep sweep(transfer);
  const bool power = std::getenv("TARVO_SWEEP_POWER") != nullptr;
  const Run clean = sweep.RunAt(sweep.Fresh("clean"), 0, 5, false);
  ASSERT_EQ(clean.code, 0) << "the run without a kill must succeed";
  const long stride = testing::SweepStride(5, 10, 40);
  int finished = 0, refused = 0;
  const long points = testing::SweepPoints(clean.count, stride, [&](long n) {
    const std::string dead_root = sweep.Fresh("dead");
    const Run dead = sweep.RunAt(dead_root, n, 5, power);
    EXPECT_TRUE(dead.died) << "point " << n << " was never reached";
    if (!dead.died) return false;
    // The reruns run where the dead one ran: the record names its folders.
    const std::string left = sweep.CopyOf(dead_root, "left");
    for (const int minute : {5, 15}) {
      const std::string root = sweep.CopyOf(left, "dead");
      sweep.rerun_minute_ = minute;
      const Run rerun = sweep.RunAt(root, 0, minute, false);
      const std::string where = "point " + std::to_string(n) + " (" + dead.death + "), rerun at " +
                                std::to_string(minute);
      sweep.Check(where, root, dead, rerun, &refused);
      if (rerun.code == 0) ++finished;
    }
    return true;
  });
  std::printf("kill sweep (%s%s): %ld of %ld points (stride %ld), %d reruns finished, %d refused\n",
              transfer ? "transfer" : "replace", power ? ", power loss" : "", points, clean.count,
              stride, finished, refused);
  EXPECT_GT(points, 0);
}

TEST(KillSweep, TransferRunKilledAnywhereIsFinishedByTheNextRun) { Sweep(true); }
TEST(KillSweep, ReplaceRunKilledAnywhereIsFinishedByTheNextRun) { Sweep(false); }

}  // namespace
}  // namespace tarvo::install
