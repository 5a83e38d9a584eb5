#include "db/ttable.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/best_effort.h"
#include "text/codepage.h"

namespace tarvo::db {

using Kind = EDBEngineError::Kind;

// ---- TDataSource ----

TDataSource::~TDataSource() {
  for (TTable* d : details_) d->master_ = nullptr;
  if (dataset_) {
    auto& s = dataset_->sources_;
    s.erase(std::remove(s.begin(), s.end(), this), s.end());
  }
}

void TDataSource::SetDataSet(TTable* table) {
  if (dataset_) {
    auto& s = dataset_->sources_;
    s.erase(std::remove(s.begin(), s.end(), this), s.end());
  }
  dataset_ = table;
  if (table) table->sources_.push_back(this);
}

// ---- TField ----

const std::string& TField::FieldName() const { return table_->px_->fields()[index_].name; }
FieldType TField::DataType() const { return table_->px_->fields()[index_].type; }
int TField::Size() const {
  const FieldInfo& f = table_->px_->fields()[index_];
  return IsBlobType(f.type) ? f.size - 10 : f.size;
}
bool TField::IsNull() const { return table_->FieldValue(index_).IsNull(); }
std::string TField::AsString() const { return table_->FieldText(index_); }
void TField::SetAsString(std::string_view value) {
  table_->SetFieldValue(index_,
                        value.empty() ? Variant::Null() : Variant::String(std::string(value)));
}
int64_t TField::AsInteger() const {
  Variant v = AsVariant();
  switch (v.type()) {
    case Variant::Type::kNull:
      return 0;
    case Variant::Type::kBool:
      return v.AsBool() ? 1 : 0;
    case Variant::Type::kInt:
    case Variant::Type::kDate:
    case Variant::Type::kTime:
      return v.AsInt();
    case Variant::Type::kFloat:
    case Variant::Type::kDateTime:
      return std::llround(v.AsFloat());
    default: {
      int64_t i;
      if (ParseInteger(v.AsStringRef(), i)) return i;
      throw EDBEngineError(Kind::kInvalidValue,
                           "'" + v.AsStringRef() + "' is not a valid integer value");
    }
  }
}
void TField::SetAsInteger(int64_t value) { table_->SetFieldValue(index_, Variant::Int(value)); }
double TField::AsFloat() const {
  Variant v = AsVariant();
  switch (v.type()) {
    case Variant::Type::kNull:
      return 0;
    case Variant::Type::kBool:
      return v.AsBool();
    case Variant::Type::kInt:
    case Variant::Type::kDate:
    case Variant::Type::kTime:
      return static_cast<double>(v.AsInt());
    case Variant::Type::kFloat:
    case Variant::Type::kDateTime:
      return v.AsFloat();
    default: {
      double d;
      if (ParseNumber(v.AsStringRef(), d)) return d;
      throw EDBEngineError(Kind::kInvalidValue,
                           "'" + v.AsStringRef() + "' is not a valid floating point value");
    }
  }
}
Variant TField::AsVariant() const { return table_->FieldValue(index_); }
void TField::SetAsVariant(const Variant& value) { table_->SetFieldValue(index_, value); }
void TField::AssignValue(const TField& from) {
  table_->AssignFieldValue(index_, *from.table_, from.index_);
}
void TField::Clear() { table_->SetFieldValue(index_, Variant::Null()); }

// ---- TTable ----

TTable::TTable(platform::FileSystem& fs, std::string name) : fs_(fs), name_(std::move(name)) {}

TTable::~TTable() {
  // Callers that care close the table themselves and see the error.
  platform::BestEffort("a destructor must not throw", [&] { Close(); });
  SetMasterSource(nullptr);
  for (TDataSource* s : sources_) s->dataset_ = nullptr;
}

static void RequireClosed(const TTable& t, const char* what) {
  if (t.Active())
    throw EDBEngineError(Kind::kState,
                         std::string("Cannot change ") + what + " of an open table: " + t.Name());
}

void TTable::SetTableName(std::string path) {
  RequireClosed(*this, "TableName");
  table_name_ = std::move(path);
}
void TTable::SetIndexName(std::string name) {
  RequireClosed(*this, "IndexName");
  index_name_ = std::move(name);
}
void TTable::SetMasterSource(TDataSource* source) {
  if (master_) {
    auto& d = master_->details_;
    d.erase(std::remove(d.begin(), d.end(), this), d.end());
  }
  master_ = source;
  if (master_) master_->details_.push_back(this);
  if (Active()) FollowMaster();
}
void TTable::SetMasterFields(std::string fields) {
  master_fields_ = std::move(fields);
  if (Active()) FollowMaster();
}

void TTable::ParseFilter() {
  filter_ = FilterExpr();
  if (filtered_ && px_) filter_ = FilterExpr::Parse(filter_text_, *px_);
}

void TTable::SetFilter(std::string filter) {
  filter_text_ = std::move(filter);
  if (Active() && filtered_) {
    ParseFilter();
    SeekFirst();
    NotifyDetails();
  }
}

void TTable::SetFiltered(bool on) {
  if (on == filtered_) return;
  filtered_ = on;
  if (Active()) {
    try {
      ParseFilter();
    } catch (...) {
      filtered_ = false;
      filter_ = FilterExpr();
      throw;
    }
    SeekFirst();
    NotifyDetails();
  }
}

void TTable::Open() {
  if (Active()) return;
  if (table_name_.empty()) throw EDBEngineError(Kind::kState, "No table name given for " + name_);
  std::string path = table_name_;
  auto slash = path.find_last_of("\\/");
  auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) path += ".db";
  auto px = PxTable::Open(fs_, path, PxTable::Mode::kReadWrite);
  // The order: the named index, or the primary key, or the order of the records.
  std::vector<int> order;
  std::vector<bool> desc;
  bool by_primary = false;
  if (!index_name_.empty()) {
    const SecondaryIndex* found = nullptr;
    for (auto& ix : px->indexes())
      if (text::EqualsIgnoreCase(ix.name, index_name_)) found = &ix;
    if (!found)
      throw EDBEngineError(Kind::kNoIndex, "Index does not exist: " + index_name_ + " in " + path);
    order = found->fields;
    desc = found->descending;
    by_primary = px->keyed();
  } else {
    for (int i = 0; i < px->key_fields(); ++i) order.push_back(i);
    desc.assign(order.size(), false);
  }
  if (master_ && order.empty())
    throw EDBEngineError(Kind::kNoIndex, "A master link needs an index on the link field: " + path);
  px_ = std::move(px);
  order_fields_ = std::move(order);
  order_desc_ = std::move(desc);
  order_by_primary_ = by_primary;
  fields_.clear();
  for (size_t i = 0; i < px_->fields().size(); ++i)
    fields_.push_back(std::unique_ptr<TField>(new TField(this, static_cast<int>(i))));
  seq_.clear();
  next_seq_ = 0;
  view_ = std::make_unique<View>(Order{this});
  bounds_valid_ = false;
  std::vector<RecId> ids = px_->RecordsInOrder();
  for (RecId id : ids) {
    if (id >= seq_.size()) seq_.resize(id + 1);
    seq_[id] = next_seq_++;
  }
  // Sorted first, then each record placed at the end: a descent of the tree per record was most
  // of the time of opening a large table in a secondary index's order.
  if (!order_fields_.empty() && !std::is_sorted(ids.begin(), ids.end(), Order{this})) {
    px_->SortLedBy(
        ids, order_fields_[0], order_desc_[0], [&](RecId id) { return px_->rec(id); }, Order{this});
  }
  for (RecId id : ids) view_->insert(view_->end(), id);
  locate_.clear();
  state_ = TDataSetState::dsBrowse;
  try {
    ParseFilter();
  } catch (...) {
    Close();
    throw;
  }
  probe_rec_ = px_->BlankRecord();
  ApplyRange();
  SeekFirst();
  NotifyDetails();
}

void TTable::Close() {
  if (!Active()) return;
  state_ = TDataSetState::dsInactive;
  std::exception_ptr err;
  try {
    px_->Close();
  } catch (...) {
    err = std::current_exception();
  }
  view_.reset();
  bounds_valid_ = false;
  px_.reset();
  fields_.clear();
  locate_.clear();
  filter_ = FilterExpr();
  eof_ = true;
  has_current_ = false;
  NotifyDetails();
  if (err) std::rethrow_exception(err);
}

void TTable::EmptyTable() {
  if (!Active()) {
    std::string path = table_name_;
    auto slash = path.find_last_of("\\/");
    auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) path += ".db";
    PxTable::Empty(fs_, path);
    return;
  }
  px_->EraseAll();
  view_->clear();
  bounds_valid_ = false;
  seq_.clear();
  locate_.clear();
  state_ = TDataSetState::dsBrowse;
  ComputeBounds();
  SeekFirst();
  NotifyDetails();
}

PxTable& TTable::Data() {
  RequireActive();
  return *px_;
}

void TTable::RequireActive() const {
  if (!Active()) throw EDBEngineError(Kind::kState, "Table is not open: " + name_);
}

int TTable::CompareOrder(const uint8_t* a, const uint8_t* b) const {
  int c = px_->CompareFields(a, b, order_fields_, &order_desc_);
  if (c == 0 && order_by_primary_) c = px_->ComparePrimary(a, b);
  return c;
}

bool TTable::Order::operator()(RecId a, RecId b) const {
  int c = t->CompareOrder(t->px_->rec(a), t->px_->rec(b));
  if (c) return c < 0;
  return t->seq_[a] < t->seq_[b];
}
bool TTable::Order::operator()(RecId a, const Probe& p) const {
  int c = t->px_->CompareField(t->px_->rec(a), p.rec, t->order_fields_[0]);
  if (t->order_desc_[0]) c = -c;
  if (c) return c < 0;
  return p.side > 0;
}
bool TTable::Order::operator()(const Probe& p, RecId b) const {
  int c = t->px_->CompareField(p.rec, t->px_->rec(b), t->order_fields_[0]);
  if (t->order_desc_[0]) c = -c;
  if (c) return c < 0;
  return p.side < 0;
}

void TTable::ComputeBounds() {
  if (!view_) return;
  if (range_active_ && range_empty_) {
    lo_ = hi_ = view_->end();
  } else if (range_active_) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(probe_rec_.data());
    const Probe before{p, -1};
    const Order order{this};
    // A master visited in the details' order, or given a new key above every detail's, finds
    // its range where the last one ended: two comparisons instead of two descents.
    const View::iterator start = bounds_valid_ ? hi_ : view_->end();
    if (view_->empty()) {
      lo_ = view_->end();
    } else if ((start == view_->begin() || order(*std::prev(start), before)) &&
               (start == view_->end() || !order(*start, before))) {
      lo_ = start;
    } else {
      lo_ = view_->lower_bound(before);
    }
    hi_ = lo_;
    // Equal in the order means the same bytes, so the range's end is where InRange stops; a
    // long range is left to the descent.
    for (int step = 0; step < 16 && hi_ != view_->end() && InRange(px_->rec(*hi_)); ++step) ++hi_;
    if (hi_ != view_->end() && InRange(px_->rec(*hi_))) hi_ = view_->upper_bound(Probe{p, +1});
  } else {
    lo_ = view_->begin();
    hi_ = view_->end();
  }
  bounds_valid_ = true;
}

void TTable::ApplyRange() {
  range_active_ = false;
  range_empty_ = false;
  TTable* m = master_ ? master_->dataset_ : nullptr;
  if (m && m->Active() && !order_fields_.empty()) {
    range_active_ = true;
    if (!m->has_current_) {
      range_empty_ = true;
    } else {
      std::string mf = master_fields_.substr(0, master_fields_.find(';'));
      TField* f = m->FindField(mf);
      if (!f) throw EDBEngineError(Kind::kNoField, "Field '" + mf + "' not found in " + m->Name());
      try {
        int lf = order_fields_[0];
        const FieldInfo& info = px_->fields()[lf];
        // The master's bytes as they are when both fields store alike: no text round trip per
        // master record.
        range_key_.assign(info.length, '\0');
        const uint8_t* master_rec = m->CurrentRecord();
        if (!master_rec || !px_->CopyAlike(reinterpret_cast<uint8_t*>(range_key_.data()), lf,
                                           *m->px_, master_rec, f->Index()))
          range_key_ = px_->EncodeField(lf, f->AsVariant());
        std::memset(probe_rec_.data(), 0, probe_rec_.size());
        std::memcpy(probe_rec_.data() + info.offset, range_key_.data(), info.length);
      } catch (const EDBEngineError&) {
        range_empty_ = true;
      }
    }
  }
  ComputeBounds();
}

bool TTable::InRange(const uint8_t* rec) const {
  if (!range_active_) return true;
  if (range_empty_) return false;
  const FieldInfo& f = px_->fields()[order_fields_[0]];
  return std::memcmp(rec + f.offset, range_key_.data(), f.length) == 0;
}

bool TTable::Visible(RecId id) const {
  const uint8_t* r = px_->rec(id);
  return InRange(r) && (!filtered_ || filter_.Matches(r));
}

void TTable::SeekFirst() {
  if (!view_) return;
  cur_ = lo_;
  while (cur_ != hi_ && filtered_ && !filter_.Matches(px_->rec(*cur_))) ++cur_;
  has_current_ = cur_ != hi_;
  eof_ = !has_current_;
}

void TTable::SeekLastVisible() {
  auto it = hi_;
  while (it != lo_) {
    --it;
    if (!filtered_ || filter_.Matches(px_->rec(*it))) {
      cur_ = it;
      has_current_ = true;
      eof_ = false;
      return;
    }
  }
  has_current_ = false;
  eof_ = true;
}

void TTable::NotifyDetails() {
  for (TDataSource* s : sources_) {
    auto details = s->details_;
    for (TTable* d : details) d->FollowMaster();
  }
}

void TTable::FollowMaster() {
  if (!Active()) return;
  if (state_ == TDataSetState::dsInsert) state_ = TDataSetState::dsBrowse;
  ApplyRange();
  SeekFirst();
  NotifyDetails();
}

void TTable::First() {
  RequireActive();
  if (state_ == TDataSetState::dsInsert) Post();
  SeekFirst();
  NotifyDetails();
}

void TTable::Next() {
  RequireActive();
  if (state_ == TDataSetState::dsInsert) Post();
  if (!has_current_) {
    eof_ = true;
    return;
  }
  auto it = cur_;
  ++it;
  while (it != hi_ && filtered_ && !filter_.Matches(px_->rec(*it))) ++it;
  if (it == hi_) {
    eof_ = true;
    return;
  }
  cur_ = it;
  NotifyDetails();
}

int TTable::RecordCount() {
  RequireActive();
  if (!filtered_ && !range_active_) return static_cast<int>(view_->size());
  int n = 0;
  for (auto it = lo_; it != hi_; ++it)
    if (!filtered_ || filter_.Matches(px_->rec(*it))) ++n;
  return n;
}

std::string TTable::LocateKey(int field, const uint8_t* rec) const {
  const FieldInfo& f = px_->fields()[field];
  if (f.type == FieldType::kAlpha || f.type == FieldType::kMemo)
    return text::ToUpperUtf8(px_->GetText(rec, field));
  if (IsBlobType(f.type)) return px_->GetText(rec, field);
  return std::string(reinterpret_cast<const char*>(rec + f.offset), f.length);
}

void TTable::AddToLocateIndexes(RecId id) {
  for (auto& [field, map] : locate_) map.emplace(LocateKey(field, px_->rec(id)), id);
}

void TTable::RemoveFromLocateIndexes(RecId id) {
  for (auto& [field, map] : locate_) {
    auto range = map.equal_range(LocateKey(field, px_->rec(id)));
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second == id) {
        map.erase(it);
        break;
      }
    }
  }
}

bool TTable::Locate(std::string_view field_name, const Variant& value, bool case_insensitive) {
  RequireActive();
  if (state_ == TDataSetState::dsInsert) Post();
  int field = px_->FieldIndex(field_name);
  if (field < 0)
    throw EDBEngineError(Kind::kNoField,
                         "Field '" + std::string(field_name) + "' not found in " + name_);
  const FieldInfo& f = px_->fields()[field];
  // Served by a hash of the field's values, built on first use and kept up to date.
  auto [it_map, fresh] = locate_.try_emplace(field);
  auto& map = it_map->second;
  if (fresh) {
    map.reserve(view_->size());
    for (RecId id : *view_) map.emplace(LocateKey(field, px_->rec(id)), id);
  }
  std::string key;
  std::string exact;
  bool text_field = f.type == FieldType::kAlpha || f.type == FieldType::kMemo;
  if (value.IsNull()) {
    key = text_field ? std::string() : std::string(f.length, '\0');
  } else if (text_field) {
    exact = value.ToText();
    key = text::ToUpperUtf8(exact);
  } else if (IsBlobType(f.type)) {
    key = exact = value.ToText();
  } else {
    key = px_->EncodeField(field, value);
  }
  auto range = map.equal_range(key);
  bool found = false;
  RecId best = 0;
  for (auto it = range.first; it != range.second; ++it) {
    RecId id = it->second;
    if (!Visible(id)) continue;
    if (text_field && !case_insensitive && px_->GetText(px_->rec(id), field) != exact) continue;
    if (!found || Order{this}(id, best)) best = id;
    found = true;
  }
  if (!found) return false;
  cur_ = view_->find(best);
  has_current_ = true;
  eof_ = false;
  NotifyDetails();
  return true;
}

void TTable::Append() {
  RequireActive();
  if (state_ == TDataSetState::dsInsert) Post();
  if (px_->read_only()) throw EDBEngineError(Kind::kState, "Table is read only: " + name_);
  edit_ = px_->BlankRecord();
  state_ = TDataSetState::dsInsert;
  if (range_active_ && !range_empty_) {
    const FieldInfo& f = px_->fields()[order_fields_[0]];
    std::memcpy(edit_.data() + f.offset, range_key_.data(), f.length);
  }
}

void TTable::Post() {
  RequireActive();
  if (state_ != TDataSetState::dsInsert) return;
  for (size_t i = 0; i < px_->fields().size(); ++i) {
    const FieldInfo& f = px_->fields()[i];
    if (f.type != FieldType::kAutoInc) continue;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(edit_.data()) + f.offset;
    if (codec::IsBlank(p, 4)) {
      int32_t v = px_->NextAutoInc();
      px_->SetValue(edit_, static_cast<int>(i), Variant::Int(v));
      px_->TakeAutoInc(v);
    } else {
      px_->TakeAutoInc(static_cast<int32_t>(codec::DecodeInt(p, 4)));
    }
  }
  RecId id = px_->Insert(edit_);
  if (id >= seq_.size()) seq_.resize(id + 1);
  seq_[id] = next_seq_++;
  // Records usually come in the view's order (copied from a table in the same order): placed at
  // the end without a descent when so.
  auto it = view_->insert(view_->end(), id);
  AddToLocateIndexes(id);
  state_ = TDataSetState::dsBrowse;
  edit_.clear();
  // The bounds move only when the new record opens the range; other insertions leave the
  // iterators valid.
  if (!range_active_) {
    lo_ = view_->begin();
    hi_ = view_->end();
  } else if (!range_empty_ && InRange(px_->rec(id))) {
    if (std::next(it) == lo_) lo_ = it;
  } else {
    ComputeBounds();
  }
  cur_ = it;
  has_current_ = true;
  eof_ = false;
  NotifyDetails();
}

void TTable::Cancel() {
  if (state_ == TDataSetState::dsInsert) {
    state_ = TDataSetState::dsBrowse;
    edit_.clear();
  }
}

void TTable::Delete() {
  RequireActive();
  if (state_ == TDataSetState::dsInsert) {
    Cancel();
    return;
  }
  if (!has_current_)
    throw EDBEngineError(Kind::kState,
                         "Cannot perform this operation on an empty dataset: " + name_);
  RecId id = *cur_;
  auto next = cur_;
  ++next;
  while (next != hi_ && filtered_ && !filter_.Matches(px_->rec(*next))) ++next;
  bool has_next = next != hi_;
  RecId next_id = has_next ? *next : 0;
  RemoveFromLocateIndexes(id);
  bool was_lo = cur_ == lo_;
  auto after = std::next(cur_);
  view_->erase(cur_);
  px_->Erase(id);
  if (!range_active_) {
    lo_ = view_->begin();
    hi_ = view_->end();
  } else if (was_lo) {
    lo_ = after;
  }
  if (has_next) {
    cur_ = view_->find(next_id);
    has_current_ = true;
    eof_ = false;
  } else {
    SeekLastVisible();
  }
  NotifyDetails();
}

const uint8_t* TTable::CurrentRecord() const {
  if (state_ == TDataSetState::dsInsert) return reinterpret_cast<const uint8_t*>(edit_.data());
  if (!has_current_) return nullptr;
  return px_->rec(*cur_);
}

Variant TTable::FieldValue(int field) const {
  RequireActive();
  const uint8_t* r = CurrentRecord();
  return r ? px_->GetValue(r, field) : Variant::Null();
}

std::string TTable::FieldText(int field) const {
  RequireActive();
  const uint8_t* r = CurrentRecord();
  return r ? px_->GetText(r, field) : std::string();
}

void TTable::SetFieldValue(int field, const Variant& v) {
  RequireActive();
  if (state_ != TDataSetState::dsInsert)
    throw EDBEngineError(Kind::kState, "Dataset not in edit or insert mode: " + name_);
  px_->SetValue(edit_, field, v);
}

void TTable::AssignFieldValue(int field, const TTable& source, int source_field) {
  RequireActive();
  source.RequireActive();
  if (state_ != TDataSetState::dsInsert)
    throw EDBEngineError(Kind::kState, "Dataset not in edit or insert mode: " + name_);
  const uint8_t* from = source.CurrentRecord();
  if (from && px_->AssignAlike(edit_, field, *source.px_, from, source_field)) return;
  px_->SetValue(edit_, field, source.FieldValue(source_field));
}

TField* TTable::FindField(std::string_view name) {
  if (!Active()) return nullptr;
  int i = px_->FieldIndex(name);
  return i < 0 ? nullptr : fields_[i].get();
}

TField& TTable::FieldByName(std::string_view name) {
  RequireActive();
  TField* f = FindField(name);
  if (!f)
    throw EDBEngineError(Kind::kNoField, "Field '" + std::string(name) + "' not found in " +
                                             (name_.empty() ? table_name_ : name_));
  return *f;
}

int TTable::FieldCount() const { return Active() ? static_cast<int>(fields_.size()) : 0; }

TField& TTable::Fields(int index) {
  RequireActive();
  if (index < 0 || index >= static_cast<int>(fields_.size()))
    throw EDBEngineError(Kind::kNoField,
                         "Field index " + std::to_string(index) + " out of range in " + name_);
  return *fields_[index];
}

}  // namespace tarvo::db
