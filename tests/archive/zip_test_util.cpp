#include "tests/archive/zip_test_util.h"

#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "archive/zip_crypt.h"
#include "archive/zip_records.h"

namespace tarvo::archive::testing {

namespace {
void Put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
}  // namespace

std::string Deflate(const std::string& data, int level) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

std::string BuildZip(const std::vector<TestEntry>& entries, const std::string& comment,
                     const std::vector<int>& central_order) {
  std::string out;
  std::vector<std::string> centrals;
  for (const TestEntry& e : entries) {
    std::string central;
    uint32_t crc = UpdateCrc32(0, e.data.data(), e.data.size());
    if (e.corrupt_crc) crc ^= 0x1;
    std::string payload = e.method == 8 ? Deflate(e.data) : e.data;
    uint16_t flags = e.flags;
    if (!e.password.empty()) {
      flags |= 1;
      ZipCipher cipher(e.password);
      std::array<uint8_t, 10> random{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
      auto header = cipher.MakeHeader(random, crc);
      if (e.descriptor) {
        // The check byte of a descriptor entry is the time's high byte.
        cipher.Init(e.password);
        std::array<uint8_t, 12> plain{};
        for (int i = 0; i < 10; ++i) plain[i] = random[i];
        plain[10] = 0;
        plain[11] = static_cast<uint8_t>(e.time >> 8);
        cipher.Encipher(plain.data(), 12);
        header = plain;
      }
      std::string enc(payload);
      cipher.Encipher(reinterpret_cast<uint8_t*>(enc.data()), enc.size());
      payload = std::string(header.begin(), header.end()) + enc;
    }
    if (e.descriptor) flags |= 8;
    uint32_t offset = static_cast<uint32_t>(out.size());
    Put32(out, kLocalHeaderSignature);
    Put16(out, 20);
    Put16(out, flags);
    Put16(out, e.method);
    Put16(out, e.time);
    Put16(out, e.date);
    Put32(out, e.descriptor ? 0 : crc);
    Put32(out, e.descriptor ? 0 : static_cast<uint32_t>(payload.size()));
    Put32(out, e.descriptor ? 0 : static_cast<uint32_t>(e.data.size()));
    Put16(out, static_cast<uint16_t>(e.name.size()));
    Put16(out, 0);
    out += e.name;
    out += payload;
    if (e.descriptor) {
      Put32(out, kDataDescriptorSignature);
      Put32(out, crc);
      Put32(out, static_cast<uint32_t>(payload.size()));
      Put32(out, static_cast<uint32_t>(e.data.size()));
    }
    Put32(central, kCentralHeaderSignature);
    Put16(central, 20);
    Put16(central, 20);
    Put16(central, flags);
    Put16(central, e.method);
    Put16(central, e.time);
    Put16(central, e.date);
    Put32(central, crc);
    Put32(central, static_cast<uint32_t>(payload.size()));
    Put32(central, static_cast<uint32_t>(e.data.size()));
    Put16(central, static_cast<uint16_t>(e.name.size()));
    Put16(central, static_cast<uint16_t>(e.central_extra.size()));
    Put16(central, 0);
    Put16(central, 0);
    Put16(central, 0);
    Put32(central, e.attributes);
    Put32(central, offset);
    central += e.name;
    central += e.central_extra;
    centrals.push_back(central);
  }
  std::string central;
  for (size_t i = 0; i < centrals.size(); ++i)
    central += centrals[central_order.empty() ? i : static_cast<size_t>(central_order[i])];
  uint32_t dir_offset = static_cast<uint32_t>(out.size());
  out += central;
  Put32(out, kEndRecordSignature);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<uint16_t>(entries.size()));
  Put16(out, static_cast<uint16_t>(entries.size()));
  Put32(out, static_cast<uint32_t>(central.size()));
  Put32(out, dir_offset);
  Put16(out, static_cast<uint16_t>(comment.size()));
  out += comment;
  return out;
}

namespace {
uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<uint8_t>(s.at(at + static_cast<size_t>(i)));
  return v;
}
uint16_t Get16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s.at(at)) |
                               (static_cast<uint8_t>(s.at(at + 1)) << 8));
}
void Set32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.at(at + static_cast<size_t>(i)) = static_cast<char>(v >> (8 * i));
}
void Set16(std::string& s, size_t at, uint16_t v) {
  s.at(at) = static_cast<char>(v);
  s.at(at + 1) = static_cast<char>(v >> 8);
}
}  // namespace

std::vector<uint32_t> LocalHeaderOffsets(const std::string& zip) {
  const size_t end = zip.size() - 22;
  std::vector<uint32_t> offsets;
  for (size_t at = Get32(zip, end + 16); at < end;) {
    offsets.push_back(Get32(zip, at + 42));
    at += 46 + Get16(zip, at + 28) + Get16(zip, at + 30) + Get16(zip, at + 32);
  }
  return offsets;
}

std::string OverlapBomb(const TestEntry& entry, int copies, const std::string& stem,
                        const std::string& ext) {
  TestEntry named = entry;
  named.name = stem + "00" + ext;
  const std::string one = BuildZip({named});
  const size_t end = one.size() - 22;
  const size_t dir = Get32(one, end + 16);
  const std::string central = one.substr(dir, end - dir);
  std::string out = one.substr(0, dir);
  for (int i = 0; i < copies; ++i) {
    std::string record = central;
    record[46 + stem.size()] = static_cast<char>('0' + i / 10);
    record[46 + stem.size() + 1] = static_cast<char>('0' + i % 10);
    out += record;
  }
  std::string record_end = one.substr(end);
  Set16(record_end, 8, static_cast<uint16_t>(copies));
  Set16(record_end, 10, static_cast<uint16_t>(copies));
  Set32(record_end, 12, static_cast<uint32_t>(central.size() * static_cast<size_t>(copies)));
  return out + record_end;
}

std::string WithBrokenEndRecord(std::string zip) {
  zip.at(zip.size() - 22) = 'X';
  return zip;
}

namespace {
// Paths in the tests are UTF-8 text; Windows would read a narrow path in its ANSI code page.
std::filesystem::path Utf8Path(const std::string& s) {
  return std::filesystem::path(std::u8string(s.begin(), s.end()));
}
}  // namespace

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(Utf8Path(path), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(Utf8Path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ScratchDir::ScratchDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto p = base / ("tarvo_zip_" + std::to_string(rd()));
    if (std::filesystem::create_directory(p)) {
      path_ = p.string();
      break;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Read-only files left by tests must not stop the clean-up, nor may any error escape.
  std::filesystem::recursive_directory_iterator it(path_, ec), end;
  while (!ec && it != end) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    it.increment(ec);
  }
  std::filesystem::remove_all(path_, ec);
}

bool HaveTool(const std::string& name) {
#ifdef _WIN32
  (void)name;
  return false;
#else
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
#endif
}

int Run(const std::string& command) { return std::system(command.c_str()); }

}  // namespace tarvo::archive::testing
