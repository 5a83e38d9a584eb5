// Table objects as the installer uses them: a Paradox table addressed by its full path, with an
// index order, an optional master link, a record filter and a cursor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/db_error.h"
#include "db/field_codec.h"
#include "db/filter.h"
#include "db/locate_index.h"
#include "db/ordered_ids.h"
#include "db/px_table.h"
#include "platform/services.h"

namespace tarvo::db {

class TTable;

// Connects a master table to the detail tables linked to it.
class TDataSource {
 public:
  explicit TDataSource(std::string name = "") : name_(std::move(name)) {}
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;
  const std::string& Name() const { return name_; }
  void SetDataSet(TTable* table);
  TTable* DataSet() const { return dataset_; }

 private:
  friend class TTable;
  std::string name_;
  TTable* dataset_ = nullptr;
  std::vector<TTable*> details_;
};

// One field of the open table's current record.
class TField {
 public:
  const std::string& FieldName() const;
  FieldType DataType() const;
  int Size() const;
  int Index() const { return index_; }
  bool IsNull() const;
  std::string AsString() const;
  void SetAsString(std::string_view value);
  int64_t AsInteger() const;  // 0 for Null
  void SetAsInteger(int64_t value);
  double AsFloat() const;
  Variant AsVariant() const;
  void SetAsVariant(const Variant& value);
  // Takes the value of a field of another open table's current record, as
  // SetAsVariant(from.AsVariant()) would, without the conversion when both store it alike.
  void AssignValue(const TField& from);
  void Clear();

 private:
  friend class TTable;
  TField(TTable* t, int i) : table_(t), index_(i) {}
  TTable* table_;
  int index_;
};

enum class TDataSetState { dsInactive, dsBrowse, dsInsert };

class TTable {
 public:
  explicit TTable(platform::FileSystem& fs, std::string name = "");
  ~TTable();
  TTable(const TTable&) = delete;
  TTable& operator=(const TTable&) = delete;

  const std::string& Name() const { return name_; }

  // Properties, set while closed.
  void SetTableName(std::string path);
  const std::string& TableName() const { return table_name_; }
  void SetIndexName(std::string name);
  const std::string& IndexName() const { return index_name_; }
  void SetMasterSource(TDataSource* source);
  TDataSource* MasterSource() const { return master_; }
  void SetMasterFields(std::string fields);
  const std::string& MasterFields() const { return master_fields_; }

  // Filtering; a filter that does not parse raises when it takes effect.
  void SetFilter(std::string filter);
  const std::string& Filter() const { return filter_text_; }
  void SetFiltered(bool on);
  bool Filtered() const { return filtered_; }

  void Open();
  void Close();
  bool Active() const { return state_ != TDataSetState::dsInactive; }
  TDataSetState State() const { return state_; }
  // Removes every record, keeping structure and indexes.
  void EmptyTable();

  void First();
  void Next();
  bool Eof() const { return eof_; }
  // Visible records: filter and master range applied.
  int RecordCount();
  // Positions on the first visible record whose field equals the value (whole value).
  bool Locate(std::string_view field, const Variant& value, bool case_insensitive = true);

  void Append();
  void Post();
  void Cancel();
  // Deletes the current record.
  void Delete();

  TField& FieldByName(std::string_view name);
  TField* FindField(std::string_view name);
  int FieldCount() const;
  TField& Fields(int index);

  // The table family behind an open table (schema and checks).
  PxTable& Data();

 private:
  friend class TField;
  friend class TDataSource;
  struct BuildOrder;
  // The view's order: the index fields, then the primary key; in an unkeyed table, ties go by
  // insertion order.
  bool Less(RecId a, RecId b) const;
  // The leading order field of a record against the probe record's (reversed when descending).
  int CompareLeading(RecId id, const uint8_t* probe) const;
  // Where a new record goes in the view.
  size_t InsertPosition(RecId id);
  // The view's position of a record of it.
  size_t PositionOf(RecId id) const;
  // Changes to the view that keep the cursor's positions on their records.
  void ViewInsert(size_t pos, RecId id);
  void ViewErase(size_t pos);
  void ResetView();
  void RequireActive() const;
  const uint8_t* CurrentRecord() const;
  int CompareOrder(const uint8_t* a, const uint8_t* b) const;
  bool Visible(RecId id) const;
  bool InRange(const uint8_t* rec) const;
  void ApplyRange();
  void SeekFirst();
  void NotifyDetails();
  // The master moved or the link changed: the range becomes the master record's rows.
  void FollowMaster();
  void SetFieldValue(int field, const Variant& v);
  void AssignFieldValue(int field, const TTable& source, int source_field);
  Variant FieldValue(int field) const;
  std::string FieldText(int field) const;
  std::string LocateKey(int field, const uint8_t* rec) const;
  LocateIndex& LocateIndexOf(int field);
  void AddToLocateIndexes(RecId id);
  void RemoveFromLocateIndexes(RecId id);
  void ParseFilter();
  void ComputeBounds();
  void SeekLastVisible();

  platform::FileSystem& fs_;
  std::string name_;
  std::string table_name_, index_name_, master_fields_, filter_text_;
  bool filtered_ = false;
  TDataSource* master_ = nullptr;
  std::vector<TDataSource*> sources_;  // data sources that show this table
  std::string probe_rec_;
  TDataSetState state_ = TDataSetState::dsInactive;

  std::unique_ptr<PxTable> px_;
  std::vector<std::unique_ptr<TField>> fields_;
  std::vector<int> order_fields_;
  std::vector<bool> order_desc_;
  bool order_by_primary_ = false;  // ties in a secondary order broken by the primary key
  // Insertion order, which breaks ties in an unkeyed table (a keyed table's orders are total).
  std::vector<uint32_t> seq_;
  uint32_t next_seq_ = 0;  // 32 bits: a table holds far fewer records than that
  OrderedIds view_;
  size_t lo_ = 0, hi_ = 0, cur_ = 0;  // positions in the view: the range, the current record
  size_t insert_hint_ = 0;            // where the last new record went, plus one
  bool bounds_valid_ = false;         // lo_ and hi_ are positions of the view
  bool eof_ = true;
  bool has_current_ = false;
  bool range_active_ = false;
  std::string range_key_;  // the link field's bytes while a master range applies
  bool range_empty_ = false;
  FilterExpr filter_;
  std::string edit_;                                 // the record being appended
  std::vector<std::pair<int, LocateIndex>> locate_;  // by field, built on first use
  // The master's link field, found once per opening of the master.
  const TTable* link_master_ = nullptr;
  uint64_t link_master_opening_ = 0;
  int link_field_ = -1;
  uint64_t opening_ = 0;  // distinct for every Open of every table
};

}  // namespace tarvo::db
