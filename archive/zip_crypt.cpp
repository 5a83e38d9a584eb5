#include "archive/zip_crypt.h"

#include <zlib.h>

#include <chrono>
#include <mutex>
#include <random>

namespace tarvo::archive {

uint32_t UpdateCrc32(uint32_t crc, const void* data, size_t n) {
  const auto* p = static_cast<const Bytef*>(data);
  // zlib takes a 32-bit length; feed large runs in pieces.
  while (n > 0) {
    uInt part = n > 0x40000000 ? 0x40000000u : static_cast<uInt>(n);
    crc = static_cast<uint32_t>(crc32(crc, p, part));
    p += part;
    n -= part;
  }
  return crc;
}

namespace {
const z_crc_t* CrcTable() {
  static const z_crc_t* table = get_crc_table();
  return table;
}
}  // namespace

void ZipCipher::Init(std::string_view password) {
  keys_[0] = 0x12345678;
  keys_[1] = 0x23456789;
  keys_[2] = 0x34567890;
  for (char c : password) UpdateKeys(static_cast<uint8_t>(c));
}

void ZipCipher::UpdateKeys(uint8_t plain) {
  const z_crc_t* table = CrcTable();
  keys_[0] = table[(keys_[0] ^ plain) & 0xFF] ^ (keys_[0] >> 8);
  keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
  keys_[2] = table[(keys_[2] ^ (keys_[1] >> 24)) & 0xFF] ^ (keys_[2] >> 8);
}

uint8_t ZipCipher::KeyStreamByte() const {
  uint32_t t = (keys_[2] | 2) & 0xFFFF;
  return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

void ZipCipher::Encipher(uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t plain = data[i];
    data[i] = plain ^ KeyStreamByte();
    UpdateKeys(plain);
  }
}

void ZipCipher::Decipher(uint8_t* data, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t plain = data[i] ^ KeyStreamByte();
    UpdateKeys(plain);
    data[i] = plain;
  }
}

bool ZipCipher::CheckHeader(const uint8_t header[12], uint32_t crc32, uint16_t dos_time,
                            uint16_t flags) {
  uint8_t plain[12];
  for (int i = 0; i < 12; ++i) plain[i] = header[i];
  Decipher(plain, 12);
  uint8_t check =
      (flags & 0x0008) ? static_cast<uint8_t>(dos_time >> 8) : static_cast<uint8_t>(crc32 >> 24);
  return plain[11] == check;
}

std::array<uint8_t, 12> ZipCipher::MakeHeader(const std::array<uint8_t, 10>& random,
                                              uint32_t crc32) {
  std::array<uint8_t, 12> h{};
  for (int i = 0; i < 10; ++i) h[i] = random[i];
  h[10] = static_cast<uint8_t>(crc32 >> 16);
  h[11] = static_cast<uint8_t>(crc32 >> 24);
  Encipher(h.data(), h.size());
  return h;
}

std::array<uint8_t, 10> RandomHeaderBytes() {
  static std::mutex mutex;
  static std::minstd_rand generator;
  std::lock_guard<std::mutex> lock(mutex);
  auto ticks = std::chrono::steady_clock::now().time_since_epoch().count() ^
               std::chrono::system_clock::now().time_since_epoch().count();
  generator.seed(static_cast<std::minstd_rand::result_type>(ticks ^ (ticks >> 32)));
  std::array<uint8_t, 10> out{};
  for (auto& b : out) b = static_cast<uint8_t>(generator());
  return out;
}

}  // namespace tarvo::archive
