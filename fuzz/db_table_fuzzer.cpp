// Arbitrary bytes as a Paradox table file: parse, read every field of every record, check.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "db/db_error.h"
#include "db/px_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    auto t = tarvo::db::PxTable::FromBytes(std::vector<uint8_t>(data, data + size));
    for (auto id : t->RecordsInOrder())
      for (size_t f = 0; f < t->fields().size(); ++f) t->GetText(t->rec(id), static_cast<int>(f));
  } catch (const tarvo::db::EDBEngineError&) {
  }
  return 0;
}
