#include "data/variant.h"

#include "util/integer_list.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string_view>

namespace brevalon {

namespace {

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// The whole text as a finite decimal number, or nothing. A leading '+' is
// allowed; "inf", "nan" and hexadecimal are not numbers here.
std::optional<double> ParseNumber(std::string_view text) {
  std::string_view s = Trim(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  const char first = s.front() == '-' && s.size() > 1 ? s[1] : s.front();
  if (!(first >= '0' && first <= '9') && first != '.') return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string FormatDouble(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

[[noreturn]] void Refuse(VariantType from, const char* to) {
  throw EVariantException(std::string("Could not convert variant of type (") + VariantTypeName(from) +
                          ") into type (" + to + ")");
}

}  // namespace

const char* VariantTypeName(VariantType type) {
  switch (type) {
    case VariantType::Empty: return "Empty";
    case VariantType::Null: return "Null";
    case VariantType::Int32: return "Integer";
    case VariantType::Byte: return "Byte";
    case VariantType::Boolean: return "Boolean";
    case VariantType::Double: return "Double";
    case VariantType::Text: return "String";
    case VariantType::IntArray: return "Array of Integer";
    case VariantType::ByteArray: return "Array of Byte";
  }
  return "Unknown";
}

Variant::Variant() = default;
Variant Variant::Null() {
  Variant v;
  v.value_ = NullTag{};
  return v;
}
Variant::Variant(int32_t v) : value_(v) {}
Variant::Variant(uint8_t v) : value_(v) {}
Variant::Variant(bool v) : value_(v) {}
Variant::Variant(double v) : value_(v) {}
Variant::Variant(std::string v) : value_(std::move(v)) {}
Variant::Variant(const char* v) : value_(std::string(v ? v : "")) {}
Variant::Variant(std::vector<int32_t> v) : value_(std::move(v)) {}
Variant::Variant(std::vector<uint8_t> v) : value_(std::move(v)) {}

VariantType Variant::Type() const { return static_cast<VariantType>(value_.index()); }

bool Variant::IsNumeric() const {
  switch (Type()) {
    case VariantType::Int32:
    case VariantType::Byte:
    case VariantType::Boolean:
    case VariantType::Double: return true;
    default: return false;
  }
}

void Variant::Clear() { value_ = std::monostate{}; }

double Variant::AsDouble() const {
  switch (Type()) {
    case VariantType::Empty: return 0.0;
    case VariantType::Int32: return std::get<int32_t>(value_);
    case VariantType::Byte: return std::get<uint8_t>(value_);
    case VariantType::Boolean: return std::get<bool>(value_) ? -1.0 : 0.0;
    case VariantType::Double: return std::get<double>(value_);
    case VariantType::Text: {
      if (auto n = ParseNumber(std::get<std::string>(value_))) return *n;
      break;
    }
    default: break;
  }
  Refuse(Type(), "Double");
}

int32_t Variant::AsInteger() const {
  switch (Type()) {
    case VariantType::Empty: return 0;
    case VariantType::Int32: return std::get<int32_t>(value_);
    case VariantType::Byte: return std::get<uint8_t>(value_);
    case VariantType::Boolean: return std::get<bool>(value_) ? -1 : 0;
    case VariantType::Double:
    case VariantType::Text: {
      std::optional<double> d;
      if (Type() == VariantType::Double) {
        d = std::get<double>(value_);
      } else {
        d = ParseNumber(std::get<std::string>(value_));
      }
      if (!d || !std::isfinite(*d)) break;
      // Half to even, independent of the thread's rounding mode.
      double r = std::round(*d);
      if (std::fabs(*d - std::trunc(*d)) == 0.5 && std::fmod(r, 2.0) != 0.0) r -= std::copysign(1.0, *d);
      if (r < -2147483648.0 || r > 2147483647.0) break;
      return static_cast<int32_t>(r);
    }
    default: break;
  }
  Refuse(Type(), "Integer");
}

bool Variant::AsBoolean() const {
  switch (Type()) {
    case VariantType::Empty: return false;
    case VariantType::Int32: return std::get<int32_t>(value_) != 0;
    case VariantType::Byte: return std::get<uint8_t>(value_) != 0;
    case VariantType::Boolean: return std::get<bool>(value_);
    case VariantType::Double: return std::get<double>(value_) != 0.0;
    case VariantType::Text: {
      std::string_view s = Trim(std::get<std::string>(value_));
      if (EqualsNoCase(s, "true")) return true;
      if (EqualsNoCase(s, "false")) return false;
      if (auto n = ParseNumber(s)) return *n != 0.0;
      break;
    }
    default: break;
  }
  Refuse(Type(), "Boolean");
}

std::string Variant::AsString() const {
  switch (Type()) {
    case VariantType::Empty: return {};
    case VariantType::Int32: return std::to_string(std::get<int32_t>(value_));
    case VariantType::Byte: return std::to_string(std::get<uint8_t>(value_));
    case VariantType::Boolean: return std::get<bool>(value_) ? "True" : "False";
    case VariantType::Double: return FormatDouble(std::get<double>(value_));
    case VariantType::Text: return std::get<std::string>(value_);
    default: break;
  }
  Refuse(Type(), "String");
}

const std::vector<int32_t>& Variant::AsIntArray() const {
  if (const auto* a = std::get_if<std::vector<int32_t>>(&value_)) return *a;
  Refuse(Type(), "Array of Integer");
}

const std::vector<uint8_t>& Variant::AsBytes() const {
  if (const auto* a = std::get_if<std::vector<uint8_t>>(&value_)) return *a;
  Refuse(Type(), "Array of Byte");
}

std::vector<uint8_t> Variant::TakeBytes() {
  auto* a = std::get_if<std::vector<uint8_t>>(&value_);
  if (!a) Refuse(Type(), "Array of Byte");
  std::vector<uint8_t> bytes = std::move(*a);
  value_ = std::monostate{};
  return bytes;
}

std::string Variant::ToDebugString() const {
  switch (Type()) {
    case VariantType::Empty:
    case VariantType::Null: return VariantTypeName(Type());
    case VariantType::Text: {
      std::string out = "String(\"";
      for (char c : std::get<std::string>(value_)) {
        if (c == '"' || c == '\\') {
          out += '\\';
          out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(c));
          out += buf;
        } else {
          out += c;
        }
      }
      return out + "\")";
    }
    case VariantType::IntArray:
      return std::string(VariantTypeName(Type())) + "[" + std::to_string(AsIntArray().size()) + "]";
    case VariantType::ByteArray:
      return std::string(VariantTypeName(Type())) + "[" + std::to_string(AsBytes().size()) + "]";
    default: return std::string(VariantTypeName(Type())) + "(" + AsString() + ")";
  }
}

bool operator==(const Variant& a, const Variant& b) {
  const VariantType ta = a.Type();
  const VariantType tb = b.Type();
  if (ta == VariantType::Null || tb == VariantType::Null) return ta == tb;
  if (ta == tb) return a.value_ == b.value_;

  // Empty on one side: equal to a zero number or the empty text.
  if (ta == VariantType::Empty || tb == VariantType::Empty) {
    const Variant& other = ta == VariantType::Empty ? b : a;
    if (other.IsNumeric()) return other.AsDouble() == 0.0;
    if (other.Type() == VariantType::Text) return std::get<std::string>(other.value_).empty();
    return false;
  }
  if (a.IsNumeric() && b.IsNumeric()) return a.AsDouble() == b.AsDouble();
  // Text against a number: numerically when the text is a number.
  if ((a.IsNumeric() && tb == VariantType::Text) || (ta == VariantType::Text && b.IsNumeric())) {
    const Variant& text = ta == VariantType::Text ? a : b;
    const Variant& num = ta == VariantType::Text ? b : a;
    auto n = ParseNumber(std::get<std::string>(text.value_));
    return n && *n == num.AsDouble();
  }
  return false;
}

Variant GetAsVarArray(const TIntegerList& AList) { return Variant(AList.Items()); }

}  // namespace brevalon
