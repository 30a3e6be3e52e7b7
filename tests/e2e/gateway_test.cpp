// The whole gateway over real sockets: TMobileServer on loopback ports 0 with
// the real session logic, signing in to the reference application servers
// started in-process on port 0, driven by the client library's REST and TCP
// transports as a mobile client drives it, and by the brevalon-cli program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli_program.h"
#include "appserver/app_server.h"
#include "appserver/appserver_test_support.h"
#include "appserver/text_util.h"
#include "client/cli.h"
#include "client/get_file.h"
#include "client/remote_calls.h"
#include "client/request_encoder.h"
#include "client/rest_transport.h"
#include "client/result_decoder.h"
#include "client/tcp_transport.h"
#include "e2e/holding_relay.h"
#include "protocol/base64.h"
#include "pdm/app_main_system.h"
#include "data/dataset.h"
#include "os/pam_logon.h"
#include "remoting/test_certificate.h"
#include "server/mobile_server.h"
#include "session/session_logic.h"
#include "session/settings.h"

namespace brevalon {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using client::MethodReply;

constexpr const char* kShaftText = "Вал приводной ПР-101.001\nМатериал: сталь 40Х\nДлина: 420 мм\n";
constexpr const char* kNotSignedIn = "Соединение не установленно";
constexpr const char* kBadData = "Неверные данные";
const json::value kFailed = json::object{{"e", "e"}};

// What the application server says about the shaft drawing's first file.
struct ShaftFile {
  int32_t Version = 0;
  int64_t Size = 0;
  uint32_t Crc = 0;
};

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    appserver::AppServerOptions o;
    o.db = dir.Path() / "demo.sqlite";
    o.seed = appserver::testing::DemoSeedPath();
    o.port = 0;
    backEnd = std::make_unique<appserver::AppServer>(o);
    backEnd->Start();
    SetCommonAppDataDir((dir.Path() / "data").string());
    WriteSettings(backEnd->Port());

    RemoteServerOptions options;
    options.Listen = "127.0.0.1";
    options.HttpPort = 0;
    options.TcpPort = 0;
    options.SessionTimeout = std::chrono::milliseconds(kSessionTimeoutMs);
    const auto start = std::chrono::steady_clock::now();
    options.SessionClock = [this, start] {
      return start + std::chrono::milliseconds(clockOffsetMs.load());
    };
    server = std::make_unique<TMobileServer>(
        options, ServerMethodsOptions{DefaultSessionLogicFactory(), log.Factory()});
    server->Start();
  }

  void TearDown() override {
    server.reset();
    relay.reset();
    backEnd.reset();
    SetCommonAppDataDir("");
    SetPamConfigDir("");
  }

  // Sessions read the settings file when they start.
  static void WriteSettings(uint16_t port) {
    std::ofstream(GetSettingsDir() + kSettingsFileName, std::ios::trunc)
        << "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=127.0.0.1\n"
        << "[ServerConnect]\nServerPort=" << port << "\n";
  }

  std::unique_ptr<client::RestTransport> Rest(std::size_t postThreshold = 1500,
                                              const std::string& sessionFile = "") {
    client::RestOptions o;
    o.Host = "127.0.0.1";
    o.Port = server->HttpPort();
    o.Timeout = std::chrono::seconds(30);
    o.PostThreshold = postThreshold;
    o.SessionFile = sessionFile;
    return std::make_unique<client::RestTransport>(o);
  }
  std::unique_ptr<client::TcpTransport> Tcp() {
    client::TcpOptions o;
    o.Host = "127.0.0.1";
    o.Port = server->TcpPort();
    o.Timeout = std::chrono::seconds(30);
    return std::make_unique<client::TcpTransport>(o);
  }

  static client::SignInAnswer SignIn(client::ITransport& t) {
    return client::SignIn(t, "demo", "ivanov", "ivanov1", "");
  }

  static MethodReply FileBlock(client::ITransport& t, int32_t version, int32_t size, int32_t position) {
    return client::CallRequestMethod(t, "GetFile",
                                     {{"IdAttachment", version},
                                      {"Extension", "txt"},
                                      {"BlockSize", size},
                                      {"Position", position}});
  }

  // Asked of the application servers directly, through a session logic of
  // its own.
  static ShaftFile Shaft() {
    TSessionLogic logic;
    json::object ignored;
    logic.ConnectToDB(ignored, client::EncodeRequest("ConnectToDB", {{"FDBName", "demo"},
                                                                     {"FUser", "ivanov"},
                                                                     {"FPassword", "ivanov1"}}));
    ShaftFile shaft;
    std::vector<int32_t> pending{0};
    while (!pending.empty() && shaft.Version == 0) {
      const int32_t parent = pending.back();
      pending.pop_back();
      TDataSetPtr rows = logic.AppMainSystem().GetTree2(0, parent, "", 1);
      for (rows->First(); !rows->Eof(); rows->Next()) {
        const int32_t id = rows->FieldByName("_ID_VERSION").AsInteger();
        if (rows->FieldByName("_PRODUCT").AsString() == "Вал приводной") shaft.Version = id;
        pending.push_back(id);
      }
    }
    TDataSetPtr files = logic.AppMainSystem().GetInfoAboutVersion(0, "", "", "", shaft.Version, 7);
    files->First();
    shaft.Size = files->FieldByName("_SIZE").AsInt64();
    shaft.Crc = static_cast<uint32_t>(files->FieldByName("_CRC").AsInt64());
    return shaft;
  }

  static constexpr int64_t kSessionTimeoutMs = 60000;

  appserver::testing::TempDir dir;
  std::unique_ptr<appserver::AppServer> backEnd;
  std::unique_ptr<testing::HoldingRelay> relay;
  EventLogCapture log;
  std::atomic<int64_t> clockOffsetMs{0};
  std::unique_ptr<TMobileServer> server;
};

TEST_F(GatewayTest, PasswordSignInHoldsForTheRestSession) {
  auto rest = Rest();
  const client::SignInAnswer answer = SignIn(*rest);
  EXPECT_GT(answer.WFUserId, 0);
  EXPECT_EQ(answer.MSDatabseVer, "7.1");
  const std::string session = rest->SessionId();
  EXPECT_FALSE(session.empty());

  // The id went back with the next call: the same, signed-in session.
  const MethodReply block = FileBlock(*rest, Shaft().Version, 4, 0);
  EXPECT_EQ(block.ReturnCode, 0) << block.Message;
  EXPECT_EQ(rest->SessionId(), session);
  EXPECT_TRUE(log.Entries().empty());

  // A wrong password fails the call, not the session.
  try {
    client::SignIn(*rest, "demo", "ivanov", "wrong", "");
    ADD_FAILURE() << "signed in with a wrong password";
  } catch (const client::EMethodFailed& e) {
    EXPECT_EQ(e.Code(), 1);
    EXPECT_EQ(log.Entries(), std::vector<std::string>{e.GatewayMessage()});
  }
}

TEST_F(GatewayTest, RequestMethodsAnswer404BeforeSignIn) {
  auto rest = Rest();
  // Not even Base64: the sign-in check comes before the request is read.
  const struct {
    const char* method;
    json::array expected;
  } cases[] = {
      {"GetFile", {404, kNotSignedIn, kFailed}},
      {"GetTaskList", {404, kNotSignedIn, kFailed}},
      {"DeleteTask", {404, kNotSignedIn}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    EXPECT_EQ(rest->Call(c.method, {"%%% not base64 %%%"}), c.expected);
  }
  EXPECT_EQ(log.Entries(), std::vector<std::string>(std::size(cases), kNotSignedIn));
}

TEST_F(GatewayTest, MalformedDataAnswers406AndKeepsTheSignIn) {
  auto rest = Rest();
  SignIn(*rest);
  const struct {
    const char* method;
    const char* text;
    json::array expected;
  } cases[] = {
      {"GetFile", "AAAA", {406, kBadData, kFailed}},
      {"GetFile", "not base64 at all", {406, kBadData, kFailed}},
      // A GetUserList record where a GetFile record belongs.
      {"GetFile", "AAAAAAMAAAADAAAAYWJjAAAAAA==", {406, kBadData, kFailed}},
      {"DeleteTask", "AAAA", {406, kBadData}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.text);
    EXPECT_EQ(rest->Call(c.method, {c.text}), c.expected);
  }
  EXPECT_EQ(log.Entries(), std::vector<std::string>(std::size(cases), kBadData));
  EXPECT_EQ(FileBlock(*rest, Shaft().Version, 4, 0).ReturnCode, 0);
}

TEST_F(GatewayTest, AFailingMethodAnswersItsMessageWithEAndLogsIt) {
  auto rest = Rest();
  SignIn(*rest);
  const MethodReply reply = FileBlock(*rest, 987654, 10, 0);  // no such version
  EXPECT_EQ(reply.ReturnCode, 1);
  EXPECT_FALSE(reply.Message.empty());
  EXPECT_EQ(reply.Result, kFailed);
  EXPECT_EQ(log.Entries(), std::vector<std::string>{reply.Message});
}

TEST_F(GatewayTest, GetStreamAnswersTheTestStreamOnBothTransports) {
  auto rest = Rest();
  auto tcp = Tcp();
  EXPECT_EQ(client::GetStreamBytes(*rest), "eitupweirtpwietupwe");
  EXPECT_EQ(client::GetStreamBytes(*tcp), "eitupweirtpwietupwe");
  EXPECT_TRUE(log.Entries().empty());
}

TEST_F(GatewayTest, CloseSessionEndsTheSignInUntilConnectToDBAgain) {
  auto rest = Rest();
  SignIn(*rest);
  const int32_t version = Shaft().Version;
  const std::string session = rest->SessionId();
  EXPECT_EQ(rest->Call("CloseSession", {}), json::array{});
  // The session goes on with a new worker, which is not signed in.
  const MethodReply after = FileBlock(*rest, version, 4, 0);
  EXPECT_EQ(after.ReturnCode, 404);
  EXPECT_EQ(after.Message, kNotSignedIn);
  EXPECT_EQ(rest->SessionId(), session);
  SignIn(*rest);
  EXPECT_EQ(FileBlock(*rest, version, 4, 0).ReturnCode, 0);

  // The framework's own CloseSession ends the session itself: the next call
  // opens a new one, not signed in either.
  rest->EndSession();
  EXPECT_TRUE(rest->SessionId().empty());
  EXPECT_EQ(FileBlock(*rest, version, 4, 0).ReturnCode, 404);
  EXPECT_NE(rest->SessionId(), session);
}

TEST_F(GatewayTest, AnExpiredHttpSessionAnswers403AndTheClientStartsAnew) {
  const std::string sessionFile = (dir.Path() / "session").string();
  auto rest = Rest(1500, sessionFile);
  SignIn(*rest);
  const std::string session = rest->SessionId();
  EXPECT_EQ(client::SessionFile(sessionFile).Load(), session);
  struct stat st {};
  ASSERT_EQ(::stat(sessionFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A second client continues the session through the file.
  EXPECT_EQ(FileBlock(*Rest(1500, sessionFile), Shaft().Version, 4, 0).ReturnCode, 0);

  clockOffsetMs += kSessionTimeoutMs + 1;
  EXPECT_THROW(FileBlock(*rest, 1, 4, 0), client::ESessionExpired);
  EXPECT_TRUE(rest->SessionId().empty());
  EXPECT_EQ(client::SessionFile(sessionFile).Load(), "");

  const MethodReply fresh = FileBlock(*rest, 1, 4, 0);
  EXPECT_EQ(fresh.ReturnCode, 404);
  EXPECT_FALSE(rest->SessionId().empty());
  EXPECT_NE(rest->SessionId(), session);
  EXPECT_EQ(client::SessionFile(sessionFile).Load(), rest->SessionId());
}

TEST_F(GatewayTest, TwoCallsOfOneSessionInFlightExecuteInOrder) {
  // The session's back-end connections go through a relay that can hold
  // them, so that the first call is known to be executing.
  const int32_t version = Shaft().Version;
  relay = std::make_unique<testing::HoldingRelay>(backEnd->Port());
  WriteSettings(relay->Port());
  auto first = Rest();
  EXPECT_EQ(client::GetStreamBytes(*first).size(), 19u);  // opens the session
  // A second connection in the same session.
  const std::string sessionFile = (dir.Path() / "shared").string();
  client::SessionFile(sessionFile).Save(first->SessionId());
  auto second = Rest(1500, sessionFile);

  std::future<client::SignInAnswer> signIn;
  std::future<MethodReply> read;
  // Destroyed before the futures, which wait for their calls.
  struct ReleaseOnExit {
    testing::HoldingRelay& r;
    ~ReleaseOnExit() { r.Release(); }
  } releaseOnExit{*relay};
  relay->Hold();
  signIn = std::async(std::launch::async, [&] { return SignIn(*first); });
  // ConnectToDB is at the back end, the worker busy.
  ASSERT_TRUE(relay->WaitUntilHeld(std::chrono::seconds(30)));
  read = std::async(std::launch::async, [&] { return FileBlock(*second, version, 10, 0); });
  // The second call waits for the first: it is not answered while the
  // first cannot finish.
  EXPECT_NE(read.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
  relay->Release();
  EXPECT_EQ(signIn.get().MSDatabseVer, "7.1");
  // Executed after the sign-in, so signed in.
  const MethodReply block = read.get();
  EXPECT_EQ(block.ReturnCode, 0) << block.Message;
  EXPECT_EQ(second->SessionId(), first->SessionId());
}

TEST_F(GatewayTest, GetFileBlocksUseTheResultFraming) {
  auto rest = Rest();
  SignIn(*rest);
  const ShaftFile shaft = Shaft();
  const std::string content = kShaftText;
  ASSERT_GE(content.size(), 58u);
  const std::string_view bytes = content;
  const struct {
    int32_t size;
    std::string text;  // the block's Base64 with CR LF after every 76 characters
  } cases[] = {
      {0, ""},
      {57, Base64Encode(bytes.substr(0, 57), false) + "\r\n"},
      {58, Base64Encode(bytes.substr(0, 57), false) + "\r\n" +
               Base64Encode(bytes.substr(0, 58), false).substr(76)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const MethodReply reply = FileBlock(*rest, shaft.Version, c.size, 0);
    ASSERT_EQ(reply.ReturnCode, 0) << reply.Message;
    EXPECT_EQ(reply.Result, (json::object{{"Block", c.text}}));
  }
  EXPECT_EQ(cases[1].text.size(), 78u);
  EXPECT_EQ(cases[2].text.size(), 82u);
}

TEST_F(GatewayTest, AFileReadInBlocksIsTheStoredFile) {
  const ShaftFile shaft = Shaft();
  ASSERT_EQ(shaft.Size, static_cast<int64_t>(std::string(kShaftText).size()));
  const std::string content = kShaftText;
  EXPECT_EQ(shaft.Crc, Crc32(std::vector<uint8_t>(content.begin(), content.end())));
  auto rest = Rest();
  SignIn(*rest);
  const struct {
    int32_t block;
  } cases[] = {{1}, {16}, {94}, {65536}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.block);
    const fs::path out = dir.Path() / ("shaft-" + std::to_string(c.block) + ".txt");
    int calls = 0;
    client::DownloadFile(*rest, {shaft.Version, "txt", shaft.Size, shaft.Crc, c.block, out},
                         [&calls](int64_t, int64_t) { ++calls; });
    std::ifstream in(out, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
    EXPECT_EQ(calls - 1, (shaft.Size + c.block - 1) / c.block) << "one GetFile per block";
  }
  // Size or checksum that the file does not have: nothing is written.
  const fs::path out = dir.Path() / "wrong.txt";
  EXPECT_THROW(client::DownloadFile(*rest, {shaft.Version, "txt", shaft.Size, shaft.Crc ^ 1, 16, out}),
               client::EFileMismatch);
  EXPECT_THROW(client::DownloadFile(*rest, {shaft.Version, "txt", shaft.Size + 1, shaft.Crc, 16, out}),
               client::EFileMismatch);
  EXPECT_FALSE(fs::exists(out));
  for (const fs::directory_entry& e : fs::directory_iterator(dir.Path())) {
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
  }
}

TEST_F(GatewayTest, TcpTransportCarriesOneSessionPerConnection) {
  auto tcp = Tcp();
  SignIn(*tcp);
  const int32_t version = Shaft().Version;
  EXPECT_EQ(FileBlock(*tcp, version, 57, 0).ReturnCode, 0);
  // Another connection is another session, not signed in.
  EXPECT_EQ(FileBlock(*Tcp(), version, 4, 0).ReturnCode, 404);
  // The framework's refusals come as {"error":...}; the session survives them.
  EXPECT_THROW(tcp->Call("NoSuchMethod", {}), client::ERemoteError);
  EXPECT_EQ(FileBlock(*tcp, version, 4, 0).ReturnCode, 0);
  tcp->Close();
  EXPECT_THROW(tcp->Call("GetStream", {}), client::ETransportError);
}

TEST_F(GatewayTest, RestClientCallsAsTheConnectorsDo) {
  const int32_t version = Shaft().Version;
  // A request text holding every character that needs escaping in a path:
  // the header word F8 00 3F 00 starts it with "+" and puts "/" fourth, and
  // a 28-byte record ends with "==" (the gateway trims the blank).
  const std::string text = client::EncodeRequest("GetFile", {{"header", 0x3F00F8},
                                                             {"IdAttachment", version},
                                                             {"Extension", "txt "},
                                                             {"BlockSize", 10},
                                                             {"Position", 0}});
  ASSERT_EQ(text.substr(0, 4), "+AA/");
  ASSERT_EQ(text.substr(text.size() - 2), "==");

  const client::RestCall get = client::BuildRestCall("GetFile", {text}, 1500);
  EXPECT_FALSE(get.Post);
  EXPECT_EQ(get.Target, "/datasnap/rest/TServerMethods/GetFile/" + client::PercentEncodeSegment(text));
  EXPECT_EQ(get.Target.find_first_of("+="), std::string::npos);
  const client::RestCall post = client::BuildRestCall("GetFile", {text}, 0);
  EXPECT_TRUE(post.Post);
  EXPECT_EQ(post.Target, "/datasnap/rest/TServerMethods/%22GetFile%22");
  EXPECT_EQ(json::parse(post.Body), (json::object{{"_parameters", json::array{text}}}));

  const json::array expected{0, "",
                             {{"Block", Base64Encode(std::string_view(kShaftText, 10), true)}}};
  for (const std::size_t threshold : {std::size_t{1500}, std::size_t{0}}) {
    SCOPED_TRACE(threshold ? "GET" : "POST");
    auto rest = Rest(threshold);
    SignIn(*rest);
    EXPECT_EQ(rest->Call("GetFile", {text}), expected);
  }
}

TEST_F(GatewayTest, OperatingSystemSignInThroughPam) {
  if (!PamConfigDirSupported()) GTEST_SKIP() << "PAM without pam_start_confdir";
  const fs::path confDir = dir.Path() / "pam.d";
  fs::create_directories(confDir);
  std::ofstream(confDir / kPamServiceName) << "auth required pam_permit.so\naccount required pam_permit.so\n";
  SetPamConfigDir(confDir.string());
  auto rest = Rest();
  const client::SignInAnswer answer = client::SignIn(*rest, "demo", "ivanov", "any", "LOCAL");
  EXPECT_EQ(answer.WFUserId, SignIn(*Rest()).WFUserId) << "the same user as by password";
  EXPECT_EQ(FileBlock(*rest, Shaft().Version, 4, 0).ReturnCode, 0);
}

// ---- the brevalon-cli program against the gateway

using testing::ProgramRun;
using testing::RunProgram;

TEST_F(GatewayTest, CliSignsInAndDownloadsAFile) {
  const ShaftFile shaft = Shaft();
  const fs::path session = dir.Path() / "cli-session";
  const std::string gateway = "--url http://127.0.0.1:" + std::to_string(server->HttpPort()) +
                              " --session " + session.string();
  const ProgramRun connect =
      RunProgram(dir.Path(), gateway + " connect --db demo --user ivanov --password ivanov1");
  ASSERT_EQ(connect.code, 0) << connect.err;
  EXPECT_EQ(json::parse(connect.out).at("MSDatabseVer"), "7.1");
  EXPECT_EQ(connect.err, "");

  const fs::path file = dir.Path() / "downloaded.txt";
  const std::string getFile = gateway + " get-file --attachment " + std::to_string(shaft.Version) +
                              " --ext txt --size " + std::to_string(shaft.Size) + " --block 16 -o " +
                              file.string() + " --crc ";
  const ProgramRun ok = RunProgram(dir.Path(), getFile + std::to_string(shaft.Crc));
  ASSERT_EQ(ok.code, 0) << ok.err;
  EXPECT_EQ(ok.err, "") << "no progress bar when stderr is not a terminal";
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kShaftText);

  fs::remove(file);
  const ProgramRun wrong = RunProgram(dir.Path(), getFile + std::to_string(shaft.Crc ^ 1));
  EXPECT_EQ(wrong.code, 6) << wrong.err;
  EXPECT_FALSE(fs::exists(file));

  // A sign-in over an expired session simply takes the new one ...
  clockOffsetMs += kSessionTimeoutMs + 1;
  EXPECT_EQ(RunProgram(dir.Path(), gateway + " connect --db demo --user ivanov --password ivanov1").code, 0);
  // ... any other command reports the expiry and forgets the id.
  clockOffsetMs += kSessionTimeoutMs + 1;
  const ProgramRun expired = RunProgram(dir.Path(), gateway + " stream");
  EXPECT_EQ(expired.code, 3);
  EXPECT_NE(expired.err.find("session expired"), std::string::npos) << expired.err;
  EXPECT_EQ(client::SessionFile(session.string()).Load(), "");
}

// HTTPS end to end: the reference client over TLS signs in and calls, and
// refuses a gateway whose certificate it cannot trust, saying why.
TEST_F(GatewayTest, CliTalksHttpsAndRefusesACertificateItCannotTrust) {
  const testing::TestCertificate cert = testing::MakeTestCertificate(dir.Path());
  const testing::TestCertificate other = testing::MakeTestCertificate(dir.Path(), "other");
  if (!cert || !other) GTEST_SKIP() << "openssl cannot make a certificate here";
  RemoteServerOptions options;
  options.Listen = "127.0.0.1";
  options.HttpPort = 0;
  options.TcpPort = 0;
  options.HttpsPort = 0;
  options.TlsCertificateFile = cert.Cert.string();
  options.TlsKeyFile = cert.Key.string();
  TMobileServer secure(options, ServerMethodsOptions{DefaultSessionLogicFactory(), log.Factory()});
  secure.Start();
  const std::string url = "--url=https://127.0.0.1:" + std::to_string(secure.Framework().HttpsPort());
  const auto cli = [](const std::vector<std::string>& args) {
    std::istringstream in;
    std::ostringstream out, err;
    const int code = client::RunCli(args, {in, out, err});
    return ProgramRun{code, out.str(), err.str()};
  };
  const ProgramRun signIn = cli({url, "--cacert", cert.Cert.string(), "call", "--compact", "ConnectToDB",
                                 R"({"FDBName":"demo","FUser":"ivanov","FPassword":"ivanov1"})"});
  EXPECT_EQ(signIn.code, 0) << signIn.err;
  EXPECT_EQ(json::parse(signIn.out).at("result").at("MSDatabseVer"), "7.1");

  for (const auto& [ca, why] : {std::pair{std::string(), std::string("self-signed certificate")},
                                std::pair{other.Cert.string(), std::string("self-signed certificate")}}) {
    std::vector<std::string> args{url, "stream"};
    if (!ca.empty()) args.insert(args.begin() + 1, {"--cacert", ca});
    const ProgramRun refused = cli(args);
    EXPECT_NE(refused.code, 0);
    EXPECT_NE(refused.err.find("TLS handshake with 127.0.0.1:"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("certificate refused: " + why), std::string::npos) << refused.err;
  }
  const ProgramRun missing = cli({url, "--cacert", (dir.Path() / "none.pem").string(), "stream"});
  EXPECT_NE(missing.code, 0);
  EXPECT_NE(missing.err.find("cannot use the certificate authorities"), std::string::npos) << missing.err;
}

TEST_F(GatewayTest, CliCallPrintsReturnCodeMessageAndResult) {
  const auto cli = [](const std::vector<std::string>& args) {
    std::istringstream in;
    std::ostringstream out, err;
    const int code = client::RunCli(args, {in, out, err});
    return ProgramRun{code, out.str(), err.str()};
  };
  const std::string tcp = "--tcp=127.0.0.1:" + std::to_string(server->TcpPort());
  const std::string version = std::to_string(Shaft().Version);

  // Over TCP the sign-in has to share the command's connection.
  const ProgramRun block = cli({tcp, "call", "--compact", "GetFile",
                                R"({"IdAttachment":)" + version + R"(,"Extension":"txt","BlockSize":3})",
                                "--db", "demo", "--user", "ivanov", "--password", "ivanov1"});
  EXPECT_EQ(block.code, 0) << block.err;
  EXPECT_EQ(block.out, R"({"returnCode":0,"message":"","result":{"Block":"0JLQ"}})" "\n");

  const ProgramRun signIn = cli({tcp, "call", "ConnectToDB",
                                 R"({"FDBName":"demo","FUser":"ivanov","FPassword":"ivanov1"})"});
  EXPECT_EQ(signIn.code, 0) << signIn.err;
  const json::value shown = json::parse(signIn.out);
  EXPECT_EQ(shown.at("result").at("kind"), 2) << "the result record decoded";
  EXPECT_EQ(shown.at("result").at("MSDatabseVer"), "7.1");

  const ProgramRun refused = cli({tcp, "call", "--compact", "GetFile", "{}"});
  EXPECT_EQ(refused.code, 5);
  EXPECT_EQ(refused.out, R"({"returnCode":404,"message":"Соединение не установленно","result":{"e":"e"}})" "\n");
  EXPECT_EQ(refused.err, "brevalon-cli: GetFile answered 404: Соединение не установленно\n");

  const ProgramRun raw = cli({tcp, "call", "--compact", "GetStream"});
  EXPECT_EQ(raw.code, 0) << raw.err;
  EXPECT_EQ(json::parse(raw.out).at("result").at(1), true);
  const ProgramRun unknown = cli({tcp, "call", "NoSuchMethod", "[]"});
  EXPECT_EQ(unknown.code, 4);
  EXPECT_NE(unknown.err.find("refused the call"), std::string::npos) << unknown.err;
}

}  // namespace
}  // namespace brevalon
