// Index data files (".X", ".XG") written in bounded memory: their records sorted in runs of a
// bounded size, spilled to a scratch file in the temporary folder and merged while the file is
// written block by block. Internal to the table engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/field_codec.h"
#include "db/px_internal.h"
#include "platform/services.h"

namespace tarvo::db::px {

// One part of the order of index records: the bytes at `offset`, Alpha ones by the collation,
// others as memcmp, reversed when descending.
struct OrderPart {
  int offset = 0, length = 0;
  bool alpha = false, descending = false;
};

class RecordOrder {
 public:
  RecordOrder(const Collation& collation, std::vector<OrderPart> parts)
      : collation_(collation), parts_(std::move(parts)) {}
  int Compare(const uint8_t* a, const uint8_t* b) const;
  // A key of the first part whose order agrees with Compare wherever two keys differ.
  LeadingKey Leading(const uint8_t* rec) const;

 private:
  const Collation& collation_;
  std::vector<OrderPart> parts_;
};

// Lays records, given in order, into full blocks of a data-layout file straight to `out`: the
// header first (its counters set from `count`), then each block as it fills. The same bytes as
// BuildDataFile gives.
class DataFileWriter {
 public:
  DataFileWriter(platform::File& out, std::vector<uint8_t> header, int record_size, int block_size,
                 int key_len, size_t count);
  void Add(const uint8_t* rec);
  // Starts again from the first record.
  void Restart();
  // Writes the last block, cuts the file after it and flushes it; returns the tree leaves.
  std::vector<TreeEntry> Finish();
  const std::vector<uint8_t>& header() const { return header_; }

 private:
  void EndBlock();
  void Drain();

  platform::File& out_;
  std::vector<uint8_t> header_;
  size_t record_size_, block_size_, key_len_, count_, cap_, blocks_;
  size_t added_ = 0, in_block_ = 0;
  std::vector<uint8_t> block_, pending_;
  std::vector<TreeEntry> leaves_;
};

// Takes records in any order and gives them back in `order` (equal ones as they came), holding
// at most `run_bytes` of them in memory: each full run is sorted and goes to a scratch file in
// the temporary folder, removed with the sorter.
class RunSorter {
 public:
  RunSorter(platform::FileSystem& fs, const RecordOrder& order, int record_size, size_t run_bytes,
            std::string label);
  ~RunSorter();
  RunSorter(const RunSorter&) = delete;
  RunSorter& operator=(const RunSorter&) = delete;

  void Add(const uint8_t* rec);
  // Whether every record so far came in order: then the runs need neither a sort nor a merge.
  bool in_order() const { return in_order_; }
  // Every record, in order; once.
  void Drain(const std::function<void(const uint8_t*)>& out);
  size_t runs_spilled() const { return runs_.size(); }

  static constexpr size_t kMinRunRecords = 64;

 private:
  struct Run {
    uint64_t at = 0, count = 0;
  };
  struct Reader;
  std::vector<uint32_t> SortedRun() const;
  void Spill();
  void Merge(const std::function<void(const uint8_t*)>& out);
  [[noreturn]] void Fail(const std::string& what, const std::exception& e) const;

  platform::FileSystem& fs_;
  const RecordOrder& order_;
  size_t record_size_, run_records_;
  std::string label_;
  std::vector<uint8_t> buf_;
  size_t held_ = 0;
  bool in_order_ = true;
  std::vector<uint8_t> last_;  // the last record of the last run spilled
  std::vector<Run> runs_;
  uint64_t scratch_size_ = 0;
  std::string scratch_path_;
  std::unique_ptr<platform::File> scratch_;
};

}  // namespace tarvo::db::px
