#include "db/record_store.h"

#include <algorithm>
#include <cstring>

#include "db/db_error.h"
#include "platform/best_effort.h"

namespace tarvo::db {

RecordStore::~RecordStore() { RemoveScratch(); }

void RecordStore::Reset(int record_size, platform::FileSystem* fs, size_t budget_bytes,
                        std::string label) {
  clear();
  record_size_ = static_cast<size_t>(record_size);
  fs_ = fs;
  label_ = std::move(label);
  const size_t chunk_bytes = kChunk * std::max<size_t>(record_size_, 1);
  budget_chunks_ = fs ? std::max(kMinChunks, budget_bytes / chunk_bytes) : 0;
}

void RecordStore::clear() {
  chunks_.clear();
  held_ = 0;
  newest_ = oldest_ = kNone;
  RemoveScratch();
}

void RecordStore::RemoveScratch() const {
  if (scratch_) {
    platform::BestEffort("the scratch file holds copies only, and is deleted next",
                         [&] { scratch_->Close(); });
    scratch_.reset();
  }
  if (!scratch_path_.empty() && fs_) {
    platform::BestEffort("a scratch file left in the temporary folder harms nothing",
                         [&] { (void)fs_->DeleteFileAt(scratch_path_); });
  }
  scratch_path_.clear();
}

const uint8_t* RecordStore::at(uint32_t id) const {
  return Use(id / kChunk) + id % kChunk * record_size_;
}

void RecordStore::Set(uint32_t id, const uint8_t* bytes) {
  const size_t c = id / kChunk;
  if (c >= chunks_.size()) chunks_.resize(c + 1);
  uint8_t* p = Use(c);
  chunks_[c].changed = true;
  std::memcpy(p + id % kChunk * record_size_, bytes, record_size_);
}

void RecordStore::Unlink(uint32_t c) const {
  Chunk& ch = chunks_[c];
  if (ch.newer != kNone)
    chunks_[ch.newer].older = ch.older;
  else
    newest_ = ch.older;
  if (ch.older != kNone)
    chunks_[ch.older].newer = ch.newer;
  else
    oldest_ = ch.newer;
  ch.newer = ch.older = kNone;
}

void RecordStore::Link(uint32_t c) const {
  Chunk& ch = chunks_[c];
  ch.older = newest_;
  ch.newer = kNone;
  if (newest_ != kNone) chunks_[newest_].newer = c;
  newest_ = c;
  if (oldest_ == kNone) oldest_ = c;
}

void RecordStore::MarkUsed(uint32_t c) const {
  Unlink(c);
  Link(c);
}

uint8_t* RecordStore::Bring(size_t c) const {
  const size_t chunk_bytes = kChunk * record_size_;
  if (budget_chunks_ && held_ >= budget_chunks_) {
    // Written out first: when that fails, the chunk stays in memory as it was.
    const uint32_t out = oldest_;
    SendOut(out);
    Unlink(out);
    --held_;
  }
  Chunk& ch = chunks_[c];
  // A chunk from the file is read whole, so only a new one is zeroed: its unused slots may go
  // to the scratch file, which must not carry whatever the heap held there before.
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[chunk_bytes]);
  if (!ch.in_file) std::memset(bytes.get(), 0, chunk_bytes);
  if (ch.in_file) {
    try {
      scratch_->Seek(static_cast<uint64_t>(c) * chunk_bytes);
      size_t got = 0;
      while (got < chunk_bytes) {
        const size_t r = scratch_->Read(bytes.get() + got, chunk_bytes - got);
        if (r == 0) break;
        got += r;
      }
      if (got != chunk_bytes)
        throw EDBEngineError(EDBEngineError::Kind::kIo,
                             "Scratch file of " + label_ + " cut short: " + scratch_path_);
    } catch (const platform::PlatformError& e) {
      throw EDBEngineError(EDBEngineError::Kind::kIo,
                           "Cannot read the scratch file of " + label_ + ": " + e.what());
    }
  }
  ch.bytes = std::move(bytes);
  ++held_;
  Link(static_cast<uint32_t>(c));
  return ch.bytes.get();
}

void RecordStore::SendOut(size_t c) const {
  Chunk& ch = chunks_[c];
  const size_t chunk_bytes = kChunk * record_size_;
  if (ch.changed || !ch.in_file) {
    try {
      if (!scratch_) {
        scratch_path_ = fs_->MakeTempFile(fs_->TempFolder(), "tpx");
        scratch_ = fs_->Open(scratch_path_, platform::Access::kReadWrite,
                             platform::Share::kDenyWrite, platform::Disposition::kOpenExisting);
      }
      scratch_->Seek(static_cast<uint64_t>(c) * chunk_bytes);
      scratch_->Write(ch.bytes.get(), chunk_bytes);
    } catch (const platform::PlatformError& e) {
      throw EDBEngineError(EDBEngineError::Kind::kIo,
                           "Cannot write the scratch file of " + label_ + ": " + e.what());
    }
    ch.in_file = true;
    ch.changed = false;
  }
  ch.bytes.reset();
}

}  // namespace tarvo::db
