// Memos through the table interface, as the user data transfer writes them: 10,000 memos of
// 100 to 500 bytes appended, then every second record deleted and as many appended again. The
// blob file's size is set against the least it can be (every sub-allocated block filled: 235
// chunks of 16 bytes, at most 64 blobs, plus the header).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>

#include "db/px_table.h"
#include "db/ttable.h"
#include "platform/services.h"

namespace {

using namespace tarvo;
namespace fs = std::filesystem;

platform::FileSystem& Fs() {
  static platform::Services s = platform::MakeSystemServices();
  return *s.fs;
}

void BM_Memos(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const fs::path dir = fs::temp_directory_path() / "tarvo_blob_bench";
  uint64_t size = 0, minimum = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = (dir / "memo.db").string();
    db::TableSpec s;
    s.fields = {{"ID", db::FieldType::kAutoInc, 0}, {"NOTE", db::FieldType::kMemo, 10}};
    s.key_fields = 1;
    db::PxTable::Create(Fs(), path, s);
    std::mt19937 rng(1);
    std::vector<size_t> live;
    auto text = [&] { return std::string(100 + rng() % 401, static_cast<char>('a' + rng() % 26)); };
    state.ResumeTiming();

    db::TTable t(Fs(), "memo");
    t.SetTableName(path);
    t.Open();
    for (int i = 0; i < n; ++i) {
      t.Append();
      std::string m = text();
      live.push_back(m.size());
      t.FieldByName("NOTE").SetAsString(m);
      t.Post();
    }
    t.Close();
    t.Open();
    t.First();
    std::vector<size_t> kept;
    for (int i = 0; !t.Eof(); ++i) {
      if (i % 2 == 0) {
        t.Delete();
      } else {
        kept.push_back(t.FieldByName("NOTE").AsString().size());
        t.Next();
      }
    }
    for (int i = 0; i < n / 2; ++i) {
      t.Append();
      std::string m = text();
      kept.push_back(m.size());
      t.FieldByName("NOTE").SetAsString(m);
      t.Post();
    }
    t.Close();

    state.PauseTiming();
    size = fs::file_size(dir / "memo.MB");
    uint64_t chunks = 0;
    for (size_t k : kept) chunks += (k + 15) / 16;
    minimum = 4096 * (1 + std::max<uint64_t>((chunks + 234) / 235, (kept.size() + 63) / 64));
    state.ResumeTiming();
  }
  fs::remove_all(dir);
  state.counters["mb_bytes"] = static_cast<double>(size);
  state.counters["minimum_bytes"] = static_cast<double>(minimum);
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(minimum);
}

BENCHMARK(BM_Memos)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
