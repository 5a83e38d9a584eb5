#include "db/family_journal.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "db/db_error.h"
#include "db/px_internal.h"
#include "platform/best_effort.h"

namespace tarvo::db {
namespace {

using Kind = EDBEngineError::Kind;

constexpr uint8_t kHeaderMagic[4] = {'T', 'V', 'J', 'L'};
constexpr uint8_t kRecordMagic[4] = {'T', 'V', 'J', 'R'};
constexpr uint8_t kSetMagic[4] = {'T', 'V', 'J', 'S'};
constexpr uint32_t kVersion = 1;
constexpr uint8_t kKindRanges = 0;
constexpr uint8_t kKindWhole = 1;
constexpr uint8_t kKindAbsent = 2;
// A journal holds before-images of one family; the engine refuses table files above 1 GiB.
constexpr uint64_t kMaxJournalBytes = uint64_t{3} << 30;
constexpr size_t kMaxName = 255;

JournalSet* g_active = nullptr;

// Running form: start from 0, feed the bytes in pieces. Eight bytes a step: journals copy whole
// index files, and the checksum is most of the cost of that.
uint32_t Crc32Update(uint32_t crc, const uint8_t* p, size_t n) {
  static const std::array<std::array<uint32_t, 256>, 8> table = [] {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
  }();
  uint32_t c = crc ^ 0xFFFFFFFFu;
  for (; n >= 8; n -= 8, p += 8) {
    const uint32_t lo = c ^ (p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
    c = table[7][lo & 0xFF] ^ table[6][(lo >> 8) & 0xFF] ^ table[5][(lo >> 16) & 0xFF] ^
        table[4][lo >> 24] ^ table[3][p[4]] ^ table[2][p[5]] ^ table[1][p[6]] ^ table[0][p[7]];
  }
  for (; n; --n, ++p) c = table[0][(c ^ *p) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}
uint32_t Crc32(const uint8_t* p, size_t n) { return Crc32Update(0, p, n); }

// Before-images are copied through buffers of this size, not read whole.
constexpr size_t kCopyChunk = 256 * 1024;

void PutN(std::vector<uint8_t>& b, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutBytes(std::vector<uint8_t>& b, const void* p, size_t n) {
  const auto* c = static_cast<const uint8_t*>(p);
  b.insert(b.end(), c, c + n);
}

// Bounds-checked reading of journal bytes, which come from the disk and may be torn or foreign.
class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool Get(uint64_t& v, int bytes) {
    if (n_ - at_ < static_cast<size_t>(bytes)) return false;
    v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t{p_[at_ + i]} << (8 * i);
    at_ += bytes;
    return true;
  }
  bool Take(size_t len, const uint8_t*& out) {
    if (n_ - at_ < len) return false;
    out = p_ + at_;
    at_ += len;
    return true;
  }
  size_t at() const { return at_; }
  bool done() const { return at_ == n_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t at_ = 0;
};

std::string FolderOfPath(const std::string& path) {
  const auto p = path.find_last_of("\\/");
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}
std::string NameOfPath(const std::string& path) {
  const auto p = path.find_last_of("\\/");
  return p == std::string::npos ? path : path.substr(p + 1);
}
// Folders compared as the file system resolves them: either separator, any letter case.
std::string FolderKey(std::string folder) {
  for (char& c : folder) {
    if (c == '/') c = '\\';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return folder;
}
bool SafeName(const std::string& name) {
  if (name.empty() || name.size() > kMaxName || name == "." || name == "..") return false;
  return name.find_first_of("\\/:") == std::string::npos && name.find('\0') == std::string::npos;
}

[[noreturn]] void Fail(const std::string& what, const platform::PlatformError& e) {
  throw EDBEngineError(Kind::kIo, what + ": " + e.what());
}

std::vector<uint8_t> ReadWholeFile(platform::FileSystem& fs, const std::string& path) {
  auto f = fs.Open(path, platform::Access::kRead, platform::Share::kDenyWrite,
                   platform::Disposition::kOpenExisting);
  const uint64_t size = f->Size();
  if (size > kMaxJournalBytes) throw EDBEngineError(Kind::kDamaged, "Journal too large: " + path);
  auto b = px::ReadFromStart(*f, static_cast<size_t>(size));
  f->Close();
  return b;
}

void WriteRange(platform::File& f, uint64_t at, const uint8_t* p, size_t n) {
  f.Seek(at);
  f.Write(p, n);
}

// One parsed before-image.
struct Image {
  std::string name;
  uint8_t kind = kKindRanges;
  uint64_t old_size = 0;
  std::vector<std::pair<uint64_t, std::pair<const uint8_t*, size_t>>> ranges;
  const uint8_t* whole = nullptr;
  size_t whole_size = 0;
};

bool ParsePayload(const uint8_t* p, size_t n, Image& image) {
  Reader r(p, n);
  uint64_t name_len = 0, kind = 0;
  const uint8_t* name = nullptr;
  if (!r.Get(name_len, 2) || name_len > kMaxName || !r.Take(static_cast<size_t>(name_len), name) ||
      !r.Get(kind, 1))
    return false;
  image.name.assign(reinterpret_cast<const char*>(name), name_len);
  if (!SafeName(image.name)) return false;
  image.kind = static_cast<uint8_t>(kind);
  if (kind == kKindRanges) {
    uint64_t count = 0;
    if (!r.Get(image.old_size, 8) || !r.Get(count, 4)) return false;
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t offset = 0, len = 0;
      const uint8_t* bytes = nullptr;
      if (!r.Get(offset, 8) || !r.Get(len, 4) || !r.Take(static_cast<size_t>(len), bytes))
        return false;
      if (offset > kMaxJournalBytes || offset + len > image.old_size) return false;
      image.ranges.push_back({offset, {bytes, static_cast<size_t>(len)}});
    }
  } else if (kind == kKindWhole) {
    uint64_t len = 0;
    if (!r.Get(len, 8) || len > kMaxJournalBytes || !r.Take(static_cast<size_t>(len), image.whole))
      return false;
    image.whole_size = static_cast<size_t>(len);
  } else if (kind != kKindAbsent) {
    return false;
  }
  return r.done();
}

struct Parsed {
  bool header_ok = false;
  std::string set_name;       // empty: the journal of a single flush
  std::vector<Image> images;  // in the order written
};

Parsed Parse(const std::vector<uint8_t>& b) {
  Parsed out;
  Reader r(b.data(), b.size());
  const uint8_t* magic = nullptr;
  uint64_t version = 0, set_len = 0, crc = 0;
  const uint8_t* set = nullptr;
  if (!r.Take(4, magic) || std::memcmp(magic, kHeaderMagic, 4) != 0 || !r.Get(version, 4) ||
      version != kVersion || !r.Get(set_len, 2) || set_len > kMaxName || !r.Take(set_len, set))
    return out;
  const size_t header_end = r.at();
  if (!r.Get(crc, 4) || crc != Crc32(b.data(), header_end)) return out;
  out.set_name.assign(reinterpret_cast<const char*>(set), set_len);
  if (!out.set_name.empty() && !SafeName(out.set_name)) return out;
  out.header_ok = true;
  // Records up to the first one that is torn or does not check: it and anything after it
  // protected writes that had not begun.
  while (!r.done()) {
    uint64_t len = 0, rcrc = 0;
    const uint8_t* payload = nullptr;
    if (!r.Take(4, magic) || std::memcmp(magic, kRecordMagic, 4) != 0 || !r.Get(len, 8) ||
        len > kMaxJournalBytes || !r.Take(static_cast<size_t>(len), payload) || !r.Get(rcrc, 4) ||
        rcrc != Crc32(payload, static_cast<size_t>(len)))
      break;
    Image image;
    if (!ParsePayload(payload, static_cast<size_t>(len), image)) break;
    out.images.push_back(std::move(image));
  }
  return out;
}

void Apply(platform::FileSystem& fs, const std::string& folder, const Image& image) {
  const std::string path = folder + image.name;
  if (image.kind == kKindAbsent) {
    if (fs.FileExists(path) && !fs.DeleteFileAt(path))
      throw platform::PlatformError("Cannot delete " + path, platform::kErrorAccessDenied);
    return;
  }
  auto f = fs.Open(path, platform::Access::kReadWrite, platform::Share::kDenyWrite,
                   platform::Disposition::kOpenAlways);
  if (image.kind == kKindWhole) {
    WriteRange(*f, 0, image.whole, image.whole_size);
    f->Truncate();
  } else {
    for (const auto& [offset, bytes] : image.ranges)
      WriteRange(*f, offset, bytes.first, bytes.second);
    if (f->Size() > image.old_size) {
      f->Seek(image.old_size);
      f->Truncate();
    }
  }
  f->Flush();
  f->Close();
}

void DeleteOrThrow(platform::FileSystem& fs, const std::string& path) {
  if (fs.FileExists(path) && !fs.DeleteFileAt(path))
    throw EDBEngineError(Kind::kIo, "Cannot delete the table journal " + path);
}

}  // namespace

std::string FamilyJournalPath(const std::string& table_path) {
  const auto slash = table_path.find_last_of("\\/");
  const auto dot = table_path.find_last_of('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_ext ? table_path.substr(0, dot) : table_path) + kJournalExtension;
}

// ---- sets ----

JournalSet::JournalSet(platform::FileSystem& fs, std::string folder, const std::string& name)
    : fs_(fs), folder_(std::move(folder)), file_name_(name + kJournalSetExtension) {
  if (g_active) throw EDBEngineError(Kind::kState, "A table change set is already open");
  if (!folder_.empty() && folder_.back() != '\\' && folder_.back() != '/') folder_ += '\\';
  const std::string path = folder_ + file_name_;
  try {
    auto f = fs_.Open(path, platform::Access::kWrite, platform::Share::kExclusive,
                      platform::Disposition::kCreateAlways);
    std::vector<uint8_t> b;
    PutBytes(b, kSetMagic, 4);
    PutN(b, kVersion, 4);
    f->Write(b.data(), b.size());
    f->Flush();
    f->Close();
  } catch (const platform::PlatformError& e) {
    Fail("Cannot start the table change set " + path, e);
  }
  g_active = this;
}

JournalSet::~JournalSet() {
  if (g_active == this) g_active = nullptr;
  if (done_) return;
  // Not committed: the stage failed. Its families go back to where the stage found them, so
  // that a retry starts from that state; the set file goes last, once nothing refers to it.
  bool all = true;
  for (const std::string& table : members_) {
    try {
      RecoverFamily(fs_, table);
    } catch (...) {
      all = false;
    }
  }
  if (all) {
    // A set file left behind names no journal any more; the next recovery of the folder deletes it.
    platform::BestEffort("a destructor must not throw",
                         [&] { (void)fs_.DeleteFileAt(folder_ + file_name_); });
  }
}

JournalSet* JournalSet::Active() { return g_active; }

bool JournalSet::Holds(const std::string& table_path) const {
  return !done_ && FolderKey(FolderOfPath(table_path)) == FolderKey(folder_);
}

void JournalSet::AddMember(const std::string& table_path) {
  for (const auto& m : members_)
    if (FolderKey(m) == FolderKey(table_path)) return;
  members_.push_back(table_path);
}

void JournalSet::Commit() {
  const std::string path = folder_ + file_name_;
  if (!fs_.DeleteFileAt(path) && fs_.FileExists(path))
    throw EDBEngineError(Kind::kIo, "Cannot commit the table change set " + path);
  done_ = true;
  if (g_active == this) g_active = nullptr;
  // Committed: what is left are stale journals, which the next open would only delete; they are
  // deleted now so that the folder holds nothing but the tables.
  for (const auto& table : members_) DeleteOrThrow(fs_, FamilyJournalPath(table));
}

// ---- one flush ----

FamilyJournal::FamilyJournal(platform::FileSystem& fs, const std::string& table_path)
    : fs_(fs), table_path_(table_path), path_(FamilyJournalPath(table_path)) {
  JournalSet* set = JournalSet::Active();
  held_ = set && set->Holds(table_path);
  try {
    if (held_ && fs_.FileExists(path_)) {
      // Later flushes of the stage append: rolling back replays every record from the last.
      file_ = fs_.Open(path_, platform::Access::kReadWrite, platform::Share::kExclusive,
                       platform::Disposition::kOpenExisting);
      start_ = file_->Size();
      end_ = start_;
      file_->Seek(start_);
    } else {
      file_ = fs_.Open(path_, platform::Access::kReadWrite, platform::Share::kExclusive,
                       platform::Disposition::kCreateAlways);
      std::vector<uint8_t> b;
      PutBytes(b, kHeaderMagic, 4);
      PutN(b, kVersion, 4);
      const std::string set_name = held_ ? set->file_name() : std::string();
      PutN(b, set_name.size(), 2);
      PutBytes(b, set_name.data(), set_name.size());
      PutN(b, Crc32(b.data(), b.size()), 4);
      start_ = 0;
      end_ = b.size();
      file_->Write(b.data(), b.size());
      // The header reaches the disk with the first record's flush.
    }
  } catch (const platform::PlatformError& e) {
    if (file_) Discard();
    Fail("Cannot start the table journal " + path_, e);
  }
  first_ = end_;
  if (held_) set->AddMember(table_path);
}

FamilyJournal::~FamilyJournal() {
  if (file_) platform::BestEffort("a destructor must not throw", [&] { file_->Close(); });
}

void FamilyJournal::Append(const std::vector<uint8_t>& payload) { AppendAll({&payload}); }

void FamilyJournal::AppendAll(const std::vector<const std::vector<uint8_t>*>& records) {
  std::vector<uint8_t> b;
  size_t total = 0;
  for (const auto* payload : records) total += payload->size() + 16;
  b.reserve(total);
  for (const auto* record : records) {
    const std::vector<uint8_t>& payload = *record;
    PutBytes(b, kRecordMagic, 4);
    PutN(b, payload.size(), 8);
    PutBytes(b, payload.data(), payload.size());
    PutN(b, Crc32(payload.data(), payload.size()), 4);
  }
  const uint64_t append_start = end_;
  try {
    file_->Seek(end_);
    file_->Write(b.data(), b.size());
    file_->Flush();
    end_ += b.size();
  } catch (const platform::PlatformError& e) {
    Abandon(append_start, std::string("Cannot write the table journal ") + path_ + ": " + e.what());
  }
}

void FamilyJournal::Abandon(uint64_t append_start, const std::string& what) {
  // Nothing was overwritten under the failed records. Records before them protect writes that
  // were made: they stay, for the flush's undo (which reads them back) or the next open.
  if (append_start == first_) {
    Discard();
  } else {
    platform::BestEffort("a torn last record is skipped by recovery and dropped by Discard", [&] {
      file_->Seek(append_start);
      file_->Truncate();
      file_->Flush();
    });
    end_ = append_start;
  }
  throw EDBEngineError(Kind::kIo, what);
}

// One record written through a buffer as its payload comes, its checksum kept on the way.
class FamilyJournal::Stream {
 public:
  Stream(FamilyJournal& j, uint64_t payload_size) : j_(j), at_(j.end_) {
    buf_.reserve(kCopyChunk);
    j_.file_->Seek(at_);
    Raw(kRecordMagic, 4);
    uint8_t len[8];
    for (int i = 0; i < 8; ++i) len[i] = static_cast<uint8_t>(payload_size >> (8 * i));
    Raw(len, 8);
  }
  void Put(const void* p, size_t n) {
    crc_ = Crc32Update(crc_, static_cast<const uint8_t*>(p), n);
    Raw(p, n);
  }
  void PutN(uint64_t v, int bytes) {
    uint8_t b[8];
    for (int i = 0; i < bytes; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    Put(b, static_cast<size_t>(bytes));
  }
  // `size` bytes of `from` at `offset`; the file must still hold them.
  void CopyFrom(platform::File& from, uint64_t offset, uint64_t size, const std::string& name) {
    std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(size, kCopyChunk)));
    from.Seek(offset);
    for (uint64_t done = 0; done < size;) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, chunk.size()));
      const size_t got = from.Read(chunk.data(), want);
      if (got == 0) throw EDBEngineError(Kind::kIo, name + " grew shorter while it was journalled");
      Put(chunk.data(), got);
      done += got;
    }
  }
  // Where the next payload byte goes in the journal.
  uint64_t at() const { return at_; }
  // Ends the record; the caller flushes once its records are all out.
  void End() {
    uint8_t c[4];
    for (int i = 0; i < 4; ++i) c[i] = static_cast<uint8_t>(crc_ >> (8 * i));
    Raw(c, 4);
    Drain();
    j_.end_ = at_;
  }

 private:
  void Raw(const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    buf_.insert(buf_.end(), c, c + n);
    at_ += n;
    if (buf_.size() >= kCopyChunk) Drain();
  }
  void Drain() {
    if (!buf_.empty()) j_.file_->Write(buf_.data(), buf_.size());
    buf_.clear();
  }
  FamilyJournal& j_;
  uint64_t at_;
  uint32_t crc_ = 0;
  std::vector<uint8_t> buf_;
};

void FamilyJournal::RecordRanges(const std::string& path, uint64_t old_size, const Ranges& ranges) {
  std::vector<uint8_t> p;
  const std::string name = NameOfPath(path);
  PutN(p, name.size(), 2);
  PutBytes(p, name.data(), name.size());
  PutN(p, kKindRanges, 1);
  PutN(p, old_size, 8);
  PutN(p, ranges.size(), 4);
  for (const auto& [offset, bytes] : ranges) {
    PutN(p, offset, 8);
    PutN(p, bytes.size(), 4);
    PutBytes(p, bytes.data(), bytes.size());
  }
  Append(p);
}

namespace {

std::vector<uint8_t> WholePayload(const std::string& path,
                                  const std::optional<std::vector<uint8_t>>& old) {
  std::vector<uint8_t> p;
  const std::string name = NameOfPath(path);
  PutN(p, name.size(), 2);
  PutBytes(p, name.data(), name.size());
  PutN(p, old ? kKindWhole : kKindAbsent, 1);
  if (old) {
    PutN(p, old->size(), 8);
    PutBytes(p, old->data(), old->size());
  }
  return p;
}

}  // namespace

void FamilyJournal::RecordWhole(const std::string& path,
                                const std::optional<std::vector<uint8_t>>& old) {
  Append(WholePayload(path, old));
}

void FamilyJournal::RecordWholes(const Wholes& files) {
  std::vector<std::vector<uint8_t>> payloads;
  payloads.reserve(files.size());
  std::vector<const std::vector<uint8_t>*> records;
  for (const auto& [path, old] : files) payloads.push_back(WholePayload(path, old));
  for (const auto& payload : payloads) records.push_back(&payload);
  AppendAll(records);
}

std::vector<uint64_t> FamilyJournal::RecordRangesFrom(const std::string& path, uint64_t old_size,
                                                      platform::File& from,
                                                      const std::vector<Span>& spans) {
  const std::string name = NameOfPath(path);
  uint64_t payload = 2 + name.size() + 1 + 8 + 4;
  for (const Span& s : spans) payload += 12 + s.size;
  const uint64_t append_start = end_;
  std::vector<uint64_t> where;
  try {
    Stream st(*this, payload);
    st.PutN(name.size(), 2);
    st.Put(name.data(), name.size());
    st.PutN(kKindRanges, 1);
    st.PutN(old_size, 8);
    st.PutN(spans.size(), 4);
    for (const Span& s : spans) {
      st.PutN(s.offset, 8);
      st.PutN(s.size, 4);
      where.push_back(st.at());
      st.CopyFrom(from, s.offset, s.size, path);
    }
    st.End();
    file_->Flush();
  } catch (const platform::PlatformError& e) {
    Abandon(append_start, "Cannot journal the old bytes of " + path + ": " + e.what());
  } catch (const EDBEngineError& e) {
    Abandon(append_start, e.what());
  }
  return where;
}

std::vector<FamilyJournal::Whole> FamilyJournal::RecordWholesFrom(
    const std::vector<std::string>& paths) {
  const uint64_t append_start = end_;
  std::vector<Whole> out;
  std::string current;
  try {
    for (const std::string& path : paths) {
      current = path;
      const std::string name = NameOfPath(path);
      Whole w{path, fs_.FileExists(path), 0, 0};
      std::unique_ptr<platform::File> f;
      if (w.existed) {
        f = fs_.Open(path, platform::Access::kRead, platform::Share::kDenyNone,
                     platform::Disposition::kOpenExisting);
        w.size = f->Size();
        if (w.size > kMaxJournalBytes)
          throw EDBEngineError(Kind::kDamaged, "File too large to journal: " + path);
      }
      Stream st(*this, 2 + name.size() + 1 + (w.existed ? 8 + w.size : 0));
      st.PutN(name.size(), 2);
      st.Put(name.data(), name.size());
      st.PutN(w.existed ? kKindWhole : kKindAbsent, 1);
      if (f) {
        st.PutN(w.size, 8);
        w.at = st.at();
        st.CopyFrom(*f, 0, w.size, path);
        f->Close();
      }
      st.End();
      out.push_back(std::move(w));
    }
    // Flushed once: a record torn by a kill ends the journal, and none of the files it and the
    // later ones protect has been written yet.
    file_->Flush();
  } catch (const platform::PlatformError& e) {
    Abandon(append_start, "Cannot journal the old bytes of " + current + ": " + e.what());
  } catch (const EDBEngineError& e) {
    Abandon(append_start, e.what());
  }
  return out;
}

void FamilyJournal::CopyBack(uint64_t at, uint64_t size, platform::File& to, uint64_t to_offset) {
  if (!file_) throw EDBEngineError(Kind::kState, "The table journal " + path_ + " is closed");
  std::vector<uint8_t> chunk(static_cast<size_t>(std::min<uint64_t>(size, kCopyChunk)));
  for (uint64_t done = 0; done < size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, chunk.size()));
    file_->Seek(at + done);
    const size_t got = file_->Read(chunk.data(), want);
    if (got == 0) throw EDBEngineError(Kind::kIo, "The table journal " + path_ + " is cut short");
    to.Seek(to_offset + done);
    to.Write(chunk.data(), got);
    done += got;
  }
}

void FamilyJournal::Commit() {
  try {
    file_->Close();
  } catch (const platform::PlatformError&) {
  }
  file_.reset();
  if (held_) return;
  try {
    DeleteOrThrow(fs_, path_);
  } catch (const EDBEngineError&) {
    // The flush's undo reads the old bytes back from the journal that stayed.
    platform::BestEffort("without it the undo fails and the next open rolls back", [&] {
      file_ = fs_.Open(path_, platform::Access::kReadWrite, platform::Share::kExclusive,
                       platform::Disposition::kOpenExisting);
    });
    throw;
  }
}

void FamilyJournal::Discard() {
  if (!file_) {
    // After a commit whose delete failed: the family is put back, so the journal may go.
    if (!held_) (void)fs_.DeleteFileAt(path_);
    return;
  }
  // This flush's records go; a set's earlier records stay, for the stage's own rollback.
  try {
    if (held_ && start_ > 0) {
      file_->Seek(start_);
      file_->Truncate();
      file_->Flush();
      file_->Close();
      file_.reset();
      return;
    }
    file_->Close();
  } catch (const platform::PlatformError&) {
  }
  file_.reset();
  if (!held_ || start_ == 0) (void)fs_.DeleteFileAt(path_);
}

// ---- recovery ----

Recovery RecoverFamily(platform::FileSystem& fs, const std::string& table_path) {
  const std::string path = FamilyJournalPath(table_path);
  if (!fs.FileExists(path)) return Recovery::kNone;
  const std::string folder = FolderOfPath(path);
  try {
    const std::vector<uint8_t> bytes = ReadWholeFile(fs, path);
    const Parsed parsed = Parse(bytes);
    if (parsed.header_ok && !parsed.set_name.empty()) {
      JournalSet* active = JournalSet::Active();
      // This process's own stage, still open: its journals are not left-overs.
      if (active && active->Holds(table_path) &&
          FolderKey(active->file_name()) == FolderKey(parsed.set_name))
        return Recovery::kNone;
    }
    const bool live = parsed.header_ok && !parsed.images.empty() &&
                      (parsed.set_name.empty() || fs.FileExists(folder + parsed.set_name));
    if (!live) {
      DeleteOrThrow(fs, path);
      return Recovery::kDeleted;
    }
    for (auto it = parsed.images.rbegin(); it != parsed.images.rend(); ++it) Apply(fs, folder, *it);
    DeleteOrThrow(fs, path);
    return Recovery::kRolledBack;
  } catch (const platform::PlatformError& e) {
    Fail("The table " + table_path + " was left half-written and cannot be put back", e);
  }
}

int RecoverFolder(platform::FileSystem& fs, const std::string& folder) {
  std::string base = folder;
  if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
  int rolled = 0;
  try {
    for (const auto& e : fs.List(base, std::string("*") + kJournalExtension)) {
      if (e.attributes & platform::kAttrDirectory) continue;
      if (RecoverFamily(fs, base + e.name) == Recovery::kRolledBack) ++rolled;
    }
    JournalSet* active = JournalSet::Active();
    for (const auto& e : fs.List(base, std::string("*") + kJournalSetExtension)) {
      if (e.attributes & platform::kAttrDirectory) continue;
      if (active && active->Holds(base + e.name) &&
          FolderKey(active->file_name()) == FolderKey(e.name))
        continue;
      DeleteOrThrow(fs, base + e.name);
    }
  } catch (const platform::PlatformError& e) {
    Fail("Cannot look for table journals in " + base, e);
  }
  return rolled;
}

}  // namespace tarvo::db
