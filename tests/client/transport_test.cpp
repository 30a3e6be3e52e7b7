// The client transports' pure parts (how a call is put on the wire, the
// session header and file, addresses, the reply envelope, CRC-32) and the
// network commands' command-line handling. Calls against a running gateway
// are in tests/e2e.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/json.hpp>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "appserver/appserver_test_support.h"
#include "client/cli.h"
#include "client/get_file.h"
#include "client/remote_calls.h"
#include "client/rest_transport.h"
#include "client/tcp_transport.h"

namespace brevalon::client {
namespace {

namespace json = boost::json;

TEST(RestCall, TextsTravelPercentEncodedInThePathOrInAPostBody) {
  EXPECT_EQ(PercentEncodeSegment("aZ09-._~"), "aZ09-._~");
  EXPECT_EQ(PercentEncodeSegment("+/= %\"я"), "%2B%2F%3D%20%25%22%D1%8F");

  const struct {
    const char* method;
    json::array params;
    std::size_t threshold;
    RestCall expected;
  } cases[] = {
      {"GetStream", {}, 1500, {false, "/datasnap/rest/TServerMethods/GetStream/", ""}},
      {"GetFile", {"AB+/cd=="}, 1500, {false, "/datasnap/rest/TServerMethods/GetFile/AB%2B%2Fcd%3D%3D", ""}},
      {"DSAdmin.GetPlatformName", {}, 1500, {false, "/datasnap/rest/DSAdmin/GetPlatformName/", ""}},
      // Too long for the URL.
      {"GetFile", {"AB+/"}, 20, {true, "/datasnap/rest/TServerMethods/%22GetFile%22", R"({"_parameters":["AB+/"]})"}},
      // What a path cannot carry: the text "null" and values that are not texts.
      {"M", {"null"}, 1500, {true, "/datasnap/rest/TServerMethods/%22M%22", R"({"_parameters":["null"]})"}},
      {"M", {1, true}, 1500, {true, "/datasnap/rest/TServerMethods/%22M%22", R"({"_parameters":[1,true]})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    const RestCall call = BuildRestCall(c.method, c.params, c.threshold);
    EXPECT_EQ(call.Post, c.expected.Post);
    EXPECT_EQ(call.Target, c.expected.Target);
    EXPECT_EQ(call.Body, c.expected.Body);
  }
  EXPECT_EQ(BuildTcpLine("GetFile", {"AB"}), R"({"method":"GetFile","params":["AB"]})");
}

TEST(RestSession, PragmaIdIsTakenOnlyWhenPlausible) {
  const struct {
    const char* pragma;
    const char* id;
  } cases[] = {
      {"dssession=123.456.789,dssessionexpires=299999", "123.456.789"},
      {"no-cache, DSSESSION=1.2.3", "1.2.3"},
      {"dssessionexpires=5", ""},
      {"", ""},
      {"dssession=", ""},
      {"dssession=a b", ""},
      {"dssession=a;b", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pragma);
    EXPECT_EQ(SessionIdOfPragma(c.pragma), c.id);
  }
}

TEST(RestSession, TheSessionFileIsPrivateAndForgettable) {
  appserver::testing::TempDir dir;
  const std::string path = (dir.Path() / "session").string();
  SessionFile file(path);
  EXPECT_EQ(file.Load(), "") << "missing file";
  file.Save("1.2.3");
  EXPECT_EQ(file.Load(), "1.2.3");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  file.Forget();
  EXPECT_EQ(file.Load(), "");
  // Whatever else is in the file is not sent as a header.
  std::ofstream(path, std::ios::trunc) << "1.2\r\nX-Evil: yes\n";
  EXPECT_EQ(file.Load(), "1.2");
  std::ofstream(path, std::ios::trunc) << std::string(300, '7');
  EXPECT_EQ(file.Load(), "");
  EXPECT_THROW(SessionFile((dir.Path() / "no" / "dir").string()).Save("1"), EClientError);
}

TEST(Addresses, UrlsAndHostPortsParseOrAreRefused) {
  const struct {
    const char* text;
    bool url;
    const char* host;
    uint16_t port;
  } accepted[] = {
      {"http://gw.example:8085", true, "gw.example", 8085},
      {"HTTP://127.0.0.1/", true, "127.0.0.1", 8085},
      {"http://[::1]:9000", true, "::1", 9000},
      {"https://gw.example", true, "gw.example", 8086},
      {"HTTPS://gw:443/", true, "gw", 443},
      {"gw:211", false, "gw", 211},
      {"gw", false, "gw", 211},
      {"[::1]", false, "::1", 211},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.text);
    const HostPort hp = c.url ? ParseHttpUrl(c.text) : ParseHostPort(c.text, 211);
    EXPECT_EQ(hp.Host, c.host);
    EXPECT_EQ(hp.Port, c.port);
  }
  const struct {
    const char* text;
    bool url;
  } refused[] = {
      {"ftp://gw:8085", true}, {"gw:8085", true}, {"https://gw/x", true},       {"http://gw:8085/datasnap", true},
      {"http://:8085", true},    {"gw:0", false},         {"gw:65536", false},
      {"gw:x", false},           {"[::1", false},         {"", false},
      {"a b:1", false},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.text);
    EXPECT_THROW(c.url ? ParseHttpUrl(c.text) : ParseHostPort(c.text, 211), EClientError);
  }
}

TEST(MethodReplies, TheEnvelopeIsCheckedBeforeUse) {
  const MethodReply ok = ParseMethodReply("GetFile", {0, "", {{"Block", ""}}});
  EXPECT_EQ(ok.ReturnCode, 0);
  EXPECT_TRUE(ok.HasResult);
  const MethodReply noResult = ParseMethodReply("DeleteTask", {406, "Неверные данные"});
  EXPECT_EQ(noResult.ReturnCode, 406);
  EXPECT_EQ(noResult.Message, "Неверные данные");
  EXPECT_FALSE(noResult.HasResult);
  EXPECT_TRUE(ParseMethodReply("GetFile", {0, "", nullptr}).Result.is_null());

  const json::array malformed[] = {
      {},
      {0},
      {0, "", {}, 1},
      {"0", ""},
      {0.5, ""},
      {4294967296LL, ""},
      {0, 1},
      {0, "", "text"},
  };
  for (const json::array& reply : malformed) {
    SCOPED_TRACE(json::serialize(reply));
    EXPECT_THROW(ParseMethodReply("GetFile", reply), ETransportError);
  }
  // A successful reply without its result record.
  EXPECT_THROW(ResultRecord("ConnectToDB", ParseMethodReply("ConnectToDB", {0, "", nullptr})),
               ETransportError);
  EXPECT_THROW(ResultRecord("ConnectToDB", ParseMethodReply("ConnectToDB", {404, "x", {{"e", "e"}}})),
               EMethodFailed);
}

TEST(Crc32, MatchesTheStandardCheckValueInAnyPieces) {
  const std::string text = "123456789";
  Crc32 whole;
  whole.Update({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  EXPECT_EQ(whole.Value(), 0xCBF43926u);
  Crc32 pieces;
  for (char c : text) pieces.Update({reinterpret_cast<const uint8_t*>(&c), 1});
  EXPECT_EQ(pieces.Value(), whole.Value());
  EXPECT_EQ(Crc32().Value(), 0u);
}

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

CliRun Cli(const std::vector<std::string>& args) {
  std::istringstream in;
  std::ostringstream out, err;
  const int code = RunCli(args, {in, out, err});
  return {code, out.str(), err.str()};
}

TEST(CliNetwork, CommandLineMistakesExitWith2BeforeAnyTraffic) {
  const std::vector<std::string> cases[] = {
      {"stream"},  // neither --url nor --tcp
      {"--url", "http://127.0.0.1:1", "--tcp", "127.0.0.1:1", "stream"},
      {"--tcp", "127.0.0.1:1", "--session", "/tmp/x", "stream"},
      {"--url", "http://127.0.0.1:1", "get-file", "--attachment", "1", "--ext", "txt", "-o", "x"},
      {"--url", "http://127.0.0.1:1", "get-file", "--attachment", "1", "--ext", "txt", "-o", "x",
       "--size", "5", "--crc", "0x1FFFFFFFF"},
      {"--url", "http://127.0.0.1:1", "connect", "--db", "demo"},
      {"--url", "http://127.0.0.1:1", "call", "GetFile", "--db", "demo"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.back());
    const CliRun r = Cli(args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("cannot connect"), std::string::npos) << r.err;
  }
  // A bad request description is refused before connecting too.
  EXPECT_EQ(Cli({"--url", "http://127.0.0.1:1", "call", "GetFile", R"({"Nope":1})"}).code, 1);
  EXPECT_EQ(Cli({"--url", "http://127.0.0.1:1", "call", "GetStream", "{}"}).code, 1);
}

TEST(CliNetwork, AnUnreachableGatewayExitsWith4) {
  // Port 1 on loopback: nothing listens there.
  for (const char* where : {"--url=http://127.0.0.1:1", "--tcp=127.0.0.1:1"}) {
    SCOPED_TRACE(where);
    const CliRun r = Cli({where, "stream"});
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err, "brevalon-cli: cannot connect to 127.0.0.1:1: Connection refused\n");
  }
  const CliRun help = Cli({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
  EXPECT_NE(help.out.find("6  a downloaded file"), std::string::npos);
}

}  // namespace
}  // namespace brevalon::client
