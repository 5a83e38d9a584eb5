// The update pass with compression on worker threads: the archive, the events and the file
// operations against those of the one-thread writer.
#include "archive/zip_parallel.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "archive/zip_archiver.h"
#include "platform/auto_dialogs.h"
#include "tests/archive/zip_test_util.h"
#include "tests/install/faulty_fs.h"

namespace tarvo::archive {
namespace {

// An entry of a hand-made archive: its name, its data and its method.
testing::TestEntry MadeEntry(std::string name, std::string data, uint16_t method = 8) {
  testing::TestEntry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.method = method;
  return e;
}

using install::testing::FaultyFileSystem;
using testing::HaveTool;
using testing::ReadFileBytes;
using testing::ScratchDir;
using testing::WriteFileBytes;
namespace fs = std::filesystem;

// Text-like data: deflate finds short and medium matches everywhere.
std::string Words(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"cost ",   "estimate ", "row ", "12.50 ", "total\n",
                                       "labour ", "concrete ", "m3 ",  "; ",     "0.0725 "};
  std::string s;
  uint32_t x = seed;
  while (s.size() < n) s += kWords[((x = x * 1103515245 + 12345) >> 16) % 10];
  s.resize(n);
  return s;
}

std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed;
  for (char& c : s) c = static_cast<char>((x = x * 1664525 + 1013904223) >> 24);
  return s;
}

// A 20 KiB block over and over: every piece boundary falls inside a run of 258-byte matches.
std::string Repeated(size_t n) {
  std::string block = Noise(20 << 10, 99), s;
  while (s.size() < n) s += block;
  s.resize(n);
  return s;
}

std::string InflateRaw(const std::string& deflated, size_t size) {
  std::string out(size, '\0');
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, -MAX_WBITS), Z_OK);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(deflated.data()));
  zs.avail_in = static_cast<uInt>(deflated.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
  EXPECT_EQ(zs.avail_in, 0u);  // nothing after the final block
  out.resize(out.size() - zs.avail_out);
  inflateEnd(&zs);
  return out;
}

TEST(DeflatePieces, JoinIntoOneStreamWhateverTheData) {
  const size_t kPiece = 64 << 10;  // many boundaries in little data
  for (const std::string& data :
       {Repeated(700 << 10), Noise(300 << 10, 5), Words(500 << 10, 3) + Noise(90 << 10, 8),
        Words(kPiece * 3, 4), std::string(1, 'x')}) {
    std::string joined;
    uint32_t crc = 0;
    for (size_t at = 0; at < data.size(); at += kPiece) {
      DeflatePiece p;
      size_t n = std::min(kPiece, data.size() - at);
      p.input.assign(data.begin() + at, data.begin() + at + n);
      size_t from = at > kDeflateWindow ? at - kDeflateWindow : 0;
      p.dictionary.assign(data.begin() + from, data.begin() + at);
      p.last = at + n == data.size();
      ASSERT_TRUE(DeflatePieceNow(p));
      joined.append(p.output.begin(), p.output.end());
      crc = static_cast<uint32_t>(crc32_combine(crc, p.crc, static_cast<z_off_t>(n)));
    }
    EXPECT_EQ(InflateRaw(joined, data.size()), data);
    EXPECT_EQ(
        crc, crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  }
}

class ZipParallelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = scratch_ / "prog";
    fs::create_directories(base_ + "/Base/small");
    WriteFileBytes(base_ + "/Base/big.txt", Words((3 << 20) + 12345, 1));  // four pieces
    WriteFileBytes(base_ + "/Base/repeat.bin", Repeated((5 << 19) + 7));
    WriteFileBytes(base_ + "/Base/noise.bin", Noise((2 << 20) + 100, 2));
    WriteFileBytes(base_ + "/Base/empty.db", "");
    WriteFileBytes(base_ + "/Base/one.txt", Words(1 << 20, 6));  // exactly one piece
    for (int i = 0; i < 40; ++i)
      WriteFileBytes(base_ + "/Base/small/" + std::to_string(i) + ".txt",
                     Words(static_cast<size_t>(i * i * 37), i));
  }

  std::unique_ptr<TZipArchiver> Make(const std::string& path, int threads) {
    auto zip = std::make_unique<TZipArchiver>(faulty_, dialogs_);
    zip->FileName = path;
    zip->BaseDir = base_;
    zip->SetCompressionLevel(TZipCompressionLevel::clNormal);
    zip->CompressionThreads = threads;
    return zip;
  }

  // Every event as a line, with the thread it came on.
  void Record(TZipBaseArchiver& zip, std::string& log) {
    auto line = [&log, this](const std::string& s) {
      log += s;
      if (std::this_thread::get_id() != main_thread_) log += " OFF THE THREAD";
      log += "\n";
    };
    zip.OnFileProgress = [line](TZipBaseArchiver&, const std::string& name, double progress,
                                TZipProcessOperation op, TZipProgressPhase phase, bool&) {
      char b[64];
      std::snprintf(b, sizeof b, " %.6f %d %d", progress, int(op), int(phase));
      line("file " + name + b);
    };
    zip.OnOverallProgress = [line](TZipBaseArchiver&, double progress, TZipProcessOperation op,
                                   TZipProgressPhase phase, bool&) {
      char b[64];
      std::snprintf(b, sizeof b, "overall %.6f %d %d", progress, int(op), int(phase));
      line(b);
    };
    zip.OnProcessFileFailure = [line, this](TZipBaseArchiver&, const std::string& name,
                                            TZipProcessOperation, int native, int,
                                            const std::string&, TZipAction& action) {
      line("failure " + name + " " + std::to_string(native));
      action = answers_.empty() ? TZipAction::fxaIgnore : answers_.front();
      if (!answers_.empty()) answers_.erase(answers_.begin());
    };
  }

  struct Entry {
    std::string name;
    uint32_t crc;
    uint64_t size, compressed;
    uint16_t method;
  };
  std::vector<Entry> Entries(TZipBaseArchiver& zip) {
    std::vector<Entry> out;
    for (int i = 0; i < zip.FileCount(); ++i) {
      const TDirItem& d = zip.Directory().items[i];
      out.push_back(
          {d.FileName, d.header.crc32, d.UncompressedSize, d.CompressedSize, d.header.method});
    }
    return out;
  }

  platform::Services services_ = platform::MakeSystemServices();
  FaultyFileSystem faulty_{*services_.fs};
  platform::AutoDialogs dialogs_;
  ScratchDir scratch_;
  std::string base_;
  std::vector<TZipAction> answers_;
  std::thread::id main_thread_ = std::this_thread::get_id();
};

TEST_F(ZipParallelTest, ArchiveMatchesTheOneThreadWriterAndOtherToolsPassIt) {
  std::vector<Entry> one;
  for (int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    std::string path = scratch_ / ("t" + std::to_string(threads) + ".zip");
    auto zip = Make(path, threads);
    zip->OpenArchive(kOpenCreate);
    zip->AddFiles("Base\\*.*");
    std::vector<Entry> entries = Entries(*zip);
    ASSERT_EQ(entries.size(), 1u + 5 + 40);
    if (threads == 1) one = entries;
    for (size_t i = 0; i < entries.size() && threads > 1; ++i) {
      SCOPED_TRACE(entries[i].name);
      EXPECT_EQ(entries[i].name, one[i].name);
      EXPECT_EQ(entries[i].crc, one[i].crc);
      EXPECT_EQ(entries[i].size, one[i].size);
      EXPECT_EQ(entries[i].method, one[i].method);
      EXPECT_LE(entries[i].compressed, one[i].compressed + one[i].compressed / 100);
      EXPECT_GE(entries[i].compressed + entries[i].compressed / 100, one[i].compressed);
    }
    zip->TestFiles();
    EXPECT_FALSE(zip->LastOperationAborted());
    EXPECT_TRUE(dialogs_.shown().empty());
    zip->BaseDir = scratch_ / ("out" + std::to_string(threads));
    zip->ExtractFiles();
    zip->CloseArchive();
    for (const char* name : {"big.txt", "repeat.bin", "noise.bin", "empty.db", "one.txt"}) {
      EXPECT_TRUE(ReadFileBytes(zip->BaseDir + "/Base/" + name) ==
                  ReadFileBytes(base_ + "/Base/" + name))
          << name;
    }
    if (HaveTool("unzip")) {
      EXPECT_EQ(testing::Run("unzip -tqq '" + path + "'"), 0);
    }
    if (HaveTool("7z")) {
      EXPECT_EQ(testing::Run("7z t '" + path + "' > /dev/null"), 0);
    }
  }
}

// A source that fails to open, one that fails to read part-way (retried) and one that fails
// every read (ignored): the same events in the same order, all on the caller's thread, and the
// same archive as with one thread.
TEST_F(ZipParallelTest, EventsAndFailuresComeAsWithOneThread) {
  std::string logs[2];
  std::vector<Entry> entries[2];
  int k = 0;
  for (int threads : {1, 3}) {
    int big_reads = 0;
    faulty_.fail_if = [&](const std::string& kind, const std::string& path) {
      if (kind == "open")
        return path.size() > 11 && path.substr(path.size() - 11) == "small\\7.txt";
      if (kind != "read") return false;
      if (path.find("noise.bin") != std::string::npos) return true;
      return path.find("big.txt") != std::string::npos && ++big_reads == 3;
    };
    answers_ = {TZipAction::fxaRetry};  // big.txt's read; then Ignore
    std::string path = scratch_ / ("e" + std::to_string(threads) + ".zip");
    auto zip = Make(path, threads);
    zip->OpenArchive(kOpenCreate);
    Record(*zip, logs[k]);
    zip->AddFiles("Base\\*.*");
    EXPECT_FALSE(zip->LastOperationAborted());
    entries[k] = Entries(*zip);
    zip->CloseArchive();
    faulty_.fail_if = nullptr;
    ++k;
  }
  EXPECT_EQ(logs[1], logs[0]);
  EXPECT_EQ(logs[0].find("OFF THE THREAD"), std::string::npos);
  EXPECT_NE(logs[0].find("big.txt 34"), std::string::npos) << logs[0];
  EXPECT_NE(logs[0].find("noise.bin 34"), std::string::npos);
  EXPECT_NE(logs[0].find("small\\7.txt 33"), std::string::npos);
  ASSERT_EQ(entries[1].size(), entries[0].size());
  ASSERT_EQ(entries[0].size(), 1u + 5 + 40 - 2);  // noise.bin and small/7.txt left out
  for (size_t i = 0; i < entries[0].size(); ++i) {
    EXPECT_EQ(entries[1][i].name, entries[0][i].name);
    EXPECT_EQ(entries[1][i].crc, entries[0][i].crc);
  }
}

// How far the pass reads ahead depends on the data alone, never on the workers' pace: a failure
// sweep over the file operations meets the same operation at the same number every run.
TEST_F(ZipParallelTest, FileOperationsComeInTheSameOrderEveryRun) {
  std::vector<std::string> runs[4];  // the last with one thread
  for (auto& ops : runs) {
    faulty_.record = true;
    faulty_.ops.clear();
    std::string path = scratch_ / "same.zip";
    auto zip = Make(path, &ops == &runs[3] ? 1 : 3);
    zip->OpenArchive(kOpenCreate);
    zip->AddFiles("Base\\*.*");
    zip->CloseArchive();
    for (const auto& op : faulty_.ops) ops.push_back(op.kind + " " + op.path);
    fs::remove(path);
  }
  EXPECT_GT(runs[0].size(), 48u);
  EXPECT_EQ(runs[1], runs[0]);
  EXPECT_EQ(runs[2], runs[0]);
  // The sources were read ahead of the archive's writes, which is what keeps the workers busy.
  EXPECT_NE(runs[3], runs[0]);
}

// A cancel at the progress events, also in the middle of a file whose later pieces are being
// compressed: the archive is afterwards byte for byte what it was.
TEST_F(ZipParallelTest, CancelLeavesTheArchiveAsItWas) {
  std::string path = scratch_ / "c.zip";
  auto first = Make(path, 1);
  first->OpenArchive(kOpenCreate);
  first->AddFiles("Base\\small\\*.*");
  first->CloseArchive();
  const std::string before = ReadFileBytes(path);
  // The events of a whole pass, to pick where to cancel: every event of the files of several
  // pieces, every fifth of the others.
  std::vector<int> points;
  {
    fs::copy_file(path, scratch_ / "dry.zip");
    auto dry = Make(scratch_ / "dry.zip", 3);
    dry->OpenArchive(kOpenReadWrite);
    int events = 0;
    dry->OnFileProgress = [&](TZipBaseArchiver&, const std::string& name, double,
                              TZipProcessOperation, TZipProgressPhase phase, bool&) {
      if (++events, phase == TZipProgressPhase::ppEnd) return;
      bool pieces =
          name.find("big.txt") != std::string::npos || name.find("repeat.bin") != std::string::npos;
      if (pieces || events % 5 == 0) points.push_back(events);
    };
    dry->AddFiles("Base\\*.*");
    dry->CloseArchive();
  }
  ASSERT_GT(points.size(), 20u);
  int mid_file = 0;
  for (int cancel_at : points) {
    auto zip = Make(path, 3);
    zip->OpenArchive(kOpenReadWrite);
    int events = 0;
    bool cancelled = false;
    zip->OnFileProgress = [&](TZipBaseArchiver&, const std::string& name, double progress,
                              TZipProcessOperation, TZipProgressPhase phase, bool& cancel) {
      if (++events != cancel_at || phase == TZipProgressPhase::ppEnd) return;
      cancel = cancelled = true;
      if (progress > 0 && progress < 100 && name.find("big.txt") != std::string::npos) ++mid_file;
    };
    zip->AddFiles("Base\\*.*");
    EXPECT_EQ(zip->LastOperationAborted(), cancelled);
    zip->CloseArchive();
    ASSERT_TRUE(ReadFileBytes(path) == before) << "event " << cancel_at;
  }
  EXPECT_EQ(mid_file, 3);  // after its first, second and third piece
}

// The test pass with workers: the same events and failures as on one thread, in order and on
// the caller's thread, for sound entries, a bad CRC, bad deflate data, a stored entry, an entry
// too large to be checked ahead and an entry cut off by the directory.
TEST_F(ZipParallelTest, TestPassReportsAsWithOneThread) {
  using testing::TestEntry;
  std::vector<TestEntry> entries;
  for (int i = 0; i < 30; ++i)
    entries.push_back(
        MadeEntry("f" + std::to_string(i) + ".txt", Words(static_cast<size_t>(i) * 999, i)));
  entries.push_back(MadeEntry("big.txt", Words(3 << 20, 2)));
  entries.push_back(MadeEntry("stored.bin", Noise(1200000, 3), 0));  // two chunks, checked ahead
  entries.push_back(MadeEntry("huge.bin", Noise(2 << 20, 4), 0));  // tested on the caller's thread
  entries[5].corrupt_crc = true;
  entries[9].data = "";
  std::string zip_bytes = testing::BuildZip(entries);
  // Bad deflate data in f7.txt: its first byte after the local header and name.
  const std::vector<uint32_t> offsets = testing::LocalHeaderOffsets(zip_bytes);
  zip_bytes[offsets[7] + 30 + entries[7].name.size()] = '\xFF';
  std::string path = scratch_ / "t.zip";
  WriteFileBytes(path, zip_bytes);

  std::string logs[2];
  std::vector<std::string> reads[2];
  int k = 0;
  for (int threads : {1, 2}) {
    auto zip = Make(path, threads);
    zip->OpenArchive(kOpenReadDenyWrite);
    Record(*zip, logs[k]);
    answers_ = {TZipAction::fxaRetry};  // the first failure retried, then ignored
    faulty_.record = true;
    faulty_.ops.clear();
    zip->TestFiles();
    for (const auto& op : faulty_.ops) reads[k].push_back(op.kind);
    EXPECT_FALSE(zip->LastOperationAborted());
    zip->CloseArchive();
    ++k;
  }
  EXPECT_EQ(logs[1], logs[0]);
  EXPECT_NE(reads[1], reads[0]);  // the workers' entries were read ahead, each in one piece
  EXPECT_EQ(logs[0].find("OFF THE THREAD"), std::string::npos);
  size_t first = logs[0].find("failure f5.txt");
  ASSERT_NE(first, std::string::npos) << logs[0];
  EXPECT_NE(logs[0].find("failure f5.txt", first + 1), std::string::npos);  // the retry
  EXPECT_NE(logs[0].find("failure f7.txt"), std::string::npos);
  EXPECT_EQ(logs[0].find("failure f6.txt"), std::string::npos);
}

// A cancel at any event of a test pass with workers stops it there, as on one thread.
TEST_F(ZipParallelTest, TestPassCancelsWhereOneThreadDoes) {
  std::string path = scratch_ / "c.zip";
  auto zip = Make(path, 1);
  zip->OpenArchive(kOpenCreate);
  zip->AddFiles("Base\\*.*");
  zip->CloseArchive();
  for (int cancel_at = 1;; cancel_at += 3) {
    std::string logs[2];
    bool aborted[2] = {false, false};
    for (int t = 0; t < 2; ++t) {
      auto test = Make(path, t == 0 ? 1 : 3);
      test->OpenArchive(kOpenReadDenyWrite);
      Record(*test, logs[t]);
      int events = 0;
      auto file_progress = test->OnFileProgress;
      test->OnFileProgress = [&, file_progress](TZipBaseArchiver& z, const std::string& name,
                                                double progress, TZipProcessOperation op,
                                                TZipProgressPhase phase, bool& cancel) {
        file_progress(z, name, progress, op, phase, cancel);
        if (++events == cancel_at) cancel = true;
      };
      test->TestFiles();
      aborted[t] = test->LastOperationAborted();
    }
    ASSERT_EQ(logs[1], logs[0]) << "event " << cancel_at;
    EXPECT_EQ(aborted[1], aborted[0]);
    if (!aborted[0]) break;
  }
}

// An archive that can no longer be read part-way through a test pass: the failure leaves the
// pass as with one thread, also when the workers' read ahead was the one that failed.
TEST_F(ZipParallelTest, TestPassRaisesAFailedRead) {
  std::vector<testing::TestEntry> entries;
  // More than the workers read ahead: some reads come after the failure begins.
  for (int i = 0; i < 20; ++i)
    entries.push_back(MadeEntry("f" + std::to_string(i) + ".txt", Noise(700000, i), 0));
  std::string path = scratch_ / "r.zip";
  WriteFileBytes(path, testing::BuildZip(entries));
  for (int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    // One read fails: the next one after f3.txt is begun. The workers have read past it.
    bool armed = false, fired = false;
    faulty_.fail_if = [&](const std::string& kind, const std::string& p) {
      if (!armed || kind != "read" || p != path) return false;
      armed = false;
      return fired = true;
    };
    auto zip = Make(path, threads);
    zip->OpenArchive(kOpenReadDenyWrite);
    zip->OnFileProgress = [&](TZipBaseArchiver&, const std::string& name, double,
                              TZipProcessOperation, TZipProgressPhase,
                              bool&) { armed = armed || (!fired && name == "f3.txt"); };
    EXPECT_THROW(zip->TestFiles(), platform::PlatformError);
    EXPECT_TRUE(fired);
    faulty_.fail_if = nullptr;
  }
}

}  // namespace
}  // namespace tarvo::archive
