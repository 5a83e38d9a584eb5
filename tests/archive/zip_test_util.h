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
  std::string password;   // not empty: traditional encryption
  bool descriptor = false;  // sizes after the data, flag bit 3
  std::string central_extra;
  bool corrupt_crc = false;
};

// Builds an archive: local records, central directory, end record with the comment.
std::string BuildZip(const std::vector<TestEntry>& entries, const std::string& comment = "");

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

bool HaveTool(const std::string& name);
int Run(const std::string& command);

}  // namespace tarvo::archive::testing
