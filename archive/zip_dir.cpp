#include "archive/zip_dir.h"

#include <algorithm>

#include "archive/zip_exception.h"
#include "text/codepage.h"

namespace tarvo::archive {

bool TDirItem::IsDirectory() const {
  return (header.external_attributes & 0x10) != 0 || (!FileName.empty() && FileName.back() == '/');
}

std::vector<ExtraBlock> TDirItem::ForeignExtraBlocks() const {
  std::vector<ExtraBlock> out;
  for (const ExtraBlock& b : ExtraBlocks)
    if (b.id != kZip64ExtraId) out.push_back(b);
  return out;
}

uint32_t TZipStringHash(std::string_view upper_name) {
  uint32_t h = 0;
  for (char c : upper_name) h = ((h << 2) | (h >> 30)) ^ static_cast<uint8_t>(c);
  return h;
}

std::string TZipHashedStringList::Key(std::string_view name) { return text::ToLowerUtf8(name); }

void TZipHashedStringList::Clear() {
  names_.clear();
  buckets_.clear();
  hashed_ = false;
}

void TZipHashedStringList::Add(std::string_view name) {
  names_.push_back(Key(name));
  if (hashed_) {
    uint32_t h = TZipStringHash(text::ToUpperUtf8(names_.back()));
    buckets_[h % buckets_.size()].push_back(Count() - 1);
  }
}

void TZipHashedStringList::Set(int index, std::string_view name) {
  names_[index] = Key(name);
  hashed_ = false;
}

void TZipHashedStringList::Delete(int index) {
  names_.erase(names_.begin() + index);
  hashed_ = false;
}

void TZipHashedStringList::Rebuild() {
  size_t bucket_count = std::max<size_t>(names_.size(), 1000);
  buckets_.assign(bucket_count, {});
  for (int i = 0; i < Count(); ++i) {
    uint32_t h = TZipStringHash(text::ToUpperUtf8(names_[i]));
    buckets_[h % bucket_count].push_back(i);
  }
  hashed_ = true;
}

int TZipHashedStringList::IndexOf(std::string_view name) {
  if (!hashed_ || names_.size() > 5 * buckets_.size()) Rebuild();
  std::string key = Key(name);
  uint32_t h = TZipStringHash(text::ToUpperUtf8(key));
  for (int i : buckets_[h % buckets_.size()])
    if (names_[i] == key) return i;  // buckets hold positions in rising order
  return -1;
}

TDirItem& TZipDirArray::At(int index) {
  if (index < 0 || index >= Count()) throw EZipException(ZipNative::kIndexOutOfBounds);
  return items_[index];
}

void TZipDirArray::Grow(size_t needed) {
  growth_step_ = growth_step_ == 0 ? 1000 : std::min<size_t>(growth_step_ * 2, 10000);
  capacity_ = std::max(capacity_ + growth_step_, needed);
  items_.reserve(capacity_);
}

void TZipDirArray::Reserve(size_t needed) {
  if (needed > capacity_) Grow(needed);
}

int TZipDirArray::Add(TDirItem item) {
  Reserve(items_.size() + 1);
  names_.Add(item.FileName);
  items_.push_back(std::move(item));
  return Count() - 1;
}

void TZipDirArray::Delete(int index) {
  At(index);
  items_.erase(items_.begin() + index);
  names_.Delete(index);
  if (items_.empty()) Clear();
}

void TZipDirArray::Clear() {
  items_.clear();
  items_.shrink_to_fit();
  capacity_ = 0;
  growth_step_ = 0;
  names_.Clear();
}

void TZipDirArray::SetName(int index, const std::string& name) {
  TDirItem& item = At(index);
  if (names_.Count() != Count() || names_[index] != text::ToLowerUtf8(item.FileName))
    throw EZipException(ZipNative::kNameListBrokenOnSet);
  item.FileName = name;
  names_.Set(index, name);
}

int TZipDirArray::IndexOf(std::string_view name) const {
  int i = names_.IndexOf(name);
  if (i >= Count() || (i >= 0 && names_[i] != text::ToLowerUtf8(items_[i].FileName)))
    throw EZipException(ZipNative::kNameListBrokenOnFind);
  return i;
}

void TZipDirManager::Clear() {
  end_record = {};
  has_end_record = false;
  archive_comment.clear();
  zip64_end_record = {};
  zip64_locator = {};
  is_zip64 = false;
  multi_volume = false;
  end_record_offset = 0;
  stub_size = 0;
  directory_start = 0;
  repaired = false;
  items.Clear();
  rollback.Clear();
}

}  // namespace tarvo::archive
