#include "db/field_codec.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "db/code_tables.h"
#include "db/db_error.h"
#include "text/codepage.h"

namespace tarvo::db {

bool IsKnownFieldType(uint8_t c) {
  switch (c) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x09:
    case 0x0C:
    case 0x0D:
    case 0x0E:
    case 0x0F:
    case 0x10:
    case 0x14:
    case 0x15:
    case 0x16:
    case 0x17:
    case 0x18:
      return true;
    default:
      return false;
  }
}

bool IsBlobType(FieldType t) {
  return t == FieldType::kMemo || t == FieldType::kBlob || t == FieldType::kFmtMemo ||
         t == FieldType::kOle || t == FieldType::kGraphic;
}

std::string FieldTypeLetter(FieldType t) {
  switch (t) {
    case FieldType::kAlpha:
      return "A";
    case FieldType::kDate:
      return "D";
    case FieldType::kShort:
      return "S";
    case FieldType::kLong:
      return "I";
    case FieldType::kMoney:
      return "$";
    case FieldType::kNumber:
      return "N";
    case FieldType::kLogical:
      return "L";
    case FieldType::kMemo:
      return "M";
    case FieldType::kBlob:
      return "B";
    case FieldType::kFmtMemo:
      return "F";
    case FieldType::kOle:
      return "O";
    case FieldType::kGraphic:
      return "G";
    case FieldType::kTime:
      return "T";
    case FieldType::kTimestamp:
      return "@";
    case FieldType::kAutoInc:
      return "+";
    case FieldType::kBcd:
      return "#";
    case FieldType::kBytes:
      return "Y";
  }
  return "?";
}

namespace {

// The types whose letter stands alone: their size is the type's.
struct FixedSizeType {
  char letter;
  FieldType type;
  int size;
};
constexpr FixedSizeType kFixedSizeTypes[] = {
    {'D', FieldType::kDate, 4},  {'S', FieldType::kShort, 2},     {'I', FieldType::kLong, 4},
    {'$', FieldType::kMoney, 8}, {'N', FieldType::kNumber, 8},    {'L', FieldType::kLogical, 1},
    {'T', FieldType::kTime, 4},  {'@', FieldType::kTimestamp, 8}, {'+', FieldType::kAutoInc, 4},
};

}  // namespace

bool ParseFieldTypeSpec(std::string_view shape, FieldType& type, int& size) {
  if (shape.empty()) return false;
  char c = static_cast<char>(std::toupper(static_cast<unsigned char>(shape[0])));
  std::string_view rest = shape.substr(1);
  int n = 0;
  bool has_n = false;
  if (!rest.empty()) {
    auto r = std::from_chars(rest.data(), rest.data() + rest.size(), n);
    if (r.ec != std::errc() || r.ptr != rest.data() + rest.size()) return false;
    has_n = true;
  }
  for (const FixedSizeType& t : kFixedSizeTypes) {
    if (t.letter != c) continue;
    type = t.type;
    size = t.size;
    return !has_n;
  }
  switch (c) {
    case 'A':
      type = FieldType::kAlpha;
      if (!has_n || n < 1 || n > 255) return false;
      size = n;
      return true;
    case '#':
      type = FieldType::kBcd;
      if (!has_n) n = 2;
      if (n < 0 || n > 32) return false;
      size = n;
      return true;
    case 'Y':
      type = FieldType::kBytes;
      if (!has_n || n < 1 || n > 255) return false;
      size = n;
      return true;
    case 'M':
    case 'B':
    case 'F':
    case 'O':
    case 'G': {
      type = c == 'M'   ? FieldType::kMemo
             : c == 'B' ? FieldType::kBlob
             : c == 'F' ? FieldType::kFmtMemo
             : c == 'O' ? FieldType::kOle
                        : FieldType::kGraphic;
      if (!has_n) n = 1;
      if (n < (type == FieldType::kMemo ? 1 : 0) || n > 240) return false;
      size = n + 10;
      return true;
    }
    default:
      return false;
  }
}

int FieldStorageLength(FieldType type, int size) { return type == FieldType::kBcd ? 17 : size; }

// ---- Variant ----

Variant Variant::Bool(bool b) {
  Variant v;
  v.type_ = Type::kBool;
  v.i_ = b ? 1 : 0;
  return v;
}
Variant Variant::Int(int64_t x) {
  Variant v;
  v.type_ = Type::kInt;
  v.i_ = x;
  v.d_ = static_cast<double>(x);
  return v;
}
Variant Variant::Float(double x) {
  Variant v;
  v.type_ = Type::kFloat;
  v.d_ = x;
  return v;
}
Variant Variant::String(std::string s) {
  Variant v;
  v.type_ = Type::kString;
  v.s_ = std::move(s);
  return v;
}
Variant Variant::Date(int32_t days) {
  Variant v;
  v.type_ = Type::kDate;
  v.i_ = days;
  return v;
}
Variant Variant::Time(int32_t ms) {
  Variant v;
  v.type_ = Type::kTime;
  v.i_ = ms;
  return v;
}
Variant Variant::DateTime(double ms) {
  Variant v;
  v.type_ = Type::kDateTime;
  v.d_ = ms;
  return v;
}
Variant Variant::Bytes(std::string b) {
  Variant v;
  v.type_ = Type::kBytes;
  v.s_ = std::move(b);
  return v;
}

std::string Variant::ToText() const {
  switch (type_) {
    case Type::kNull:
      return "";
    case Type::kBool:
      return i_ ? "True" : "False";
    case Type::kInt:
      return std::to_string(i_);
    case Type::kFloat:
      return FormatNumber(d_);
    case Type::kString:
    case Type::kBytes:
      return s_;
    case Type::kDate:
      return FormatDate(static_cast<int32_t>(i_));
    case Type::kTime:
      return FormatTime(static_cast<int32_t>(i_));
    case Type::kDateTime:
      return FormatDateTime(d_);
  }
  return "";
}

bool Variant::operator==(const Variant& o) const {
  return type_ == o.type_ && i_ == o.i_ && (d_ == o.d_ || (std::isnan(d_) && std::isnan(o.d_))) &&
         s_ == o.s_;
}

// ---- code pages ----

TextCodec::TextCodec(int code_page) : code_page_(code_page) {}

char32_t TextCodec::ByteToChar(uint8_t b) const {
  if (b < 0x80) return b;
  switch (code_page_) {
    case 866:
      return text::ByteToChar(b, text::CodePage::kCp866);
    case 1251:
      return text::ByteToChar(b, text::CodePage::kWindows1251);
    case 437:
      return detail::kCp437High[b - 0x80];
    case 850:
      return detail::kCp850High[b - 0x80];
    default:
      return detail::kCp1252High[b - 0x80];
  }
}

std::string TextCodec::ToUtf8(std::string_view bytes) const {
  if (code_page_ == 866) return text::ToUtf8(bytes, text::CodePage::kCp866);
  if (code_page_ == 1251) return text::ToUtf8(bytes, text::CodePage::kWindows1251);
  std::u32string u;
  u.reserve(bytes.size());
  for (unsigned char c : bytes) u.push_back(ByteToChar(c));
  return text::Utf32ToUtf8(u);
}

std::string TextCodec::FromUtf8(std::string_view utf8) const {
  bool ascii = true;
  for (unsigned char c : utf8) ascii = ascii && c < 0x80;
  if (ascii) return std::string(utf8);
  if (code_page_ == 866 || code_page_ == 1251) {
    auto r = text::FromUtf8Exact(
        utf8, code_page_ == 866 ? text::CodePage::kCp866 : text::CodePage::kWindows1251);
    if (!r) {
      throw EDBEngineError(EDBEngineError::Kind::kInvalidValue,
                           "Text has characters that code page " + std::to_string(code_page_) +
                               " cannot store: " + std::string(utf8));
    }
    return *r;
  }
  std::string out;
  for (char32_t ch : text::Utf8ToUtf32(utf8)) {
    if (ch < 0x80) {
      out.push_back(static_cast<char>(ch));
      continue;
    }
    int found = -1;
    for (int b = 0x80; b < 0x100 && found < 0; ++b)
      if (ByteToChar(static_cast<uint8_t>(b)) == ch) found = b;
    if (found < 0) {
      throw EDBEngineError(EDBEngineError::Kind::kInvalidValue,
                           "Text has characters that code page " + std::to_string(code_page_) +
                               " cannot store: " + std::string(utf8));
    }
    out.push_back(static_cast<char>(found));
  }
  return out;
}

// Letters sort by their upper-case form in alphabet order (Cyrillic Ё right after Е), ahead of
// nothing but after digits and punctuation; equal letters of different case tie on the first
// pass and are ordered by their bytes afterwards. COLLATION.md gives the samples this rests on and
// what they leave open.
static uint32_t PrimaryWeight(char32_t c) {
  char32_t u = text::ToUpper(c);
  if (u >= 'A' && u <= 'Z') return 0x10000 + (u - 'A') * 4;
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) {
    // Accented Latin letters sort with their base letter.
    static const char kBase[] = "AAAAAAACEEEEIIIIDNOOOOO*OUUUUYT";
    char b = kBase[u - 0xC0];
    if (b >= 'A' && b <= 'Z') return 0x10000 + (b - 'A') * 4 + 1;
  }
  if (u == 0x401) return 0x20000 + 5 * 4 + 2;  // Ё after Е
  if (u >= 0x410 && u <= 0x42F) return 0x20000 + (u - 0x410) * 4;
  return static_cast<uint32_t>(u);
}

Collation::Collation(const TextCodec& codec, std::string_view sort_order_name) {
  std::string n(sort_order_name);
  for (auto& ch : n) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  byte_order_ = n.empty() || n == "ascii";
  for (int b = 0; b < 256; ++b)
    weight_[b] = b == 0 ? 0 : PrimaryWeight(codec.ByteToChar(static_cast<uint8_t>(b)));
  for (int b = 1; b < 256; ++b)
    if (weight_[b] == 0) leading_keys_ = false;
  // Dense ranks keep the weights' order and equalities in a byte each.
  std::vector<uint32_t> distinct(weight_, weight_ + 256);
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  for (int b = 0; b < 256; ++b)
    rank_[b] = static_cast<uint8_t>(std::lower_bound(distinct.begin(), distinct.end(), weight_[b]) -
                                    distinct.begin());
}

LeadingKey Collation::Key(const uint8_t* p, size_t n) const {
  if (byte_order_) return LeadingKey::FromBytes(p, n);
  if (!leading_keys_) return {};
  // Ranks of the first 16 characters; after the first NUL nothing counts, as in Compare (only
  // NUL weighs 0, so two keys that differ differ at or before the first NUL of either field).
  uint8_t ranks[16] = {};
  for (size_t i = 0; i < 16 && i < n && p[i] != 0; ++i) ranks[i] = rank_[p[i]];
  return LeadingKey::FromBytes(ranks, 16);
}

int Collation::Compare(const uint8_t* a, const uint8_t* b, size_t n) const {
  // Equal bytes weigh the same, so the language pass starts where the bytes first differ.
  size_t first = 0;
  while (first + 8 <= n) {
    uint64_t x, y;
    std::memcpy(&x, a + first, 8);
    std::memcpy(&y, b + first, 8);
    if (x != y) break;
    first += 8;
  }
  while (first < n && a[first] == b[first]) ++first;
  if (first == n) return 0;
  if (!byte_order_) {
    for (size_t i = first; i < n; ++i) {
      uint32_t wa = weight_[a[i]], wb = weight_[b[i]];
      if (wa != wb) return wa < wb ? -1 : 1;
      if (a[i] == 0) break;
    }
  }
  return a[first] < b[first] ? -1 : 1;
}

// ---- calendar ----

int32_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  // Days since 1970-01-01, moved so that 0001-01-01 is day 1.
  return static_cast<int32_t>(era * 146097 + static_cast<int>(doe) - 719468 + 719163);
}

void CivilFromDays(int32_t days, int& y, int& m, int& d) {
  int64_t z = static_cast<int64_t>(days) - 719163 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

std::string FormatDate(int32_t days) {
  int y, m, d;
  CivilFromDays(days, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", d, m, y);
  return buf;
}

std::string FormatTime(int32_t ms) {
  if (ms < 0) ms = 0;
  char buf[32];
  int s = ms / 1000;
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
  std::string out = buf;
  if (ms % 1000) {
    std::snprintf(buf, sizeof buf, ".%03d", ms % 1000);
    out += buf;
  }
  return out;
}

std::string FormatDateTime(double ms) {
  if (!(ms >= 0) || ms > 1e15) return "";
  int64_t total = static_cast<int64_t>(std::llround(ms));
  int32_t days = static_cast<int32_t>(total / 86400000);
  int32_t rest = static_cast<int32_t>(total % 86400000);
  return FormatDate(days) + " " + FormatTime(rest);
}

std::string FormatNumber(double v) {
  if (std::isnan(v) || std::isinf(v)) return std::isnan(v) ? "NAN" : (v > 0 ? "INF" : "-INF");
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

static std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool ParseInteger(std::string_view s, int64_t& v) {
  s = Trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool ParseNumber(std::string_view s, double& v) {
  s = Trim(s);
  if (s.empty()) return false;
  std::string t(s);
  for (auto& c : t)
    if (c == ',') c = '.';
  if (t.front() == '+') t.erase(0, 1);
  const char* b = t.data();
  auto r = std::from_chars(b, b + t.size(), v);
  return r.ec == std::errc() && r.ptr == b + t.size() && std::isfinite(v);
}

static bool ParseUInt(std::string_view s, int& v) {
  if (s.empty() || s.size() > 9) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool ParseDate(std::string_view s, int32_t& days) {
  s = Trim(s);
  int y = 0, m = 0, d = 0;
  auto dot1 = s.find_first_of(".-/");
  if (dot1 == std::string_view::npos) return false;
  auto dot2 = s.find_first_of(".-/", dot1 + 1);
  if (dot2 == std::string_view::npos) return false;
  std::string_view a = s.substr(0, dot1), b = s.substr(dot1 + 1, dot2 - dot1 - 1),
                   c = s.substr(dot2 + 1);
  if (a.size() == 4) {  // yyyy-mm-dd
    if (!ParseUInt(a, y) || !ParseUInt(b, m) || !ParseUInt(c, d)) return false;
  } else {  // dd.mm.yyyy
    if (!ParseUInt(a, d) || !ParseUInt(b, m) || !ParseUInt(c, y)) return false;
  }
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[m - 1] + (m == 2 && leap)) return false;
  days = DaysFromCivil(y, m, d);
  return true;
}

bool ParseTime(std::string_view s, int32_t& ms) {
  s = Trim(s);
  int parts[3] = {0, 0, 0};
  int frac = 0;
  int n = 0;
  size_t pos = 0;
  while (n < 3) {
    size_t end = s.find(':', pos);
    std::string_view p = s.substr(pos, end == std::string_view::npos ? s.npos : end - pos);
    if (n == 2 || end == std::string_view::npos) {
      auto dot = p.find('.');
      if (dot != std::string_view::npos) {
        std::string_view f = p.substr(dot + 1);
        p = p.substr(0, dot);
        if (f.empty() || f.size() > 3 || !ParseUInt(f, frac)) return false;
        for (size_t i = f.size(); i < 3; ++i) frac *= 10;
      }
    }
    if (!ParseUInt(p, parts[n])) return false;
    ++n;
    if (end == std::string_view::npos) break;
    pos = end + 1;
  }
  if (n < 2 || parts[0] > 23 || parts[1] > 59 || parts[2] > 59) return false;
  ms = ((parts[0] * 60 + parts[1]) * 60 + parts[2]) * 1000 + frac;
  return true;
}

bool ParseDateTime(std::string_view s, double& ms) {
  s = Trim(s);
  auto sp = s.find_first_of(" T");
  int32_t days = 0, t = 0;
  if (sp == std::string_view::npos) {
    if (!ParseDate(s, days)) return false;
  } else {
    if (!ParseDate(s.substr(0, sp), days) || !ParseTime(s.substr(sp + 1), t)) return false;
  }
  ms = static_cast<double>(days) * 86400000.0 + t;
  return true;
}

// ---- record bytes ----

namespace codec {

bool IsBlank(const uint8_t* p, int n) {
  for (int i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

int64_t DecodeInt(const uint8_t* p, int n) {
  if (n < 1 || n > 8) return 0;  // no such integer field; callers refuse these headers
  uint64_t u = 0;
  for (int i = 0; i < n; ++i) u = (u << 8) | p[i];
  uint64_t sign = uint64_t{1} << (n * 8 - 1);
  u ^= sign;
  // Sign-extend the n-byte two's complement value.
  if (u & sign) return static_cast<int64_t>(u | ~((sign << 1) - 1));
  return static_cast<int64_t>(u);
}

void EncodeInt(uint8_t* p, int n, int64_t v) {
  uint64_t u = static_cast<uint64_t>(v);
  u ^= uint64_t{1} << (n * 8 - 1);
  for (int i = n - 1; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(u & 0xFF);
    u >>= 8;
  }
}

double DecodeDouble(const uint8_t* p) {
  uint64_t u = 0;
  for (int i = 0; i < 8; ++i) u = (u << 8) | p[i];
  if (u & 0x8000000000000000ull)
    u ^= 0x8000000000000000ull;
  else
    u = ~u;
  double d;
  std::memcpy(&d, &u, 8);
  return d;
}

void EncodeDouble(uint8_t* p, double v) {
  uint64_t u;
  std::memcpy(&u, &v, 8);
  if (u & 0x8000000000000000ull)
    u = ~u;
  else
    u ^= 0x8000000000000000ull;
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(u & 0xFF);
    u >>= 8;
  }
}

std::string DecodeBcd(const uint8_t* p, int decimals) {
  bool negative = (p[0] & 0x80) == 0;
  if (decimals < 0 || decimals > 32) decimals = p[0] & 0x3F;
  if (decimals > 32) decimals = 32;
  std::string digits;
  for (int i = 0; i < 32; ++i) {
    int nib = (p[1 + i / 2] >> (i % 2 ? 0 : 4)) & 0xF;
    if (negative) nib = 15 - nib;
    if (nib > 9) nib = 0;  // digits past what the engine keeps
    digits.push_back(static_cast<char>('0' + nib));
  }
  std::string ip = digits.substr(0, 32 - decimals), fp = digits.substr(32 - decimals);
  while (ip.size() > 1 && ip.front() == '0') ip.erase(0, 1);
  if (ip.empty()) ip = "0";
  while (!fp.empty() && fp.back() == '0') fp.pop_back();
  std::string out = ip;
  if (!fp.empty()) out += "." + fp;
  if (negative && out != "0") out = "-" + out;
  return out;
}

void EncodeBcd(uint8_t* p, int decimals, std::string_view text) {
  std::string_view s = Trim(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  std::string ip, fp;
  bool dot = false;
  for (char c : s) {
    if (c == '.' || c == ',') {
      if (dot) goto bad;
      dot = true;
    } else if (c >= '0' && c <= '9') {
      (dot ? fp : ip).push_back(c);
    } else {
      goto bad;
    }
  }
  if (ip.empty() && fp.empty()) goto bad;
  {
    while (ip.size() > 1 && ip.front() == '0') ip.erase(0, 1);
    if (static_cast<int>(fp.size()) > decimals) fp.resize(decimals);  // truncated like the engine
    while (static_cast<int>(fp.size()) < decimals) fp.push_back('0');
    std::string digits = ip + fp;
    while (digits.size() > 1 && digits.front() == '0') digits.erase(0, 1);
    if (digits.size() > 32) goto bad;
    digits.insert(0, 32 - digits.size(), '0');
    bool zero = digits.find_first_not_of('0') == std::string::npos;
    if (zero) negative = false;
    p[0] = static_cast<uint8_t>((negative ? 0 : 0x80) | 0x40 | decimals);
    for (int i = 0; i < 16; ++i) {
      int hi = digits[2 * i] - '0', lo = digits[2 * i + 1] - '0';
      if (negative) hi = 15 - hi, lo = 15 - lo;
      p[1 + i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return;
  }
bad:
  throw EDBEngineError(EDBEngineError::Kind::kInvalidValue,
                       "'" + std::string(text) + "' is not a valid BCD value");
}

}  // namespace codec
}  // namespace tarvo::db
