// The built daemon under pressure: stopped with SIGTERM while many sessions
// are calling (some of them on a slow back end), and run out of descriptors.
// A stop must end every call with an answer or a closed connection and end
// the process with 0 in time, every thread joined; running out of
// descriptors must never end the process, and once descriptors are free
// again clients are served as before.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <boost/json.hpp>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "remoting/session_manager.h"
#include "reliability/gateway_fixture.h"

namespace brevalon::reliability {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A loopback TCP relay in front of the application servers. Every
// `slowEvery`-th connection it accepts holds back each chunk the server
// answers by `delay`, so that calls of those sessions take a while.
class SlowRelay {
 public:
  SlowRelay(uint16_t upstream, int slowEvery, std::chrono::milliseconds delay)
      : FUpstream(upstream), FSlowEvery(slowEvery), FDelay(delay) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(FListen, 128) != 0 ||
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    FPort = ntohs(addr.sin_port);
    FAcceptor = std::thread([this] { AcceptLoop(); });
  }
  ~SlowRelay() {
    FStopping = true;
    if (FListen >= 0) ::shutdown(FListen, SHUT_RDWR);
    if (FAcceptor.joinable()) FAcceptor.join();
    std::vector<std::thread> pumps;
    {
      std::lock_guard lock(FMutex);
      for (int fd : FFds) ::shutdown(fd, SHUT_RDWR);
      pumps = std::move(FPumps);
    }
    for (auto& t : pumps) t.join();
    for (int fd : FFds) ::close(fd);
    if (FListen >= 0) ::close(FListen);
  }
  SlowRelay(const SlowRelay&) = delete;
  SlowRelay& operator=(const SlowRelay&) = delete;

  uint16_t Port() const { return FPort; }
  // Answers being held back right now.
  int Holding() const { return FHolding; }

 private:
  void AcceptLoop() {
    for (int n = 0; !FStopping; ++n) {
      const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(FUpstream);
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(client);
        if (server >= 0) ::close(server);
        continue;
      }
      const bool slow = FSlowEvery > 0 && n % FSlowEvery == 0;
      std::lock_guard lock(FMutex);
      FFds.push_back(client);
      FFds.push_back(server);
      FPumps.emplace_back([this, client, server] { Pump(client, server, false); });
      FPumps.emplace_back([this, client, server, slow] { Pump(server, client, slow); });
    }
  }

  void Pump(int from, int to, bool slow) {
    char buf[64 * 1024];
    for (;;) {
      const ssize_t n = ::recv(from, buf, sizeof buf, 0);
      if (n <= 0) break;
      if (slow) {
        ++FHolding;
        std::this_thread::sleep_for(FDelay);
        --FHolding;
      }
      ssize_t sent = 0;
      while (sent < n) {
        const ssize_t m = ::send(to, buf + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
        if (m <= 0) break;
        sent += m;
      }
      if (sent < n) break;
    }
    ::shutdown(to, SHUT_WR);
    ::shutdown(from, SHUT_RD);
  }

  const uint16_t FUpstream;
  const int FSlowEvery;
  const std::chrono::milliseconds FDelay;
  int FListen = -1;
  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FHolding{0};
  std::thread FAcceptor;
  std::mutex FMutex;  // guards FFds and FPumps
  std::vector<int> FFds;
  std::vector<std::thread> FPumps;
};

// A session object whose Close waits (up to a bound) until every one of
// `expected` objects is closing at the same time.
class MeetingObject : public SessionObject {
 public:
  struct Room {
    std::mutex Mutex;
    std::condition_variable Changed;
    int Closing = 0;
    int Met = 0;
  };
  MeetingObject(Room& room, int expected) : FRoom(room), FExpected(expected) {}
  void Close() override {
    std::unique_lock lock(FRoom.Mutex);
    if (FClosed) return;
    FClosed = true;
    ++FRoom.Closing;
    FRoom.Changed.notify_all();
    if (FRoom.Changed.wait_for(lock, 3s, [&] { return FRoom.Closing >= FExpected; })) ++FRoom.Met;
  }

 private:
  Room& FRoom;
  const int FExpected;
  bool FClosed = false;  // guarded by FRoom.Mutex
};

// Ending every session at shutdown: a close waits for the call its worker
// runs, so the sessions are closed side by side (here each close returns only
// once all are closing); and no session can be opened behind it.
TEST(SessionShutdownTest, EndAllClosesSessionsSideBySideAndRefusesNewOnes) {
  constexpr int kSessions = 8;
  MeetingObject::Room room;
  SessionManager sessions(SessionManager::Options{});
  std::vector<std::string> ids;
  for (int i = 0; i < kSessions; ++i) {
    auto lease = sessions.Open(true);
    ASSERT_TRUE(lease);
    lease.Session().FindOrCreate("worker",
                                 [&] { return std::make_shared<MeetingObject>(room, kSessions); });
    ids.push_back(lease.Session().Id());
  }
  sessions.EndAll();
  EXPECT_EQ(room.Met, kSessions) << "sessions were closed one after another";
  EXPECT_EQ(sessions.Count(), 0u);
  EXPECT_FALSE(sessions.Open(true));
  EXPECT_FALSE(sessions.Open(false));
  for (const auto& id : ids) EXPECT_FALSE(sessions.Use(id, true));
}

const char* const kLogins[] = {"ivanov", "petrova", "sidorov", "kuznetsova"};

// What a sanitizer, the C++ runtime or the daemon's own exit check writes
// when something went wrong.
const char* const kCrashMarks[] = {
    "Sanitizer",    "runtime error:", "terminate called", "threads still running",
    "Segmentation", "Aborted"};

class ShutdownTest : public GatewayFixture {
 protected:
  void SetUp() override {
    GatewayFixture::SetUp();
    program = fs::path(BREVALON_BIN_DIR) / "brevalon24";
    if (!fs::exists(program)) GTEST_SKIP() << program << " is not built";
  }

  // Points the daemon's settings at `port` with the given call timeout.
  void WriteSettings(uint16_t port, int callTimeoutMs) {
    std::ofstream(GetSettingsDir() + kSettingsFileName, std::ios::trunc)
        << "[General]\nConnectionType=SOCKET\nCallTimeoutMs=" << callTimeoutMs
        << "\nConnectTimeoutMs=5000\n[SOCKET]\nServerName=127.0.0.1\n"
        << "[ServerConnect]\nServerPort=" << port << "\n";
  }

  std::unique_ptr<DaemonProcess> StartDaemon(std::optional<rlim_t> openFiles = std::nullopt) {
    return std::make_unique<DaemonProcess>(program, DataDir(), dir.Path() / "daemon-out.txt",
                                           dir.Path() / "daemon-err.txt", openFiles);
  }

  static std::unique_ptr<client::ITransport> Client(const DaemonProcess& d, bool tcp,
                                                    std::chrono::milliseconds timeout) {
    if (tcp) {
      client::TcpOptions o;
      o.Port = d.TcpPort();
      o.Timeout = timeout;
      return std::make_unique<client::TcpTransport>(o);
    }
    client::RestOptions o;
    o.Port = d.HttpPort();
    o.Timeout = timeout;
    return std::make_unique<client::RestTransport>(o);
  }

  static void ExpectCleanOutput(const DaemonProcess& d) {
    const std::string err = d.Errors();
    for (const char* mark : kCrashMarks) EXPECT_EQ(err.find(mark), std::string::npos) << err;
  }

  fs::path program;
};

// One client's view of the stop.
struct ClientRecord {
  int answered = 0;             // calls answered (any return code)
  int failedBeforeStop = 0;     // calls that did not answer 0 before SIGTERM
  int unexpectedAfterStop = 0;  // answers other than 0 or 1 after SIGTERM
  bool ended = false;           // the client's last call ended (answer or close)
  bool timedOut = false;        // a call ran into the client's own timeout
  Clock::time_point end{};
  std::string lastError;
};

TEST_F(ShutdownTest, SigtermUnderLoadEndsEveryCallAndExitsCleanlyInTime) {
  constexpr int kSessions = 30;
  constexpr int kCallTimeoutMs = 3000;
  // Every third back-end connection answers 400 ms late: a list fetch of
  // such a session takes a second or two, well inside one call timeout.
  SlowRelay relay(backEnd->Port(), 3, 400ms);
  ASSERT_NE(relay.Port(), 0);
  WriteSettings(relay.Port(), kCallTimeoutMs);
  auto daemon = StartDaemon();
  ASSERT_NE(daemon->HttpPort(), 0) << daemon->Output() << daemon->Errors();

  std::atomic<bool> stopSent{false};
  std::atomic<int> signedIn{0}, calls{0};
  std::vector<ClientRecord> records(kSessions);
  std::vector<std::thread> clients;
  for (int i = 0; i < kSessions; ++i) {
    clients.emplace_back([&, i] {
      ClientRecord& r = records[static_cast<std::size_t>(i)];
      // The client's own timeout is far beyond any bound of the daemon: a
      // call that runs into it is a hang.
      auto t = Client(*daemon, i % 3 == 2, 60s);
      const std::string login = kLogins[i % 4];
      const std::string uid = "stop-" + std::to_string(i);
      try {
        client::SignIn(*t, "demo", login, login + "1", "");
        ++signedIn;
        for (int n = 0;; ++n) {
          const bool afterStop = stopSent;
          client::MethodReply reply;
          if (n % 3 == 0)
            reply = TaskList(*t, uid);
          else if (n % 3 == 1)
            reply = client::CallRequestMethod(*t, "GetUserList",
                                              {{"FStUID", uid}, {"FNDataSetVersion", 0}});
          else
            reply = client::CallRequestMethod(*t, "SearchDocuments", {{"FSearchString", "Вал"}});
          ++r.answered;
          ++calls;
          if (!afterStop && reply.ReturnCode != 0) {
            ++r.failedBeforeStop;
            r.lastError = reply.Message;
          }
          if (afterStop && reply.ReturnCode != 0 && reply.ReturnCode != 1) ++r.unexpectedAfterStop;
        }
      } catch (const std::exception& e) {
        r.lastError = e.what();
        r.timedOut = r.lastError.find("imed out") != std::string::npos ||
                     r.lastError.find("imeout") != std::string::npos;
      }
      r.end = Clock::now();
      r.ended = true;
    });
  }

  // Every session signed in and calls well under way, then the stop.
  const auto loadDeadline = Clock::now() + 60s;
  while ((signedIn < kSessions || calls < 3 * kSessions) && Clock::now() < loadDeadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(signedIn.load(), kSessions);
  const int callsBeforeStop = calls;
  const int slowInFlight = relay.Holding();
  stopSent = true;
  const auto stopAt = Clock::now();
  ASSERT_TRUE(daemon->Signal(SIGTERM));
  // 2000 ms wait, then each worker finishes its call (at most one call
  // timeout), plus room for a loaded machine and sanitizers.
  const auto bound = std::chrono::milliseconds(2000 + kCallTimeoutMs + 4000);
  const std::optional<int> status = daemon->WaitExit(bound + 30s);
  const auto stoppedAfter =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopAt);
  for (auto& c : clients) c.join();

  ASSERT_TRUE(status.has_value()) << "the daemon did not end after SIGTERM";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
  EXPECT_LE(stoppedAfter, bound);
  EXPECT_GE(stoppedAfter, 2000ms) << "the stop waits 2000 ms";
  ExpectCleanOutput(*daemon);
  EXPECT_NE(daemon->Output().find("stopped"), std::string::npos) << daemon->Output();

  int answered = 0;
  for (int i = 0; i < kSessions; ++i) {
    const ClientRecord& r = records[static_cast<std::size_t>(i)];
    SCOPED_TRACE("client " + std::to_string(i) + ": " + r.lastError);
    answered += r.answered;
    EXPECT_TRUE(r.ended);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.failedBeforeStop, 0);
    EXPECT_EQ(r.unexpectedAfterStop, 0);
    // The call in flight ended (answer or close) by the time the process
    // was gone at the latest.
    EXPECT_LE(r.end - stopAt, stoppedAfter + 1s);
  }
  EXPECT_GT(slowInFlight, 0) << "no slow back-end call was under way at the stop";
  RecordProperty("calls_before_stop", callsBeforeStop);
  RecordProperty("stop_ms", static_cast<int>(stoppedAfter.count()));
  std::printf(
      "SIGTERM under load: %d calls before the stop (%d slow back-end answers held then), %d "
      "answered in all, exit after %lld ms\n",
      callsBeforeStop, slowInFlight, answered, static_cast<long long>(stoppedAfter.count()));
}

TEST_F(ShutdownTest, OutOfDescriptorsTheDaemonStaysUpAndServesAgainOnceFreed) {
#if defined(BREVALON_ASAN)
  // The sanitized build also checks virtual calls (UBSan's vptr check), and
  // that check probes memory through a pipe: out of descriptors it fails and
  // reports every virtual call as one on a broken object.
  GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
  WriteSettings(backEnd->Port(), 10000);
  // A connection holds one descriptor of the daemon, a signed-in session two
  // more (its back-end connections): with a low limit a few dozen clients
  // use it up. BREVALON_FD_LIMIT runs the same on a bigger scale.
  const char* limitText = std::getenv("BREVALON_FD_LIMIT");
  const rlim_t openFiles = limitText ? std::max(64, std::atoi(limitText)) : 96;
  auto daemon = StartDaemon(openFiles);
  ASSERT_NE(daemon->HttpPort(), 0) << daemon->Output() << daemon->Errors();

  // Connections until the daemon has no descriptor left for the next one:
  // that one is accepted and closed at once, never left hanging.
  std::vector<std::unique_ptr<client::ITransport>> held;
  std::string refusal;
  for (int i = 0; refusal.empty() && i < static_cast<int>(openFiles); ++i) {
    auto t = Client(*daemon, i % 2 == 1, 10s);
    const auto started = Clock::now();
    try {
      EXPECT_EQ(client::GetStreamBytes(*t), "eitupweirtpwietupwe");
      held.push_back(std::move(t));
    } catch (const std::exception& e) {
      refusal = e.what();
      EXPECT_LT(Clock::now() - started, 5s) << refusal;
    }
  }
  ASSERT_FALSE(refusal.empty()) << "the limit was never reached";
  ASSERT_TRUE(daemon->Alive()) << daemon->Errors();

  // A few descriptors free again, then every held client signs in: the
  // first get their back-end connections, the others answer 1 with the
  // reason, promptly.
  for (int i = 0; i < 4; ++i) held.erase(held.begin());
  int signedIn = 0, answered1 = 0;
  std::string reason;
  for (auto& t : held) {
    const auto started = Clock::now();
    const std::string login = kLogins[signedIn % 4];
    client::MethodReply reply;
    try {
      reply = client::CallRequestMethod(
          *t, "ConnectToDB",
          {{"FDBName", "demo"}, {"FUser", login}, {"FDomain", ""}, {"FPassword", login + "1"}});
    } catch (const std::exception& e) {
      FAIL() << e.what() << "; daemon " << (daemon->Alive() ? "running" : "gone") << "\n"
             << daemon->Errors();
    }
    EXPECT_LT(Clock::now() - started, 5s);
    if (reply.ReturnCode == 0) {
      ++signedIn;
    } else {
      ++answered1;
      reason = reply.Message;
      EXPECT_EQ(reply.ReturnCode, 1) << reply.Message;
      EXPECT_NE(reply.Message.find("Too many open files"), std::string::npos) << reply.Message;
    }
  }
  EXPECT_GT(answered1, 0);
  ASSERT_TRUE(daemon->Alive()) << daemon->Errors();
  const std::size_t heldCount = held.size();

  // Free the descriptors: TCP sessions end with their connection, HTTP
  // sessions are closed where their connection still stands.
  for (auto& t : held) {
    if (auto* rest = dynamic_cast<client::RestTransport*>(t.get())) {
      try {
        if (rest->Connected()) rest->EndSession();
      } catch (const std::exception&) {
      }
    }
    t.reset();
  }
  ASSERT_TRUE(daemon->Alive()) << daemon->Errors();

  // Served again: a new client signs in and fetches its list, on both
  // transports.
  for (const bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "TCP" : "HTTP");
    const auto deadline = Clock::now() + 20s;
    bool ok = false;
    std::string last;
    while (!ok && Clock::now() < deadline) {
      try {
        auto t = Client(*daemon, tcp, 10s);
        client::SignIn(*t, "demo", "ivanov", "ivanov1", "");
        ok = TaskList(*t, "after-exhaustion").ReturnCode == 0;
      } catch (const std::exception& e) {
        last = e.what();
        std::this_thread::sleep_for(100ms);
      }
    }
    EXPECT_TRUE(ok) << last;
  }
  ASSERT_TRUE(daemon->Signal(SIGTERM));
  const std::optional<int> status = daemon->WaitExit(30s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status;
  ExpectCleanOutput(*daemon);
  std::printf("descriptor limit %d: %zu connections held, then %d signed in, %d answered 1 (%s)\n",
              static_cast<int>(openFiles), heldCount, signedIn, answered1, reason.c_str());
}

}  // namespace
}  // namespace brevalon::reliability
