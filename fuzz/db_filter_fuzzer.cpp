// Arbitrary text as a filter expression over a table of every comparable field type.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "db/db_error.h"
#include "db/filter.h"
#include "db/px_table.h"

namespace {

// A table of a fixed header, parsed from memory, keeps the target free of any file system.
std::unique_ptr<tarvo::db::PxTable> MakeTable();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::unique_ptr<tarvo::db::PxTable> table = MakeTable();
  static std::string rec = table->BlankRecord();
  try {
    auto f = tarvo::db::FilterExpr::Parse(std::string(reinterpret_cast<const char*>(data), size),
                                          *table);
    f.Matches(reinterpret_cast<const uint8_t*>(rec.data()));
  } catch (const tarvo::db::EDBEngineError&) {
  }
  return 0;
}

namespace {

std::unique_ptr<tarvo::db::PxTable> MakeTable() {
  // Fields A20, I, N, D, L, S and a field named "Full Name", code page 1251.
  std::vector<uint8_t> h(0x800, 0);
  const uint8_t types[][2] = {{1, 20}, {4, 4}, {6, 8}, {2, 4}, {9, 1}, {3, 2}, {1, 5}};
  const char* names[] = {"NAME", "QTY", "PRICE", "DT", "OK", "SH", "Full Name"};
  const int n = 7;
  int rs = 20 + 4 + 8 + 4 + 1 + 2 + 5;
  h[0] = static_cast<uint8_t>(rs);
  h[2] = 0x00;
  h[3] = 0x08;
  h[4] = 2;
  h[5] = 2;
  h[0x21] = n;
  h[0x39] = 0x0C;
  h[0x6A] = 0xE3;  // 1251
  h[0x6B] = 0x04;
  size_t at = 0x78;
  for (auto& t : types) {
    h[at++] = t[0];
    h[at++] = t[1];
  }
  at += 4 + 4 * n + 261;
  for (const char* s : names) {
    for (const char* p = s; *p; ++p) h[at++] = static_cast<uint8_t>(*p);
    h[at++] = 0;
  }
  for (int i = 0; i < n; ++i) {
    h[at++] = static_cast<uint8_t>(i + 1);
    h[at++] = 0;
  }
  for (const char* p = "ANCYRR"; *p; ++p) h[at++] = static_cast<uint8_t>(*p);
  return tarvo::db::PxTable::FromBytes(h);
}

}  // namespace
