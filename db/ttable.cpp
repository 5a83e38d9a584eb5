#include "db/ttable.h"

#include <algorithm>
#include <atomic>
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
  link_master_ = nullptr;
  if (master_) master_->details_.push_back(this);
  if (Active()) FollowMaster();
}
void TTable::SetMasterFields(std::string fields) {
  master_fields_ = std::move(fields);
  link_master_ = nullptr;
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

namespace {
std::atomic<uint64_t> openings{0};
}  // namespace

// The view's order as the builder wants it: the leading field's key first.
struct TTable::BuildOrder : KeyedOrder {
  explicit BuildOrder(const TTable& table) : t(table) {}
  LeadingKey Key(RecId id) const override {
    return t.px_->Leading(t.px_->rec(id), t.order_fields_[0], t.order_desc_[0]);
  }
  bool Less(RecId a, RecId b) const override { return t.Less(a, b); }
  const TTable& t;
};

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
  opening_ = ++openings;
  order_fields_ = std::move(order);
  order_desc_ = std::move(desc);
  order_by_primary_ = by_primary;
  fields_.clear();
  for (size_t i = 0; i < px_->fields().size(); ++i)
    fields_.push_back(std::unique_ptr<TField>(new TField(this, static_cast<int>(i))));
  ResetView();
  std::vector<RecId> ids = px_->RecordsInOrder();
  if (!px_->keyed()) {
    RecId top = 0;
    for (RecId id : ids) top = std::max(top, id);
    seq_.assign(ids.empty() ? 0 : size_t{top} + 1, 0);
    for (RecId id : ids) seq_[id] = next_seq_++;
  }
  if (order_fields_.empty()) {
    for (RecId id : ids) view_.PushBack(id);  // the records' own order
  } else {
    BuildOrdered(std::move(ids), BuildOrder(*this), view_);
  }
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

void TTable::ResetView() {
  view_.Clear();
  std::vector<uint32_t>().swap(seq_);
  next_seq_ = 0;
  locate_.clear();
  lo_ = hi_ = cur_ = insert_hint_ = 0;
  bounds_valid_ = false;
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
  ResetView();
  px_.reset();
  fields_.clear();
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
  ResetView();
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

bool TTable::Less(RecId a, RecId b) const {
  int c = CompareOrder(px_->rec(a), px_->rec(b));
  if (c) return c < 0;
  return !seq_.empty() && seq_[a] < seq_[b];
}

int TTable::CompareLeading(RecId id, const uint8_t* probe) const {
  int c = px_->CompareField(px_->rec(id), probe, order_fields_[0]);
  return order_desc_[0] ? -c : c;
}

size_t TTable::InsertPosition(RecId id) {
  const size_t n = view_.size();
  // Records usually come in the view's order (copied from a table in the same order), or
  // several in a row at one place: one or two comparisons then, not a descent.
  if (n == 0 || Less(view_.back(), id)) return n;
  const size_t h = insert_hint_;
  if (h > 0 && h < n && Less(view_.at(h - 1), id) && Less(id, view_.at(h))) return h;
  return view_.PartitionPoint([&](RecId e) { return Less(e, id); });
}

size_t TTable::PositionOf(RecId id) const {
  size_t pos = view_.PartitionPoint([&](RecId e) { return Less(e, id); });
  if (pos < view_.size() && view_.at(pos) == id) return pos;
  // Only an order that is not total could put it elsewhere.
  for (pos = 0; pos < view_.size(); ++pos)
    if (view_.at(pos) == id) return pos;
  throw EDBEngineError(Kind::kState, "Record not in the view of " + name_);
}

void TTable::ViewInsert(size_t pos, RecId id) {
  view_.Insert(pos, id);
  for (size_t* p : {&lo_, &hi_, &cur_})
    if (*p >= pos) ++*p;
  insert_hint_ = pos + 1;
}

void TTable::ViewErase(size_t pos) {
  view_.Erase(pos);
  // A position on the erased record moves to the record that followed it.
  for (size_t* p : {&lo_, &hi_, &cur_})
    if (*p > pos) --*p;
}

void TTable::ComputeBounds() {
  if (!px_) return;
  const size_t end = view_.size();
  if (range_active_ && range_empty_) {
    lo_ = hi_ = end;
  } else if (range_active_) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(probe_rec_.data());
    auto before = [&](RecId id) { return CompareLeading(id, p) < 0; };
    // A master visited in the details' order, or given a new key above every detail's, finds
    // its range where the last one ended: two comparisons instead of two descents.
    const size_t start = bounds_valid_ ? std::min(hi_, end) : end;
    if (end == 0) {
      lo_ = 0;
    } else if ((start == 0 || before(view_.at(start - 1))) &&
               (start == end || !before(view_.at(start)))) {
      lo_ = start;
    } else {
      lo_ = view_.PartitionPoint(before);
    }
    hi_ = lo_;
    // Equal in the order means the same bytes, so the range's end is where InRange stops; a
    // long range is left to the descent.
    for (int step = 0; step < 16 && hi_ != end && InRange(px_->rec(view_.at(hi_))); ++step) ++hi_;
    if (hi_ != end && InRange(px_->rec(view_.at(hi_))))
      hi_ = view_.PartitionPoint([&](RecId id) { return CompareLeading(id, p) <= 0; });
  } else {
    lo_ = 0;
    hi_ = end;
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
      if (link_master_ != m || link_master_opening_ != m->opening_ || link_field_ < 0) {
        std::string mf = master_fields_.substr(0, master_fields_.find(';'));
        TField* f = m->FindField(mf);
        if (!f)
          throw EDBEngineError(Kind::kNoField, "Field '" + mf + "' not found in " + m->Name());
        link_master_ = m;
        link_master_opening_ = m->opening_;
        link_field_ = f->Index();
      }
      try {
        int lf = order_fields_[0];
        const FieldInfo& info = px_->fields()[lf];
        // The master's bytes as they are when both fields store alike: no text round trip per
        // master record.
        range_key_.assign(info.length, '\0');
        const uint8_t* master_rec = m->CurrentRecord();
        if (!master_rec || !px_->CopyAlike(reinterpret_cast<uint8_t*>(range_key_.data()), lf,
                                           *m->px_, master_rec, link_field_))
          range_key_ = px_->EncodeField(lf, m->Fields(link_field_).AsVariant());
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
  if (!px_) return;
  cur_ = lo_;
  while (cur_ < hi_ && filtered_ && !filter_.Matches(px_->rec(view_.at(cur_)))) ++cur_;
  has_current_ = cur_ < hi_;
  eof_ = !has_current_;
}

void TTable::SeekLastVisible() {
  size_t it = hi_;
  while (it > lo_) {
    --it;
    if (!filtered_ || filter_.Matches(px_->rec(view_.at(it)))) {
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
  // By index: a detail's move does not change these lists, and no copy is made per call.
  for (size_t i = 0; i < sources_.size(); ++i) {
    TDataSource* s = sources_[i];
    for (size_t j = 0; j < s->details_.size(); ++j) s->details_[j]->FollowMaster();
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
  // A record posted outside the range is current until the cursor moves: the next one is then
  // the range's, never one outside it.
  size_t it = std::max(cur_ + 1, lo_);
  while (it < hi_ && filtered_ && !filter_.Matches(px_->rec(view_.at(it)))) ++it;
  if (it >= hi_) {
    eof_ = true;
    return;
  }
  cur_ = it;
  NotifyDetails();
}

int TTable::RecordCount() {
  RequireActive();
  if (!filtered_ && !range_active_) return static_cast<int>(view_.size());
  int n = 0;
  for (size_t it = lo_; it < hi_; ++it)
    if (!filtered_ || filter_.Matches(px_->rec(view_.at(it)))) ++n;
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
  for (auto& [field, index] : locate_)
    index.Add(LocateIndex::Hash(LocateKey(field, px_->rec(id))), id);
}

void TTable::RemoveFromLocateIndexes(RecId id) {
  for (auto& [field, index] : locate_)
    index.Remove(LocateIndex::Hash(LocateKey(field, px_->rec(id))), id);
}

LocateIndex& TTable::LocateIndexOf(int field) {
  for (auto& [f, index] : locate_)
    if (f == field) return index;
  // Built on first use and kept up to date from then on.
  LocateIndex index;
  index.Reserve(view_.size());
  for (size_t i = 0; i < view_.size(); ++i) {
    const RecId id = view_.at(i);
    index.Add(LocateIndex::Hash(LocateKey(field, px_->rec(id))), id);
  }
  locate_.emplace_back(field, std::move(index));
  return locate_.back().second;
}

bool TTable::Locate(std::string_view field_name, const Variant& value, bool case_insensitive) {
  RequireActive();
  if (state_ == TDataSetState::dsInsert) Post();
  int field = px_->FieldIndex(field_name);
  if (field < 0)
    throw EDBEngineError(Kind::kNoField,
                         "Field '" + std::string(field_name) + "' not found in " + name_);
  const FieldInfo& f = px_->fields()[field];
  const LocateIndex& index = LocateIndexOf(field);
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
  bool found = false;
  RecId best = 0;
  index.ForEach(LocateIndex::Hash(key), [&](RecId id) {
    if (!Visible(id) || LocateKey(field, px_->rec(id)) != key) return;
    if (text_field && !case_insensitive && px_->GetText(px_->rec(id), field) != exact) return;
    if (!found || Less(id, best)) best = id;
    found = true;
  });
  if (!found) return false;
  cur_ = PositionOf(best);
  has_current_ = true;
  eof_ = false;
  NotifyDetails();
  return true;
}

void TTable::Append() {
  RequireActive();
  if (state_ == TDataSetState::dsInsert) Post();
  if (px_->read_only()) throw EDBEngineError(Kind::kState, "Table is read only: " + name_);
  edit_.assign(static_cast<size_t>(px_->record_size()), '\0');  // blank, in the buffer kept
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
  if (!px_->keyed()) {
    if (id >= seq_.size()) seq_.resize(size_t{id} + 1);
    seq_[id] = next_seq_++;
  }
  const size_t pos = InsertPosition(id);
  ViewInsert(pos, id);
  AddToLocateIndexes(id);
  state_ = TDataSetState::dsBrowse;
  edit_.clear();
  // The bounds move only when the new record opens the range; otherwise the shift of the
  // positions past it keeps them right.
  if (!range_active_) {
    lo_ = 0;
    hi_ = view_.size();
  } else if (!range_empty_ && InRange(px_->rec(id))) {
    if (pos + 1 == lo_) lo_ = pos;
  } else {
    ComputeBounds();
  }
  cur_ = pos;
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
  const size_t pos = cur_;
  const RecId id = view_.at(pos);
  size_t next = std::max(pos + 1, lo_);
  while (next < hi_ && filtered_ && !filter_.Matches(px_->rec(view_.at(next)))) ++next;
  const bool has_next = next < hi_;
  RemoveFromLocateIndexes(id);
  ViewErase(pos);
  px_->Erase(id);
  if (!range_active_) {
    lo_ = 0;
    hi_ = view_.size();
  }
  if (has_next) {
    cur_ = next - 1;
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
  return px_->rec(view_.at(cur_));
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
