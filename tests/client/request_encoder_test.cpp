// The client's request encoder against the gateway's own request classes:
// whatever the client encodes, the gateway must read back field for field.
#include "client/request_encoder.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "protocol/base64.h"
#include "protocol/request_records.h"
#include "protocol/stream.h"

namespace brevalon::client {
namespace {

namespace json = boost::json;
constexpr int32_t kBias = -180;  // three hours east of Greenwich

// A DateTime the gateway read, as the wire seconds it came from.
int64_t Wire(TDateTime value) {
  return WireSecondsFromDateTime(value, kBias);
}

// Each gateway request class, its decoded fields as the JSON the client takes.
using Decoder = std::function<json::object(const std::string& text)>;
const std::map<std::string, Decoder>& GatewayDecoders() {
  static const std::map<std::string, Decoder> decoders{
      {"ConnectToDB",
       [](const std::string& t) {
         TParamsConnectToDb r(t);
         return json::object{{"FDBName", r.FDBName},
                             {"FUser", r.FUser},
                             {"FDomain", r.FDomain},
                             {"FPassword", r.FPassword}};
       }},
      {"GetUserList",
       [](const std::string& t) {
         TParamsGetUserList r(t);
         return json::object{{"FStUID", r.FStUID}, {"FNDataSetVersion", r.FNDataSetVersion}};
       }},
      {"GetTaskAttachments",
       [](const std::string& t) {
         TParamsTaskAttachments r(t);
         return json::object{{"FStUID", r.FStUID},
                             {"FNDataSetVersion", r.FNDataSetVersion},
                             {"FIdTask", r.FIdTask}};
       }},
      {"GetTaskList",
       [](const std::string& t) {
         TParamsGetTaskList r(t);
         return json::object{{"FStUID", r.FStUID},
                             {"FNDataSetVersion", r.FNDataSetVersion},
                             {"FNIncommingCorrespVersion", r.FNIncommingCorrespVersion}};
       }},
      {"GetCorrespondence",
       [](const std::string& t) {
         TParamsTaskCorrespondece r(t);
         return json::object{{"FStUID", r.FStUID},
                             {"FNDataSetVersion", r.FNDataSetVersion},
                             {"FIdTask", r.FIdTask}};
       }},
      {"CreateTask",
       [](const std::string& t) {
         TParamsTaskCreation r(t);
         return json::object{{"FSubject", r.FSubject},
                             {"FText", r.FText},
                             {"FDateCritical", Wire(r.FDateCritical)},
                             {"FStartAfterCreate", r.FStartAfterCreate},
                             {"FIdUsers", json::array(r.FIdUsers.begin(), r.FIdUsers.end())},
                             {"FIdRoles", json::array(r.FIdRoles.begin(), r.FIdRoles.end())}};
       }},
      {"EditTask",
       [](const std::string& t) {
         TParamsTaskEditing r(t);
         return json::object{
             {"FIdTask", r.FIdTask},       {"FSubjectNew", r.FSubjectNew},
             {"FTextNew", r.FTextNew},     {"FDateCriticalNew", Wire(r.FDateCriticalNew)},
             {"FIdUserNew", r.FIdUserNew}, {"FIdRoleNew", r.FIdRoleNew}};
       }},
      {"SetStateForTask",
       [](const std::string& t) {
         TParamsChangeTaskState r(t);
         return json::object{
             {"FIdTask", r.FIdTask}, {"FIdState", r.FIdState}, {"FSReason", r.FSReason}};
       }},
      {"SearchDocuments",
       [](const std::string& t) {
         TParamsSearchDocument r(t);
         return json::object{{"FSearchString", r.FSearchString}};
       }},
      {"SendMessage",
       [](const std::string& t) {
         TParamsSendCorrespondeceMessage r(t);
         return json::object{{"FIdTask", r.FIdTask}, {"FStMessage", r.FStMessage}};
       }},
      {"SetTaskCorrespondenceRead",
       [](const std::string& t) {
         TParamsCorrespondenceRead r(t);
         return json::object{{"FIdRoute", r.FIdRoute}};
       }},
      {"DeleteTask",
       [](const std::string& t) {
         TParamsDeleteTask r(t);
         return json::object{{"FIdRoute", r.FIdRoute}};
       }},
      {"GetFile",
       [](const std::string& t) {
         TParamsGetFile r(t);
         return json::object{{"IdAttachment", r.IdAttachment},
                             {"Extension", r.Extension},
                             {"BlockSize", r.BlockSize},
                             {"Position", r.Position}};
       }},
  };
  return decoders;
}

// Request classes with a client UID create cache directories: keep them in a
// temporary data folder, and pin the time zone so DateTimes are checked
// through a non-zero bias.
class RequestEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("brevalon-client-test-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
    ::setenv("BREVALON_COMMONAPPDATA", dir_.c_str(), 1);
    SetTimeZoneBiasOverride(kBias);
  }
  void TearDown() override {
    SetTimeZoneBiasOverride(std::nullopt);
    ::unsetenv("BREVALON_COMMONAPPDATA");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::filesystem::path dir_;
};

TEST_F(RequestEncoderTest, EveryRequestReadsBackInTheGateway) {
  const std::string cyrillic = "Задача";  // 6 letters, 12 bytes
  struct Case {
    const char* method;
    json::object fields;
  };
  const std::vector<Case> cases{
      {"ConnectToDB",
       {{"FDBName", "pdm"}, {"FUser", cyrillic}, {"FDomain", ""}, {"FPassword", "p w"}}},
      {"ConnectToDB", {{"FDBName", ""}, {"FUser", "u"}, {"FDomain", "CORP"}, {"FPassword", ""}}},
      {"GetUserList", {{"FStUID", "abc"}, {"FNDataSetVersion", 2147483646}}},
      {"GetTaskAttachments", {{"FStUID", "abc"}, {"FNDataSetVersion", 0}, {"FIdTask", -1}}},
      {"GetTaskList",
       {{"FStUID", "dev-1"}, {"FNDataSetVersion", 7}, {"FNIncommingCorrespVersion", 9}}},
      {"GetCorrespondence", {{"FStUID", "abc"}, {"FNDataSetVersion", 3}, {"FIdTask", 2147483647}}},
      {"CreateTask",
       {{"FSubject", cyrillic},
        {"FText", "line1\r\nline2"},
        {"FDateCritical", 1700000000},
        {"FStartAfterCreate", true},
        {"FIdUsers", json::array{11, 12}},
        {"FIdRoles", json::array{21, 22}}}},
      {"CreateTask",
       {{"FSubject", "s"},
        {"FText", ""},
        {"FDateCritical", -86399},  // before 1970
        {"FStartAfterCreate", false},
        {"FIdUsers", json::array{}},
        {"FIdRoles", json::array{}}}},
      {"EditTask",
       {{"FIdTask", 5},
        {"FSubjectNew", "new"},
        {"FTextNew", cyrillic},
        {"FDateCriticalNew", 0},
        {"FIdUserNew", -2147483647 - 1},
        {"FIdRoleNew", 8}}},
      {"SetStateForTask", {{"FIdTask", 5}, {"FIdState", 3}, {"FSReason", "because"}}},
      {"SearchDocuments", {{"FSearchString", "Ab%"}}},
      {"SendMessage", {{"FIdTask", 77}, {"FStMessage", std::string(300, 'x')}}},
      {"SetTaskCorrespondenceRead", {{"FIdRoute", 12}}},
      {"DeleteTask", {{"FIdRoute", 13}}},
      {"GetFile",
       {{"IdAttachment", 40}, {"Extension", "pdf"}, {"BlockSize", 65536}, {"Position", 131072}}},
  };
  std::set<std::string> covered;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + (" " + json::serialize(c.fields)));
    const std::string text = EncodeRequest(c.method, c.fields);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(GatewayDecoders().at(c.method)(text), c.fields);
    covered.insert(c.method);
  }
  EXPECT_EQ(covered.size(), RequestKinds().size());
}

TEST_F(RequestEncoderTest, MissingFieldsAreZeroFalseOrEmpty) {
  for (const RequestKind& kind : RequestKinds()) {
    SCOPED_TRACE(kind.method);
    const std::string method = kind.method;
    json::object fields;
    // The UID must name a directory, so it is the one field always given.
    bool hasUid = false;
    for (const RequestField& field : kind.fields)
      hasUid = hasUid || field.name == std::string("FStUID");
    if (hasUid) fields["FStUID"] = "abc";
    json::object decoded = GatewayDecoders().at(method)(EncodeRequest(method, fields));
    for (auto& entry : decoded) {
      if (entry.key() == "FStUID") continue;
      const json::value& v = entry.value();
      EXPECT_TRUE((v.is_int64() && v.get_int64() == 0) || (v.is_bool() && !v.get_bool()) ||
                  (v.is_string() && v.get_string().empty()) ||
                  (v.is_array() && v.get_array().empty()))
          << entry.key() << " = " << json::serialize(v);
    }
  }
}

TEST(RequestEncoderBytes, HeaderOperationIdAndPairsAreLaidOutAsOnTheWire) {
  // CreateTask with two executors: user0, role0, user1, role1 after the count.
  const std::vector<uint8_t> bytes =
      EncodeRequestBytes("createtask", json::object{{"header", -1},
                                                    {"FSubject", "S"},
                                                    {"FDateCritical", 1},
                                                    {"FStartAfterCreate", true},
                                                    {"FIdUsers", json::array{1, 2}},
                                                    {"FIdRoles", json::array{3, 4}}});
  const std::vector<uint8_t> expected{
      0xFF, 0xFF, 0xFF, 0xFF,                          // header -1
      0x07, 0x00, 0x00, 0x00,                          // operation id
      0x01, 0x00, 0x00, 0x00, 'S',                     // FSubject
      0x00, 0x00, 0x00, 0x00,                          // FText
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // FDateCritical, raw
      0x01,                                            // FStartAfterCreate
      0x02, 0x00, 0x00, 0x00,                          // n
      0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,  // user0 role0
      0x02, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,  // user1 role1
  };
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(EncodeRequest("CREATETASK", json::object{{"header", -1},
                                                     {"FSubject", "S"},
                                                     {"FDateCritical", 1},
                                                     {"FStartAfterCreate", true},
                                                     {"FIdUsers", json::array{1, 2}},
                                                     {"FIdRoles", json::array{3, 4}}}),
            Base64Encode(expected, false));
}

TEST(RequestEncoderBytes, HeaderWordIsFreeAndLongTextsStayOnOneLine) {
  for (const int64_t header : {int64_t{0}, int64_t{20121004}, int64_t{-1}, int64_t{2147483647}}) {
    const std::vector<uint8_t> bytes =
        EncodeRequestBytes("DeleteTask", json::object{{"header", header}, {"FIdRoute", 1}});
    ASSERT_EQ(bytes.size(), 12u);
    int32_t word = 0;
    std::memcpy(&word, bytes.data(), 4);
    EXPECT_EQ(word, header);
  }
  const std::string text =
      EncodeRequest("SearchDocuments", json::object{{"FSearchString", std::string(200, 'q')}});
  EXPECT_GT(text.size(), 76u);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(Base64Decode(text),
            EncodeRequestBytes("SearchDocuments",
                               json::object{{"FSearchString", std::string(200, 'q')}}));
}

TEST(RequestEncoderReject, BadDescriptionsNameTheProblem) {
  struct Case {
    const char* method;
    const char* fields;
    const char* messagePart;
  };
  const Case cases[] = {
      {"NoSuchMethod", "{}", "unknown method \"NoSuchMethod\""},
      {"", "{}", "unknown method"},
      {"GetTaskList", R"({"FStUid":"a"})", "did you mean \"FStUID\""},
      {"GetTaskList", R"({"FIdTask":1})", "unknown field \"FIdTask\""},
      {"GetTaskList", R"({"FStUID":5})", "\"FStUID\" must be a string"},
      {"GetTaskList", R"({"FStUID":null})", "\"FStUID\" must be a string"},
      {"GetTaskList", R"({"FNDataSetVersion":"1"})", "\"FNDataSetVersion\" must be an integer"},
      {"GetTaskList", R"({"FNDataSetVersion":1.0})", "\"FNDataSetVersion\" must be an integer"},
      {"GetTaskList", R"({"FNDataSetVersion":2147483648})", "32-bit range"},
      {"GetTaskList", R"({"FNDataSetVersion":-2147483649})", "32-bit range"},
      {"GetTaskList", R"({"FNDataSetVersion":true})", "must be an integer"},
      {"GetTaskList", R"({"header":4294967296})", "\"header\" must be an integer"},
      {"CreateTask", R"({"FStartAfterCreate":1})", "must be true or false"},
      {"CreateTask", R"({"FDateCritical":9223372036854775808})", "\"FDateCritical\" must be"},
      {"CreateTask", R"({"FDateCritical":"2024-01-01"})", "\"FDateCritical\" must be"},
      {"CreateTask", R"({"FIdUsers":[1,2],"FIdRoles":[3]})",
       "FIdUsers has 2 entries but FIdRoles has 1"},
      {"CreateTask", R"({"FIdUsers":[1]})", "FIdUsers has 1 entries but FIdRoles has 0"},
      {"CreateTask", R"({"FIdUsers":[1,"2"],"FIdRoles":[3,4]})", "\"FIdUsers\" must be an array"},
      {"CreateTask", R"({"FIdUsers":1,"FIdRoles":3})", "\"FIdUsers\" must be an array"},
      {"CreateTask", R"({"FIdUsers":[1],"FIdRoles":[3000000000]})",
       "\"FIdRoles\" must be an array"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.fields);
    try {
      EncodeRequestBytes(c.method, ParseJsonObject(c.fields));
      ADD_FAILURE() << "accepted";
    } catch (const EClientError& e) {
      EXPECT_NE(std::string(e.what()).find(c.messagePart), std::string::npos) << e.what();
    }
  }
}

TEST(RequestEncoderReject, FieldsTextMustBeAJsonObject) {
  for (const char* text : {"", "{", "[1]", "\"FStUID\"", "{\"a\":1} x", "null"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(ParseJsonObject(text), EClientError);
  }
  EXPECT_EQ(ParseJsonObject(R"( {"FStUID" : "abc"} )"), (json::object{{"FStUID", "abc"}}));
}

}  // namespace
}  // namespace brevalon::client
