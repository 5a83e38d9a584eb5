// Creating a new table family.
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

namespace {

const char kHex[] = "0123456789ABCDEF";

[[noreturn]] void CannotCreate(const std::string& path, const std::string& what) {
  throw EDBEngineError(Kind::kInvalidValue, "Cannot create " + path + ": " + what);
}

// The header's size byte of a new field: the size asked for where the type takes one, else the
// type's fixed size.
int HeaderSize(const std::string& path, const FieldSpec& s) {
  switch (s.type) {
    case FieldType::kAlpha:
    case FieldType::kBytes:
      if (s.size < 1 || s.size > 255)
        CannotCreate(path, "field '" + s.name + "' needs a size of 1 to 255");
      return s.size;
    case FieldType::kBcd:
      if (s.size < 0 || s.size > 32)
        CannotCreate(path, "BCD field '" + s.name + "' takes 0 to 32 decimals");
      return s.size;
    case FieldType::kMemo:
    case FieldType::kBlob:
    case FieldType::kFmtMemo:
    case FieldType::kOle:
    case FieldType::kGraphic:
      if (s.size < (s.type == FieldType::kMemo ? 1 : 0) || s.size > 240)
        CannotCreate(path, "blob field '" + s.name + "' takes a leader of up to 240 bytes");
      return s.size + 10;
    case FieldType::kShort:
      return 2;
    case FieldType::kLogical:
      return 1;
    case FieldType::kNumber:
    case FieldType::kMoney:
    case FieldType::kTimestamp:
      return 8;
    default:
      return 4;
  }
}

// The new table's fields laid out in the record, with their names in the table's code page.
struct FieldLayout {
  std::vector<FieldInfo> infos;
  std::vector<std::string> raw_names;
  int record_length = 0;
};

FieldLayout LayOutFields(const std::string& path, const TableSpec& shape, const TextCodec& codec) {
  FieldLayout layout;
  for (size_t i = 0; i < shape.fields.size(); ++i) {
    const FieldSpec& s = shape.fields[i];
    if (s.name.empty()) CannotCreate(path, "a field without a name");
    for (size_t j = 0; j < i; ++j)
      if (text::EqualsIgnoreCase(shape.fields[j].name, s.name))
        CannotCreate(path, "field '" + s.name + "' twice");
    FieldInfo f;
    f.name = s.name;
    f.type = s.type;
    f.size = HeaderSize(path, s);
    if (static_cast<int>(i) < shape.key_fields &&
        (IsBlobType(f.type) || f.type == FieldType::kBytes))
      CannotCreate(path, "field '" + s.name + "' cannot be in the key");
    f.length = FieldStorageLength(f.type, f.size);
    f.offset = layout.record_length;
    layout.record_length += f.length;
    layout.infos.push_back(f);
    layout.raw_names.push_back(codec.FromUtf8(s.name));
    if (layout.raw_names.back().size() > 25)
      CannotCreate(path, "field name '" + s.name + "' is longer than 25");
  }
  return layout;
}

// The fields of a secondary index's records: the indexed fields, then what leads back to the
// table's record (its key and block number, or record and block numbers for a table without one).
struct IndexFields {
  std::vector<FieldInfo> infos;
  std::vector<std::string> raw_names;
  std::vector<uint16_t> numbers;
};

IndexFields SecondaryIndexFields(const std::string& path, const IndexSpec& is,
                                 const FieldLayout& table, int key_fields) {
  if (is.fields.empty()) CannotCreate(path, "an index without fields");
  IndexFields x;
  for (auto& name : is.fields) {
    int fi = -1;
    for (size_t i = 0; i < table.infos.size(); ++i)
      if (text::EqualsIgnoreCase(table.infos[i].name, name)) fi = static_cast<int>(i);
    if (fi < 0) CannotCreate(path, "index field '" + name + "' is not a field");
    if (IsBlobType(table.infos[fi].type))
      CannotCreate(path, "blob field '" + name + "' in an index");
    x.infos.push_back(table.infos[fi]);
    x.raw_names.push_back(table.raw_names[fi]);
    x.numbers.push_back(static_cast<uint16_t>(fi + 1) | (is.descending ? 0x8000 : 0));
  }
  auto add = [&](FieldType t, int size, const std::string& n) {
    FieldInfo f;
    f.type = t;
    f.size = size;
    f.length = FieldStorageLength(t, size);
    x.infos.push_back(f);
    x.raw_names.push_back(n);
    x.numbers.push_back(static_cast<uint16_t>(x.infos.size()));
  };
  if (key_fields > 0) {
    for (int k = 0; k < key_fields; ++k) {
      x.infos.push_back(table.infos[k]);
      x.raw_names.push_back(table.raw_names[k]);
      x.numbers.push_back(static_cast<uint16_t>(x.infos.size()));
    }
    add(FieldType::kShort, 2, "Blk Num");
  } else {
    add(FieldType::kLong, 4, "Tup No");
    add(FieldType::kShort, 2, "Blk Num");
    add(FieldType::kShort, 2, "Tup Offset");
  }
  return x;
}

}  // namespace

void PxTable::Create(platform::FileSystem& fs, const std::string& path, const TableSpec& shape) {
  if (shape.fields.empty() || shape.fields.size() > 255)
    CannotCreate(path, "a table has 1 to 255 fields");
  if (shape.key_fields < 0 || shape.key_fields > static_cast<int>(shape.fields.size()))
    CannotCreate(path, "more key fields than fields");
  int bcode = shape.block_size_kb;
  if (!ValidBlockCode(bcode)) CannotCreate(path, "block size must be 1, 2, 3, 4, 8, 16 or 32 KiB");
  if (fs.FileExists(path)) CannotCreate(path, "the table exists");
  TextCodec codec(shape.code_page);
  const FieldLayout table = LayOutFields(path, shape, codec);
  const std::vector<FieldInfo>& infos = table.infos;
  if (table.record_length + 6 > bcode * 1024) CannotCreate(path, "records do not fit in a block");
  std::string sort =
      shape.sort_order.empty() ? DefaultSortOrder(shape.code_page) : shape.sort_order;
  uint8_t sort_byte = SortOrderByte(sort);
  std::vector<uint16_t> numbers;
  for (size_t i = 0; i < infos.size(); ++i) numbers.push_back(static_cast<uint16_t>(i + 1));
  std::string base = BaseOf(path);
  std::string stem = StemOf(path);
  auto db = MakeDataHeader(shape.key_fields > 0 ? 0 : 2, bcode, infos, table.raw_names, numbers,
                           shape.key_fields, shape.code_page, sort, sort_byte,
                           base + path.substr(stem.size()), "", 0, 0);
  try {
    WriteFile(fs, path, db);
    if (shape.key_fields > 0) {
      std::vector<FieldInfo> key(infos.begin(), infos.begin() + shape.key_fields);
      auto px = MakeTreeHeader(1, key, sort_byte, base + ".PX", db[0x39]);
      px[0x2C] = db[0x2D];
      WriteFile(fs, stem + ".PX", px);
    }
    bool blobs =
        std::any_of(infos.begin(), infos.end(), [](auto& f) { return IsBlobType(f.type); });
    if (blobs) WriteFile(fs, stem + ".MB", MakeMbHeader());
    int composite_no = 0;
    for (const IndexSpec& is : shape.indexes) {
      IndexFields x = SecondaryIndexFields(path, is, table, shape.key_fields);
      const std::vector<FieldInfo>& xf = x.infos;
      const std::vector<uint16_t>& xnum = x.numbers;
      int x_keys = static_cast<int>(xf.size()) - 1;
      bool composite = !is.name.empty() || is.fields.size() > 1;
      std::string suffix;
      if (composite) {
        if (composite_no > 15) CannotCreate(path, "more than 16 composite indexes");
        suffix = std::string("G") + kHex[composite_no++];
      } else {
        int fno = static_cast<int>(xnum[0] & 0x7FFF);
        suffix = std::string() + kHex[fno >> 4] + kHex[fno & 15];
      }
      int xtype = composite ? (is.maintained ? 8 : 6) : (is.maintained ? 5 : 3);
      // 0x15 names the table field of a single-field index and the first field of a composite
      // one (db_CUSTOMER.X06: 6; db_AREACODES.XG0: 2, its first field State).
      auto xh = MakeDataHeader(xtype, bcode, xf, x.raw_names, xnum, x_keys, shape.code_page, sort,
                               sort_byte, base + ".X" + suffix, composite ? is.name : "",
                               is.descending ? 0x11
                               : composite   ? 0x01
                                             : 0x00,
                               static_cast<int>(xnum[0] & 0x7FFF));
      xh[0x2C] = 0xFF;  // in every ".X" sample
      xh[0x2E] = db[0x2E];
      xh[0x2F] = db[0x2D];
      WriteFile(fs, stem + ".X" + suffix, xh);
      std::vector<FieldInfo> ykey(xf.begin(), xf.begin() + x_keys);
      auto yh = MakeTreeHeader(composite ? 7 : 4, ykey, sort_byte, base + ".Y" + suffix, db[0x39]);
      yh[0x2C] = xh[0x2D];
      WriteFile(fs, stem + ".Y" + suffix, yh);
    }
  } catch (const platform::PlatformError& e) {
    throw FromPlatform(e, path);
  }
}

}  // namespace tarvo::db
