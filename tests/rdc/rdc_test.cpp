// The remote data connection end to end: RdcClient against RdcServer on
// 127.0.0.1 (port 0), and each of them against a hostile raw-socket peer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rdc/rdc_client.h"
#include "rdc/rdc_server.h"

namespace brevalon {
namespace {

using namespace std::chrono_literals;

const char kMainClass[] = "{392BA982-A82F-44AB-BA8A-69BE25199F73}";

// Lets a test hold a call inside the server.
struct Gate {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
};

// The scripted server object: a handful of operations that expose what the
// server received and write back what a test expects.
class ScriptedObject : public RdcSessionObject {
 public:
  explicit ScriptedObject(Gate* gate) : gate_(gate) {}

  Variant Call(const std::string& name, std::vector<Variant>& args, RdcCallContext& ctx) override {
    if (name == "Echo") return args.at(0);
    if (name == "Count") return Variant(static_cast<int32_t>(args.size()));
    if (name == "Counter") return Variant(++counter_);
    if (name == "Modes") {
      std::string modes;
      for (size_t i = 0; i < args.size(); ++i) modes += ctx.IsByRef(i) ? 'R' : 'V';
      return Variant(modes);
    }
    if (name == "Write") {
      // Writes into every argument; only references come back.
      for (Variant& a : args) {
        switch (a.Type()) {
          case VariantType::Text: a = Variant(a.AsString() + "!"); break;
          case VariantType::Int32: a = Variant(a.AsInteger() + 1); break;
          case VariantType::Double: a = Variant(a.AsDouble() * 2); break;
          case VariantType::Boolean: a = Variant(!a.AsBoolean()); break;
          default: a = Variant(std::vector<uint8_t>{1, 2, 3}); break;
        }
      }
      return Variant();
    }
    if (name == "WriteInt") {  // writes 123 into argument 0, whatever its kind
      args.at(0) = Variant(123);
      return Variant();
    }
    if (name == "WriteText") {
      args.at(0) = Variant("abc");
      return Variant();
    }
    if (name == "ApiError") {  // the error pair of the application-server contract
      args.at(args.size() - 2) = Variant(5);
      args.at(args.size() - 1) = Variant("Нет прав на объект");
      return Variant();
    }
    if (name == "Fail") throw Exception("Ошибка 000187CC:\r\nсервер баз данных недоступен");
    if (name == "Block") {  // answers whether the server is stopping by then
      gate_->entered.set_value();
      gate_->released.wait_for(30s);
      return Variant(ctx.Stopping());
    }
    throw ERdcUnknownName::ForName(name);
  }

  Variant GetProperty(const std::string& name, RdcCallContext& ctx) override {
    if (name == "ApplicationVersion") return Variant(20090306);
    if (name == "Identity") return Variant(ctx.Identity());
    throw ERdcUnknownName::ForName(name);
  }

 private:
  Gate* gate_;
  int32_t counter_ = 0;
};

class RdcTest : public ::testing::Test {
 protected:
  void StartServer(RdcServerOptions options = {}) {
    server_ = std::make_unique<RdcServer>(options);
    server_->RegisterClass(kMainClass, [this](const RdcSessionInfo&) { return std::make_unique<ScriptedObject>(&gate_); });
    server_->Start("127.0.0.1", 0);
  }

  RdcEndpoint Tcp() const {
    RdcEndpoint ep;
    ep.host = "127.0.0.1";
    ep.port = server_->Port();
    return ep;
  }

  std::unique_ptr<RdcClient> Connect(RdcClientOptions options = {}, const std::string& identity = "ivanov") {
    auto client = std::make_unique<RdcClient>(options);
    client->Open(Tcp(), kMainClass, identity);
    return client;
  }

  Gate gate_;
  std::unique_ptr<RdcServer> server_;
};

// Waits (generously) until `done` holds.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

// A raw TCP connection, for speaking (or not speaking) the protocol by hand.
class RawSocket {
 public:
  explicit RawSocket(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ADD_FAILURE() << "connect";
  }
  explicit RawSocket(int fd) : fd_(fd) {}
  ~RawSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  void Send(const std::string& bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
  // Reads until the peer closes (true) or 10 s pass (false); what came is in `got`.
  bool ReadUntilClosed(std::string* got = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return true;
      if (got) got->append(buf, static_cast<size_t>(n));
    }
    return false;
  }
  // Reads one whole frame (header included).
  std::string ReadFrame() {
    std::string f = ReadExact(4);
    if (f.size() < 4) return f;
    const uint32_t len = RdcReadFrameLength(reinterpret_cast<const unsigned char*>(f.data()));
    return f + ReadExact(len);
  }
  std::string ReadExact(size_t n) {
    std::string out;
    char buf[4096];
    while (out.size() < n) {
      const ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (got <= 0) break;
      out.append(buf, static_cast<size_t>(got));
    }
    return out;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

TEST_F(RdcTest, EveryArgumentKindRoundTrips) {
  StartServer();
  auto client = Connect();
  const std::vector<Variant> values = {
      Variant(),
      Variant::Null(),
      Variant(INT32_MIN),
      Variant(uint8_t{200}),
      Variant(true),
      Variant(45000.5),  // a date-time
      Variant("Привет, \"мир\"\r\n"),
      Variant(std::vector<int32_t>{0}),
      Variant(std::vector<uint8_t>(3 * 1024 * 1024 + 7, 0xAB)),  // a file block larger than one read
  };
  for (const Variant& v : values) {
    Variant ref = v;
    std::vector<RdcArg> by_value{RdcArg(v)};
    const Variant echoed = client->Call("Echo", by_value);
    EXPECT_EQ(echoed.Type(), v.Type()) << v.ToDebugString();
    EXPECT_EQ(echoed, v) << v.ToDebugString();
    std::vector<RdcArg> by_ref{RdcArg::Ref(ref)};
    EXPECT_EQ(client->Call("Echo", by_ref), v) << v.ToDebugString();
  }
  // The plain argument kinds of the proxies arrive as their variant kinds.
  std::vector<RdcArg> plain{int32_t{7}, true, 1.25, std::string("s"), "c"};
  for (size_t i = 0; i < plain.size(); ++i) {
    std::vector<RdcArg> one{plain[i]};
    const VariantType expected[] = {VariantType::Int32, VariantType::Boolean, VariantType::Double, VariantType::Text,
                                    VariantType::Text};
    EXPECT_EQ(client->Call("Echo", one).Type(), expected[i]);
  }
  std::vector<RdcArg> none;
  EXPECT_EQ(client->Call("Count", none), Variant(0));
}

TEST_F(RdcTest, ReferencesReceiveWhatTheServerWrote) {
  StartServer();
  auto client = Connect();

  Variant var_ref("v");
  std::string str_ref = "s";
  int32_t int_ref = 41;
  double dbl_ref = 1.5;
  bool bool_ref = true;
  std::string by_value = "unchanged";
  std::vector<RdcArg> args{RdcArg::Ref(var_ref), RdcArg::Ref(str_ref), RdcArg::Ref(int_ref), RdcArg::Ref(dbl_ref),
                           RdcArg::Ref(bool_ref), RdcArg(by_value), int32_t{1}};
  EXPECT_EQ(client->Call("Modes", args), Variant("RRRRRVV"));
  client->Call("Write", args);
  EXPECT_EQ(var_ref, Variant("v!"));
  EXPECT_EQ(str_ref, "s!");
  EXPECT_EQ(int_ref, 42);
  EXPECT_EQ(dbl_ref, 3.0);
  EXPECT_FALSE(bool_ref);
  EXPECT_EQ(by_value, "unchanged");

  // A variant reference takes any kind; a typed one keeps its kind.
  Variant empty;
  std::vector<RdcArg> write_empty{RdcArg::Ref(empty)};
  client->Call("Write", write_empty);
  EXPECT_EQ(empty, Variant(std::vector<uint8_t>{1, 2, 3}));
  std::string text;
  std::vector<RdcArg> int_into_text{RdcArg::Ref(text)};
  client->Call("WriteInt", int_into_text);
  EXPECT_EQ(text, "123");
  int32_t number = 5;
  std::vector<RdcArg> text_into_int{RdcArg::Ref(number)};
  EXPECT_THROW(client->Call("WriteText", text_into_int), ERdcCallFailure);
  EXPECT_EQ(number, 5);

  // The error pair: the given arguments first, then code and message by reference.
  Variant code, message;
  std::vector<RdcArg> api{int32_t{1}, "x", RdcArg::Ref(code), RdcArg::Ref(message)};
  client->Call("ApiError", api);
  EXPECT_EQ(code, Variant(5));
  EXPECT_EQ(message, Variant("Нет прав на объект"));
  EXPECT_TRUE(client->IsOpen());
}

TEST_F(RdcTest, PropertiesFailuresAndUnknownNamesKeepTheConnection) {
  StartServer();
  auto client = Connect({}, "DOMAIN\\ivanov");
  EXPECT_EQ(client->GetProperty("ApplicationVersion"), Variant(20090306));
  EXPECT_EQ(client->GetProperty("Identity"), Variant("DOMAIN\\ivanov"));

  std::vector<RdcArg> none;
  try {
    client->Call("Fail", none);
    ADD_FAILURE() << "no failure";
  } catch (const ERdcCallFailure& e) {
    EXPECT_EQ(e.Message(), "Ошибка 000187CC:\r\nсервер баз данных недоступен");
  }
  try {
    client->Call("NoSuchOperation", none);
    ADD_FAILURE() << "no failure";
  } catch (const ERdcUnknownName& e) {
    EXPECT_EQ(e.Message(), "Unknown name: NoSuchOperation");
  }
  EXPECT_THROW(client->GetProperty("NoSuchProperty"), ERdcUnknownName);
  EXPECT_TRUE(client->IsOpen());
  EXPECT_EQ(client->Call("Counter", none), Variant(1));

  client->Close();
  EXPECT_FALSE(client->IsOpen());
  EXPECT_THROW(client->Call("Counter", none), ERdcTransportFailure);
}

TEST_F(RdcTest, SignInToAServerClass) {
  StartServer();
  // Letter case of the GUID does not matter; the identity may be empty.
  RdcClient lower;
  lower.Open(Tcp(), "{392ba982-a82f-44ab-ba8a-69be25199f73}", "");
  EXPECT_EQ(lower.GetProperty("Identity"), Variant(""));

  RdcClient unknown;
  try {
    unknown.Open(Tcp(), "{3D7F4F8F-F8A2-4AC5-B9E7-48CBC7CD2749}", "x");
    ADD_FAILURE() << "opened";
  } catch (const ERdcTransportFailure& e) {
    EXPECT_NE(e.Message().find("is not registered"), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(unknown.IsOpen());

  // Each connection has its own server object.
  auto a = Connect();
  auto b = Connect();
  std::vector<RdcArg> none;
  a->Call("Counter", none);
  EXPECT_EQ(a->Call("Counter", none), Variant(2));
  EXPECT_EQ(b->Call("Counter", none), Variant(1));
}

TEST_F(RdcTest, ConnectRefused) {
  // A port that was free a moment ago.
  uint16_t port;
  {
    RdcServer probe;
    probe.Start("127.0.0.1", 0);
    port = probe.Port();
  }
  RdcEndpoint ep;
  ep.host = "127.0.0.1";
  ep.port = port;
  RdcClient client;
  EXPECT_THROW(client.Open(ep, kMainClass, ""), ERdcTransportFailure);
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(RdcTest, StopLetsTheRunningCallAnswerThenClosesEverythingAndJoins) {
  StartServer();
  auto busy = Connect();
  auto quiet = Connect();
  auto entered = gate_.entered.get_future();
  auto call = std::async(std::launch::async, [&] {
    std::vector<RdcArg> none;
    return busy->Call("Block", none);
  });
  ASSERT_EQ(entered.wait_for(10s), std::future_status::ready);
  auto stop = std::async(std::launch::async, [&] { server_->Stop(); });
  // No new sessions once stopping has begun...
  EXPECT_TRUE(Eventually([&] {
    RdcClient late;
    try {
      late.Open(Tcp(), kMainClass, "");
      return false;
    } catch (const ERdcTransportFailure&) {
      return true;
    }
  }));
  // ...but Stop waits for the call that is running, which learns of the stop.
  EXPECT_EQ(stop.wait_for(100ms), std::future_status::timeout);
  gate_.release.set_value();
  EXPECT_EQ(call.get(), Variant(true));
  ASSERT_EQ(stop.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(server_->ConnectionCount(), 0u);

  std::vector<RdcArg> none;
  for (RdcClient* c : {busy.get(), quiet.get()}) {
    EXPECT_THROW(c->Call("Counter", none), ERdcTransportFailure);
    EXPECT_FALSE(c->IsOpen());
  }
}

TEST_F(RdcTest, ASlowCallDoesNotStallOtherConnections) {
  RdcServerOptions options;
  options.handler_threads = 2;
  StartServer(options);
  auto slow = Connect();
  auto entered = gate_.entered.get_future();
  auto call = std::async(std::launch::async, [&] {
    std::vector<RdcArg> none;
    return slow->Call("Block", none);
  });
  ASSERT_EQ(entered.wait_for(10s), std::future_status::ready);
  // While one thread is held, new sessions open and others' calls go through.
  for (int i = 0; i < 5; ++i) {
    auto other = Connect();
    std::vector<RdcArg> none;
    EXPECT_EQ(other->Call("Counter", none), Variant(1));
  }
  gate_.release.set_value();
  EXPECT_EQ(call.get(), Variant(false));
}

TEST_F(RdcTest, ServerClosesConnectionsThatAreNotTheProtocol) {
  RdcServerOptions options;
  options.read_timeout = 200ms;
  StartServer(options);
  RdcHello hello;
  hello.server_class = kMainClass;
  struct Case {
    const char* what;
    std::string bytes;
    bool answer_expected;  // a failure frame before the close
  };
  const Case cases[] = {
      {"oversized length", std::string("\xFF\xFF\xFF\x7F", 4) + "xxxx", false},
      {"random bytes", std::string("\x10\x00\x00\x00\x55garbagegarbage!", 20), false},
      {"other protocol", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false},
      {"call before sign-in", RdcEncodeCall(RdcCallRequest{9, "Counter", {}}), true},
      {"answer frame from a client", RdcEncodeResult(RdcResult{1, Variant(), {}}), false},
      {"malformed call after sign-in", RdcEncodeHello(hello) + std::string("\x02\x00\x00\x00\x02\x01", 6), false},
      {"second sign-in", RdcEncodeHello(hello) + RdcEncodeHello(hello), true},
      {"half a frame, then silence", std::string("\x40\x00\x00\x00\x02", 5), false},
      {"nothing at all", "", false},
  };
  for (const Case& c : cases) {
    RawSocket raw(server_->Port());
    if (!c.bytes.empty()) raw.Send(c.bytes);
    std::string got;
    EXPECT_TRUE(raw.ReadUntilClosed(&got)) << c.what;
    if (c.answer_expected) {
      EXPECT_NE(got.find('\x83'), std::string::npos) << c.what;  // a Failure frame
    }
  }
  // And it still serves.
  auto client = Connect();
  std::vector<RdcArg> none;
  EXPECT_EQ(client->Call("Counter", none), Variant(1));
  EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 1; }));
}

TEST_F(RdcTest, PipelinedRequestsAreAnsweredInOrder) {
  StartServer();
  constexpr uint32_t kCalls = 5000;
  RdcHello hello;
  hello.server_class = kMainClass;
  std::string burst = RdcEncodeHello(hello);
  for (uint32_t i = 1; i <= kCalls; ++i) burst += RdcEncodeCall(RdcCallRequest{i, "Counter", {}});
  RawSocket raw(server_->Port());
  std::thread sender([&] { raw.Send(burst); });  // answers are read meanwhile
  EXPECT_EQ(RdcSplitFrame(raw.ReadFrame()).type, RdcFrameType::kHelloOk);
  for (uint32_t i = 1; i <= kCalls; ++i) {
    const std::string frame = raw.ReadFrame();
    const RdcResult r = RdcDecodeResult(RdcSplitFrame(frame).payload);
    ASSERT_EQ(r.call_id, i);
    ASSERT_EQ(r.result, Variant(static_cast<int32_t>(i)));
  }
  sender.join();
}

// A fake application server: accepts one connection, answers the sign-in
// properly and then answers the first request with `reply` (and closes, or
// stays silent until the test ends).
class HostileServer {
 public:
  HostileServer(std::string reply, bool close_after) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_fd_, 4);
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, reply = std::move(reply), close_after] {
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      RawSocket peer(fd);
      peer.ReadFrame();  // Hello
      peer.Send(RdcEncodeHelloOk(RdcHelloOk{}));
      peer.ReadFrame();  // the request
      if (!reply.empty()) ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      if (!close_after) done_.get_future().wait();
    });
  }
  ~HostileServer() {
    done_.set_value();
    ::shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    ::close(listen_fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int listen_fd_;
  uint16_t port_ = 0;
  std::promise<void> done_;
  std::thread thread_;
};

TEST(RdcClientTest, HostileServerAnswersAreTransportFailures) {
  struct Case {
    const char* what;
    std::string reply;
    bool close_after;
  };
  const Case cases[] = {
      {"garbage", "HTTP/1.1 400 Bad Request\r\n\r\n", false},
      {"oversized length", std::string("\xFF\xFF\xFF\x7F\x82", 5), false},
      {"nothing (call timeout)", "", false},
      {"closes without answer", "", true},
      {"closes mid-frame", std::string("\x40\x00\x00\x00\x82\x01", 6), true},
      {"answer to another call", RdcEncodeResult(RdcResult{999, Variant(), {}}), false},
      {"reference count mismatch", RdcEncodeResult(RdcResult{1, Variant(), {Variant(1)}}), false},
      {"malformed result", std::string("\x02\x00\x00\x00\x82\x01", 6), false},
      {"unknown failure kind", RdcEncodeResult(RdcResult{1, Variant(), {}}).replace(4, 1, "\x83"), false},
      {"session fault", RdcEncodeFailure(RdcFailure{1, RdcFailureKind::kSessionFault, "expired"}), false},
  };
  for (const Case& c : cases) {
    HostileServer fake(c.reply, c.close_after);
    RdcClientOptions options;
    options.call_timeout = 300ms;
    RdcClient client(options);
    RdcEndpoint ep;
    ep.host = "127.0.0.1";
    ep.port = fake.port();
    client.Open(ep, kMainClass, "");
    std::vector<RdcArg> none;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client.Call("X", none), ERdcTransportFailure) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << c.what;
    EXPECT_FALSE(client.IsOpen()) << c.what;
  }
}

// Forwards one connection to the server and keeps the first request line.
class RecordingProxy {
 public:
  explicit RecordingProxy(uint16_t target_port) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_fd_, 4);
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, target_port] {
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      RawSocket client(fd);
      RawSocket server(target_port);
      std::string seen;
      char buf[65536];
      for (;;) {
        pollfd p[2] = {{client.fd(), POLLIN, 0}, {server.fd(), POLLIN, 0}};
        if (::poll(p, 2, 100) < 0 || stop_) break;
        bool closed = false;
        for (int i = 0; i < 2; ++i) {
          if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
          const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
          if (n <= 0) {
            closed = true;
            break;
          }
          if (i == 0 && first_line_.empty()) {
            seen.append(buf, static_cast<size_t>(n));
            const size_t eol = seen.find("\r\n");
            if (eol != std::string::npos) {
              std::lock_guard<std::mutex> lock(mutex_);
              first_line_ = seen.substr(0, eol);
            }
          }
          ::send(p[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
        }
        if (closed) break;
      }
    });
  }
  ~RecordingProxy() {
    stop_ = true;
    ::shutdown(listen_fd_, SHUT_RDWR);
    thread_.join();
    ::close(listen_fd_);
  }
  uint16_t port() const { return port_; }
  std::string FirstLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_line_;
  }

 private:
  int listen_fd_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string first_line_;
  std::thread thread_;
};

TEST_F(RdcTest, HttpKindCarriesTheSameCalls) {
  StartServer();
  const std::string url = "http://127.0.0.1:" + std::to_string(server_->Port()) + "/rdc";
  RdcClient client;
  client.Open(RdcEndpoint::FromConnectionKind(2, url, 0), kMainClass, "petrov");
  EXPECT_EQ(server_->HttpSessionCount(), 1u);
  std::vector<RdcArg> none;
  EXPECT_EQ(client.Call("Counter", none), Variant(1));
  EXPECT_EQ(client.Call("Counter", none), Variant(2));  // the same server object across POSTs
  Variant code, message;
  std::vector<RdcArg> api{RdcArg::Ref(code), RdcArg::Ref(message)};
  client.Call("ApiError", api);
  EXPECT_EQ(code, Variant(5));
  EXPECT_EQ(client.GetProperty("Identity"), Variant("petrov"));
  EXPECT_THROW(client.Call("Nope", none), ERdcUnknownName);
  EXPECT_THROW(client.Call("Fail", none), ERdcCallFailure);
  EXPECT_TRUE(client.IsOpen());
  client.Close();
  EXPECT_EQ(server_->HttpSessionCount(), 0u);  // the session ended with the client

  // Through a forward proxy: an absolute URL to the proxy.
  RecordingProxy proxy(server_->Port());
  RdcClient proxied;
  proxied.Open(RdcEndpoint::FromConnectionKind(2, url, 0, "127.0.0.1", std::to_string(proxy.port())), kMainClass, "");
  EXPECT_EQ(proxied.Call("Counter", none), Variant(1));
  EXPECT_EQ(proxy.FirstLine(), "POST " + url + " HTTP/1.1");
}

// A batch answers each call by itself, in order, whatever the others did:
// over TCP in one exchange (the server gathers the answers into one write),
// over HTTP one call after another. The connection stays usable.
TEST_F(RdcTest, BatchAnswersEachCallInOrderOverBothKinds) {
  StartServer();
  const std::string url = "http://127.0.0.1:" + std::to_string(server_->Port()) + "/rdc";
  for (const bool http : {false, true}) {
    SCOPED_TRACE(http ? "HTTP" : "TCP");
    RdcClient client;
    client.Open(http ? RdcEndpoint::FromConnectionKind(2, url, 0) : Tcp(), kMainClass, "ivanov");
    std::vector<RdcArg> none1, none2, none3, none4;
    std::string text = "x";
    std::vector<RdcArg> write{RdcArg::Ref(text)};
    Variant code, message;
    std::vector<RdcArg> api{RdcArg::Ref(code), RdcArg::Ref(message)};
    std::vector<RdcBatchCall> batch = {{"Counter", &none1}, {"Fail", &none2}, {"Write", &write},
                                       {"Nope", &none3},    {"ApiError", &api}, {"Counter", &none4}};
    const std::vector<RdcBatchAnswer> answers = client.CallBatch(batch);
    ASSERT_EQ(answers.size(), batch.size());
    EXPECT_EQ(answers[0].result, Variant(1));
    EXPECT_FALSE(answers[0].failure);
    EXPECT_THROW(std::rethrow_exception(answers[1].failure), ERdcCallFailure);
    EXPECT_FALSE(answers[2].failure);
    EXPECT_EQ(text, "x!");
    EXPECT_THROW(std::rethrow_exception(answers[3].failure), ERdcUnknownName);
    EXPECT_EQ(code, Variant(5));
    EXPECT_EQ(answers[5].result, Variant(2));
    EXPECT_TRUE(client.IsOpen());
    std::vector<RdcArg> none;
    EXPECT_EQ(client.Call("Counter", none), Variant(3));
    std::vector<RdcBatchCall> empty;
    EXPECT_TRUE(client.CallBatch(empty).empty());
  }
}

TEST_F(RdcTest, ExpiredHttpSessionIsATransportFailure) {
  RdcServerOptions options;
  options.http_session_timeout = 50ms;
  StartServer(options);
  RdcClient client;
  client.Open(RdcEndpoint::FromUrl("127.0.0.1:" + std::to_string(server_->Port())), kMainClass, "");
  ASSERT_TRUE(Eventually([&] { return server_->HttpSessionCount() == 0; }));
  std::vector<RdcArg> none;
  EXPECT_THROW(client.Call("Counter", none), ERdcTransportFailure);
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(RdcTest, ManyConcurrentClients) {
  RdcServerOptions options;
  options.handler_threads = 2;
  StartServer(options);
  constexpr int kThreads = 10;
  constexpr int kClientsPerThread = 20;
  constexpr int kCalls = 10;
  std::barrier all_open(kThreads + 1);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      std::vector<std::unique_ptr<RdcClient>> clients;
      try {
        for (int i = 0; i < kClientsPerThread; ++i) clients.push_back(Connect());
      } catch (const std::exception&) {
        ++failures;
      }
      all_open.arrive_and_wait();
      all_open.arrive_and_wait();
      for (int n = 1; n <= kCalls; ++n) {
        for (auto& c : clients) {
          std::vector<RdcArg> none;
          try {
            // Each connection's calls run in order on its own object.
            if (c->Call("Counter", none) != Variant(n)) ++failures;
          } catch (const std::exception&) {
            ++failures;
          }
        }
      }
    });
  }
  all_open.arrive_and_wait();
  EXPECT_EQ(server_->ConnectionCount(), size_t{kThreads * kClientsPerThread});
  all_open.arrive_and_wait();
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
}

TEST(RdcEndpointTest, ConnectionKinds) {
  RdcEndpoint dcom = RdcEndpoint::FromConnectionKind(0, "appsrv", 211);
  EXPECT_EQ(dcom.transport, RdcEndpoint::Transport::kTcp);
  EXPECT_EQ(dcom.host, "appsrv");
  EXPECT_EQ(dcom.port, kRdcActivationPort);

  RdcEndpoint socket = RdcEndpoint::FromConnectionKind(1, "10.0.0.5", 211);
  EXPECT_EQ(socket.host, "10.0.0.5");
  EXPECT_EQ(socket.port, 211);

  struct Url {
    std::string url, host;
    uint16_t port;
    std::string path;
  };
  const Url urls[] = {
      {"http://appsrv/rdc/main", "appsrv", 80, "/rdc/main"},
      {"HTTP://appsrv:8080", "appsrv", 8080, "/"},
      {"appsrv:81/x?y=1", "appsrv", 81, "/x?y=1"},
      {"http://[::1]:9000/", "::1", 9000, "/"},
  };
  for (const Url& u : urls) {
    const RdcEndpoint ep = RdcEndpoint::FromConnectionKind(2, u.url, 0);
    EXPECT_EQ(ep.transport, RdcEndpoint::Transport::kHttp) << u.url;
    EXPECT_EQ(ep.host, u.host) << u.url;
    EXPECT_EQ(ep.port, u.port) << u.url;
    EXPECT_EQ(ep.http_path, u.path) << u.url;
    EXPECT_TRUE(ep.proxy_host.empty()) << u.url;
  }
  const RdcEndpoint proxied = RdcEndpoint::FromConnectionKind(2, "http://a/", 0, "proxy", "3128");
  EXPECT_EQ(proxied.proxy_host, "proxy");
  EXPECT_EQ(proxied.proxy_port, 3128);
  // The proxy is used only when both fields are given.
  EXPECT_TRUE(RdcEndpoint::FromConnectionKind(2, "http://a/", 0, "proxy", "").proxy_host.empty());
  EXPECT_TRUE(RdcEndpoint::FromConnectionKind(2, "http://a/", 0, "", "3128").proxy_host.empty());

  struct Bad {
    int kind;
    std::string server;
    int port;
    std::string proxy_port;
  };
  const Bad must_reject[] = {
      {-1, "a", 1, ""},          {3, "a", 1, ""},           {1, "", 211, ""},
      {1, "a", 0, ""},           {1, "a", 65536, ""},       {2, "https://a/", 0, ""},
      {2, "http://:80/", 0, ""}, {2, "http://a:x/", 0, ""}, {2, "http://a/", 0, "31x8"},
      {2, "http://u@a/", 0, ""}, {2, "http://a/b c", 0, ""},
  };
  for (const Bad& b : must_reject) {
    EXPECT_THROW(RdcEndpoint::FromConnectionKind(b.kind, b.server, b.port, "proxy", b.proxy_port),
                 ERdcTransportFailure)
        << b.kind << " " << b.server;
  }
}

}  // namespace
}  // namespace brevalon
