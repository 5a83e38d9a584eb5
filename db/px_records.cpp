// Where a table's records are read from: the cache of table file blocks, and the records'
// places (a block's first id, or the store once a change touched the block).
#include <algorithm>
#include <cstring>
#include <numeric>

#include "db/px_internal.h"
#include "db/px_table.h"

namespace tarvo::db {

using namespace px;

size_t PxTable::ReadTable(uint64_t offset, uint8_t* to, size_t n) const {
  if (!file_) {
    if (offset >= memory_.size()) return 0;
    n = std::min<size_t>(n, memory_.size() - offset);
    std::memcpy(to, memory_.data() + offset, n);
    return n;
  }
  file_->Seek(offset);
  size_t got = 0;
  while (got < n) {
    const size_t r = file_->Read(to + got, n - got);
    if (r == 0) break;
    got += r;
  }
  return got;
}

uint16_t PxTable::LoadedBlockOf(RecId id) const {
  const auto it = std::upper_bound(loaded_first_.begin(), loaded_first_.end(), id);
  return loaded_block_[static_cast<size_t>(it - loaded_first_.begin()) - 1];
}

void PxTable::Locate() {
  if (located_) return;
  std::vector<uint16_t> where(loaded_ids_, 0);
  for (size_t i = 0; i < loaded_first_.size(); ++i) {
    const Block& b = blocks_[loaded_block_[i] - 1];
    std::fill_n(where.begin() + loaded_first_[i], b.listed ? b.ids.size() : b.count,
                loaded_block_[i]);
  }
  rec_block_ = std::move(where);
  loaded_first_ = {};
  loaded_block_ = {};
  located_ = true;
}

const uint8_t* PxTable::Find(RecId id) const {
  const uint16_t n = BlockOf(id);
  const Block& b = blocks_[n - 1];
  return b.listed ? pool_.at(id) : CachedRecord(n, static_cast<uint16_t>(id - b.first_id));
}

int32_t PxTable::TakeEntry() const {
  if (cache_.size() < cache_capacity_) {
    cache_.emplace_back();
    cache_.back().bytes.reset(new uint8_t[block_size_]);  // read over at once
    const auto e = static_cast<int32_t>(cache_.size() - 1);
    if (cache_oldest_ < 0) cache_oldest_ = e;
    MarkUsed(e);
    return e;
  }
  // A read that fails leaves the entry empty and the oldest, next to be taken.
  const int32_t e = cache_oldest_;
  cache_index_[cache_[e].block] = -1;
  cache_[e].block = 0;
  for (Recent& m : recent_)
    if (m.entry == e) m = Recent();
  return e;
}

size_t PxTable::ReadAheadRun(uint16_t block) const {
  if (block != last_miss_ + 1) return 1;
  // At most a third of what the cache holds beyond its least, so that three misses in a row
  // still leave a record read before them in the cache.
  const size_t spare = (cache_capacity_ - kMinCacheBlocks) / 3;
  const size_t most = std::min(kReadAheadBytes / static_cast<size_t>(block_size_), spare);
  size_t run = 1;
  while (run < most && block + run <= disk_blocks_ && block + run <= blocks_.size()) {
    const size_t n = block + run;
    const Block& b = blocks_[n - 1];
    if (n >= cache_index_.size() || !b.in_use || b.listed || b.count == 0 || cache_index_[n] >= 0)
      break;
    ++run;
  }
  return run;
}

int32_t PxTable::ReadIntoCache(uint16_t block, uint16_t slot) const {
  const auto bs = static_cast<size_t>(block_size_);
  const uint64_t at = static_cast<uint64_t>(header_size_) + static_cast<uint64_t>(block - 1) * bs;
  // A pass over the table misses block after block: the blocks that follow are read in the
  // same call, a read a block being most of the time of such a pass.
  const size_t run = ReadAheadRun(block);
  const uint8_t* from = nullptr;
  int32_t e = -1;
  size_t got = 0;
  try {
    if (run == 1) {
      e = TakeEntry();
      got = ReadTable(at, cache_[e].bytes.get(), bs);
    } else {
      if (!ahead_) ahead_.reset(new uint8_t[kReadAheadBytes]);
      got = ReadTable(at, ahead_.get(), run * bs);
      from = ahead_.get();
    }
  } catch (const platform::PlatformError& err) {
    throw FromPlatform(err, path_);
  }
  last_miss_ = static_cast<uint16_t>(block + run - 1);
  // The open checked that the block's records were there; a file cut short since reads as
  // damaged rather than as stale bytes.
  const auto needs = [&](uint16_t n, size_t least) {
    return 6 + std::max<size_t>(blocks_[n - 1].count, least) * record_size_;
  };
  if (got < needs(block, slot + 1u))
    Damaged(path_, "block " + std::to_string(block) + " cut short");
  if (from) {
    // The blocks ahead first, the one asked for last: it is then the most recently used.
    for (size_t i = 1; i < run; ++i) {
      const auto n = static_cast<uint16_t>(block + i);
      if (got < i * bs + needs(n, 0)) break;
      const int32_t ahead = TakeEntry();
      std::memcpy(cache_[ahead].bytes.get(), from + i * bs, bs);
      cache_[ahead].block = n;
      cache_index_[n] = ahead;
      MarkUsed(ahead);
    }
    e = TakeEntry();
    std::memcpy(cache_[e].bytes.get(), from, bs);
  }
  cache_[e].block = block;
  cache_index_[block] = e;
  return e;
}

const uint8_t* PxTable::CachedRecord(uint16_t block, uint16_t slot) const {
  const Block& b = blocks_[block - 1];
  int32_t e = cache_index_[block];
  if (e < 0) e = ReadIntoCache(block, slot);
  MarkUsed(e);
  const uint8_t* records = cache_[e].bytes.get() + 6;
  if (recent_[0].entry != e) {
    recent_[1] = recent_[0];
    recent_[0] = {b.first_id, b.count, e, records};
  }
  return records + static_cast<size_t>(slot) * record_size_;
}

void PxTable::MarkUsed(int32_t e) const {
  if (e == cache_newest_) return;
  CachedBlock& c = cache_[e];
  // Out of the list (a new entry is in it not yet), then in at its newest end.
  if (c.newer >= 0) cache_[c.newer].older = c.older;
  if (c.older >= 0) cache_[c.older].newer = c.newer;
  if (cache_oldest_ == e && c.newer >= 0) cache_oldest_ = c.newer;
  c.older = cache_newest_;
  c.newer = -1;
  if (cache_newest_ >= 0) cache_[cache_newest_].newer = e;
  cache_newest_ = e;
}

void PxTable::DropCache() const {
  cache_.clear();
  cache_newest_ = cache_oldest_ = -1;
  std::fill(cache_index_.begin(), cache_index_.end(), -1);
  ForgetRecent();
  last_miss_ = 0;
}

void PxTable::MakeResident(uint16_t block) {
  Block& b = blocks_[block - 1];
  if (b.listed) return;
  std::vector<RecId> ids(b.count);
  std::iota(ids.begin(), ids.end(), b.first_id);
  const uint8_t* records = b.count ? CachedRecord(block, 0) : nullptr;
  for (size_t i = 0; i < ids.size(); ++i) pool_.Set(ids[i], records + i * record_size_);
  b.ids = std::move(ids);
  b.listed = true;
  // Its ids are read from the store from now on.
  ForgetRecent();
}

}  // namespace tarvo::db
