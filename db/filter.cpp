#include "db/filter.h"

#include <cstring>
#include <vector>

#include "db/db_error.h"
#include "db/px_table.h"

namespace tarvo::db {

namespace {

enum class Tok { kEnd, kIdent, kField, kString, kNumber, kOp, kLParen, kRParen };

struct Token {
  Tok kind = Tok::kEnd;
  std::string text;
  size_t pos = 0;  // 0-based offset in the expression
};

enum class Op { kEq, kNe, kLt, kGt, kLe, kGe };

[[noreturn]] void Fail(size_t pos, const std::string& what) {
  throw EDBEngineError(EDBEngineError::Kind::kBadFilter,
                       "Filter error at position " + std::to_string(pos + 1) + ": " + what);
}

std::vector<Token> Lex(std::string_view s) {
  std::vector<Token> out;
  size_t i = 0;
  while (true) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
    Token t;
    t.pos = i;
    if (i >= s.size()) {
      out.push_back(t);
      return out;
    }
    char c = s[i];
    if (c == '(' || c == ')') {
      t.kind = c == '(' ? Tok::kLParen : Tok::kRParen;
      ++i;
    } else if (c == '=' || c == '<' || c == '>') {
      t.kind = Tok::kOp;
      t.text = c;
      ++i;
      if (i < s.size() && ((c == '<' && (s[i] == '>' || s[i] == '=')) || (c == '>' && s[i] == '=')))
        t.text += s[i++];
    } else if (c == '\'') {
      t.kind = Tok::kString;
      ++i;
      while (true) {
        if (i >= s.size()) Fail(t.pos, "unterminated string");
        if (s[i] == '\'') {
          if (i + 1 < s.size() && s[i + 1] == '\'') {
            t.text += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        t.text += s[i++];
      }
    } else if (c == '[' || c == '"') {
      char close = c == '[' ? ']' : '"';
      t.kind = Tok::kField;
      ++i;
      while (i < s.size() && s[i] != close) t.text += s[i++];
      if (i >= s.size()) Fail(t.pos, std::string("missing ") + close);
      ++i;
      if (t.text.empty()) Fail(t.pos, "empty field name");
    } else if ((c >= '0' && c <= '9') ||
               ((c == '-' || c == '+' || c == '.') && i + 1 < s.size() &&
                ((s[i + 1] >= '0' && s[i + 1] <= '9') || s[i + 1] == '.'))) {
      t.kind = Tok::kNumber;
      t.text += s[i++];
      while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.')) t.text += s[i++];
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
               static_cast<unsigned char>(c) >= 0x80) {
      t.kind = Tok::kIdent;
      while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_' ||
                              static_cast<unsigned char>(s[i]) >= 0x80))
        t.text += s[i++];
    } else {
      Fail(i, std::string("unexpected character '") + c + "'");
    }
    out.push_back(t);
  }
}

bool IsKeyword(const Token& t, const char* kw) {
  if (t.kind != Tok::kIdent || t.text.size() != std::strlen(kw)) return false;
  for (size_t i = 0; i < t.text.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(t.text[i])) != kw[i]) return false;
  return true;
}

}  // namespace

struct FilterExpr::Node {
  enum class Kind { kAnd, kOr, kNot, kCompare, kCompareFields } kind;
  std::unique_ptr<Node> a, b;
  int field = -1, field2 = -1;
  Op op = Op::kEq;
  bool blank = false;    // the literal is BLANK
  bool partial = false;  // prefix match
  std::string value;     // literal encoded as the field's bytes (Alpha: code page bytes)
};

namespace {

class Parser {
 public:
  Parser(std::vector<Token> toks, const PxTable& t) : toks_(std::move(toks)), table_(t) {}

  std::unique_ptr<FilterExpr::Node> ParseAll() {
    auto n = Or();
    if (Cur().kind != Tok::kEnd) Fail(Cur().pos, "unexpected '" + Cur().text + "'");
    return n;
  }

 private:
  using NodeP = std::unique_ptr<FilterExpr::Node>;
  const Token& Cur() const { return toks_[i_]; }

  NodeP Or() {
    auto n = And();
    while (IsKeyword(Cur(), "OR")) {
      ++i_;
      auto m = std::make_unique<FilterExpr::Node>();
      m->kind = FilterExpr::Node::Kind::kOr;
      m->a = std::move(n);
      m->b = And();
      n = std::move(m);
    }
    return n;
  }
  NodeP And() {
    auto n = Not();
    while (IsKeyword(Cur(), "AND")) {
      ++i_;
      auto m = std::make_unique<FilterExpr::Node>();
      m->kind = FilterExpr::Node::Kind::kAnd;
      m->a = std::move(n);
      m->b = Not();
      n = std::move(m);
    }
    return n;
  }
  NodeP Not() {
    if (IsKeyword(Cur(), "NOT")) {
      ++i_;
      auto m = std::make_unique<FilterExpr::Node>();
      m->kind = FilterExpr::Node::Kind::kNot;
      m->a = Not();
      return m;
    }
    return Primary();
  }
  bool IsFieldToken(const Token& t) const {
    return t.kind == Tok::kField ||
           (t.kind == Tok::kIdent && !IsKeyword(t, "BLANK") && !IsKeyword(t, "NULL") &&
            !IsKeyword(t, "AND") && !IsKeyword(t, "OR") && !IsKeyword(t, "NOT"));
  }
  int FieldOf(const Token& t) const {
    int f = table_.FieldIndex(t.text);
    if (f < 0) Fail(t.pos, "unknown field '" + t.text + "'");
    return f;
  }
  NodeP Primary() {
    const Token& t = Cur();
    if (t.kind == Tok::kLParen) {
      ++i_;
      auto n = Or();
      if (Cur().kind != Tok::kRParen) Fail(Cur().pos, "missing )");
      ++i_;
      return n;
    }
    if (t.kind == Tok::kEnd) Fail(t.pos, "expression expected");
    // field op literal | literal op field | field op field
    size_t left = i_++;
    if (Cur().kind != Tok::kOp) Fail(Cur().pos, "comparison operator expected");
    Token op_tok = Cur();
    ++i_;
    size_t right = i_;
    if (Cur().kind == Tok::kEnd || Cur().kind == Tok::kOp || Cur().kind == Tok::kLParen ||
        Cur().kind == Tok::kRParen)
      Fail(Cur().pos, "value expected");
    ++i_;
    Op op = op_tok.text == "="    ? Op::kEq
            : op_tok.text == "<>" ? Op::kNe
            : op_tok.text == "<"  ? Op::kLt
            : op_tok.text == ">"  ? Op::kGt
            : op_tok.text == "<=" ? Op::kLe
                                  : Op::kGe;
    const Token& l = toks_[left];
    const Token& r = toks_[right];
    auto n = std::make_unique<FilterExpr::Node>();
    if (IsFieldToken(l) && IsFieldToken(r)) {
      n->kind = FilterExpr::Node::Kind::kCompareFields;
      n->field = FieldOf(l);
      n->field2 = FieldOf(r);
      n->op = op;
      auto& f1 = table_.fields()[n->field];
      auto& f2 = table_.fields()[n->field2];
      if (f1.type != f2.type || f1.length != f2.length)
        Fail(r.pos, "fields of different types cannot be compared");
      return n;
    }
    const Token* field_tok = &l;
    const Token* lit = &r;
    if (!IsFieldToken(l)) {
      if (!IsFieldToken(r)) Fail(l.pos, "a comparison needs a field");
      field_tok = &r;
      lit = &l;
      // Mirror the operator so that the field stands on the left.
      op = op == Op::kLt   ? Op::kGt
           : op == Op::kGt ? Op::kLt
           : op == Op::kLe ? Op::kGe
           : op == Op::kGe ? Op::kLe
                           : op;
    }
    n->kind = FilterExpr::Node::Kind::kCompare;
    n->field = FieldOf(*field_tok);
    n->op = op;
    const FieldInfo& f = table_.fields()[n->field];
    if (IsFieldToken(*lit) || lit->kind == Tok::kIdent) {
      if (!IsKeyword(*lit, "BLANK") && !IsKeyword(*lit, "NULL")) Fail(lit->pos, "value expected");
      if (op != Op::kEq && op != Op::kNe) Fail(op_tok.pos, "BLANK takes only = or <>");
      n->blank = true;
      return n;
    }
    if (IsBlobType(f.type)) Fail(field_tok->pos, "blob fields cannot be compared");
    std::string text = lit->text;
    if (lit->kind == Tok::kString && !text.empty() && text.back() == '*' &&
        (op == Op::kEq || op == Op::kNe)) {
      n->partial = true;
      text.pop_back();
    }
    try {
      if (f.type == FieldType::kAlpha || n->partial) {
        if (n->partial && f.type != FieldType::kAlpha)
          Fail(lit->pos, "partial match needs a text field");
        n->value = table_.codec().FromUtf8(text);
      } else {
        Variant v = lit->kind == Tok::kNumber ? Variant::String(text) : Variant::String(text);
        n->value = const_cast<PxTable&>(table_).EncodeField(n->field, v);
        if (text.empty()) n->blank = true;
      }
    } catch (const EDBEngineError& e) {
      if (e.kind() == EDBEngineError::Kind::kBadFilter) throw;
      Fail(lit->pos, std::string("bad value: ") + e.what());
    }
    return n;
  }

  std::vector<Token> toks_;
  size_t i_ = 0;
  const PxTable& table_;
};

bool Apply(Op op, int c) {
  switch (op) {
    case Op::kEq:
      return c == 0;
    case Op::kNe:
      return c != 0;
    case Op::kLt:
      return c < 0;
    case Op::kGt:
      return c > 0;
    case Op::kLe:
      return c <= 0;
    case Op::kGe:
      return c >= 0;
  }
  return false;
}

}  // namespace

FilterExpr::FilterExpr() = default;
FilterExpr::~FilterExpr() = default;
FilterExpr::FilterExpr(FilterExpr&&) noexcept = default;
FilterExpr& FilterExpr::operator=(FilterExpr&&) noexcept = default;

FilterExpr FilterExpr::Parse(std::string_view text, const PxTable& table) {
  FilterExpr e;
  e.table_ = &table;
  auto toks = Lex(text);
  if (toks.size() == 1) return e;  // an empty filter admits every record
  Parser p(std::move(toks), table);
  e.root_ = p.ParseAll();
  return e;
}

static bool Eval(const FilterExpr::Node& n, const PxTable& t, const uint8_t* rec) {
  using K = FilterExpr::Node::Kind;
  switch (n.kind) {
    case K::kAnd:
      return Eval(*n.a, t, rec) && Eval(*n.b, t, rec);
    case K::kOr:
      return Eval(*n.a, t, rec) || Eval(*n.b, t, rec);
    case K::kNot:
      return !Eval(*n.a, t, rec);
    case K::kCompareFields: {
      bool b1 = t.IsBlank(rec, n.field), b2 = t.IsBlank(rec, n.field2);
      if (b1 || b2) return n.op == Op::kEq ? b1 == b2 : n.op == Op::kNe ? b1 != b2 : false;
      const FieldInfo& f1 = t.fields()[n.field];
      const FieldInfo& f2 = t.fields()[n.field2];
      std::string r2(reinterpret_cast<const char*>(rec), t.record_size());
      std::memcpy(r2.data() + f1.offset, rec + f2.offset, f1.length);
      return Apply(n.op, t.CompareField(rec, reinterpret_cast<const uint8_t*>(r2.data()), n.field));
    }
    case K::kCompare: {
      bool blank = t.IsBlank(rec, n.field);
      if (n.blank) return n.op == Op::kEq ? blank : !blank;
      if (blank) return n.op == Op::kNe;
      const FieldInfo& f = t.fields()[n.field];
      const uint8_t* p = rec + f.offset;
      if (f.type == FieldType::kAlpha) {
        size_t len = 0;
        while (len < static_cast<size_t>(f.length) && p[len]) ++len;
        if (n.partial) {
          bool pre = len >= n.value.size() && std::memcmp(p, n.value.data(), n.value.size()) == 0;
          return n.op == Op::kEq ? pre : !pre;
        }
        size_t m = std::max(len, n.value.size());
        std::string a(m, '\0'), b(m, '\0');
        std::memcpy(a.data(), p, len);
        std::memcpy(b.data(), n.value.data(), n.value.size());
        return Apply(n.op, t.collation().Compare(reinterpret_cast<const uint8_t*>(a.data()),
                                                 reinterpret_cast<const uint8_t*>(b.data()), m));
      }
      int c = std::memcmp(p, n.value.data(), f.length);
      return Apply(n.op, c < 0 ? -1 : c > 0 ? 1 : 0);
    }
  }
  return false;
}

bool FilterExpr::Matches(const uint8_t* record) const {
  return !root_ || Eval(*root_, *table_, record);
}

}  // namespace tarvo::db
