// The user data transfer's load on the table engine: master records with three detail rows
// each, copied from one table set into another with a locate per master record; and, for
// comparison, pxlib writing the same rows with neither key order nor indexes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "db/px_table.h"
#include "db/ttable.h"
#include "platform/services.h"

#ifdef TARVO_HAVE_PXLIB
extern "C" {
#include <paradox.h>
}
#endif

namespace {

using namespace tarvo;
namespace fs = std::filesystem;

platform::FileSystem& Fs() {
  static platform::Services s = platform::MakeSystemServices();
  return *s.fs;
}

db::TableSpec Master() {
  db::TableSpec s;
  s.fields = {{"NOBOSN", db::FieldType::kAlpha, 20}, {"OBOSN", db::FieldType::kAlpha, 30},
              {"NAIMR", db::FieldType::kAlpha, 120}, {"EI", db::FieldType::kAlpha, 10},
              {"TRUD", db::FieldType::kNumber, 0},   {"MAT", db::FieldType::kNumber, 0},
              {"YEAR", db::FieldType::kAlpha, 4}};
  s.key_fields = 1;
  s.indexes = {{"base8491_1", {"NOBOSN"}}};
  return s;
}

db::TableSpec Detail(const char* index) {
  db::TableSpec s;
  s.fields = {{"N", db::FieldType::kAutoInc, 0},
              {"NOBOSN", db::FieldType::kAlpha, 20},
              {"KOD", db::FieldType::kAlpha, 20},
              {"KOL", db::FieldType::kNumber, 0}};
  s.key_fields = 1;
  s.indexes = {{index, {"NOBOSN"}}};
  return s;
}

std::string Key(int i) {
  char b[16];
  std::snprintf(b, sizeof b, "U%07d", i);
  return b;
}

struct Set {
  db::TDataSource ds;
  db::TTable m{Fs(), "m"}, d1{Fs(), "d1"}, d2{Fs(), "d2"}, d3{Fs(), "d3"};
  Set(const std::string& folder, const std::string& prefix) {
    ds.SetDataSet(&m);
    m.SetTableName(folder + prefix + "Base8491.db");
    m.SetIndexName("base8491_1");
    const char* names[] = {"Link8491.db", "Link_mex.db", "W_list.db"};
    const char* idx[] = {"link8491_1", "link_mex_1", "w_list_1"};
    db::TTable* d[] = {&d1, &d2, &d3};
    for (int i = 0; i < 3; ++i) {
      d[i]->SetTableName(folder + prefix + names[i]);
      d[i]->SetIndexName(idx[i]);
      d[i]->SetMasterSource(&ds);
      d[i]->SetMasterFields("NOBOSN");
    }
  }
  static void Create(const std::string& folder, const std::string& prefix) {
    db::PxTable::Create(Fs(), folder + prefix + "Base8491.db", Master());
    db::PxTable::Create(Fs(), folder + prefix + "Link8491.db", Detail("link8491_1"));
    db::PxTable::Create(Fs(), folder + prefix + "Link_mex.db", Detail("link_mex_1"));
    db::PxTable::Create(Fs(), folder + prefix + "W_list.db", Detail("w_list_1"));
  }
  void Open() {
    for (db::TTable* t : {&m, &d1, &d2, &d3}) t->Open();
  }
  void Close() {
    for (db::TTable* t : {&m, &d1, &d2, &d3}) t->Close();
  }
  db::TTable* details[3] = {&d1, &d2, &d3};
};

void Fill(const std::string& folder, int n) {
  Set::Create(folder, "S_");
  Set s(folder, "S_");
  s.Open();
  for (int i = 0; i < n; ++i) {
    s.m.Append();
    s.m.FieldByName("NOBOSN").SetAsString(Key(i));
    s.m.FieldByName("OBOSN").SetAsString("Е" + std::to_string(i));
    s.m.FieldByName("NAIMR").SetAsString("Работа номер " + std::to_string(i));
    s.m.FieldByName("TRUD").SetAsVariant(db::Variant::Float(i * 0.5));
    s.m.FieldByName("YEAR").SetAsString("04");
    s.m.Post();
    for (db::TTable* d : s.details) {
      d->Append();
      d->FieldByName("KOD").SetAsString("K" + std::to_string(i));
      d->FieldByName("KOL").SetAsVariant(db::Variant::Float(i));
      d->Post();
    }
  }
  s.Close();
}

void Transfer(Set& src, Set& dst) {
  db::TTable& sm = src.m;
  db::TTable& dm = dst.m;
  const char* fields[] = {"OBOSN", "NAIMR", "EI", "TRUD", "MAT", "NOBOSN", "YEAR"};
  for (sm.First(); !sm.Eof(); sm.Next()) {
    if (dm.Locate("NOBOSN", db::Variant::String(sm.FieldByName("NOBOSN").AsString()))) continue;
    if (dm.Locate("OBOSN", db::Variant::String(sm.FieldByName("OBOSN").AsString()))) continue;
    dm.Append();
    for (const char* f : fields) dm.FieldByName(f).SetAsVariant(sm.FieldByName(f).AsVariant());
    dm.Post();
    for (int k = 0; k < 3; ++k) {
      db::TTable* sd = src.details[k];
      db::TTable* dd = dst.details[k];
      while (!sd->Eof()) {
        dd->Append();
        for (int i = 1; i < sd->FieldCount(); ++i)
          dd->Fields(i).SetAsVariant(sd->Fields(i).AsVariant());
        dd->Post();
        sd->Next();
      }
    }
  }
}

void BM_Transfer(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  fs::path dir = fs::temp_directory_path() / ("tarvo_bench_" + std::to_string(n));
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string folder = (dir / "").string();
  Fill(folder, n);
  for (auto _ : state) {
    state.PauseTiming();
    for (auto p : {"D_Base8491", "D_Link8491", "D_Link_mex", "D_W_list"})
      for (auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(std::string(p) + ".", 0) == 0) fs::remove(e.path());
    Set::Create(folder, "D_");
    Set src(folder, "S_"), dst(folder, "D_");
    state.ResumeTiming();
    src.Open();
    dst.Open();
    Transfer(src, dst);
    src.Close();
    dst.Close();
  }
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(n) * 4, benchmark::Counter::kIsIterationInvariantRate);
  fs::remove_all(dir);
}
BENCHMARK(BM_Transfer)->Arg(100000)->Arg(200000)->Unit(benchmark::kMillisecond)->Iterations(1);

#ifdef TARVO_HAVE_PXLIB
// pxlib writing the same rows: one unkeyed table per kind, records appended as they come.
void BM_PxlibWrite(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  fs::path dir = fs::temp_directory_path() / ("tarvo_bench_px_" + std::to_string(n));
  fs::create_directories(dir);
  PX_boot();
  for (auto _ : state) {
    pxdoc_t* docs[4];
    for (int t = 0; t < 4; ++t) {
      docs[t] = PX_new();
      bool master = t == 0;
      int nf = master ? 7 : 4;
      pxfield_t* f = static_cast<pxfield_t*>(docs[t]->malloc(docs[t], nf * sizeof(pxfield_t), "f"));
      const char* mn[] = {"NOBOSN", "OBOSN", "NAIMR", "EI", "TRUD", "MAT", "YEAR"};
      char mt[] = {pxfAlpha, pxfAlpha, pxfAlpha, pxfAlpha, pxfNumber, pxfNumber, pxfAlpha};
      int ml[] = {20, 30, 120, 10, 8, 8, 4};
      const char* dn[] = {"N", "NOBOSN", "KOD", "KOL"};
      char dt[] = {pxfLong, pxfAlpha, pxfAlpha, pxfNumber};
      int dl[] = {4, 20, 20, 8};
      for (int i = 0; i < nf; ++i) {
        const char* name = master ? mn[i] : dn[i];
        f[i].px_fname = static_cast<char*>(docs[t]->malloc(docs[t], 16, "n"));
        std::strcpy(f[i].px_fname, name);
        f[i].px_ftype = master ? mt[i] : dt[i];
        f[i].px_flen = master ? ml[i] : dl[i];
        f[i].px_fdc = 0;
      }
      std::string path = (dir / ("p" + std::to_string(t) + ".db")).string();
      fs::remove(path);
      PX_create_file(docs[t], f, nf, path.c_str(), pxfFileTypNonIndexDB);
    }
    std::vector<char> buf(256);
    for (int i = 0; i < n; ++i) {
      for (int t = 0; t < 4; ++t) {
        std::fill(buf.begin(), buf.end(), 0);
        std::string k = Key(i);
        if (t == 0) {
          PX_put_data_alpha(docs[0], buf.data(), 20, k.data());
          std::string o = "E" + std::to_string(i);
          PX_put_data_alpha(docs[0], buf.data() + 20, 30, o.data());
          PX_put_data_double(docs[0], buf.data() + 180, 8, i * 0.5);
        } else {
          PX_put_data_long(docs[t], buf.data(), 4, i);
          PX_put_data_alpha(docs[t], buf.data() + 4, 20, k.data());
          PX_put_data_double(docs[t], buf.data() + 44, 8, i);
        }
        PX_put_record(docs[t], buf.data());
      }
    }
    for (auto* d : docs) {
      PX_close(d);
      PX_delete(d);
    }
  }
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(n) * 4, benchmark::Counter::kIsIterationInvariantRate);
  fs::remove_all(dir);
}
BENCHMARK(BM_PxlibWrite)->Arg(100000)->Arg(200000)->Unit(benchmark::kMillisecond)->Iterations(1);
#endif

}  // namespace

BENCHMARK_MAIN();
