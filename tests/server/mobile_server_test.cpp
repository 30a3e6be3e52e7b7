// The server host over real HTTP on loopback: TMobileServer on port 0 with the
// real session logic, signing in to the reference application servers
// started in-process on port 0.
#include "server/mobile_server.h"

#include <gtest/gtest.h>

#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <fstream>
#include <istream>

#include "appserver/app_server.h"
#include "appserver/appserver_test_support.h"
#include "client/request_encoder.h"
#include "http_test_client.h"
#include "session/settings.h"

namespace brevalon {
namespace {

namespace json = boost::json;
using testing::HttpGet;
using testing::PathSegment;

class MobileServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    appserver::AppServerOptions o;
    o.db = dir.Path() / "demo.sqlite";
    o.seed = appserver::testing::DemoSeedPath();
    o.port = 0;
    backEnd = std::make_unique<appserver::AppServer>(o);
    backEnd->Start();
    SetCommonAppDataDir((dir.Path() / "data").string());
    std::ofstream ini(GetSettingsDir() + kSettingsFileName, std::ios::trunc);
    ini << "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=127.0.0.1\n"
        << "[ServerConnect]\nServerPort=" << backEnd->Port() << "\n";
    ini.close();

    RemoteServerOptions options;
    options.Listen = "127.0.0.1";
    options.HttpPort = 0;
    options.TcpPort = 0;
    server = std::make_unique<TMobileServer>(
        options, ServerMethodsOptions{DefaultSessionLogicFactory(), log.Factory()});
    server->Start();
  }
  void TearDown() override {
    server.reset();
    backEnd.reset();
    SetCommonAppDataDir("");
  }

  testing::HttpReply Get(const std::string& method, const std::string& text = "",
                         const std::string& session = "") {
    std::string target = "/datasnap/rest/TServerMethods/" + method + "/";
    if (!text.empty()) target += PathSegment(text);
    return HttpGet(server->HttpPort(), target, session);
  }
  static std::string SignIn(const std::string& password) {
    return client::EncodeRequest("ConnectToDB",
                                 {{"FDBName", "demo"}, {"FUser", "ivanov"}, {"FPassword", password}});
  }

  appserver::testing::TempDir dir;
  std::unique_ptr<appserver::AppServer> backEnd;
  EventLogCapture log;
  std::unique_ptr<TMobileServer> server;
};

TEST_F(MobileServerTest, GetStreamAnswersTheTestStream) {
  auto reply = Get("GetStream");
  ASSERT_EQ(reply.Status, 200) << reply.Body;
  json::array bytes;
  for (unsigned char c : std::string("eitupweirtpwietupwe")) bytes.emplace_back(static_cast<int>(c));
  EXPECT_EQ(reply.Json(), (json::object{{"result", json::array{bytes, true}}}));
}

TEST_F(MobileServerTest, ASessionIsNotSignedInUntilConnectToDB) {
  // Not even Base64: the sign-in guard comes first.
  auto reply = Get("GetTaskList", "%%% not base64 %%%");
  ASSERT_EQ(reply.Status, 200) << reply.Body;
  EXPECT_EQ(reply.Json(),
            (json::object{{"result", json::array{404, "Соединение не установленно", {{"e", "e"}}}}}));
  EXPECT_EQ(reply.Body.find("Соединение"), std::string::npos) << "non-ASCII travels escaped";
  EXPECT_EQ(log.Entries(), std::vector<std::string>{"Соединение не установленно"});
}

TEST_F(MobileServerTest, SignInHoldsForTheSessionAndMalformedDataAnswers406) {
  auto failed = Get("ConnectToDB", SignIn("wrong password"));
  ASSERT_EQ(failed.Status, 200) << failed.Body;
  json::array result = failed.Json().at("result").as_array();
  ASSERT_EQ(result.size(), 3u);
  EXPECT_EQ(result[0], 1);
  EXPECT_FALSE(result[1].as_string().empty());
  EXPECT_EQ(result[2], (json::object{{"e", "e"}}));
  ASSERT_EQ(log.Entries().size(), 1u);
  EXPECT_EQ(log.Entries()[0], std::string(result[1].as_string()));
  EXPECT_EQ(log.Entries()[0].find("wrong password"), std::string::npos) << "no password in the log";

  auto signedIn = Get("ConnectToDB", SignIn("ivanov1"), failed.Session);
  ASSERT_EQ(signedIn.Status, 200) << signedIn.Body;
  result = signedIn.Json().at("result").as_array();
  EXPECT_EQ(result[0], 0);
  EXPECT_EQ(result[1], "");
  EXPECT_TRUE(result[2].as_object().contains("BASE64"));

  // The same session, so the same worker with its sign-in: 406, not 404.
  auto malformed = Get("GetTaskList", "AAAA", signedIn.Session);
  ASSERT_EQ(malformed.Status, 200) << malformed.Body;
  EXPECT_EQ(malformed.Json(), (json::object{{"result", json::array{406, "Неверные данные", {{"e", "e"}}}}}));
  auto noResult = Get("DeleteTask", "AAAA", signedIn.Session);
  EXPECT_EQ(noResult.Json(), (json::object{{"result", json::array{406, "Неверные данные"}}}));
  EXPECT_EQ(log.Entries().size(), 3u);

  // Another session has its own worker and is not signed in.
  auto other = Get("GetUserList", "AAAA");
  EXPECT_NE(other.Session, signedIn.Session);
  EXPECT_EQ(other.Json().at("result").as_array()[0], 404);
}

// One TCP connection is one session with one worker, kept across its calls.
TEST_F(MobileServerTest, TcpConnectionIsASessionWithItsOwnWorker) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), server->TcpPort()});
  boost::asio::streambuf buffer;
  auto call = [&](const std::string& method, const std::string& text) {
    json::object request{{"method", method}, {"params", json::array{}}};
    if (!text.empty()) request["params"].as_array().emplace_back(json::string(text));
    boost::asio::write(socket, boost::asio::buffer(json::serialize(request) + "\n"));
    boost::asio::read_until(socket, buffer, '\n');
    std::istream in(&buffer);
    std::string line;
    std::getline(in, line);
    return json::parse(line);
  };
  json::value stream = call("GetStream", "");
  EXPECT_EQ(stream.at("result").as_array()[1], true);
  EXPECT_EQ(stream.at("result").as_array()[0].as_array().size(), 19u);
  EXPECT_EQ(call("GetTaskList", "AAAA").at("result").as_array()[0], 404);
  EXPECT_EQ(call("ConnectToDB", SignIn("ivanov1")).at("result").as_array()[0], 0);
  EXPECT_EQ(call("GetTaskList", "AAAA").at("result").as_array()[0], 406) << "still signed in";
}

}  // namespace
}  // namespace brevalon
