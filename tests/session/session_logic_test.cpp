// TSessionLogic against the reference application servers: construction from
// the settings file, the password and operating-system sign-in, and the file
// download, driven through the handlers exactly as the session's worker calls
// them. Requests are built and results decoded with the client library.
#include "session/session_logic.h"

#include <gtest/gtest.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "appserver/app_server.h"
#include "appserver/text_util.h"
#include "client/request_encoder.h"
#include "client/result_decoder.h"
#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "pdm/version_cache.h"
#include "os/pam_logon.h"
#include "protocol/base64.h"
#include "protocol/data_type_exception.h"
#include "session/settings.h"

namespace brevalon {
namespace {

namespace fs = std::filesystem;

// A file that is not text and spans many blocks: every byte value, then more.
std::vector<uint8_t> LargeFileContent() {
  std::vector<uint8_t> bytes(1000);
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < bytes.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = i < 256 ? static_cast<uint8_t>(i) : static_cast<uint8_t>(x);
  }
  return bytes;
}

constexpr const char* kShaftText = "Вал приводной ПР-101.001\nМатериал: сталь 40Х\nДлина: 420 мм\n";

class SessionLogicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "session-logic-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    appserver::AppServerOptions o;
    o.db = dir_ / "demo.sqlite";
    o.seed = fs::path(BREVALON_SOURCE_DIR) / "appserver" / "seeds" / "demo.json";
    o.port = 0;
    server_ = std::make_unique<appserver::AppServer>(o);
    LoadExtraSeed();
    server_->Start();
    SetCommonAppDataDir((dir_ / "data").string());
    WriteSettings(
        "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=127.0.0.1\n[ServerConnect]"
        "\nServerPort=" +
        std::to_string(server_->Port()) + "\n");
  }

  void TearDown() override {
    server_.reset();
    SetCommonAppDataDir("");
    SetPamConfigDir("");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Two more databases: "upper" names its version property in other
  // capitals and holds a binary file of many blocks; "bare" has no version
  // property at all.
  void LoadExtraSeed() {
    const std::string seed = R"({"databases": [
      {"name": "upper", "properties": {"iNTERNAL": "9.9"},
       "types": [{"name": "Doc", "document": true}], "states": ["Work"],
       "users": [{"login": "ulla", "password": "ulla1"}],
       "documents": [{"key": "big", "type": "Doc", "product": "Big", "state": "Work",
                      "files": [{"name": "big.bin", "base64": ")" +
                             Base64Encode(LargeFileContent(), false) + R"("}],
                      "grants": {"*": 1}}]},
      {"name": "bare", "properties": {"Description": "no version"},
       "users": [{"login": "bert", "password": "bert1"}]}]})";
    const fs::path path = dir_ / "extra.json";
    std::ofstream(path) << seed;
    ASSERT_TRUE(appserver::LoadSeedOnce(server_->GetStore(), path));
  }

  void WriteSettings(const std::string& text) {
    std::ofstream(GetSettingsDir() + kSettingsFileName, std::ios::trunc) << text;
  }

  static std::string ConnectRequest(const std::string& user, const std::string& password,
                                    const std::string& domain = "",
                                    const std::string& db = "demo") {
    return client::EncodeRequest(
        "ConnectToDB",
        {{"FDBName", db}, {"FUser", user}, {"FDomain", domain}, {"FPassword", password}});
  }

  // Signs in and decodes the answer.
  static boost::json::object SignIn(TSessionLogic& logic, const std::string& user,
                                    const std::string& password, const std::string& domain = "",
                                    const std::string& db = "demo") {
    boost::json::object result;
    logic.ConnectToDB(result, ConnectRequest(user, password, domain, db));
    EXPECT_EQ(result.size(), 1u);
    return client::DecodeResult(result.at("BASE64").as_string(),
                                client::TaskInAttachments::kUnspecified);
  }

  // The workflow server's own id of a login, read from its user list.
  static int32_t WorkflowUserId(TSessionLogic& logic, const std::string& login) {
    TDataSetPtr users = logic.AppWorkFlow().GetUserList();
    for (users->First(); !users->Eof(); users->Next())
      if (users->FieldByName("_NAME").AsString() == login)
        return users->FieldByName("_ID").AsInteger();
    ADD_FAILURE() << "no workflow user " << login;
    return -1;
  }

  // The version id of a product, searched through the whole tree.
  static int32_t VersionOf(TSessionLogic& logic, const std::string& product) {
    std::vector<int32_t> pending{0};
    while (!pending.empty()) {
      const int32_t parent = pending.back();
      pending.pop_back();
      TDataSetPtr rows = logic.AppMainSystem().GetTree2(0, parent, "", 1);
      for (rows->First(); !rows->Eof(); rows->Next()) {
        const int32_t id = rows->FieldByName("_ID_VERSION").AsInteger();
        if (rows->FieldByName("_PRODUCT").AsString() == product) return id;
        pending.push_back(id);
      }
    }
    ADD_FAILURE() << "no version of " << product;
    return 0;
  }

  static std::string FileRequest(int32_t version, const std::string& extension, int32_t blockSize,
                                 int32_t position) {
    return client::EncodeRequest("GetFile", {{"IdAttachment", version},
                                             {"Extension", extension},
                                             {"BlockSize", blockSize},
                                             {"Position", position}});
  }

  static std::string Block(TSessionLogic& logic, int32_t version, int32_t blockSize,
                           int32_t position, const std::string& extension = "txt") {
    boost::json::object result;
    logic.GetFile(result, FileRequest(version, extension, blockSize, position));
    EXPECT_EQ(result.size(), 1u);
    return std::string(result.at("Block").as_string());
  }

  // A PAM configuration directory whose "brevalon24" service runs `auth`
  // and `account` with the given modules.
  void UsePam(const std::string& auth, const std::string& account) {
    const fs::path confDir = dir_ / "pam.d";
    fs::create_directories(confDir);
    std::ofstream(confDir / kPamServiceName, std::ios::trunc)
        << "auth required " << auth << "\naccount required " << account << "\n";
    SetPamConfigDir(confDir.string());
  }

  fs::path dir_;
  std::unique_ptr<appserver::AppServer> server_;
};

// ---- construction ----

TEST_F(SessionLogicTest, ConstructionReadsTheSettingsFileOrFails) {
  const std::string path = GetSettingsDir() + kSettingsFileName;
  {
    TSessionLogic logic;
    EXPECT_EQ(logic.AppMainSystem().ConnectionType(), ctSocket);
    EXPECT_EQ(logic.AppWorkFlow().Port(), server_->Port());
  }
  // No file: the default one is written and names DCOM.
  fs::remove(path);
  {
    TSessionLogic logic;
    EXPECT_TRUE(fs::is_regular_file(path));
    EXPECT_EQ(logic.AppMainSystem().ConnectionType(), ctDCOM);
    EXPECT_EQ(logic.AppWorkFlow().ConnectionType(), ctDCOM);
  }
  WriteSettings("[General]\nConnectionType=dcom\n");
  try {
    TSessionLogic logic;
    ADD_FAILURE() << "constructed with an unknown connection type";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Connection type [dcom] not recognize.");
  }
  // Something that is not a file where the file belongs: neither readable
  // nor replaceable by the default file.
  fs::remove(path);
  fs::create_directory(path);
  try {
    TSessionLogic logic;
    ADD_FAILURE() << "constructed without a settings file";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Ini file [" + path + "] not found.");
  }
}

// ---- password sign-in ----

TEST_F(SessionLogicTest, PasswordSignInAnswersWorkflowUserAndDatabaseVersion) {
  struct Case {
    const char* db;
    const char* login;
    const char* internal;
  };
  const Case cases[] = {
      {"demo", "petrova", "7.1"},
      {"upper", "ulla", "9.9"},  // property named "iNTERNAL"
      {"bare", "bert", ""},      // no such property
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.db);
    TSessionLogic logic;
    EXPECT_FALSE(logic.Connected());
    const boost::json::object answer = SignIn(logic, c.login, std::string(c.login) + "1", "", c.db);
    EXPECT_TRUE(logic.Connected());
    EXPECT_EQ(answer.at("kind").as_int64(), 2);
    EXPECT_EQ(answer.at("WFUserId").as_int64(), WorkflowUserId(logic, c.login));
    EXPECT_EQ(answer.at("MSDatabseVer").as_string(), c.internal);
    EXPECT_EQ(logic.AppMainSystem().Authentific(), atPassword);
    EXPECT_EQ(logic.AppMainSystem().DBName(), c.db);
    EXPECT_EQ(logic.AppWorkFlow().Authentific(), atPassword);
    EXPECT_EQ(logic.AppWorkFlow().AppVersion(), kWorkFlowAppVersion);
    EXPECT_EQ(logic.AppWorkFlow().DBName(), c.db);
  }
}

TEST_F(SessionLogicTest, RefusedSignInAnswersNothingAndKeepsTheState) {
  TSessionLogic logic;
  boost::json::object result;
  // Before any sign-in, and after one: the server's message comes through
  // unchanged and the sign-in flag stays as it was.
  for (const bool signedIn : {false, true}) {
    SCOPED_TRACE(signedIn);
    if (signedIn) SignIn(logic, "petrova", "petrova1");
    try {
      logic.ConnectToDB(result, ConnectRequest("sidorov", "wrong"));
      ADD_FAILURE() << "wrong password accepted";
    } catch (const EApiException& e) {
      EXPECT_STREQ(e.what(), "Неверное имя пользователя или пароль");
    }
    EXPECT_TRUE(result.empty());
    EXPECT_EQ(logic.Connected(), signedIn);
  }
  // Malformed request data.
  EXPECT_THROW(logic.ConnectToDB(result, "not a request"), EDataTypeException);
  EXPECT_THROW(logic.ConnectToDB(result, client::EncodeRequest("GetUserList", {})),
               EDataTypeException);
  EXPECT_TRUE(result.empty());
  EXPECT_TRUE(logic.Connected());
}

TEST_F(SessionLogicTest, SecondSignInReplacesTheFirstAndEmptiesTheVersionCache) {
  TSessionLogic logic;
  SignIn(logic, "petrova", "petrova1");
  const int32_t shaft = VersionOf(logic, "Вал приводной");
  const IPDMVersionPtr cached = logic.VersionStorage().GetVersion(shaft, 0);
  ASSERT_NE(cached, nullptr);
  ASSERT_EQ(logic.VersionStorage().GetVersion(shaft, 0), cached);

  const boost::json::object answer = SignIn(logic, "sidorov", "sidorov1");
  EXPECT_EQ(answer.at("WFUserId").as_int64(), WorkflowUserId(logic, "sidorov"));
  EXPECT_EQ(logic.AppMainSystem().UserName(), "sidorov");
  EXPECT_EQ(logic.AppWorkFlow().UserName(), "sidorov");
  const IPDMVersionPtr fresh = logic.VersionStorage().GetVersion(shaft, 0);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, cached);
}

// ---- operating-system sign-in ----

TEST_F(SessionLogicTest, OperatingSystemSignInPresentsTheIdentity) {
  if (!PamConfigDirSupported()) GTEST_SKIP() << "PAM without pam_start_confdir";
  UsePam("pam_permit.so", "pam_permit.so");
  TSessionLogic logic;
  // The password is whatever PAM accepts; the servers see only the identity.
  const boost::json::object answer = SignIn(logic, "ivanov", "anything", "WORKGROUP");
  EXPECT_TRUE(logic.Connected());
  EXPECT_EQ(answer.at("WFUserId").as_int64(), WorkflowUserId(logic, "ivanov"));
  EXPECT_EQ(answer.at("MSDatabseVer").as_string(), "7.1");
  EXPECT_EQ(logic.AppMainSystem().Authentific(), atWindows);
  EXPECT_EQ(logic.AppMainSystem().Password(), "");
  EXPECT_EQ(logic.AppWorkFlow().Password(), "");
  EXPECT_EQ(logic.AppMainSystem().OSIdentity(), "ivanov");
  EXPECT_EQ(logic.AppWorkFlow().OSIdentity(), "ivanov");
  EXPECT_TRUE(logic.AppMainSystem().IsAdmin());

  // A later password sign-in keeps the identity on every connection.
  SignIn(logic, "petrova", "petrova1");
  EXPECT_EQ(logic.AppMainSystem().OSIdentity(), "ivanov");
  EXPECT_EQ(logic.AppWorkFlow().UserName(), "petrova");

  // PAM accepts petrova, but no database user carries her as identity: the
  // servers check the identity, not the name sent along.
  TSessionLogic other;
  boost::json::object result;
  try {
    other.ConnectToDB(result, ConnectRequest("petrova", "anything", "WORKGROUP"));
    ADD_FAILURE() << "signed in without a matching identity";
  } catch (const EApiException& e) {
    EXPECT_NE(std::string(e.what()).find("petrova"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(result.empty());
  EXPECT_FALSE(other.Connected());
}

TEST_F(SessionLogicTest, OperatingSystemRefusalIsASystemError) {
  if (!PamConfigDirSupported()) GTEST_SKIP() << "PAM without pam_start_confdir";
  struct Case {
    const char* auth;
    const char* account;
  };
  const Case cases[] = {
      {"pam_deny.so", "pam_permit.so"},  // wrong password
      {"pam_permit.so", "pam_deny.so"},  // account not usable
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.auth) + " / " + c.account);
    UsePam(c.auth, c.account);
    TSessionLogic logic;
    boost::json::object result;
    try {
      logic.ConnectToDB(result, ConnectRequest("ivanov", "ivanov1", "WORKGROUP"));
      ADD_FAILURE() << "refused sign-in succeeded";
    } catch (const EOSError& e) {
      EXPECT_NE(e.Code(), PAM_SUCCESS);
      EXPECT_EQ(std::string(e.what()), "System Error.  Code: " + std::to_string(e.Code()) +
                                           ".\r\n" + pam_strerror(nullptr, e.Code()));
    }
    EXPECT_TRUE(result.empty());
    EXPECT_FALSE(logic.Connected());
    EXPECT_EQ(logic.AppMainSystem().OSIdentity(), "");
    // Nothing reached the servers.
    EXPECT_FALSE(logic.AppMainSystem().IsConnectedToServer());
  }
  // The wrong password is PAM_AUTH_ERR.
  UsePam("pam_deny.so", "pam_permit.so");
  try {
    PamLogon("ivanov", "x");
    ADD_FAILURE();
  } catch (const EOSError& e) {
    EXPECT_EQ(e.Code(), PAM_AUTH_ERR);
    EXPECT_EQ(std::string(e.what()), "System Error.  Code: 7.\r\nAuthentication failure");
  }
}

// ---- file download ----

TEST_F(SessionLogicTest, GetFileBeforeSignInAnswers404WhateverTheRequest) {
  TSessionLogic logic;
  for (const std::string& request :
       {std::string("@@ not base64 @@"), std::string(), FileRequest(1, "txt", 10, 0)}) {
    boost::json::object result;
    try {
      logic.GetFile(result, request);
      ADD_FAILURE() << "no failure before sign-in";
    } catch (const EConnectionException& e) {
      EXPECT_STREQ(e.what(), kNotConnectedMessage);
    }
    EXPECT_TRUE(result.empty());
  }
}

TEST_F(SessionLogicTest, GetFileAnswersTheBlockInResultFraming) {
  TSessionLogic logic;
  SignIn(logic, "ivanov", "ivanov1");
  const int32_t shaft = VersionOf(logic, "Вал приводной");
  const std::string content = kShaftText;
  ASSERT_GT(content.size(), 70u);

  struct Case {
    int32_t size;
    int32_t position;
    std::string text;  // the expected "Block"
  };
  const std::string b57 = Base64Encode(content.substr(0, 57), false);
  const std::string b58 = Base64Encode(content.substr(0, 58), false);
  ASSERT_EQ(b57.size(), 76u);
  ASSERT_EQ(b58.size(), 80u);
  const Case cases[] = {
      {0, 0, ""},
      {57, 0, b57 + "\r\n"},
      {58, 0, b58.substr(0, 76) + "\r\n" + b58.substr(76)},
      {3, 0, Base64Encode(content.substr(0, 3), false)},
      {1000, 60, Base64Encode(content.substr(60), false)},  // short last block
      {10, static_cast<int32_t>(content.size()), ""},       // past the end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + "@" + std::to_string(c.position));
    EXPECT_EQ(Block(logic, shaft, c.size, c.position), c.text);
  }
}

TEST_F(SessionLogicTest, GetFileInBlocksRebuildsTheStoredFile) {
  struct Case {
    const char* db;
    const char* login;
    const char* product;
    std::vector<uint8_t> content;
  };
  const std::string shaftText = kShaftText;
  const Case cases[] = {
      {"demo", "ivanov", "Вал приводной", std::vector<uint8_t>(shaftText.begin(), shaftText.end())},
      {"upper", "ulla", "Big", LargeFileContent()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.db);
    TSessionLogic logic;
    SignIn(logic, c.login, std::string(c.login) + "1", "", c.db);
    const int32_t version = VersionOf(logic, c.product);
    // What the server says about the version's first file.
    TDataSetPtr files = logic.AppMainSystem().GetInfoAboutVersion(0, "", "", "", version, 7);
    ASSERT_FALSE(files->IsEmpty());
    files->First();
    const int64_t size = files->FieldByName("_SIZE").AsInt64();
    const int64_t crc = files->FieldByName("_CRC").AsInt64();

    constexpr int32_t kBlock = 97;
    std::vector<uint8_t> received;
    int blocks = 0;
    while (static_cast<int64_t>(received.size()) < size && blocks < 100) {
      const std::string text = Block(logic, version, kBlock, static_cast<int32_t>(received.size()));
      const std::vector<uint8_t> bytes = client::DecodeBase64Strict(text);
      ASSERT_FALSE(bytes.empty());
      received.insert(received.end(), bytes.begin(), bytes.end());
      ++blocks;
    }
    EXPECT_EQ(static_cast<int64_t>(received.size()), size);
    EXPECT_EQ(received, c.content);
    EXPECT_EQ(static_cast<int64_t>(Crc32(received)), crc);
    EXPECT_EQ(blocks, static_cast<int>((size + kBlock - 1) / kBlock));
  }
}

TEST_F(SessionLogicTest, GetFileNamesTheFileWithTheTrimmedExtension) {
  TSessionLogic logic;
  SignIn(logic, "ivanov", "ivanov1");
  const int32_t shaft = VersionOf(logic, "Вал приводной");
  EXPECT_EQ(Block(logic, shaft, 4, 0, " \t txt\r\n\x01"),
            Base64Encode(std::string(kShaftText).substr(0, 4), false));

  // The file was made readable in this session under "Файл.txt" and no other name.
  TDataSetPtr files = logic.AppMainSystem().GetInfoAboutVersion(0, "", "", "", shaft, 7);
  files->First();
  const std::string stored = files->FieldByName("_LOCALNAME").AsString();
  Variant size, read, crc;
  const Variant block =
      logic.AppMainSystem().GetFileData("Файл.txt", stored, 0, 4, 1, size, read, crc);
  EXPECT_EQ(block.AsBytes().size(), 4u);
  EXPECT_THROW(logic.AppMainSystem().GetFileData("Файл. \t txt", stored, 0, 4, 1, size, read, crc),
               EApiException);
}

TEST_F(SessionLogicTest, GetFileFailuresAnswerNothingAndKeepTheSignIn) {
  TSessionLogic logic;
  SignIn(logic, "ivanov", "ivanov1");
  const int32_t reducer = VersionOf(logic, "Редуктор");  // a version without files
  boost::json::object result;

  try {
    logic.GetFile(result, FileRequest(987654, "txt", 10, 0));
    ADD_FAILURE() << "unknown version answered";
  } catch (const EApiException&) {
    ADD_FAILURE() << "an unknown version is the gateway's own failure";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Version with id=[987654] not found");
  }
  EXPECT_THROW(logic.GetFile(result, FileRequest(reducer, "txt", 10, 0)), EApiException);
  EXPECT_THROW(logic.GetFile(result, FileRequest(VersionOf(logic, "Вал приводной"), "txt", -1, 0)),
               EApiException);
  EXPECT_THROW(logic.GetFile(result, "AAAA"), EDataTypeException);
  EXPECT_TRUE(result.empty());
  EXPECT_TRUE(logic.Connected());
}

}  // namespace
}  // namespace brevalon
