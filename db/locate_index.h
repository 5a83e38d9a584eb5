// Finds the records whose located field may hold a value: an open-addressed table of a 32-bit
// hash of each record's key and the record's id, eight bytes a slot. Equal hashes are only
// candidates; the caller confirms each against the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarvo::db {

class LocateIndex {
 public:
  using Id = uint32_t;
  static uint32_t Hash(std::string_view key);

  // Room for `n` entries without growing.
  void Reserve(size_t n);
  void Add(uint32_t hash, Id id);
  // False when the entry is not there.
  bool Remove(uint32_t hash, Id id);
  template <typename F>
  void ForEach(uint32_t hash, F f) const {
    if (slots_.empty()) return;
    for (size_t i = Home(hash); slots_[i].id != kEmpty; i = (i + 1) & mask_)
      if (slots_[i].hash == hash) f(slots_[i].id);
  }
  size_t size() const { return count_; }
  size_t MemoryBytes() const { return slots_.capacity() * sizeof(Slot); }

 private:
  static constexpr Id kEmpty = 0xFFFFFFFFu;
  struct Slot {
    uint32_t hash;
    Id id;
  };
  size_t Home(uint32_t hash) const {
    return static_cast<size_t>((uint64_t{hash} * 0x9E3779B97F4A7C15ull) >> shift_) & mask_;
  }
  void Rehash(size_t capacity);

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 63;
  size_t count_ = 0;
};

}  // namespace tarvo::db
