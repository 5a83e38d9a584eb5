// tarvo-table: Paradox tables for people and for black-box tests.
//   tarvo-table schema TABLE
//   tarvo-table dump [--filter EXPR] [--index NAME] [--tsv] TABLE
//   tarvo-table append TABLE FIELD=VALUE...
//   tarvo-table delete --where FIELD=VALUE TABLE
//   tarvo-table empty TABLE
//   tarvo-table create [--key N] [--codepage CP] [--block KIB] [--index NAME=F1,F2]
//                      [--single FIELD] TABLE NAME:TYPE...
//   tarvo-table check TABLE
// Exit status: 0 done, 1 a failed check or a failed operation, 2 the table cannot be opened,
// 3 bad usage.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "db/db_error.h"
#include "db/px_table.h"
#include "db/ttable.h"
#include "platform/services.h"
#include "text/codepage.h"
#include "tools/command_line.h"

using namespace tarvo;
using db::EDBEngineError;

namespace {

int Usage() {
  std::cerr << "usage: tarvo-table COMMAND [OPTIONS] TABLE [ARGS]\n"
               "  schema TABLE\n"
               "  dump [--filter EXPR] [--index NAME] [--tsv] TABLE\n"
               "  append TABLE FIELD=VALUE...\n"
               "  delete --where FIELD=VALUE TABLE\n"
               "  empty TABLE\n"
               "  create [--key N] [--codepage CP] [--block KIB] [--index NAME=F1,F2]"
               " [--single FIELD] TABLE NAME:TYPE...\n"
               "  check TABLE\n";
  return 3;
}

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out = "0x";
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

std::string Shown(db::TField& f) {
  if (f.IsNull()) return "";
  switch (f.DataType()) {
    case db::FieldType::kBytes:
    case db::FieldType::kBlob:
    case db::FieldType::kFmtMemo:
    case db::FieldType::kOle:
    case db::FieldType::kGraphic:
      return Hex(f.AsVariant().AsStringRef());
    default:
      return f.AsString();
  }
}

bool OpenFailed(const EDBEngineError& e) {
  using K = EDBEngineError::Kind;
  return e.kind() == K::kMissingFile || e.kind() == K::kInUse || e.kind() == K::kDamaged ||
         e.kind() == K::kUnsupported || e.kind() == K::kIo;
}

int Schema(platform::FileSystem& fs, const std::string& path) {
  db::TTable t(fs, "table");
  t.SetTableName(path);
  t.Open();
  db::PxTable& d = t.Data();
  std::cout << "table " << path << "\n";
  std::cout << "version " << d.version_id() << ", code page " << d.code_page() << ", sort order "
            << d.sort_order() << ", block size " << d.block_size() << "\n";
  std::cout << "records " << d.size() << "\n";
  std::cout << "fields\n";
  for (size_t i = 0; i < d.fields().size(); ++i) {
    const db::FieldInfo& f = d.fields()[i];
    int size = db::IsBlobType(f.type) ? f.size - 10 : f.size;
    bool sized = f.type == db::FieldType::kAlpha || f.type == db::FieldType::kBytes ||
                 f.type == db::FieldType::kBcd || db::IsBlobType(f.type);
    std::cout << "  " << i << "\t" << f.name << "\t" << db::FieldTypeLetter(f.type)
              << (sized ? std::to_string(size) : "")
              << (static_cast<int>(i) < d.key_fields() ? "\t*" : "") << "\n";
  }
  std::cout << "key fields " << d.key_fields()
            << (d.keyed() && !d.primary_index_present() ? " (primary index missing)" : "") << "\n";
  for (auto& ix : d.indexes()) {
    std::cout << "index " << ix.name << "\t" << (ix.composite ? "composite" : "single") << "\t"
              << (ix.maintained ? "maintained" : "not maintained") << "\t";
    for (size_t i = 0; i < ix.fields.size(); ++i)
      std::cout << (i ? "," : "") << d.fields()[ix.fields[i]].name
                << (ix.descending[i] ? " desc" : "");
    std::cout << "\n";
  }
  t.Close();
  return 0;
}

int Dump(platform::FileSystem& fs, const std::string& path, const std::string& filter,
         const std::string& index, bool tsv) {
  db::TTable t(fs, "table");
  t.SetTableName(path);
  t.SetIndexName(index);
  t.Open();
  if (!filter.empty()) {
    t.SetFilter(filter);
    t.SetFiltered(true);
  }
  const char* sep = tsv ? "\t" : " | ";
  for (int i = 0; i < t.FieldCount(); ++i) std::cout << (i ? sep : "") << t.Fields(i).FieldName();
  std::cout << "\n";
  for (t.First(); !t.Eof(); t.Next()) {
    for (int i = 0; i < t.FieldCount(); ++i)
      std::cout << (i ? sep : "") << (tsv ? Escape(Shown(t.Fields(i))) : Shown(t.Fields(i)));
    std::cout << "\n";
  }
  t.Close();
  return 0;
}

int Append(platform::FileSystem& fs, const std::string& path, const std::vector<std::string>& kv) {
  db::TTable t(fs, "table");
  t.SetTableName(path);
  t.Open();
  t.Append();
  for (auto& a : kv) {
    auto eq = a.find('=');
    if (eq == std::string::npos) {
      std::cerr << "tarvo-table: expected FIELD=VALUE, got " << a << "\n";
      return 3;
    }
    t.FieldByName(a.substr(0, eq)).SetAsString(a.substr(eq + 1));
  }
  t.Post();
  t.Close();
  return 0;
}

int Delete(platform::FileSystem& fs, const std::string& path, const std::string& where) {
  auto eq = where.find('=');
  if (eq == std::string::npos) return Usage();
  std::string field = where.substr(0, eq), value = where.substr(eq + 1);
  db::TTable t(fs, "table");
  t.SetTableName(path);
  t.Open();
  db::TField& f = t.FieldByName(field);
  int n = 0;
  t.First();
  while (!t.Eof()) {
    if (f.AsString() == value) {
      // The cursor moves to the record that followed, or to the new last one (already
      // examined); the end is reached only when no record is left.
      t.Delete();
      ++n;
      continue;
    }
    t.Next();
  }
  t.Close();
  std::cout << n << " record(s) deleted\n";
  return 0;
}

int Check(platform::FileSystem& fs, const std::string& path) {
  auto t = db::PxTable::Open(fs, path, db::PxTable::Mode::kRead);
  auto problems = t->Check();
  std::cout << path << ": " << t->size() << " records\n";
  for (auto& p : problems) std::cout << "problem: " << p << "\n";
  t->Close();
  if (problems.empty()) std::cout << "ok\n";
  return problems.empty() ? 0 : 1;
}

int Create(platform::FileSystem& fs, const std::vector<std::string>& args, size_t at) {
  db::TableSpec shape;
  while (at < args.size() && args[at].rfind("--", 0) == 0) {
    const std::string& o = args[at];
    if (at + 1 >= args.size()) return Usage();
    const std::string& v = args[at + 1];
    if (o == "--key") {
      shape.key_fields = std::stoi(v);
    } else if (o == "--codepage") {
      shape.code_page = std::stoi(v);
    } else if (o == "--block") {
      shape.block_size_kb = std::stoi(v);
    } else if (o == "--sort") {
      shape.sort_order = v;
    } else if (o == "--index") {
      auto eq = v.find('=');
      if (eq == std::string::npos) return Usage();
      db::IndexSpec is;
      is.name = v.substr(0, eq);
      std::stringstream ss(v.substr(eq + 1));
      for (std::string f; std::getline(ss, f, ',');) is.fields.push_back(f);
      shape.indexes.push_back(is);
    } else if (o == "--single") {
      db::IndexSpec is;
      is.fields.push_back(v);
      shape.indexes.push_back(is);
    } else {
      return Usage();
    }
    at += 2;
  }
  if (at >= args.size()) return Usage();
  std::string path = args[at++];
  for (; at < args.size(); ++at) {
    auto colon = args[at].rfind(':');
    if (colon == std::string::npos) return Usage();
    db::FieldSpec f;
    f.name = args[at].substr(0, colon);
    int size = 0;
    if (!db::ParseFieldTypeSpec(args[at].substr(colon + 1), f.type, size)) {
      std::cerr << "tarvo-table: bad field type " << args[at] << "\n";
      return 3;
    }
    f.size = db::IsBlobType(f.type) ? size - 10 : size;
    shape.fields.push_back(f);
  }
  db::PxTable::Create(fs, path, shape);
  return 0;
}

}  // namespace

namespace {

// The arguments after the program's name, in UTF-8.
int Main(const std::vector<std::string>& args) {
  if (args.empty()) return Usage();
  auto services = platform::MakeSystemServices();
  platform::FileSystem& fs = *services.fs;
  const std::string cmd = args[0];
  try {
    if (cmd == "create") return Create(fs, args, 1);
    std::string filter, index, where;
    bool tsv = false;
    size_t at = 1;
    while (at < args.size() && args[at].rfind("--", 0) == 0) {
      const std::string& o = args[at];
      if (o == "--tsv") {
        tsv = true;
        ++at;
        continue;
      }
      if (at + 1 >= args.size()) return Usage();
      if (o == "--filter")
        filter = args[at + 1];
      else if (o == "--index")
        index = args[at + 1];
      else if (o == "--where")
        where = args[at + 1];
      else
        return Usage();
      at += 2;
    }
    if (at >= args.size()) return Usage();
    const std::string path = args[at++];
    std::vector<std::string> rest(args.begin() + at, args.end());
    if (cmd == "schema" && rest.empty()) return Schema(fs, path);
    if (cmd == "dump" && rest.empty()) return Dump(fs, path, filter, index, tsv);
    if (cmd == "append") return Append(fs, path, rest);
    if (cmd == "delete" && !where.empty() && rest.empty()) return Delete(fs, path, where);
    if (cmd == "empty" && rest.empty()) {
      db::TTable t(fs, "table");
      t.SetTableName(path);
      t.EmptyTable();
      return 0;
    }
    if (cmd == "check" && rest.empty()) return Check(fs, path);
    return Usage();
  } catch (const EDBEngineError& e) {
    std::cerr << "tarvo-table: " << e.what() << "\n";
    return OpenFailed(e) ? 2 : 1;
  } catch (const std::exception& e) {
    std::cerr << "tarvo-table: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace

int tarvo::tools::ToolMain(const std::vector<std::string>& argv) {
  return Main(argv.empty() ? argv : std::vector<std::string>(argv.begin() + 1, argv.end()));
}
