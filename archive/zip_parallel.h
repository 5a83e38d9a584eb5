// Deflate on worker threads: a file is cut into pieces that are compressed independently, each
// primed with the 32 KiB before it and ended on a byte boundary, so that the pieces joined in
// order are one ordinary deflate stream.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/zip_dir.h"
#include "platform/services.h"

namespace tarvo::archive {

// The chunk a file is read and compressed in, by compression level.
size_t ChunkSizeOfLevel(int level);
// Reads until n bytes or the end of the file; the count read.
size_t ReadFull(platform::File& file, uint8_t* buffer, size_t n);

// The window of deflate: the most a piece can refer back into the one before it.
inline constexpr size_t kDeflateWindow = 32768;

// Work for the pool: Run is called on a worker thread; the submitter reads the results after Wait.
struct PoolJob {
  virtual ~PoolJob() = default;
  virtual bool Run() = 0;  // false when the work failed
  bool failed = false;
  bool done = false;
};

struct DeflatePiece : PoolJob {
  bool Run() override;
  // Filled by the submitter.
  std::vector<uint8_t> input;
  std::vector<uint8_t> dictionary;  // up to the last 32 KiB of the data before this piece
  int level = 6;
  bool last = false;  // finishes the stream; the others end with a sync flush
  // Filled by the worker.
  std::vector<uint8_t> output;
  uint32_t crc = 0;  // CRC-32 of the input alone
};

// An entry's stored data checked off the caller's thread: it decodes to the size and CRC-32 its
// record gives.
struct EntryCheck : PoolJob {
  bool Run() override;
  std::vector<uint8_t> data;  // as stored (neither encrypted nor deflate64)
  bool deflated = false;
  uint64_t size = 0;
  uint32_t crc = 0;
  bool sound = false;  // filled by the worker
  // A read that failed before the workers got the data: where, and what to raise there.
  std::exception_ptr read_error;
  bool located = false;  // the local header was read
  uint64_t to_read = 0;  // the stored bytes the entry has
  uint64_t failed_at = 0;
};

// Compresses one piece on the calling thread; false on a zlib failure (or no memory).
bool DeflatePieceNow(DeflatePiece& piece);

// Worker threads that run submitted jobs in submission order.
class WorkerPool {
 public:
  explicit WorkerPool(int threads);
  // Stops the workers; jobs not yet started are left undone.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Submit(std::shared_ptr<PoolJob> job);
  // Blocks until the job (submitted to this pool) is done.
  void Wait(const PoolJob& job);

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable piece_done_;
  std::deque<std::shared_ptr<PoolJob>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// Reads the sources of the entries after the one being written and hands their pieces to the
// workers, so that the pieces are ready when the pass reaches them. All file operations stay on
// the caller's thread, and how far it reads ahead depends only on the bytes not yet written
// (never on the workers' pace), so a pass does its file operations in the same order every run.
class SourcePrefetch {
 public:
  // Opens an entry's source and gives its size; throws EZipException as the pass would.
  using Opener = std::function<std::unique_ptr<platform::File>(const TDirItem&, uint64_t&)>;

  struct Entry {
    std::string source_name, file_name;  // whose source this is
    uint64_t size = 0;
    std::exception_ptr open_error;         // raised when the pass reaches the entry
    std::unique_ptr<platform::File> file;  // open while pieces are left to read
    uint64_t read = 0;
    bool read_failed = false;  // a short read: the pieces stop there
    int level = 6;
    size_t chunk = 0;
    std::vector<uint8_t> window;  // the last bytes read, the next piece's dictionary
    std::deque<std::shared_ptr<DeflatePiece>> pieces;  // read, not yet taken
    bool MoreToRead() const { return !read_failed && read < size; }
  };

  // Entries from index `first` on are read ahead.
  SourcePrefetch(TZipDirArray& items, int first, int threads, Opener open);
  ~SourcePrefetch();
  SourcePrefetch(const SourcePrefetch&) = delete;
  SourcePrefetch& operator=(const SourcePrefetch&) = delete;

  // Whether the pass writes this entry from its source through the workers.
  static bool Qualifies(const TDirItem& item);
  // Starts writing the item at `index`: its read-ahead state, or null when it has none (an entry
  // written again after a failure is read as before, on its own).
  Entry* Begin(const TDirItem& item, int index);
  // The next compressed piece of the entry begun, or null when its source ended early.
  std::shared_ptr<DeflatePiece> NextPiece();
  // The entry begun is finished or failed; its source is closed.
  void End();
  // The pass removed the entry at `index` from the directory.
  void Removed(int index);

 private:
  void Fill();
  bool OpenNext();
  void ReadPiece(Entry& entry);
  void CloseSource(Entry& entry);
  void Drop(Entry& entry);

  TZipDirArray& items_;
  int next_ = 0;  // the next directory index to look at
  Opener open_;
  size_t budget_ = 0;       // bytes read and not yet written
  size_t max_entries_ = 0;  // entries read ahead (bounds the count of empty and tiny files)
  size_t in_flight_ = 0;
  std::unique_ptr<Entry> current_;
  std::deque<std::unique_ptr<Entry>> ahead_;
  WorkerPool pool_;  // last: stopped first, before the pieces it works on go
};

// Reads the stored data of the entries after the one being tested and has the workers check it,
// so that the test pass finds most entries already checked. Reads stay on the caller's thread.
class TestPrefetch {
 public:
  // Reads an entry's stored data into `check` (data, located, to_read; failed_at counts the bytes
  // read so far). False on a short read, which the caller's own test then meets; throws a
  // failed read, which is raised when the pass reaches the entry.
  using Reader = std::function<bool(const TDirItem&, EntryCheck& check)>;

  TestPrefetch(const TZipDirArray& items, int threads, Reader read);
  TestPrefetch(const TestPrefetch&) = delete;
  TestPrefetch& operator=(const TestPrefetch&) = delete;

  // The entry's check, done; null when it was not read ahead (the caller tests it as it always
  // does). A check that is not sound is tested again the same way, which reports the fault.
  std::shared_ptr<EntryCheck> Checked(int index);

 private:
  void Fill();
  static bool Qualifies(const TDirItem& item, uint64_t most);

  const TZipDirArray& items_;
  Reader read_;
  int next_ = 0;
  size_t budget_ = 0;
  size_t in_flight_ = 0;
  std::deque<std::pair<int, std::shared_ptr<EntryCheck>>> ahead_;
  WorkerPool pool_;  // last: stopped first
};

}  // namespace tarvo::archive
