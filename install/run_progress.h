// The durable record of how far an installation run got, in the product folder. It is written
// and flushed before each step it protects, so that a run after a killed one knows that the users'
// records are saved in the user data tables and not yet restored, and finishes the job instead of
// emptying those tables again.
#pragma once

#include <string>
#include <vector>

#include "install/main_window_ops.h"
#include "install/run_settings.h"
#include "platform/services.h"

namespace tarvo::install {

inline constexpr char kProgressFileName[] = "TarvoUpdate.progress";
inline constexpr int kCodeUnfinished = 5;

enum class RunStep {
  kNone = 0,
  kSaving = 1,      // stage 2 running: the old database is still in place
  kSaved = 2,       // the users' data are in the user data tables; components being installed
  kInstalled = 3,   // components installed; the users' data not yet restored
  kExtracting = 4,  // replace mode: components being installed
};

struct RunProgress {
  RunStep step = RunStep::kNone;
  std::string installer_folder;  // where the user data tables are
  std::string database_folder;
  std::string backup_path;  // the backup made before the users' data were saved
};

struct ProgressState {
  bool present = false;
  bool valid = false;  // present and readable
  RunProgress progress;
};

std::string ProgressPath(const RunSettings& settings);
// Writes every file the checked components installed through to the disk: the record may say
// that they are in place only once a power loss can no longer take them.
void FlushExtractedFiles(platform::FileSystem& fs, MainWindowOps& window,
                         const RunSettings& settings);
ProgressState ReadRunProgress(platform::FileSystem& fs, const std::string& path);
// Writes the record under a name of its own, flushes it, then puts it in place in one step;
// throws std::runtime_error when it cannot.
void WriteRunProgress(platform::FileSystem& fs, const std::string& path, const RunProgress& p);
void DeleteRunProgress(platform::FileSystem& fs, const std::string& path);

// An installation left unfinished: whether a run may finish it, and the message when not.
struct UnfinishedVerdict {
  bool unfinished = false;  // the users' data wait in the user data tables
  bool resumable = false;   // this run can finish it
  std::string message;      // the window's text when it cannot (Russian)
  std::string log_note;     // for the administrator's log
};
UnfinishedVerdict JudgeUnfinished(const ProgressState& state, const RunSettings& settings,
                                  bool transfer_mode, bool can_transfer);

// The message shown when an installation is found unfinished and this run cannot finish it.
std::string UnfinishedMessage(const std::string& installer_folder, const std::string& backup_path);

// What a run killed in the middle leaves, put right before the backup: half-written table
// families (and a stage's uncommitted changes) are rolled back and, when the record shows that a
// run was installing components, the temporary files of its extraction are removed. Returns
// notes for the log.
std::vector<std::string> RepairAfterKilledRun(platform::FileSystem& fs, MainWindowOps& window,
                                              const RunSettings& settings,
                                              const ProgressState& state);

}  // namespace tarvo::install
