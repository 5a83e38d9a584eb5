// One Paradox table family on disk: the table file (".db"), its primary index (".px"), its blob
// file (".mb") and its secondary indexes (".Xnn"/".Ynn" single-field, ".XGn"/".YGn" composite).
//
// Records are read from the table file by block when they are first wanted, through a cache of
// a bounded size; the records of blocks a change touches are held by the engine (in memory up to
// a budget, past it in a scratch file), and those blocks are written back when the table is
// closed, with the header counters and every index file rebuilt from the data.
// A family closed without a change is left byte for byte as it was.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/family_journal.h"
#include "db/field_codec.h"
#include "db/px_blob.h"
#include "db/record_store.h"
#include "platform/services.h"

namespace tarvo::db {

using RecId = uint32_t;

// A field of a table to be created. `size` is the declared size: Alpha and Bytes length, blob
// leader length (the record holds 10 bytes more), BCD digits after the point; ignored otherwise.
struct FieldSpec {
  std::string name;
  FieldType type = FieldType::kAlpha;
  int size = 0;
};

struct IndexSpec {
  std::string name;                 // empty for a single-field index (named after its field)
  std::vector<std::string> fields;  // field names, in key order
  bool maintained = true;
  bool descending = false;
};

struct TableSpec {
  std::vector<FieldSpec> fields;
  int key_fields = 0;
  int code_page = 1251;
  std::string sort_order;  // empty: the usual one of the code page
  int block_size_kb = 4;   // 1, 2, 3, 4, 8, 16 or 32
  std::vector<IndexSpec> indexes;
};

// A secondary index of an open table.
struct SecondaryIndex {
  std::string name;  // label of a composite index; the field name for a single-field one
  bool composite = false;
  int number = 0;  // n of ".XGn", or the field number of ".Xnn"
  bool maintained = true;
  std::vector<int> fields;  // table field ordinals, in key order
  std::vector<bool> descending;
  std::string x_path, y_path;
  // The index's own data file, as parsed.
  std::vector<uint8_t> x_header, y_header;
  int x_record_size = 0;
  int x_key_fields = 0;
  int x_block_size = 0, y_block_size = 0;
  bool y_present = false;
};

struct ParsedHeader;
namespace px {
struct Header;
}

class PxTable {
 public:
  enum class Mode { kRead, kReadWrite };
  // Opens the family of the ".db" file `path`. Read-write mode falls back to reading when the
  // file cannot be written; the first change then raises.
  static std::unique_ptr<PxTable> Open(platform::FileSystem& fs, const std::string& path,
                                       Mode mode);
  // Parses a table file from memory (no companions): for checks and fuzzing.
  static std::unique_ptr<PxTable> FromBytes(std::vector<uint8_t> bytes);
  // Creates a new family; fails when the table file exists.
  static void Create(platform::FileSystem& fs, const std::string& path, const TableSpec& shape);
  // Removes every record of a closed family, keeping its structure and indexes.
  static void Empty(platform::FileSystem& fs, const std::string& path);

  ~PxTable();
  PxTable(const PxTable&) = delete;
  PxTable& operator=(const PxTable&) = delete;

  // Writes the changes (if any) and releases the files.
  void Close();
  void Flush();

  const std::string& path() const { return path_; }
  const std::vector<FieldInfo>& fields() const { return fields_; }
  int FieldIndex(std::string_view name) const;  // -1 when absent; case-insensitive
  int key_fields() const { return key_fields_; }
  bool keyed() const { return key_fields_ > 0; }
  int record_size() const { return record_size_; }
  int block_size() const { return block_size_; }
  int version_id() const { return version_id_; }
  int code_page() const { return codec_.code_page(); }
  const std::string& sort_order() const { return sort_order_; }
  const TextCodec& codec() const { return codec_; }
  const Collation& collation() const { return collation_; }
  const std::vector<SecondaryIndex>& indexes() const { return indexes_; }
  bool primary_index_present() const { return px_present_; }
  bool read_only() const { return read_only_; }
  bool modified() const { return modified_; }
  int32_t header_record_count() const { return header_records_; }

  // Live records, read through a cache of blocks of the table file (records of blocks no change
  // touched) or from the store of changed and new records, each bounded: a record's pointer
  // stays valid until three other blocks or record chunks have been read in, enough for the two
  // records a comparison holds.
  size_t size() const { return live_; }
  const uint8_t* rec(RecId id) const {
    // Reads mostly stay in the last block or two: those are found without the cache's lookup.
    for (const Recent& m : recent_)
      if (id - m.first < m.count) return FromRecent(m, id);
    // A record added since the open is in the store, whichever block holds it.
    return id >= loaded_ids_ ? pool_.at(id) : Find(id);
  }
  // Memory each table may use for records: bytes of table blocks its cache holds (at least
  // kMinCacheBlocks blocks), and bytes of changed and new records held before they go to its
  // scratch file (the same again for the index records a flush sorts at a time). Tests lower
  // them to make every read go through evictions and every index sort spill.
  static void SetMemoryBudget(size_t cache_bytes, size_t record_bytes);
  static constexpr size_t kMinCacheBlocks = 4;
  // Record ids in the order of the data blocks (key order in a keyed table).
  std::vector<RecId> RecordsInOrder() const;
  // Data block number holding a record.
  uint16_t BlockOf(RecId id) const { return located_ ? rec_block_[id] : LoadedBlockOf(id); }
  // The ids of a data block's records, in order.
  class BlockIds {
   public:
    size_t size() const { return count_; }
    RecId operator[](size_t i) const { return list_ ? list_[i] : first_ + static_cast<RecId>(i); }
    RecId front() const { return (*this)[0]; }
    RecId back() const { return (*this)[count_ - 1]; }

   private:
    friend class PxTable;
    const RecId* list_ = nullptr;  // null: the consecutive ids from first_
    RecId first_ = 0;
    size_t count_ = 0;
  };
  BlockIds IdsOf(uint16_t block) const {
    const Block& b = blocks_[block - 1];
    BlockIds out;
    out.list_ = b.listed ? b.ids.data() : nullptr;
    out.first_ = b.first_id;
    out.count_ = b.listed ? b.ids.size() : b.count;
    return out;
  }

  // A blank record (every field blank).
  std::string BlankRecord() const { return std::string(record_size_, '\0'); }
  // Stores a record; in a keyed table a record whose key is present raises a key violation.
  RecId Insert(const std::string& rec);
  void Erase(RecId id);
  void EraseAll();
  // The value the next autoincrement field gets, and its consumption.
  int32_t NextAutoInc() const { return autoinc_ + 1; }
  void TakeAutoInc(int32_t v);

  // Field values of a record buffer.
  Variant GetValue(const uint8_t* rec, int field) const;
  // Text of a field as the callers see it ("" for blank).
  std::string GetText(const uint8_t* rec, int field) const;
  bool IsBlank(const uint8_t* rec, int field) const;
  // Converts and stores; blob data beyond the leader goes to the ".mb" file at once.
  void SetValue(std::string& rec, int field, const Variant& v);
  void SetText(std::string& rec, int field, std::string_view text);
  // Copies a field of a record of `source` into the field's bytes at `to` (the field's place in
  // a record buffer) when both store it alike (type, length, code page) and the value converted
  // through a Variant would come out the same; false, with nothing written, otherwise.
  bool CopyAlike(uint8_t* to, int field, const PxTable& source, const uint8_t* rec,
                 int source_field) const;
  // CopyAlike into the record buffer `rec`, blobs included (a memo in the same code page, or
  // any other blob type, copied as its bytes).
  bool AssignAlike(std::string& rec, int field, const PxTable& source, const uint8_t* source_rec,
                   int source_field);
  // Encodes a value as the field's bytes (no blobs), for key lookups.
  std::string EncodeField(int field, const Variant& v);

  // Orders records by fields (with per-field descending flags) the way the index files do.
  int CompareFields(const uint8_t* a, const uint8_t* b, const std::vector<int>& fields,
                    const std::vector<bool>* descending = nullptr) const;
  int CompareField(const uint8_t* a, const uint8_t* b, int field) const;
  int ComparePrimary(const uint8_t* a, const uint8_t* b) const;
  // A key of a field's leading bytes whose order agrees with CompareField (reversed when
  // descending) wherever two keys differ.
  db::LeadingKey Leading(const uint8_t* rec, int field, bool descending) const;
  // Sorts `ids` by `less`, a strict total order whose first criterion is `field` (reversed when
  // `descending`): by leading keys first, in one contiguous array, and by `less` only between
  // equal keys. Much faster than `less` alone on large tables.
  template <typename Id, typename RecOf, typename Less>
  void SortLedBy(std::vector<Id>& ids, int field, bool descending, RecOf rec_of, Less less) const {
    std::vector<std::pair<db::LeadingKey, Id>> keyed(ids.size());
    for (size_t i = 0; i < ids.size(); ++i)
      keyed[i] = {Leading(rec_of(ids[i]), field, descending), ids[i]};
    std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
      if (a.first != b.first) return a.first < b.first;
      return less(a.second, b.second);
    });
    for (size_t i = 0; i < ids.size(); ++i) ids[i] = keyed[i].second;
  }

  // Verifies the family: key order, counters, the primary index and every secondary index
  // against the data. Returns what is wrong (nothing when it is sound).
  std::vector<std::string> Check();

 private:
  struct Block {
    uint16_t next = 0, prev = 0;
    bool in_use = false;
    bool dirty = false;
    // A block no change has touched since the open holds the records it was loaded with: ids
    // first_id .. first_id + count - 1, read from its bytes on disk at slots 0 .. count - 1. Once
    // a change touches it (or when it is new) it lists its ids, and its records are in the store.
    bool listed = true;
    uint16_t count = 0;
    RecId first_id = 0;
    std::vector<RecId> ids;
  };
  // A block recently read through the cache: its ids and where its records are.
  struct Recent {
    RecId first = 0;
    uint32_t count = 0;  // 0: empty
    int32_t entry = -1;  // in cache_
    const uint8_t* records = nullptr;
  };
  const uint8_t* FromRecent(const Recent& m, RecId id) const {
    // Hits in a run of reads from one block leave the order of use as it is.
    if (m.entry != cache_newest_) MarkUsed(m.entry);
    return m.records + static_cast<size_t>(id - m.first) * record_size_;
  }
  // rec() past the recent blocks: from the store, or through the cache.
  const uint8_t* Find(RecId id) const;
  void ForgetRecent() const { recent_[0] = recent_[1] = Recent(); }
  // The block a record was loaded in, from the blocks' first ids.
  uint16_t LoadedBlockOf(RecId id) const;
  // Gives every record its entry in rec_block_, before the first change moves one.
  void Locate();
  PxTable() = default;
  // Reads the header and walks the block chain, block by block, from file_ (or memory_).
  void Load();
  // Takes the parsed header's layout and counters.
  void ApplyHeader(const px::Header& h);
  // Walks the block chain from the header's first block; blocks_ is sized already. `avail` is
  // how many blocks the file holds, the last one possibly cut short.
  void LoadChain(const px::Header& h, size_t avail);
  void LoadFreeList(uint16_t first_free);
  // Reads up to `n` bytes at `offset` of the table file; returns how many there were.
  size_t ReadTable(uint64_t offset, uint8_t* to, size_t n) const;
  const uint8_t* CachedRecord(uint16_t block, uint16_t slot) const;
  // Copies the records of a block into the record store before the block changes: the file keeps
  // the block's old bytes until the flush, and a failed flush puts them back.
  void MakeResident(uint16_t block);
  void Touch(uint16_t block) {
    MakeResident(block);
    blocks_[block - 1].dirty = true;
  }
  void LoadCompanions();
  // Lists the family's files beside the table: the ".px" and ".mb" paths it sets, and the
  // ".X" and ".Y" files by their suffix (the extension after X or Y).
  void FindCompanions(std::vector<std::pair<std::string, std::string>>& x_files,
                      std::vector<std::pair<std::string, std::string>>& y_files);
  // Reads a secondary index's headers (its ".X" and, when there, its ".Y") and checks its
  // fields against the table's.
  SecondaryIndex LoadIndex(const std::string& suffix, const std::string& xpath,
                           const std::vector<std::pair<std::string, std::string>>& y_files);
  void RequireWritable();
  uint16_t AllocateBlock();
  void LinkAfter(uint16_t after, uint16_t b);
  void Unlink(uint16_t b);
  // Where a new record goes: its block (allocated when the table is empty) and its place in it.
  // Throws on a key that is there already.
  std::pair<uint16_t, size_t> InsertPlace(const uint8_t* record);
  // Takes an id for a new record (a freed one first) and puts its bytes in the store.
  RecId StoreNewRecord(const uint8_t* record);
  // Puts the record at `pos` of block `target`, holding `cap` records: into a new last block
  // when a full last block is appended to, splitting a full block otherwise.
  void PlaceRecord(RecId id, uint16_t target, size_t pos, int cap);
  void RebuildOrder() const;
  std::vector<uint8_t> BlockImage(uint16_t number) const;
  std::string ReadBlob(const uint8_t* desc, int leader) const;
  void WriteBlob(uint8_t* desc, int leader, const std::string& data);
  void WriteIndexFiles(uint8_t db_stamp);
  // What a flush overwrites, so that a flush that fails half-way puts the family back. The old
  // bytes themselves are in the journal, read back from it by the undo: a flush that rewrites
  // large files holds none of their old bytes in memory.
  struct FlushUndo {
    std::vector<FamilyJournal::Span> table_spans;  // the header and the changed blocks
    std::vector<uint64_t> table_at;                // where the journal holds each
    uint64_t table_size = 0;
    std::vector<FamilyJournal::Whole> companions;  // index files, in the order written
    BlobFile::Undo blobs;                          // the ".mb", written first
    // Where each before-image goes, flushed, before the write it protects.
    FamilyJournal* journal = nullptr;
  };
  // Journals the old bytes of index files (one record set, flushed once) before they are
  // rewritten, and notes them for the undo.
  void JournalCompanions(const std::vector<std::string>& paths);
  // Writes index files whole, their before-images journalled first in one record set.
  void WriteCompanions(std::vector<std::pair<std::string, std::vector<uint8_t>>>& files);
  void Undo(const FlushUndo& undo);
  // Lists the header and the changed blocks of the table file, whose bytes on disk the journal
  // takes before they are overwritten.
  void ReadBeforeImages(FlushUndo& undo);
  void UpdateHeaderCounters();
  // Writes the header and every changed or new block, and cuts the file to its blocks.
  void WriteTableFile();
  FlushUndo* undo_ = nullptr;  // set while a flush runs
  std::vector<std::string> CheckTree(const std::string& path, const std::vector<uint8_t>& y_bytes,
                                     const std::vector<FieldInfo>& key_fields,
                                     const std::vector<std::pair<std::string, uint16_t>>& expect);

  platform::FileSystem* fs_ = nullptr;
  std::unique_ptr<platform::File> file_;
  std::unique_ptr<platform::File> mb_;
  std::string path_;
  bool read_only_ = true;
  bool modified_ = false;

  std::vector<uint8_t> header_;
  size_t disk_blocks_ = 0;  // blocks in the file; unchanged ones are never rewritten
  int header_size_ = 0;
  int record_size_ = 0;
  int block_size_ = 0;
  int file_type_ = 0;
  int version_id_ = 0;
  int key_fields_ = 0;
  int32_t header_records_ = 0;
  int32_t autoinc_ = 0;
  std::string sort_order_;
  TextCodec codec_;
  Collation collation_;
  std::vector<FieldInfo> fields_;

  // Records of changed blocks and new ones.
  RecordStore pool_;
  // Until a change moves a record or adds one, a record's block is found from the first ids of
  // the blocks as loaded (in chain order, so ascending): nothing is kept per record. After it,
  // rec_block_ holds every record's block (0 for an erased one).
  bool located_ = true;
  RecId loaded_ids_ = 0;  // ids below it were given at the open

  std::vector<RecId> loaded_first_;
  std::vector<uint16_t> loaded_block_;
  std::vector<uint16_t> rec_block_;

  // The table file as FromBytes was given it (no file_ then).
  std::vector<uint8_t> memory_;
  uint64_t table_bytes_ = 0;  // size of the table file when it was opened
  // Blocks read for records of unchanged blocks, the least recently used replaced first; the
  // entries are linked from the most recently used to the least.
  struct CachedBlock {
    uint16_t block = 0;
    int32_t newer = -1, older = -1;
    std::unique_ptr<uint8_t[]> bytes;
  };
  mutable std::vector<CachedBlock> cache_;
  mutable std::vector<int32_t> cache_index_;  // by block number: entry in cache_, or -1
  mutable int32_t cache_newest_ = -1, cache_oldest_ = -1;
  void MarkUsed(int32_t e) const;
  // An entry for a block about to be read: a new one while the cache grows, else the least
  // recently used, emptied.
  int32_t TakeEntry() const;
  // Reads a block that is not cached, with the blocks after it when the misses run in order.
  int32_t ReadIntoCache(uint16_t block, uint16_t slot) const;
  // How many blocks from `block` on one read brings in.
  size_t ReadAheadRun(uint16_t block) const;
  static constexpr size_t kReadAheadBytes = 64 * 1024;
  mutable uint16_t last_miss_ = 0;  // the last block a miss read in
  mutable std::unique_ptr<uint8_t[]> ahead_;
  mutable Recent recent_[2];  // the last block found first
  size_t cache_capacity_ = kMinCacheBlocks;
  void DropCache() const;
  std::vector<RecId> free_ids_;
  size_t live_ = 0;
  std::vector<Block> blocks_;  // by block number - 1
  uint16_t first_ = 0, last_ = 0;
  std::vector<uint16_t> free_blocks_;  // head first
  mutable std::vector<uint16_t> order_;
  mutable bool order_valid_ = false;

  bool px_present_ = false;
  std::string px_path_;
  std::vector<uint8_t> px_header_;
  std::vector<SecondaryIndex> indexes_;
  std::string mb_path_;
  std::unique_ptr<BlobFile> blobs_;  // set when the family has a blob file or gets one
};

}  // namespace tarvo::db
