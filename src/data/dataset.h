// In-memory dataset: a table of named, typed fields with nulls, a cursor to
// walk it, search by value, an optional descending order on an integer key,
// and one compact binary form that serves both as the data packet an
// application server sends and as the snapshot file a client's list is kept in
// (docs/dataset-format.md describes it byte by byte).
//
// A Dataset is a plain value: whoever creates or loads one owns it; copy and
// move as any value. It is not synchronised: one thread at a time (in the
// gateway, the session's worker thread).
//
// Storage is by column, so numbers cost no allocation per cell and a list of
// 100,000 rows loads, walks, compares and saves in linear time.
//
// The cursor: First() moves to the first row of the walk order, Next()
// advances, Eof() is true past the last row (and at once on an empty
// dataset). Positions (RecNo) are 0-based in walk order. Field access needs a
// current row; reading or writing at Eof raises EDatasetException.
//
// Reading a null field gives the zero of the requested type (0, false, 0.0,
// empty text, no bytes); IsNull() tells a null apart. Conversions between
// types are exact or refused: a value that cannot be represented in the
// requested type (text that is not a number, 2^40 as a 32-bit integer, 1.5 as
// an integer, bytes as a number) raises EDatasetException naming the field.
//
// Date-times are doubles, days since 1899-12-30 with the time of day as the
// fraction. As text they read and write as "YYYY-MM-DD HH:MM:SS" (seconds and
// time optional when parsing).
//
// A text field with a size keeps at most that many characters (code points);
// longer values are cut at a character boundary, never inside a UTF-8
// sequence. Size 0 means unbounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/variant.h"
#include "util/exception.h"

namespace brevalon {

// Misuse or a failed conversion: unknown field, no current row, value that
// does not fit the field.
class EDatasetException : public Exception {
 public:
  using Exception::Exception;
};

// Bytes that are not a well-formed dataset (damaged, truncated, foreign file
// or packet).
class EDatasetFormatException : public EDatasetException {
 public:
  using EDatasetException::EDatasetException;
};

// A file could not be read or written (missing file, missing directory,
// permissions, disk full).
class EDatasetIOException : public EDatasetException {
 public:
  // `error`: the errno value of the failed call, 0 when there is none.
  explicit EDatasetIOException(const std::string& message, int error = 0)
      : EDatasetException(message), FError(error) {}
  int Error() const { return FError; }

 private:
  int FError;
};

enum class FieldType : uint8_t { Int32, Int64, Boolean, Double, DateTime, Text, Bytes };

// Lowercase name of a type ("int32", "text", ...) for messages.
std::string_view FieldTypeName(FieldType type);

struct FieldDef {
  std::string name;
  FieldType type = FieldType::Int32;
  uint32_t size = 0;  // Text: maximum length in characters, 0 = unbounded; ignored otherwise

  friend bool operator==(const FieldDef&, const FieldDef&) = default;
};

class Dataset;

// Read access to one field of the dataset's current row. Cheap to copy; valid
// while the dataset lives and its fields are not redefined. Every call reads
// the row that is current at the time of the call.
class ConstField {
 public:
  const FieldDef& Def() const;
  const std::string& Name() const;
  FieldType Type() const;
  std::size_t Index() const { return index_; }

  bool IsNull() const;
  int32_t AsInteger() const;
  int64_t AsInt64() const;
  bool AsBoolean() const;
  double AsFloat() const;
  double AsDateTime() const;
  std::string AsString() const;
  std::vector<uint8_t> AsBytes() const;
  Variant AsVariant() const;  // null -> Variant::Null(); Int64 outside 32 bits -> double

 protected:
  ConstField(const Dataset* dataset, std::size_t index) : dataset_(dataset), index_(index) {}
  const Dataset* dataset_;
  std::size_t index_;
  friend class Dataset;
};

// Read and write access to one field of the current row. Setters convert the
// value to the field's type under the same exact-or-refuse rules; setting the
// key of an active descending index moves the row to its place in the order
// (the cursor stays on the row).
class Field : public ConstField {
 public:
  void SetNull() const;
  void SetInteger(int32_t value) const;
  void SetInt64(int64_t value) const;
  void SetBoolean(bool value) const;
  void SetFloat(double value) const;
  void SetDateTime(double value) const;
  void SetString(std::string_view value) const;
  void SetBytes(std::span<const uint8_t> value) const;
  void SetVariant(const Variant& value) const;  // Empty and Null -> null; arrays of integers refused

 private:
  Field(Dataset* dataset, std::size_t index) : ConstField(dataset, index) {}
  Dataset* Mutable() const;
  friend class Dataset;
};

class Dataset {
 public:
  Dataset() = default;

  // ---- field definitions ----

  // Adds a field after the existing ones; existing rows get null in it.
  // Names are 1 to 1024 bytes and unique without regard to letter case; a
  // dataset holds at most 1024 fields. The size counts for Text only.
  void AddField(std::string name, FieldType type, uint32_t size = 0);
  void AddField(const FieldDef& def) { AddField(def.name, def.type, def.size); }
  const std::vector<FieldDef>& Fields() const { return defs_; }
  std::size_t FieldCount() const { return defs_.size(); }
  // Position of the field, matched without regard to letter case (ASCII and
  // Cyrillic); -1 when absent.
  int FieldIndex(std::string_view name) const;
  // Replaces this dataset by an empty one with the field definitions of
  // `source` (no rows, no index).
  void CopyFieldDefsFrom(const Dataset& source);

  // ---- field access on the current row ----

  // Raise EDatasetException naming the field when there is no such field.
  Field FieldByName(std::string_view name);
  ConstField FieldByName(std::string_view name) const;
  Field FieldByIndex(std::size_t index);
  ConstField FieldByIndex(std::size_t index) const;

  // ---- rows ----

  std::size_t RecordCount() const { return rows_; }
  bool IsEmpty() const { return rows_ == 0; }
  // Adds a row with every field null and makes it current. With an active
  // index the row sits where a null key belongs (last) until its key is set.
  void Append();
  // Append() and then the values in field order, converted as SetVariant
  // does; fewer values than fields leave the rest null. Too many values or
  // one that does not convert raise EDatasetException, and nothing is added.
  void AppendRow(const std::vector<Variant>& values);
  // Appends a row that takes, for each field of this dataset, the value of
  // the field of the same name (letter case ignored) in the current row of
  // `source`, converted to this field's type (texts cut to this field's
  // size); fields `source` lacks stay null. The new row becomes current. A
  // value that does not convert raises EDatasetException and nothing is
  // added. `source` may be this dataset.
  void AppendCopyOf(const Dataset& source);
  // Removes the current row; the cursor then stands on the row that followed
  // it (or Eof).
  void Delete();
  // Removes every row; fields and the index definition stay.
  void Clear();

  // ---- walking ----

  void First();
  void Last();
  void Next();   // no effect at Eof
  void Prior();  // from the first row: Bof, cursor stays on the first row
  bool Eof() const { return pos_ >= rows_; }
  bool Bof() const { return bof_; }
  std::size_t RecNo() const { return pos_; }  // 0-based in walk order; == RecordCount() at Eof
  void MoveTo(std::size_t recNo);             // recNo > RecordCount() raises

  // ---- search ----

  // Moves to the first row in walk order whose field equals the value and
  // returns true; leaves the cursor where it was and returns false when no
  // row matches. Numbers match numerically whatever the numeric field type;
  // text matches exactly, case included; a number and a text field match
  // when the text reads as that number. A null (or Empty) Variant finds a
  // null field; a null field never equals a value. Unknown field: raises.
  bool Locate(std::string_view field, int64_t value);
  bool Locate(std::string_view field, std::string_view value);
  bool Locate(std::string_view field, const char* value) { return Locate(field, std::string_view(value)); }
  bool Locate(std::string_view field, const std::string& value) { return Locate(field, std::string_view(value)); }
  bool Locate(std::string_view field, const Variant& value);

  // ---- descending index ----

  // Orders the walk by an Int32 or Int64 field from the largest to the
  // smallest value; rows with equal keys keep their relative order of
  // insertion; null keys come last. Stays in force through Append, Delete and
  // setting the key, until ClearIndex. The cursor moves to the first row.
  void SetDescendingIndex(std::string_view field);
  // Back to insertion order; cursor to the first row.
  void ClearIndex();
  // The indexed field's name, empty without an index.
  std::string IndexFieldName() const;

  // ---- comparing and copying rows ----

  // True when the current rows of this dataset and `other` hold the same
  // values, field by field by position for every field of this dataset:
  // null equals null, null differs from any value, values compare as typed
  // (integers with integers, floating with floating, an integer with a float
  // numerically, text and bytes byte for byte, case included). A field that
  // `other` lacks, or a pair of types that cannot be compared, differs.
  bool SameValuesAs(const Dataset& other) const;

  // True when both have equal field definitions and equal rows in walk order.
  bool ContentEquals(const Dataset& other) const;

  // ---- binary form ----

  // Field definitions and every row in insertion order (the index is not
  // stored). The result loads back into an equal dataset.
  std::vector<uint8_t> SaveToBytes() const;
  // The same bytes, kept with the dataset until its next change: a dataset
  // loaded from bytes answers with exactly those (the form is canonical), any
  // other builds them at the first call. Valid until the dataset changes or
  // is destroyed. Lets a caller compare a whole list with a stored one, or
  // store it, without encoding it again.
  std::span<const uint8_t> BinaryForm() const;
  // Raises EDatasetFormatException on anything that is not a well-formed
  // dataset; never reads outside `bytes`, and allocates in proportion to
  // its size whatever counts it claims. The cursor is on the first row.
  static Dataset LoadFromBytes(std::span<const uint8_t> bytes);
  static Dataset LoadFromBytes(std::vector<uint8_t>&& bytes);
  // How far SaveToFile goes to make a file survive a power loss.
  enum class Durability {
    // Flushed to disk together with the rename.
    Synced,
    // Only atomic against crashes of the process; after a power loss the
    // file may be damaged, which its checksum reveals. For caches that are
    // rebuilt when a file does not load (the client snapshots).
    AtomicOnly,
  };
  // Writes to a temporary file in the same directory and renames it over
  // `path`, so that a reader sees the old file or the new one, never a part.
  // Raises EDatasetIOException on failure (nothing left behind but the old
  // file).
  void SaveToFile(const std::filesystem::path& path, Durability durability = Durability::Synced) const;
  // EDatasetIOException when the file cannot be read, EDatasetFormatException
  // when its content is not a dataset.
  static Dataset LoadFromFile(const std::filesystem::path& path);
  // Which file a name refers to: equal for two names of one file (hard links).
  struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
  };
  // The bytes of a file as they are, unchecked (LoadFromBytes checks them),
  // and which file was read: EDatasetIOException when it cannot be read or is
  // not a regular file, EDatasetFormatException when it is too large to be a
  // dataset (1 GiB).
  static std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path, FileIdentity* identity = nullptr);

 private:
  // One column per field, indexed by physical row (insertion order).
  // Numbers are 64-bit words (Int32, Int64 and Boolean as integers, Double
  // and DateTime as the bits of a double). Text and Bytes values lie back to
  // back in one heap per column, so a loaded list costs one allocation per
  // column rather than one per value; a replaced value leaves its old bytes
  // behind until the heap is compacted.
  struct Column {
    std::vector<uint8_t> nulls;     // 1 = null
    std::vector<uint64_t> words;    // the number, or the offset of the text in `heap`
    std::vector<uint32_t> lengths;  // Text and Bytes: byte length of the value
    std::string heap;               // Text and Bytes: the values' bytes
    std::size_t garbage = 0;        // bytes of `heap` that no row refers to
  };

  friend class ConstField;
  friend class Field;
  friend struct DatasetAccess;  // the implementation's helpers

  std::size_t RequireField(std::string_view name) const;
  std::size_t CurrentRow() const;  // physical row of the cursor; raises at Eof
  std::size_t PhysicalRow(std::size_t pos) const { return indexField_ < 0 ? pos : order_[pos]; }
  void PlaceCurrentInIndex();  // moves the current row to its place after its key changed
  void RebuildIndex();

  std::vector<FieldDef> defs_;
  std::vector<Column> columns_;
  std::size_t rows_ = 0;
  std::size_t pos_ = 0;
  bool bof_ = true;
  int indexField_ = -1;          // field of the descending index, -1 = none
  std::vector<uint32_t> order_;  // walk order (physical rows) while an index is active
  // The binary form of the rows and fields as they are now, or null; every
  // change of a field definition, row or value drops it. Shared by copies.
  mutable std::shared_ptr<const std::vector<uint8_t>> image_;
};

}  // namespace brevalon
