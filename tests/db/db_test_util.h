// Shared helpers of the table engine tests: sample families, temporary folders, file bytes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/services.h"

namespace tarvo::db::testing {

namespace fs = std::filesystem;

inline fs::path SampleDir() {
  const char* src = std::getenv("TARVO_SOURCE_DIR");
  return fs::path(src ? src : ".") / "tests" / "data" / "paradox";
}

inline std::vector<uint8_t> Bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

inline void WriteBytes(const fs::path& p, const std::vector<uint8_t>& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A folder of its own below the system temporary folder, removed at the end.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("tarvo_db_" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  // The folder as the engine takes it, ending with a separator.
  std::string str() const { return (path_ / "").string(); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// Copies every sample file whose name starts with `stem` + "." into the folder, writable.
inline void CopyFamily(const std::string& stem, const TempDir& dir) {
  for (auto& e : fs::directory_iterator(SampleDir())) {
    std::string name = e.path().filename().string();
    if (name.rfind(stem + ".", 0) != 0) continue;
    fs::copy_file(e.path(), dir.path() / name, fs::copy_options::overwrite_existing);
    fs::permissions(dir.path() / name, fs::perms::owner_write, fs::perm_options::add);
  }
}

inline platform::FileSystem& Fs() {
  static platform::Services s = platform::MakeSystemServices();
  return *s.fs;
}

inline uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
inline uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24);
}

}  // namespace tarvo::db::testing
