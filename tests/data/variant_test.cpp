#include "data/variant.h"

#include "util/integer_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace brevalon {
namespace {

TEST(VariantTest, KindsAndAccessors) {
  EXPECT_EQ(Variant().Type(), VariantType::Empty);
  EXPECT_TRUE(Variant().IsEmpty());
  EXPECT_TRUE(Variant::Null().IsNull());
  EXPECT_EQ(Variant(int32_t{7}).Type(), VariantType::Int32);
  EXPECT_EQ(Variant(uint8_t{7}).Type(), VariantType::Byte);
  EXPECT_EQ(Variant(true).Type(), VariantType::Boolean);
  EXPECT_EQ(Variant(1.5).Type(), VariantType::Double);
  EXPECT_EQ(Variant("abc").Type(), VariantType::Text);  // not Boolean
  EXPECT_EQ(Variant(std::string("abc")).AsString(), "abc");
  EXPECT_EQ(Variant(std::vector<int32_t>{1, 2}).AsIntArray(), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(Variant(std::vector<uint8_t>{0, 255}).AsBytes(), (std::vector<uint8_t>{0, 255}));

  Variant v(42);
  v.Clear();
  EXPECT_TRUE(v.IsEmpty());
}

TEST(VariantTest, Conversions) {
  EXPECT_EQ(Variant().AsInteger(), 0);
  EXPECT_EQ(Variant().AsString(), "");
  EXPECT_FALSE(Variant().AsBoolean());
  EXPECT_EQ(Variant(true).AsInteger(), -1);
  EXPECT_EQ(Variant(true).AsString(), "True");
  EXPECT_EQ(Variant(uint8_t{200}).AsInteger(), 200);
  EXPECT_EQ(Variant(-5).AsString(), "-5");
  EXPECT_EQ(Variant(0.5).AsString(), "0.5");
  EXPECT_EQ(Variant(20090306.0).AsString(), "20090306");
  EXPECT_EQ(Variant(" 20090306 ").AsInteger(), 20090306);
  EXPECT_EQ(Variant("+12").AsInteger(), 12);
  EXPECT_DOUBLE_EQ(Variant("-1.25").AsDouble(), -1.25);
  EXPECT_TRUE(Variant("TRUE").AsBoolean());
  EXPECT_FALSE(Variant("0").AsBoolean());
  EXPECT_TRUE(Variant(0.1).AsBoolean());
  // Rounding to an integer is half to even.
  EXPECT_EQ(Variant(2.5).AsInteger(), 2);
  EXPECT_EQ(Variant(3.5).AsInteger(), 4);
  EXPECT_EQ(Variant(-2.5).AsInteger(), -2);
  EXPECT_EQ(Variant(-2.6).AsInteger(), -3);
  EXPECT_EQ(Variant(2147483647.0).AsInteger(), 2147483647);
  EXPECT_EQ(Variant(-2147483648.0).AsInteger(), INT32_MIN);
}

TEST(VariantTest, ConversionsThatMustBeRefused) {
  const std::vector<Variant> not_integers = {
      Variant::Null(), Variant("abc"), Variant(""), Variant("12abc"), Variant("inf"), Variant("nan"),
      Variant("0x10"), Variant(2147483648.0), Variant(-2147483649.0), Variant(1e300),
      Variant(std::vector<int32_t>{1}), Variant(std::vector<uint8_t>{1})};
  for (const Variant& v : not_integers) {
    EXPECT_THROW(v.AsInteger(), EVariantException) << v.ToDebugString();
  }
  EXPECT_THROW(Variant::Null().AsString(), EVariantException);
  EXPECT_THROW(Variant::Null().AsDouble(), EVariantException);
  EXPECT_THROW(Variant::Null().AsBoolean(), EVariantException);
  EXPECT_THROW(Variant("maybe").AsBoolean(), EVariantException);
  EXPECT_THROW(Variant(std::vector<uint8_t>{1}).AsString(), EVariantException);
  EXPECT_THROW(Variant(1).AsBytes(), EVariantException);
  EXPECT_THROW(Variant(std::vector<uint8_t>{1}).AsIntArray(), EVariantException);
  try {
    Variant::Null().AsInteger();
  } catch (const EVariantException& e) {
    EXPECT_EQ(e.Message(), "Could not convert variant of type (Null) into type (Integer)");
  }
}

TEST(VariantTest, Comparison) {
  struct Case {
    Variant a, b;
    bool equal;
  };
  const Case cases[] = {
      // An error code the server never wrote is success.
      {Variant(), Variant(0), true},
      {Variant(), Variant(0.0), true},
      {Variant(), Variant(false), true},
      {Variant(), Variant(uint8_t{0}), true},
      {Variant(), Variant(""), true},
      {Variant(), Variant(), true},
      {Variant(), Variant(1), false},
      {Variant(), Variant("0"), false},
      {Variant(), Variant::Null(), false},
      {Variant(), Variant(std::vector<uint8_t>{}), false},
      {Variant::Null(), Variant::Null(), true},
      {Variant::Null(), Variant(0), false},
      {Variant::Null(), Variant(""), false},
      // Numbers by value across kinds; true is -1.
      {Variant(1), Variant(1.0), true},
      {Variant(uint8_t{255}), Variant(255), true},
      {Variant(true), Variant(-1), true},
      {Variant(true), Variant(1), false},
      {Variant(false), Variant(0.0), true},
      {Variant(1), Variant(1.5), false},
      // Text.
      {Variant("abc"), Variant("abc"), true},
      {Variant("abc"), Variant("ABC"), false},
      {Variant("12"), Variant(12), true},
      {Variant(12.5), Variant(" 12.5"), true},
      {Variant("x"), Variant(0), false},
      // Arrays.
      {Variant(std::vector<int32_t>{1, 2}), Variant(std::vector<int32_t>{1, 2}), true},
      {Variant(std::vector<int32_t>{1, 2}), Variant(std::vector<int32_t>{1}), false},
      {Variant(std::vector<uint8_t>{1}), Variant(std::vector<int32_t>{1}), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.ToDebugString() << " vs " << c.b.ToDebugString();
    EXPECT_EQ(c.b == c.a, c.equal) << "symmetry: " << c.b.ToDebugString() << " vs " << c.a.ToDebugString();
    EXPECT_EQ(c.a != c.b, !c.equal);
  }
}

TEST(VariantTest, DebugString) {
  EXPECT_EQ(Variant().ToDebugString(), "Empty");
  EXPECT_EQ(Variant::Null().ToDebugString(), "Null");
  EXPECT_EQ(Variant(42).ToDebugString(), "Integer(42)");
  EXPECT_EQ(Variant("a\"b\n").ToDebugString(), "String(\"a\\\"b\\x0A\")");
  EXPECT_EQ(Variant(std::vector<uint8_t>{1, 2, 3}).ToDebugString(), "Array of Byte[3]");
}

TEST(VariantTest, IntegerListAsArray) {
  TIntegerList sorted(true, false);
  for (int32_t i : {3, -1, 2}) sorted.Add(i);
  Variant v = GetAsVarArray(sorted);
  ASSERT_EQ(v.Type(), VariantType::IntArray);
  EXPECT_EQ(v.AsIntArray(), (std::vector<int32_t>{-1, 2, 3}));

  Variant e = GetAsVarArray(TIntegerList());
  ASSERT_EQ(e.Type(), VariantType::IntArray);
  EXPECT_TRUE(e.AsIntArray().empty());
}

}  // namespace
}  // namespace brevalon
