// DatasetPacket: a dataset in its binary form, read only as far as it is
// needed. The checksum and the field definitions are checked at once; the
// rows when the dataset is taken out, or walked by a search. For lists that
// are mostly compared as they are (a client's snapshot holds the same bytes)
// or searched for one row, so that most answers never become a Dataset.
//
// A plain value owned by whoever received the bytes; not synchronised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "data/dataset.h"

namespace brevalon {

class DatasetPacket {
 public:
  // An empty dataset: no fields, no rows.
  DatasetPacket();
  // Raises EDatasetFormatException unless the bytes carry a sound checksum,
  // header and field definitions (docs/dataset-format.md); the rows are
  // checked when read. The bytes are taken over only when they pass (a
  // refused vector is left as it was).
  explicit DatasetPacket(std::vector<uint8_t>&& bytes);
  explicit DatasetPacket(std::span<const uint8_t> bytes)
      : DatasetPacket(std::vector<uint8_t>(bytes.begin(), bytes.end())) {}

  std::span<const uint8_t> Bytes() const { return bytes_; }
  const std::vector<FieldDef>& Fields() const { return defs_; }
  // Position of the field, matched as Dataset::FieldIndex matches; -1 when absent.
  int FieldIndex(std::string_view name) const;
  std::size_t RecordCount() const { return rows_; }
  bool IsEmpty() const { return rows_ == 0; }

  // The whole dataset, every row checked (EDatasetFormatException); the
  // bytes go with it as its kept binary form, and the packet is empty
  // afterwards.
  Dataset TakeDataset();

  // Walks the rows in order, checking each as TakeDataset would, and gives
  // the value of `result` (as AsInt64 reads it) in the first row whose
  // `field` reads (as AsString) exactly `value`; nothing when no row does.
  // The walk ends at that row: rows after it are not read. Raises
  // EDatasetFormatException for a damaged row on the way, EDatasetException
  // when either field is missing or the value does not convert.
  std::optional<int64_t> FirstWhere(std::string_view field, std::string_view value, std::string_view result) const;

 private:
  std::vector<uint8_t> bytes_;
  std::vector<FieldDef> defs_;
  uint32_t rows_ = 0;
  std::size_t rowsOffset_ = 0;  // where the first row begins in bytes_
};

}  // namespace brevalon
