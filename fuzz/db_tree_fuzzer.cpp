// Arbitrary bytes as an index tree file (".px", ".Y"): walk every level and the chain.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "db/db_error.h"
#include "db/px_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> b(data, data + size);
  try {
    // The key length a tree's record size implies, as its table would give it.
    const int key_len = b.size() >= 2 ? (b[0] | b[1] << 8) - 6 : 0;
    tarvo::db::px::ReadTree(b, "fuzz", key_len);
  } catch (const tarvo::db::EDBEngineError&) {
  }
  return 0;
}
