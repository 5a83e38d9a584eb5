// CRC-32 of ZIP entries and the traditional PKWARE entry encryption. One key state serves one
// entry, header first and then the data, chunk after chunk, in either direction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvo::archive {

// Running CRC-32: start with 0, feed chunks, the result is final after each call.
uint32_t UpdateCrc32(uint32_t crc, const void* data, size_t n);

class ZipCipher {
 public:
  // Fresh keys from the password bytes (no conversion, no terminating zero).
  explicit ZipCipher(std::string_view password) { Init(password); }
  void Init(std::string_view password);

  void Encipher(uint8_t* data, size_t n);
  void Decipher(uint8_t* data, size_t n);

  // Reading: deciphers the 12 stored header bytes (a copy) and tells whether the password fits.
  // The check byte is the CRC's top byte, or the DOS time's high byte when flag bit 3 is set.
  // The keys are left ready for the data either way.
  bool CheckHeader(const uint8_t header[12], uint32_t crc32, uint16_t dos_time, uint16_t flags);

  // Writing: enciphers a header made of ten random bytes and the CRC's two top bytes.
  std::array<uint8_t, 12> MakeHeader(const std::array<uint8_t, 10>& random, uint32_t crc32);

 private:
  uint8_t KeyStreamByte() const;
  void UpdateKeys(uint8_t plain);

  uint32_t keys_[3] = {};
};

// Ten pseudo-random bytes for an encryption header, from a process-wide generator reseeded from
// the clock for every entry.
std::array<uint8_t, 10> RandomHeaderBytes();

}  // namespace tarvo::archive
