#include "db/index_writer.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "db/db_error.h"
#include "platform/best_effort.h"

namespace tarvo::db::px {

using Kind = EDBEngineError::Kind;

namespace {

// Writes go out in pieces of about this size, reads of the scratch file come in them.
constexpr size_t kIoBytes = 1u << 20;
constexpr size_t kReadBytes = 64u << 10;
// Past this many natural runs in a buffer a sort beats merging them.
constexpr size_t kMaxNaturalRuns = 16;

}  // namespace

int RecordOrder::Compare(const uint8_t* a, const uint8_t* b) const {
  for (const OrderPart& p : parts_) {
    int c = p.alpha ? collation_.Compare(a + p.offset, b + p.offset, static_cast<size_t>(p.length))
                    : std::memcmp(a + p.offset, b + p.offset, static_cast<size_t>(p.length));
    if (c) return (c < 0) != p.descending ? -1 : 1;
  }
  return 0;
}

LeadingKey RecordOrder::Leading(const uint8_t* rec) const {
  if (parts_.empty()) return {};
  const OrderPart& p = parts_.front();
  const uint8_t* at = rec + p.offset;
  const size_t n = static_cast<size_t>(p.length);
  LeadingKey key = p.alpha ? collation_.Key(at, n) : LeadingKey::FromBytes(at, n);
  return p.descending ? key.Reversed() : key;
}

// ---- the data file ----

DataFileWriter::DataFileWriter(platform::File& out, std::vector<uint8_t> header, int record_size,
                               int block_size, int key_len, size_t count)
    : out_(out),
      header_(std::move(header)),
      record_size_(static_cast<size_t>(record_size)),
      block_size_(static_cast<size_t>(block_size)),
      key_len_(static_cast<size_t>(key_len)),
      count_(count),
      cap_((block_size_ - 6) / std::max<size_t>(record_size_, 1)) {
  if (record_size_ == 0 || cap_ == 0 || key_len_ > record_size_)
    throw EDBEngineError(Kind::kInvalidValue, "Index record does not fit its blocks");
  blocks_ = (count_ + cap_ - 1) / cap_;
  Put32(header_, 0x06, static_cast<uint32_t>(count_));
  Put16(header_, 0x0A, static_cast<uint32_t>(blocks_));
  Put16(header_, 0x0C, static_cast<uint32_t>(blocks_));
  Put16(header_, 0x0E, blocks_ ? 1 : 0);
  Put16(header_, 0x10, static_cast<uint32_t>(blocks_));
  Put16(header_, 0x3A, static_cast<uint32_t>(blocks_));
  Put16(header_, 0x4D, 0);
  block_.assign(block_size_, 0);
  Restart();
}

void DataFileWriter::Restart() {
  added_ = in_block_ = 0;
  leaves_.clear();
  std::fill(block_.begin(), block_.end(), 0);
  pending_.assign(header_.begin(), header_.end());
  out_.Seek(0);
}

void DataFileWriter::Add(const uint8_t* rec) {
  if (added_ == count_) throw EDBEngineError(Kind::kState, "Index gets more records than counted");
  std::memcpy(block_.data() + 6 + in_block_ * record_size_, rec, record_size_);
  ++added_;
  if (++in_block_ == cap_) EndBlock();
}

void DataFileWriter::EndBlock() {
  const size_t c = leaves_.size();
  const uint16_t number = static_cast<uint16_t>(c + 1);
  Put16(block_.data(), c + 1 < blocks_ ? number + 1 : 0);
  Put16(block_.data() + 2, c > 0 ? number - 1 : 0);
  Put16(block_.data() + 4, static_cast<uint32_t>((in_block_ - 1) * record_size_));
  leaves_.push_back({std::string(reinterpret_cast<const char*>(block_.data() + 6), key_len_),
                     number, static_cast<uint32_t>(in_block_)});
  pending_.insert(pending_.end(), block_.begin(), block_.end());
  std::fill(block_.begin(), block_.end(), 0);
  in_block_ = 0;
  if (pending_.size() >= kIoBytes) Drain();
}

void DataFileWriter::Drain() {
  if (!pending_.empty()) out_.Write(pending_.data(), pending_.size());
  pending_.clear();
}

std::vector<TreeEntry> DataFileWriter::Finish() {
  if (in_block_) EndBlock();
  if (added_ != count_) throw EDBEngineError(Kind::kState, "Index gets fewer records than counted");
  Drain();
  out_.Truncate();
  out_.Flush();
  return std::move(leaves_);
}

// ---- sorting in runs ----

RunSorter::RunSorter(platform::FileSystem& fs, const RecordOrder& order, int record_size,
                     size_t run_bytes, std::string label)
    : fs_(fs),
      order_(order),
      record_size_(static_cast<size_t>(std::max(record_size, 1))),
      run_records_(std::max(kMinRunRecords, run_bytes / record_size_)),
      label_(std::move(label)) {}

RunSorter::~RunSorter() {
  if (scratch_) {
    platform::BestEffort("the scratch file holds copies only, and is deleted next",
                         [&] { scratch_->Close(); });
    scratch_.reset();
  }
  if (!scratch_path_.empty()) {
    platform::BestEffort("a scratch file left in the temporary folder harms nothing",
                         [&] { (void)fs_.DeleteFileAt(scratch_path_); });
  }
}

void RunSorter::Fail(const std::string& what, const std::exception& e) const {
  throw EDBEngineError(Kind::kIo,
                       "Cannot " + what + " the index scratch file of " + label_ + ": " + e.what());
}

void RunSorter::Add(const uint8_t* rec) {
  // Reserved, not zeroed: a small index touches only the pages it fills.
  if (buf_.capacity() == 0) buf_.reserve(run_records_ * record_size_);
  if (in_order_) {
    const uint8_t* prev = held_           ? buf_.data() + (held_ - 1) * record_size_
                          : last_.empty() ? nullptr
                                          : last_.data();
    if (prev && order_.Compare(prev, rec) > 0) in_order_ = false;
  }
  buf_.insert(buf_.end(), rec, rec + record_size_);
  if (++held_ == run_records_) Spill();
}

// The held records' order: a buffer already in order, or made of a few runs in order (rows
// appended in batches), costs a pass or a few merges rather than a sort.
std::vector<uint32_t> RunSorter::SortedRun() const {
  const uint8_t* b = buf_.data();
  auto at = [&](uint32_t i) { return b + static_cast<size_t>(i) * record_size_; };
  std::vector<uint32_t> perm(held_);
  std::iota(perm.begin(), perm.end(), 0u);
  if (in_order_) return perm;
  std::vector<size_t> starts;
  for (size_t i = 1; i < held_ && starts.size() < kMaxNaturalRuns; ++i)
    if (order_.Compare(at(static_cast<uint32_t>(i - 1)), at(static_cast<uint32_t>(i))) > 0)
      starts.push_back(i);
  // Equal records keep the order they came in: the place breaks ties.
  auto less = [&](uint32_t x, uint32_t y) {
    const int c = order_.Compare(at(x), at(y));
    return c ? c < 0 : x < y;
  };
  if (starts.size() < kMaxNaturalRuns) {
    for (size_t k = 0; k < starts.size(); ++k) {
      auto end = k + 1 < starts.size() ? perm.begin() + starts[k + 1] : perm.end();
      std::inplace_merge(perm.begin(), perm.begin() + starts[k], end, less);
    }
    return perm;
  }
  std::vector<std::pair<LeadingKey, uint32_t>> keyed(held_);
  for (size_t i = 0; i < held_; ++i)
    keyed[i] = {order_.Leading(at(static_cast<uint32_t>(i))), static_cast<uint32_t>(i)};
  std::sort(keyed.begin(), keyed.end(), [&](const auto& x, const auto& y) {
    if (x.first != y.first) return x.first < y.first;
    return less(x.second, y.second);
  });
  for (size_t i = 0; i < held_; ++i) perm[i] = keyed[i].second;
  return perm;
}

void RunSorter::Spill() {
  const std::vector<uint32_t> perm = SortedRun();
  try {
    if (!scratch_) {
      scratch_path_ = fs_.MakeTempFile(fs_.TempFolder(), "tpi");
      scratch_ = fs_.Open(scratch_path_, platform::Access::kReadWrite, platform::Share::kDenyWrite,
                          platform::Disposition::kOpenExisting);
    }
    scratch_->Seek(scratch_size_);
    std::vector<uint8_t> out;
    out.reserve(std::min(kIoBytes + record_size_, perm.size() * record_size_));
    for (uint32_t i : perm) {
      const uint8_t* r = buf_.data() + static_cast<size_t>(i) * record_size_;
      out.insert(out.end(), r, r + record_size_);
      if (out.size() >= kIoBytes) {
        scratch_->Write(out.data(), out.size());
        out.clear();
      }
    }
    if (!out.empty()) scratch_->Write(out.data(), out.size());
  } catch (const platform::PlatformError& e) {
    Fail("write", e);
  }
  if (in_order_) {
    const uint8_t* end = buf_.data() + held_ * record_size_;
    last_.assign(end - record_size_, end);
  }
  runs_.push_back({scratch_size_, held_});
  scratch_size_ += static_cast<uint64_t>(held_) * record_size_;
  held_ = 0;
  buf_.clear();
}

// A run read back through a small buffer.
struct RunSorter::Reader {
  uint64_t at = 0, left = 0;  // where the unread records are, how many
  std::vector<uint8_t> buf;
  size_t pos = 0, have = 0;
  const uint8_t* current() const { return buf.data() + pos; }
};

void RunSorter::Merge(const std::function<void(const uint8_t*)>& out) {
  const size_t per_run = std::max<size_t>(1, kReadBytes / record_size_);
  std::vector<Reader> readers(runs_.size());
  auto refill = [&](Reader& r) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(r.left, per_run));
    r.buf.resize(n * record_size_);
    try {
      scratch_->Seek(r.at);
      size_t got = 0;
      while (got < r.buf.size()) {
        const size_t k = scratch_->Read(r.buf.data() + got, r.buf.size() - got);
        if (k == 0) break;
        got += k;
      }
      if (got != r.buf.size())
        throw EDBEngineError(Kind::kIo, "Index scratch file of " + label_ + " cut short");
    } catch (const platform::PlatformError& e) {
      Fail("read", e);
    }
    r.at += r.buf.size();
    r.left -= n;
    r.pos = 0;
    r.have = r.buf.size();
  };
  // A heap of the runs by their current records; the earlier run first between equal ones.
  auto after = [&](size_t x, size_t y) {
    const int c = order_.Compare(readers[x].current(), readers[y].current());
    return c ? c > 0 : x > y;
  };
  std::vector<size_t> heap;
  for (size_t k = 0; k < runs_.size(); ++k) {
    readers[k].at = runs_[k].at;
    readers[k].left = runs_[k].count;
    if (!readers[k].left) continue;
    refill(readers[k]);
    heap.push_back(k);
  }
  std::make_heap(heap.begin(), heap.end(), after);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), after);
    Reader& r = readers[heap.back()];
    out(r.current());
    r.pos += record_size_;
    if (r.pos == r.have) {
      if (!r.left) {
        heap.pop_back();
        continue;
      }
      refill(r);
    }
    std::push_heap(heap.begin(), heap.end(), after);
  }
}

void RunSorter::Drain(const std::function<void(const uint8_t*)>& out) {
  if (runs_.empty()) {
    for (uint32_t i : SortedRun()) out(buf_.data() + static_cast<size_t>(i) * record_size_);
  } else {
    if (held_) Spill();
    buf_ = {};
    Merge(out);
  }
  buf_ = {};
  held_ = 0;
  runs_.clear();
}

}  // namespace tarvo::db::px
