// Archive engine throughput and memory, measured against Info-ZIP and 7-Zip on the same data in
// the same run. The corpus (about 200 MB of mixed files) is made once in the temporary folder.
//
//   archive_bench [--benchmark_filter=...]
//
// Each timing benchmark runs our engine and the other programs in every iteration and reports
// the ratios ours/theirs as counters (below 1 means we are faster). The memory benchmarks run the
// engine in a child process and report its peak resident set.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "archive/zip_archiver.h"
#include "platform/auto_dialogs.h"
#include "platform/services.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string& Root() {
  static const std::string root = (fs::temp_directory_path() / "tarvo_archive_bench").string();
  return root;
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary)
      .write(data.data(), static_cast<std::streamsize>(data.size()));
}

// About 200 MB: text-like tables, random bytes, repetitive records and many small files.
const std::string& Corpus() {
  static const std::string dir = [] {
    std::string d = Root() + "/corpus";
    if (fs::exists(d + "/.done")) return d;
    fs::remove_all(d);
    fs::create_directories(d + "/small");
    std::mt19937 rng(42);
    std::string text;
    for (int f = 0; f < 8; ++f) {
      text.clear();
      while (text.size() < (12u << 20))
        text += "row " + std::to_string(rng() % 100000) + ";name " + std::to_string(rng() % 977) +
                ";price " + std::to_string(rng() % 10000) + "." + std::to_string(rng() % 100) +
                "\n";
      WriteFile(d + "/table" + std::to_string(f) + ".txt", text);
    }
    std::string noise(40u << 20, '\0');
    for (auto& c : noise) c = static_cast<char>(rng());
    WriteFile(d + "/noise.bin", noise);
    std::string records;
    while (records.size() < (60u << 20)) records += std::string(200, char('A' + rng() % 26));
    WriteFile(d + "/records.db", records);
    for (int i = 0; i < 2000; ++i) {
      std::string small(rng() % 8000, 'x');
      for (auto& c : small) c = static_cast<char>('a' + rng() % 20);
      WriteFile(d + "/small/f" + std::to_string(i) + ".txt", small);
    }
    WriteFile(d + "/.done", "");
    return d;
  }();
  return dir;
}

// The corpus packed by Info-ZIP at level 6.
const std::string& CorpusZip() {
  static const std::string path = [] {
    std::string p = Root() + "/corpus.zip";
    if (!fs::exists(p)) std::system(("cd '" + Corpus() + "' && zip -qr -6 '" + p + "' .").c_str());
    return p;
  }();
  return path;
}

// The same without the 2,000 small files: what decoding and writing large files costs, apart
// from the per-file cost of the file system layer.
const std::string& LargeFilesZip() {
  static const std::string path = [] {
    std::string p = Root() + "/corpus_large.zip";
    if (!fs::exists(p))
      std::system(("cd '" + Corpus() + "' && zip -qr -6 '" + p + "' . -x 'small/*'").c_str());
    return p;
  }();
  return path;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

double TimeShell(const std::string& command) {
  auto t0 = Clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return Seconds(t0, Clock::now());
}

struct Engine {
  tarvo::platform::Services services = tarvo::platform::MakeSystemServices();
  tarvo::platform::AutoDialogs dialogs;
};

double TimeOurs(bool extract, const std::string& archive, const std::string& out) {
  Engine e;
  tarvo::archive::TZipArchiver zip(*e.services.fs, e.dialogs);
  zip.FileName = archive;
  zip.BaseDir = out;
  auto t0 = Clock::now();
  zip.OpenArchive(tarvo::archive::kOpenReadDenyWrite);
  if (extract)
    zip.ExtractFiles();
  else
    zip.TestFiles();
  zip.CloseArchive();
  return Seconds(t0, Clock::now());
}

void BM_Extract(benchmark::State& state) {
  const std::string zip = state.range(0) ? LargeFilesZip() : CorpusZip(), out = Root() + "/out";
  double ours = 0, unzip = 0, seven = 0;
  for (auto _ : state) {
    fs::remove_all(out);
    double t = TimeOurs(true, zip, out);
    ours += t;
    state.SetIterationTime(t);
    fs::remove_all(out);
    unzip += TimeShell("unzip -qo '" + zip + "' -d '" + out + "'");
    fs::remove_all(out);
    seven += TimeShell("7z x -y -o'" + out + "' '" + zip + "' > /dev/null");
  }
  state.counters["vs_unzip"] = ours / unzip;
  state.counters["vs_7z"] = ours / seven;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 200 * 1000 * 1000);
}
BENCHMARK(BM_Extract)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

void BM_Test(benchmark::State& state) {
  const std::string zip = CorpusZip();
  double ours = 0, unzip = 0, seven = 0;
  for (auto _ : state) {
    double t = TimeOurs(false, zip, "");
    ours += t;
    state.SetIterationTime(t);
    unzip += TimeShell("unzip -tqq '" + zip + "'");
    seven += TimeShell("7z t '" + zip + "' > /dev/null");
  }
  state.counters["vs_unzip"] = ours / unzip;
  state.counters["vs_7z"] = ours / seven;
}
BENCHMARK(BM_Test)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

double BackupOurs(const std::string& archive, const std::string& base, const std::string& mask) {
  Engine e;
  tarvo::archive::TZipArchiver zip(*e.services.fs, e.dialogs);
  zip.FileName = archive;
  zip.BaseDir = base;
  zip.SetCompressionLevel(tarvo::archive::TZipCompressionLevel::clNormal);
  auto t0 = Clock::now();
  zip.OpenArchive(fs::exists(archive) ? tarvo::archive::kOpenReadWrite
                                      : tarvo::archive::kOpenCreate);
  zip.AddFiles(mask);
  zip.TestFiles(mask);
  zip.CloseArchive();
  return Seconds(t0, Clock::now());
}

// A backup as the installer makes it: level 6, AddFiles then TestFiles.
void BM_Backup(benchmark::State& state) {
  const std::string corpus = Corpus();
  const std::string ours_zip = Root() + "/ours.zip", theirs_zip = Root() + "/theirs.zip";
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    fs::remove(ours_zip);
    fs::remove(theirs_zip);
    double t = BackupOurs(ours_zip, fs::path(corpus).parent_path().string(), "corpus\\*.*");
    ours += t;
    state.SetIterationTime(t);
    theirs += TimeShell("cd '" + corpus + "/..' && zip -qr -6 '" + theirs_zip +
                        "' corpus && unzip -tqq '" + theirs_zip + "'");
  }
  state.counters["vs_zip"] = ours / theirs;
  state.counters["size_ours_MB"] = double(fs::file_size(ours_zip)) / 1e6;
  state.counters["size_zip_MB"] = double(fs::file_size(theirs_zip)) / 1e6;
  state.counters["size_ratio"] =
      double(fs::file_size(ours_zip)) / double(fs::file_size(theirs_zip));
}
BENCHMARK(BM_Backup)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// Appending a small folder must not cost a copy of what the archive already holds.
void BM_AppendSecondFolder(benchmark::State& state) {
  const uint64_t first_size = static_cast<uint64_t>(state.range(0)) << 20;
  const std::string dir = Root() + "/append" + std::to_string(state.range(0));
  fs::create_directories(dir + "/first");
  fs::create_directories(dir + "/second");
  {
    std::ofstream f(dir + "/first/big.bin", std::ios::binary | std::ios::trunc);
    std::string block(1 << 20, 'q');
    for (uint64_t i = 0; i < (first_size >> 20); ++i) f.write(block.data(), block.size());
  }
  for (int i = 0; i < 50; ++i)
    WriteFile(dir + "/second/s" + std::to_string(i) + ".txt", std::string(20000, 's'));
  const std::string zip_path = dir + "/a.zip", first_zip = dir + "/first.zip";
  fs::remove(first_zip);
  {
    Engine e;
    tarvo::archive::TZipArchiver zip(*e.services.fs, e.dialogs);
    zip.FileName = first_zip;
    zip.BaseDir = dir;
    zip.SetCompressionMode(0);  // stored: the point is the archive's size, not its packing
    zip.OpenArchive(tarvo::archive::kOpenCreate);
    zip.AddFiles("first\\*.*");
  }
  for (auto _ : state) {
    state.PauseTiming();
    fs::copy_file(first_zip, zip_path, fs::copy_options::overwrite_existing);
    sync();  // the copy's dirty pages are not the pass's to flush
    state.ResumeTiming();
    Engine e;
    tarvo::archive::TZipArchiver zip(*e.services.fs, e.dialogs);
    zip.FileName = zip_path;
    zip.BaseDir = dir;
    zip.SetCompressionLevel(tarvo::archive::TZipCompressionLevel::clNormal);
    zip.OpenArchive(tarvo::archive::kOpenReadWrite);
    zip.AddFiles("second\\*.*");
    zip.CloseArchive();
  }
}
BENCHMARK(BM_AppendSecondFolder)->Arg(10)->Arg(1024)->Unit(benchmark::kMillisecond)->Iterations(3);

// Peak resident memory of a child process that runs `work`.
template <typename F>
double ChildPeakMiB(F work) {
  pid_t pid = fork();
  if (pid == 0) {
    work();
    _exit(0);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

const std::string& HugeFile() {
  static const std::string path = [] {
    std::string p = Root() + "/huge/huge.bin";
    fs::create_directories(Root() + "/huge");
    if (!fs::exists(p) || fs::file_size(p) != (2ull << 30)) {
      // Not sparse: mixed content so that deflate has real work.
      std::ofstream f(p, std::ios::binary | std::ios::trunc);
      std::mt19937 rng(1);
      std::string block(1 << 20, '\0');
      for (int i = 0; i < 2048; ++i) {
        for (size_t j = 0; j < block.size(); j += 64) block[j] = static_cast<char>(rng());
        f.write(block.data(), block.size());
      }
    }
    return p;
  }();
  return path;
}

void BM_PeakMemoryAdd2GiB(benchmark::State& state) {
  const std::string zip_path = Root() + "/huge.zip";
  double peak = 0;
  for (auto _ : state) {
    fs::remove(zip_path);
    HugeFile();
    peak = ChildPeakMiB([&] {
      Engine e;
      tarvo::archive::TZipArchiver zip(*e.services.fs, e.dialogs);
      zip.FileName = zip_path;
      zip.BaseDir = Root() + "/huge";
      zip.SetCompressionLevel(tarvo::archive::TZipCompressionLevel::clNormal);
      zip.OpenArchive(tarvo::archive::kOpenCreate);
      zip.AddFiles("huge.bin");
      zip.CloseArchive();
    });
  }
  state.counters["peak_MiB"] = peak;
}
BENCHMARK(BM_PeakMemoryAdd2GiB)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_PeakMemoryExtract2GiB(benchmark::State& state) {
  const std::string zip_path = Root() + "/huge.zip";
  if (!fs::exists(zip_path))
    std::system(("cd '" + Root() + "/huge' && zip -q -6 '" + zip_path + "' huge.bin").c_str());
  double peak = 0;
  for (auto _ : state) {
    fs::remove_all(Root() + "/huge_out");
    peak = ChildPeakMiB([&] { TimeOurs(true, zip_path, Root() + "/huge_out"); });
  }
  fs::remove_all(Root() + "/huge_out");
  state.counters["peak_MiB"] = peak;
}
BENCHMARK(BM_PeakMemoryExtract2GiB)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
