// The rollback journal of a table family: before a flush overwrites anything of the family's
// files (.DB, .PX, .X??/.Y??, .MB), the old bytes are written to "<stem>.tjl" beside the table and
// flushed; the journal is deleted once the last write of the flush has reached the disk. A run
// that dies in between leaves the journal, and the next open of the table puts the old bytes back.
// A journal whose last record is torn protected a write that never started: that record is
// skipped, and a journal torn in its header is deleted with nothing to undo.
//
// A JournalSet ties the flushes of several families of one folder to one commit point: while it
// is active, the journals of that folder are kept after their flushes (later flushes append to
// them) and name the set's file; deleting the set file commits them all. A journal naming a set
// file that no longer exists is committed and is only deleted.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/services.h"

namespace tarvo::db {

inline constexpr char kJournalExtension[] = ".tjl";
inline constexpr char kJournalSetExtension[] = ".tjs";

// "<stem>.tjl" for the table file `table_path`.
std::string FamilyJournalPath(const std::string& table_path);

class JournalSet {
 public:
  // Creates and flushes "<folder><name>.tjs"; throws EDBEngineError when it cannot.
  JournalSet(platform::FileSystem& fs, std::string folder, const std::string& name);
  // Without a commit, puts back every family the set changed (best effort: what cannot be put
  // back now is put back when the table is next opened).
  ~JournalSet();
  JournalSet(const JournalSet&) = delete;
  JournalSet& operator=(const JournalSet&) = delete;

  // Deletes the set file (the commit point), then the member journals.
  void Commit();

  // The set in force for flushes of its folder, or null.
  static JournalSet* Active();
  bool Holds(const std::string& table_path) const;
  const std::string& file_name() const { return file_name_; }
  void AddMember(const std::string& table_path);

 private:
  platform::FileSystem& fs_;
  std::string folder_;
  std::string file_name_;  // "<name>.tjs"
  std::vector<std::string> members_;
  bool done_ = false;
};

// The journal of one flush of one family.
class FamilyJournal {
 public:
  using Ranges = std::vector<std::pair<uint64_t, std::vector<uint8_t>>>;

  // Starts a journal for the family of `table_path` (or appends to the one its set holds).
  FamilyJournal(platform::FileSystem& fs, const std::string& table_path);
  ~FamilyJournal();
  FamilyJournal(const FamilyJournal&) = delete;
  FamilyJournal& operator=(const FamilyJournal&) = delete;

  // Each records a before-image and flushes it before returning: only then may the caller
  // overwrite. `path` must be in the table's folder.
  void RecordRanges(const std::string& path, uint64_t old_size, const Ranges& ranges);
  void RecordWhole(const std::string& path, const std::optional<std::vector<uint8_t>>& old);
  // RecordWhole for several files, flushed once: a record torn by a kill ends the journal, and
  // none of the files it and the later ones protect has been written yet.
  using Wholes = std::vector<std::pair<std::string, std::optional<std::vector<uint8_t>>>>;
  void RecordWholes(const Wholes& files);

  // The same records with the old bytes copied from the files in chunks rather than held in
  // memory; what they return says where those bytes lie in the journal, for CopyBack.
  struct Span {
    uint64_t offset = 0, size = 0;  // in the protected file
  };
  std::vector<uint64_t> RecordRangesFrom(const std::string& path, uint64_t old_size,
                                         platform::File& from, const std::vector<Span>& spans);
  struct Whole {
    std::string path;
    bool existed = false;
    uint64_t size = 0, at = 0;  // the old bytes, at `at` of the journal
  };
  std::vector<Whole> RecordWholesFrom(const std::vector<std::string>& paths);
  // Copies `size` bytes of the journal from `at` to `to` at `to_offset`: the in-process undo
  // puts back what the journal holds.
  void CopyBack(uint64_t at, uint64_t size, platform::File& to, uint64_t to_offset);

  // Every write of the flush is on the disk: the journal goes, unless a set keeps it.
  void Commit();
  // The flush failed and its own undo put the old bytes back.
  void Discard();

 private:
  void Append(const std::vector<uint8_t>& payload);
  void AppendAll(const std::vector<const std::vector<uint8_t>*>& records);
  // A failed append: its part goes, the records before it stay for the undo of their writes.
  [[noreturn]] void Abandon(uint64_t append_start, const std::string& what);
  class Stream;

  platform::FileSystem& fs_;
  std::string table_path_;
  std::string path_;
  bool held_ = false;
  uint64_t start_ = 0;  // where this flush's records begin
  uint64_t end_ = 0;    // the journal's size: where the next record goes
  uint64_t first_ = 0;  // where this flush's first record went
  std::unique_ptr<platform::File> file_;
};

enum class Recovery { kNone, kRolledBack, kDeleted };

// Puts the family of `table_path` back when its journal says a flush did not finish; deletes a
// torn or committed journal. Throws EDBEngineError when a needed rollback cannot be made.
Recovery RecoverFamily(platform::FileSystem& fs, const std::string& table_path);

// Recovers every family of a folder that has a journal, then deletes the folder's set files that
// no journal names any more. Returns how many families were put back.
int RecoverFolder(platform::FileSystem& fs, const std::string& folder);

}  // namespace tarvo::db
