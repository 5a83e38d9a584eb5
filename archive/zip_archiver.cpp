#include "archive/zip_archiver.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <exception>

#include "archive/zip_crypt.h"
#include "archive/zip_names.h"
#include "archive/zip_parallel.h"
#include "archive/zip_reader.h"
#include "platform/best_effort.h"
#include "platform/path.h"
#include "text/codepage.h"

namespace tarvo::archive {

using platform::DialogResult;

std::recursive_mutex& ZipArchiveLock() {
  static std::recursive_mutex lock;
  return lock;
}

namespace {

constexpr size_t kMaxChunk = 1 << 20;
constexpr size_t kInflateOutput = 1 << 20;
// Targets past these fail their entry at once: no archive of ours comes near them, and each
// level of a deeper one would cost a folder and its file-system calls.
constexpr size_t kMaxTargetFolders = 128;
constexpr size_t kMaxTargetPath = 2048;  // bytes of the whole target path, base folder included

std::string Backslashed(std::string s) {
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

struct OpenFlags {
  platform::Access access;
  platform::Share share;
};

// Windows file-mode bits: access in the low two, sharing in bits 4 to 6.
OpenFlags FlagsOfMode(uint16_t mode) {
  if (mode == kOpenCreate) return {platform::Access::kReadWrite, platform::Share::kExclusive};
  OpenFlags s{platform::Access::kRead, platform::Share::kExclusive};
  switch (mode & 3) {
    case 1:
      s.access = platform::Access::kWrite;
      break;
    case 2:
      s.access = platform::Access::kReadWrite;
      break;
    default:
      break;
  }
  switch (mode & 0x70) {
    case 0x20:
      s.share = platform::Share::kDenyWrite;
      break;
    case 0x30:
      s.share = platform::Share::kDenyRead;
      break;
    case 0x40:
      s.share = platform::Share::kDenyNone;
      break;
    default:
      break;
  }
  return s;
}

class NullSink : public DataSink {
 public:
  bool Write(const uint8_t*, size_t) override { return true; }
};

class FileSink : public DataSink {
 public:
  explicit FileSink(platform::File& file) : file_(file) {}
  bool Write(const uint8_t* data, size_t n) override {
    try {
      file_.Write(data, n);
      return true;
    } catch (const platform::PlatformError&) {
      return false;
    }
  }

 private:
  platform::File& file_;
};

// The output buffer the decode of an n-byte deflate chunk is reckoned to need.
double DeflateOutputNeed(size_t n, uint64_t uncompressed, uint64_t compressed) {
  double ratio = compressed == 0 ? 0.0 : std::floor(double(uncompressed) / double(compressed));
  double x = (ratio + 1) * double(n + n / 2 + 267);
  double rounded = std::pow(2.0, std::round(std::log2(x)));
  return rounded < 256 ? 0 : rounded;
}

// Smaller chunks when memory is short (0 means the platform could not tell).
size_t ChunkForMemory(size_t chunk, uint64_t memory, bool deflate, uint64_t uncompressed,
                      uint64_t compressed) {
  while (memory != 0 && chunk >= 512 &&
         (deflate ? DeflateOutputNeed(chunk, uncompressed, compressed) : double(chunk)) >=
             double(memory / 20))
    chunk /= 2;
  return chunk;
}

// Ends the inflate stream when it was started.
struct InflateEnd {
  z_stream* zs;
  bool* on;
  ~InflateEnd() {
    if (*on) inflateEnd(zs);
  }
};

// Inflates one chunk of input into the sink; false when the data is bad or the sink refused it.
// Output past `limit` bytes in all is not followed further.
bool InflateChunk(z_stream& zs, std::vector<uint8_t>& out, size_t out_size, uint64_t limit,
                  DataSink& sink, uint32_t& crc, uint64_t& produced, bool& stream_end) {
  do {
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out_size);
    int r = inflate(&zs, Z_NO_FLUSH);
    size_t have = out_size - zs.avail_out;
    if (have) {
      crc = UpdateCrc32(crc, out.data(), have);
      produced += have;
      if (!sink.Write(out.data(), have)) return false;
    }
    if (r == Z_STREAM_END) {
      stream_end = true;
      return true;
    }
    if (r == Z_BUF_ERROR && have == 0) return true;
    if (r != Z_OK && r != Z_BUF_ERROR) return false;
    // A stream that decodes to more than the entry claims is not followed further.
    if (produced > limit) return true;
  } while (zs.avail_in > 0 || zs.avail_out == 0);
  return true;
}

}  // namespace

TZipBaseArchiver::TZipBaseArchiver(platform::FileSystem& fs, platform::Dialogs& dialogs)
    : fs_(fs), dialogs_(dialogs) {}

TZipBaseArchiver::~TZipBaseArchiver() {
  platform::BestEffort("a destructor must not throw; an owner that needs the result closes first",
                       [&] { CloseArchive(); });
}

EZipException TZipBaseArchiver::Error(ZipNative native_error,
                                      const std::vector<std::string>& args) const {
  return EZipException(native_error, args, Name);
}

void TZipBaseArchiver::SetCompressionLevel(TZipCompressionLevel level) {
  static constexpr int kModes[] = {0, 1, 6, 9};
  compression_level_ = level;
  compression_mode_ = kModes[static_cast<int>(level)];
  SetCompressionMethodFromMode();
}

void TZipBaseArchiver::SetCompressionMode(int mode) {
  if (mode < 0 || mode > 9) throw Error(ZipNative::kBadCompressionMode);
  compression_mode_ = mode;
  compression_level_ = mode == 0   ? TZipCompressionLevel::clNone
                       : mode <= 3 ? TZipCompressionLevel::clFastest
                       : mode <= 6 ? TZipCompressionLevel::clNormal
                                   : TZipCompressionLevel::clMax;
  SetCompressionMethodFromMode();
}

void TZipBaseArchiver::SetCompressionMethodFromMode() {
  compression_method_ = compression_mode_ > 0 ? kMethodDeflate : kMethodStored;
}

void TZipBaseArchiver::SetSpanningMode(TZipSpanningMode mode) {
  if (Active()) throw EZipStateError("Cannot set spanning mode on open archive");
  spanning_mode_ = mode;
}

// ---- Events and their defaults ----

void TZipBaseArchiver::DoOverallProgress(double progress, TZipProcessOperation operation,
                                         TZipProgressPhase phase, bool& cancel) {
  if (OnOverallProgress) OnOverallProgress(*this, progress, operation, phase, cancel);
}

void TZipBaseArchiver::DoFileProgress(const std::string& file_name, double progress,
                                      TZipProcessOperation operation, TZipProgressPhase phase,
                                      bool& cancel) {
  if (OnFileProgress) OnFileProgress(*this, file_name, progress, operation, phase, cancel);
}

void TZipBaseArchiver::DoConfirmOverwrite(const std::string& source_file_name,
                                          std::string& dest_file_name, bool& confirm) {
  if (OnConfirmOverwrite) {
    OnConfirmOverwrite(*this, source_file_name, dest_file_name, confirm);
    return;
  }
  DialogResult r = dialogs_.ShowMessage(
      "Overwrite file \"" + dest_file_name + "\" with \"" + source_file_name + "\"", "Confirm",
      {DialogResult::kYes, DialogResult::kNo, DialogResult::kNoToAll, DialogResult::kYesToAll},
      platform::MessageIcon::kQuestion);
  switch (r) {
    case DialogResult::kYes:
      confirm = true;
      break;
    case DialogResult::kYesToAll:
      confirm = true;
      Options.OverwriteMode = TZipOverwriteMode::omAlways;
      break;
    case DialogResult::kNoToAll:
      confirm = false;
      Options.OverwriteMode = TZipOverwriteMode::omNever;
      break;
    default:
      confirm = false;
      break;
  }
}

void TZipBaseArchiver::DoConfirmProcessFile(const std::string& file_name,
                                            TZipProcessOperation operation, bool& confirm) {
  if (OnConfirmProcessFile) OnConfirmProcessFile(*this, file_name, operation, confirm);
}

void TZipBaseArchiver::DoPassword(const std::string& file_name, std::string& new_password,
                                  bool& skip_file) {
  if (OnPassword) {
    OnPassword(*this, file_name, new_password, skip_file);
    return;
  }
  std::string value = new_password;
  if (dialogs_.InputQuery("Password for \"" + file_name + "\"", "Enter password: ", value))
    new_password = value;
  else
    skip_file = true;
}

void TZipBaseArchiver::DoProcessFileFailure(const std::string& file_name,
                                            TZipProcessOperation operation, int native_error,
                                            int error_code, const std::string& error_message,
                                            TZipAction& action) {
  if (OnProcessFileFailure) {
    OnProcessFileFailure(*this, file_name, operation, native_error, error_code, error_message,
                         action);
    return;
  }
  if (native_error == 45) {
    action = TZipAction::fxaAbort;
    return;
  }
  DialogResult r;
  if (native_error == 61) {
    r = dialogs_.ShowMessage(error_message, "Confirm",
                             {DialogResult::kAbort, DialogResult::kIgnore},
                             platform::MessageIcon::kQuestion);
  } else {
    r = dialogs_.ShowMessage(error_message + ". File processing error, possibly disk is full",
                             "Confirm",
                             {DialogResult::kAbort, DialogResult::kRetry, DialogResult::kIgnore},
                             platform::MessageIcon::kQuestion);
  }
  action = r == DialogResult::kRetry    ? TZipAction::fxaRetry
           : r == DialogResult::kIgnore ? TZipAction::fxaIgnore
                                        : TZipAction::fxaAbort;
}

void TZipBaseArchiver::ReportEntryFailure(const std::string& entry_name,
                                          TZipProcessOperation operation, const EZipException& e,
                                          TZipAction& action) {
  if (entry_failure_note_) entry_failure_note_(entry_name, e.what(), e.Reason());
  DoProcessFileFailure(entry_name, operation, e.NativeError(), e.ErrorCode(), e.what(), action);
}

void TZipBaseArchiver::DoExtractFile(std::string& file_name, uint32_t& file_attr,
                                     const std::string& comment) {
  if (OnExtractFile) OnExtractFile(*this, file_name, file_attr, comment);
}

void TZipBaseArchiver::DoStoreFile(std::string& file_name, uint32_t& file_attr,
                                   std::string& comment, const std::string& original_file_name) {
  if (OnStoreFile) OnStoreFile(*this, file_name, file_attr, comment, original_file_name);
}

// ---- Open and close ----

void TZipBaseArchiver::RequireOpen() const {
  if (!Active()) throw Error(ZipNative::kArchiveNotOpen);
}

void TZipBaseArchiver::OpenArchive(uint16_t mode) {
  if (platform::ExtractFileName(FileName).empty()) throw Error(ZipNative::kBlankNameOnOpen);
  bool create = mode == kOpenCreate;
  if (!create && !fs_.FileExists(FileName) && !fs_.IsRemovableDrive(FileName))
    throw Error(ZipNative::kArchiveNotFound, {FileName});
  CloseArchive();
  OpenFlags flags = FlagsOfMode(mode);
  std::unique_ptr<platform::File> file = fs_.Open(
      FileName, flags.access, flags.share,
      create ? platform::Disposition::kCreateAlways : platform::Disposition::kOpenExisting);
  OpenStream(std::move(file), mode, create);
}

void TZipBaseArchiver::OpenArchive(std::unique_ptr<platform::File> stream, uint16_t mode) {
  CloseArchive();
  bool create = mode == kOpenCreate;
  if (create) {
    stream->Seek(0);
    stream->Truncate();
  }
  OpenStream(std::move(stream), mode, create);
}

void TZipBaseArchiver::OpenStream(std::unique_ptr<platform::File> file, uint16_t mode,
                                  bool create) {
  stream_ = std::make_unique<ZipStream>(std::move(file));
  open_mode_ = mode;
  try {
    dir_.Clear();
    if (!create) ReadDirectory();
  } catch (...) {
    platform::BestEffort("the open already failed, and that error is the one reported",
                         [&] { stream_->Close(); });
    stream_.reset();
    dir_.Clear();
    throw;
  }
  if (AfterOpen) AfterOpen(*this);
}

void TZipBaseArchiver::ReadDirectory() {
  DirectoryReadOptions options;
  options.oem_file_names = Options.OEMFileNames;
  options.repair_on_open = RepairOnOpen;
  options.component_name = Name;
  ReadCentralDirectory(*stream_, dir_, options);
}

void TZipBaseArchiver::CloseArchive() {
  if (!stream_) {
    dir_.Clear();
    update_count_ = 0;
    return;
  }
  if (update_count_ > 0) {
    platform::BestEffort("closing ends a pending update as far as it goes; EndUpdate reports",
                         [&] { UpdatePass(); });
  }
  if (Writable()) {
    platform::BestEffort("an archive left empty is still closed; its next open reports", [&] {
      if (stream_->Size() == 0) {
        uint8_t end[kEndRecordSize];
        EndOfCentralDir().Serialize(end);
        stream_->Seek(0);
        stream_->Write(end, sizeof end);
      }
    });
  }
  platform::BestEffort("closing cannot be undone; the archive is let go either way",
                       [&] { stream_->Close(); });
  stream_.reset();
  dir_.Clear();
  update_count_ = 0;
}

// ---- Search ----

void TZipBaseArchiver::FillItem(int index, TZipArchiveItem& item) const {
  const TDirItem& d = dir_.items[index];
  std::string name = Backslashed(d.FileName);
  if (!name.empty() && name.back() == '\\') name.pop_back();
  size_t slash = name.rfind('\\');
  item.FileName = slash == std::string::npos ? name : name.substr(slash + 1);
  item.StoredPath = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
  item.CompressedSize = d.CompressedSize;
  item.UncompressedSize = d.UncompressedSize;
  if (d.UncompressedSize == 0) {
    item.CompressionRate = 100;
  } else {
    item.CompressionRate = (1.0 - double(d.CompressedSize) / double(d.UncompressedSize)) * 100;
    if (item.CompressionRate < 0) item.CompressionRate = 0;
  }
  item.Encrypted = d.IsEncrypted();
  item.LastModFileTime = d.header.time;
  item.LastModFileDate = d.header.date;
  item.CRC = d.header.crc32;
  item.ExternalFileAttributes = d.header.external_attributes;
  item.Comment = d.Comment;
  item.InternalSearchRec.Index = index;
}

bool TZipBaseArchiver::FindFrom(int start, TZipArchiveItem& item) {
  for (int i = std::max(start, 0); i < dir_.items.Count(); ++i) {
    if (EntryMatchesSearch(dir_.items[i], item.InternalSearchRec, Options.Recurse)) {
      FillItem(i, item);
      return true;
    }
  }
  return false;
}

bool TZipBaseArchiver::FindFirst(const std::string& file_mask, TZipArchiveItem& item,
                                 uint32_t search_attr) {
  RequireOpen();
  item = TZipArchiveItem();
  TInternalSearchRec& rec = item.InternalSearchRec;
  rec.Mask = PrepareSearchMask(file_mask, Options.StorePath);
  rec.HasWildcards = rec.Mask.find_first_of("*?") != std::string::npos;
  rec.SearchAttr = search_attr;
  rec.Index = -1;
  return FindFrom(0, item);
}

bool TZipBaseArchiver::FindNext(TZipArchiveItem& item) {
  RequireOpen();
  return FindFrom(item.InternalSearchRec.Index + 1, item);
}

// ---- Test and extract ----

void TZipBaseArchiver::TestFiles(const std::string& file_mask, uint32_t search_attr) {
  ProcessFiles(file_mask, search_attr, TZipProcessOperation::poTest);
}

void TZipBaseArchiver::ExtractFiles(const std::string& file_mask, uint32_t search_attr) {
  ProcessFiles(file_mask, search_attr, TZipProcessOperation::poExtract);
}

void TZipBaseArchiver::ProcessFiles(const std::string& file_mask, uint32_t search_attr,
                                    TZipProcessOperation operation) {
  RequireOpen();
  if (update_count_ > 0) throw Error(ZipNative::kUpdateNotEnded);
  for (int i = 0; i < dir_.items.Count(); ++i) dir_.items[i].Selected = false;
  TZipArchiveItem found;
  for (bool more = FindFirst(file_mask, found, search_attr); more; more = FindNext(found))
    dir_.items[found.InternalSearchRec.Index].Selected = true;

  std::lock_guard<std::recursive_mutex> lock(ZipArchiveLock());
  cancel_ = false;
  last_operation_aborted_ = false;
  finished_ = 0;
  to_process_ = 0;
  for (int i = 0; i < dir_.items.Count(); ++i) to_process_ += dir_.items[i].Selected;
  progress_enabled_ = true;

  // A test checks the coming entries on worker threads while this thread reports them.
  std::unique_ptr<TestPrefetch> checks;
  if (operation == TZipProcessOperation::poTest && !ExtractCorruptedFiles &&
      ResolvedThreads() > 1) {
    checks = std::make_unique<TestPrefetch>(
        dir_.items, ResolvedThreads(),
        [this](const TDirItem& item, EntryCheck& check) { return ReadStoredData(item, check); });
  }
  test_ahead_ = checks.get();
  struct Detach {
    TestPrefetch*& p;
    ~Detach() { p = nullptr; }
  } detach{test_ahead_};

  bool aborted = false;
  // Extracted files reach the disk folder by folder once the run ends, however it ends.
  struct FlushAtEnd {
    TZipBaseArchiver& zip;
    ~FlushAtEnd() { zip.FlushExtractedFolders(); }
  } flush_at_end{*this};
  DoOverallProgress(0, operation, TZipProgressPhase::ppStart, cancel_);
  // A cancel at the opening event ends the operation there, without a closing event.
  const bool cancelled_at_start = cancel_;
  for (int i = 0; !cancel_ && !aborted && i < dir_.items.Count(); ++i) {
    if (!dir_.items[i].Selected) continue;
    dir_.items[i].Operation = operation;
    const std::string entry_name = Backslashed(dir_.items[i].FileName);
    while (true) {
      bool confirm = true;
      DoConfirmProcessFile(entry_name, operation, confirm);
      if (!confirm) break;
      try {
        DoFileProgress(entry_name, 0, operation, TZipProgressPhase::ppStart, cancel_);
        if (operation == TZipProcessOperation::poTest)
          TestEntry(i, entry_name);
        else
          ExtractEntry(i, entry_name);
      } catch (const EZipException& e) {
        TZipAction action = TZipAction::fxaAbort;
        ReportEntryFailure(entry_name, operation, e, action);
        if (action == TZipAction::fxaRetry) continue;
        if (action == TZipAction::fxaAbort) aborted = true;
        break;
      }
      DoFileProgress(entry_name, 100, operation, TZipProgressPhase::ppEnd, cancel_);
      if (!cancel_) ++finished_;
      break;
    }
  }
  bool stopped = cancel_ || aborted;
  bool ignored = false;
  FlushExtractedFolders();
  if (!cancelled_at_start) DoOverallProgress(100, operation, TZipProgressPhase::ppEnd, ignored);
  if (stopped) {
    update_count_ = 0;
    last_operation_aborted_ = true;
  }
}

void TZipBaseArchiver::FlushExtractedFolders() noexcept {
  std::sort(unflushed_folders_.begin(), unflushed_folders_.end());
  unflushed_folders_.erase(std::unique(unflushed_folders_.begin(), unflushed_folders_.end()),
                           unflushed_folders_.end());
  for (const std::string& folder : unflushed_folders_) {
    platform::BestEffort("a folder not yet on the disk is written by the system soon after",
                         [&] { (void)fs_.FlushFolder(folder); });
  }
  unflushed_folders_.clear();
}

void TZipBaseArchiver::TestEntry(int index, const std::string& entry_name) {
  if (dir_.items[index].header.external_attributes & 0x10) return;
  if (test_ahead_) {
    std::shared_ptr<EntryCheck> check = test_ahead_->Checked(index);
    if (check && (check->read_error || (!check->failed && check->sound))) {
      ReportCheckedEntry(index, entry_name, *check);
      return;
    }
  }
  // Tested data goes nowhere: only its size and CRC-32 count.
  NullSink sink;
  DecodeEntry(index, entry_name, TZipProcessOperation::poTest, sink);
}

void TZipBaseArchiver::ExtractEntry(int index, const std::string& entry_name) {
  const TDirItem& item = dir_.items[index];
  std::string target = entry_name;
  uint32_t attributes = item.header.external_attributes;
  DoExtractFile(target, attributes, item.Comment);
  bool from_handler = target != entry_name;
  std::string path = PrepareTarget(target, from_handler);
  if ((attributes & 0x10) || (!item.FileName.empty() && item.FileName.back() == '/')) return;

  const bool target_exists = fs_.FileExists(path);
  std::optional<uint32_t> existing;
  if (target_exists && !MayOverwrite(item, entry_name, path, from_handler, existing)) return;
  DecodeIntoPlace(index, entry_name, path, target_exists, existing, attributes);
}

std::string TZipBaseArchiver::PrepareTarget(const std::string& target, bool from_handler) {
  std::string base = BaseDir.empty() ? std::string() : platform::IncludeTrailingBackslash(BaseDir);
  std::string relative = Backslashed(target);
  bool use_base = true;
  if (from_handler) {
    // A handler may point anywhere; a drive or a double separator stands on its own.
    use_base =
        relative.find(':') == std::string::npos && relative.find("\\\\") == std::string::npos;
  } else {
    // A name that leaves the base folder, or that Windows would write as another file, is
    // refused here (native error 19); the reason goes with the exception for the log.
    const char* why = nullptr;
    std::optional<std::string> safe = SafeRelativePath(relative, &why);
    if (!safe)
      throw Error(ZipNative::kCannotCreateFile, {NameForMessage(base + relative)}).WithReason(why);
    relative = *safe;
  }
  const std::string prefix = use_base ? base : std::string();
  if (prefix.size() + relative.size() > kMaxTargetPath ||
      static_cast<size_t>(std::count(relative.begin(), relative.end(), '\\')) > kMaxTargetFolders)
    throw Error(ZipNative::kNameTooLong, {NameForMessage(prefix + relative)});

  if (Options.CreateDirs) {
    std::string folder = prefix + platform::ExtractFilePath(relative);
    if (!folder.empty() && !fs_.DirectoryExists(folder) && !fs_.CreateDirectories(folder))
      throw Error(ZipNative::kCannotCreateFolder, {folder});
  } else {
    relative = platform::ExtractFileName(relative);
  }
  return prefix + relative;
}

bool TZipBaseArchiver::MayOverwrite(const TDirItem& item, const std::string& entry_name,
                                    std::string& path, bool from_handler,
                                    std::optional<uint32_t>& existing) {
  // The file found must be the file named: a short alias or a name the file system alters
  // would put this entry's data into another file.
  if (!from_handler) {
    const std::string name = platform::ExtractFileName(path);
    std::vector<platform::DirEntry> found;
    try {
      const std::string folder = platform::ExtractFilePath(path);
      found = fs_.List(folder.empty() ? ".\\" : folder, name);
    } catch (const platform::PlatformError&) {
    }
    if (found.size() != 1 || !text::EqualsIgnoreCase(found[0].name, name))
      throw Error(ZipNative::kCannotCreateFile, {NameForMessage(path)})
          .WithReason("name finds another file (a short alias or an altered name)");
  }
  existing = fs_.GetAttributes(path);
  if (!Options.ReplaceReadOnly && existing && (*existing & platform::kAttrReadOnly)) return false;
  int32_t entry_time = static_cast<int32_t>((uint32_t{item.header.date} << 16) | item.header.time);
  auto file_time = [&] {
    std::optional<platform::DosDateTime> t = fs_.GetLastWriteTime(path);
    return static_cast<int32_t>(t ? t->Packed() : 0);
  };
  switch (Options.OverwriteMode) {
    case TZipOverwriteMode::omNever:
      return false;
    case TZipOverwriteMode::omAlways:
      break;
    case TZipOverwriteMode::omPrompt: {
      bool confirm = true;
      DoConfirmOverwrite(entry_name, path, confirm);
      if (!confirm) return false;
      break;
    }
    case TZipOverwriteMode::omIfNewer:
      if (!(entry_time > file_time())) return false;
      break;
    case TZipOverwriteMode::omIfOlder:
      if (!(entry_time < file_time())) return false;
      break;
  }
  return true;
}

void TZipBaseArchiver::DecodeIntoPlace(int index, const std::string& entry_name,
                                       const std::string& path, bool target_exists,
                                       const std::optional<uint32_t>& existing,
                                       uint32_t attributes) {
  const TDirItem& item = dir_.items[index];
  // Decode beside the target and put the result in place only when it is good, so that a bad
  // entry, a wrong password or a cancel leaves an existing file as it was.
  std::string temp;
  std::unique_ptr<platform::File> file;
  try {
    // The temporary is named the way the target is, so that the file system layer sees one
    // folder, not a relative and a full name for it.
    std::string folder = platform::ExtractFilePath(path);
    if (folder.empty()) folder = platform::ExtractFilePath(fs_.FullPath(path));
    auto created = fs_.CreateTempFile(folder, "FC");
    temp = std::move(created.first);
    file = std::move(created.second);
  } catch (const platform::PlatformError&) {
    if (!temp.empty()) (void)fs_.DeleteFileAt(temp);
    throw Error(ZipNative::kCannotCreateFile, {path});
  }

  bool keep = false;
  std::exception_ptr failure;
  try {
    FileSink sink(*file);
    keep = DecodeEntry(index, entry_name, TZipProcessOperation::poExtract, sink);
  } catch (...) {
    failure = std::current_exception();
  }
  platform::BestEffort("a file without its stored time still holds the right data", [&] {
    file->SetLastWriteTime(platform::DosDateTime{item.header.date, item.header.time});
  });
  if (Options.FlushBuffers && fs_.IsRemovableDrive(path)) {
    platform::BestEffort("the flush only hurries written data onto a removable drive",
                         [&] { file->Flush(); });
  }
  try {
    file->Close();
  } catch (const platform::PlatformError&) {
    if (!failure) failure = std::make_exception_ptr(Error(ZipNative::kCannotCreateFile, {path}));
  }
  file.reset();
  if (failure || !keep) {
    (void)fs_.DeleteFileAt(temp);
    if (failure) std::rethrow_exception(failure);
    return;
  }
  // One replacing rename puts the new file in place: whenever the run stops, the target holds
  // its old content or the new, and a target that cannot be replaced keeps the old.
  // The folder is written through once for all its files when the run ends, not once for each.
  if (target_exists) (void)fs_.SetAttributes(path, platform::kAttrNormal);
  if (!fs_.ReplaceFileUnflushed(temp, path)) {
    if (existing) (void)fs_.SetAttributes(path, *existing);
    (void)fs_.DeleteFileAt(temp);
    throw Error(ZipNative::kCannotCreateFile, {path});
  }
  const std::string target_folder = platform::ExtractFilePath(path);
  if (unflushed_folders_.empty() || unflushed_folders_.back() != target_folder)
    unflushed_folders_.push_back(target_folder);
  if (Options.SetAttributes) (void)fs_.SetAttributes(path, attributes);
}

bool TZipBaseArchiver::DecodeEntry(int index, const std::string& entry_name,
                                   TZipProcessOperation operation, DataSink& sink) {
  skip_file_ = false;
  const TDirItem& item = dir_.items[index];
  uint64_t to_read = 0;
  uint64_t data_start = LocateEntryData(item, to_read);

  const uint16_t method = item.header.method;
  if (method == kMethodDeflate64) throw Error(ZipNative::kDeflate64);
  bool ok = method == kMethodStored || method == kMethodDeflate;

  ZipCipher cipher("");
  const bool encrypted = item.IsEncrypted();
  if (ok && encrypted) {
    uint8_t header[kEncryptionHeaderSize];
    stream_->Seek(data_start);
    if (to_read < kEncryptionHeaderSize || stream_->Read(header, sizeof header) != sizeof header) {
      ok = false;
    } else {
      to_read -= kEncryptionHeaderSize;
      data_start += kEncryptionHeaderSize;
      if (!FindPassword(item, entry_name, header, cipher)) return false;
    }
  }

  uint32_t crc = 0;
  uint64_t produced = 0;
  const uint64_t expected = item.UncompressedSize;
  auto over_size = [&] { return !ExtractCorruptedFiles && produced > expected; };
  z_stream zs{};
  bool inflating = false;
  if (ok && method == kMethodDeflate) {
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
    inflating = true;
  }
  InflateEnd inflate_end{&zs, &inflating};

  const uint64_t memory = fs_.AvailablePhysicalMemory();
  std::vector<uint8_t>& in = in_buffer_;
  std::vector<uint8_t>& out = out_buffer_;
  if (inflating) {
    // Small entries need no more than their own size (plus room to see an overrun).
    size_t want = static_cast<size_t>(std::min<uint64_t>(kInflateOutput, expected + 1024));
    if (out.size() < want) out.resize(want);
  }
  const size_t out_size = inflating ? std::min(out.size(), kInflateOutput) : 0;
  bool stream_end = false;
  uint64_t done = 0;
  if (ok) stream_->Seek(data_start);
  while (ok && done < to_read) {
    if (progress_enabled_ && !ReportDecodeProgress(entry_name, operation, done, to_read)) break;
    size_t chunk =
        ChunkForMemory(static_cast<size_t>(std::min<uint64_t>(kMaxChunk, to_read - done)), memory,
                       method == kMethodDeflate, expected, item.CompressedSize);
    if (in.size() < chunk) in.resize(chunk);
    if (stream_->Read(in.data(), chunk) != chunk) {
      ok = false;
      break;
    }
    if (encrypted) cipher.Decipher(in.data(), chunk);
    if (method == kMethodStored) {
      crc = UpdateCrc32(crc, in.data(), chunk);
      produced += chunk;
      if (!sink.Write(in.data(), chunk)) ok = false;
    } else if (!stream_end) {
      zs.next_in = in.data();
      zs.avail_in = static_cast<uInt>(chunk);
      const uint64_t limit = ExtractCorruptedFiles ? UINT64_MAX : expected;
      if (!InflateChunk(zs, out, out_size, limit, sink, crc, produced, stream_end)) ok = false;
    }
    done += chunk;
    if (over_size()) ok = false;
  }

  if (cancel_) return false;
  bool good = ok && produced == expected && crc == item.header.crc32;
  if (good) return true;
  if (ExtractCorruptedFiles) return true;
  throw Error(ZipNative::kBadSizeOrCrc);
}

uint64_t TZipBaseArchiver::LocateEntryData(const TDirItem& item, uint64_t& to_read) {
  uint8_t raw[kLocalHeaderSize];
  stream_->Seek(item.LocalHeaderOffset);
  stream_->ReadExact(raw, sizeof raw);
  LocalFileHeader local = LocalFileHeader::Parse(raw);
  uint64_t data_start =
      item.LocalHeaderOffset + kLocalHeaderSize + local.name_length + local.extra_length;
  to_read = item.CompressedSize;
  if (data_start >= dir_.directory_start)
    to_read = 0;
  else
    to_read = std::min(to_read, dir_.directory_start - data_start);
  return data_start;
}

bool TZipBaseArchiver::FindPassword(const TDirItem& item, const std::string& entry_name,
                                    const uint8_t* header, ZipCipher& cipher) {
  while (true) {
    cipher.Init(Password);
    if (cipher.CheckHeader(header, item.header.crc32, item.header.time, item.header.flags))
      return true;
    std::string password = Password;
    DoPassword(entry_name, password, skip_file_);
    if (skip_file_) return false;
    Password = password;
  }
}

bool TZipBaseArchiver::ReportDecodeProgress(const std::string& entry_name,
                                            TZipProcessOperation operation, uint64_t done,
                                            uint64_t to_read) {
  double fraction = double(done) / double(to_read);
  DoFileProgress(entry_name, fraction * 100, operation, TZipProgressPhase::ppProcess, cancel_);
  if (cancel_) return false;
  DoOverallProgress((fraction + finished_) / std::max(to_process_, 1) * 100, operation,
                    TZipProgressPhase::ppProcess, cancel_);
  return !cancel_;
}

bool TZipBaseArchiver::ReadStoredData(const TDirItem& item, EntryCheck& check) {
  const uint64_t start = LocateEntryData(item, check.to_read);
  check.located = true;
  check.data.resize(static_cast<size_t>(check.to_read));
  stream_->Seek(start);
  // In steps, so that a failed read is known to within a step of where decoding meets it.
  constexpr size_t kStep = 1 << 16;
  for (size_t at = 0; at < check.data.size(); at += kStep) {
    check.failed_at = at;
    const size_t n = std::min(kStep, check.data.size() - at);
    if (stream_->Read(check.data.data() + at, n) != n) return false;
  }
  return true;
}

void TZipBaseArchiver::ReportCheckedEntry(int index, const std::string& entry_name,
                                          const EntryCheck& check) {
  // The chunks DecodeEntry reads, so that the events are the same with workers or without.
  skip_file_ = false;
  if (check.read_error && !check.located) std::rethrow_exception(check.read_error);
  const TDirItem& item = dir_.items[index];
  const uint64_t memory = fs_.AvailablePhysicalMemory();
  const bool deflated = item.header.method == kMethodDeflate;
  for (uint64_t done = 0; done < check.to_read;) {
    if (progress_enabled_ &&
        !ReportDecodeProgress(entry_name, TZipProcessOperation::poTest, done, check.to_read))
      return;
    done += ChunkForMemory(static_cast<size_t>(std::min<uint64_t>(kMaxChunk, check.to_read - done)),
                           memory, deflated, item.UncompressedSize, item.CompressedSize);
    if (check.read_error && check.failed_at < done) std::rethrow_exception(check.read_error);
  }
  if (check.read_error) std::rethrow_exception(check.read_error);
}

TZipArchiver::TZipArchiver(platform::FileSystem& fs, platform::Dialogs& dialogs)
    : TZipBaseArchiver(fs, dialogs) {
  Zip64Mode = TZip64Mode::zmDisabled;
  SetCompressionMethodFromMode();
}

void TZipArchiver::SetCompressionMethodFromMode() {
  compression_method_ = CompressionMode() > 0 ? kMethodDeflate : kMethodStored;
}

}  // namespace tarvo::archive
