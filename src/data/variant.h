// Variant: the dynamically typed value that travels between the gateway and
// the application servers (operation arguments, results, by-reference
// out-values, error pairs, data packets).
//
// A Variant is a plain value: copy and move it freely; it is not synchronised
// (one thread at a time, as any std::string).
//
// Kinds: Empty (never assigned), Null (explicitly "no value"), 32-bit signed
// integer, unsigned byte, Boolean, double (also every date-time: days since
// 1899-12-30), UTF-8 text, integer array (bounds 0..n-1) and byte array
// (file blocks, data packets).
//
// Conversions (As*) follow the usual OLE variant rules, narrowed to what the
// gateway needs, and raise EVariantException when the value cannot be
// represented; they never invent a value silently:
//   - Empty converts to 0, 0.0, false and "" ; Null converts to nothing.
//   - Boolean true is -1 as a number, false is 0; any non-zero number is true.
//   - A double converts to an integer by rounding half to even (2.5 -> 2,
//     3.5 -> 4); outside the 32-bit range it is refused.
//   - Text converts to a number when the whole text (blanks around it
//     allowed) is a decimal number; to a Boolean also from "True"/"False"
//     (any letter case).
//   - Numbers convert to text in decimal: integers exactly ("42"), doubles
//     with up to 15 significant digits ("0.5", "1e+20", as printf "%.15g");
//     Booleans as "True"/"False".
//   - Arrays convert only to their own kind.
//
// Comparison (operator==) is the variant comparison the proxies rely on when
// they test an error code against 0:
//   - Null equals only Null.
//   - Empty equals Empty, every number whose value is 0 (so an error code the
//     server left untouched counts as 0), and the empty text.
//   - Int32, Byte, Double and Boolean compare by numeric value across kinds
//     (true is -1, so true == -1 and true != 1).
//   - Text equals text byte for byte (letter case matters). Text against a
//     number compares numerically when the text is a number, else unequal.
//   - Arrays equal arrays of the same kind with the same elements.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "util/exception.h"

namespace brevalon {

class TIntegerList;

enum class VariantType : uint8_t { Empty, Null, Int32, Byte, Boolean, Double, Text, IntArray, ByteArray };

// A conversion the value does not allow (Null to a number, "abc" to an
// integer, 3e9 to a 32-bit integer, an array to text).
class EVariantException : public Exception {
 public:
  using Exception::Exception;
};

// Name of a kind for messages: "Empty", "Null", "Integer", "Byte", "Boolean",
// "Double", "String", "Array of Integer", "Array of Byte".
const char* VariantTypeName(VariantType type);

class Variant {
 public:
  Variant();  // Empty
  static Variant Null();

  Variant(int32_t v);
  Variant(uint8_t v);
  Variant(bool v);
  Variant(double v);  // double also carries date-times
  Variant(std::string v);
  Variant(const char* v);
  Variant(std::vector<int32_t> v);  // integer array (bounds 0..n-1)
  Variant(std::vector<uint8_t> v);  // byte array (file blocks, data packets)

  VariantType Type() const;
  bool IsEmpty() const { return Type() == VariantType::Empty; }
  bool IsNull() const { return Type() == VariantType::Null; }
  // Int32, Byte, Boolean or Double.
  bool IsNumeric() const;

  // Back to Empty.
  void Clear();

  int32_t AsInteger() const;
  double AsDouble() const;
  bool AsBoolean() const;
  std::string AsString() const;
  const std::vector<int32_t>& AsIntArray() const;
  const std::vector<uint8_t>& AsBytes() const;
  // Moves a byte array out, leaving the variant Empty (for a packet that is
  // handed on rather than copied); other kinds are refused as AsBytes does.
  std::vector<uint8_t> TakeBytes();

  // For logs and test failure messages: the kind and the value, e.g.
  // "Integer(42)", "String(\"abc\")", "Array of Byte[3]", "Null". Never throws.
  std::string ToDebugString() const;

  // Variant comparison (see the file comment): an Empty variant equals 0.
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  struct NullTag {
    bool operator==(const NullTag&) const = default;
  };
  // The alternatives are in VariantType order, so index() is the kind.
  using Storage = std::variant<std::monostate, NullTag, int32_t, uint8_t, bool, double, std::string,
                               std::vector<int32_t>, std::vector<uint8_t>>;
  Storage value_;
};

// An integer list as an integer variant array, bounds 0 .. Count - 1.
Variant GetAsVarArray(const TIntegerList& AList);

}  // namespace brevalon
