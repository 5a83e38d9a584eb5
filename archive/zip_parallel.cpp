#include "archive/zip_parallel.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#include "archive/zip_exception.h"
#include "archive/zip_records.h"

namespace tarvo::archive {

namespace {

// Runs deflate until the piece's input is consumed and its flush is complete, growing the output
// when zlib fills it.
bool RunDeflate(z_stream& zs, DeflatePiece& piece) {
  const int flush = piece.last ? Z_FINISH : Z_SYNC_FLUSH;
  zs.next_in = piece.input.data();
  zs.avail_in = static_cast<uInt>(piece.input.size());
  size_t used = 0;
  piece.output.resize(deflateBound(&zs, static_cast<uLong>(piece.input.size())) + 16);
  for (;;) {
    if (used == piece.output.size()) piece.output.resize(piece.output.size() * 2);
    zs.next_out = piece.output.data() + used;
    zs.avail_out = static_cast<uInt>(piece.output.size() - used);
    int r = deflate(&zs, flush);
    if (r < 0 && r != Z_BUF_ERROR) return false;
    used = piece.output.size() - zs.avail_out;
    if (flush == Z_FINISH ? r == Z_STREAM_END : (zs.avail_in == 0 && zs.avail_out != 0)) break;
  }
  piece.output.resize(used);
  return true;
}

}  // namespace

size_t ChunkSizeOfLevel(int level) {
  if (level >= 1 && level <= 3) return 0x80000;
  if (level >= 7 && level <= 9) return 0x180000;
  return 0x100000;
}

size_t ReadFull(platform::File& file, uint8_t* buffer, size_t n) {
  size_t total = 0;
  while (total < n) {
    size_t got = file.Read(buffer + total, n - total);
    if (got == 0) break;
    total += got;
  }
  return total;
}

bool DeflatePieceNow(DeflatePiece& piece) {
  try {
    z_stream zs{};
    // Raw deflate with the parameters of the one-stream writer, so the output matches it closely.
    if (deflateInit2(&zs, piece.level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      return false;
    bool ok = piece.dictionary.empty() ||
              deflateSetDictionary(&zs, piece.dictionary.data(),
                                   static_cast<uInt>(piece.dictionary.size())) == Z_OK;
    ok = ok && RunDeflate(zs, piece);
    if (deflateEnd(&zs) < 0 && piece.last) ok = false;
    piece.crc =
        static_cast<uint32_t>(crc32(0, piece.input.data(), static_cast<uInt>(piece.input.size())));
    return ok;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool DeflatePiece::Run() { return DeflatePieceNow(*this); }

bool EntryCheck::Run() {
  try {
    uint32_t c = 0;
    uint64_t produced = 0;
    if (!deflated) {
      c = static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
      produced = data.size();
    } else {
      std::vector<uint8_t> out(1 << 16);
      z_stream zs{};
      if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return false;
      zs.next_in = data.data();
      zs.avail_in = static_cast<uInt>(data.size());
      int r = Z_OK;
      // Decoding stops at the stream's end or at the first size past the record's.
      while (r == Z_OK && produced <= size) {
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        r = inflate(&zs, Z_NO_FLUSH);
        size_t have = out.size() - zs.avail_out;
        c = static_cast<uint32_t>(crc32(c, out.data(), static_cast<uInt>(have)));
        produced += have;
      }
      inflateEnd(&zs);
      // The data ran out (Z_BUF_ERROR) or ended: sound when the size and CRC-32 are right. Bad
      // data, or more of it than the record gives, is not.
      if (r != Z_STREAM_END && r != Z_BUF_ERROR) return true;
    }
    sound = produced == size && c == crc;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

WorkerPool::WorkerPool(int threads) {
  for (int i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void WorkerPool::Submit(std::shared_ptr<PoolJob> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(job));
  }
  work_ready_.notify_one();
}

void WorkerPool::Wait(const PoolJob& job) {
  std::unique_lock<std::mutex> lock(mutex_);
  piece_done_.wait(lock, [&] { return job.done; });
}

void WorkerPool::Work() {
  for (;;) {
    std::shared_ptr<PoolJob> piece;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      piece = std::move(queue_.front());
      queue_.pop_front();
    }
    bool ok = piece->Run();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      piece->failed = !ok;
      piece->done = true;
    }
    piece_done_.notify_all();
  }
}

SourcePrefetch::SourcePrefetch(TZipDirArray& items, int first, int threads, Opener open)
    : items_(items),
      next_(first),
      open_(std::move(open)),
      // Two pieces per worker keep every worker busy while the pass writes; the memory stays a
      // few chunks whatever the file sizes.
      budget_(static_cast<size_t>(2 * threads + 2) * ChunkSizeOfLevel(9)),
      max_entries_(static_cast<size_t>(64 * threads)),
      pool_(threads) {}

SourcePrefetch::~SourcePrefetch() {
  if (current_) Drop(*current_);
  for (auto& e : ahead_) Drop(*e);
}

bool SourcePrefetch::Qualifies(const TDirItem& item) {
  TZipProcessOperation op = item.Operation;
  return item.Changed && op != TZipProcessOperation::poRename &&
         op != TZipProcessOperation::poChangeAttr && op != TZipProcessOperation::poChangeComment &&
         !item.IsDirectory() && item.header.method == kMethodDeflate && item.Password.empty();
}

SourcePrefetch::Entry* SourcePrefetch::Begin(const TDirItem& item, int index) {
  End();
  if (next_ <= index) {
    // Nothing read ahead for it yet (the first entry of the pass, or one after a long run of
    // entries that are copied): whatever was read lies before it and is let go.
    for (auto& e : ahead_) Drop(*e);
    ahead_.clear();
    next_ = index;
  }
  Fill();
  auto it = std::find_if(ahead_.begin(), ahead_.end(), [&](const std::unique_ptr<Entry>& e) {
    return e->source_name == item.SourceFileName && e->file_name == item.FileName;
  });
  // Not found: an entry written again after a failure, read as before on its own.
  if (it == ahead_.end()) return nullptr;
  for (auto skipped = ahead_.begin(); skipped != it; ++skipped) Drop(**skipped);
  current_ = std::move(*it);
  ahead_.erase(ahead_.begin(), it + 1);
  Fill();
  return current_.get();
}

std::shared_ptr<DeflatePiece> SourcePrefetch::NextPiece() {
  if (!current_) return nullptr;
  Entry& e = *current_;
  if (e.pieces.empty() && e.MoreToRead()) ReadPiece(e);
  if (e.pieces.empty()) return nullptr;
  std::shared_ptr<DeflatePiece> piece = std::move(e.pieces.front());
  e.pieces.pop_front();
  in_flight_ -= piece->input.size();
  Fill();  // the workers get the next pieces before this one is waited for
  pool_.Wait(*piece);
  return piece;
}

void SourcePrefetch::End() {
  if (!current_) return;
  Drop(*current_);
  current_.reset();
}

void SourcePrefetch::Removed(int index) {
  if (index < next_) --next_;
}

void SourcePrefetch::Fill() {
  while (in_flight_ < budget_) {
    Entry* back = !ahead_.empty() ? ahead_.back().get() : current_.get();
    if (back && back->MoreToRead()) {
      ReadPiece(*back);
    } else if (ahead_.size() >= max_entries_ || !OpenNext()) {
      return;
    }
  }
}

bool SourcePrefetch::OpenNext() {
  while (next_ < items_.Count() && !Qualifies(items_[next_])) ++next_;
  if (next_ >= items_.Count()) return false;
  const TDirItem& item = items_[next_++];
  auto e = std::make_unique<Entry>();
  e->source_name = item.SourceFileName;
  e->file_name = item.FileName;
  e->level = item.CompressionMode;
  try {
    e->file = open_(item, e->size);
  } catch (const EZipException&) {
    e->open_error = std::current_exception();
  }
  e->chunk = static_cast<size_t>(
      std::min<uint64_t>(ChunkSizeOfLevel(e->level), std::max<uint64_t>(e->size, 1)));
  if (!e->MoreToRead()) CloseSource(*e);
  ahead_.push_back(std::move(e));
  return true;
}

void SourcePrefetch::ReadPiece(Entry& e) {
  const size_t want = static_cast<size_t>(std::min<uint64_t>(e.chunk, e.size - e.read));
  auto piece = std::make_shared<DeflatePiece>();
  piece->input.resize(want);
  size_t got = 0;
  try {
    got = ReadFull(*e.file, piece->input.data(), want);
  } catch (const platform::PlatformError&) {
    got = 0;
  }
  if (got < want) {
    // Reported when the pass reaches this piece, as a short read of the entry.
    e.read_failed = true;
    CloseSource(e);
    return;
  }
  piece->level = e.level;
  piece->dictionary = e.window;
  piece->last = e.read + want == e.size;
  const size_t keep = std::min(want, kDeflateWindow);
  e.window.assign(piece->input.end() - static_cast<std::ptrdiff_t>(keep), piece->input.end());
  e.read += want;
  in_flight_ += want;
  e.pieces.push_back(piece);
  pool_.Submit(piece);
  if (!e.MoreToRead()) CloseSource(e);
}

void SourcePrefetch::CloseSource(Entry& e) {
  if (e.file) {
    try {
      e.file->Close();
    } catch (const platform::PlatformError&) {
      // Only read from: nothing of it is lost.
    }
    e.file.reset();
  }
  e.window.clear();
}

// Pieces still held give their bytes back to the budget.
void SourcePrefetch::Drop(Entry& e) {
  CloseSource(e);
  for (const auto& p : e.pieces) in_flight_ -= p->input.size();
  e.pieces.clear();
}

}  // namespace tarvo::archive

namespace tarvo::archive {

TestPrefetch::TestPrefetch(const TZipDirArray& items, int threads, Reader read)
    : items_(items),
      read_(std::move(read)),
      budget_(static_cast<size_t>(2 * threads + 2) * (1 << 20)),
      pool_(threads) {}

bool TestPrefetch::Qualifies(const TDirItem& item, uint64_t most) {
  const uint16_t method = item.header.method;
  return item.Selected && !(item.header.external_attributes & 0x10) && !item.IsEncrypted() &&
         (method == kMethodStored || method == kMethodDeflate) && item.CompressedSize <= most;
}

std::shared_ptr<EntryCheck> TestPrefetch::Checked(int index) {
  while (!ahead_.empty() && ahead_.front().first < index) {
    in_flight_ -= ahead_.front().second->data.size();
    ahead_.pop_front();
  }
  if (next_ <= index) next_ = index;
  Fill();
  if (ahead_.empty() || ahead_.front().first != index) return nullptr;
  std::shared_ptr<EntryCheck> check = std::move(ahead_.front().second);
  ahead_.pop_front();
  in_flight_ -= check->data.size();
  Fill();
  if (!check->read_error) pool_.Wait(*check);
  return check;
}

void TestPrefetch::Fill() {
  // Larger entries are tested on the caller's thread: the memory stays the budget.
  const uint64_t most = budget_ / 4;
  while (in_flight_ < budget_ && next_ < items_.Count()) {
    const int i = next_++;
    const TDirItem& item = items_[i];
    if (!Qualifies(item, most)) continue;
    auto check = std::make_shared<EntryCheck>();
    check->deflated = item.header.method == kMethodDeflate;
    check->size = item.UncompressedSize;
    check->crc = item.header.crc32;
    try {
      if (!read_(item, *check)) continue;  // a short read: tested on its own
    } catch (const std::exception&) {
      check->read_error = std::current_exception();
      check->data.clear();
      ahead_.emplace_back(i, check);
      continue;
    }
    in_flight_ += check->data.size();
    ahead_.emplace_back(i, check);
    pool_.Submit(std::move(check));
  }
}

}  // namespace tarvo::archive
