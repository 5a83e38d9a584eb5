#include "install/user_data.h"

#include <cmath>
#include <exception>
#include <utility>
#include <vector>

#include "platform/best_effort.h"

namespace tarvo::install {
namespace {

using db::TField;

// Master fields carried by name; ID and UKOD are optional in older databases.
const char* const kMasterFields[] = {
    "ID",      "OBOSN", "UKOD", "NAIMR",  "EI",     "TRUD",  "OSN_ZARPL",
    "MEX",     "ZARM",  "MAT",  "MT_TR",  "TRUDO",  "TRUD2", "OSN_ZARPL2",
    "MEX2",    "ZARM2", "MAT2", "MT_TR2", "TRUDO2", "TRUD3", "OSN_ZARPL3",
    "MEX3",    "ZARM3", "MAT3", "MT_TR3", "TRUDO3", "ZU",    "NOBOSN",
    "NOBOSN2", "CENF",  "YEAR", "KOF",    "MT_OPT"};

bool Optional(const std::string& name) { return name == "ID" || name == "UKOD"; }

void CopyDetailRows(db::TTable& src, db::TTable& dst) {
  const int n = src.FieldCount();
  while (!src.Eof()) {
    dst.Append();
    // Ordinal 0 is the row's own key; the link field comes from the master at append.
    for (int i = 1; i < n; ++i) dst.Fields(i).AssignValue(src.Fields(i));
    dst.Post();
    src.Next();
  }
}

// Switches an activity label off when the scope ends, also on an error.
class ActivityScope {
 public:
  ActivityScope(MainWindowOps& w, Activity a) : w_(w), a_(a) { w_.SetActivity(a_, true); }
  ~ActivityScope() { w_.SetActivity(a_, false); }
  ActivityScope(const ActivityScope&) = delete;
  ActivityScope& operator=(const ActivityScope&) = delete;

 private:
  MainWindowOps& w_;
  Activity a_;
};

// Closes all eight record tables, product tables first; an error of the work itself wins over
// one raised while closing.
void CloseRecordTables(db::TableCatalogue& t) {
  db::CloseTables({&t.Tb_Base8491, &t.Tb_link8491, &t.Tb_link_mex, &t.Tb_w_list, &t.Table1,
                   &t.Table2, &t.Table3, &t.Table4});
}

template <typename Work>
void WithRecordTables(db::TableCatalogue& t, Work work, bool unfilter) {
  try {
    work();
  } catch (...) {
    platform::BestEffort("the work's own error is the one reported", [&] {
      if (unfilter) t.Tb_Base8491.SetFiltered(false);
      CloseRecordTables(t);
    });
    throw;
  }
  if (unfilter) t.Tb_Base8491.SetFiltered(false);
  CloseRecordTables(t);
}

}  // namespace

void TransferUserData(db::TTable& src_master, db::TTable& src_link8491, db::TTable& src_link_mex,
                      db::TTable& src_w_list, db::TTable& dst_master, db::TTable& dst_link8491,
                      db::TTable& dst_link_mex, db::TTable& dst_w_list, MainWindowOps& window) {
  // Counted once: with a filter, every count is a pass over the whole table.
  const int count = src_master.RecordCount();
  if (count == 0) return;
  ActivityScope label(window, Activity::kData);
  const double step = 100.0 / count;
  double total = 0;
  // Fields are looked up by name once: the tables stay open, and a name lookup per field and
  // record was most of the time of a large transfer. A field that the list names but a table
  // lacks still fails on the first record that is copied.
  TField* src_nobosn = &src_master.FieldByName("NOBOSN");
  TField* src_obosn = &src_master.FieldByName("OBOSN");
  std::vector<std::pair<const char*, TField*>> copied;
  for (const char* name : kMasterFields) {
    TField* field = src_master.FindField(name);
    if (Optional(name) && field == nullptr) continue;
    copied.emplace_back(name, field);
  }
  std::vector<TField*> targets;
  src_master.First();
  while (!src_master.Eof()) {
    const std::string nobosn = src_nobosn->AsString();
    const std::string obosn = src_obosn->AsString();
    const bool present = dst_master.Locate("NOBOSN", db::Variant::String(nobosn), true) ||
                         dst_master.Locate("OBOSN", db::Variant::String(obosn), true);
    if (!present) {
      dst_master.Append();
      if (targets.empty()) {
        for (const auto& [name, field] : copied) targets.push_back(&dst_master.FieldByName(name));
      }
      for (size_t i = 0; i < copied.size(); ++i) {
        TField* from = copied[i].second;
        if (from == nullptr) from = &src_master.FieldByName(copied[i].first);  // raises
        targets[i]->AssignValue(*from);
      }
      dst_master.Post();
      CopyDetailRows(src_link8491, dst_link8491);
      CopyDetailRows(src_link_mex, dst_link_mex);
      CopyDetailRows(src_w_list, dst_w_list);
    }
    src_master.Next();
    total += step;
    const int percent = static_cast<int>(std::nearbyint(total));  // halves to even
    if (percent != window.ProgressPercent()) window.SetProgressPercent(percent);
  }
}

void SaveUserData(db::TableCatalogue& t, const std::string& db_filter, MainWindowOps& window) {
  WithRecordTables(
      t,
      [&] {
        t.Tb_Base8491.Open();
        t.Tb_link8491.Open();
        t.Tb_link_mex.Open();
        t.Tb_w_list.Open();
        db::TTable* user[] = {&t.Table1, &t.Table2, &t.Table3, &t.Table4};
        for (db::TTable* table : user) {
          table->Close();
          table->EmptyTable();
        }
        for (db::TTable* table : user) table->Open();
        if (!db_filter.empty()) {
          t.Tb_Base8491.SetFilter(db_filter);
          t.Tb_Base8491.SetFiltered(true);
        }
        TransferUserData(t.Tb_Base8491, t.Tb_link8491, t.Tb_link_mex, t.Tb_w_list, t.Table1,
                         t.Table2, t.Table3, t.Table4, window);
      },
      true);
}

void RestoreUserData(db::TableCatalogue& t, MainWindowOps& window) {
  WithRecordTables(
      t,
      [&] {
        t.Tb_Base8491.Open();
        t.Tb_link8491.Open();
        t.Tb_link_mex.Open();
        t.Tb_w_list.Open();
        t.Table1.Open();
        t.Table2.Open();
        t.Table3.Open();
        t.Table4.Open();
        TransferUserData(t.Table1, t.Table2, t.Table3, t.Table4, t.Tb_Base8491, t.Tb_link8491,
                         t.Tb_link_mex, t.Tb_w_list, window);
      },
      false);
}

}  // namespace tarvo::install
