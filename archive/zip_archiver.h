// The archive component: one object per archive file while it is worked on. It holds the
// properties and events, opens and closes the archive, keeps its directory, searches, tests and
// extracts entries, and (through the update pass) writes them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/zip_dir.h"
#include "archive/zip_exception.h"
#include "archive/zip_mask.h"
#include "archive/zip_stream.h"
#include "archive/zip_types.h"
#include "platform/services.h"

namespace tarvo::archive {

class TZipBaseArchiver;

// What FindFirst/FindNext fill in.
struct TZipArchiveItem {
  std::string FileName;    // file-name part
  std::string StoredPath;  // folder part, "\" separators, with the trailing one
  uint64_t CompressedSize = 0;
  uint64_t UncompressedSize = 0;
  double CompressionRate = 0;
  bool Encrypted = false;
  uint16_t LastModFileTime = 0;
  uint16_t LastModFileDate = 0;
  uint32_t CRC = 0;
  uint32_t ExternalFileAttributes = 0;
  std::string Comment;
  TInternalSearchRec InternalSearchRec;
};

// The process-wide lock held while entries are tested or extracted and while files are searched
// on disk; the same thread may take it again.
std::recursive_mutex& ZipArchiveLock();

// Receives decoded entry data.
class DataSink {
 public:
  virtual ~DataSink() = default;
  // False when the data could not be written whole.
  virtual bool Write(const uint8_t* data, size_t n) = 0;
};

class ZipCipher;
class SourcePrefetch;
class TestPrefetch;
struct EntryCheck;

class TZipBaseArchiver {
 public:
  using TZipProgressEvent =
      std::function<void(TZipBaseArchiver& sender, double progress, TZipProcessOperation operation,
                         TZipProgressPhase phase, bool& cancel)>;
  using TZipFileProgressEvent =
      std::function<void(TZipBaseArchiver& sender, const std::string& file_name, double progress,
                         TZipProcessOperation operation, TZipProgressPhase phase, bool& cancel)>;
  using TZipConfirmProcessFileEvent =
      std::function<void(TZipBaseArchiver& sender, const std::string& file_name,
                         TZipProcessOperation operation, bool& confirm)>;
  using TZipConfirmOverwriteEvent =
      std::function<void(TZipBaseArchiver& sender, const std::string& source_file_name,
                         std::string& dest_file_name, bool& confirm)>;
  using TZipOnPasswordEvent =
      std::function<void(TZipBaseArchiver& sender, const std::string& file_name,
                         std::string& new_password, bool& skip_file)>;
  using TZipProcessFileFailureEvent = std::function<void(
      TZipBaseArchiver& sender, const std::string& file_name, TZipProcessOperation operation,
      int native_error, int error_code, const std::string& error_message, TZipAction& action)>;
  using TZipOnExtractFileEvent =
      std::function<void(TZipBaseArchiver& sender, std::string& file_name, uint32_t& file_attr,
                         const std::string& comment)>;
  using TZipOnStoreFileEvent =
      std::function<void(TZipBaseArchiver& sender, std::string& file_name, uint32_t& file_attr,
                         std::string& comment, const std::string& original_file_name)>;
  using TNotifyEvent = std::function<void(TZipBaseArchiver& sender)>;

  // The file system and dialogs must outlive the component.
  TZipBaseArchiver(platform::FileSystem& fs, platform::Dialogs& dialogs);
  virtual ~TZipBaseArchiver();
  TZipBaseArchiver(const TZipBaseArchiver&) = delete;
  TZipBaseArchiver& operator=(const TZipBaseArchiver&) = delete;

  // Published properties.
  std::string Name;
  std::string FileName;
  std::string BaseDir;
  std::string TempDir;
  std::string Password;
  bool ExtractCorruptedFiles = false;
  TZipOptions Options;
  TZip64Mode Zip64Mode = TZip64Mode::zmAuto;
  std::vector<std::string> NoCompressionMasks;
  std::vector<std::string> FileMasks;       // kept, read by no operation
  std::vector<std::string> ExclusionMasks;  // kept, read by no operation
  bool RepairOnOpen = true;
  // Threads that compress while an update pass writes (at most 8): 0 one per processor, 1 all on
  // the caller's thread. Events are raised on the caller's thread either way.
  int CompressionThreads = 0;

  TZipCompressionLevel CompressionLevel() const { return compression_level_; }
  void SetCompressionLevel(TZipCompressionLevel level);
  int CompressionMode() const { return compression_mode_; }
  void SetCompressionMode(int mode);
  uint16_t CompressionMethod() const { return compression_method_; }
  TZipSpanningMode SpanningMode() const { return spanning_mode_; }
  void SetSpanningMode(TZipSpanningMode mode);

  // Events.
  TZipProgressEvent OnOverallProgress;
  TZipFileProgressEvent OnFileProgress;
  TZipConfirmProcessFileEvent OnConfirmProcessFile;
  TZipConfirmOverwriteEvent OnConfirmOverwrite;
  TZipOnPasswordEvent OnPassword;
  TZipProcessFileFailureEvent OnProcessFileFailure;
  TZipOnExtractFileEvent OnExtractFile;
  TZipOnStoreFileEvent OnStoreFile;
  TNotifyEvent AfterOpen;

  // Operations.
  void OpenArchive(uint16_t mode);
  // Opens an archive held by the caller (for example in memory); `mode` as above.
  void OpenArchive(std::unique_ptr<platform::File> stream, uint16_t mode);
  void CloseArchive();
  bool Active() const { return stream_ != nullptr; }
  void TestFiles(const std::string& file_mask = "*.*", uint32_t search_attr = kFaDefaultSearch);
  void ExtractFiles(const std::string& file_mask = "*.*", uint32_t search_attr = kFaDefaultSearch);
  // Adds files from disk: one update, the disk walk, then the update pass.
  void AddFiles(const std::string& file_mask, uint32_t search_attr = kFaDefaultSearch,
                const std::string& exclusion_mask = "");
  void BeginUpdate();
  void EndUpdate();
  void CancelUpdate();
  bool FindFirst(const std::string& file_mask, TZipArchiveItem& item,
                 uint32_t search_attr = kFaDefaultSearch);
  bool FindNext(TZipArchiveItem& item);

  int FileCount() const { return dir_.items.Count(); }
  const TZipDirManager& Directory() const { return dir_; }
  const std::string& Comment() const { return dir_.archive_comment; }
  // True when the last test, extract or update was stopped by a cancel or by Abort.
  bool LastOperationAborted() const { return last_operation_aborted_; }
  int UpdateCount() const { return update_count_; }

  // Test access to the stream layer (write-failure injection).
  ZipStream* StreamForTesting() { return stream_.get(); }
  // Told of every entry failure before its handler or question, with the engine's reason where
  // it has one (EZipException::Reason), so that a log can say why an entry was refused.
  using EntryFailureNote = std::function<void(
      const std::string& entry_name, const std::string& message, const std::string& reason)>;
  void SetEntryFailureNote(EntryFailureNote note) { entry_failure_note_ = std::move(note); }

  // Called with the saved tail's path whenever a pass creates one (tests check it is removed).
  void SetSavedTailHookForTesting(std::function<void(const std::string&)> hook) {
    saved_tail_hook_ = std::move(hook);
  }

 protected:
  // The component's virtual operations: each calls its event when one is assigned, otherwise
  // applies the default.
  virtual void SetCompressionMethodFromMode();
  virtual void DoOverallProgress(double progress, TZipProcessOperation operation,
                                 TZipProgressPhase phase, bool& cancel);
  virtual void DoFileProgress(const std::string& file_name, double progress,
                              TZipProcessOperation operation, TZipProgressPhase phase,
                              bool& cancel);
  virtual void DoConfirmOverwrite(const std::string& source_file_name, std::string& dest_file_name,
                                  bool& confirm);
  virtual void DoConfirmProcessFile(const std::string& file_name, TZipProcessOperation operation,
                                    bool& confirm);
  virtual void DoPassword(const std::string& file_name, std::string& new_password, bool& skip_file);
  virtual void DoProcessFileFailure(const std::string& file_name, TZipProcessOperation operation,
                                    int native_error, int error_code,
                                    const std::string& error_message, TZipAction& action);
  virtual void DoExtractFile(std::string& file_name, uint32_t& file_attr,
                             const std::string& comment);
  virtual void DoStoreFile(std::string& file_name, uint32_t& file_attr, std::string& comment,
                           const std::string& original_file_name);

  // An EZipException for a native error, with the component's name.
  EZipException Error(ZipNative native_error, const std::vector<std::string>& args = {}) const;

  uint16_t compression_method_ = kMethodDeflate;

 private:
  void OpenStream(std::unique_ptr<platform::File> stream, uint16_t mode, bool create);
  void ReadDirectory();
  void ProcessFiles(const std::string& file_mask, uint32_t search_attr,
                    TZipProcessOperation operation);
  // Notes the failure of one entry and asks its handler (or the default question) what to do.
  void ReportEntryFailure(const std::string& entry_name, TZipProcessOperation operation,
                          const EZipException& e, TZipAction& action);
  void TestEntry(int index, const std::string& entry_name);
  void ExtractEntry(int index, const std::string& entry_name);
  // The target's path; makes its folders when the options say so.
  std::string PrepareTarget(const std::string& target, bool from_handler);
  // Whether an existing target may be replaced; sets its attributes as found. The overwrite
  // question may name another path.
  bool MayOverwrite(const TDirItem& item, const std::string& entry_name, std::string& path,
                    bool from_handler, std::optional<uint32_t>& existing);
  void DecodeIntoPlace(int index, const std::string& entry_name, const std::string& path,
                       bool target_exists, const std::optional<uint32_t>& existing,
                       uint32_t attributes);
  // Decodes entry data into the sink; false when nothing should be kept (skipped by a declined
  // password question, cancelled, or bad with the failure swallowed).
  bool DecodeEntry(int index, const std::string& entry_name, TZipProcessOperation operation,
                   DataSink& sink);
  // Where the entry's data starts, and how much of it may be read.
  uint64_t LocateEntryData(const TDirItem& item, uint64_t& to_read);
  // Asks for passwords until one opens the encryption header; false when the entry is skipped.
  bool FindPassword(const TDirItem& item, const std::string& entry_name, const uint8_t* header,
                    ZipCipher& cipher);
  // Reads an entry's stored data whole, for the workers of the test pass.
  bool ReadStoredData(const TDirItem& item, EntryCheck& check);
  // The progress of testing an entry checked ahead, as decoding it reports: for a sound entry
  // to its end, for one whose read failed up to the chunk that failed, then the failure.
  void ReportCheckedEntry(int index, const std::string& entry_name, const EntryCheck& check);
  // False when the progress handlers cancel.
  bool ReportDecodeProgress(const std::string& entry_name, TZipProcessOperation operation,
                            uint64_t done, uint64_t to_read);
  bool FindFrom(int start, TZipArchiveItem& item);

  // Writing.
  struct PassState;
  bool Writable() const;
  void UpdatePass();
  int FirstRewrittenEntry() const;
  // The offset from which the file is saved and cut; moves K back over entries before it whose
  // record lies past that offset.
  uint64_t CutPoint(int& k) const;
  void ClampEntriesLeftInPlace(int k, PassState& pass);
  void SaveTail(int k, PassState& pass);
  void RewriteEntries(int k, PassState& pass);
  // True when the entry was dropped from the list (skipped by the failure handler).
  bool RewriteEntryWithRetry(int index, PassState& pass);
  void WriteAndCheckDirectory();
  void FinishPass(TZipProcessOperation first_op, PassState& pass);
  int ResolvedThreads() const;
  void WriteEntryFromSource(int index, PassState& pass);
  LocalFileHeader ProvisionalLocalHeader(const TDirItem& item, const std::string& name,
                                         uint64_t size, uint16_t version) const;
  std::unique_ptr<platform::File> OpenSource(const TDirItem& item, uint64_t& size);
  void WriteLocalHeader(const LocalFileHeader& local, const std::string& name, uint64_t size,
                        uint64_t compressed);
  void FillCentralHeader(TDirItem& item, uint64_t offset, bool zip64, uint16_t version);
  void CompressSource(TDirItem& item, platform::File* source, uint64_t size, PassState& pass);
  // The entry's data from the pieces read ahead and compressed by the workers.
  void CompressPieces(TDirItem& item, uint64_t size, SourcePrefetch& prefetch);
  // False when a progress handler cancels.
  bool ReportChunkProgress(const std::string& source_name, TZipProcessOperation operation,
                           uint64_t done, uint64_t size);
  uint32_t CrcOfSource(platform::File& source, uint64_t size, std::vector<uint8_t>& in);
  void CopyEntryFromTail(int index, PassState& pass);
  void WriteCentralDirectory();
  void AppendCentralHeader(TDirItem& item, ByteWriter& w);
  void RollBack(PassState& pass);
  std::string NameBytes(TDirItem& item) const;
  // Adding.
  struct WalkState;
  void WalkDisk(const std::string& mask, const std::string& folder, WalkState& walk);
  void Admit(const std::string& path, bool is_folder, WalkState& walk);
  void RecordEntry(const std::string& path, bool is_folder);
  // Whether the file at `path`, last written at `packed_time`, replaces the entry `old` of the
  // same stored `name`, as the overwrite mode says (asking the handler when it prompts).
  bool Replaces(const TDirItem& old, const std::string& path, const std::string& name,
                uint32_t packed_time);
  std::string StoredNameOf(const std::string& path, bool is_folder) const;
  std::string ResolvedBaseDir() const;
  void FillItem(int index, TZipArchiveItem& item) const;
  void RequireOpen() const;

  platform::FileSystem& fs_;
  platform::Dialogs& dialogs_;
  std::unique_ptr<ZipStream> stream_;
  uint16_t open_mode_ = 0;
  TZipDirManager dir_;

  TZipCompressionLevel compression_level_ = TZipCompressionLevel::clFastest;
  int compression_mode_ = 1;
  TZipSpanningMode spanning_mode_ = TZipSpanningMode::smNone;
  std::function<void(const std::string&)> saved_tail_hook_;
  EntryFailureNote entry_failure_note_;

  int update_count_ = 0;
  bool progress_enabled_ = false;
  bool cancel_ = false;
  bool skip_file_ = false;
  bool last_operation_aborted_ = false;
  int to_process_ = 0;
  int finished_ = 0;
  int entries_done_ = 0;
  int entries_to_do_ = 0;
  // The entries the workers check ahead while a test pass runs.
  TestPrefetch* test_ahead_ = nullptr;
  // Decode buffers, kept from entry to entry.
  std::vector<uint8_t> in_buffer_;
  std::vector<uint8_t> out_buffer_;
  // Folders with extracted files whose renames are not yet written through to the disk.
  std::vector<std::string> unflushed_folders_;
  void FlushExtractedFolders() noexcept;
};

class TZipArchiver : public TZipBaseArchiver {
 public:
  TZipArchiver(platform::FileSystem& fs, platform::Dialogs& dialogs);

 protected:
  void SetCompressionMethodFromMode() override;
};

}  // namespace tarvo::archive
