// Dataset storage, cursor, conversions, ordering and row comparison. The
// binary form lives in dataset_io.cpp, the Variant bridge in
// dataset_variant.cpp.
#include "data/dataset.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

#include "data/dataset_internal.h"

namespace brevalon {

// ---------------------------------------------------------------------------
// Text helpers

namespace {

// Next code point of `s` at `i`; a byte that does not start a well-formed
// sequence is returned alone, marked so that it never equals a code point.
uint32_t NextCodePoint(std::string_view s, std::size_t& i) {
  const auto b = static_cast<uint8_t>(s[i]);
  if (b < 0x80) {
    ++i;
    return b;
  }
  const std::size_t len = (b >= 0xF0 && b < 0xF8) ? 4 : (b >= 0xE0 && b < 0xF0) ? 3 : (b >= 0xC0 && b < 0xE0) ? 2 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0x80000000u | b;
  }
  uint32_t cp = b & (0x7Fu >> len);
  for (std::size_t k = 1; k < len; ++k) {
    const auto c = static_cast<uint8_t>(s[i + k]);
    if ((c & 0xC0) != 0x80) {
      ++i;
      return 0x80000000u | b;
    }
    cp = (cp << 6) | (c & 0x3Fu);
  }
  i += len;
  return cp;
}

// Field names are Latin or Cyrillic; fold both alphabets to lower case.
uint32_t FoldCase(uint32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;  // А..Я
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;  // Ѐ..Џ (Ё among them)
  return c;
}

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

std::string Quote(std::string_view s) {
  constexpr std::size_t kMax = 64;
  std::string out = "\"";
  out.append(s.substr(0, kMax));
  if (s.size() > kMax) out += "...";
  out += '"';
  return out;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// ---- date-time text ----

constexpr int64_t kUnixEpochDay = 25569;   // 1970-01-01 is day 25569
constexpr double kMinTextDate = -693593.0;     // 0001-01-01
constexpr double kMaxTextDate = 2958466.0;     // 10000-01-01 (exclusive)

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

std::string NumberText(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// Reads `n` decimal digits at `p`.
bool Digits(std::string_view s, std::size_t p, std::size_t n, unsigned& out) {
  if (p + n > s.size()) return false;
  out = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (!IsAsciiDigit(s[p + k])) return false;
    out = out * 10 + static_cast<unsigned>(s[p + k] - '0');
  }
  return true;
}

// "YYYY-MM-DD[( |T)HH:MM[:SS[.fff]]]".
bool ParseIsoDateTime(std::string_view s, double& out) {
  unsigned y, mo, d, h = 0, mi = 0, sec = 0;
  if (!Digits(s, 0, 4, y) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, mo) || s[7] != '-' ||
      !Digits(s, 8, 2, d))
    return false;
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo)) return false;
  std::size_t p = 10;
  double frac = 0;
  if (p < s.size()) {
    if (s[p] != ' ' && s[p] != 'T') return false;
    if (!Digits(s, p + 1, 2, h) || p + 3 >= s.size() || s[p + 3] != ':' || !Digits(s, p + 4, 2, mi)) return false;
    p += 6;
    if (p < s.size()) {
      if (s[p] != ':' || !Digits(s, p + 1, 2, sec)) return false;
      p += 3;
      if (p < s.size()) {
        if (s[p] != '.' || p + 1 == s.size()) return false;
        double scale = 0.1;
        for (++p; p < s.size(); ++p) {
          if (!IsAsciiDigit(s[p])) return false;
          frac += (s[p] - '0') * scale;
          scale /= 10;
        }
      }
    }
    if (h > 23 || mi > 59 || sec > 59) return false;
  }
  const auto days = static_cast<double>(DaysFromCivil(y, mo, d) + kUnixEpochDay);
  const double time = (h * 3600.0 + mi * 60.0 + sec + frac) / 86400.0;
  // Before 1899-12-30 the day count is negative and the time of day is
  // still counted forward from midnight: the fraction is subtracted.
  out = days < 0 ? days - time : days + time;
  return true;
}

}  // namespace

std::string_view FieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::Int32: return "int32";
    case FieldType::Int64: return "int64";
    case FieldType::Boolean: return "boolean";
    case FieldType::Double: return "double";
    case FieldType::DateTime: return "date-time";
    case FieldType::Text: return "text";
    case FieldType::Bytes: return "bytes";
  }
  return "unknown";
}

namespace dataset_detail {

bool NamesEqual(std::string_view a, std::string_view b) {
  // The folded pairs (ASCII, Cyrillic) have equal UTF-8 lengths, so names of
  // different byte lengths never match.
  if (a.size() != b.size()) return false;
  std::size_t i = 0, j = 0;
  while (i < a.size() && static_cast<uint8_t>(a[i]) < 0x80 && static_cast<uint8_t>(b[i]) < 0x80) {
    if (FoldCase(static_cast<uint8_t>(a[i])) != FoldCase(static_cast<uint8_t>(b[i]))) return false;
    j = ++i;
  }
  while (i < a.size() && j < b.size()) {
    if (FoldCase(NextCodePoint(a, i)) != FoldCase(NextCodePoint(b, j))) return false;
  }
  return i == a.size() && j == b.size();
}

std::size_t CutToCharacters(std::string_view s, uint32_t size) {
  if (size == 0 || s.size() <= size) return s.size();  // a character is at least one byte
  uint32_t chars = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<uint8_t>(s[i]) & 0xC0) != 0x80) {  // a byte that starts a character
      if (chars == size) return i;
      ++chars;
    }
  }
  return s.size();
}

std::string DateTimeText(double v) {
  if (!(v >= kMinTextDate && v < kMaxTextDate)) return NumberText(v);
  const double whole = std::trunc(v);
  auto ms = static_cast<int64_t>(std::llround(std::fabs(v - whole) * 86400000.0));
  if (ms >= 86400000) ms = 86400000 - 1;  // a hair before midnight stays on its day
  int64_t y;
  unsigned m, d;
  CivilFromDays(static_cast<int64_t>(whole) - kUnixEpochDay, y, m, d);
  char buf[48];
  const int secs = static_cast<int>(ms / 1000);
  int n = std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02d:%02d:%02d", static_cast<long long>(y), m, d,
                        secs / 3600, secs / 60 % 60, secs % 60);
  if (ms % 1000 != 0) n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), ".%03d",
                                         static_cast<int>(ms % 1000));
  return std::string(buf, static_cast<std::size_t>(n));
}

namespace {

// An optional leading "+" is accepted; from_chars takes the "-" itself and
// refuses anything else in front of the digits.
std::string_view WithoutPlus(std::string_view s) {
  if (s.size() > 1 && s[0] == '+' && s[1] != '-') s.remove_prefix(1);
  return s;
}

}  // namespace

bool ParseInt64(std::string_view s, int64_t& out) {
  s = WithoutPlus(s);
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool ParseDouble(std::string_view s, double& out) {
  s = WithoutPlus(s);
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool ParseBoolean(std::string_view s, bool& out) {
  if (EqualsIgnoreAsciiCase(s, "true") || s == "1") {
    out = true;
    return true;
  }
  if (EqualsIgnoreAsciiCase(s, "false") || s == "0") {
    out = false;
    return true;
  }
  return false;
}

bool ParseDateTime(std::string_view s, double& out) { return ParseIsoDateTime(s, out) || ParseDouble(s, out); }

namespace {

std::string Describe(const Cell& c) {
  switch (c.kind) {
    case Kind::Null: return "null";
    case Kind::Int: return "integer " + std::to_string(c.i);
    case Kind::Bool: return c.i ? "boolean True" : "boolean False";
    case Kind::Real: return "number " + NumberText(c.d);
    case Kind::Date: return "date-time " + DateTimeText(c.d);
    case Kind::Text: return "text " + Quote(c.s);
    case Kind::Bytes: return std::to_string(c.s.size()) + " bytes";
  }
  return "value";
}

[[noreturn]] void Refuse(std::string_view field, const Cell& c, std::string_view target) {
  throw EDatasetException("Field \"" + std::string(field) + "\": cannot convert " + Describe(c) + " to " +
                          std::string(target));
}

bool ExactInt64(double d, int64_t& out) {
  // 2^63 is exactly representable; every double below it in magnitude that
  // has no fraction fits.
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || d != std::trunc(d)) return false;
  out = static_cast<int64_t>(d);
  return true;
}

}  // namespace

int64_t ToInt64(const Cell& c, std::string_view field) {
  int64_t v = 0;
  switch (c.kind) {
    case Kind::Null: return 0;
    case Kind::Int:
    case Kind::Bool: return c.i;
    case Kind::Real:
    case Kind::Date:
      if (ExactInt64(c.d, v)) return v;
      break;
    case Kind::Text:
      if (ParseInt64(c.s, v)) return v;
      break;
    case Kind::Bytes: break;
  }
  Refuse(field, c, "an integer");
}

int32_t ToInt32(const Cell& c, std::string_view field) {
  const int64_t v = ToInt64(c, field);
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    Refuse(field, c, "a 32-bit integer");
  return static_cast<int32_t>(v);
}

double ToDouble(const Cell& c, std::string_view field) {
  double v = 0;
  switch (c.kind) {
    case Kind::Null: return 0;
    case Kind::Int:
    case Kind::Bool: return static_cast<double>(c.i);
    case Kind::Real:
    case Kind::Date: return c.d;
    case Kind::Text:
      if (ParseDouble(c.s, v)) return v;
      break;
    case Kind::Bytes: break;
  }
  Refuse(field, c, "a number");
}

double ToDateTime(const Cell& c, std::string_view field) {
  double v = 0;
  switch (c.kind) {
    case Kind::Null: return 0;
    case Kind::Int: return static_cast<double>(c.i);
    case Kind::Real:
    case Kind::Date: return c.d;
    case Kind::Text:
      if (ParseDateTime(c.s, v)) return v;
      break;
    case Kind::Bool:
    case Kind::Bytes: break;
  }
  Refuse(field, c, "a date-time");
}

bool ToBoolean(const Cell& c, std::string_view field) {
  bool v = false;
  switch (c.kind) {
    case Kind::Null: return false;
    case Kind::Int:
    case Kind::Bool: return c.i != 0;
    case Kind::Real: return c.d != 0;
    case Kind::Text:
      if (ParseBoolean(c.s, v)) return v;
      break;
    case Kind::Date:
    case Kind::Bytes: break;
  }
  Refuse(field, c, "a boolean");
}

std::string ToText(const Cell& c) {
  switch (c.kind) {
    case Kind::Null: return {};
    case Kind::Int: return std::to_string(c.i);
    case Kind::Bool: return c.i ? "True" : "False";
    case Kind::Real: return NumberText(c.d);
    case Kind::Date: return DateTimeText(c.d);
    case Kind::Text:
    case Kind::Bytes: return std::string(c.s);
  }
  return {};
}

std::string_view ToBytes(const Cell& c, std::string_view field) {
  switch (c.kind) {
    case Kind::Null: return {};
    case Kind::Text:
    case Kind::Bytes: return c.s;
    default: break;
  }
  Refuse(field, c, "bytes");
}

bool SameValue(const Cell& a, const Cell& b) {
  if (a.kind == Kind::Null || b.kind == Kind::Null) return a.kind == b.kind;
  const bool aInt = a.kind == Kind::Int || a.kind == Kind::Bool;
  const bool bInt = b.kind == Kind::Int || b.kind == Kind::Bool;
  const bool aReal = a.kind == Kind::Real || a.kind == Kind::Date;
  const bool bReal = b.kind == Kind::Real || b.kind == Kind::Date;
  const bool aText = a.kind == Kind::Text || a.kind == Kind::Bytes;
  const bool bText = b.kind == Kind::Text || b.kind == Kind::Bytes;
  if (aInt && bInt) return a.i == b.i;
  if (aReal && bReal) return a.d == b.d || (std::isnan(a.d) && std::isnan(b.d));
  if (aInt && bReal) {
    int64_t v;
    return ExactInt64(b.d, v) && v == a.i;
  }
  if (aReal && bInt) return SameValue(b, a);
  if (aText && bText) return a.s == b.s;
  return false;
}

bool SearchMatch(const Cell& field, const Cell& value) {
  if (SameValue(field, value)) return true;
  // A number sought in a text field, or a text sought in a numeric field:
  // compare after reading the text as the other side's kind.
  const Cell* text = field.kind == Kind::Text ? &field : value.kind == Kind::Text ? &value : nullptr;
  const Cell* other = text == &field ? &value : &field;
  if (text == nullptr || other->kind == Kind::Null || other->kind == Kind::Text || other->kind == Kind::Bytes)
    return false;
  Cell parsed;
  parsed.kind = other->kind;
  switch (other->kind) {
    case Kind::Int:
      if (!ParseInt64(text->s, parsed.i)) {
        if (!ParseDouble(text->s, parsed.d)) return false;
        parsed.kind = Kind::Real;
      }
      break;
    case Kind::Bool: {
      bool b;
      if (!ParseBoolean(text->s, b)) return false;
      parsed.i = b;
      break;
    }
    case Kind::Real:
      if (!ParseDouble(text->s, parsed.d)) return false;
      break;
    case Kind::Date:
      if (!ParseDateTime(text->s, parsed.d)) return false;
      break;
    default: return false;
  }
  return SameValue(parsed, *other);
}

}  // namespace dataset_detail

using namespace dataset_detail;

// ---------------------------------------------------------------------------
// DatasetAccess: raw cell reads and writes

Cell DatasetAccess::Read(const Dataset& ds, std::size_t col, std::size_t row) {
  const Dataset::Column& c = ds.columns_[col];
  Cell cell;
  if (c.nulls[row]) return cell;
  switch (ds.defs_[col].type) {
    case FieldType::Int32:
    case FieldType::Int64:
      cell.kind = Kind::Int;
      cell.i = static_cast<int64_t>(c.words[row]);
      break;
    case FieldType::Boolean:
      cell.kind = Kind::Bool;
      cell.i = c.words[row] != 0;
      break;
    case FieldType::Double:
      cell.kind = Kind::Real;
      cell.d = std::bit_cast<double>(c.words[row]);
      break;
    case FieldType::DateTime:
      cell.kind = Kind::Date;
      cell.d = std::bit_cast<double>(c.words[row]);
      break;
    case FieldType::Text:
      cell.kind = Kind::Text;
      cell.s = TextOf(c, row);
      break;
    case FieldType::Bytes:
      cell.kind = Kind::Bytes;
      cell.s = TextOf(c, row);
      break;
  }
  return cell;
}

void DatasetAccess::Write(Dataset& ds, std::size_t col, std::size_t row, const Cell& cell) {
  ds.image_.reset();
  const FieldDef& def = ds.defs_[col];
  Dataset::Column& c = ds.columns_[col];
  if (cell.kind == Kind::Null) {
    if (IsTextual(def.type)) DropText(c, row);
    c.nulls[row] = 1;
    c.words[row] = 0;
    return;
  }
  // Convert first: a refused conversion leaves the cell as it was.
  switch (def.type) {
    case FieldType::Int32:
      c.words[row] = static_cast<uint64_t>(static_cast<int64_t>(ToInt32(cell, def.name)));
      break;
    case FieldType::Int64:
      c.words[row] = static_cast<uint64_t>(ToInt64(cell, def.name));
      break;
    case FieldType::Boolean:
      c.words[row] = ToBoolean(cell, def.name) ? 1 : 0;
      break;
    case FieldType::Double:
      c.words[row] = std::bit_cast<uint64_t>(ToDouble(cell, def.name));
      break;
    case FieldType::DateTime:
      c.words[row] = std::bit_cast<uint64_t>(ToDateTime(cell, def.name));
      break;
    case FieldType::Text:
      if (cell.kind == Kind::Text || cell.kind == Kind::Bytes) {
        PutText(ds, col, row, cell.s.substr(0, CutToCharacters(cell.s, def.size)));
      } else {
        const std::string text = ToText(cell);
        PutText(ds, col, row, std::string_view(text).substr(0, CutToCharacters(text, def.size)));
      }
      break;
    case FieldType::Bytes:
      PutText(ds, col, row, ToBytes(cell, def.name));
      break;
  }
  c.nulls[row] = 0;
}

void DatasetAccess::DropText(Dataset::Column& c, std::size_t row) {
  c.garbage += c.lengths[row];
  c.lengths[row] = 0;
  c.words[row] = 0;
}

void DatasetAccess::PutText(Dataset& ds, std::size_t col, std::size_t row, std::string_view value) {
  Dataset::Column& c = ds.columns_[col];
  if (value.size() > std::numeric_limits<uint32_t>::max())
    throw EDatasetException("Field \"" + ds.defs_[col].name + "\": value too long");
  ds.image_.reset();
  DropText(c, row);  // the old bytes stay in place until the copy below is done
  const std::size_t at = c.heap.size();
  const char* base = c.heap.data();
  if (value.data() >= base && value.data() < base + c.heap.size()) {
    // A value taken from this very heap: make room first, then copy from
    // the (possibly moved) source.
    const auto from = static_cast<std::size_t>(value.data() - base);
    c.heap.reserve(at + value.size());
    c.heap.append(c.heap.data() + from, value.size());
  } else {
    c.heap.append(value);
  }
  c.words[row] = at;
  c.lengths[row] = static_cast<uint32_t>(value.size());
  // Rewritten values pile up as garbage; once it outweighs the live bytes,
  // copy the live ones into a fresh heap (amortised linear).
  if (c.garbage > 4096 && c.garbage > c.heap.size() / 2) {
    std::string fresh;
    fresh.reserve(c.heap.size() - c.garbage);
    for (std::size_t r = 0; r < c.lengths.size(); ++r) {
      const std::size_t offset = fresh.size();
      fresh.append(c.heap, c.words[r], c.lengths[r]);
      c.words[r] = c.lengths[r] == 0 ? 0 : offset;
    }
    c.heap = std::move(fresh);
    c.garbage = 0;
  }
}

void DatasetAccess::SetAndPlace(Dataset& ds, std::size_t col, const Cell& cell) {
  const std::size_t row = ds.CurrentRow();
  Write(ds, col, row, cell);
  if (static_cast<int>(col) == ds.indexField_) ds.PlaceCurrentInIndex();
}

void DatasetAccess::PushRow(Dataset& ds) {
  if (ds.rows_ >= std::numeric_limits<uint32_t>::max()) throw EDatasetException("Dataset is full");
  ds.image_.reset();
  for (std::size_t i = 0; i < ds.columns_.size(); ++i) {
    Dataset::Column& c = ds.columns_[i];
    c.nulls.push_back(1);
    c.words.push_back(0);
    if (IsTextual(ds.defs_[i].type)) c.lengths.push_back(0);
  }
  if (ds.indexField_ >= 0) ds.order_.push_back(static_cast<uint32_t>(ds.rows_));
  ++ds.rows_;
}

// ---------------------------------------------------------------------------
// Fields

const FieldDef& ConstField::Def() const { return dataset_->defs_[index_]; }
const std::string& ConstField::Name() const { return Def().name; }
FieldType ConstField::Type() const { return Def().type; }

bool ConstField::IsNull() const { return dataset_->columns_[index_].nulls[dataset_->CurrentRow()] != 0; }

int32_t ConstField::AsInteger() const {
  return ToInt32(DatasetAccess::Read(*dataset_, index_, dataset_->CurrentRow()), Name());
}
int64_t ConstField::AsInt64() const {
  return ToInt64(DatasetAccess::Read(*dataset_, index_, dataset_->CurrentRow()), Name());
}
bool ConstField::AsBoolean() const {
  return ToBoolean(DatasetAccess::Read(*dataset_, index_, dataset_->CurrentRow()), Name());
}
double ConstField::AsFloat() const {
  return ToDouble(DatasetAccess::Read(*dataset_, index_, dataset_->CurrentRow()), Name());
}
double ConstField::AsDateTime() const {
  return ToDateTime(DatasetAccess::Read(*dataset_, index_, dataset_->CurrentRow()), Name());
}
std::string ConstField::AsString() const { return ToText(DatasetAccess::Read(*dataset_, index_, dataset_->CurrentRow())); }
std::vector<uint8_t> ConstField::AsBytes() const {
  const std::string_view b = ToBytes(DatasetAccess::Read(*dataset_, index_, dataset_->CurrentRow()), Name());
  const auto* data = reinterpret_cast<const uint8_t*>(b.data());
  return std::vector<uint8_t>(data, data + b.size());
}

Dataset* Field::Mutable() const { return const_cast<Dataset*>(dataset_); }

void Field::SetNull() const { DatasetAccess::SetAndPlace(*Mutable(), index_, Cell{}); }
void Field::SetInteger(int32_t value) const { SetInt64(value); }
void Field::SetInt64(int64_t value) const {
  Cell c;
  c.kind = Kind::Int;
  c.i = value;
  DatasetAccess::SetAndPlace(*Mutable(), index_, c);
}
void Field::SetBoolean(bool value) const {
  Cell c;
  c.kind = Kind::Bool;
  c.i = value;
  DatasetAccess::SetAndPlace(*Mutable(), index_, c);
}
void Field::SetFloat(double value) const {
  Cell c;
  c.kind = Kind::Real;
  c.d = value;
  DatasetAccess::SetAndPlace(*Mutable(), index_, c);
}
void Field::SetDateTime(double value) const {
  Cell c;
  c.kind = Kind::Date;
  c.d = value;
  DatasetAccess::SetAndPlace(*Mutable(), index_, c);
}
void Field::SetString(std::string_view value) const {
  Cell c;
  c.kind = Kind::Text;
  c.s = value;
  DatasetAccess::SetAndPlace(*Mutable(), index_, c);
}
void Field::SetBytes(std::span<const uint8_t> value) const {
  Cell c;
  c.kind = Kind::Bytes;
  c.s = std::string_view(reinterpret_cast<const char*>(value.data()), value.size());
  DatasetAccess::SetAndPlace(*Mutable(), index_, c);
}

// ---------------------------------------------------------------------------
// Dataset: fields

void Dataset::AddField(std::string name, FieldType type, uint32_t size) {
  if (name.empty()) throw EDatasetException("A field needs a name");
  if (name.size() > kMaxFieldNameBytes) throw EDatasetException("Field name too long: " + Quote(name));
  if (defs_.size() >= kMaxFields) throw EDatasetException("Too many fields (" + std::to_string(kMaxFields) + ")");
  if (static_cast<uint8_t>(type) > static_cast<uint8_t>(FieldType::Bytes))
    throw EDatasetException("Field \"" + name + "\": unknown type");
  if (FieldIndex(name) >= 0) throw EDatasetException("Field \"" + name + "\" already exists");
  image_.reset();
  Column c;
  c.nulls.assign(rows_, 1);
  c.words.assign(rows_, 0);
  if (IsTextual(type)) c.lengths.assign(rows_, 0);
  defs_.push_back(FieldDef{std::move(name), type, type == FieldType::Text ? size : 0});
  columns_.push_back(std::move(c));
}

int Dataset::FieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < defs_.size(); ++i)
    if (NamesEqual(defs_[i].name, name)) return static_cast<int>(i);
  return -1;
}

void Dataset::CopyFieldDefsFrom(const Dataset& source) {
  std::vector<FieldDef> defs = source.defs_;
  *this = Dataset();
  for (const FieldDef& d : defs) AddField(d);
}

std::size_t Dataset::RequireField(std::string_view name) const {
  const int i = FieldIndex(name);
  if (i < 0) throw EDatasetException("Field \"" + std::string(name) + "\" not found");
  return static_cast<std::size_t>(i);
}

Field Dataset::FieldByName(std::string_view name) { return Field(this, RequireField(name)); }
ConstField Dataset::FieldByName(std::string_view name) const { return ConstField(this, RequireField(name)); }

Field Dataset::FieldByIndex(std::size_t index) {
  if (index >= defs_.size()) throw EDatasetException("Field index " + std::to_string(index) + " out of range");
  return Field(this, index);
}
ConstField Dataset::FieldByIndex(std::size_t index) const {
  if (index >= defs_.size()) throw EDatasetException("Field index " + std::to_string(index) + " out of range");
  return ConstField(this, index);
}

std::size_t Dataset::CurrentRow() const {
  if (pos_ >= rows_) throw EDatasetException(rows_ == 0 ? "Dataset is empty" : "Dataset has no current row");
  return PhysicalRow(pos_);
}

// ---------------------------------------------------------------------------
// Dataset: rows

void Dataset::Append() {
  if (defs_.empty()) throw EDatasetException("Cannot append a row to a dataset without fields");
  DatasetAccess::PushRow(*this);
  pos_ = rows_ - 1;  // a fresh row has a null key: last in an index as well
  bof_ = false;
}

void Dataset::AppendCopyOf(const Dataset& source) {
  const std::size_t from = source.CurrentRow();
  Append();
  const std::size_t to = CurrentRow();
  try {
    for (std::size_t i = 0; i < defs_.size(); ++i) {
      // Usually both have the same fields in the same order.
      const int found = i < source.defs_.size() && NamesEqual(defs_[i].name, source.defs_[i].name)
                            ? static_cast<int>(i)
                            : source.FieldIndex(defs_[i].name);
      if (found < 0) continue;
      const auto j = static_cast<std::size_t>(found);
      const Column& src = source.columns_[j];
      Column& dst = columns_[i];
      if (src.nulls[from]) continue;
      if (source.defs_[j].type == defs_[i].type && (defs_[i].type != FieldType::Text || defs_[i].size == 0 ||
                                                     source.defs_[j].size == defs_[i].size)) {
        if (IsTextual(defs_[i].type))
          DatasetAccess::PutText(*this, i, to, DatasetAccess::TextOf(src, from));
        else
          dst.words[to] = src.words[from];
        dst.nulls[to] = 0;
      } else {
        DatasetAccess::Write(*this, i, to, DatasetAccess::Read(source, j, from));
      }
    }
  } catch (...) {
    Delete();
    throw;
  }
  if (indexField_ >= 0) PlaceCurrentInIndex();
}

void Dataset::Delete() {
  const std::size_t row = CurrentRow();
  image_.reset();
  for (Column& c : columns_) {
    if (!c.lengths.empty()) {
      DatasetAccess::DropText(c, row);
      c.lengths.erase(c.lengths.begin() + static_cast<std::ptrdiff_t>(row));
    }
    c.nulls.erase(c.nulls.begin() + static_cast<std::ptrdiff_t>(row));
    c.words.erase(c.words.begin() + static_cast<std::ptrdiff_t>(row));
  }
  if (indexField_ >= 0) {
    order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(pos_));
    for (uint32_t& r : order_)
      if (r > row) --r;
  }
  --rows_;
}

void Dataset::Clear() {
  image_.reset();
  for (Column& c : columns_) {
    c.nulls.clear();
    c.words.clear();
    c.lengths.clear();
    c.heap.clear();
    c.garbage = 0;
  }
  order_.clear();
  rows_ = 0;
  pos_ = 0;
  bof_ = true;
}

// ---------------------------------------------------------------------------
// Dataset: walking

void Dataset::First() {
  pos_ = 0;
  bof_ = true;
}

void Dataset::Last() {
  pos_ = rows_ == 0 ? 0 : rows_ - 1;
  bof_ = rows_ == 0;
}

void Dataset::Next() {
  if (pos_ < rows_) ++pos_;
  bof_ = false;
}

void Dataset::Prior() {
  if (pos_ == 0) {
    bof_ = true;
    return;
  }
  --pos_;
  bof_ = false;
}

void Dataset::MoveTo(std::size_t recNo) {
  if (recNo > rows_)
    throw EDatasetException("Record " + std::to_string(recNo) + " out of range (" + std::to_string(rows_) +
                            " records)");
  pos_ = recNo;
  bof_ = false;
}

// ---------------------------------------------------------------------------
// Dataset: search

bool DatasetAccess::Find(Dataset& ds, std::string_view field, const Cell& value) {
  const std::size_t col = ds.RequireField(field);
  for (std::size_t p = 0; p < ds.rows_; ++p) {
    const Cell c = Read(ds, col, ds.PhysicalRow(p));
    if (value.kind == Kind::Null ? c.kind == Kind::Null : SearchMatch(c, value)) {
      ds.pos_ = p;
      ds.bof_ = false;
      return true;
    }
  }
  return false;
}

bool Dataset::Locate(std::string_view field, int64_t value) {
  Cell c;
  c.kind = Kind::Int;
  c.i = value;
  return DatasetAccess::Find(*this, field, c);
}

bool Dataset::Locate(std::string_view field, std::string_view value) {
  Cell c;
  c.kind = Kind::Text;
  c.s = value;
  return DatasetAccess::Find(*this, field, c);
}

// ---------------------------------------------------------------------------
// Dataset: descending index

namespace {

// Walk order of a descending index: larger keys first, null keys last, equal
// keys in insertion order. A strict total order, so sorting and inserting
// agree.
struct DescendingOrder {
  const std::vector<uint8_t>& nulls;
  const std::vector<uint64_t>& words;
  bool operator()(uint32_t a, uint32_t b) const {
    if (nulls[a] != nulls[b]) return nulls[b] != 0;
    if (!nulls[a]) {
      const auto ka = static_cast<int64_t>(words[a]), kb = static_cast<int64_t>(words[b]);
      if (ka != kb) return ka > kb;
    }
    return a < b;
  }
};

}  // namespace

void Dataset::SetDescendingIndex(std::string_view field) {
  const std::size_t col = RequireField(field);
  const FieldType t = defs_[col].type;
  if (t != FieldType::Int32 && t != FieldType::Int64)
    throw EDatasetException("Field \"" + defs_[col].name + "\": an index needs an integer field, not " +
                            std::string(FieldTypeName(t)));
  indexField_ = static_cast<int>(col);
  RebuildIndex();
  First();
}

void Dataset::ClearIndex() {
  indexField_ = -1;
  order_.clear();
  order_.shrink_to_fit();
  First();
}

std::string Dataset::IndexFieldName() const { return indexField_ < 0 ? std::string() : defs_[indexField_].name; }

void Dataset::RebuildIndex() {
  order_.resize(rows_);
  std::iota(order_.begin(), order_.end(), 0u);
  const Column& c = columns_[static_cast<std::size_t>(indexField_)];
  std::sort(order_.begin(), order_.end(), DescendingOrder{c.nulls, c.words});
}

void Dataset::PlaceCurrentInIndex() {
  const uint32_t row = order_[pos_];
  order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(pos_));
  const Column& c = columns_[static_cast<std::size_t>(indexField_)];
  const auto at = std::lower_bound(order_.begin(), order_.end(), row, DescendingOrder{c.nulls, c.words});
  pos_ = static_cast<std::size_t>(at - order_.begin());
  order_.insert(at, row);
}

// ---------------------------------------------------------------------------
// Dataset: comparing

bool Dataset::SameValuesAs(const Dataset& other) const {
  const std::size_t a = CurrentRow(), b = other.CurrentRow();
  if (other.defs_.size() < defs_.size()) return false;
  for (std::size_t i = 0; i < defs_.size(); ++i) {
    const Column& x = columns_[i];
    const Column& y = other.columns_[i];
    if (x.nulls[a] || y.nulls[b]) {
      if (x.nulls[a] != y.nulls[b]) return false;
      continue;
    }
    const FieldType t = defs_[i].type;
    if (t == other.defs_[i].type) {
      // Same type: compare the stored form directly (the hot path).
      if (IsTextual(t)) {
        if (DatasetAccess::TextOf(x, a) != DatasetAccess::TextOf(y, b)) return false;
      } else if (t == FieldType::Double || t == FieldType::DateTime) {
        const double p = std::bit_cast<double>(x.words[a]), q = std::bit_cast<double>(y.words[b]);
        if (p != q && !(std::isnan(p) && std::isnan(q))) return false;
      } else if (x.words[a] != y.words[b]) {
        return false;
      }
    } else if (!SameValue(DatasetAccess::Read(*this, i, a), DatasetAccess::Read(other, i, b))) {
      return false;
    }
  }
  return true;
}

bool Dataset::ContentEquals(const Dataset& other) const {
  if (defs_ != other.defs_ || rows_ != other.rows_) return false;
  for (std::size_t p = 0; p < rows_; ++p) {
    const std::size_t a = PhysicalRow(p), b = other.PhysicalRow(p);
    for (std::size_t i = 0; i < defs_.size(); ++i)
      if (!SameValue(DatasetAccess::Read(*this, i, a), DatasetAccess::Read(other, i, b))) return false;
  }
  return true;
}

}  // namespace brevalon
