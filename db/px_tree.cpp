// Index files: the trees of ".px" and ".Y" files and the sorted records of ".X" files.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>
#include <set>

#include "db/db_error.h"
#include "db/px_internal.h"
#include "db/px_table.h"
#include "text/codepage.h"

namespace tarvo::db {

using Kind = EDBEngineError::Kind;
using namespace px;

namespace px {

std::vector<uint8_t> BuildTree(std::vector<uint8_t> header, int key_len, int block_size,
                               const std::vector<TreeEntry>& leaves, uint8_t stamp) {
  const int rs = key_len + 6;
  const int cap = std::max(1, (block_size - 6) / rs);
  std::vector<std::vector<uint8_t>> blocks;
  int levels = 0, root = 1;
  int32_t total = 0;
  std::vector<TreeEntry> cur = leaves;
  while (!cur.empty()) {
    ++levels;
    std::vector<TreeEntry> up;
    size_t chunks = (cur.size() + cap - 1) / cap;
    size_t first_number = blocks.size() + 1;
    for (size_t c = 0; c < chunks; ++c) {
      std::vector<uint8_t> blk(block_size, 0);
      size_t from = c * cap, to = std::min(cur.size(), from + cap);
      uint16_t number = static_cast<uint16_t>(blocks.size() + 1);
      Put16(&blk[0], c + 1 < chunks ? number + 1 : 0);
      Put16(&blk[2], c > 0 ? number - 1 : 0);
      Put16(&blk[4], static_cast<uint32_t>((to - from - 1) * rs));
      uint32_t sum = 0;
      for (size_t i = from; i < to; ++i) {
        uint8_t* p = &blk[6 + (i - from) * rs];
        std::memcpy(p, cur[i].key.data(), key_len);
        codec::EncodeInt(p + key_len, 2, cur[i].block);
        codec::EncodeInt(p + key_len + 2, 2, cur[i].count);
        codec::EncodeInt(p + key_len + 4, 2, 0);
        sum += cur[i].count;
      }
      total += static_cast<int32_t>(to - from);
      up.push_back({cur[from].key, number, static_cast<uint16_t>(std::min<uint32_t>(sum, 32767))});
      blocks.push_back(std::move(blk));
    }
    (void)first_number;
    if (chunks == 1) {
      root = static_cast<int>(blocks.size());
      break;
    }
    cur = std::move(up);
  }
  int n = static_cast<int>(blocks.size());
  Put32(header, 0x06, static_cast<uint32_t>(total));
  Put16(header, 0x0A, n);
  Put16(header, 0x0C, n);
  Put16(header, 0x0E, n ? 1 : 0);
  Put16(header, 0x10, n);
  Put16(header, 0x1E, root);
  header[0x20] = static_cast<uint8_t>(levels);
  Put16(header, 0x3A, n);
  header[0x2C] = stamp;
  std::vector<uint8_t> out = std::move(header);
  for (auto& blk : blocks) out.insert(out.end(), blk.begin(), blk.end());
  return out;
}

// Lays sorted records into full blocks of a data-layout file; returns the tree leaves.
std::vector<uint8_t> BuildDataFile(std::vector<uint8_t> header, int record_size, int block_size,
                                   int key_len, const std::vector<std::string>& recs,
                                   std::vector<TreeEntry>& leaves) {
  const int cap = (block_size - 6) / record_size;
  size_t nblocks = (recs.size() + cap - 1) / cap;
  std::vector<uint8_t> out = std::move(header);
  size_t base = out.size();
  out.resize(base + nblocks * block_size, 0);
  for (size_t c = 0; c < nblocks; ++c) {
    uint8_t* blk = out.data() + base + c * block_size;
    size_t from = c * cap, to = std::min(recs.size(), from + cap);
    uint16_t number = static_cast<uint16_t>(c + 1);
    Put16(blk, c + 1 < nblocks ? number + 1 : 0);
    Put16(blk + 2, c > 0 ? number - 1 : 0);
    Put16(blk + 4, static_cast<uint32_t>((to - from - 1) * record_size));
    for (size_t i = from; i < to; ++i)
      std::memcpy(blk + 6 + (i - from) * record_size, recs[i].data(), record_size);
    leaves.push_back({recs[from].substr(0, key_len), number, static_cast<uint16_t>(to - from)});
  }
  Put32(out, 0x06, static_cast<uint32_t>(recs.size()));
  Put16(out, 0x0A, static_cast<uint32_t>(nblocks));
  Put16(out, 0x0C, static_cast<uint32_t>(nblocks));
  Put16(out, 0x0E, nblocks ? 1 : 0);
  Put16(out, 0x10, static_cast<uint32_t>(nblocks));
  Put16(out, 0x3A, static_cast<uint32_t>(nblocks));
  Put16(out, 0x4D, 0);
  return out;
}

// Reads the leaves of an index tree in order.
std::vector<TreeEntry> ReadTree(const std::vector<uint8_t>& b, const std::string& path,
                                int key_len) {
  Header h = ParseHeader(b, path, false, nullptr);
  std::vector<TreeEntry> out;
  if (h.file_blocks == 0 || h.levels == 0) return out;
  int rs = key_len + 6;
  if (h.record_size != rs) Damaged(path, "index record size does not match its key");
  size_t avail = (b.size() - h.header_size) / h.block_size;
  std::vector<bool> seen(avail + 1, false);
  std::function<void(int, int)> walk = [&](int block, int level) {
    if (block < 1 || static_cast<size_t>(block) > avail) Damaged(path, "index block out of range");
    if (seen[block]) Damaged(path, "index tree loops");
    seen[block] = true;
    const uint8_t* p = b.data() + h.header_size + static_cast<size_t>(block - 1) * h.block_size;
    int16_t add = static_cast<int16_t>(p[4] | p[5] << 8);
    int count = add < 0 ? 0 : add / rs + 1;
    if (count * rs > h.block_size - 6) Damaged(path, "index block overfull");
    for (int i = 0; i < count; ++i) {
      const uint8_t* e = p + 6 + i * rs;
      auto child = static_cast<uint16_t>(codec::DecodeInt(e + key_len, 2));
      auto stat = static_cast<uint16_t>(codec::DecodeInt(e + key_len + 2, 2));
      if (level > 1)
        walk(child, level - 1);
      else
        out.push_back({std::string(reinterpret_cast<const char*>(e), key_len), child, stat});
    }
  };
  if (h.levels > 16) Damaged(path, "index too deep");
  walk(h.root, h.levels);
  return out;
}

}  // namespace px

void PxTable::WriteIndexFiles(uint8_t db_stamp) {
  if (!order_valid_) RebuildOrder();
  uint8_t px_stamp = db_stamp;
  if (keyed()) {
    std::vector<FieldInfo> key(fields_.begin(), fields_.begin() + key_fields_);
    int key_len = 0;
    for (auto& f : key) key_len += f.length;
    if (!px_present_) {
      px_path_ = StemOf(path_) + ".PX";
      px_header_ = MakeTreeHeader(1, key, header_[0x29], BaseOf(path_) + ".PX");
      px_present_ = true;
    }
    std::vector<TreeEntry> leaves;
    for (uint16_t n : order_) {
      const Block& b = blocks_[n - 1];
      leaves.push_back(
          {pool_[b.ids.front()].substr(0, key_len), n, static_cast<uint16_t>(b.ids.size())});
    }
    int bs = px_header_[5] * 1024;
    auto bytes = BuildTree(px_header_, key_len, bs, leaves, px_stamp);
    WriteCompanion(px_path_, bytes);
    px_header_.assign(bytes.begin(), bytes.begin() + Get16(bytes, 2));
  }
  std::vector<RecId> all = RecordsInOrder();
  for (auto& ix : indexes_) {
    // The index records: index fields, then the primary key (or the record's place), then the
    // data block that holds it.
    std::vector<std::string> recs;
    recs.reserve(all.size());
    std::vector<int> pos_in_block(all.size());
    {
      uint16_t cur = 0;
      int k = 0;
      for (size_t i = 0; i < all.size(); ++i) {
        uint16_t blk = rec_block_[all[i]];
        k = blk == cur ? k + 1 : 0;
        cur = blk;
        pos_in_block[i] = k;
      }
    }
    std::vector<size_t> perm(all.size());
    std::iota(perm.begin(), perm.end(), 0);
    auto before = [&](size_t a, size_t b) {
      int c = CompareFields(rec(all[a]), rec(all[b]), ix.fields, &ix.descending);
      if (c) return c < 0;
      if (keyed()) return ComparePrimary(rec(all[a]), rec(all[b])) < 0;
      return a < b;
    };
    // Records often come in index order already (an index led by the key, rows appended in
    // order); then the sort is a single pass.
    if (!std::is_sorted(perm.begin(), perm.end(), before))
      std::stable_sort(perm.begin(), perm.end(), before);
    for (size_t i : perm) {
      const uint8_t* r = rec(all[i]);
      std::string x;
      x.reserve(ix.x_record_size);
      for (int f : ix.fields)
        x.append(reinterpret_cast<const char*>(r + fields_[f].offset), fields_[f].length);
      uint8_t num[4];
      if (keyed()) {
        for (int f = 0; f < key_fields_; ++f)
          x.append(reinterpret_cast<const char*>(r + fields_[f].offset), fields_[f].length);
        codec::EncodeInt(num, 2, rec_block_[all[i]]);
        x.append(reinterpret_cast<const char*>(num), 2);
      } else {
        codec::EncodeInt(num, 4, static_cast<int64_t>(i));
        x.append(reinterpret_cast<const char*>(num), 4);
        codec::EncodeInt(num, 2, rec_block_[all[i]]);
        x.append(reinterpret_cast<const char*>(num), 2);
        codec::EncodeInt(num, 2, pos_in_block[i]);
        x.append(reinterpret_cast<const char*>(num), 2);
      }
      if (static_cast<int>(x.size()) != ix.x_record_size)
        Damaged(ix.x_path, "index record size does not match the table");
      recs.push_back(std::move(x));
    }
    std::vector<uint8_t> xh = ix.x_header;
    xh[0x2D] = static_cast<uint8_t>(xh[0x2D] + 1);
    xh[0x2E] = header_[0x2E];
    if (keyed()) xh[0x2F] = px_stamp;
    int key_len = 0;
    {
      Header parsed = ParseHeader(xh, ix.x_path, true, &codec_);
      for (int i = 0; i < parsed.key_fields; ++i) key_len += parsed.fields[i].length;
    }
    std::vector<TreeEntry> leaves;
    auto xbytes = BuildDataFile(xh, ix.x_record_size, ix.x_block_size, key_len, recs, leaves);
    WriteCompanion(ix.x_path, xbytes);
    ix.x_header.assign(xbytes.begin(), xbytes.begin() + Get16(xbytes, 2));
    if (!ix.y_present) {
      Header parsed = ParseHeader(xh, ix.x_path, true, &codec_);
      std::vector<FieldInfo> key(parsed.fields.begin(), parsed.fields.begin() + parsed.key_fields);
      ix.y_path = StemOf(ix.x_path) + (ix.composite ? ".YG" : ".Y") +
                  Upper(ix.x_path.substr(ix.x_path.size() - (ix.composite ? 1 : 2)));
      ix.y_header = MakeTreeHeader(ix.composite ? 7 : 4, key, header_[0x29],
                                   BaseOf(ix.y_path) + ix.y_path.substr(ix.y_path.size() - 4));
      ix.y_block_size = 2048;
      ix.y_present = true;
    }
    auto ybytes = BuildTree(ix.y_header, key_len, ix.y_block_size, leaves, xbytes[0x2D]);
    WriteCompanion(ix.y_path, ybytes);
    ix.y_header.assign(ybytes.begin(), ybytes.begin() + Get16(ybytes, 2));
  }
}

}  // namespace tarvo::db
