#include "protocol/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace brevalon {
namespace {

std::vector<uint8_t> B(std::string_view s) { return {s.begin(), s.end()}; }

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {"\xFF\xFE\xFD", "//79"}, {"\xFB\xEF", "++8="},
  };
  for (const auto& [plain, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Base64Encode(std::string_view(plain)), text);
    EXPECT_EQ(Base64Decode(text), B(plain));
  }
}

// CR LF after every 76 output characters, counted over the whole text.
TEST(Base64, LineBreaksEvery76Characters) {
  const std::string line76 = Base64Encode(std::string(57, 'x'), false);
  ASSERT_EQ(line76.size(), 76u);

  EXPECT_EQ(Base64Encode(std::string(57, 'x')), line76 + "\r\n");
  const std::string t58 = Base64Encode(std::string(58, 'x'));
  EXPECT_EQ(t58.size(), 76u + 2 + 4);
  EXPECT_EQ(t58.substr(0, 78), line76 + "\r\n");
  EXPECT_EQ(t58.substr(78), "eA==");
  // 55 and 56 bytes fill 76 characters with their padding: a break follows.
  EXPECT_EQ(Base64Encode(std::string(56, 'x')).substr(75), "=\r\n");
  EXPECT_EQ(Base64Encode(std::string(55, 'x')).substr(74), "==\r\n");
  EXPECT_EQ(Base64Encode(std::string(54, 'x')).size(), 72u);
  EXPECT_EQ(Base64Encode(std::string(114, 'x')), line76 + "\r\n" + line76 + "\r\n");

  std::mt19937 rng(7);
  for (size_t n = 0; n <= 400; ++n) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> data(n);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const std::string text = Base64Encode(data);
    ASSERT_EQ(text.size(), Base64EncodedLength(n));
    const std::string flat = Base64Encode(data, false);
    ASSERT_EQ(flat.size(), Base64EncodedLength(n, false));
    // Same characters with CR LF after each 76.
    std::string expected;
    for (size_t i = 0; i < flat.size(); ++i) {
      expected += flat[i];
      if ((i + 1) % 76 == 0) expected += "\r\n";
    }
    ASSERT_EQ(text, expected);
    ASSERT_EQ(Base64Decode(text), data);
    ASSERT_EQ(Base64Decode(flat), data);
  }
}

TEST(Base64, DecodeRules) {
  const std::pair<std::string, std::string> cases[] = {
      // Layout characters anywhere are skipped.
      {"Zm9v\r\nYmFy", "foobar"},
      {" Z m\t9v\nYm\r\nFy ", "foobar"},
      {std::string("Zm9v\0YmFy", 9), "foobar"},
      {"Zm9v\xD0\x96YmFy", "foobar"},  // non-ASCII bytes are not in the alphabet
      {"Zm9v.-_*YmFy", "foobar"},
      // Padding ends a group; decoding goes on after it.
      {"Zg==Zm8=", "ffo"},
      {"Zg=AZm9v", "ffoo"},  // "=" in third place: one byte
      {"Zm8=Zg", "fof"},
      // A group yields only what its leading alphabet characters determine.
      {"=Zg=", ""},
      {"Z===", ""},
      {"Zg", "f"},
      {"Zm9", "fo"},
      {"Zm9vZ", "foo"},  // a single trailing character is dropped
      {"====", ""},
      {"", ""},
      {"\r\n", ""},
  };
  for (const auto& [text, plain] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(Base64Decode(text), B(plain));
  }
}

TEST(Base64, DecodeIgnoresLayoutInsertedAnywhere) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> data(rng() % 700);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const std::string text = Base64Encode(data);
    std::string noisy;
    for (char c : text) {
      if (rng() % 9 == 0) noisy += " \t\r\n#"[rng() % 5];
      noisy += c;
    }
    ASSERT_EQ(Base64Decode(noisy), data) << noisy;
  }
}

}  // namespace
}  // namespace brevalon
