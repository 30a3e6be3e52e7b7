#include "rdc/rdc_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brevalon {
namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s.push_back(static_cast<char>(x));
  return s;
}

// The examples of docs/appserver-protocol.md, checked in both directions.
TEST(RdcProtocolTest, DocumentedExamples) {
  RdcHello hello;
  hello.server_class = "{A}";
  hello.identity = "ivanov";
  const std::string hello_bytes = Bytes({0x18, 0, 0, 0, 0x01, 'B', 'R', 'D', 'C', 0x01, 0x00, 0x03, 0, 0, 0, '{', 'A',
                                         '}', 0x06, 0, 0, 0, 'i', 'v', 'a', 'n', 'o', 'v'});
  EXPECT_EQ(RdcEncodeHello(hello), hello_bytes);
  const RdcFrameView hv = RdcSplitFrame(hello_bytes);
  ASSERT_EQ(hv.type, RdcFrameType::kHello);
  const RdcHello back = RdcDecodeHello(hv.payload);
  EXPECT_EQ(back.server_class, "{A}");
  EXPECT_EQ(back.identity, "ivanov");

  // Call 7 "GetTree2"(0, "", error code by reference)
  RdcCallRequest call;
  call.call_id = 7;
  call.name = "GetTree2";
  call.args = {{RdcArgMode::kValue, Variant(0)}, {RdcArgMode::kValue, Variant("")},
               {RdcArgMode::kVariantRef, Variant()}};
  const std::string call_bytes =
      Bytes({0x23, 0, 0, 0, 0x02, 0x07, 0, 0, 0, 0x08, 0, 0, 0, 'G', 'e', 't', 'T', 'r', 'e', 'e', '2', 0x03, 0, 0, 0,
             0x00, 0x02, 0, 0, 0, 0, 0x00, 0x06, 0, 0, 0, 0, 0x01, 0x00});
  EXPECT_EQ(RdcEncodeCall(call), call_bytes);
  const RdcCallRequest cb = RdcDecodeCall(RdcSplitFrame(call_bytes).payload);
  EXPECT_EQ(cb.call_id, 7u);
  EXPECT_EQ(cb.name, "GetTree2");
  ASSERT_EQ(cb.args.size(), 3u);
  EXPECT_EQ(cb.args[2].mode, RdcArgMode::kVariantRef);
  EXPECT_TRUE(cb.args[2].value.IsEmpty());

  // Result of call 7: true, one reference value 0.
  RdcResult result{7, Variant(true), {Variant(0)}};
  const std::string result_bytes =
      Bytes({0x10, 0, 0, 0, 0x82, 0x07, 0, 0, 0, 0x04, 0x01, 0x01, 0, 0, 0, 0x02, 0, 0, 0, 0});
  EXPECT_EQ(RdcEncodeResult(result), result_bytes);
  const RdcResult rb = RdcDecodeResult(RdcSplitFrame(result_bytes).payload);
  EXPECT_EQ(rb.result, Variant(true));
  ASSERT_EQ(rb.refs.size(), 1u);
  EXPECT_EQ(rb.refs[0].Type(), VariantType::Int32);

  const std::string failure_bytes = Bytes({0x0D, 0, 0, 0, 0x83, 0x07, 0, 0, 0, 0x01, 0x03, 0, 0, 0, 'b', 'a', 'd'});
  EXPECT_EQ(RdcEncodeFailure(RdcFailure{7, RdcFailureKind::kCallFailed, "bad"}), failure_bytes);
  EXPECT_EQ(RdcDecodeFailure(RdcSplitFrame(failure_bytes).payload).description, "bad");

  EXPECT_EQ(RdcEncodeHelloOk(RdcHelloOk{}), Bytes({0x07, 0, 0, 0, 0x81, 0x01, 0x00, 0, 0, 0, 0}));
  EXPECT_EQ(RdcEncodeBye(), Bytes({0x01, 0, 0, 0, 0x04}));
  EXPECT_EQ(RdcEncodeGetProperty(8, "ApplicationVersion"),
            Bytes({0x1B, 0, 0, 0, 0x03, 0x08, 0, 0, 0, 0x12, 0, 0, 0}) + "ApplicationVersion");
  EXPECT_EQ(RdcEncodeResult(RdcResult{8, Variant(20090306), {}}),
            Bytes({0x0E, 0, 0, 0, 0x82, 0x08, 0, 0, 0, 0x02, 0xC2, 0x8D, 0x32, 0x01, 0, 0, 0, 0}));

  struct VariantCase {
    Variant value;
    std::string bytes;
  };
  const VariantCase variants[] = {
      {Variant(), Bytes({0x00})},
      {Variant::Null(), Bytes({0x01})},
      {Variant(-5), Bytes({0x02, 0xFB, 0xFF, 0xFF, 0xFF})},
      {Variant(uint8_t{200}), Bytes({0x03, 0xC8})},
      {Variant(true), Bytes({0x04, 0x01})},
      {Variant(45000.5), Bytes({0x05, 0, 0, 0, 0, 0x10, 0xF9, 0xE5, 0x40})},
      {Variant("Да"), Bytes({0x06, 0x04, 0, 0, 0, 0xD0, 0x94, 0xD0, 0xB0})},
      {Variant(std::vector<int32_t>{1, -1}), Bytes({0x07, 0x02, 0, 0, 0, 0x01, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF})},
      {Variant(std::vector<uint8_t>{0, 1, 2}), Bytes({0x08, 0x03, 0, 0, 0, 0x00, 0x01, 0x02})},
  };
  for (const VariantCase& c : variants) {
    std::string bytes;
    RdcAppendVariant(bytes, c.value);
    EXPECT_EQ(bytes, c.bytes) << c.value.ToDebugString();
    size_t pos = 0;
    const Variant back = RdcReadVariant(c.bytes, pos);
    EXPECT_EQ(back.Type(), c.value.Type()) << c.value.ToDebugString();
    EXPECT_EQ(back, c.value) << c.value.ToDebugString();
  }
}

TEST(RdcProtocolTest, EveryVariantKindRoundTrips) {
  const std::vector<Variant> values = {
      Variant(),
      Variant::Null(),
      Variant(INT32_MIN),
      Variant(uint8_t{255}),
      Variant(false),
      Variant(45000.75),
      Variant(std::string("Привет\0мир", 16)),
      Variant(std::vector<int32_t>{}),
      Variant(std::vector<int32_t>{-1, 0, 2147483647}),
      Variant(std::vector<uint8_t>{0, 1, 254, 255}),
  };
  for (const Variant& v : values) {
    std::string bytes;
    RdcAppendVariant(bytes, v);
    size_t pos = 0;
    const Variant back = RdcReadVariant(bytes, pos);
    EXPECT_EQ(pos, bytes.size()) << v.ToDebugString();
    EXPECT_EQ(back.Type(), v.Type()) << v.ToDebugString();
    EXPECT_EQ(back, v) << v.ToDebugString();
  }
}

TEST(RdcProtocolTest, MalformedInputIsRejected) {
  struct Case {
    const char* what;
    std::string frame;
  };
  const std::string good_call = RdcEncodeCall(RdcCallRequest{1, "X", {{RdcArgMode::kValue, Variant(5)}}});
  std::string trailing = good_call + "Z";
  trailing[0] = static_cast<char>(trailing[0] + 1);
  const Case cases[] = {
      {"short header", Bytes({1, 0})},
      {"zero length", Bytes({0, 0, 0, 0})},
      {"length over the limit", Bytes({0x01, 0x00, 0x00, 0x04, 0x02})},
      {"HTTP request as a frame", "POST / HTTP/1.1\r\n"},
      {"length beyond the bytes", Bytes({9, 0, 0, 0, 0x02, 1})},
      {"unknown type", Bytes({1, 0, 0, 0, 0x55})},
      {"truncated call", good_call.substr(0, good_call.size() - 1)},
      {"bytes after the message", trailing},
      {"argument count beyond the bytes", Bytes({14, 0, 0, 0, 0x02, 1, 0, 0, 0, 1, 0, 0, 0, 'X', 0xFF, 0xFF, 0xFF, 0x7F})},
      {"bad argument mode", Bytes({16, 0, 0, 0, 0x02, 1, 0, 0, 0, 1, 0, 0, 0, 'X', 1, 0, 0, 0, 9, 0})},
      {"bad variant tag", Bytes({16, 0, 0, 0, 0x02, 1, 0, 0, 0, 1, 0, 0, 0, 'X', 1, 0, 0, 0, 0, 42})},
      {"Boolean other than 0/1", Bytes({17, 0, 0, 0, 0x02, 1, 0, 0, 0, 1, 0, 0, 0, 'X', 1, 0, 0, 0, 0, 4, 2})},
      {"text longer than the bytes",
       Bytes({20, 0, 0, 0, 0x02, 1, 0, 0, 0, 1, 0, 0, 0, 'X', 1, 0, 0, 0, 0, 6, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"integer array count beyond the bytes",
       Bytes({20, 0, 0, 0, 0x02, 1, 0, 0, 0, 1, 0, 0, 0, 'X', 1, 0, 0, 0, 0, 7, 0, 0, 0, 0x40})},
  };
  for (const Case& c : cases) {
    EXPECT_THROW(
        {
          const RdcFrameView f = RdcSplitFrame(c.frame);
          if (f.type == RdcFrameType::kCall) RdcDecodeCall(f.payload);
        },
        ERdcProtocolError)
        << c.what;
  }
  EXPECT_THROW(RdcDecodeHello(Bytes({'B', 'R', 'D', 'X', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0})), ERdcProtocolError);
  EXPECT_THROW(RdcDecodeFailure(Bytes({0, 0, 0, 0, 9, 0, 0, 0, 0})), ERdcProtocolError);
  EXPECT_THROW(RdcDecodeResult(Bytes({0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF})), ERdcProtocolError);
  // A configured lower limit applies.
  EXPECT_THROW(RdcSplitFrame(good_call, 4), ERdcProtocolError);
}

TEST(RdcProtocolTest, EncoderRefusesAFrameOverTheLimit) {
  RdcResult big{1, Variant(std::vector<uint8_t>(kRdcMaxFrameLength, 0)), {}};
  EXPECT_THROW(RdcEncodeResult(big), ERdcProtocolError);
}

}  // namespace
}  // namespace brevalon
