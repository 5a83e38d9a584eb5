// Helpers for the archive tests: a small ZIP writer independent of the engine's own writer, and
// a scratch folder on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvo::archive::testing {

struct TestEntry {
  std::string name;  // raw stored bytes
  std::string data;
  uint16_t method = 8;
  uint16_t flags = 0;
  uint16_t time = 0x6000;  // 12:00:00
  uint16_t date = 0x5A21;  // 2025-01-01
  uint32_t attributes = 0x20;
  std::string password;     // not empty: traditional encryption
  bool descriptor = false;  // sizes after the data, flag bit 3
  std::string central_extra;
  bool corrupt_crc = false;
};

// Builds an archive: local records, central directory, end record with the comment.
// `central_order` lists the entries' positions in the central directory (default: as given).
std::string BuildZip(const std::vector<TestEntry>& entries, const std::string& comment = "",
                     const std::vector<int>& central_order = {});

std::string Deflate(const std::string& data, int level = 6);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// A fresh folder under the system temporary folder, removed when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Hostile archives, made from a well-formed one of BuildZip (no comment).
// `copies` central records, "<stem>00<ext>", "<stem>01<ext>", ..., all pointing at the one local
// record of `entry`: a few kilobytes that would extract to copies times its size.
std::string OverlapBomb(const TestEntry& entry, int copies, const std::string& stem,
                        const std::string& ext);
// The local header offsets its central directory lists.
std::vector<uint32_t> LocalHeaderOffsets(const std::string& zip);
// The end record's signature broken, so that only the repair scan can read the archive.
std::string WithBrokenEndRecord(std::string zip);

bool HaveTool(const std::string& name);
int Run(const std::string& command);

}  // namespace tarvo::archive::testing
