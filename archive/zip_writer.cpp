// The update pass: writes the entries changed since BeginUpdate, copies the others from a saved
// copy of the archive's tail, writes the central directory, and puts the file back exactly as it
// was when anything goes wrong.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>

#include "archive/zip_archiver.h"
#include "archive/zip_crypt.h"
#include "archive/zip_names.h"
#include "archive/zip_parallel.h"
#include "archive/zip_reader.h"
#include "platform/best_effort.h"
#include "platform/path.h"

namespace tarvo::archive {

namespace {

constexpr size_t kCopyChunk = 1 << 20;

std::string Backslashed(std::string s) {
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

platform::Share ShareOf(TZipFileShareMode mode) {
  switch (mode) {
    case TZipFileShareMode::smShareCompat:
    case TZipFileShareMode::smShareExclusive:
      return platform::Share::kExclusive;
    case TZipFileShareMode::smShareDenyWrite:
      return platform::Share::kDenyWrite;
    case TZipFileShareMode::smShareDenyRead:
      return platform::Share::kDenyRead;
    case TZipFileShareMode::smShareDenyNone:
      return platform::Share::kDenyNone;
  }
  return platform::Share::kDenyNone;
}

// Writes an entry's data to the archive, enciphered when the entry is, and counts it.
struct DataWriter {
  ZipStream& stream;
  ZipCipher* cipher;  // null for an entry that is not encrypted
  uint64_t written = 0;
  // False when the write failed (a full disk): the caller ends the data there.
  bool Write(uint8_t* data, size_t n) {
    if (cipher) cipher->Encipher(data, n);
    try {
      stream.Write(data, n);
    } catch (const platform::PlatformError&) {
      return false;
    }
    written += n;
    return true;
  }
};

// Feeds one chunk to deflate and writes what comes out; false when a write failed.
bool DeflateChunk(z_stream& zs, uint8_t* in, size_t n, int flush, std::vector<uint8_t>& out,
                  DataWriter& w) {
  zs.next_in = in;
  zs.avail_in = static_cast<uInt>(n);
  int r;
  do {
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    r = deflate(&zs, flush);
    if (r < 0 && r != Z_BUF_ERROR) throw ECompressionError("error");
    size_t have = out.size() - zs.avail_out;
    if (have && !w.Write(out.data(), have)) return false;
  } while (zs.avail_out == 0 || (flush == Z_FINISH && r != Z_STREAM_END));
  return true;
}

}  // namespace

struct TZipBaseArchiver::PassState {
  uint64_t truncation_point = 0;
  std::string tail_path;                 // saved tail on disk
  std::unique_ptr<platform::File> tail;  // ... open
  std::vector<uint8_t> old_directory;    // or, when nothing is rewritten, the old directory
  bool stopped = false;
  // What the directory manager said about the file before the pass.
  EndOfCentralDir end_record;
  uint64_t end_record_offset = 0, directory_start = 0, stub_size = 0;
  bool has_end_record = false, is_zip64 = false;
  Zip64EndOfCentralDir zip64_end_record;
  Zip64Locator zip64_locator;
  // Reads and compresses the coming entries on worker threads; none with one thread.
  std::unique_ptr<SourcePrefetch> prefetch;
};

bool TZipBaseArchiver::Writable() const {
  return stream_ && (open_mode_ == kOpenCreate || (open_mode_ & 3) != 0);
}

void TZipBaseArchiver::BeginUpdate() {
  if (update_count_ == 0) {
    if (!Active()) {
      if (platform::ExtractFileName(FileName).empty()) throw Error(ZipNative::kBlankNameOnUpdate);
      if (!fs_.FileExists(FileName)) {
        OpenArchive(kOpenCreate);
      } else {
        try {
          OpenArchive(kOpenReadWriteDenyWrite);
        } catch (const platform::PlatformError&) {
          OpenArchive(kOpenReadDenyNone);
        }
      }
    }
    if (!Writable()) throw Error(ZipNative::kReadOnly);
    for (int i = 0; i < dir_.items.Count(); ++i) {
      dir_.items[i].Changed = false;
      dir_.items[i].OriginalIndex = i;
    }
    dir_.rollback = dir_.items;
  }
  ++update_count_;
}

void TZipBaseArchiver::EndUpdate() {
  if (update_count_ <= 0) return;
  if (update_count_ == 1) {
    UpdatePass();
    return;
  }
  --update_count_;
}

void TZipBaseArchiver::CancelUpdate() {
  if (update_count_ > 0) update_count_ = 0;
}

std::string TZipBaseArchiver::NameBytes(TDirItem& item) const {
  if (!item.RawName.empty() &&
      DecodeStoredName(item.RawName, item.header.flags, Options.OEMFileNames) == item.FileName)
    return item.RawName;
  EncodedName e = EncodeStoredName(item.FileName, Options.OEMFileNames,
                                   (item.header.flags & kFlagUtf8Name) != 0);
  if (e.utf8)
    item.header.flags |= kFlagUtf8Name;
  else
    item.header.flags &= ~kFlagUtf8Name;
  item.RawName = e.bytes;
  return e.bytes;
}

void TZipBaseArchiver::UpdatePass() {
  update_count_ = 0;
  entries_done_ = 0;
  cancel_ = false;
  last_operation_aborted_ = false;
  progress_enabled_ = true;
  TZipDirArray& items = dir_.items;
  TZipDirArray& old = dir_.rollback;

  entries_to_do_ = 0;
  TZipProcessOperation first_op = TZipProcessOperation::poDelete;
  for (int i = 0; i < items.Count(); ++i) {
    if (!items[i].Changed) continue;
    if (entries_to_do_++ == 0) first_op = items[i].Operation;
  }
  int k = FirstRewrittenEntry();

  DoOverallProgress(0, first_op, TZipProgressPhase::ppStart, cancel_);
  if (cancel_) {
    items = old;
    last_operation_aborted_ = true;
    return;
  }

  PassState pass;
  pass.end_record = dir_.end_record;
  pass.end_record_offset = dir_.end_record_offset;
  pass.directory_start = dir_.directory_start;
  pass.stub_size = dir_.stub_size;
  pass.has_end_record = dir_.has_end_record;
  pass.is_zip64 = dir_.is_zip64;
  pass.zip64_end_record = dir_.zip64_end_record;
  pass.zip64_locator = dir_.zip64_locator;
  pass.truncation_point = CutPoint(k);
  ClampEntriesLeftInPlace(k, pass);

  try {
    SaveTail(k, pass);
    RewriteEntries(k, pass);
    if (!pass.stopped) WriteAndCheckDirectory();
  } catch (...) {
    RollBack(pass);
    throw;
  }
  FinishPass(first_op, pass);
}

int TZipBaseArchiver::FirstRewrittenEntry() const {
  const TZipDirArray& items = dir_.items;
  const TZipDirArray& old = dir_.rollback;
  int common = std::min(items.Count(), old.Count());
  for (int i = 0; i < common; ++i) {
    if (items[i].Changed || items[i].FileName != old[i].FileName) return i;
  }
  return common;
}

uint64_t TZipBaseArchiver::CutPoint(int& k) const {
  const TZipDirArray& old = dir_.rollback;
  // Everything from the lowest local header of the entries from K on is saved (or, when only
  // entries are appended, from the old directory on); entries before K whose record lies in that
  // region (a directory out of physical order, a damaged archive) are copied as well, so that
  // the cut never loses a record the new directory refers to.
  uint64_t t = old.Count() > 0 ? dir_.directory_start : dir_.stub_size;
  for (bool moved = true; moved;) {
    moved = false;
    for (int j = k; j < old.Count(); ++j) t = std::min(t, old[j].LocalHeaderOffset);
    for (int j = 0; j < k; ++j) {
      if (old[j].LocalHeaderOffset >= t) {
        k = j;
        moved = true;
        break;
      }
    }
  }
  return t;
}

void TZipBaseArchiver::ClampEntriesLeftInPlace(int k, PassState& pass) {
  TZipDirArray& items = dir_.items;
  TZipDirArray& old = dir_.rollback;
  // Entries left in place keep decoding as they did: one whose data claims to run into the old
  // directory (a damaged archive) is cut where readers of the old file cut it.
  std::vector<uint64_t> header_offsets;  // of the old entries, sorted, made when first needed
  for (int j = 0; j < k; ++j) {
    TDirItem& item = items[j];
    if (item.LocalHeaderOffset + kLocalHeaderSize + item.CompressedSize + 0x20000 <
        dir_.directory_start)
      continue;
    uint8_t raw[kLocalHeaderSize];
    try {
      stream_->Seek(item.LocalHeaderOffset);
      if (stream_->Read(raw, sizeof raw) != sizeof raw) continue;
    } catch (const platform::PlatformError&) {
      continue;
    }
    LocalFileHeader local = LocalFileHeader::Parse(raw);
    uint64_t data_start =
        item.LocalHeaderOffset + kLocalHeaderSize + local.name_length + local.extra_length;
    // A local header cut off by the end of the file: whatever is added next would lie inside
    // it, and no reader could tell the two apart. Refused before anything is written.
    if (data_start > dir_.directory_start) {
      items = old;
      throw Error(ZipNative::kOverlap, {NameForMessage(item.FileName), "the end of the archive"});
    }
    // Cut at the directory, or at the next entry's local header when one comes first: the data
    // left in place never runs into another entry.
    if (header_offsets.empty()) {
      for (int m = 0; m < old.Count(); ++m) header_offsets.push_back(old[m].LocalHeaderOffset);
      std::sort(header_offsets.begin(), header_offsets.end());
    }
    uint64_t limit = dir_.directory_start;
    auto next =
        std::upper_bound(header_offsets.begin(), header_offsets.end(), item.LocalHeaderOffset);
    if (next != header_offsets.end() && *next < limit) limit = *next;
    uint64_t available = data_start >= limit ? 0 : limit - data_start;
    if (item.CompressedSize <= available) continue;
    item.CompressedSize = available;
    if (item.header.compressed_size != kOverflow32)
      item.header.compressed_size = static_cast<uint32_t>(available);
  }
  pass.truncation_point = std::min(pass.truncation_point, stream_->Size());
  // A repaired directory may list entries inside one another; written out under a directory of
  // its own they would make an archive that no careful reader opens. Refused before anything is
  // written.
  if (dir_.repaired) {
    TZipDirManager as_read = dir_;
    as_read.items = old;
    try {
      RefuseOverlaps(*stream_, as_read, DirectoryReadOptions{}, false);
    } catch (...) {
      items = old;
      throw;
    }
  }
}

void TZipBaseArchiver::SaveTail(int k, PassState& pass) {
  const uint64_t t = pass.truncation_point;
  const uint64_t size = stream_->Size();
  if (k < dir_.rollback.Count()) {
    std::string folder = TempDir.empty() ? fs_.TempFolder() : TempDir;
    pass.tail_path = fs_.MakeTempFile(folder, "FC");
    if (saved_tail_hook_) saved_tail_hook_(pass.tail_path);
    pass.tail = fs_.Open(pass.tail_path, platform::Access::kReadWrite, platform::Share::kExclusive,
                         platform::Disposition::kCreateAlways);
    std::vector<uint8_t> buffer(kCopyChunk);
    stream_->Seek(t);
    for (uint64_t left = size - t; left > 0;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
      stream_->ReadExact(buffer.data(), n);
      pass.tail->Write(buffer.data(), n);
      left -= n;
    }
  } else {
    pass.old_directory.resize(static_cast<size_t>(size - t));
    stream_->Seek(t);
    if (!pass.old_directory.empty())
      stream_->ReadExact(pass.old_directory.data(), pass.old_directory.size());
  }
  stream_->Seek(t);
  stream_->Truncate();
}

int TZipBaseArchiver::ResolvedThreads() const {
  // The pieces read ahead grow with the threads: a bound keeps the memory a few dozen megabytes.
  constexpr int kMost = 8;
  if (CompressionThreads > 0) return std::min(CompressionThreads, kMost);
  return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, unsigned{kMost}));
}

void TZipBaseArchiver::RewriteEntries(int k, PassState& pass) {
  TZipDirArray& items = dir_.items;
  const int threads = ResolvedThreads();
  bool any_deflated = false;
  for (int i = k; i < items.Count() && !any_deflated; ++i)
    any_deflated = SourcePrefetch::Qualifies(items[i]);
  if (threads > 1 && any_deflated) {
    pass.prefetch = std::make_unique<SourcePrefetch>(
        items, k, threads,
        [this](const TDirItem& item, uint64_t& size) { return OpenSource(item, size); });
  }
  // The workers stop and the sources read ahead close however the loop ends.
  struct StopPrefetch {
    std::unique_ptr<SourcePrefetch>& p;
    ~StopPrefetch() { p.reset(); }
  } stop{pass.prefetch};
  for (int i = k; i < items.Count() && !pass.stopped;) {
    TDirItem& item = items[i];
    TZipProcessOperation op = item.Operation;
    bool from_source = item.Changed && op != TZipProcessOperation::poRename &&
                       op != TZipProcessOperation::poChangeAttr &&
                       op != TZipProcessOperation::poChangeComment;
    if (!from_source) {
      CopyEntryFromTail(i, pass);
      ++i;
      continue;
    }
    if (!RewriteEntryWithRetry(i, pass))
      ++i;
    else if (pass.prefetch)
      pass.prefetch->Removed(i);
  }
}

bool TZipBaseArchiver::RewriteEntryWithRetry(int i, PassState& pass) {
  TZipDirArray& items = dir_.items;
  TZipDirArray& old = dir_.rollback;
  TDirItem& item = items[i];
  TZipProcessOperation op = item.Operation;
  while (true) {
    uint64_t start = stream_->Position();
    try {
      WriteEntryFromSource(i, pass);
      if (cancel_) {
        pass.stopped = true;
      } else {
        ++entries_done_;
      }
      return false;
    } catch (const EZipException& e) {
      // Nothing of a failed entry stays in the file.
      stream_->Seek(start);
      stream_->Truncate();
      TZipAction action = TZipAction::fxaAbort;
      std::string name =
          op == TZipProcessOperation::poUpdate ? Backslashed(item.FileName) : item.SourceFileName;
      ReportEntryFailure(name, op, e, action);
      if (action == TZipAction::fxaRetry) continue;
      if (action == TZipAction::fxaAbort) {
        pass.stopped = true;
        return false;
      }
      if (op == TZipProcessOperation::poUpdate && item.OriginalIndex >= 0 &&
          item.OriginalIndex < old.Count()) {
        items[i] = old[item.OriginalIndex];
        items[i].OriginalIndex = item.OriginalIndex;
        CopyEntryFromTail(i, pass);
        return false;
      }
      items.Delete(i);
      return true;
    }
  }
}

void TZipBaseArchiver::WriteAndCheckDirectory() {
  WriteCentralDirectory();
  // Entries of a damaged archive kept as they were must not end up inside one another
  // under the new directory: an archive that no careful reader opens is put back.
  TZipDirManager written;
  DirectoryReadOptions strict;
  strict.repair_on_open = false;
  strict.oem_file_names = Options.OEMFileNames;
  ReadCentralDirectory(*stream_, written, strict);
}

void TZipBaseArchiver::FinishPass(TZipProcessOperation first_op, PassState& pass) {
  TZipDirArray& items = dir_.items;
  bool flush_failed = false;
  if (!pass.stopped) {
    // The new directory is written: from here on nothing may cut the archive back.
    if (pass.tail) {
      platform::BestEffort("the saved tail is a scratch copy, deleted next",
                           [&] { pass.tail->Close(); });
      pass.tail.reset();
      (void)fs_.DeleteFileAt(pass.tail_path);
      pass.tail_path.clear();
    }
    bool ignored = false;
    DoOverallProgress(100, first_op, TZipProgressPhase::ppEnd, ignored);
    // An archive whose buffers did not reach the disk is not a safe archive: the caller hears
    // of it, although the archive itself stays as written.
    if (Options.FlushBuffers) {
      try {
        stream_->Flush();
      } catch (const platform::PlatformError&) {
        flush_failed = true;
      }
    }
  } else {
    RollBack(pass);
    last_operation_aborted_ = true;
  }
  for (int i = 0; i < items.Count(); ++i) items[i].OriginalIndex = -1;
  if (flush_failed) throw Error(ZipNative::kWriteFailed);  // a failed write
}

void TZipBaseArchiver::RollBack(PassState& pass) {
  dir_.items = dir_.rollback;
  dir_.end_record = pass.end_record;
  dir_.end_record_offset = pass.end_record_offset;
  dir_.directory_start = pass.directory_start;
  dir_.stub_size = pass.stub_size;
  dir_.has_end_record = pass.has_end_record;
  dir_.is_zip64 = pass.is_zip64;
  dir_.zip64_end_record = pass.zip64_end_record;
  dir_.zip64_locator = pass.zip64_locator;
  platform::BestEffort(
      "the pass already failed or was stopped, and that is what the caller hears", [&] {
        stream_->Seek(pass.truncation_point);
        stream_->Truncate();
        if (pass.tail) {
          std::vector<uint8_t> buffer(kCopyChunk);
          pass.tail->Seek(0);
          for (;;) {
            size_t n = pass.tail->Read(buffer.data(), buffer.size());
            if (n == 0) break;
            // Past the test hook: restoring must not fail.
            stream_->file().Write(buffer.data(), n);
          }
        } else if (!pass.old_directory.empty()) {
          stream_->file().Write(pass.old_directory.data(), pass.old_directory.size());
        }
      });
  if (pass.tail) {
    platform::BestEffort("the saved tail is a scratch copy, deleted next",
                         [&] { pass.tail->Close(); });
    pass.tail.reset();
  }
  if (!pass.tail_path.empty()) (void)fs_.DeleteFileAt(pass.tail_path);
  pass.tail_path.clear();
}

void TZipBaseArchiver::CopyEntryFromTail(int index, PassState& pass) {
  TDirItem& item = dir_.items[index];
  TZipDirArray& old = dir_.rollback;
  int j = item.OriginalIndex;
  if (j < 0 || j >= old.Count() || old[j].FileName != item.FileName) j = old.IndexOf(item.FileName);
  if (j < 0) throw Error(ZipNative::kEntryNotInTail);
  const TDirItem& source = old[j];
  if (!pass.tail || source.LocalHeaderOffset < pass.truncation_point)
    throw EStreamError("Stream read error");
  uint64_t from = source.LocalHeaderOffset - pass.truncation_point;
  uint8_t raw[kLocalHeaderSize];
  pass.tail->Seek(from);
  if (ReadFull(*pass.tail, raw, sizeof raw) != sizeof raw) throw EStreamError("Stream read error");
  LocalFileHeader local = LocalFileHeader::Parse(raw);
  const uint64_t head = kLocalHeaderSize + local.name_length + local.extra_length;
  // Data is never read past the old directory's start; a damaged entry that claims more keeps
  // what a reader of the old file saw, so that it decodes as it did before.
  const uint64_t data_start = source.LocalHeaderOffset + head;
  const uint64_t available =
      data_start >= pass.directory_start ? 0 : pass.directory_start - data_start;
  const bool cut = source.CompressedSize > available;
  const uint64_t data_length = cut ? available : source.CompressedSize;
  uint64_t length = head + data_length;
  // A data descriptor written by another program follows the data; it goes along.
  if (!cut && (source.header.flags & kFlagDataDescriptor)) {
    uint8_t d[24];
    pass.tail->Seek(from + length);
    size_t got = ReadFull(*pass.tail, d, sizeof d);
    if (got >= 16 && GetU32(d) == kDataDescriptorSignature)
      length += (source.Zip64 && got >= 24) ? 24 : 16;
    else if (got >= 12 && GetU32(d) == source.header.crc32)
      length += 12;
  }
  uint64_t offset = stream_->Position();
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(length, kCopyChunk)));
  pass.tail->Seek(from);
  for (uint64_t left = length; left > 0;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
    if (ReadFull(*pass.tail, buffer.data(), n) != n) throw EStreamError("Stream read error");
    stream_->Write(buffer.data(), n);
    left -= n;
  }
  int original = item.OriginalIndex;
  item = source;
  item.OriginalIndex = original;
  if (cut) {
    item.CompressedSize = data_length;
    if (item.header.compressed_size != kOverflow32)
      item.header.compressed_size = static_cast<uint32_t>(data_length);
  }
  item.LocalHeaderOffset = offset;
  item.header.local_header_offset =
      offset >= kOverflow32 ? kOverflow32 : static_cast<uint32_t>(offset);
  if (offset >= kOverflow32) item.Zip64 = true;
}

void TZipBaseArchiver::WriteEntryFromSource(int index, PassState& pass) {
  TDirItem& item = dir_.items[index];
  const std::string stored = Backslashed(item.FileName);
  const std::string progress_name =
      item.Operation == TZipProcessOperation::poMove ? item.SourceFileName : stored;
  DoFileProgress(progress_name, 0, item.Operation, TZipProgressPhase::ppStart, cancel_);
  if (cancel_) return;

  const bool is_folder = item.IsDirectory();
  std::unique_ptr<platform::File> source;
  uint64_t size = 0;
  SourcePrefetch::Entry* ahead = nullptr;
  if (pass.prefetch && SourcePrefetch::Qualifies(item)) ahead = pass.prefetch->Begin(item, index);
  struct Closer {
    std::unique_ptr<platform::File>& f;
    SourcePrefetch* prefetch;
    ~Closer() {
      if (prefetch) prefetch->End();
      if (f)
        platform::BestEffort("a source read to its end; a failed close loses nothing",
                             [&] { f->Close(); });
    }
  } closer{source, ahead ? pass.prefetch.get() : nullptr};
  if (ahead) {
    // A source that could not be opened is reported now, when its entry is reached.
    if (ahead->open_error) std::rethrow_exception(ahead->open_error);
    size = ahead->size;
  } else if (!is_folder) {
    source = OpenSource(item, size);
  }

  const uint64_t offset = stream_->Position();
  const bool always = Zip64Mode == TZip64Mode::zmAlways;
  bool zip64 = offset >= kOverflow32 || size >= kOverflow32 || always;
  if (zip64 && Zip64Mode == TZip64Mode::zmDisabled)
    throw Error(ZipNative::kZip64NeededForEntry, {item.SourceFileName});
  const std::string name = NameBytes(item);
  const uint16_t version =
      zip64 ? kVersionZip64 : (Options.OEMFileNames ? kVersionOem : kVersionAnsi);
  LocalFileHeader local = ProvisionalLocalHeader(item, name, size, version);
  WriteLocalHeader(local, name, size, 0);

  item.LocalHeaderOffset = offset;
  item.UncompressedSize = size;
  item.CompressedSize = 0;
  if (!is_folder) {
    if (ahead)
      CompressPieces(item, size, *pass.prefetch);
    else
      CompressSource(item, source.get(), size, pass);
    if (cancel_) return;
    if (size == 0) item.header.method = kMethodStored;
    bool overflow = item.CompressedSize >= kOverflow32 || item.UncompressedSize >= kOverflow32;
    if (overflow && Zip64Mode == TZip64Mode::zmDisabled)
      throw Error(ZipNative::kZip64NeededForSize, {item.SourceFileName});
    if (overflow) zip64 = true;
    uint64_t end = stream_->Position();
    local.method = item.header.method;
    local.crc32 = item.header.crc32;
    local.version_needed = zip64 ? kVersionZip64 : version;
    local.compressed_size =
        local.extra_length ? kOverflow32 : static_cast<uint32_t>(item.CompressedSize);
    stream_->Seek(offset);
    WriteLocalHeader(local, name, size, item.CompressedSize);
    stream_->Seek(end);
  }
  FillCentralHeader(item, offset, zip64, version);
  DoFileProgress(progress_name, 100, item.Operation, TZipProgressPhase::ppEnd, cancel_);
}

LocalFileHeader TZipBaseArchiver::ProvisionalLocalHeader(const TDirItem& item,
                                                         const std::string& name, uint64_t size,
                                                         uint16_t version) const {
  const bool always = Zip64Mode == TZip64Mode::zmAlways;
  // Room for the Zip64 block is kept when the sizes might overflow while compressing.
  const bool local_zip64 =
      Zip64Mode != TZip64Mode::zmDisabled && (size >= kOverflow32 - (size / 1000 + 1024) || always);
  LocalFileHeader local;
  local.version_needed = version;
  local.flags = item.header.flags;
  local.method = item.header.method;
  local.time = item.header.time;
  local.date = item.header.date;
  local.crc32 = item.header.crc32;
  local.compressed_size = 0;
  local.uncompressed_size = local_zip64 ? kOverflow32 : static_cast<uint32_t>(size);
  local.name_length = static_cast<uint16_t>(name.size());
  local.extra_length = local_zip64 ? 20 : 0;
  return local;
}

std::unique_ptr<platform::File> TZipBaseArchiver::OpenSource(const TDirItem& item, uint64_t& size) {
  if (item.SourceFileName.size() > 259) throw Error(ZipNative::kNameTooLong, {item.SourceFileName});
  if (item.FileName.size() > 256) throw Error(ZipNative::kCannotOpenSource, {item.SourceFileName});
  try {
    std::unique_ptr<platform::File> source =
        fs_.Open(item.SourceFileName, platform::Access::kRead, ShareOf(Options.ShareMode),
                 platform::Disposition::kOpenExisting);
    size = source->Size();
    return source;
  } catch (const platform::PlatformError&) {
    throw Error(ZipNative::kCannotOpenSource, {item.SourceFileName});
  }
}

void TZipBaseArchiver::WriteLocalHeader(const LocalFileHeader& local, const std::string& name,
                                        uint64_t size, uint64_t compressed) {
  ByteWriter w;
  w.data().resize(kLocalHeaderSize);
  local.Serialize(w.data().data());
  w.Bytes(name);
  if (local.extra_length) AppendExtraBlocks(w, {MakeLocalZip64Block(size, compressed)});
  try {
    stream_->Write(w.data().data(), w.data().size());
  } catch (const platform::PlatformError&) {
    // A full disk: the user may free space and retry the entry.
    throw Error(ZipNative::kBadCompressedSize, {std::to_string(size), std::to_string(compressed)});
  }
}

void TZipBaseArchiver::FillCentralHeader(TDirItem& item, uint64_t offset, bool zip64,
                                         uint16_t version) {
  const bool always = Zip64Mode == TZip64Mode::zmAlways;
  CentralDirHeader& h = item.header;
  h.version_made_by = h.version_needed = zip64 ? kVersionZip64 : version;
  h.compressed_size = (item.CompressedSize >= kOverflow32 || always)
                          ? kOverflow32
                          : static_cast<uint32_t>(item.CompressedSize);
  h.uncompressed_size = (item.UncompressedSize >= kOverflow32 || always)
                            ? kOverflow32
                            : static_cast<uint32_t>(item.UncompressedSize);
  h.local_header_offset =
      (offset >= kOverflow32 || always) ? kOverflow32 : static_cast<uint32_t>(offset);
  h.disk_number_start = 0;
  item.Zip64 = zip64;
  std::vector<ExtraBlock> kept = item.ForeignExtraBlocks();
  item.ExtraBlocks = kept;
}

bool TZipBaseArchiver::ReportChunkProgress(const std::string& source_name,
                                           TZipProcessOperation operation, uint64_t done,
                                           uint64_t size) {
  double fraction = double(done) / double(size);
  DoFileProgress(source_name, fraction * 100, operation, TZipProgressPhase::ppProcess, cancel_);
  if (cancel_) return false;
  DoOverallProgress((fraction + entries_done_) / std::max(entries_to_do_, 1) * 100, operation,
                    TZipProgressPhase::ppProcess, cancel_);
  return !cancel_;
}

uint32_t TZipBaseArchiver::CrcOfSource(platform::File& source, uint64_t size,
                                       std::vector<uint8_t>& in) {
  uint32_t crc = 0;
  uint64_t done = 0;
  while (done < size) {
    size_t n = 0;
    try {
      n = ReadFull(source, in.data(),
                   static_cast<size_t>(std::min<uint64_t>(in.size(), size - done)));
    } catch (const platform::PlatformError&) {
    }
    if (n == 0) break;
    crc = UpdateCrc32(crc, in.data(), n);
    done += n;
  }
  // A CRC of part of the file would make the entry fail every test.
  if (done != size)
    throw Error(ZipNative::kBadCompressedSize, {std::to_string(size), std::to_string(done)});
  source.Seek(0);
  return crc;
}

void TZipBaseArchiver::CompressSource(TDirItem& item, platform::File* source, uint64_t size,
                                      PassState& pass) {
  const int level = item.CompressionMode;
  const bool deflating = item.header.method == kMethodDeflate;
  const size_t chunk_size =
      static_cast<size_t>(std::min<uint64_t>(ChunkSizeOfLevel(level), std::max<uint64_t>(size, 1)));
  std::vector<uint8_t> in(chunk_size);
  const bool encrypted = !item.Password.empty();
  uint32_t crc = 0;
  ZipCipher cipher(item.Password);
  // A read or write that fails ends the data like a short one: native error 34 below, which the
  // failure dialog offers to retry (a full disk is the common cause).
  DataWriter w{*stream_, encrypted ? &cipher : nullptr};
  if (encrypted) {
    // The header carries the CRC, so the source is read once before its data is written.
    crc = CrcOfSource(*source, size, in);
    DataWriter header_writer{*stream_, nullptr};
    auto header = cipher.MakeHeader(RandomHeaderBytes(), crc);
    if (!header_writer.Write(header.data(), header.size()))
      throw Error(ZipNative::kBadCompressedSize, {std::to_string(size), "0"});
    w.written = header.size();
  }

  z_stream zs{};
  bool zs_open = false;
  if (deflating) {
    // A raw stream gives the bytes zlib's own format carries between its 2-byte header and its
    // 4-byte trailer.
    if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw ECompressionError("error");
    zs_open = true;
  }
  struct End {
    z_stream* zs;
    bool* open;
    ~End() {
      if (*open) deflateEnd(zs);
    }
  } end{&zs, &zs_open};

  size_t out_size = ((chunk_size + chunk_size / 10 + 12) + 255) / 256 * 256;
  std::vector<uint8_t> out(deflating ? out_size : 0);
  uint64_t done = 0;
  const std::string source_name = item.SourceFileName;
  while (done < size) {
    if (!ReportChunkProgress(source_name, item.Operation, done, size)) break;
    size_t want = static_cast<size_t>(std::min<uint64_t>(chunk_size, size - done));
    size_t n = 0;
    try {
      n = ReadFull(*source, in.data(), want);
    } catch (const platform::PlatformError&) {
    }
    if (n < want) break;
    if (!encrypted) crc = UpdateCrc32(crc, in.data(), n);
    const int flush = size - done == n ? Z_FINISH : Z_SYNC_FLUSH;
    if (deflating ? !DeflateChunk(zs, in.data(), n, flush, out, w) : !w.Write(in.data(), n)) break;
    done += n;
  }
  if (zs_open) {
    zs_open = false;
    if (deflateEnd(&zs) < 0 && !cancel_ && done == size && size > 0)
      throw ECompressionError("error");
  }
  if (cancel_) return;
  if (done != size)
    throw Error(ZipNative::kBadCompressedSize, {std::to_string(size), std::to_string(done)});
  item.header.crc32 = crc;
  item.CompressedSize = w.written;
  (void)pass;
}

void TZipBaseArchiver::CompressPieces(TDirItem& item, uint64_t size, SourcePrefetch& prefetch) {
  // The same progress, checks and errors as the one-thread loop: only who compresses differs.
  DataWriter w{*stream_, nullptr};
  uint32_t crc = 0;
  uint64_t done = 0;
  const std::string source_name = item.SourceFileName;
  while (done < size) {
    if (!ReportChunkProgress(source_name, item.Operation, done, size)) break;
    std::shared_ptr<DeflatePiece> piece = prefetch.NextPiece();
    if (!piece) break;  // the source ended early or could not be read
    if (piece->failed) throw ECompressionError("error");
    if (!piece->output.empty() && !w.Write(piece->output.data(), piece->output.size())) break;
    crc = static_cast<uint32_t>(
        crc32_combine(crc, piece->crc, static_cast<z_off_t>(piece->input.size())));
    done += piece->input.size();
  }
  if (cancel_) return;
  if (done != size)
    throw Error(ZipNative::kBadCompressedSize, {std::to_string(size), std::to_string(done)});
  item.header.crc32 = crc;
  item.CompressedSize = w.written;
}

void TZipBaseArchiver::WriteCentralDirectory() {
  TZipDirArray& items = dir_.items;
  const uint64_t start = stream_->Position();
  ByteWriter w;
  for (int i = 0; i < items.Count(); ++i) {
    AppendCentralHeader(items[i], w);
  }
  const uint64_t dir_size = w.data().size();
  const uint64_t count = static_cast<uint64_t>(items.Count());
  const uint64_t end_pos = start + dir_size;
  const bool zip64 = end_pos >= kOverflow32 || count >= 0xFFFF;
  if (zip64) {
    Zip64EndOfCentralDir z;
    z.entries_on_disk = z.total_entries = count;
    z.directory_size = dir_size;
    z.directory_offset = start;
    Zip64Locator l;
    l.record_offset = end_pos;
    size_t at = w.data().size();
    w.data().resize(at + kZip64EndRecordSize + kZip64LocatorSize);
    z.Serialize(w.data().data() + at);
    l.Serialize(w.data().data() + at + kZip64EndRecordSize);
    dir_.zip64_end_record = z;
    dir_.zip64_locator = l;
  }
  EndOfCentralDir e;
  e.entries_on_disk = e.total_entries = count > 0xFFFE ? 0xFFFF : static_cast<uint16_t>(count);
  e.directory_size = dir_size >= kOverflow32 ? kOverflow32 : static_cast<uint32_t>(dir_size);
  e.directory_offset = start >= kOverflow32 ? kOverflow32 : static_cast<uint32_t>(start);
  std::string comment = dir_.archive_comment.substr(0, 0xFFFF);
  e.comment_length = static_cast<uint16_t>(comment.size());
  size_t at = w.data().size();
  w.data().resize(at + kEndRecordSize);
  e.Serialize(w.data().data() + at);
  w.Bytes(comment);
  stream_->Write(w.data().data(), w.data().size());

  dir_.has_end_record = true;
  dir_.end_record = e;
  dir_.end_record_offset = start + w.data().size() - kEndRecordSize - comment.size();
  dir_.is_zip64 = zip64;
  dir_.directory_start = start;
  if (items.Count() == 0) dir_.stub_size = start;
}

void TZipBaseArchiver::AppendCentralHeader(TDirItem& item, ByteWriter& w) {
  std::string name = NameBytes(item);
  // Offsets are written as the file has them, also for entries read from an archive whose
  // offsets did not count a stub in front.
  if (item.LocalHeaderOffset >= kOverflow32)
    item.header.local_header_offset = kOverflow32;
  else if (item.header.local_header_offset != kOverflow32)
    item.header.local_header_offset = static_cast<uint32_t>(item.LocalHeaderOffset);
  CentralDirHeader h = item.header;
  h.signature = kCentralHeaderSignature;  // never checked on reading, always right on writing
  Zip64Values v;
  v.has_uncompressed = h.uncompressed_size == kOverflow32;
  v.uncompressed_size = item.UncompressedSize;
  v.has_compressed = h.compressed_size == kOverflow32;
  v.compressed_size = item.CompressedSize;
  v.has_offset = h.local_header_offset == kOverflow32;
  v.local_header_offset = item.LocalHeaderOffset;
  v.has_disk = h.disk_number_start == kOverflow16;
  v.disk_number = static_cast<uint16_t>(item.DiskNumber);
  std::vector<ExtraBlock> blocks;
  if (v.has_uncompressed || v.has_compressed || v.has_offset || v.has_disk)
    blocks.push_back(MakeCentralZip64Block(v));
  size_t extra_size = blocks.empty() ? 0 : 4 + blocks[0].data.size();
  for (const ExtraBlock& b : item.ExtraBlocks) {
    if (b.id == kZip64ExtraId) continue;
    if (extra_size + 4 + b.data.size() > 0xFFFF) break;
    extra_size += 4 + b.data.size();
    blocks.push_back(b);
  }
  h.name_length = static_cast<uint16_t>(name.size());
  h.extra_length = static_cast<uint16_t>(extra_size);
  h.comment_length = static_cast<uint16_t>(std::min<size_t>(item.Comment.size(), 0xFFFF));
  size_t at = w.data().size();
  w.data().resize(at + kCentralHeaderSize);
  h.Serialize(w.data().data() + at);
  w.Bytes(name);
  AppendExtraBlocks(w, blocks);
  w.Bytes(std::string_view(item.Comment).substr(0, h.comment_length));
  item.header.name_length = h.name_length;
  item.header.extra_length = h.extra_length;
  item.header.comment_length = h.comment_length;
}

}  // namespace tarvo::archive
