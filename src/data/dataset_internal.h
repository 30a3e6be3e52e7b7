// Private to the dataset's implementation files (dataset*.cpp): the typed
// cell that every conversion and comparison goes through, and raw access to
// a dataset's columns. Nothing outside src/data/dataset*.cpp includes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "data/dataset.h"

namespace brevalon {

namespace dataset_detail {

enum class Kind : uint8_t { Null, Int, Bool, Real, Date, Text, Bytes };

// One value as read from or about to be written to a field. `s` borrows: it
// is valid until the dataset (or the caller's buffer) changes.
struct Cell {
  Kind kind = Kind::Null;
  int64_t i = 0;
  double d = 0;
  std::string_view s;
};

// Limits shared by the in-memory dataset and its binary form.
constexpr std::size_t kMaxFields = 1024;
constexpr std::size_t kMaxFieldNameBytes = 1024;

inline bool IsTextual(FieldType t) { return t == FieldType::Text || t == FieldType::Bytes; }

// Case-insensitive name comparison (ASCII and Cyrillic).
bool NamesEqual(std::string_view a, std::string_view b);
// Byte length of the longest prefix of `s` holding at most `size` characters
// (`size` 0 = no limit); never inside a UTF-8 sequence.
std::size_t CutToCharacters(std::string_view s, uint32_t size);

bool ParseInt64(std::string_view s, int64_t& out);
bool ParseDouble(std::string_view s, double& out);
bool ParseBoolean(std::string_view s, bool& out);
bool ParseDateTime(std::string_view s, double& out);
std::string DateTimeText(double v);

// Conversions under the exact-or-refuse rules; `field` names the field in
// the message of the EDatasetException they raise. Null reads as zero.
int64_t ToInt64(const Cell& c, std::string_view field);
int32_t ToInt32(const Cell& c, std::string_view field);
double ToDouble(const Cell& c, std::string_view field);
double ToDateTime(const Cell& c, std::string_view field);
bool ToBoolean(const Cell& c, std::string_view field);
std::string ToText(const Cell& c);
std::string_view ToBytes(const Cell& c, std::string_view field);

// Typed equality of row comparison: null only equals null.
bool SameValue(const Cell& a, const Cell& b);
// Equality of search: SameValue, or a text that reads as the other number.
bool SearchMatch(const Cell& field, const Cell& value);

}  // namespace dataset_detail

struct DatasetAccess {
  using Cell = dataset_detail::Cell;
  static Cell Read(const Dataset& ds, std::size_t col, std::size_t row);
  // Converts and stores; a refused conversion leaves the cell unchanged.
  static void Write(Dataset& ds, std::size_t col, std::size_t row, const Cell& cell);
  // Write to the current row, then keep an active index in order.
  static void SetAndPlace(Dataset& ds, std::size_t col, const Cell& cell);
  static void PushRow(Dataset& ds);
  // Text and Bytes values of a column. PutText may take a view into the
  // column's own heap.
  static std::string_view TextOf(const Dataset::Column& c, std::size_t row) {
    return std::string_view(c.heap.data() + c.words[row], c.lengths[row]);
  }
  static void PutText(Dataset& ds, std::size_t col, std::size_t row, std::string_view value);
  static void DropText(Dataset::Column& c, std::size_t row);  // the row's bytes become garbage
  static bool Find(Dataset& ds, std::string_view field, const Cell& value);

  // Binary form (dataset_io.cpp).
  static std::vector<uint8_t> Save(const Dataset& ds);
  static Dataset Load(std::span<const uint8_t> bytes);
};

}  // namespace brevalon
