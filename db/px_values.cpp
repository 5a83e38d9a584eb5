// Field values of records: reading, converting and storing them.
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

bool PxTable::IsBlank(const uint8_t* rec, int field) const {
  const FieldInfo& f = fields_[field];
  if (IsBlobType(f.type)) {
    const uint8_t* d = rec + f.offset + f.length - 10;
    return Get32(d + 4) == 0;
  }
  return codec::IsBlank(rec + f.offset, f.length);
}

Variant PxTable::GetValue(const uint8_t* rec, int field) const {
  const FieldInfo& f = fields_[field];
  const uint8_t* p = rec + f.offset;
  if (IsBlank(rec, field)) return Variant::Null();
  // A damaged header may give a fixed-size type fewer bytes than it needs.
  const int needed =
      f.type == FieldType::kTimestamp || f.type == FieldType::kNumber || f.type == FieldType::kMoney
          ? 8
      : f.type == FieldType::kDate || f.type == FieldType::kTime ? 4
      : f.type == FieldType::kLogical                            ? 1
                                                                 : 0;
  const bool integer =
      f.type == FieldType::kShort || f.type == FieldType::kLong || f.type == FieldType::kAutoInc;
  if (f.length < needed || (integer && (f.length < 1 || f.length > 8))) {
    throw EDBEngineError(EDBEngineError::Kind::kDamaged,
                         "Corrupt table: field " + std::to_string(field + 1) + " is too short");
  }
  switch (f.type) {
    case FieldType::kAlpha: {
      size_t n = 0;
      while (n < static_cast<size_t>(f.length) && p[n]) ++n;
      return Variant::String(codec_.ToUtf8(std::string_view(reinterpret_cast<const char*>(p), n)));
    }
    case FieldType::kShort:
    case FieldType::kLong:
    case FieldType::kAutoInc:
      return Variant::Int(codec::DecodeInt(p, f.length));
    case FieldType::kDate:
      return Variant::Date(static_cast<int32_t>(codec::DecodeInt(p, 4)));
    case FieldType::kTime:
      return Variant::Time(static_cast<int32_t>(codec::DecodeInt(p, 4)));
    case FieldType::kTimestamp:
      return Variant::DateTime(codec::DecodeDouble(p));
    case FieldType::kNumber:
    case FieldType::kMoney:
      return Variant::Float(codec::DecodeDouble(p));
    case FieldType::kLogical:
      return Variant::Bool((p[0] & 0x7F) != 0);
    case FieldType::kBcd: {
      double v = 0;
      ParseNumber(codec::DecodeBcd(p, f.size), v);
      return Variant::Float(v);
    }
    case FieldType::kBytes:
      return Variant::Bytes(std::string(reinterpret_cast<const char*>(p), f.length));
    case FieldType::kMemo: {
      std::string b = ReadBlob(p, f.length - 10);
      return Variant::String(codec_.ToUtf8(b));
    }
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      return Variant::Bytes(ReadBlob(p, f.length - 10));
  }
  return Variant::Null();
}

std::string PxTable::GetText(const uint8_t* rec, int field) const {
  const FieldInfo& f = fields_[field];
  if (f.type == FieldType::kBcd && !IsBlank(rec, field))
    return codec::DecodeBcd(rec + f.offset, f.size);
  return GetValue(rec, field).ToText();
}

namespace {

[[noreturn]] void BadValue(const FieldInfo& f, const std::string& what) {
  throw EDBEngineError(Kind::kInvalidValue,
                       "'" + what + "' is not a valid value for field '" + f.name + "'");
}

// Delphi's date values count days from 1899-12-30.
constexpr int32_t kDelphiEpoch = 693594;

int64_t ToInteger(const FieldInfo& f, const Variant& v) {
  switch (v.type()) {
    case Variant::Type::kBool:
      return v.AsBool() ? 1 : 0;
    case Variant::Type::kInt:
      return v.AsInt();
    case Variant::Type::kFloat: {
      double d = v.AsFloat();
      if (!std::isfinite(d) || std::fabs(d) > 9e18) BadValue(f, v.ToText());
      return std::llround(d);
    }
    case Variant::Type::kString: {
      int64_t i;
      if (ParseInteger(v.AsStringRef(), i)) return i;
      BadValue(f, v.AsStringRef());
    }
    default:
      BadValue(f, v.ToText());
  }
}

double ToDouble(const FieldInfo& f, const Variant& v) {
  switch (v.type()) {
    case Variant::Type::kBool:
      return v.AsBool() ? 1 : 0;
    case Variant::Type::kInt:
      return static_cast<double>(v.AsInt());
    case Variant::Type::kFloat:
      if (!std::isfinite(v.AsFloat())) BadValue(f, v.ToText());
      return v.AsFloat();
    case Variant::Type::kString: {
      double d;
      if (ParseNumber(v.AsStringRef(), d)) return d;
      BadValue(f, v.AsStringRef());
    }
    default:
      BadValue(f, v.ToText());
  }
}

bool ToLogical(const FieldInfo& f, const Variant& v) {
  if (v.type() != Variant::Type::kString) return ToInteger(f, v) != 0;
  std::string s = text::ToUpperUtf8(v.AsStringRef());
  if (s == "TRUE" || s == "T" || s == "YES" || s == "Y" || s == "1" || s == "ДА") return true;
  if (s == "FALSE" || s == "F" || s == "NO" || s == "N" || s == "0" || s == "НЕТ") return false;
  BadValue(f, v.AsStringRef());
}

// Days since 0001-01-01 as a date field stores them.
int32_t ToDays(const FieldInfo& f, const Variant& v) {
  int32_t days = 0;
  switch (v.type()) {
    case Variant::Type::kDate:
      days = static_cast<int32_t>(v.AsInt());
      break;
    case Variant::Type::kDateTime:
      days = static_cast<int32_t>(std::floor(v.AsFloat() / 86400000.0));
      break;
    case Variant::Type::kString:
      if (!ParseDate(v.AsStringRef(), days)) BadValue(f, v.AsStringRef());
      break;
    case Variant::Type::kInt:
    case Variant::Type::kFloat: {
      double d = ToDouble(f, v);
      if (d < -693593 || d > 2958465) BadValue(f, v.ToText());
      days = static_cast<int32_t>(std::floor(d)) + kDelphiEpoch;
      break;
    }
    default:
      BadValue(f, v.ToText());
  }
  if (days <= 0 || days > 3652059) BadValue(f, v.ToText());
  return days;
}

// Milliseconds since midnight as a time field stores them.
int32_t ToMilliseconds(const FieldInfo& f, const Variant& v) {
  int32_t ms = 0;
  switch (v.type()) {
    case Variant::Type::kTime:
      ms = static_cast<int32_t>(v.AsInt());
      break;
    case Variant::Type::kDateTime:
      ms = static_cast<int32_t>(std::fmod(v.AsFloat(), 86400000.0));
      break;
    case Variant::Type::kString:
      if (!ParseTime(v.AsStringRef(), ms)) BadValue(f, v.AsStringRef());
      break;
    case Variant::Type::kFloat: {
      double d = v.AsFloat();
      if (!std::isfinite(d)) BadValue(f, v.ToText());
      ms = static_cast<int32_t>(std::llround((d - std::floor(d)) * 86400000.0)) % 86400000;
      break;
    }
    default:
      BadValue(f, v.ToText());
  }
  if (ms < 0 || ms >= 86400000) BadValue(f, v.ToText());
  return ms;
}

// Milliseconds since 0001-01-01 as a timestamp field stores them.
double ToTimestamp(const FieldInfo& f, const Variant& v) {
  double ms = 0;
  switch (v.type()) {
    case Variant::Type::kDateTime:
      ms = v.AsFloat();
      break;
    case Variant::Type::kDate:
      ms = static_cast<double>(v.AsInt()) * 86400000.0;
      break;
    case Variant::Type::kString:
      if (!ParseDateTime(v.AsStringRef(), ms)) BadValue(f, v.AsStringRef());
      break;
    case Variant::Type::kInt:
    case Variant::Type::kFloat: {
      double d = ToDouble(f, v);
      if (d < -693593 || d > 2958466) BadValue(f, v.ToText());
      ms = (d + kDelphiEpoch) * 86400000.0;
      break;
    }
    default:
      BadValue(f, v.ToText());
  }
  if (!(ms > 0) || !std::isfinite(ms)) BadValue(f, v.ToText());
  return ms;
}

}  // namespace

void PxTable::SetValue(std::string& rec, int field, const Variant& v) {
  const FieldInfo& f = fields_[field];
  uint8_t* p = reinterpret_cast<uint8_t*>(rec.data()) + f.offset;
  if (v.IsNull()) {
    std::memset(p, 0, f.length);
    return;
  }
  switch (f.type) {
    case FieldType::kAlpha: {
      std::string bytes =
          codec_.FromUtf8(v.type() == Variant::Type::kString ? v.AsStringRef() : v.ToText());
      if (bytes.find('\0') != std::string::npos) BadValue(f, "text with a NUL character");
      if (bytes.size() > static_cast<size_t>(f.length)) bytes.resize(f.length);
      std::memset(p, 0, f.length);
      std::memcpy(p, bytes.data(), bytes.size());
      return;
    }
    case FieldType::kShort:
    case FieldType::kLong:
    case FieldType::kAutoInc: {
      int64_t i = ToInteger(f, v);
      int64_t lim = f.length == 2 ? 32767 : 2147483647;
      if (i > lim || i < -lim) BadValue(f, std::to_string(i));
      codec::EncodeInt(p, f.length, i);
      return;
    }
    case FieldType::kNumber:
    case FieldType::kMoney:
      codec::EncodeDouble(p, ToDouble(f, v));
      return;
    case FieldType::kLogical:
      p[0] = ToLogical(f, v) ? 0x81 : 0x80;
      return;
    case FieldType::kDate:
      codec::EncodeInt(p, 4, ToDays(f, v));
      return;
    case FieldType::kTime:
      codec::EncodeInt(p, 4, ToMilliseconds(f, v));
      return;
    case FieldType::kTimestamp:
      codec::EncodeDouble(p, ToTimestamp(f, v));
      return;
    case FieldType::kBcd: {
      std::string t = v.type() == Variant::Type::kString ? v.AsStringRef() : v.ToText();
      if (v.type() == Variant::Type::kFloat) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", f.size, v.AsFloat());
        t = buf;
      }
      codec::EncodeBcd(p, f.size, t);
      return;
    }
    case FieldType::kBytes: {
      const std::string& s = v.type() == Variant::Type::kBytes || v.type() == Variant::Type::kString
                                 ? v.AsStringRef()
                                 : v.ToText();
      std::memset(p, 0, f.length);
      std::memcpy(p, s.data(), std::min<size_t>(s.size(), f.length));
      return;
    }
    case FieldType::kMemo: {
      std::string t = v.type() == Variant::Type::kString ? v.AsStringRef() : v.ToText();
      RequireWritable();
      WriteBlob(p, f.length - 10, codec_.FromUtf8(t));
      return;
    }
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic: {
      RequireWritable();
      const std::string& s = v.type() == Variant::Type::kBytes || v.type() == Variant::Type::kString
                                 ? v.AsStringRef()
                                 : v.ToText();
      WriteBlob(p, f.length - 10, s);
      return;
    }
  }
}

void PxTable::SetText(std::string& rec, int field, std::string_view text) {
  if (text.empty()) {
    SetValue(rec, field, Variant::Null());
    return;
  }
  SetValue(rec, field, Variant::String(std::string(text)));
}

bool PxTable::CopyAlike(uint8_t* to, int field, const PxTable& source, const uint8_t* rec,
                        int source_field) const {
  const FieldInfo& f = fields_[field];
  const FieldInfo& g = source.fields_[source_field];
  if (f.type != g.type || f.length != g.length) return false;
  const uint8_t* p = rec + g.offset;
  switch (f.type) {
    case FieldType::kAlpha: {
      // What a conversion through text gives: the bytes up to the first NUL, the rest zero.
      if (codec_.code_page() != source.codec_.code_page()) return false;
      size_t n = 0;
      while (n < static_cast<size_t>(f.length) && p[n]) ++n;
      std::memcpy(to, p, n);
      std::memset(to + n, 0, f.length - n);
      return true;
    }
    case FieldType::kShort:
    case FieldType::kLong:
    case FieldType::kDate:
    case FieldType::kTime: {
      if (f.length < 1 || f.length > 8) return false;
      if (codec::IsBlank(p, f.length)) break;
      // Only values the conversion keeps as they are; others take the usual way and its
      // message.
      const int64_t i = codec::DecodeInt(p, f.length);
      const bool sound = f.type == FieldType::kDate   ? f.length == 4 && i > 0 && i <= 3652059
                         : f.type == FieldType::kTime ? f.length == 4 && i >= 0 && i < 86400000
                         : f.length == 2              ? i >= -32767 && i <= 32767
                                                      : i >= -2147483647 && i <= 2147483647;
      uint8_t again[8];
      codec::EncodeInt(again, f.length, i);
      if (!sound || std::memcmp(again, p, f.length) != 0) return false;
      break;
    }
    case FieldType::kNumber:
    case FieldType::kMoney:
    case FieldType::kTimestamp: {
      if (f.length != 8) return false;
      if (codec::IsBlank(p, f.length)) break;
      const double d = codec::DecodeDouble(p);
      uint8_t again[8];
      codec::EncodeDouble(again, d);
      if (!std::isfinite(d) || (f.type == FieldType::kTimestamp && !(d > 0)) ||
          std::memcmp(again, p, 8) != 0)
        return false;
      break;
    }
    case FieldType::kBytes:
      break;
    default:
      return false;  // blobs, logical, BCD, autoincrement: converted
  }
  std::memcpy(to, p, f.length);
  return true;
}

bool PxTable::AssignAlike(std::string& rec, int field, const PxTable& source,
                          const uint8_t* source_rec, int source_field) {
  const FieldInfo& f = fields_[field];
  const FieldInfo& g = source.fields_[source_field];
  uint8_t* to = reinterpret_cast<uint8_t*>(rec.data()) + f.offset;
  if (!IsBlobType(f.type)) return CopyAlike(to, field, source, source_rec, source_field);
  if (f.type != g.type || f.length != g.length) return false;
  if (f.type == FieldType::kMemo && codec_.code_page() != source.codec_.code_page()) return false;
  // The blob's bytes as they are: no text round trip.
  const uint8_t* p = source_rec + g.offset;
  if (source.IsBlank(source_rec, source_field)) {
    std::memset(to, 0, f.length);
    return true;
  }
  RequireWritable();
  WriteBlob(to, f.length - 10, source.ReadBlob(p, g.length - 10));
  return true;
}

std::string PxTable::EncodeField(int field, const Variant& v) {
  const FieldInfo& f = fields_[field];
  std::string rec = BlankRecord();
  if (!IsBlobType(f.type)) SetValue(rec, field, v);
  return rec.substr(f.offset, f.length);
}

}  // namespace tarvo::db
