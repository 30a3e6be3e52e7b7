#include "util/process_name.h"

#include <gtest/gtest.h>

#include <string>

namespace brevalon {
namespace {

// Vectors that hold in both directions: encoding the record gives the name,
// decoding the name gives the record back.
TEST(ProcessNameTest, EncodeAndDecodeVectors) {
  struct Case {
    TBProcessKind kind;
    int32_t tag;
    const char* title;
    const char* name;
  } cases[] = {
      {bpkTask, 1, "Report", "{0200000001}Report"},
      {bpkTaskFamiliarization, 255, "Read this", "{06000000FF}Read this"},
      {bpkTaskAgree, 0x7FFFFFFF, "", "{037FFFFFFF}"},
      {bpkTask, -1, "neg", "{02FFFFFFFF}neg"},
      {bpkTask, INT32_MIN, "min", "{0280000000}min"},
      {bpkTask, 0xABCDEF, "}{ braces}", "{0200ABCDEF}}{ braces}"},
      {bpkTaskAgree, 42, "Согласовать договор №5", "{030000002A}Согласовать договор №5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EncodeProcessName(TBProcessInfo{c.kind, c.tag, c.title}), c.name);
    EXPECT_EQ(EncodeProcessName(c.kind, c.tag, c.title), c.name);

    TBProcessInfo info;
    ASSERT_TRUE(DecodeProcessName(c.name, info));
    EXPECT_EQ(info.Kind, c.kind);
    EXPECT_EQ(info.Tag, c.tag);
    EXPECT_EQ(info.Title, c.title);
    EXPECT_EQ(ProcessNameTitle(c.name), c.title);
    EXPECT_EQ(ProcessNameKind(c.name), c.kind);
  }
}

TEST(ProcessNameTest, KindsWithoutACodeOfTheirOwnEncodeAsFF) {
  for (TBProcessKind kind : {bpkAgreeList, bpkFamiliarizationList, bpkUnknown}) {
    const std::string name = EncodeProcessName(kind, 7, "List");
    EXPECT_EQ(name, "{FF00000007}List");
    EXPECT_EQ(ProcessNameTitle(name), "");
    EXPECT_EQ(ProcessNameKind(name), bpkUnknown);
  }
}

// Names written by other programs that decode, with what they decode to.
TEST(ProcessNameTest, DecodesForeignButValidNames) {
  struct Case {
    const char* name;
    TBProcessKind kind;
    int32_t tag;
    const char* title;
  } cases[] = {
      {"{04ABCDEF01}x", bpkTask, static_cast<int32_t>(0xABCDEF01u), "x"},
      {"{05000000ff}y", bpkTaskAgree, 255, "y"},
      {"{04abcdef01}x", bpkTask, static_cast<int32_t>(0xABCDEF01u), "x"},
      {"{0600000000}", bpkTaskFamiliarization, 0, ""},  // exactly twelve characters
      // The twelfth character is not checked: the title starts after the
      // first "}", so what stands between is dropped.
      {"{0200000001abc}Title", bpkTask, 1, "Title"},
      {"{0200000001X}}", bpkTask, 1, "}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TBProcessInfo info;
    ASSERT_TRUE(DecodeProcessName(c.name, info));
    EXPECT_EQ(info.Kind, c.kind);
    EXPECT_EQ(info.Tag, c.tag);
    EXPECT_EQ(info.Title, c.title);
  }
}

TEST(ProcessNameTest, MustReject) {
  const std::string cases[] = {
      "",
      "Общая переписка",           // a plain process name
      "{0200000001",               // no "}"
      "{0200000001x",              // twelve characters, still no "}"
      "{020000001}",               // eleven characters
      "{02000000}x",               // "}" inside the tag
      "{0Z00000001}x",             // not a hexadecimal code
      "{020000000G}x",
      "{02 0000001}x",
      "{02-0000001}x",
      "{0x00000001}x",
      " {0200000001}x",            // must start with "{"
      "[0200000001]x",
      "{0000000001}x",             // codes 00, 01 and 07..FF are not kinds
      "{0100000001}x",
      "{0700000001}x",
      "{FF00000001}x",
      "{ff00000001}x",
      "{02ФФФФ}abc",               // multi-byte text where the digits belong
      "{\xD0\x9F\xD0\x9F\xD0\x9F\xD0\x9F\xD0}x",
      std::string("{02\0\0\0\0\0\0\0\0}x", 13),
  };
  for (const std::string& name : cases) {
    TBProcessInfo info{bpkTaskAgree, 77, "untouched"};
    EXPECT_FALSE(DecodeProcessName(name, info)) << name;
    EXPECT_EQ(info.Kind, bpkTaskAgree) << name;
    EXPECT_EQ(info.Tag, 77) << name;
    EXPECT_EQ(info.Title, "untouched") << name;
    EXPECT_EQ(ProcessNameTitle(name), "") << name;
    EXPECT_EQ(ProcessNameKind(name), bpkUnknown) << name;
  }
}

}  // namespace
}  // namespace brevalon
