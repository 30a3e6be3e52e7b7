// The client's result decoder against the gateway's own result writer, and
// against damaged records: every kind reads back exactly, and every damage is
// an EClientError rather than a crash or a guess.
#include "client/result_decoder.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstring>

#include "protocol/base64.h"
#include "protocol/result_writer.h"
#include "protocol/stream.h"

namespace brevalon::client {
namespace {

namespace json = boost::json;
constexpr int32_t kBias = -180;

int64_t Wire(TDateTime value) {
  return WireSecondsFromDateTime(value, kBias);
}

const TTask kTask{41, 7,       "Согласовать", "text\nwith lines", 1,
                  2,  45000.5, 44999.25,      tsComleted,         true};

json::object TaskJson(const TTask& t) {
  return {{"FId", t.FId},
          {"FIdRoute", t.FIdRoute},
          {"FTitle", t.FTitle},
          {"FText", t.FText},
          {"FIdAuthor", t.FIdAuthor},
          {"FIdExecutor", t.FIdExecutor},
          {"FCriticalDate", Wire(t.FCriticalDate)},
          {"FSendDate", Wire(t.FSendDate)},
          {"FState", static_cast<int>(t.FState)},
          {"FHasAttachments", t.FHasAttachments}};
}

// One valid record of every kind (kind 4 in both forms), with the JSON the
// decoder must give for it.
struct Sample {
  const char* name;
  std::vector<uint8_t> bytes;
  std::string text;
  TaskInAttachments task;
  json::object expected;
};

std::vector<Sample> Samples() {
  std::vector<Sample> samples;
  const auto add = [&](const char* name, const TResultWriter& w, TaskInAttachments task,
                       json::object expected) {
    samples.push_back({name, w.Bytes(), w.GetBase64Data(), task, std::move(expected)});
  };
  {
    TResultWriter w(kBias);
    w.WriteConnectToDbResult(17, "2.4");
    add("kind 2", w, TaskInAttachments::kUnspecified,
        {{"marker", 20121004}, {"kind", 2}, {"WFUserId", 17}, {"MSDatabseVer", "2.4"}});
  }
  {
    TResultWriter w(kBias);
    w.WriteUserList({TUser(3, "Иванов И. И.", 30, "Инженер", "Отдел 1"), TUser(4, "", -1, "", "")},
                    {8, 9}, 12);
    add("kind 3", w, TaskInAttachments::kUnspecified,
        {{"marker", 20121004},
         {"kind", 3},
         {"version", 12},
         {"users", json::array{json::object{{"FIdUser", 3},
                                            {"FUserFullname", "Иванов И. И."},
                                            {"FIdRole", 30},
                                            {"FRoleName", "Инженер"},
                                            {"FDepartmentName", "Отдел 1"}},
                               json::object{{"FIdUser", 4},
                                            {"FUserFullname", ""},
                                            {"FIdRole", -1},
                                            {"FRoleName", ""},
                                            {"FDepartmentName", ""}}}},
         {"deleted", json::array{8, 9}}});
  }
  const TTaskAttachmentList attachments{
      TTaskAttachment(100, 200, "Чертёж", "pdf", static_cast<int32_t>(0xF0000000u), 1234),
      TTaskAttachment(101, 201, "x", "", 5, 0)};
  const json::array attachmentsJson{json::object{{"FTitle", "Чертёж"},
                                                 {"FId", 200},
                                                 {"FExtension", "pdf"},
                                                 {"FCRC", int64_t{4026531840}},
                                                 {"FSize", 1234},
                                                 {"FObjectId", 100}},
                                    json::object{{"FTitle", "x"},
                                                 {"FId", 201},
                                                 {"FExtension", ""},
                                                 {"FCRC", 5},
                                                 {"FSize", 0},
                                                 {"FObjectId", 101}}};
  {
    TResultWriter w(kBias);
    w.WriteTaskAttachments(attachments, {100}, 4, &kTask);
    add("kind 4 with task", w, TaskInAttachments::kWithTask,
        {{"marker", 20121004},
         {"kind", 4},
         {"version", 4},
         {"attachments", attachmentsJson},
         {"deleted", json::array{100}},
         {"task", TaskJson(kTask)}});
  }
  {
    TResultWriter w(kBias);
    w.WriteTaskAttachments(attachments, {}, -1, nullptr);
    add("kind 4 without task", w, TaskInAttachments::kWithoutTask,
        {{"marker", 20121004},
         {"kind", 4},
         {"version", -1},
         {"attachments", attachmentsJson},
         {"deleted", json::array{}}});
  }
  {
    const TTask undated{5, 7, "t", "", 1, 2, 0.0, 0.0, tsPlanned, false};
    TResultWriter w(kBias);
    w.WriteTasks({kTask, undated}, {6, 66}, {5}, {7, 70, 700}, 3, 9);
    add("kind 5", w, TaskInAttachments::kUnspecified,
        {{"marker", 20121004},
         {"kind", 5},
         {"version", 3},
         {"correspondenceVersion", 9},
         {"tasks", json::array{TaskJson(kTask), TaskJson(undated)}},
         {"newTaskIds", json::array{5}},
         {"deletedTaskIds", json::array{6, 66}},
         {"newCorrespondenceRoutes", json::array{7, 70, 700}}});
  }
  {
    TResultWriter w(kBias);
    w.WriteTaskCorrespondence(
        {TTaskACorrespondence(1, 2, "привет", 45000.0), TTaskACorrespondence(3, 4, "", 0.0)}, 2);
    add("kind 6", w, TaskInAttachments::kUnspecified,
        {{"marker", 20121004},
         {"kind", 6},
         {"version", 2},
         {"letters",
          json::array{
              json::object{
                  {"FId", 1}, {"FIdAuthor", 2}, {"FText", "привет"}, {"FDate", Wire(45000.0)}},
              json::object{{"FId", 3}, {"FIdAuthor", 4}, {"FText", ""}, {"FDate", 0}}}}});
  }
  return samples;
}

std::vector<uint8_t> Ints(std::initializer_list<int32_t> values) {
  std::vector<uint8_t> bytes;
  for (const int32_t v : values) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(u >> (8 * i)));
  }
  return bytes;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ResultDecoder, EveryKindReadsBackWhatTheGatewayWrote) {
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(DecodeResult(s.text, s.task), s.expected);
    // The key order is part of the output people read.
    std::vector<std::string> keys, expectedKeys;
    const json::object decoded = DecodeResult(s.text, s.task);
    for (const auto& e : decoded) keys.emplace_back(e.key());
    for (const auto& e : s.expected) expectedKeys.emplace_back(e.key());
    EXPECT_EQ(keys, expectedKeys);
  }
}

TEST(ResultDecoder, EmptyTaskListFromTheDocsAndLayoutCharacters) {
  const json::object expected{{"marker", 20121004},
                              {"kind", 5},
                              {"version", 1},
                              {"correspondenceVersion", 1},
                              {"tasks", json::array{}},
                              {"newTaskIds", json::array{}},
                              {"deletedTaskIds", json::array{}},
                              {"newCorrespondenceRoutes", json::array{}}};
  const std::string text = "rAUzAQUAAAABAAAAAQAAAAAAAAAAAAAAAAAAAAAAAAA=";
  EXPECT_EQ(DecodeResult(text, TaskInAttachments::kUnspecified), expected);
  // Blanks and line breaks anywhere are layout, as in the gateway's own texts.
  EXPECT_EQ(DecodeResult(" rAUz\r\nAQUA AAAB\tAAAAAQAAAAAAAAAAAAAAAAAAAAAAAAA=\r\n",
                         TaskInAttachments::kUnspecified),
            expected);
  EXPECT_EQ(PeekResultKind(Base64Decode(text)), 5);
}

TEST(ResultDecoder, LongRecordsAcrossLineBreaksAndMalformedUtf8) {
  // A text longer than 76 characters carries CR LF; a String with bytes that
  // are not UTF-8 comes out with U+FFFD so the JSON stays valid.
  TResultWriter w(kBias);
  w.WriteConnectToDbResult(1, std::string(100, 'v'));
  ASSERT_NE(w.GetBase64Data().find("\r\n"), std::string::npos);
  EXPECT_EQ(DecodeResult(w.GetBase64Data(), TaskInAttachments::kUnspecified).at("MSDatabseVer"),
            json::value(std::string(100, 'v')));

  const std::vector<uint8_t> bytes =
      Concat(Ints({20121004, 2, 1, 3}), std::vector<uint8_t>{'a', 0xFF, 'b'});
  EXPECT_EQ(DecodeResultBytes(bytes, TaskInAttachments::kUnspecified).at("MSDatabseVer"),
            json::value("a\xEF\xBF\xBD"
                        "b"));
}

TEST(ResultDecoder, EveryTruncationIsAnError) {
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.name);
    for (size_t n = 0; n < s.bytes.size(); ++n) {
      const std::vector<uint8_t> prefix(s.bytes.begin(), s.bytes.begin() + n);
      EXPECT_THROW(DecodeResultBytes(prefix, s.task), EClientError) << "length " << n;
      EXPECT_THROW(DecodeResult(Base64Encode(prefix), s.task), EClientError) << "length " << n;
    }
    EXPECT_NO_THROW(DecodeResultBytes(s.bytes, s.task));
  }
}

TEST(ResultDecoder, MustReject) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    TaskInAttachments task;
    const char* messagePart;
  };
  const auto none = TaskInAttachments::kUnspecified;
  const auto with = TaskInAttachments::kWithTask;
  const auto without = TaskInAttachments::kWithoutTask;
  const std::vector<uint8_t> emptyTaskList = Ints({20121004, 5, 1, 1, 0, 0, 0, 0});
  const std::vector<uint8_t> searchResult = Ints({20121004, 4, -1, 0, 0});
  const Case cases[] = {
      {"empty", {}, none, "marker at byte 0 needs 4 bytes, 0 left"},
      {"request instead of result", Ints({0, 5, 0, 0, 0}), none, "20121004"},
      {"marker off by one", Ints({20121005, 5, 1, 1, 0, 0, 0, 0}), none, "found 20121005"},
      {"kind 1", Ints({20121004, 1}), none, "unknown result kind 1"},
      {"kind 7", Ints({20121004, 7, 0}), none, "unknown result kind 7"},
      {"kind -1", Ints({20121004, -1}), none, "unknown result kind -1"},
      {"stray byte", Concat(emptyTaskList, {0}), none, "1 stray bytes at byte 32"},
      {"two records", Concat(emptyTaskList, emptyTaskList), none, "32 stray bytes"},
      {"kind 4 undecided", searchResult, none, "kind-4"},
      {"search result read as with task", searchResult, with, "task.FId at byte 20"},
      {"attachments with task read as without", Concat(searchResult, std::vector<uint8_t>(42, 0)),
       without, "42 stray bytes"},
      {"huge task count", Ints({20121004, 5, 1, 1, 0x7FFFFFFF}), none, "count 2147483647"},
      {"huge user count", Ints({20121004, 3, 1, 1000000, 0}), none, "users at byte 12"},
      {"negative count", Ints({20121004, 6, 1, -1}), none, "negative count -1"},
      {"count one too many", Concat(Ints({20121004, 6, 1, 2, 1, 2, 0}), Ints({0, 0, 0, 0, 0})),
       none, "count 2"},
      {"negative id list count", Ints({20121004, 3, 1, 0, -5}), none, "deleted at byte 16"},
      {"id list longer than data", Ints({20121004, 3, 1, 0, 3, 1, 2}), none, "count 3"},
      {"negative string length", Ints({20121004, 2, 1, -1}), none, "negative String length -1"},
      {"string longer than data", Concat(Ints({20121004, 2, 1, 10}), {'a', 'b'}), none,
       "String length 10 exceeds the 2 bytes left"},
      {"string length far beyond", Ints({20121004, 2, 1, 0x7FFFFFFF}), none, "exceeds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      DecodeResultBytes(c.bytes, c.task);
      ADD_FAILURE() << "accepted";
    } catch (const EClientError& e) {
      EXPECT_NE(std::string(e.what()).find(c.messagePart), std::string::npos) << e.what();
    }
  }
}

TEST(ResultDecoder, ElementErrorsNameTheElement) {
  // Second letter's text runs past the end.
  const std::vector<uint8_t> bytes =
      Concat(Ints({20121004, 6, 1, 2, 1, 2, 0, 0, 0, 3, 4, 99}), Ints({0, 0, 0, 0, 0, 0}));
  try {
    DecodeResultBytes(bytes, TaskInAttachments::kUnspecified);
    FAIL() << "accepted";
  } catch (const EClientError& e) {
    EXPECT_NE(std::string(e.what()).find("letters[1].FText at byte 44"), std::string::npos)
        << e.what();
  }
}

TEST(ResultDecoder, Base64MustBeWellFormed) {
  const struct {
    const char* text;
    const char* messagePart;
  } rejected[] = {
      {"rAUz-QUA", "'-' at position 4 is not a Base64 character"},
      {"rAUzAQUA\x01", "byte 0x01 at position 8"},
      {"rAUzAQU", "7 characters do not make whole groups of four"},
      {"rA==AQUA", "follows the \"=\" padding"},
      {"r===", "misplaced \"=\""},
      {"rAU=AQ==", "follows the \"=\" padding"},
      {"rA=A", "follows the \"=\" padding"},
      {"rAUz====", "misplaced \"=\""},
      {"rAUzA", "5 characters"},
  };
  for (const auto& c : rejected) {
    SCOPED_TRACE(c.text);
    try {
      DecodeBase64Strict(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const EClientError& e) {
      EXPECT_NE(std::string(e.what()).find(c.messagePart), std::string::npos) << e.what();
    }
  }
  const struct {
    const char* text;
    std::vector<uint8_t> bytes;
  } accepted[] = {
      {"", {}},
      {" \r\n", {}},
      {"QQ==", {'A'}},
      {"QUI=", {'A', 'B'}},
      {"QUJD", {'A', 'B', 'C'}},
      {"QU\r\nI=\r\n", {'A', 'B'}},
      {"QUJD QQ = =", {'A', 'B', 'C', 'A'}},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DecodeBase64Strict(c.text), c.bytes);
  }
}

}  // namespace
}  // namespace brevalon::client
