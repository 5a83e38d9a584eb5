#include "db/locate_index.h"

#include <functional>

namespace tarvo::db {

uint32_t LocateIndex::Hash(std::string_view key) {
  const uint64_t h = std::hash<std::string_view>{}(key);
  return static_cast<uint32_t>(h ^ (h >> 32));
}

void LocateIndex::Rehash(size_t capacity) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(capacity, Slot{0, kEmpty});
  mask_ = capacity - 1;
  shift_ = 64;
  for (size_t c = capacity; c > 1; c /= 2) --shift_;
  count_ = 0;
  for (const Slot& s : old)
    if (s.id != kEmpty) Add(s.hash, s.id);
}

void LocateIndex::Reserve(size_t n) {
  // At most three quarters full: probes stay short.
  size_t capacity = 16;
  while (capacity / 4 * 3 < n) capacity *= 2;
  if (capacity > slots_.size()) Rehash(capacity);
}

void LocateIndex::Add(uint32_t hash, Id id) {
  if (slots_.empty() || (count_ + 1) > slots_.size() / 4 * 3)
    Rehash(slots_.empty() ? 16 : slots_.size() * 2);
  size_t i = Home(hash);
  while (slots_[i].id != kEmpty) i = (i + 1) & mask_;
  slots_[i] = Slot{hash, id};
  ++count_;
}

bool LocateIndex::Remove(uint32_t hash, Id id) {
  if (slots_.empty()) return false;
  size_t i = Home(hash);
  while (slots_[i].id != id || slots_[i].hash != hash) {
    if (slots_[i].id == kEmpty) return false;
    i = (i + 1) & mask_;
  }
  // Later entries of the probe sequence move back into the hole, so that no marker of a removed
  // entry lengthens the probes.
  for (size_t j = (i + 1) & mask_; slots_[j].id != kEmpty; j = (j + 1) & mask_) {
    const size_t home = Home(slots_[j].hash);
    const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
    if (stays) continue;
    slots_[i] = slots_[j];
    i = j;
  }
  slots_[i] = Slot{0, kEmpty};
  --count_;
  return true;
}

}  // namespace tarvo::db
