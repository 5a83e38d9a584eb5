// Record filters in the table engine's expression syntax:
//   comparisons  field = literal, <>, <, >, <=, >=  (the literal may also stand on the left)
//   AND, OR, NOT and parentheses; single-quoted strings ('' is a quote), numbers, BLANK (NULL)
//   a trailing * in a string compared with = or <> matches by prefix
//   field names plain, or in [brackets] or "double quotes" when they hold spaces
// String comparisons are case-sensitive and follow the table's sort order. A blank field equals
// only BLANK, differs from every other literal, and is neither below nor above anything.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace tarvo::db {

class PxTable;

class FilterExpr {
 public:
  struct Node;
  // Parses against the table's fields; raises EDBEngineError(kBadFilter) naming the position
  // (1-based) of the fault.
  static FilterExpr Parse(std::string_view text, const PxTable& table);
  FilterExpr();
  ~FilterExpr();
  FilterExpr(FilterExpr&&) noexcept;
  FilterExpr& operator=(FilterExpr&&) noexcept;
  bool Matches(const uint8_t* record) const;
  bool empty() const { return !root_; }

 private:
  std::unique_ptr<Node> root_;
  const PxTable* table_ = nullptr;
};

}  // namespace tarvo::db
