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

uint32_t Crc32(const uint8_t* p, size_t n) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

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
      file_->Write(b.data(), b.size());
      // The header reaches the disk with the first record's flush.
    }
  } catch (const platform::PlatformError& e) {
    if (file_) Discard();
    Fail("Cannot start the table journal " + path_, e);
  }
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
  try {
    file_->Write(b.data(), b.size());
    file_->Flush();
  } catch (const platform::PlatformError& e) {
    // Nothing was overwritten under these records: the journal goes back to what it protected.
    Discard();
    Fail("Cannot write the table journal " + path_, e);
  }
}

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

void FamilyJournal::Commit() {
  try {
    file_->Close();
  } catch (const platform::PlatformError&) {
  }
  file_.reset();
  if (!held_) DeleteOrThrow(fs_, path_);
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
