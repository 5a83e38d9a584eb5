#include "db/ordered_ids.h"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace tarvo::db {

// ---- OrderedIds ----

void OrderedIds::Clear() {
  chunks_.clear();
  chunks_.shrink_to_fit();
  tree_.clear();
  size_ = 0;
  Forget();
}

void OrderedIds::NewChunk(size_t at) {
  std::vector<RecId> c;
  c.reserve(kChunk);
  chunks_.insert(chunks_.begin() + static_cast<ptrdiff_t>(at), std::move(c));
}

void OrderedIds::PushBack(RecId id) { Insert(size_, id); }

size_t OrderedIds::Prefix(size_t chunk) const {
  size_t s = 0;
  for (size_t i = chunk; i > 0; i -= i & (~i + 1)) s += tree_[i - 1];
  return s;
}

void OrderedIds::Add(size_t chunk, int delta) {
  for (size_t i = chunk + 1; i <= tree_.size(); i += i & (~i + 1))
    tree_[i - 1] = static_cast<uint32_t>(static_cast<int64_t>(tree_[i - 1]) + delta);
}

void OrderedIds::Rebuild() {
  const size_t n = chunks_.size();
  tree_.assign(n, 0);
  for (size_t i = 0; i < n; ++i) tree_[i] = static_cast<uint32_t>(chunks_[i].size());
  for (size_t i = 1; i <= n; ++i) {
    const size_t j = i + (i & (~i + 1));
    if (j <= n) tree_[j - 1] += tree_[i - 1];
  }
}

void OrderedIds::Locate(size_t pos) const {
  if (pos >= size_) throw std::out_of_range("view position out of range");
  size_t k = 0, rem = pos;
  size_t step = 1;
  while (step * 2 <= tree_.size()) step *= 2;
  for (; step; step /= 2) {
    if (k + step <= tree_.size() && tree_[k + step - 1] <= rem) {
      k += step;
      rem -= tree_[k - 1];
    }
  }
  hot_chunk_ = k;
  hot_start_ = pos - rem;
  hot_size_ = chunks_[k].size();
}

void OrderedIds::Insert(size_t pos, RecId id) {
  if (pos > size_) throw std::out_of_range("view position out of range");
  size_t k, off;
  if (pos == size_) {
    // Appending: a full last chunk is followed by a new one, so that ids added in order fill
    // their chunks.
    if (chunks_.empty() || chunks_.back().size() == kChunk) {
      NewChunk(chunks_.size());
      chunks_.back().push_back(id);
      Rebuild();
    } else {
      chunks_.back().push_back(id);
      Add(chunks_.size() - 1, +1);
    }
  } else {
    Locate(pos);
    k = hot_chunk_;
    off = pos - hot_start_;
    if (off == 0 && k > 0 && chunks_[k - 1].size() < kChunk) {
      chunks_[k - 1].push_back(id);
      Add(k - 1, +1);
    } else if (chunks_[k].size() < kChunk) {
      chunks_[k].insert(chunks_[k].begin() + static_cast<ptrdiff_t>(off), id);
      Add(k, +1);
    } else {
      const size_t half = kChunk / 2;
      NewChunk(k + 1);
      std::vector<RecId>& low = chunks_[k];
      std::vector<RecId>& high = chunks_[k + 1];
      high.assign(low.begin() + static_cast<ptrdiff_t>(half), low.end());
      low.resize(half);
      if (off <= half)
        low.insert(low.begin() + static_cast<ptrdiff_t>(off), id);
      else
        high.insert(high.begin() + static_cast<ptrdiff_t>(off - half), id);
      Rebuild();
    }
  }
  ++size_;
  Forget();
}

void OrderedIds::Erase(size_t pos) {
  Locate(pos);
  const size_t k = hot_chunk_;
  std::vector<RecId>& c = chunks_[k];
  c.erase(c.begin() + static_cast<ptrdiff_t>(pos - hot_start_));
  --size_;
  Forget();
  // A chunk left small joins a neighbour when both fit well in one: the view stays near four
  // bytes a record after many erasures.
  const size_t fits = kChunk * 3 / 4;
  if (c.empty()) {
    chunks_.erase(chunks_.begin() + static_cast<ptrdiff_t>(k));
  } else if (c.size() < kChunk / 4 && k + 1 < chunks_.size() &&
             c.size() + chunks_[k + 1].size() <= fits) {
    c.insert(c.end(), chunks_[k + 1].begin(), chunks_[k + 1].end());
    chunks_.erase(chunks_.begin() + static_cast<ptrdiff_t>(k + 1));
  } else if (c.size() < kChunk / 4 && k > 0 && c.size() + chunks_[k - 1].size() <= fits) {
    chunks_[k - 1].insert(chunks_[k - 1].end(), c.begin(), c.end());
    chunks_.erase(chunks_.begin() + static_cast<ptrdiff_t>(k));
  } else {
    Add(k, -1);
    return;
  }
  Rebuild();
}

size_t OrderedIds::MemoryBytes() const {
  size_t b = chunks_.capacity() * sizeof(std::vector<RecId>) + tree_.capacity() * sizeof(uint32_t);
  for (const auto& c : chunks_) b += c.capacity() * sizeof(RecId);
  return b;
}

std::vector<size_t> OrderedIds::ChunkSizes() const {
  std::vector<size_t> s;
  for (const auto& c : chunks_) s.push_back(c.size());
  return s;
}

// ---- BuildOrdered ----

namespace {

struct Head {
  LeadingKey key;
  RecId id;
  uint8_t run;
};

bool HeadLess(const KeyedOrder& order, const Head& a, const Head& b) {
  if (a.key != b.key) return a.key < b.key;
  return order.Less(a.id, b.id);
}

// Splits the ids into as few ascending runs as it can (each id joins the run whose last id is
// the greatest below it), recording each id's run. Returns the number of runs, or 0 when more
// than `max_runs` would be needed.
size_t AssignRuns(const std::vector<RecId>& ids, const KeyedOrder& order, std::vector<uint8_t>& run,
                  size_t max_runs) {
  std::vector<Head> tails;  // the runs' last ids, ascending
  for (size_t i = 0; i < ids.size(); ++i) {
    const Head x{order.Key(ids[i]), ids[i], 0};
    // The common case, one run growing, takes one comparison.
    size_t j = tails.size();
    if (j == 0 || !HeadLess(order, tails.back(), x)) {
      j = static_cast<size_t>(
          std::partition_point(tails.begin(), tails.end(),
                               [&](const Head& t) { return HeadLess(order, t, x); }) -
          tails.begin());
    }
    if (j == 0) {
      if (tails.size() == max_runs) return 0;
      Head h = x;
      h.run = static_cast<uint8_t>(tails.size());
      tails.insert(tails.begin(), h);
      run[i] = h.run;
    } else {
      const uint8_t r = tails[j - 1].run;
      tails[j - 1] = x;
      tails[j - 1].run = r;
      run[i] = r;
    }
  }
  return tails.size();
}

// Sorts the ids in pieces, each piece a run. Returns the number of pieces.
size_t SortPieces(std::vector<RecId>& ids, const KeyedOrder& order, std::vector<uint8_t>& run,
                  size_t piece) {
  const size_t n = ids.size();
  piece = std::max<size_t>({piece, 1, (n + 254) / 255});  // run labels are bytes
  std::vector<std::pair<LeadingKey, RecId>> keyed;
  keyed.reserve(std::min(piece, n));
  size_t pieces = 0;
  for (size_t b = 0; b < n; b += piece, ++pieces) {
    const size_t e = std::min(n, b + piece);
    keyed.clear();
    for (size_t i = b; i < e; ++i) keyed.emplace_back(order.Key(ids[i]), ids[i]);
    std::sort(keyed.begin(), keyed.end(), [&](const auto& x, const auto& y) {
      if (x.first != y.first) return x.first < y.first;
      return order.Less(x.second, y.second);
    });
    for (size_t i = b; i < e; ++i) {
      ids[i] = keyed[i - b].second;
      run[i] = static_cast<uint8_t>(pieces);
    }
  }
  return pieces;
}

void MergeRuns(const std::vector<RecId>& ids, const std::vector<uint8_t>& run, size_t runs,
               const KeyedOrder& order, OrderedIds& out) {
  const size_t n = ids.size();
  std::vector<size_t> at(runs, 0);  // each run's current position in ids
  std::vector<Head> heap;
  auto greater = [&](const Head& a, const Head& b) { return HeadLess(order, b, a); };
  auto push_next = [&](uint8_t r, size_t from) {
    const void* p = from < n ? std::memchr(run.data() + from, r, n - from) : nullptr;
    if (!p) return;
    const size_t i = static_cast<size_t>(static_cast<const uint8_t*>(p) - run.data());
    at[r] = i;
    heap.push_back({order.Key(ids[i]), ids[i], r});
    std::push_heap(heap.begin(), heap.end(), greater);
  };
  for (size_t r = 0; r < runs; ++r) push_next(static_cast<uint8_t>(r), 0);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), greater);
    const Head h = heap.back();
    heap.pop_back();
    out.PushBack(h.id);
    push_next(h.run, at[h.run] + 1);
  }
}

}  // namespace

void BuildOrdered(std::vector<RecId> ids, const KeyedOrder& order, OrderedIds& out,
                  const BuildLimits& limits) {
  out.Clear();
  std::vector<uint8_t> run(ids.size());
  size_t runs = AssignRuns(ids, order, run, std::min<size_t>(limits.max_runs, 255));
  if (runs == 0) runs = SortPieces(ids, order, run, limits.piece);
  if (runs <= 1) {
    for (RecId id : ids) out.PushBack(id);
    return;
  }
  MergeRuns(ids, run, runs, order, out);
}

}  // namespace tarvo::db
