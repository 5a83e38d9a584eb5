// Paradox field types, the values the engine hands out (Variant), and the conversion between a
// value and a field's bytes inside a record. Numbers are stored big-endian with the sign bit
// flipped so that the bytes sort like the values; an all-zero field is blank, distinct from zero.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::db {

enum class FieldType : uint8_t {
  kAlpha = 0x01,
  kDate = 0x02,
  kShort = 0x03,
  kLong = 0x04,
  kMoney = 0x05,
  kNumber = 0x06,
  kLogical = 0x09,
  kMemo = 0x0C,
  kBlob = 0x0D,
  kFmtMemo = 0x0E,
  kOle = 0x0F,
  kGraphic = 0x10,
  kTime = 0x14,
  kTimestamp = 0x15,
  kAutoInc = 0x16,
  kBcd = 0x17,
  kBytes = 0x18,
};

bool IsKnownFieldType(uint8_t code);
bool IsBlobType(FieldType t);
// The letter Paradox uses for the type ("A", "D", "S", "I", "$", "N", "L", "M", ...).
std::string FieldTypeLetter(FieldType t);
// Parses a letter (and for A, M, B, F, O, G, Y, # a size after it, "A20", "M10", "#2").
bool ParseFieldTypeSpec(std::string_view shape, FieldType& type, int& size);

// A field value as the callers see it. Dates are days since 0001-01-01 (that day is 1), times
// milliseconds since midnight, timestamps milliseconds since day 0 of the date count.
class Variant {
 public:
  enum class Type { kNull, kBool, kInt, kFloat, kString, kDate, kTime, kDateTime, kBytes };
  Variant() = default;
  static Variant Null() { return Variant(); }
  static Variant Bool(bool b);
  static Variant Int(int64_t v);
  static Variant Float(double v);
  static Variant String(std::string s);
  static Variant Date(int32_t days);
  static Variant Time(int32_t ms);
  static Variant DateTime(double ms);
  static Variant Bytes(std::string b);

  Type type() const { return type_; }
  bool IsNull() const { return type_ == Type::kNull; }
  bool AsBool() const { return i_ != 0; }
  int64_t AsInt() const { return i_; }
  double AsFloat() const { return d_; }
  const std::string& AsStringRef() const { return s_; }
  // Text form, as a field shows it ("" for Null).
  std::string ToText() const;
  bool operator==(const Variant& o) const;

 private:
  Type type_ = Type::kNull;
  int64_t i_ = 0;
  double d_ = 0;
  std::string s_;
};

// Text code page of a table (the header's DOS code page word).
class TextCodec {
 public:
  explicit TextCodec(int code_page = 1252);
  int code_page() const { return code_page_; }
  std::string ToUtf8(std::string_view bytes) const;
  // Throws EDBEngineError(kInvalidValue) when a character has no byte in the code page.
  std::string FromUtf8(std::string_view utf8) const;
  char32_t ByteToChar(uint8_t b) const;

 private:
  int code_page_;
};

// How Alpha keys are ordered: byte order ("ascii") or the language order of the table's sort
// order, which compares letters without regard to case first and breaks ties by the bytes.
// The leading bytes of a field as a number (two words, the first the more significant).
struct LeadingKey {
  uint64_t hi = 0, lo = 0;
  bool operator==(const LeadingKey& o) const { return hi == o.hi && lo == o.lo; }
  bool operator!=(const LeadingKey& o) const { return !(*this == o); }
  bool operator<(const LeadingKey& o) const { return hi != o.hi ? hi < o.hi : lo < o.lo; }
  LeadingKey Reversed() const { return {~hi, ~lo}; }
  // From the first 16 bytes, big-endian, zero after `n`.
  static LeadingKey FromBytes(const uint8_t* p, size_t n) {
    LeadingKey k;
    for (size_t i = 0; i < 8; ++i) k.hi = k.hi << 8 | (i < n ? p[i] : 0);
    for (size_t i = 8; i < 16; ++i) k.lo = k.lo << 8 | (i < n ? p[i] : 0);
    return k;
  }
};

class Collation {
 public:
  Collation() = default;
  Collation(const TextCodec& codec, std::string_view sort_order_name);
  bool byte_order() const { return byte_order_; }
  // Compares two zero-padded Alpha fields of equal length.
  int Compare(const uint8_t* a, const uint8_t* b, size_t n) const;
  // A key of a field's first 16 characters whose order agrees with Compare wherever two keys
  // differ (equal keys decide nothing); all zero for every field when the weights do not allow
  // one.
  LeadingKey Key(const uint8_t* p, size_t n) const;

 private:
  bool byte_order_ = true;
  uint32_t weight_[256] = {};
  uint8_t rank_[256] = {};    // the weights' order in 8 bits: NUL 0, others from 1
  bool leading_keys_ = true;  // only NUL weighs 0
};

struct FieldInfo {
  std::string name;  // UTF-8
  FieldType type = FieldType::kAlpha;
  int size = 0;    // header size byte: Alpha length, blob leader + 10, BCD decimals
  int length = 0;  // bytes in the record
  int offset = 0;  // offset in the record
};

// Length in the record of a field with this type and header size byte.
int FieldStorageLength(FieldType type, int size);

// Calendar helpers for the date count.
int32_t DaysFromCivil(int y, int m, int d);
void CivilFromDays(int32_t days, int& y, int& m, int& d);

namespace codec {
bool IsBlank(const uint8_t* p, int n);
int64_t DecodeInt(const uint8_t* p, int n);  // Short, Long, AutoInc, Date, Time (not blank)
void EncodeInt(uint8_t* p, int n, int64_t v);
double DecodeDouble(const uint8_t* p);
void EncodeDouble(uint8_t* p, double v);
// BCD: 17 bytes, `decimals` digits after the point. Returns the decimal text ("-12.50").
std::string DecodeBcd(const uint8_t* p, int decimals);
// Throws EDBEngineError(kInvalidValue) when the text is not a number that fits.
void EncodeBcd(uint8_t* p, int decimals, std::string_view text);
}  // namespace codec

// Text forms of dates and times ("dd.mm.yyyy", "hh:mm:ss", both for a timestamp).
std::string FormatDate(int32_t days);
std::string FormatTime(int32_t ms);
std::string FormatDateTime(double ms);
std::string FormatNumber(double v);
bool ParseDate(std::string_view s, int32_t& days);
bool ParseTime(std::string_view s, int32_t& ms);
bool ParseDateTime(std::string_view s, double& ms);
bool ParseNumber(std::string_view s, double& v);
bool ParseInteger(std::string_view s, int64_t& v);

}  // namespace tarvo::db
