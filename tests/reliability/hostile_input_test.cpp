// The gateway against hostile and broken clients over real sockets: client
// UIDs that try to name something outside the cache folder, oversized
// requests, crowds of idle connections, clients that send a byte at a time,
// and the rule that no password ever reaches a log.
#include <fcntl.h>
#include <sys/resource.h>

#include <boost/json.hpp>
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "appserver/log.h"
#include "client/request_encoder.h"
#include "reliability/gateway_fixture.h"

namespace brevalon::reliability {
namespace {

namespace json = boost::json;

constexpr const char* kBadData = "Неверные данные";

class HostileInputTest : public GatewayFixture {};

TEST_F(HostileInputTest, UidsThatLeaveTheCacheAnswer406AndCreateNothing) {
  StartGateway();
  const fs::path escaped = dir.Path() / "escaped";
  const std::vector<std::string> uids = {
      "",
      ".",
      "..",
      "../..",
      "a/../..",
      "../../../../escaped",
      "..\\..\\..\\..\\escaped",
      "a\\..\\..",
      escaped.string(),
      "/etc",
      "//",
      "\\\\server\\share",
      "C:\\Windows",
      "a/b",
      std::string("\0", 1),
      std::string("..\0/escaped", 11),
      std::string("a\0b", 3),
      "a\nb",
      "\r",
      "a\x1b[2J",
      "a\x7F",
      std::string(129, 'a'),
      std::string(300, '.'),
      std::string(100000, 'x'),
      "\uFF0E\uFF0E",                      // fullwidth full stops
      "\u2025",                            // two dot leader
      "\uFF0E\uFF0E\uFF0F\uFF0E\uFF0E",    // fullwidth "../.."
      "..\u2215..\u2215escaped",           // division slash
      "..\u2044escaped",                   // fraction slash
      "..\uFF3C..",                        // fullwidth backslash
      "..\u200B",                          // zero-width space
      "\u202E..",                          // right-to-left override
      "a\u0085b",                          // C1 control
      "\xC0\xAE\xC0\xAE\xC0\xAF",          // overlong "../"
  };
  ASSERT_GE(uids.size(), 20u);

  auto rest = Rest();
  auto tcp = Tcp();
  client::SignIn(*rest, "demo", "ivanov", "ivanov1", "");
  client::SignIn(*tcp, "demo", "ivanov", "ivanov1", "");
  // The back end's database files may change underneath; everything else
  // under the temporary folder must not.
  const auto tree = [&] {
    std::set<std::string> paths = TreeOf(dir.Path());
    std::erase_if(paths, [](const std::string& p) { return p.starts_with("demo.sqlite"); });
    return paths;
  };
  const std::set<std::string> before = tree();
  for (client::ITransport* t : {static_cast<client::ITransport*>(rest.get()),
                                static_cast<client::ITransport*>(tcp.get())}) {
    for (const std::string& uid : uids) {
      SCOPED_TRACE(testing::PrintToString(uid.substr(0, 60)));
      const client::MethodReply reply = TaskList(*t, uid);
      EXPECT_EQ(reply.ReturnCode, 406) << reply.Message;
      EXPECT_EQ(reply.Message, kBadData);
    }
  }
  // Not a single file or folder came to be, inside the cache or out of it.
  EXPECT_EQ(tree(), before);
  EXPECT_FALSE(fs::exists(escaped));
  EXPECT_EQ(log.Entries().size(), 2 * uids.size());

  // The sessions stay usable, and a plain UID gets its folder inside the cache.
  for (const std::string uid : {"phone-1", "..a", "a.b", "Телефон 1"}) {
    const client::MethodReply reply = TaskList(*rest, uid);
    EXPECT_EQ(reply.ReturnCode, 0) << uid << ": " << reply.Message;
    EXPECT_TRUE(fs::is_regular_file(CacheDir() / uid / "TaskList_1.cds")) << uid;
  }
}

// The status code of an HTTP answer ("HTTP/1.1 413 Payload Too Large" ->
// "413"); empty when there was none.
std::string Status(const std::string& answer) { return answer.size() < 12 ? "" : answer.substr(9, 3); }

// A request the server stops reading half-way: closing with unread bytes
// resets the connection, which may overtake the answer. Either is clean.
void ExpectAnswerOrClose(RawSocket& s, const std::string& status) {
  bool closed = false;
  const std::string answer = s.ReadAll(&closed);
  if (!answer.empty()) {
    EXPECT_EQ(Status(answer), status) << answer.substr(0, 200);
  }
  EXPECT_TRUE(closed);
}

TEST_F(HostileInputTest, OversizedRequestsGetACleanAnswerOrAClose) {
  options.MaxHeaderBytes = 8 * 1024;
  options.MaxBodyBytes = 256 * 1024;
  options.MaxTcpLineBytes = 256 * 1024;
  StartGateway();
  const std::string get = "GET /datasnap/rest/TServerMethods/GetStream HTTP/1.1\r\nHost: x\r\n";

  {  // a header larger than the limit
    RawSocket s(server->HttpPort());
    s.Send(get + "X-Pad: " + std::string(64 * 1024, 'p') + "\r\n\r\n");
    ExpectAnswerOrClose(s, "431");
  }
  {  // a body larger than the limit, sent
    RawSocket s(server->HttpPort());
    const std::string body(1024 * 1024, 'b');
    s.Send("POST /datasnap/rest/TServerMethods/%22GetTaskList%22 HTTP/1.1\r\nHost: x\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body);
    ExpectAnswerOrClose(s, "413");
  }
  {  // a body announced as a terabyte and never sent
    RawSocket s(server->HttpPort());
    s.Send("POST /datasnap/rest/TServerMethods/%22GetTaskList%22 HTTP/1.1\r\nHost: x\r\n"
           "Content-Length: 1099511627776\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(Status(s.ReadAll(&closed)), "413");  // decided on the header alone
    EXPECT_TRUE(closed);
  }
  {  // a TCP request line longer than the limit
    RawSocket s(server->TcpPort());
    s.Send("{\"method\":\"GetTaskList\",\"params\":[\"" + std::string(512 * 1024, 'A'));
    bool closed = false;
    const std::string answer = s.ReadAll(&closed);
    if (!answer.empty()) {
      EXPECT_NE(answer.find("Request line too long"), std::string::npos) << answer;
    }
    EXPECT_TRUE(closed);
  }

  // Base64 texts that fit the transport but not the record: a UID that
  // claims 150 KB, a text that is Base64 of nothing sensible, one that is
  // not Base64 at all.
  auto rest = Rest();
  auto tcp = Tcp();
  client::SignIn(*rest, "demo", "ivanov", "ivanov1", "");
  client::SignIn(*tcp, "demo", "ivanov", "ivanov1", "");
  const std::string hugeUid = client::EncodeRequest(
      "GetTaskList", {{"FStUID", std::string(150 * 1024, 'u')}, {"FNDataSetVersion", 0},
                      {"FNIncommingCorrespVersion", 0}});
  const std::vector<std::string> texts = {hugeUid, std::string(200 * 1024, 'A'),
                                          std::string(200 * 1024, '/'), std::string(200 * 1024, '%')};
  for (client::ITransport* t : {static_cast<client::ITransport*>(rest.get()),
                                static_cast<client::ITransport*>(tcp.get())}) {
    for (const std::string& text : texts) {
      const client::MethodReply reply = client::ParseMethodReply("GetTaskList", t->Call("GetTaskList", {text}));
      EXPECT_EQ(reply.ReturnCode, 406) << text.substr(0, 20);
    }
  }
  EXPECT_FALSE(fs::exists(CacheDir()) && !fs::is_empty(CacheDir()));
  ExpectServed();
  EXPECT_EQ(TaskList(*rest, "phone-1").ReturnCode, 0);
}

TEST_F(HostileInputTest, ThousandsOfIdleConnectionsDoNotStopOthers) {
  constexpr std::size_t kIdle = 2000;
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < 5000) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < 5000) GTEST_SKIP() << "open-file limit " << limit.rlim_cur << " is below 5000";
  StartGateway();

  std::vector<std::unique_ptr<RawSocket>> idle;
  idle.reserve(kIdle);
  for (std::size_t i = 0; i < kIdle; ++i) {
    // Half on each transport, from 20 clients (each within its own limit of
    // connections); every tenth has begun a request and stalled.
    const bool http = i % 2 == 0;
    const std::string from = "127.0.1." + std::to_string(1 + i % 20);
    idle.push_back(std::make_unique<RawSocket>(http ? server->HttpPort() : server->TcpPort(),
                                               std::chrono::seconds(10), from));
    ASSERT_TRUE(idle.back()->Connected()) << i;
    if (i % 10 == 0) idle.back()->Send(http ? "GET /datasnap/rest/TServ" : "{\"method\":\"Get");
  }

  auto rest = Rest();
  auto tcp = Tcp();
  client::SignIn(*rest, "demo", "petrova", "petrova1", "");
  client::SignIn(*tcp, "demo", "ivanov", "ivanov1", "");
  EXPECT_EQ(TaskList(*rest, "crowd-1").ReturnCode, 0);
  EXPECT_EQ(TaskList(*tcp, "crowd-2").ReturnCode, 0);
  ExpectServed();
  idle.clear();
  ExpectServed();
}

// Sends `request` a byte at a time, `gap` apart, until the peer closes;
// returns how many bytes went out.
std::size_t Drip(RawSocket& s, const std::string& request, std::chrono::milliseconds gap) {
  for (std::size_t i = 0; i < request.size(); ++i) {
    if (!s.Send(request.substr(i, 1))) return i;
    std::this_thread::sleep_for(gap);
  }
  return request.size();
}

TEST_F(HostileInputTest, ASlowClientIsClosedWhileOthersAreServed) {
  // At 10 ms a byte a request of 500 bytes takes five seconds: many read
  // timeouts of 200 ms.
  options.ReadTimeout = std::chrono::milliseconds(200);
  options.IdleTimeout = std::chrono::milliseconds(200);
  StartGateway();
  const auto gap = std::chrono::milliseconds(10);
  const std::string http =
      "GET /datasnap/rest/TServerMethods/GetStream HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(400, 'p') +
      "\r\n\r\n";
  const std::string line = "{\"method\":\"GetStream\",\"params\":[],\"pad\":\"" + std::string(450, 'p') + "\"}\n";

  RawSocket slowHttp(server->HttpPort());
  RawSocket slowTcp(server->TcpPort());
  auto httpSent = std::async(std::launch::async, [&] { return Drip(slowHttp, http, gap); });
  auto tcpSent = std::async(std::launch::async, [&] { return Drip(slowTcp, line, gap); });
  ExpectServed();
  auto tcp = Tcp();
  EXPECT_EQ(client::GetStreamBytes(*tcp), "eitupweirtpwietupwe");

  EXPECT_LT(httpSent.get(), http.size());
  EXPECT_LT(tcpSent.get(), line.size());
  bool closed = false;
  slowHttp.ReadAll(&closed);
  EXPECT_TRUE(closed);
  slowTcp.ReadAll(&closed);
  EXPECT_TRUE(closed);
  ExpectServed();
}

// Collects what the process writes to standard error while it lives.
class StderrCapture {
 public:
  explicit StderrCapture(const fs::path& file) : FFile(file) {
    std::fflush(stderr);
    FSaved = ::dup(STDERR_FILENO);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrCapture() { Stop(); }
  std::string Stop() {
    if (FSaved >= 0) {
      std::fflush(stderr);
      ::dup2(FSaved, STDERR_FILENO);
      ::close(FSaved);
      FSaved = -1;
    }
    std::ifstream in(FFile, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  fs::path FFile;
  int FSaved = -1;
};

TEST_F(HostileInputTest, PasswordsAppearInNoLog) {
  StartGateway();
  const std::string wrong = "Zq7-wrong-Password-4431";
  const std::string right = "ivanov1";
  appserver::SetLogLevel(appserver::LogLevel::kDebug);
  StderrCapture capture(dir.Path() / "stderr.txt");
  {
    auto rest = Rest();
    auto tcp = Tcp();
    for (client::ITransport* t : {static_cast<client::ITransport*>(rest.get()),
                                  static_cast<client::ITransport*>(tcp.get())}) {
      EXPECT_THROW(client::SignIn(*t, "demo", "ivanov", wrong, ""), client::EMethodFailed);
      EXPECT_THROW(client::SignIn(*t, "no-such-db", "ivanov", wrong, ""), client::EMethodFailed);
      EXPECT_THROW(client::SignIn(*t, "demo", "ivanov", wrong, "corp"), client::EMethodFailed);
      client::SignIn(*t, "demo", "ivanov", right, "");
      EXPECT_EQ(TaskList(*t, "pw-phone").ReturnCode, 0);
    }
  }
  server.reset();
  backEnd.reset();
  const std::string err = capture.Stop();
  appserver::SetLogLevel(appserver::LogLevel::kInfo);

  // The request texts carry the passwords in Base64: they must not show either.
  const std::vector<std::string> secrets = {
      wrong, right,
      client::EncodeRequest("ConnectToDB", {{"FDBName", "demo"}, {"FUser", "ivanov"}, {"FDomain", ""},
                                            {"FPassword", wrong}}),
      client::EncodeRequest("ConnectToDB", {{"FDBName", "demo"}, {"FUser", "ivanov"}, {"FDomain", ""},
                                            {"FPassword", right}})};
  const std::vector<std::string> entries = log.Entries();
  EXPECT_FALSE(entries.empty());
  EXPECT_FALSE(err.empty());  // the back end's debug log did run
  for (const std::string& secret : secrets) {
    EXPECT_EQ(err.find(secret), std::string::npos) << secret;
    for (const std::string& e : entries) EXPECT_EQ(e.find(secret), std::string::npos) << e;
  }
}

}  // namespace
}  // namespace brevalon::reliability
