// The remote-method server over real sockets on 127.0.0.1 (port 0): sessions
// across HTTP requests and connections, expiry with an injected clock,
// concurrent calls, hostile and slow clients, the TCP line transport, and
// stop/start/destruction. A raw-socket client with Beast's parser stands in
// for the mobile clients.
#include "remoting/remote_method_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/ssl.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

#include "appserver/appserver_test_support.h"
#include "remoting/remote_test_class.h"
#include "remoting/test_certificate.h"
#include "remoting/rest_router.h"

namespace brevalon {
namespace {

namespace http = boost::beast::http;
using namespace std::chrono_literals;
using Response = http::response<http::string_body>;

constexpr char kExpired[] =
    R"({"SessionExpired":"The specified session has expired due to inactivity or was an invalid Session ID"})";

// Waits up to 10 s for `done`; the bound only keeps a broken build from hanging.
template <class F>
bool Eventually(F done) {
  for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

// A blocking loopback client on a plain socket; every wait is bounded.
class Client {
 public:
  // `from`: a loopback address to connect from (127.0.0.0/8 is all
  // loopback: one machine plays many clients).
  explicit Client(uint16_t port, const char* from = nullptr) {
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (from) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      ::inet_pton(AF_INET, from, &local.sin_addr);
      if (::bind(FFd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FConnected = ::connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Client() { ::close(FFd); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connected() const { return FConnected; }

  bool Write(std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = ::send(FFd, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Reads more bytes into the buffer; false on close, error or timeout.
  bool Fill(std::chrono::milliseconds timeout = 10s) {
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
    char chunk[4096];
    const ssize_t n = ::recv(FFd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    FBuffer.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  // One HTTP response, or nullopt when the server closed first.
  std::optional<Response> ReadResponse() {
    http::response_parser<http::string_body> parser;
    parser.eager(true);
    parser.body_limit(boost::none);
    for (;;) {
      boost::beast::error_code ec;
      while (!FBuffer.empty() && !parser.is_done()) {
        const std::size_t used = parser.put(boost::asio::buffer(FBuffer), ec);
        FBuffer.erase(0, used);
        if (ec == http::error::need_more) break;
        if (ec) return std::nullopt;
      }
      if (parser.is_done()) return parser.release();
      if (!Fill()) return std::nullopt;
    }
  }

  Response Send(http::verb verb, const std::string& target, const std::string& pragma = "",
                const std::string& body = "") {
    http::request<http::string_body> req(verb, target, 11);
    req.set(http::field::host, "localhost");
    if (!pragma.empty()) req.set(http::field::pragma, pragma);
    req.body() = body;
    req.prepare_payload();
    std::ostringstream os;
    os << req;
    EXPECT_TRUE(Write(os.str()));
    auto res = ReadResponse();
    EXPECT_TRUE(res.has_value()) << target;
    return res.value_or(Response{});
  }

  std::optional<std::string> ReadLine() {
    for (;;) {
      if (const auto nl = FBuffer.find('\n'); nl != std::string::npos) {
        std::string line = FBuffer.substr(0, nl);
        FBuffer.erase(0, nl + 1);
        return line;
      }
      if (!Fill()) return std::nullopt;
    }
  }

  // True when the server has closed the connection by now.
  bool ClosedNow() {
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    char c;
    return ::recv(FFd, &c, 1, MSG_PEEK) <= 0;
  }

  // True once the server has closed the connection (within 10 s).
  bool WaitClosed() {
    for (auto end = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < end;) {
      pollfd p{FFd, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        char c;
        const ssize_t n = ::recv(FFd, &c, 1, 0);
        if (n <= 0) return true;
        FBuffer += c;
      }
    }
    return false;
  }

 private:
  int FFd = -1;
  bool FConnected = false;
  std::string FBuffer;
};

std::string SessionOf(const Response& res) {
  return PragmaSession(res[http::field::pragma]);
}

class RemoteMethodServerTest : public ::testing::Test {
 protected:
  RemoteMethodServerTest() {
    Options.Listen = "127.0.0.1";
    Options.HttpPort = 0;
    Options.TcpPort = 0;
    Options.SessionClock = [this] {
      return std::chrono::steady_clock::time_point(std::chrono::milliseconds(Clock.load()));
    };
  }

  RemoteMethodServer& Start() {
    Server = std::make_unique<RemoteMethodServer>(Methods.Build(), Options);
    Server->Start();
    return *Server;
  }

  testing::TestMethods Methods;
  RemoteServerOptions Options;
  std::atomic<long long> Clock{1000000};
  std::unique_ptr<RemoteMethodServer> Server;
};

TEST_F(RemoteMethodServerTest, SessionTravelsAcrossRequestsAndConnections) {
  Start();
  Client a(Server->HttpPort());
  const Response first = a.Send(http::verb::get, "/datasnap/rest/TTest/Echo/abc");
  EXPECT_EQ(first.result_int(), 200u);
  EXPECT_EQ(first.body(), R"({"result":[3,"ABC",{"text":"abc"}]})");
  const std::string id = SessionOf(first);
  ASSERT_FALSE(id.empty());
  // Same connection (kept alive), then a new one; a cache-buster changes nothing.
  EXPECT_EQ(SessionOf(a.Send(http::verb::get, "/datasnap/rest/TTest/GetStream", "dssession=" + id)),
            id);
  Client b(Server->HttpPort());
  http::request<http::string_body> req(http::verb::get, "/datasnap/rest/TTest/Echo/x", 11);
  req.set(http::field::pragma, "dssession=" + id);
  req.set(http::field::if_modified_since, "Sat, 1 Jan 2000 00:00:00 GMT");
  std::ostringstream os;
  os << req;
  ASSERT_TRUE(b.Write(os.str()));
  const auto res = b.ReadResponse();
  ASSERT_TRUE(res);
  EXPECT_EQ(res->result_int(), 200u);
  EXPECT_EQ(SessionOf(*res), id);
  EXPECT_EQ(Server->SessionCount(), 1u);
  EXPECT_EQ(Methods.Connects, 3);
  EXPECT_EQ(Methods.Probes().size(), 1u);
}

TEST_F(RemoteMethodServerTest, IdleSessionExpiresAndItsObjectsClose) {
  Options.SessionTimeout = 200ms;
  Start();
  Client c(Server->HttpPort());
  const std::string id = SessionOf(c.Send(http::verb::get, "/datasnap/rest/TTest/Echo/a"));
  ASSERT_EQ(Methods.Probes().size(), 1u);
  Clock += 200;
  // The expiry thread ends it and closes what it stored; the count drops as the
  // session leaves the table, the objects close just after.
  EXPECT_TRUE(Eventually(
      [&] { return Server->SessionCount() == 0 && Methods.Probes()[0]->Closed == 1; }));
  const Response res = c.Send(http::verb::get, "/datasnap/rest/TTest/Echo/a", "dssession=" + id);
  EXPECT_EQ(res.result_int(), 403u);
  EXPECT_EQ(res.body(), kExpired);
  EXPECT_EQ(res.count(http::field::pragma), 0u);
}

TEST_F(RemoteMethodServerTest, CloseSessionThenNewSession) {
  Start();
  Client c(Server->HttpPort());
  const std::string id = SessionOf(c.Send(http::verb::get, "/datasnap/rest/TTest/Echo/a"));
  EXPECT_EQ(c.Send(http::verb::get, "/datasnap/rest/CloseSession/", "dssession=" + id).result_int(),
            200u);
  EXPECT_EQ(Methods.Probes().at(0)->Closed, 1);
  EXPECT_EQ(c.Send(http::verb::get, "/datasnap/rest/TTest/Echo/a", "dssession=" + id).result_int(),
            403u);
  const std::string fresh = SessionOf(c.Send(http::verb::get, "/datasnap/rest/TTest/Echo/a"));
  EXPECT_FALSE(fresh.empty());
  EXPECT_NE(fresh, id);
  EXPECT_EQ(Server->SessionCount(), 1u);
}

TEST_F(RemoteMethodServerTest, BlockedCallsDelayNeitherTheirSessionNorOthers) {
  Options.IoThreads = 1;
  Start();
  const std::string id =
      SessionOf(Client(Server->HttpPort()).Send(http::verb::get, "/datasnap/rest/TTest/Echo/a"));
  auto block = [&] {
    Client c(Server->HttpPort());
    return c.Send(http::verb::get, "/datasnap/rest/TTest/Block", "dssession=" + id).body();
  };
  auto first = std::async(std::launch::async, block);
  auto second = std::async(std::launch::async, block);
  // Both calls of the one session are inside the method at once.
  EXPECT_TRUE(Methods.WaitEntered(2));
  // Meanwhile the I/O and other sessions go on, also over TCP.
  Client other(Server->HttpPort());
  EXPECT_EQ(other.Send(http::verb::get, "/datasnap/rest/TTest/Echo/b").result_int(), 200u);
  Client tcp(Server->TcpPort());
  ASSERT_TRUE(tcp.Write("{\"method\":\"GetStream\"}\n"));
  EXPECT_EQ(tcp.ReadLine(), R"({"result":[[101,105,116,117,112],true]})");
  Methods.Release();
  EXPECT_EQ(first.get(), R"({"result":[true]})");
  EXPECT_EQ(second.get(), R"({"result":[true]})");
}

TEST_F(RemoteMethodServerTest, OversizedAndMalformedRequestsGetCleanErrors) {
  Options.MaxHeaderBytes = 1024;
  Options.MaxBodyBytes = 1024;
  Start();
  struct RawCase {
    std::string Request;
    unsigned Status;
  };
  const RawCase cases[] = {
      {"GET /datasnap/rest/TTest/Echo/a HTTP/1.1\r\nX-Pad: " + std::string(2000, 'x') + "\r\n\r\n",
       431},
      {"POST /datasnap/rest/TTest/'Echo' HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" +
           std::string(5000, '"'),
       413},
      {"POST /datasnap/rest/TTest/'Echo' HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n800\r\n" +
           std::string(2048, 'a') + "\r\n0\r\n\r\n",
       413},
      {"GARBAGE\r\n\r\n", 400},
      {"GET /datasnap/rest/TTest/Echo/a HTTP/7.0\r\n\r\n", 400},
      {"GET /datasnap/rest/TTest/Echo/a HTTP/1.1\r\nContent-Length: abc\r\n\r\n", 400},
      {"GET /datasnap/rest/TTest/Echo/a HTTP/1.1\r\nBad Header\r\n\r\n", 400},
      {std::string("GET /\0 HTTP/1.1\r\n\r\n", 19), 400},
  };
  for (const RawCase& c : cases) {
    SCOPED_TRACE(c.Request.substr(0, 60));
    Client client(Server->HttpPort());
    ASSERT_TRUE(client.Write(c.Request));
    const auto res = client.ReadResponse();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->result_int(), c.Status);
    EXPECT_NE(res->body().find("\"error\""), std::string::npos);
    EXPECT_TRUE(client.WaitClosed());
  }
  Client after(Server->HttpPort());
  EXPECT_EQ(after.Send(http::verb::get, "/datasnap/rest/TTest/Echo/a").result_int(), 200u);
  EXPECT_EQ(Server->SessionCount(), 1u);
}

TEST_F(RemoteMethodServerTest, SlowAndIdleClientsAreDropped) {
  Options.ReadTimeout = 300ms;
  Options.IdleTimeout = 300ms;
  Start();
  // A client that sends one byte every 20 ms would need 8 s for its request.
  const std::string request =
      "GET /datasnap/rest/TTest/Echo/a HTTP/1.1\r\nX-Slow: " + std::string(340, 's') + "\r\n\r\n";
  auto slow = std::async(std::launch::async, [&] {
    Client c(Server->HttpPort());
    for (std::size_t i = 0; i < request.size(); ++i) {
      if (!c.Write(request.substr(i, 1))) return i;
      std::this_thread::sleep_for(20ms);
      if (c.ClosedNow()) return i;
    }
    return request.size();
  });
  // Others are served meanwhile.
  for (int i = 0; i < 3; ++i) {
    Client c(Server->HttpPort());
    EXPECT_EQ(c.Send(http::verb::get, "/datasnap/rest/TTest/GetStream").result_int(), 200u);
  }
  EXPECT_LT(slow.get(), request.size());
  // A kept-alive connection without a next request is closed too.
  Client idle(Server->HttpPort());
  EXPECT_EQ(idle.Send(http::verb::get, "/datasnap/rest/TTest/GetStream").result_int(), 200u);
  EXPECT_TRUE(idle.WaitClosed());
}

TEST_F(RemoteMethodServerTest, TcpConnectionIsOneSession) {
  Options.MaxTcpLineBytes = 1024;
  Start();
  {
    Client tcp(Server->TcpPort());
    ASSERT_TRUE(tcp.Write("{\"method\":\"Echo\",\"params\":[\"abc\"]}\n"));
    EXPECT_EQ(tcp.ReadLine(), R"({"result":[3,"ABC",{"text":"abc"}]})");
    // Malformed requests answer an error and keep the connection; several lines in one write.
    ASSERT_TRUE(tcp.Write(
        "{bad\r\n\n{\"method\":\"echo\",\"params\":[\"\xD0\x96\"]}\r\n[1]\n"
        "{\"method\":\"Echo\",\"params\":[1,2]}\n{\"method\":\"DSAdmin.ListClasses\"}\n"));
    const auto bad = tcp.ReadLine();
    ASSERT_TRUE(bad);
    EXPECT_NE(bad->find("\"error\""), std::string::npos);
    EXPECT_EQ(tcp.ReadLine(), R"({"result":[2,"\u0416",{"text":"\u0416"}]})");
    EXPECT_NE(tcp.ReadLine().value_or("").find("\"error\""), std::string::npos);
    EXPECT_NE(tcp.ReadLine().value_or("").find("Too many parameters"), std::string::npos);
    EXPECT_EQ(tcp.ReadLine(), R"({"result":[["TTest"]]})");
    EXPECT_EQ(Methods.Connects, 1);  // once per connection
    EXPECT_EQ(Server->SessionCount(), 1u);
    ASSERT_EQ(Methods.Probes().size(), 1u);
    EXPECT_EQ(Methods.Probes()[0]->Closed, 0);
  }
  // Closing the connection ends the session and closes its objects.
  EXPECT_TRUE(
      Eventually([&] { return Server->SessionCount() == 0 && Methods.Probes()[0]->Closed == 1; }));
  EXPECT_EQ(Methods.Ends, 1);

  // A line beyond the limit answers an error and closes.
  Client big(Server->TcpPort());
  ASSERT_TRUE(big.Write(std::string(2000, 'x')));
  EXPECT_EQ(big.ReadLine(), R"({"error":"Request line too long"})");
  EXPECT_TRUE(big.WaitClosed());
  EXPECT_TRUE(Eventually([&] { return Server->SessionCount() == 0; }));
}

TEST_F(RemoteMethodServerTest, StopKeepsHttpSessionsAndStartResumes) {
  Start();
  const std::string id =
      SessionOf(Client(Server->HttpPort()).Send(http::verb::get, "/datasnap/rest/TTest/Echo/a"));
  Client tcp(Server->TcpPort());
  ASSERT_TRUE(tcp.Write("{\"method\":\"Echo\",\"params\":[\"t\"]}\n"));
  ASSERT_TRUE(tcp.ReadLine());
  EXPECT_EQ(Server->SessionCount(), 2u);
  Client kept(Server->HttpPort());
  ASSERT_EQ(
      kept.Send(http::verb::get, "/datasnap/rest/TTest/GetStream", "dssession=" + id).result_int(),
      200u);

  const uint16_t oldPort = Server->HttpPort();
  Server->Stop();
  EXPECT_FALSE(Server->Running());
  EXPECT_TRUE(kept.WaitClosed());
  EXPECT_TRUE(tcp.WaitClosed());
  EXPECT_FALSE(Client(oldPort).Connected());
  // The TCP session ended with its connection; the HTTP one stays.
  EXPECT_TRUE(Eventually([&] { return Server->SessionCount() == 1; }));
  EXPECT_EQ(Methods.Probes().at(0)->Closed, 0);

  Server->Start();
  EXPECT_TRUE(Server->Running());
  Client again(Server->HttpPort());
  EXPECT_EQ(
      SessionOf(again.Send(http::verb::get, "/datasnap/rest/TTest/Echo/a", "dssession=" + id)), id);
}

TEST_F(RemoteMethodServerTest, DestructionEndsEverySession) {
  Start();
  Client http(Server->HttpPort());
  EXPECT_EQ(http.Send(http::verb::get, "/datasnap/rest/TTest/Echo/a").result_int(), 200u);
  Client tcp(Server->TcpPort());
  ASSERT_TRUE(tcp.Write("{\"method\":\"Echo\",\"params\":[\"t\"]}\n"));
  ASSERT_TRUE(tcp.ReadLine());
  // A call blocked in a session does not hold up destruction once its session's
  // objects are closed; here the test releases it the same way a worker would.
  auto blocked = std::async(std::launch::async, [&] {
    Client c(Server->HttpPort());
    return c.Send(http::verb::get, "/datasnap/rest/TTest/Block").result_int();
  });
  ASSERT_TRUE(Methods.WaitEntered(1));
  Methods.Release();
  EXPECT_EQ(blocked.get(), 200u);
  Server.reset();
  const auto probes = Methods.Probes();
  ASSERT_EQ(probes.size(), 2u);
  for (const auto& p : probes) EXPECT_EQ(p->Closed, 1);
}

// Over a connection limit a client is told so (HTTP 503 with Retry-After, a
// TCP error line) before the close, even when it had sent its request, and
// the others are served; a place freed is a place to be had again.
TEST_F(RemoteMethodServerTest, ConnectionsOverALimitAreToldSoAndOthersServed) {
  Options.MaxConnections = 4;
  Options.MaxConnectionsPerAddress = 2;
  Start();
  const uint16_t port = Server->HttpPort();
  const auto served = [&](Client& c) {
    return c.Send(http::verb::get, "/datasnap/rest/TTest/GetStream").result_int() == 200;
  };
  const auto refused = [&](Client& c, const std::string& message) {
    EXPECT_TRUE(c.Write("GET /datasnap/rest/TTest/GetStream HTTP/1.1\r\nHost: x\r\n\r\n"));
    const auto res = c.ReadResponse();
    if (!res) return ::testing::AssertionFailure() << "no answer before the close";
    EXPECT_EQ(res->result_int(), 503u);
    EXPECT_EQ((*res)[http::field::retry_after], "5");
    EXPECT_EQ(res->body(), R"({"error":")" + message + R"("})");
    EXPECT_TRUE(c.WaitClosed());
    return ::testing::AssertionSuccess();
  };
  auto a1 = std::make_unique<Client>(port, "127.0.0.2");
  Client a2(port, "127.0.0.2");
  ASSERT_TRUE(served(*a1) && served(a2));
  Client a3(port, "127.0.0.2");
  EXPECT_TRUE(refused(a3, "too many connections from one address"));
  // The limit counts both transports.
  Client tcp(Server->TcpPort(), "127.0.0.2");
  EXPECT_EQ(tcp.ReadLine().value_or(""),
            R"({"error":"too many connections from one address","retryAfter":5})");
  EXPECT_TRUE(tcp.WaitClosed());

  Client b1(port, "127.0.0.3"), c1(port, "127.0.0.4");
  EXPECT_TRUE(served(b1) && served(c1));
  Client d1(port, "127.0.0.5");
  EXPECT_TRUE(refused(d1, "too many connections"));

  a1.reset();
  EXPECT_TRUE(Eventually([&] { return Server->ConnectionCount() == 3; }));
  Client a4(port, "127.0.0.2");
  EXPECT_TRUE(served(a4));
  EXPECT_EQ(Server->Limits().Count(LimitKind::ConnectionsPerAddress), 2u);
  EXPECT_EQ(Server->Limits().Count(LimitKind::Connections), 1u);
}

// A blocking TLS client for the HTTPS tests: one GET, its status and body.
struct TlsAnswer {
  bool Connected = false;
  std::string Error;  // the handshake's or the exchange's failure
  unsigned Status = 0;
  std::string Body;
};
TlsAnswer TlsGet(uint16_t port, const std::string& caFile, const std::string& target,
                 int maxVersion = 0) {
  namespace asio = boost::asio;
  namespace ssl = asio::ssl;
  TlsAnswer a;
  asio::io_context io;
  ssl::context ctx(ssl::context::tls_client);
  ctx.load_verify_file(caFile);
  ctx.set_verify_mode(ssl::verify_peer);
  if (maxVersion) SSL_CTX_set_max_proto_version(ctx.native_handle(), maxVersion);
  ssl::stream<asio::ip::tcp::socket> stream(io, ctx);
  boost::system::error_code ec;
  stream.next_layer().connect({asio::ip::make_address("127.0.0.1"), port}, ec);
  if (ec) return a;
  a.Connected = true;
  timeval tv{10, 0};
  ::setsockopt(stream.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  stream.set_verify_callback(ssl::host_name_verification("127.0.0.1"));
  stream.handshake(ssl::stream_base::client, ec);
  if (ec) {
    a.Error = ec.message();
    return a;
  }
  http::request<http::string_body> req(http::verb::get, target, 11);
  req.set(http::field::host, "127.0.0.1");
  http::write(stream, req, ec);
  boost::beast::flat_buffer buffer;
  Response res;
  if (!ec) http::read(stream, buffer, res, ec);
  if (ec) {
    a.Error = ec.message();
    return a;
  }
  a.Status = res.result_int();
  a.Body = res.body();
  return a;
}

// HTTPS beside HTTP: the same sessions and methods, TLS 1.2 and 1.3 only;
// garbage and a flood of handshakes on the TLS port harm the plain
// transports in nothing.
TEST_F(RemoteMethodServerTest, HttpsBesideHttpAndItsHostileClientsHarmNobody) {
  appserver::testing::TempDir dir;
  const testing::TestCertificate cert = testing::MakeTestCertificate(dir.Path());
  if (!cert) GTEST_SKIP() << "openssl cannot make a certificate here";
  Options.HttpsPort = 0;
  Options.TlsCertificateFile = cert.Cert.string();
  Options.TlsKeyFile = cert.Key.string();
  Start();
  const uint16_t https = Server->HttpsPort();
  ASSERT_NE(https, 0);

  const TlsAnswer ok = TlsGet(https, cert.Cert.string(), "/datasnap/rest/TTest/Echo/%C3%A9");
  ASSERT_EQ(ok.Error, "");
  EXPECT_EQ(ok.Status, 200u);
  EXPECT_EQ(ok.Body, R"({"result":[2,"\u00e9",{"text":"\u00e9"}]})");
  const TlsAnswer old = TlsGet(https, cert.Cert.string(), "/datasnap/rest/TTest/Echo/a", TLS1_1_VERSION);
  EXPECT_TRUE(old.Connected);
  EXPECT_NE(old.Error, "") << "TLS 1.1 is refused";

  // Garbage, a plain HTTP request and a half handshake on the TLS port,
  // while a flood of handshakes runs: the plain transports answer on.
  std::atomic<bool> stop{false};
  std::atomic<int> handshakes{0};
  std::vector<std::thread> flood;
  for (int i = 0; i < 4; ++i)
    flood.emplace_back([&] {
      while (!stop) {
        if (TlsGet(https, cert.Cert.string(), "/datasnap/rest/TTest/GetStream").Status == 200) ++handshakes;
      }
    });
  for (const std::string& junk : {std::string("\x16\x03\x01\xff\xff garbage"),
                                  std::string("GET /datasnap/rest/TTest/GetStream HTTP/1.1\r\n\r\n"),
                                  std::string(4096, '\0')}) {
    Client c(https);
    ASSERT_TRUE(c.Connected());
    c.Write(junk);
    EXPECT_TRUE(c.WaitClosed()) << "the TLS port closes on what is not TLS";
  }
  Client half(https);
  half.Write(std::string("\x16\x03\x01\x00\x10", 5));  // a record that never comes whole
  for (int i = 0; i < 20; ++i) {
    Client plain(Server->HttpPort());
    EXPECT_EQ(plain.Send(http::verb::get, "/datasnap/rest/TTest/GetStream").result_int(), 200u);
  }
  stop = true;
  for (auto& t : flood) t.join();
  EXPECT_GT(handshakes.load(), 0);
  EXPECT_EQ(TlsGet(https, cert.Cert.string(), "/datasnap/rest/TTest/Echo/b").Status, 200u);
}

TEST_F(RemoteMethodServerTest, BusyPortFailsStart) {
  Start();
  Options.HttpPort = Server->HttpPort();
  RemoteMethodServer second(Methods.Build(), Options);
  EXPECT_THROW(second.Start(), Exception);
  EXPECT_FALSE(second.Running());
}

}  // namespace
}  // namespace brevalon
