// Index files: the trees of ".px" and ".Y" files and the sorted records of ".X" files.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>
#include <set>

#include "db/db_error.h"
#include "db/index_writer.h"
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
  const int cap = (block_size - 6) / rs;
  // One entry less than fits, as every full block of tblZCode.PX (203 of 204) and tblZCode.YG1
  // (33 of 34) holds; a block of two entries at least, or the tree would never narrow.
  const int fill = std::max(2, cap - 1);
  if (cap < 2)
    throw EDBEngineError(Kind::kInvalidValue, "Index key of " + std::to_string(key_len) +
                                                  " bytes is too long for blocks of " +
                                                  std::to_string(block_size) + " bytes");
  // Levels bottom up: each level's entries are the first keys of the blocks of the level below.
  std::vector<std::vector<TreeEntry>> levels;
  if (!leaves.empty()) levels.push_back(leaves);
  while (!levels.empty() && levels.back().size() > static_cast<size_t>(fill)) {
    const auto& below = levels.back();
    std::vector<TreeEntry> up;
    for (size_t from = 0; from < below.size(); from += fill) {
      size_t to = std::min(below.size(), from + fill);
      uint64_t sum = 0;
      for (size_t i = from; i < to; ++i) sum += below[i].count;
      if (sum > 0xFFFFFFFFu) throw EDBEngineError(Kind::kInvalidValue, "Index too large");
      up.push_back({below[from].key, 0, static_cast<uint32_t>(sum)});
    }
    levels.push_back(std::move(up));
  }
  // Block numbers top down: the root is block 1, each level follows the one above it.
  const int depth = static_cast<int>(levels.size());
  std::vector<size_t> first_number(depth);
  size_t n = 0;
  for (int l = depth - 1; l >= 0; --l) {
    first_number[l] = n + 1;
    n += (levels[l].size() + fill - 1) / fill;
  }
  if (n > 0xFFFF) throw EDBEngineError(Kind::kInvalidValue, "Index too large");
  for (int l = depth - 1; l > 0; --l)
    for (size_t i = 0; i < levels[l].size(); ++i)
      levels[l][i].block = static_cast<uint16_t>(first_number[l - 1] + i);
  std::vector<uint8_t> out = std::move(header);
  const size_t base = out.size();
  out.resize(base + n * block_size, 0);
  uint32_t total = 0;
  for (int l = depth - 1; l >= 0; --l) {
    const auto& entries = levels[l];
    for (size_t from = 0, number = first_number[l]; from < entries.size(); from += fill, ++number) {
      size_t to = std::min(entries.size(), from + fill);
      uint8_t* blk = out.data() + base + (number - 1) * block_size;
      Put16(blk, number < n ? number + 1 : 0);
      Put16(blk + 2, number - 1);
      Put16(blk + 4, static_cast<uint32_t>((to - from - 1) * rs));
      for (size_t i = from; i < to; ++i) {
        uint8_t* p = blk + 6 + (i - from) * rs;
        std::memcpy(p, entries[i].key.data(), key_len);
        codec::EncodeInt(p + key_len, 2, entries[i].block);
        codec::EncodeInt(p + key_len + 2, 2, entries[i].count & 0xFFFF);
        codec::EncodeInt(p + key_len + 4, 2, entries[i].count >> 16);
      }
      total += static_cast<uint32_t>(to - from);
    }
  }
  // The header counts the entries of every level (HOSTFAM.PX: 1,669 entries over 110 blocks).
  Put32(out, 0x06, total);
  Put16(out, 0x0A, static_cast<uint32_t>(n));
  Put16(out, 0x0C, static_cast<uint32_t>(n));
  Put16(out, 0x0E, n ? 1 : 0);
  Put16(out, 0x10, static_cast<uint32_t>(n));
  Put16(out, 0x1E, 1);
  out[0x20] = static_cast<uint8_t>(depth);
  Put16(out, 0x3A, static_cast<uint32_t>(n));
  out[0x2C] = stamp;
  return out;
}

// Lays sorted records (`count` of them, back to back in `recs`) into full blocks of a
// data-layout file; returns the tree leaves.
std::vector<uint8_t> BuildDataFile(std::vector<uint8_t> header, int record_size, int block_size,
                                   int key_len, const uint8_t* recs, size_t count,
                                   std::vector<TreeEntry>& leaves) {
  const int cap = (block_size - 6) / record_size;
  size_t nblocks = (count + cap - 1) / cap;
  std::vector<uint8_t> out = std::move(header);
  size_t base = out.size();
  out.resize(base + nblocks * block_size, 0);
  leaves.reserve(leaves.size() + nblocks);
  for (size_t c = 0; c < nblocks; ++c) {
    uint8_t* blk = out.data() + base + c * block_size;
    size_t from = c * cap, to = std::min(count, from + cap);
    uint16_t number = static_cast<uint16_t>(c + 1);
    Put16(blk, c + 1 < nblocks ? number + 1 : 0);
    Put16(blk + 2, c > 0 ? number - 1 : 0);
    Put16(blk + 4, static_cast<uint32_t>((to - from - 1) * record_size));
    const uint8_t* first = recs + from * record_size;
    std::memcpy(blk + 6, first, (to - from) * record_size);
    leaves.push_back({std::string(reinterpret_cast<const char*>(first), key_len), number,
                      static_cast<uint32_t>(to - from)});
  }
  Put32(out, 0x06, static_cast<uint32_t>(count));
  Put16(out, 0x0A, static_cast<uint32_t>(nblocks));
  Put16(out, 0x0C, static_cast<uint32_t>(nblocks));
  Put16(out, 0x0E, nblocks ? 1 : 0);
  Put16(out, 0x10, static_cast<uint32_t>(nblocks));
  Put16(out, 0x3A, static_cast<uint32_t>(nblocks));
  Put16(out, 0x4D, 0);
  return out;
}

namespace {

// The chain: every block of the tree once, each level's blocks in key order along it.
void CheckTreeChain(const std::vector<uint8_t>& b, const Header& h, const std::string& path,
                    size_t avail, const std::vector<int>& level_of, TreeRead& out) {
  std::vector<bool> on_chain(avail + 1, false);
  uint16_t prev = 0;
  bool prev_links = true;
  for (size_t number = h.first_block; number != 0;) {
    if (number > avail || on_chain[number]) {
      out.problems.push_back(path + ": block chain broken at block " + std::to_string(number));
      break;
    }
    on_chain[number] = true;
    out.chain.push_back(static_cast<uint16_t>(number));
    const size_t at = h.header_size + (number - 1) * h.block_size;
    if (at + 4 > b.size()) break;
    if (Get16(b, at + 2) != prev) prev_links = false;
    prev = static_cast<uint16_t>(number);
    number = Get16(b, at);
  }
  if (!prev_links) out.problems.push_back(path + ": block chain's backward links are wrong");
  if (!out.chain.empty() && h.last_block != out.chain.back())
    out.problems.push_back(path + ": header's last block is not the chain's last");
  size_t tree_blocks = 0;
  for (auto& l : out.level_blocks) tree_blocks += l.size();
  bool covers = out.chain.size() == tree_blocks;
  for (size_t number : out.chain) covers = covers && level_of[number] != 0;
  if (!covers) out.problems.push_back(path + ": block chain and tree hold different blocks");
  std::vector<size_t> next_of_level(h.levels, 0);
  bool in_order = true;
  for (uint16_t number : out.chain) {
    int level = level_of[number];
    if (!level) continue;
    auto& want = out.level_blocks[h.levels - level];
    size_t& k = next_of_level[h.levels - level];
    if (k >= want.size() || want[k] != number) in_order = false;
    ++k;
  }
  if (!in_order)
    out.problems.push_back(path + ": a level's blocks are out of key order on the chain");
}

}  // namespace

TreeRead ReadTree(const std::vector<uint8_t>& b, const std::string& path, int key_len) {
  Header h = ParseHeader(b, path, false, nullptr);
  TreeRead out;
  if (h.file_blocks == 0 || h.levels == 0) return out;
  const int rs = key_len + 6;
  if (key_len <= 0 || h.record_size != rs)
    Damaged(path, "index record size does not match its key");
  if (h.levels > 16) Damaged(path, "index too deep");
  // A file may end within its last block, after the block's entries (DOS-written files do).
  const size_t avail = (b.size() - h.header_size + h.block_size - 1) / h.block_size;
  auto block_at = [&](size_t number, int& count) {
    if (number < 1 || number > avail)
      Damaged(path, "index block " + std::to_string(number) + " beyond the end of the file");
    const size_t at = h.header_size + (number - 1) * h.block_size;
    if (at + 6 > b.size()) Damaged(path, "index block " + std::to_string(number) + " cut short");
    const uint8_t* p = b.data() + at;
    int16_t add = static_cast<int16_t>(p[4] | p[5] << 8);
    count = add < 0 ? 0 : add / rs + 1;
    if (count * rs > h.block_size - 6 || at + 6 + static_cast<size_t>(count) * rs > b.size())
      Damaged(path, "index block " + std::to_string(number) + " overfull");
    return p;
  };
  auto decode16 = [](const uint8_t* p) {
    return static_cast<uint16_t>(static_cast<uint16_t>(p[0] << 8 | p[1]) ^ 0x8000);
  };
  out.levels = h.levels;
  out.level_blocks.resize(h.levels);
  out.level_entries.resize(h.levels);
  std::vector<int> level_of(avail + 1, 0);
  uint64_t entries = 0;
  bool sums_agree = true;
  // Depth first, so each level's blocks come out in key order.
  std::function<uint64_t(size_t, int)> walk = [&](size_t number, int level) -> uint64_t {
    int count = 0;
    const uint8_t* p = block_at(number, count);
    if (level_of[number]) Damaged(path, "index tree loops at block " + std::to_string(number));
    level_of[number] = level;
    out.level_blocks[h.levels - level].push_back(static_cast<uint16_t>(number));
    out.level_entries[h.levels - level].push_back(count);
    entries += count;
    uint64_t sum = 0;
    for (int i = 0; i < count; ++i) {
      const uint8_t* e = p + 6 + i * rs;
      uint16_t child = decode16(e + key_len);
      uint32_t below = decode16(e + key_len + 2) | static_cast<uint32_t>(decode16(e + key_len + 4))
                                                       << 16;
      if (level > 1) {
        if (walk(child, level - 1) != below) sums_agree = false;
      } else {
        out.leaves.push_back(
            {std::string(reinterpret_cast<const char*>(e), key_len), child, below});
      }
      sum += below;
    }
    return sum;
  };
  walk(h.root, h.levels);

  if (!sums_agree)
    out.problems.push_back(path + ": an entry's count differs from the records below it");
  if (entries != static_cast<uint64_t>(static_cast<uint32_t>(h.records)))
    out.problems.push_back(path + ": header counts " + std::to_string(h.records) +
                           " entries, the tree holds " + std::to_string(entries));
  CheckTreeChain(b, h, path, avail, level_of, out);
  return out;
}

}  // namespace px

namespace {

// An index record: the index fields, then the primary key (or the record's place), then the
// data block that holds it (and, unkeyed, the place in that block). Its order: the index fields
// with their collation and descending flags, then the key, or the place.
struct IndexLayout {
  size_t x_size = 0;
  std::vector<OrderPart> parts;
};

IndexLayout LayoutOf(const PxTable& t, const SecondaryIndex& ix) {
  const std::vector<FieldInfo>& fields = t.fields();
  IndexLayout l;
  auto add = [&](int f, bool descending) {
    const FieldInfo& fi = fields[f];
    l.parts.push_back(
        {static_cast<int>(l.x_size), fi.length, fi.type == FieldType::kAlpha, descending});
    l.x_size += fi.length;
  };
  for (size_t i = 0; i < ix.fields.size(); ++i)
    add(ix.fields[i], i < ix.descending.size() && ix.descending[i]);
  if (t.keyed()) {
    for (int f = 0; f < t.key_fields(); ++f) add(f, false);
    l.x_size += 2;
  } else {
    // The place, a Long: its bytes compare as the numbers do.
    l.parts.push_back({static_cast<int>(l.x_size), 4, false, false});
    l.x_size += 8;
  }
  if (static_cast<int>(l.x_size) != ix.x_record_size)
    Damaged(ix.x_path, "index record size does not match the table");
  return l;
}

// Makes the index records in data order (the blocks are read once, along their chain) and gives
// each to `take`.
template <typename Take>
void ForEachIndexRecord(const PxTable& t, const SecondaryIndex& ix, const std::vector<RecId>& all,
                        size_t x_size, Take take) {
  const std::vector<FieldInfo>& fields = t.fields();
  std::vector<uint8_t> buf(x_size);
  uint16_t cur = 0;
  int in_block = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    uint8_t* x = buf.data();
    const uint8_t* r = t.rec(all[i]);
    const uint16_t block = t.BlockOf(all[i]);
    in_block = block == cur ? in_block + 1 : 0;
    cur = block;
    for (int f : ix.fields) {
      std::memcpy(x, r + fields[f].offset, fields[f].length);
      x += fields[f].length;
    }
    if (t.keyed()) {
      for (int f = 0; f < t.key_fields(); ++f) {
        std::memcpy(x, r + fields[f].offset, fields[f].length);
        x += fields[f].length;
      }
      codec::EncodeInt(x, 2, block);
    } else {
      codec::EncodeInt(x, 4, static_cast<int64_t>(i));
      codec::EncodeInt(x + 4, 2, block);
      codec::EncodeInt(x + 6, 2, in_block);
    }
    take(buf.data());
  }
}

// Writes the index records into `w` in the index's order, in one pass over the data. While
// they come in that order (an index led by the key, rows appended in order) they go straight to
// the file with no sort; from the first that does not, the file is written again at the end
// from the sorter, which has taken every record.
void WriteInIndexOrder(platform::FileSystem& fs, const PxTable& t, const SecondaryIndex& ix,
                       const std::vector<RecId>& all, DataFileWriter& w) {
  const IndexLayout layout = LayoutOf(t, ix);
  const RecordOrder order(t.collation(), layout.parts);
  RunSorter sorter(fs, order, static_cast<int>(layout.x_size), IndexRunBytes(), t.path());
  bool direct = true;
  ForEachIndexRecord(t, ix, all, layout.x_size, [&](const uint8_t* x) {
    sorter.Add(x);
    if (direct && !sorter.in_order()) {
      direct = false;
      w.Restart();
    }
    if (direct) w.Add(x);
  });
  if (!direct) sorter.Drain([&](const uint8_t* x) { w.Add(x); });
}

// Gives an index that has no ".Y" file yet a new one, named after its ".X" file.
void AddTreeFile(SecondaryIndex& ix, const std::vector<uint8_t>& xh, uint8_t sort_byte,
                 uint8_t version, const TextCodec& codec) {
  Header parsed = ParseHeader(xh, ix.x_path, true, &codec);
  std::vector<FieldInfo> key(parsed.fields.begin(), parsed.fields.begin() + parsed.key_fields);
  ix.y_path = StemOf(ix.x_path) + (ix.composite ? ".YG" : ".Y") +
              Upper(ix.x_path.substr(ix.x_path.size() - (ix.composite ? 1 : 2)));
  ix.y_header = MakeTreeHeader(ix.composite ? 7 : 4, key, sort_byte,
                               BaseOf(ix.y_path) + ix.y_path.substr(ix.y_path.size() - 4), version);
  ix.y_block_size = 2048;
  ix.y_present = true;
}

}  // namespace

void PxTable::WriteIndexFiles(uint8_t db_stamp) {
  if (!order_valid_) RebuildOrder();
  // Each index (with its tree) is made, journalled and written before the next is made: one
  // index's files at a time in memory, not all of them.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  uint8_t px_stamp = db_stamp;
  if (keyed()) {
    std::vector<FieldInfo> key(fields_.begin(), fields_.begin() + key_fields_);
    int key_len = 0;
    for (auto& f : key) key_len += f.length;
    if (!px_present_) {
      px_path_ = StemOf(path_) + ".PX";
      px_header_ = MakeTreeHeader(1, key, header_[0x29], BaseOf(path_) + ".PX", header_[0x39]);
      px_present_ = true;
    }
    std::vector<TreeEntry> leaves;
    for (uint16_t n : order_) {
      const BlockIds ids = IdsOf(n);
      if (ids.size() == 0) continue;  // a damaged chain's empty block has no key to index
      leaves.push_back({std::string(reinterpret_cast<const char*>(rec(ids.front())), key_len), n,
                        static_cast<uint32_t>(ids.size())});
    }
    int bs = px_header_[5] * 1024;
    auto bytes = BuildTree(px_header_, key_len, bs, leaves, px_stamp);
    px_header_.assign(bytes.begin(), bytes.begin() + Get16(bytes, 2));
    files.emplace_back(px_path_, std::move(bytes));
    WriteCompanions(files);
    files.clear();
  }
  std::vector<RecId> all = RecordsInOrder();
  for (auto& ix : indexes_) {
    std::vector<uint8_t> xh = ix.x_header;
    xh[0x2D] = static_cast<uint8_t>(xh[0x2D] + 1);
    StampUpdateTime(xh);
    xh[0x2E] = header_[0x2E];
    if (keyed()) xh[0x2F] = px_stamp;
    int key_len = 0;
    {
      Header parsed = ParseHeader(xh, ix.x_path, true, &codec_);
      for (int i = 0; i < parsed.key_fields; ++i) key_len += parsed.fields[i].length;
    }
    if (!ix.y_present) AddTreeFile(ix, xh, header_[0x29], header_[0x39], codec_);
    JournalCompanions({ix.x_path, ix.y_path});
    // The ".X" file goes to the disk block by block as its records come out of the sort; the
    // tree above its blocks is small.
    std::vector<TreeEntry> leaves;
    {
      auto f = fs_->Open(ix.x_path, platform::Access::kReadWrite, platform::Share::kDenyWrite,
                         platform::Disposition::kOpenAlways);
      DataFileWriter w(*f, xh, ix.x_record_size, ix.x_block_size, key_len, all.size());
      WriteInIndexOrder(*fs_, *this, ix, all, w);
      leaves = w.Finish();
      f->Close();
      ix.x_header = w.header();
    }
    auto ybytes = BuildTree(ix.y_header, key_len, ix.y_block_size, leaves, xh[0x2D]);
    ix.y_header.assign(ybytes.begin(), ybytes.begin() + Get16(ybytes, 2));
    WriteFile(*fs_, ix.y_path, ybytes);
  }
}

}  // namespace tarvo::db
