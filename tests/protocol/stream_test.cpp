#include "protocol/stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace brevalon {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr double kSecond = 1.0 / 86400.0;

Bytes Written(const std::function<void(IStreamWriter&)>& write, int32_t bias = 0) {
  TMemoryStream stream;
  TStreamWriter writer(stream, bias);
  write(writer);
  return stream.Bytes();
}

// Primitive vectors, checked in both directions: writing the value gives the
// bytes, reading the bytes gives the value and consumes all of them.
TEST(StreamPrimitives, VectorsBothWays) {
  struct Case {
    const char* name;
    std::function<void(IStreamWriter&)> write;
    std::function<void(IStreamReader&)> readAndCheck;
    Bytes bytes;
  };
  const std::string cyrillic = "привет";  // six letters, twelve bytes
  Bytes cyrillicBytes = {12, 0, 0, 0};
  cyrillicBytes.insert(cyrillicBytes.end(), cyrillic.begin(), cyrillic.end());

  const std::vector<Case> cases = {
      {"Integer -1", [](IStreamWriter& w) { w.WriteInteger(-1); },
       [](IStreamReader& r) { EXPECT_EQ(r.ReadInteger(), -1); }, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"Integer 0x01020304", [](IStreamWriter& w) { w.WriteInteger(0x01020304); },
       [](IStreamReader& r) { EXPECT_EQ(r.ReadInteger(), 0x01020304); }, {4, 3, 2, 1}},
      {"Int64 1", [](IStreamWriter& w) { w.WriteInt64(1); },
       [](IStreamReader& r) { EXPECT_EQ(r.ReadInt64(), 1); }, {1, 0, 0, 0, 0, 0, 0, 0}},
      {"Int64 min", [](IStreamWriter& w) { w.WriteInt64(INT64_MIN); },
       [](IStreamReader& r) { EXPECT_EQ(r.ReadInt64(), INT64_MIN); },
       {0, 0, 0, 0, 0, 0, 0, 0x80}},
      {"empty String", [](IStreamWriter& w) { w.WriteString(""); },
       [](IStreamReader& r) { EXPECT_EQ(r.ReadString(), ""); }, {0, 0, 0, 0}},
      {"Cyrillic String", [&](IStreamWriter& w) { w.WriteString(cyrillic); },
       [&](IStreamReader& r) { EXPECT_EQ(r.ReadString(), cyrillic); }, cyrillicBytes},
      {"Double 1.0", [](IStreamWriter& w) { w.WriteDouble(1.0); },
       [](IStreamReader& r) { EXPECT_EQ(r.ReadDouble(), 1.0); },
       {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
      {"Byte 0xAB", [](IStreamWriter& w) { w.WriteByte(0xAB); },
       [](IStreamReader& r) { EXPECT_EQ(r.ReadByte(), 0xAB); }, {0xAB}},
      {"Boolean true", [](IStreamWriter& w) { w.WriteBoolean(true); },
       [](IStreamReader& r) { EXPECT_TRUE(r.ReadBoolean()); }, {1}},
      {"Boolean false", [](IStreamWriter& w) { w.WriteBoolean(false); },
       [](IStreamReader& r) { EXPECT_FALSE(r.ReadBoolean()); }, {0}},
      {"DateTime none", [](IStreamWriter& w) { w.WriteDateTime(0.0); },
       [](IStreamReader& r) { EXPECT_EQ(r.ReadDateTime(), 0.0); }, Bytes(8, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Written(c.write), c.bytes);
    TMemoryStream stream(c.bytes);
    TStreamReader reader(stream, 0);
    c.readAndCheck(reader);
    EXPECT_EQ(stream.Remaining(), 0u);
  }
}

TEST(StreamPrimitives, BooleanReadsOnlyOneAsTrue) {
  TMemoryStream stream(Bytes{2, 0xFF, 1});
  TStreamReader reader(stream, 0);
  EXPECT_FALSE(reader.ReadBoolean());
  EXPECT_FALSE(reader.ReadBoolean());
  EXPECT_TRUE(reader.ReadBoolean());
}

TEST(StreamPrimitives, NegativeStringLengthReadsEmptyAndConsumesOnlyTheLength) {
  TMemoryStream stream(Bytes{0xFB, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0});  // -5, then Integer 7
  TStreamReader reader(stream, 0);
  EXPECT_EQ(reader.ReadString(), "");
  EXPECT_EQ(reader.ReadInteger(), 7);
}

// Short data is malformed data, never an out-of-bounds read or a huge
// allocation.
TEST(StreamPrimitives, ReadsPastTheEndRaise) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::function<void(IStreamReader&)> read;
  };
  const std::vector<Case> cases = {
      {"Integer from 3 bytes", {1, 2, 3}, [](IStreamReader& r) { r.ReadInteger(); }},
      {"Int64 from 7 bytes", Bytes(7, 1), [](IStreamReader& r) { r.ReadInt64(); }},
      {"DateTime from 4 bytes", Bytes(4, 1), [](IStreamReader& r) { r.ReadDateTime(); }},
      {"Double from nothing", {}, [](IStreamReader& r) { r.ReadDouble(); }},
      {"Byte from nothing", {}, [](IStreamReader& r) { r.ReadByte(); }},
      {"Boolean from nothing", {}, [](IStreamReader& r) { r.ReadBoolean(); }},
      {"String length 5, 4 bytes left", {5, 0, 0, 0, 'a', 'b', 'c', 'd'},
       [](IStreamReader& r) { r.ReadString(); }},
      {"String length 0x7FFFFFFF", {0xFF, 0xFF, 0xFF, 0x7F, 'a'},
       [](IStreamReader& r) { r.ReadString(); }},
      {"String length cut", {1, 0}, [](IStreamReader& r) { r.ReadString(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TMemoryStream stream(c.bytes);
    TStreamReader reader(stream, 0);
    try {
      c.read(reader);
      ADD_FAILURE() << "no exception";
    } catch (const EDataTypeException& e) {
      EXPECT_STREQ(e.what(), "Неверные данные");
    }
  }
}

TEST(StreamPrimitives, MalformedUtf8ReadsAsReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string raw;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"\xFF", fffd},
      {"a\xC3", "a" + fffd},                          // cut 2-byte sequence
      {"\xE2\x82z", fffd + "z"},                      // cut 3-byte sequence: one U+FFFD
      {"\xC0\xAF", fffd + fffd},                      // overlong
      {"\xED\xA0\x80", fffd + fffd + fffd},           // surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
      {"\x80x", fffd + "x"},                          // stray continuation byte
      {"ok \xF0\x9F\x98\x80 \xD0\x96", "ok \xF0\x9F\x98\x80 \xD0\x96"},  // valid stays
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.raw));
    Bytes bytes = {static_cast<uint8_t>(c.raw.size()), 0, 0, 0};
    bytes.insert(bytes.end(), c.raw.begin(), c.raw.end());
    TMemoryStream stream(bytes);
    TStreamReader reader(stream, 0);
    EXPECT_EQ(reader.ReadString(), c.expected);
    // A writer never sends malformed UTF-8 either.
    Bytes expected = {static_cast<uint8_t>(c.expected.size()), 0, 0, 0};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(Written([&](IStreamWriter& w) { w.WriteString(c.raw); }), expected);
  }
}

// DateTime writing: V -> whole seconds since 1970 (ms rounded, cut towards
// 1970) + Bias*60.
TEST(StreamDateTime, WriteTable) {
  const double epoch = 25569.0;
  const double day = 45000.0;  // 2023-03-15
  const int64_t daySeconds = static_cast<int64_t>(day - epoch) * 86400;
  struct Case {
    const char* name;
    double value;
    int32_t bias;
    int64_t wire;
  };
  const std::vector<Case> cases = {
      {"no date", 0.0, -180, 0},
      {"local 03:00 at bias -180 is the epoch, so no date", epoch + 3.0 / 24, -180, 0},
      {"local epoch at bias -180", epoch, -180, -10800},
      {"bias west", epoch, 300, 18000},
      {"12:00:00.999 cut to 12:00:00", day + (43200 + 0.999) * kSecond, 0, daySeconds + 43200},
      {"12:00:00.9996 rounds to 12:00:01", day + (43200 + 0.9996) * kSecond, 0,
       daySeconds + 43201},
      {"pre-1970 cut towards 1970", epoch - 1.3 * kSecond, 0, -1},
      {"pre-1970 whole seconds", epoch - 86400.0 * kSecond * 2 - 5 * kSecond, 0, -172805},
      {"1899-12-31", 1.0, 0, -(25568LL * 86400)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WireSecondsFromDateTime(c.value, c.bias), c.wire);
    Bytes expected(8);
    for (int i = 0; i < 8; ++i) expected[i] = static_cast<uint8_t>(static_cast<uint64_t>(c.wire) >> (8 * i));
    EXPECT_EQ(Written([&](IStreamWriter& w) { w.WriteDateTime(c.value); }, c.bias), expected);
  }
}

TEST(StreamDateTime, ReadIsLocalTimeAtWholeSecondsAndRoundTrips) {
  // 2023-11-14 22:13:20 UTC is 2023-11-15 01:13:20 three hours east.
  const int64_t wire = 1700000000;
  const double local = DateTimeFromWireSeconds(wire, -180);
  const double expected = 25569.0 + (1700000000.0 + 10800.0) / 86400.0;
  EXPECT_DOUBLE_EQ(local, expected);
  EXPECT_EQ(std::round((local - std::floor(local)) * 86400), 4400.0);  // 01:13:20

  for (int32_t bias : {0, -180, 300, -345}) {
    for (int64_t w : {int64_t{1}, int64_t{-1}, int64_t{1700000000}, int64_t{-2208988800},
                      int64_t{4102444800}, int64_t{253402300799}}) {
      SCOPED_TRACE(testing::Message() << "bias " << bias << " wire " << w);
      TMemoryStream stream;
      TStreamWriter(stream, bias).WriteInt64(w);
      stream.SetPosition(0);
      const double v = TStreamReader(stream, bias).ReadDateTime();
      EXPECT_EQ(WireSecondsFromDateTime(v, bias), w);
    }
  }
}

TEST(StreamDateTime, AbsurdValuesRaiseInsteadOfOverflowing) {
  EXPECT_THROW(DateTimeFromWireSeconds(INT64_MAX, 0), EDataTypeException);
  EXPECT_THROW(DateTimeFromWireSeconds(INT64_MIN, -180), EDataTypeException);
  EXPECT_THROW(WireSecondsFromDateTime(std::nan(""), 0), Exception);
  EXPECT_THROW(WireSecondsFromDateTime(INFINITY, 0), Exception);
  EXPECT_THROW(WireSecondsFromDateTime(1e300, 0), Exception);
}

// The default bias is the zone's standard offset whatever the date; the
// override wins over it.
TEST(StreamDateTime, BiasIsTheStandardOffset) {
  const char* saved = std::getenv("TZ");
  const std::string savedTz = saved ? saved : "";
  struct Case {
    const char* tz;
    int32_t bias;
  };
  for (const Case& c : {Case{"MSK-3", -180}, Case{"EST5EDT,M3.2.0,M11.1.0", 300},
                        Case{"AEST-10AEDT,M10.1.0,M4.1.0/3", -600}, Case{"UTC0", 0}}) {
    SCOPED_TRACE(c.tz);
    setenv("TZ", c.tz, 1);
    EXPECT_EQ(CurrentTimeZoneBias(), c.bias);
  }
  SetTimeZoneBiasOverride(-345);
  EXPECT_EQ(CurrentTimeZoneBias(), -345);
  TMemoryStream stream;
  TStreamWriter(stream).WriteDateTime(25569.0);
  stream.SetPosition(0);
  EXPECT_EQ(TStreamReader(stream, 0).ReadInt64(), -345 * 60);
  SetTimeZoneBiasOverride(std::nullopt);
  if (saved) {
    setenv("TZ", savedTz.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
}

TEST(StreamFraming, ResultTextLeavesThePositionAndRequestTextStartsAtZero) {
  TMemoryStream stream;
  TStreamWriter writer(stream, 0);
  writer.WriteInteger(20121004);
  const std::string text = MemoryStreamToBase64(stream);
  EXPECT_EQ(text, "rAUzAQ==");
  EXPECT_EQ(stream.Position(), 4u);
  writer.WriteInteger(5);  // goes on after, not over, the marker
  EXPECT_EQ(stream.Size(), 8u);

  auto decoded = MemoryStreamFromBase64(" rAUz\r\nAQ==\t");
  EXPECT_EQ(decoded->Position(), 0u);
  EXPECT_EQ(TStreamReader(*decoded, 0).ReadInteger(), 20121004);
}

}  // namespace
}  // namespace brevalon
