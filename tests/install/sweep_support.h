// What the kill sweep and the fault sweep share: the small demo both install, laid out once as a
// template that every run copies; the run itself; the checks of what the users had; and the walk
// over the points of a sweep with its TARVO_SWEEP_* settings.
#pragma once

#include <functional>
#include <string>

#include "install/run_settings.h"
#include "platform/auto_dialogs.h"
#include "platform/services.h"
#include "tests/install/demo_install.h"
#include "tests/install/recording_window.h"

namespace tarvo::install::testing {

// A folder of its own for a sweep, removed with everything in it at the end. The sweeps make and
// delete thousands of small files: on a memory file system where there is one
// (TARVO_SWEEP_DIR names another place), as disk file systems slow down on that.
class SweepDir {
 public:
  explicit SweepDir(const std::string& prefix);
  ~SweepDir();
  SweepDir(const SweepDir&) = delete;
  SweepDir& operator=(const SweepDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The small demo of the sweeps, laid out below `root` (made here), and what its users had.
struct SweepTemplate {
  SweepTemplate(platform::FileSystem& fs, const std::string& root);

  std::string root;
  Records all_old;       // every record of the old database
  Records users;         // the users' own among them
  Classifier user_rows;  // the users' classifier rows
};

// Makes `to` a fresh copy of the folder `from`: what was at `to` before goes.
void CopyFresh(const std::string& from, const std::string& to);

// The window of a sweep's run: the mode chosen, the component Base.zip checked.
RecordingWindow SweepWindow(bool transfer);

// Runs the installation of `settings` through `fs` with the product's data stages.
int RunInstallation(platform::FileSystem& fs, platform::AutoDialogs& dialogs,
                    platform::Clock& clock, RecordingWindow& window, const RunSettings& settings);

// Whether `records` holds the record `key` as it was (`record`).
bool Holds(const Records& records, const std::string& key, const RecordSet& record);
// Whether `classifier` holds the row `kod` with its name and year (the group may change).
bool Holds(const Classifier& classifier, const std::string& kod, const ClassifierRow& row);

// TARVO_SWEEP_STRIDE, or the default of this build: native, under sanitizers or for Windows.
long SweepStride(long native, long sanitized, long windows);

// Calls `point` for every stride-th point from TARVO_SWEEP_FROM (1) up to `last`, stopping after
// the first that fails (the first broken point tells the story) unless TARVO_SWEEP_ALL is set,
// and always at a point that `point` says was never reached (it returns false). Returns how many
// points were reached.
long SweepPoints(long last, long stride, const std::function<bool(long)>& point);

}  // namespace tarvo::install::testing
