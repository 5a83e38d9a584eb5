// The ordered view of a table cursor: record ids in index order, about four bytes a record.
//
// The ids are held in chunks of a few hundred, each chunk's size in a Fenwick tree, so that a
// position is found by ordinal or by a predicate in O(log n) and an insertion or erasure moves
// only the ids of one chunk. Positions are plain ordinals: callers holding them shift them on
// Insert and Erase themselves.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "db/field_codec.h"

namespace tarvo::db {

using RecId = uint32_t;

class OrderedIds {
 public:
  static constexpr size_t kChunk = 512;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  RecId at(size_t pos) const {
    if (pos - hot_start_ >= hot_size_) Locate(pos);
    return chunks_[hot_chunk_][pos - hot_start_];
  }
  RecId back() const { return chunks_.back().back(); }
  void Clear();
  // Appends an id known to sort after every other: fills the last chunk before opening one.
  void PushBack(RecId id);
  void Insert(size_t pos, RecId id);
  void Erase(size_t pos);
  // The first position whose id does not satisfy `before`, which holds for a prefix of the view.
  template <typename Pred>
  size_t PartitionPoint(Pred before) const {
    size_t lo = 0, hi = chunks_.size();
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (before(chunks_[mid].back()))
        lo = mid + 1;
      else
        hi = mid;
    }
    if (lo == chunks_.size()) return size_;
    const std::vector<RecId>& c = chunks_[lo];
    return Prefix(lo) +
           static_cast<size_t>(std::partition_point(c.begin(), c.end(), before) - c.begin());
  }
  // Bytes held, for the memory figures.
  size_t MemoryBytes() const;
  // Chunk sizes, for tests of splits and merges.
  std::vector<size_t> ChunkSizes() const;

 private:
  void Locate(size_t pos) const;
  size_t Prefix(size_t chunk) const;  // ids before the chunk
  void Add(size_t chunk, int delta);
  void Rebuild();
  void NewChunk(size_t at);
  void Forget() const { hot_size_ = 0; }

  std::vector<std::vector<RecId>> chunks_;  // none empty
  std::vector<uint32_t> tree_;              // Fenwick tree of chunk sizes
  size_t size_ = 0;
  // The chunk of the last lookup: a walk through the view finds each position at once.
  mutable size_t hot_chunk_ = 0, hot_start_ = 0, hot_size_ = 0;
};

// The order a view is built in: a total order whose first criterion is a leading key.
class KeyedOrder {
 public:
  virtual ~KeyedOrder() = default;
  // Agrees with Less wherever two keys differ.
  virtual LeadingKey Key(RecId id) const = 0;
  virtual bool Less(RecId a, RecId b) const = 0;
};

struct BuildLimits {
  size_t max_runs = 32;      // ascending runs followed before the input counts as unordered
  size_t piece = 64 * 1024;  // ids sorted at once when it is, at 24 bytes each
};

// Fills `out` with `ids` (the records in file order) in `order`. File order is mostly a few
// interleaved ascending runs of the order (rows appended over time): those are followed and
// merged, reading each run's records in file order. Otherwise the ids are sorted in pieces and
// the pieces merged. No transient wider than a byte per id beyond `ids` itself, but a piece.
void BuildOrdered(std::vector<RecId> ids, const KeyedOrder& order, OrderedIds& out,
                  const BuildLimits& limits = {});

}  // namespace tarvo::db
