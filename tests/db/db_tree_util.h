// Reading a table family through its index files, as a reader that trusts the indexes does: down
// the primary tree from its root to the data block of a record, along the leaves of a secondary
// tree to the records of its ".X" file.
#pragma once

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "db/px_internal.h"
#include "db/px_table.h"
#include "tests/db/db_test_util.h"

namespace tarvo::db::testing {

// Records of `t` whose data block the primary index does not lead to (none when it is sound).
inline size_t RecordsMissedByPrimary(const PxTable& t, const std::vector<uint8_t>& px) {
  px::Header h = px::ParseHeader(px, "px", false, nullptr);
  int key_len = 0;
  for (int i = 0; i < t.key_fields(); ++i) key_len += t.fields()[i].length;
  const int rs = key_len + 6;
  auto decode16 = [](const uint8_t* p) {
    return static_cast<uint16_t>(static_cast<uint16_t>(p[0] << 8 | p[1]) ^ 0x8000);
  };
  std::string probe = t.BlankRecord();
  size_t missed = 0;
  for (RecId id : t.RecordsInOrder()) {
    const uint8_t* rec = t.rec(id);
    size_t block = h.root;
    for (int level = h.levels; level >= 1; --level) {
      const size_t at = h.header_size + (block - 1) * static_cast<size_t>(h.block_size);
      if (block < 1 || at + 6 > px.size()) return t.size();
      const int16_t add = static_cast<int16_t>(px[at + 4] | px[at + 5] << 8);
      const int count = add < 0 ? 0 : add / rs + 1;
      // The last entry whose key is not above the record's.
      size_t chosen = 0;
      for (int i = 0; i < count; ++i) {
        const uint8_t* e = px.data() + at + 6 + static_cast<size_t>(i) * rs;
        probe.replace(0, key_len, reinterpret_cast<const char*>(e), key_len);
        if (i > 0 && t.ComparePrimary(reinterpret_cast<const uint8_t*>(probe.data()), rec) > 0)
          break;
        chosen = decode16(e + key_len);
      }
      block = chosen;
    }
    if (block != t.BlockOf(id)) ++missed;
  }
  return missed;
}

// The records of an ".X" file reached through the leaves of its ".Y" tree, and the number of its
// records on the ".X" chain.
struct SecondaryWalk {
  std::vector<std::string> through_tree;  // sorted
  size_t on_chain = 0;
  std::vector<std::string> problems;
};

inline SecondaryWalk WalkSecondary(const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
  SecondaryWalk out;
  px::Header xh = px::ParseHeader(x, "x", false, nullptr);
  int key_len = 0;
  for (int i = 0; i < xh.key_fields; ++i) key_len += xh.fields[i].length;
  std::map<uint16_t, px::ChainBlock> by_number;
  for (const auto& cb : px::WalkChain(x, xh, "x")) {
    by_number.emplace(cb.number, cb);
    out.on_chain += cb.count;
  }
  px::TreeRead tree = px::ReadTree(y, "y", key_len);
  out.problems = tree.problems;
  for (const auto& leaf : tree.leaves) {
    auto it = by_number.find(leaf.block);
    if (it == by_number.end() || it->second.count != static_cast<int>(leaf.count)) {
      out.problems.push_back("leaf to block " + std::to_string(leaf.block) + " does not match it");
      continue;
    }
    const auto& cb = it->second;
    if (std::string(reinterpret_cast<const char*>(cb.data), key_len) != leaf.key)
      out.problems.push_back("leaf key differs from block " + std::to_string(leaf.block));
    for (int i = 0; i < cb.count; ++i)
      out.through_tree.emplace_back(reinterpret_cast<const char*>(cb.data + i * xh.record_size),
                                    xh.record_size);
  }
  std::sort(out.through_tree.begin(), out.through_tree.end());
  return out;
}

}  // namespace tarvo::db::testing
