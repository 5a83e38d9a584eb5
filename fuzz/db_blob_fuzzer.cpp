// Arbitrary bytes as a blob file: parse its blocks, read, free and place blobs in memory.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "db/db_error.h"
#include "db/px_blob.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    tarvo::db::BlobFile::CheckBytes(std::vector<uint8_t>(data, data + size));
  } catch (const tarvo::db::EDBEngineError&) {
  }
  return 0;
}
