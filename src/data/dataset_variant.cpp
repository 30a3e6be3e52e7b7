// The bridge between dataset fields and Variant values.
#include <cstdint>

#include "data/dataset.h"
#include "data/dataset_internal.h"
#include "data/variant.h"

namespace brevalon {

using dataset_detail::Cell;
using dataset_detail::Kind;

namespace {

// The cell a variant stands for. Text is copied into `text`, bytes are
// borrowed from `v`: both must outlive the cell.
Cell CellOf(const Variant& v, std::string& text, std::string_view field) {
  Cell c;
  switch (v.Type()) {
    case VariantType::Empty:
    case VariantType::Null: break;
    case VariantType::Int32:
    case VariantType::Byte:
      c.kind = Kind::Int;
      c.i = v.AsInteger();
      break;
    case VariantType::Boolean:
      c.kind = Kind::Bool;
      c.i = v.AsBoolean() ? 1 : 0;
      break;
    case VariantType::Double:
      c.kind = Kind::Real;
      c.d = v.AsDouble();
      break;
    case VariantType::Text:
      text = v.AsString();
      c.kind = Kind::Text;
      c.s = text;
      break;
    case VariantType::ByteArray: {
      const std::vector<uint8_t>& b = v.AsBytes();
      c.kind = Kind::Bytes;
      c.s = std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
      break;
    }
    case VariantType::IntArray:
      throw EDatasetException("Field \"" + std::string(field) + "\": cannot store an integer array");
  }
  return c;
}

}  // namespace

Variant ConstField::AsVariant() const {
  const Cell c = DatasetAccess::Read(*dataset_, index_, dataset_->CurrentRow());
  switch (c.kind) {
    case Kind::Null: return Variant::Null();
    case Kind::Int:
      if (c.i >= INT32_MIN && c.i <= INT32_MAX) return Variant(static_cast<int32_t>(c.i));
      return Variant(static_cast<double>(c.i));
    case Kind::Bool: return Variant(c.i != 0);
    case Kind::Real:
    case Kind::Date: return Variant(c.d);
    case Kind::Text: return Variant(std::string(c.s));
    case Kind::Bytes: return Variant(std::vector<uint8_t>(c.s.begin(), c.s.end()));
  }
  return Variant::Null();
}

void Field::SetVariant(const Variant& value) const {
  std::string text;
  DatasetAccess::SetAndPlace(*Mutable(), index_, CellOf(value, text, Name()));
}

void Dataset::AppendRow(const std::vector<Variant>& values) {
  if (values.size() > defs_.size())
    throw EDatasetException("Row of " + std::to_string(values.size()) + " values for " +
                            std::to_string(defs_.size()) + " fields");
  Append();
  const std::size_t row = CurrentRow();
  try {
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i)
      DatasetAccess::Write(*this, i, row, CellOf(values[i], text, defs_[i].name));
  } catch (...) {
    Delete();
    throw;
  }
  if (indexField_ >= 0) PlaceCurrentInIndex();
}

bool Dataset::Locate(std::string_view field, const Variant& value) {
  std::string text;
  return DatasetAccess::Find(*this, field, CellOf(value, text, field));
}

}  // namespace brevalon
