#include "data/dataset.h"
#include "data/dataset_packet.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace brevalon {
namespace {

using ::testing::HasSubstr;

// An independent, bit-by-bit CRC-32 to re-seal hand-edited packets, so that
// the loader's checks behind the checksum can be reached.
uint32_t ReferenceCrc32(const uint8_t* p, std::size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

void Reseal(std::vector<uint8_t>& b) {
  const uint32_t crc = ReferenceCrc32(b.data(), b.size() - 4);
  for (int k = 0; k < 4; ++k) b[b.size() - 4 + k] = static_cast<uint8_t>(crc >> (8 * k));
}

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : text)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// The list shape the gateway caches: an integer key, texts, a date, a flag.
Dataset TaskRows() {
  Dataset ds;
  ds.AddField("_ID_OPERATION", FieldType::Int32);
  ds.AddField("_ROUTENAME", FieldType::Text, 20);
  ds.AddField("_DATE_CRITICAL", FieldType::DateTime);
  ds.AddField("_TASK", FieldType::Boolean);
  ds.AppendRow({Variant(7), Variant("Общая переписка"), Variant(45000.5), Variant(true)});
  ds.AppendRow({Variant(3), Variant("Report"), Variant::Null(), Variant(false)});
  ds.AppendRow({Variant(12), Variant::Null(), Variant(0.0), Variant::Null()});
  return ds;
}

std::vector<int64_t> WalkKeys(Dataset& ds, std::string_view field) {
  std::vector<int64_t> keys;
  for (ds.First(); !ds.Eof(); ds.Next()) keys.push_back(ds.FieldByName(field).IsNull() ? -999 : ds.FieldByName(field).AsInt64());
  return keys;
}

// Every type, with nulls and the values at the edges of each.
Dataset EveryType() {
  Dataset ds;
  ds.AddField("i32", FieldType::Int32);
  ds.AddField("i64", FieldType::Int64);
  ds.AddField("flag", FieldType::Boolean);
  ds.AddField("real", FieldType::Double);
  ds.AddField("when", FieldType::DateTime);
  ds.AddField("name", FieldType::Text, 8);
  ds.AddField("memo", FieldType::Text);
  ds.AddField("blob", FieldType::Bytes);
  ds.AddField("Поле", FieldType::Int32);
  ds.Append();  // all null
  ds.Append();
  ds.FieldByName("i32").SetInteger(std::numeric_limits<int32_t>::min());
  ds.FieldByName("i64").SetInt64(std::numeric_limits<int64_t>::max());
  ds.FieldByName("flag").SetBoolean(true);
  ds.FieldByName("real").SetFloat(-0.1);
  ds.FieldByName("when").SetDateTime(45321.75);
  ds.FieldByName("name").SetString("Ёлка");
  ds.FieldByName("memo").SetString(std::string(70000, 'x'));
  ds.FieldByName("blob").SetBytes(std::vector<uint8_t>{0, 255, 0, 10});
  ds.FieldByName("поле").SetInteger(-1);
  ds.Append();  // empty values are not nulls
  ds.FieldByName("i32").SetInteger(0);
  ds.FieldByName("i64").SetInt64(std::numeric_limits<int64_t>::min());
  ds.FieldByName("flag").SetBoolean(false);
  ds.FieldByName("real").SetFloat(std::numeric_limits<double>::infinity());
  ds.FieldByName("when").SetDateTime(0.0);
  ds.FieldByName("name").SetString("");
  ds.FieldByName("memo").SetString("");
  ds.FieldByName("blob").SetBytes({});
  return ds;
}

// ---------------------------------------------------------------------------

TEST(DatasetFields, NamesMatchWithoutLetterCaseInBothAlphabets) {
  Dataset ds;
  ds.AddField("_ID_ROUTE", FieldType::Int32);
  ds.AddField("Наименование", FieldType::Text, 100);
  ds.AddField("Ёмкость", FieldType::Double);
  EXPECT_EQ(ds.FieldIndex("_id_route"), 0);
  EXPECT_EQ(ds.FieldIndex("НАИМЕНОВАНИЕ"), 1);
  EXPECT_EQ(ds.FieldIndex("ёМКОСТЬ"), 2);
  EXPECT_EQ(ds.FieldIndex("_ID_ROUT"), -1);
  EXPECT_EQ(ds.FieldIndex(""), -1);
  EXPECT_THROW(ds.AddField("_Id_Route", FieldType::Int64), EDatasetException);
  EXPECT_THROW(ds.AddField("наименование", FieldType::Text), EDatasetException);
  EXPECT_THROW(ds.AddField("", FieldType::Text), EDatasetException);
  EXPECT_EQ(ds.FieldCount(), 3u);
}

TEST(DatasetFields, LimitsMatchWhatTheBinaryFormCarries) {
  Dataset ds;
  for (int i = 0; i < 1024; ++i) {
    std::string name = std::to_string(i);
    name.resize(i == 0 ? 1024 : name.size(), '_');  // the longest name allowed
    ds.AddField(name, i % 2 ? FieldType::Text : FieldType::Int64, 3);
  }
  EXPECT_THROW(ds.AddField("one more", FieldType::Int32), EDatasetException);
  Dataset other;
  EXPECT_THROW(other.AddField(std::string(1025, 'n'), FieldType::Int32), EDatasetException);

  ds.Append();
  ds.FieldByIndex(1023).SetString("четыре");
  Dataset back = Dataset::LoadFromBytes(ds.SaveToBytes());
  EXPECT_TRUE(back.ContentEquals(ds));
  EXPECT_EQ(back.FieldByIndex(1023).AsString(), "чет");
  EXPECT_EQ(back.Fields()[2].size, 0u);  // a size means nothing off text
}

TEST(DatasetFields, UnknownFieldIsReportedByName) {
  Dataset ds = TaskRows();
  try {
    ds.FieldByName("_ID_LETTER");
    FAIL() << "no exception";
  } catch (const EDatasetException& e) {
    EXPECT_THAT(e.what(), HasSubstr("_ID_LETTER"));
  }
  EXPECT_THROW(ds.Locate("_ID_LETTER", int64_t{1}), EDatasetException);
  EXPECT_THROW(ds.SetDescendingIndex("_ID_LETTER"), EDatasetException);
  EXPECT_THROW(ds.FieldByIndex(4), EDatasetException);
}

TEST(DatasetFields, CopyFieldDefsGivesAnEmptyTableOfTheSameShape) {
  Dataset source = TaskRows();
  source.SetDescendingIndex("_ID_OPERATION");
  Dataset copy = TaskRows();
  copy.CopyFieldDefsFrom(source);
  EXPECT_EQ(copy.Fields(), source.Fields());
  EXPECT_EQ(copy.RecordCount(), 0u);
  EXPECT_TRUE(copy.IndexFieldName().empty());
  EXPECT_TRUE(copy.Eof());
  copy.CopyFieldDefsFrom(copy);  // from itself: keeps its definitions
  EXPECT_EQ(copy.Fields(), source.Fields());
}

TEST(DatasetFields, FieldAddedLaterIsNullInExistingRows) {
  Dataset ds = TaskRows();
  ds.AddField("_PDM_ID", FieldType::Int32);
  for (ds.First(); !ds.Eof(); ds.Next()) EXPECT_TRUE(ds.FieldByName("_PDM_ID").IsNull());
}

// ---------------------------------------------------------------------------

TEST(DatasetRows, AppendWalkDeleteAndClear) {
  Dataset ds = TaskRows();
  EXPECT_EQ(ds.RecordCount(), 3u);
  EXPECT_EQ(WalkKeys(ds, "_ID_OPERATION"), (std::vector<int64_t>{7, 3, 12}));

  ds.First();
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 1u);
  ds.Delete();  // the cursor moves onto the row that followed
  EXPECT_EQ(ds.FieldByName("_ID_OPERATION").AsInteger(), 12);
  ds.Delete();
  EXPECT_TRUE(ds.Eof());
  EXPECT_THROW(ds.Delete(), EDatasetException);
  EXPECT_THROW(ds.FieldByName("_TASK").AsBoolean(), EDatasetException);
  EXPECT_EQ(WalkKeys(ds, "_ID_OPERATION"), (std::vector<int64_t>{7}));

  ds.Clear();
  EXPECT_EQ(ds.RecordCount(), 0u);
  ds.First();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.FieldCount(), 4u);

  Dataset none;
  EXPECT_THROW(none.Append(), EDatasetException);
}

TEST(DatasetRows, RewrittenAndDeletedTextsKeepEveryOtherValue) {
  Dataset ds;
  ds.AddField("n", FieldType::Int32);
  ds.AddField("t", FieldType::Text);
  ds.AddField("b", FieldType::Bytes);
  std::vector<std::string> expected;
  for (int r = 0; r < 50; ++r) {
    ds.AppendRow({Variant(r), Variant(std::string(static_cast<std::size_t>(r), 'a' + r % 26))});
    expected.push_back(std::string(static_cast<std::size_t>(r), 'a' + r % 26));
  }
  // Many rewrites of different lengths, nulls and copies of a neighbour's
  // value: the old bytes are reclaimed on the way.
  for (int round = 0; round < 200; ++round) {
    const int r = (round * 7) % 50;
    ds.MoveTo(static_cast<std::size_t>(r));
    std::string v;
    if (round % 5 != 0) {
      v = std::to_string(round);
      for (int k = 0; k < round % 90; ++k) v += "Ж";
    }
    if (round % 11 == 0) {
      ds.FieldByName("t").SetNull();
      v.clear();
    } else if (round % 3 == 0) {
      ds.MoveTo(static_cast<std::size_t>((r + 1) % 50));
      v = ds.FieldByName("t").AsString();
      ds.MoveTo(static_cast<std::size_t>(r));
      ds.FieldByName("t").SetString(v);
    } else {
      ds.FieldByName("t").SetString(v);
    }
    ds.FieldByName("b").SetString(v);
    expected[static_cast<std::size_t>(r)] = v;
  }
  ds.MoveTo(10);
  ds.Delete();
  expected.erase(expected.begin() + 10);
  ds.AppendCopyOf(ds);  // the row after the deleted one, copied onto the end
  expected.push_back(expected[10]);
  std::size_t i = 0;
  for (ds.First(); !ds.Eof(); ds.Next(), ++i) {
    EXPECT_EQ(ds.FieldByName("t").AsString(), expected[i]) << "row " << i;
    EXPECT_EQ(ds.FieldByName("b").AsString(), expected[i]) << "row " << i;
  }
  EXPECT_TRUE(Dataset::LoadFromBytes(ds.SaveToBytes()).ContentEquals(ds));
}

TEST(DatasetRows, WalkBackwardsAndMove) {
  Dataset ds = TaskRows();
  std::vector<int64_t> keys;
  for (ds.Last(); !ds.Bof(); ds.Prior()) keys.push_back(ds.FieldByName("_ID_OPERATION").AsInt64());
  EXPECT_EQ(keys, (std::vector<int64_t>{12, 3, 7}));
  ds.MoveTo(1);
  EXPECT_EQ(ds.FieldByName("_ID_OPERATION").AsInteger(), 3);
  ds.MoveTo(3);
  EXPECT_TRUE(ds.Eof());
  EXPECT_THROW(ds.MoveTo(4), EDatasetException);
}

TEST(DatasetRows, AppendRowRefusesTooManyValuesOrABadValueAndAddsNothing) {
  Dataset ds = TaskRows();
  EXPECT_THROW(ds.AppendRow({Variant(1), Variant("a"), Variant(1.0), Variant(true), Variant(5)}), EDatasetException);
  EXPECT_THROW(ds.AppendRow({Variant(1), Variant("a"), Variant("not a date")}), EDatasetException);
  EXPECT_EQ(ds.RecordCount(), 3u);
  ds.AppendRow({Variant(40)});  // fewer values: the rest stays null
  EXPECT_TRUE(ds.FieldByName("_ROUTENAME").IsNull());
}

TEST(DatasetRows, NullsReadAsZeroOfTheirType) {
  Dataset ds = EveryType();
  ds.First();
  for (std::size_t i = 0; i < ds.FieldCount(); ++i) {
    SCOPED_TRACE(ds.Fields()[i].name);
    ConstField f = std::as_const(ds).FieldByIndex(i);
    EXPECT_TRUE(f.IsNull());
    EXPECT_EQ(f.AsString(), "");
    EXPECT_TRUE(f.AsVariant().IsNull());
    EXPECT_TRUE(f.AsBytes().empty());
  }
  EXPECT_EQ(ds.FieldByName("i32").AsInteger(), 0);
  EXPECT_EQ(ds.FieldByName("real").AsFloat(), 0.0);
  EXPECT_EQ(ds.FieldByName("when").AsDateTime(), 0.0);
  EXPECT_FALSE(ds.FieldByName("flag").AsBoolean());

  ds.Next();
  ds.FieldByName("name").SetNull();
  ds.FieldByName("i64").SetVariant(Variant());  // Empty stores null as well
  EXPECT_TRUE(ds.FieldByName("name").IsNull());
  EXPECT_TRUE(ds.FieldByName("i64").IsNull());
  ds.Next();
  EXPECT_FALSE(ds.FieldByName("memo").IsNull());  // an empty text is a value
  EXPECT_FALSE(ds.FieldByName("blob").IsNull());
}

// ---------------------------------------------------------------------------
// Conversions: a value set through one accessor and read through another.

struct Conversion {
  FieldType type;
  uint32_t size;
  Variant in;
  std::string asString;
};

TEST(DatasetConversions, StoredValueReadsBackAsText) {
  const std::vector<Conversion> cases = {
      {FieldType::Int32, 0, Variant(-42), "-42"},
      {FieldType::Int32, 0, Variant("  17") /* refused below */, ""},
      {FieldType::Int32, 0, Variant("2147483647"), "2147483647"},
      {FieldType::Int32, 0, Variant(3.0), "3"},
      {FieldType::Int32, 0, Variant(true), "1"},
      {FieldType::Int64, 0, Variant("-9223372036854775808"), "-9223372036854775808"},
      {FieldType::Boolean, 0, Variant("true"), "True"},
      {FieldType::Boolean, 0, Variant("FALSE"), "False"},
      {FieldType::Boolean, 0, Variant(5), "True"},
      {FieldType::Double, 0, Variant(0.1), "0.1"},
      {FieldType::Double, 0, Variant("1e-3"), "0.001"},
      {FieldType::Double, 0, Variant(12), "12"},
      {FieldType::DateTime, 0, Variant(0.0), "1899-12-30 00:00:00"},
      {FieldType::DateTime, 0, Variant(45351.5), "2024-02-29 12:00:00"},
      {FieldType::DateTime, 0, Variant(-1.25), "1899-12-29 06:00:00"},
      {FieldType::DateTime, 0, Variant("2024-02-29 13:45:30.250"), "2024-02-29 13:45:30.250"},
      {FieldType::DateTime, 0, Variant("1900-03-01"), "1900-03-01 00:00:00"},
      {FieldType::DateTime, 0, Variant(1e12), "1e+12"},  // beyond year 9999: as a number
      {FieldType::Text, 0, Variant(-7), "-7"},
      {FieldType::Text, 0, Variant(false), "False"},
      {FieldType::Text, 3, Variant(123456), "123"},
      {FieldType::Text, 0, Variant(std::vector<uint8_t>{'o', 'k'}), "ok"},
      {FieldType::Bytes, 0, Variant("raw"), "raw"},
  };
  for (const Conversion& c : cases) {
    SCOPED_TRACE(std::string(FieldTypeName(c.type)) + " <- " + c.in.ToDebugString());
    Dataset ds;
    ds.AddField("f", c.type, c.size);
    ds.Append();
    if (c.asString.empty()) {
      EXPECT_THROW(ds.FieldByName("f").SetVariant(c.in), EDatasetException);
      EXPECT_TRUE(ds.FieldByName("f").IsNull());  // a refused value leaves the cell alone
      continue;
    }
    ds.FieldByName("f").SetVariant(c.in);
    EXPECT_EQ(ds.FieldByName("f").AsString(), c.asString);
    // Text written back through the same field gives the same value.
    Dataset again;
    again.AddField("f", c.type, c.size);
    again.Append();
    again.FieldByName("f").SetString(c.asString);
    EXPECT_TRUE(again.SameValuesAs(ds));
  }
}

TEST(DatasetConversions, ReadsThatCannotBeExactAreRefused) {
  Dataset ds;
  ds.AddField("big", FieldType::Int64);
  ds.AddField("half", FieldType::Double);
  ds.AddField("word", FieldType::Text);
  ds.AddField("blob", FieldType::Bytes);
  ds.AddField("when", FieldType::DateTime);
  ds.AddField("flag", FieldType::Boolean);
  ds.AppendRow({Variant::Null(), Variant(1.5), Variant("12abc"), Variant(std::vector<uint8_t>{1}), Variant(45000.25),
                Variant(true)});
  ds.FieldByName("big").SetInt64(int64_t{1} << 40);

  EXPECT_EQ(ds.FieldByName("big").AsInt64(), int64_t{1} << 40);
  EXPECT_EQ(ds.FieldByName("big").AsFloat(), 1099511627776.0);
  EXPECT_EQ(ds.FieldByName("big").AsVariant().Type(), VariantType::Double);
  EXPECT_THROW(ds.FieldByName("big").AsInteger(), EDatasetException);
  EXPECT_THROW(ds.FieldByName("half").AsInteger(), EDatasetException);
  EXPECT_THROW(ds.FieldByName("word").AsInteger(), EDatasetException);
  EXPECT_THROW(ds.FieldByName("word").AsFloat(), EDatasetException);
  EXPECT_THROW(ds.FieldByName("word").AsBoolean(), EDatasetException);
  EXPECT_THROW(ds.FieldByName("word").AsDateTime(), EDatasetException);
  EXPECT_THROW(ds.FieldByName("blob").AsInteger(), EDatasetException);
  EXPECT_THROW(ds.FieldByName("when").AsInteger(), EDatasetException);
  EXPECT_THROW(ds.FieldByName("when").AsBoolean(), EDatasetException);
  EXPECT_THROW(ds.FieldByName("half").AsBytes(), EDatasetException);
  EXPECT_EQ(ds.FieldByName("flag").AsInteger(), 1);

  // Writes refused: out of range, a fraction, nonsense text, a bad date.
  Dataset small;
  small.AddField("n", FieldType::Int32);
  small.AddField("d", FieldType::DateTime);
  small.AddField("b", FieldType::Bytes);
  small.Append();
  EXPECT_THROW(small.FieldByName("n").SetInt64(int64_t{1} << 31), EDatasetException);
  EXPECT_THROW(small.FieldByName("n").SetFloat(0.5), EDatasetException);
  EXPECT_THROW(small.FieldByName("n").SetFloat(std::nan("")), EDatasetException);
  EXPECT_THROW(small.FieldByName("n").SetString("1 2"), EDatasetException);
  for (const char* text : {"", "+", "-", "+-1", "-+1", "1.", " 1", "0x10", "1e3"})
    EXPECT_THROW(small.FieldByName("n").SetString(text), EDatasetException) << text;
  small.FieldByName("n").SetString("+12");
  EXPECT_EQ(small.FieldByName("n").AsInteger(), 12);
  EXPECT_THROW(small.FieldByName("d").SetString("2023-02-29"), EDatasetException);
  EXPECT_THROW(small.FieldByName("d").SetString("2023-01-01 24:00"), EDatasetException);
  EXPECT_THROW(small.FieldByName("b").SetInteger(1), EDatasetException);
  EXPECT_THROW(small.FieldByName("b").SetVariant(Variant(std::vector<int32_t>{1})), EDatasetException);
  try {
    small.FieldByName("n").SetString("abc");
    ADD_FAILURE() << "no exception";
  } catch (const EDatasetException& e) {
    EXPECT_THAT(e.what(), HasSubstr("\"n\""));
    EXPECT_THAT(e.what(), HasSubstr("abc"));
  }
}

TEST(DatasetConversions, VariantsComeBackAsTheirKind) {
  Dataset ds = EveryType();
  ds.First();
  ds.Next();
  EXPECT_EQ(ds.FieldByName("i32").AsVariant().Type(), VariantType::Int32);
  EXPECT_EQ(ds.FieldByName("flag").AsVariant().Type(), VariantType::Boolean);
  EXPECT_EQ(ds.FieldByName("when").AsVariant().AsDouble(), 45321.75);
  EXPECT_EQ(ds.FieldByName("name").AsVariant().AsString(), "Ёлка");
  EXPECT_EQ(ds.FieldByName("blob").AsVariant().AsBytes(), (std::vector<uint8_t>{0, 255, 0, 10}));
}

TEST(DatasetConversions, TextIsCutAtItsSizeInCharacters) {
  struct Case {
    uint32_t size;
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {5, "Привет мир", "Приве"},          // two bytes a character
      {3, "aЖ€𝄞b", "aЖ€"},                 // one to four bytes a character
      {4, "aЖ€𝄞b", "aЖ€𝄞"},
      {10, "Привет", "Привет"},            // shorter than the size: as is
      {0, std::string(1000, 'z'), std::string(1000, 'z')},
      {2, "\xD0", "\xD0"},                 // a lone lead byte is one character
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    Dataset ds;
    ds.AddField("t", FieldType::Text, c.size);
    ds.Append();
    ds.FieldByName("t").SetString(c.in);
    EXPECT_EQ(ds.FieldByName("t").AsString(), c.out);
  }

  // Copying a row into a narrower field cuts as well.
  Dataset wide;
  wide.AddField("t", FieldType::Text);
  wide.AppendRow({Variant("Ёжики в тумане")});
  Dataset narrow;
  narrow.AddField("T", FieldType::Text, 4);
  narrow.AppendCopyOf(wide);
  EXPECT_EQ(narrow.FieldByName("t").AsString(), "Ёжик");
}

// ---------------------------------------------------------------------------

TEST(DatasetLocate, FindsTheFirstMatchInWalkOrder) {
  Dataset ds = TaskRows();
  ds.AppendRow({Variant(12), Variant("second twelve")});
  ds.First();

  EXPECT_TRUE(ds.Locate("_ID_OPERATION", int64_t{12}));
  EXPECT_EQ(ds.RecNo(), 2u);
  EXPECT_TRUE(ds.Locate("_routename", std::string("Report")));
  EXPECT_EQ(ds.FieldByName("_ID_OPERATION").AsInteger(), 3);
  EXPECT_FALSE(ds.Locate("_ROUTENAME", "report"));  // case matters
  EXPECT_EQ(ds.RecNo(), 1u);                          // and a miss leaves the cursor
  EXPECT_TRUE(ds.Locate("_ROUTENAME", Variant::Null()));
  EXPECT_EQ(ds.RecNo(), 2u);
  EXPECT_TRUE(ds.Locate("_ID_OPERATION", Variant(7)));
  EXPECT_EQ(ds.RecNo(), 0u);
  EXPECT_TRUE(ds.Locate("_ID_OPERATION", "3"));        // text read as the field's number
  EXPECT_TRUE(ds.Locate("_DATE_CRITICAL", int64_t{0}));  // a number in a date field
  EXPECT_EQ(ds.RecNo(), 2u);
  EXPECT_FALSE(ds.Locate("_DATE_CRITICAL", "soon"));

  ds.SetDescendingIndex("_ID_OPERATION");
  EXPECT_TRUE(ds.Locate("_ID_OPERATION", int64_t{12}));
  EXPECT_EQ(ds.RecNo(), 0u);
  EXPECT_EQ(ds.FieldByName("_ROUTENAME").IsNull(), true);  // the first twelve in insertion order
}

// ---------------------------------------------------------------------------

TEST(DatasetIndex, DescendingWithEqualKeysInInsertionOrderAndNullsLast) {
  Dataset ds;
  ds.AddField("id", FieldType::Int32);
  ds.AddField("seq", FieldType::Int32);
  const std::vector<Variant> keys = {Variant(3), Variant(7), Variant(3), Variant::Null(), Variant(10),
                                     Variant(7), Variant(-2)};
  for (std::size_t i = 0; i < keys.size(); ++i) ds.AppendRow({keys[i], Variant(static_cast<int32_t>(i))});

  ds.SetDescendingIndex("ID");
  EXPECT_EQ(ds.IndexFieldName(), "id");
  EXPECT_EQ(ds.RecNo(), 0u);
  EXPECT_EQ(WalkKeys(ds, "seq"), (std::vector<int64_t>{4, 1, 5, 0, 2, 6, 3}));

  // A row appended under the index goes where its key belongs once set.
  ds.Append();
  ds.FieldByName("seq").SetInteger(7);
  ds.FieldByName("id").SetInteger(7);
  EXPECT_EQ(ds.RecNo(), 3u);
  EXPECT_EQ(ds.FieldByName("seq").AsInteger(), 7);  // the cursor stays on the row
  ds.AppendRow({Variant(100), Variant(8)});
  EXPECT_EQ(WalkKeys(ds, "seq"), (std::vector<int64_t>{8, 4, 1, 5, 7, 0, 2, 6, 3}));

  // Deleting under the index keeps the rest in order.
  ASSERT_TRUE(ds.Locate("seq", int64_t{5}));
  ds.Delete();
  EXPECT_EQ(ds.FieldByName("seq").AsInteger(), 7);
  ASSERT_TRUE(ds.Locate("seq", int64_t{8}));
  ds.Delete();
  EXPECT_EQ(WalkKeys(ds, "seq"), (std::vector<int64_t>{4, 1, 7, 0, 2, 6, 3}));

  ds.ClearIndex();
  EXPECT_EQ(WalkKeys(ds, "seq"), (std::vector<int64_t>{0, 1, 2, 3, 4, 6, 7}));

  EXPECT_THROW(ds.SetDescendingIndex("nothing"), EDatasetException);
  Dataset text;
  text.AddField("t", FieldType::Text);
  EXPECT_THROW(text.SetDescendingIndex("t"), EDatasetException);
}

TEST(DatasetIndex, Int64KeysOrderBeyond32Bits) {
  Dataset ds;
  ds.AddField("k", FieldType::Int64);
  for (int64_t k : {int64_t{1} << 40, int64_t{-5}, int64_t{1} << 33, std::numeric_limits<int64_t>::min()}) {
    ds.Append();
    ds.FieldByName("k").SetInt64(k);
  }
  ds.SetDescendingIndex("k");
  EXPECT_EQ(WalkKeys(ds, "k"),
            (std::vector<int64_t>{int64_t{1} << 40, int64_t{1} << 33, -5, std::numeric_limits<int64_t>::min()}));
}

// ---------------------------------------------------------------------------

TEST(DatasetCompare, CurrentRowsFieldByField) {
  struct Case {
    const char* what;
    std::vector<Variant> a, b;
    bool same;
  };
  const std::vector<Case> cases = {
      {"identical", {Variant(1), Variant("Задача"), Variant(2.5), Variant(true)},
       {Variant(1), Variant("Задача"), Variant(2.5), Variant(true)}, true},
      {"letter case", {Variant(1), Variant("Задача")}, {Variant(1), Variant("задача")}, false},
      {"null and null", {Variant(1), Variant::Null()}, {Variant(1), Variant::Null()}, true},
      {"null and empty text", {Variant(1), Variant("")}, {Variant(1), Variant::Null()}, false},
      {"null and zero", {Variant::Null()}, {Variant(0)}, false},
      {"date moved", {Variant(1), Variant("x"), Variant(2.5)}, {Variant(1), Variant("x"), Variant(2.75)}, false},
      {"flag", {Variant(1), Variant("x"), Variant(2.5), Variant(true)},
       {Variant(1), Variant("x"), Variant(2.5), Variant(false)}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Dataset a;
    a.AddField("id", FieldType::Int32);
    a.AddField("name", FieldType::Text);
    a.AddField("when", FieldType::DateTime);
    a.AddField("flag", FieldType::Boolean);
    Dataset b;
    b.CopyFieldDefsFrom(a);
    a.AppendRow(c.a);
    b.AppendRow(c.b);
    EXPECT_EQ(a.SameValuesAs(b), c.same);
    EXPECT_EQ(b.SameValuesAs(a), c.same);
  }
}

TEST(DatasetCompare, DifferentShapesCompareByPositionAndTypedValue) {
  Dataset ints;
  ints.AddField("v", FieldType::Int32);
  ints.AppendRow({Variant(3)});
  Dataset reals;
  reals.AddField("v", FieldType::Double);
  reals.AppendRow({Variant(3.0)});
  Dataset texts;
  texts.AddField("v", FieldType::Text);
  texts.AppendRow({Variant("3")});
  Dataset wider;
  wider.AddField("v", FieldType::Int64);
  wider.AddField("extra", FieldType::Int32);
  wider.AppendRow({Variant(3), Variant(1)});

  EXPECT_TRUE(ints.SameValuesAs(reals));   // a number is a number
  EXPECT_FALSE(ints.SameValuesAs(texts));  // but text is not a number here
  EXPECT_TRUE(ints.SameValuesAs(wider));   // fields of this side only
  EXPECT_FALSE(wider.SameValuesAs(ints));  // the other side lacks "extra"
  texts.First();
  texts.Next();
  EXPECT_THROW(ints.SameValuesAs(texts), EDatasetException);  // no current row there
}

TEST(DatasetCompare, AppendCopyOfMatchesFieldsByName) {
  Dataset source;
  source.AddField("_ID", FieldType::Int32);
  source.AddField("_NAME", FieldType::Text);
  source.AddField("_ONLY_HERE", FieldType::Int32);
  source.AppendRow({Variant(5), Variant("Иванов"), Variant(9)});

  Dataset target;
  target.AddField("_name", FieldType::Text);
  target.AddField("_id", FieldType::Int64);
  target.AddField("_MISSING", FieldType::Double);
  target.SetDescendingIndex("_id");
  target.AppendRow({Variant("x"), Variant(10)});
  source.First();
  target.AppendCopyOf(source);
  target.AppendCopyOf(target);  // copying its own current row is safe
  EXPECT_EQ(target.RecordCount(), 3u);
  EXPECT_EQ(target.FieldByName("_id").AsInt64(), 5);
  EXPECT_EQ(target.FieldByName("_name").AsString(), "Иванов");
  EXPECT_TRUE(target.FieldByName("_missing").IsNull());
  EXPECT_EQ(WalkKeys(target, "_id"), (std::vector<int64_t>{10, 5, 5}));

  // A value the target cannot hold: nothing is appended.
  Dataset strict;
  strict.AddField("_NAME", FieldType::Int32);
  EXPECT_THROW(strict.AppendCopyOf(source), EDatasetException);
  EXPECT_EQ(strict.RecordCount(), 0u);
}

// ---------------------------------------------------------------------------
// The binary form

TEST(DatasetFormat, EveryTypeRoundTripsThroughBytes) {
  const Dataset ds = EveryType();
  const std::vector<uint8_t> bytes = ds.SaveToBytes();
  Dataset back = Dataset::LoadFromBytes(bytes);
  EXPECT_TRUE(back.ContentEquals(ds));
  EXPECT_EQ(back.Fields(), ds.Fields());
  EXPECT_EQ(back.RecNo(), 0u);
  EXPECT_EQ(back.SaveToBytes(), bytes);

  back.MoveTo(1);
  EXPECT_EQ(back.FieldByName("real").AsFloat(), -0.1);
  EXPECT_EQ(back.FieldByName("memo").AsString().size(), 70000u);
  EXPECT_EQ(back.FieldByName("Поле").AsInteger(), -1);
  back.Next();
  EXPECT_TRUE(std::isinf(back.FieldByName("real").AsFloat()));
  EXPECT_FALSE(back.FieldByName("blob").IsNull());

  const Dataset empty;
  EXPECT_TRUE(Dataset::LoadFromBytes(empty.SaveToBytes()).ContentEquals(empty));
}

// The binary form a dataset keeps (from the bytes it was loaded from, or
// from its first encoding) must follow every change of fields, rows and
// values, and only those: an order or a cursor move is no change.
TEST(DatasetFormat, KeptBinaryFormFollowsEveryChange) {
  // An encoding built afresh, from a copy made row by row.
  auto encoded = [](const Dataset& ds) {
    Dataset copy;
    copy.CopyFieldDefsFrom(ds);
    Dataset walk = ds;
    walk.ClearIndex();
    for (walk.First(); !walk.Eof(); walk.Next()) copy.AppendCopyOf(walk);
    return copy.SaveToBytes();
  };
  struct Case {
    const char* name;
    std::function<void(Dataset&)> change;
  } cases[] = {
      {"integer set", [](Dataset& d) { d.FieldByName("_ID_OPERATION").SetInteger(99); }},
      {"text set", [](Dataset& d) { d.FieldByName("_ROUTENAME").SetString("Другое"); }},
      {"set to null", [](Dataset& d) { d.FieldByName("_DATE_CRITICAL").SetNull(); }},
      {"variant set", [](Dataset& d) { d.FieldByName("_TASK").SetVariant(Variant(false)); }},
      {"row appended", [](Dataset& d) { d.Append(); }},
      {"row given", [](Dataset& d) { d.AppendRow({Variant(5), Variant("x")}); }},
      {"row copied", [](Dataset& d) { d.AppendCopyOf(d); }},
      {"row deleted", [](Dataset& d) { d.Delete(); }},
      {"rows cleared", [](Dataset& d) { d.Clear(); }},
      {"field added", [](Dataset& d) { d.AddField("_EXTRA", FieldType::Int64); }},
      {"fields copied", [](Dataset& d) { d.CopyFieldDefsFrom(TaskRows()); }},
      {"indexed key set",
       [](Dataset& d) {
         d.SetDescendingIndex("_ID_OPERATION");
         d.FieldByName("_ID_OPERATION").SetInteger(1);
       }},
  };
  const std::vector<uint8_t> original = TaskRows().SaveToBytes();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dataset ds = Dataset::LoadFromBytes(original);
    const auto before = ds.BinaryForm();
    EXPECT_TRUE(std::equal(before.begin(), before.end(), original.begin(), original.end()));
    const Dataset untouched = ds;  // a copy keeps its own form
    c.change(ds);
    const auto after = ds.BinaryForm();
    const std::vector<uint8_t> expected = encoded(ds);
    EXPECT_TRUE(std::equal(after.begin(), after.end(), expected.begin(), expected.end()));
    EXPECT_EQ(ds.SaveToBytes(), expected);
    EXPECT_EQ(untouched.SaveToBytes(), original);
  }

  // Orders and walks are no change.
  Dataset ds = Dataset::LoadFromBytes(original);
  ds.SetDescendingIndex("_ID_OPERATION");
  ds.Last();
  ds.MoveTo(1);
  const auto form = ds.BinaryForm();
  EXPECT_TRUE(std::equal(form.begin(), form.end(), original.begin(), original.end()));
}

// A packet answers for its fields at once, searches its rows as the
// dataset's readers would, and becomes the very dataset it carries.
TEST(DatasetFormat, PacketsAreSearchedAndTakenOutUnchanged) {
  const Dataset rows = TaskRows();  // 7 "Общая переписка", 3 "Report", 12 null
  const std::vector<uint8_t> bytes = rows.SaveToBytes();
  DatasetPacket packet(bytes);
  EXPECT_EQ(packet.Fields(), rows.Fields());
  EXPECT_EQ(packet.RecordCount(), 3u);
  EXPECT_TRUE(std::ranges::equal(packet.Bytes(), bytes));
  EXPECT_EQ(packet.FieldIndex("_routename"), 1);

  EXPECT_EQ(packet.FirstWhere("_ROUTENAME", "Report", "_ID_OPERATION"), 3);
  EXPECT_EQ(packet.FirstWhere("_routename", "Общая переписка", "_id_operation"), 7);
  EXPECT_EQ(packet.FirstWhere("_ROUTENAME", "report", "_ID_OPERATION"), std::nullopt);  // exact text
  EXPECT_EQ(packet.FirstWhere("_ROUTENAME", "", "_ID_OPERATION"), 12);                // null reads as ""
  EXPECT_EQ(packet.FirstWhere("_ID_OPERATION", "3", "_ID_OPERATION"), 3);             // a number as text
  EXPECT_EQ(packet.FirstWhere("_ROUTENAME", "Report", "_TASK"), 0);                   // false as a number
  EXPECT_THROW(packet.FirstWhere("_NOPE", "x", "_ID_OPERATION"), EDatasetException);
  EXPECT_THROW(packet.FirstWhere("_ROUTENAME", "x", "_NOPE"), EDatasetException);
  EXPECT_THROW(packet.FirstWhere("_ROUTENAME", "Report", "_ROUTENAME"), EDatasetException);

  Dataset taken = packet.TakeDataset();
  EXPECT_TRUE(taken.ContentEquals(rows));
  EXPECT_TRUE(std::ranges::equal(taken.BinaryForm(), bytes));
  EXPECT_TRUE(packet.Fields().empty());
  EXPECT_TRUE(packet.IsEmpty());

  const DatasetPacket none;
  EXPECT_TRUE(std::ranges::equal(none.Bytes(), Dataset().SaveToBytes()));
  EXPECT_TRUE(none.Fields().empty());
  EXPECT_TRUE(none.IsEmpty());
}

TEST(DatasetFormat, RowsAreSavedInInsertionOrderWhateverTheIndex) {
  Dataset ds = TaskRows();
  const std::vector<uint8_t> plain = ds.SaveToBytes();
  ds.SetDescendingIndex("_ID_OPERATION");
  EXPECT_EQ(ds.SaveToBytes(), plain);
}

// The example of docs/dataset-format.md, checked in both directions.
constexpr const char* kDocumentedExample =
    "42 56 44 53 01 00 00 00 02 00 00 00 02 00 00 00"
    "00 00 00 00 00 03 00 5f 49 44"
    "05 02 00 00 00 05 00 5f 4e 41 4d 45"
    "00 07 00 00 00 03 00 00 00 d0 af 32"
    "02 ff ff ff ff"
    "38 e0 9d 0f";

TEST(DatasetFormat, DocumentedExample) {
  Dataset ds;
  ds.AddField("_ID", FieldType::Int32);
  ds.AddField("_NAME", FieldType::Text, 2);
  ds.AppendRow({Variant(7), Variant("Я25")});
  ds.AppendRow({Variant(-1), Variant::Null()});
  const std::vector<uint8_t> expected = Hex(kDocumentedExample);
  EXPECT_EQ(ds.SaveToBytes(), expected);
  EXPECT_TRUE(Dataset::LoadFromBytes(expected).ContentEquals(ds));
}

TEST(DatasetFormat, EverySingleByteDamageOrTruncationIsRefused) {
  const std::vector<uint8_t> good = TaskRows().SaveToBytes();
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (uint8_t mask : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      std::vector<uint8_t> bad = good;
      bad[i] ^= mask;
      EXPECT_THROW(Dataset::LoadFromBytes(bad), EDatasetFormatException) << "byte " << i;
    }
  }
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_THROW(Dataset::LoadFromBytes(std::span(good.data(), n)), EDatasetFormatException) << "length " << n;
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_THROW(Dataset::LoadFromBytes(longer), EDatasetFormatException);
}

TEST(DatasetFormat, EveryByteDamagedBehindAValidChecksumIsRefusedOrLoadsSoundly) {
  // With the checksum recomputed the structural checks alone stand between
  // the loader and the damage: each edit ends in the format error or in a
  // dataset that saves back to exactly the bytes it came from.
  Dataset source = EveryType();
  source.MoveTo(1);
  source.FieldByName("memo").SetString("memo");
  const std::vector<uint8_t> good = source.SaveToBytes();
  for (std::size_t i = 0; i + 4 < good.size(); ++i) {
    for (uint8_t mask : {uint8_t{0x01}, uint8_t{0x10}, uint8_t{0xFF}}) {
      std::vector<uint8_t> bad = good;
      bad[i] ^= mask;
      Reseal(bad);
      try {
        Dataset ds = Dataset::LoadFromBytes(bad);
        EXPECT_EQ(ds.SaveToBytes(), bad) << "byte " << i;
      } catch (const EDatasetFormatException&) {
      }
    }
  }
}

TEST(DatasetFormat, MustRejectWellSealedNonsense) {
  // Offsets into the documented example.
  struct Case {
    const char* what;
    std::size_t at;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {"version 2", 4, {0x02}},
      {"flags", 6, {0x01}},
      {"field count beyond the data", 8, {0xFF, 0xFF, 0x00, 0x00}},
      {"row count beyond the data", 12, {0x00, 0x00, 0x01, 0x00}},
      {"unknown type", 16, {0x07}},
      {"size on an integer", 17, {0x01}},
      {"empty name", 21, {0x00, 0x00}},
      {"name longer than the data", 21, {0xFF, 0x03}},
      {"stray bitmap bit", 38, {0x04}},
      {"text length beyond the data", 43, {0xFF, 0xFF, 0xFF, 0x7F}},
      {"text longer than its size", 47, {0x41, 0x42, 0x43}},  // three characters in a field of two
      {"text length short of the value", 43, {0x02}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bad = Hex(kDocumentedExample);
    ASSERT_LE(c.at + c.bytes.size(), bad.size() - 4);
    std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + static_cast<std::ptrdiff_t>(c.at));
    Reseal(bad);
    EXPECT_THROW(Dataset::LoadFromBytes(bad), EDatasetFormatException);
    // A packet refuses a bad header at once and bad rows when they are read.
    try {
      DatasetPacket packet(bad);
      EXPECT_THROW(packet.FirstWhere("_NAME", "x", "_ID"), EDatasetFormatException);
      EXPECT_THROW(packet.TakeDataset(), EDatasetFormatException);
    } catch (const EDatasetFormatException&) {
    }
  }

  std::vector<uint8_t> boolean = Hex(
      "42 56 44 53 01 00 00 00 01 00 00 00 01 00 00 00"
      "02 00 00 00 00 01 00 62"
      "00 02"
      "00 00 00 00");
  Reseal(boolean);
  EXPECT_THROW(Dataset::LoadFromBytes(boolean), EDatasetFormatException);
  boolean[25] = 1;
  Reseal(boolean);
  EXPECT_TRUE(Dataset::LoadFromBytes(boolean).FieldByName("b").AsBoolean());

  std::vector<uint8_t> duplicate = Hex(
      "42 56 44 53 01 00 00 00 02 00 00 00 00 00 00 00"
      "00 00 00 00 00 03 00 5f d0 b8"   // "_и"
      "00 00 00 00 00 03 00 5f d0 98"   // "_И"
      "00 00 00 00");
  Reseal(duplicate);
  EXPECT_THROW(Dataset::LoadFromBytes(duplicate), EDatasetFormatException);
  duplicate[35] = 0x99;  // "_Й": a different name
  Reseal(duplicate);
  EXPECT_EQ(Dataset::LoadFromBytes(duplicate).FieldCount(), 2u);

  std::vector<uint8_t> rowsWithoutFields = Hex("42 56 44 53 01 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00");
  Reseal(rowsWithoutFields);
  EXPECT_THROW(Dataset::LoadFromBytes(rowsWithoutFields), EDatasetFormatException);

  std::vector<uint8_t> foreign = Hex(kDocumentedExample);
  foreign[0] = 'P';
  Reseal(foreign);
  EXPECT_THROW(Dataset::LoadFromBytes(foreign), EDatasetFormatException);
}

// ---------------------------------------------------------------------------
// Files

class DatasetFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("dataset_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::filesystem::path dir_;
};

TEST_F(DatasetFileTest, SaveReplacesAtomicallyAndLeavesNothingElse) {
  const auto path = dir_ / "TaskList_1.cds";
  const Dataset first = TaskRows();
  first.SaveToFile(path);
  EXPECT_TRUE(Dataset::LoadFromFile(path).ContentEquals(first));

  const Dataset second = EveryType();
  second.SaveToFile(path);
  EXPECT_TRUE(Dataset::LoadFromFile(path).ContentEquals(second));
  EXPECT_EQ(Listing(), std::vector<std::string>{"TaskList_1.cds"});
}

TEST_F(DatasetFileTest, FileFailuresAreReported) {
  EXPECT_THROW(Dataset::LoadFromFile(dir_ / "absent.cds"), EDatasetIOException);
  EXPECT_THROW(Dataset::LoadFromFile(dir_), EDatasetIOException);
  EXPECT_THROW(TaskRows().SaveToFile(dir_ / "no" / "such.cds"), EDatasetIOException);

  // A save that cannot replace its target keeps the old file and leaves no
  // temporary one: the target is a non-empty directory here.
  std::filesystem::create_directories(dir_ / "busy.cds" / "inside");
  EXPECT_THROW(TaskRows().SaveToFile(dir_ / "busy.cds"), EDatasetIOException);
  EXPECT_EQ(Listing(), std::vector<std::string>{"busy.cds"});

  const auto path = dir_ / "damaged.cds";
  std::vector<uint8_t> bytes = TaskRows().SaveToBytes();
  bytes.resize(bytes.size() / 2);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
  try {
    Dataset::LoadFromFile(path);
    FAIL() << "no exception";
  } catch (const EDatasetFormatException& e) {
    EXPECT_THAT(e.what(), HasSubstr("damaged.cds"));
  }
}

// A list of the size the gateway caches for a busy user: the whole cycle
// stays exact (timing is the benchmark's business).
TEST(DatasetScale, HundredThousandRowsRoundTripAndCompare) {
  Dataset ds;
  for (int f = 0; f < 13; ++f)
    ds.AddField("F" + std::to_string(f), f % 3 == 0 ? FieldType::Int32 : f % 3 == 1 ? FieldType::Text : FieldType::DateTime);
  for (int r = 0; r < 100000; ++r) {
    ds.Append();
    for (int f = 0; f < 13; ++f) {
      Field field = ds.FieldByIndex(static_cast<std::size_t>(f));
      if (f % 3 == 0) field.SetInteger(r * 13 + f);
      else if (f % 3 == 1) field.SetString("Процесс номер " + std::to_string(r));
      else if (r % 7 != 0) field.SetDateTime(45000 + r / 100.0);
    }
  }
  Dataset back = Dataset::LoadFromBytes(ds.SaveToBytes());
  back.SetDescendingIndex("F0");
  ds.SetDescendingIndex("F0");
  std::size_t same = 0;
  for (ds.First(), back.First(); !ds.Eof(); ds.Next(), back.Next()) same += ds.SameValuesAs(back);
  EXPECT_EQ(same, 100000u);
  EXPECT_TRUE(back.Eof());
}

}  // namespace
}  // namespace brevalon
