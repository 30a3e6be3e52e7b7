// The gateway under test for the reliability tests: TMobileServer on loopback
// ports 0 in front of the reference application servers (in-process, port 0,
// demo seed), with a temporary data folder, plus a few raw-socket helpers for
// talking to it the way a broken or hostile client does.
//
// Each test owns one fixture; the helpers are used from the test's thread.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "appserver/app_server.h"
#include "appserver/appserver_test_support.h"
#include "client/remote_calls.h"
#include "client/rest_transport.h"
#include "client/tcp_transport.h"
#include "server/event_log.h"
#include "server/mobile_server.h"
#include "session/session_logic.h"
#include "session/settings.h"

namespace brevalon::reliability {

namespace fs = std::filesystem;

// Every path under `root`, relative to it.
inline std::set<std::string> TreeOf(const fs::path& root) {
  std::set<std::string> paths;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    paths.insert(fs::relative(it->path(), root).string());
  }
  return paths;
}

// A blocking loopback socket with a receive timeout; closes itself.
class RawSocket {
 public:
  explicit RawSocket(uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (FFd < 0) return;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(FFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(FFd);
      FFd = -1;
    }
  }
  ~RawSocket() {
    if (FFd >= 0) ::close(FFd);
  }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  bool Connected() const { return FFd >= 0; }

  // False when the peer closed or reset the connection before all was sent.
  bool Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(FFd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Everything up to the peer's close (or the receive timeout; `closed` says
  // which).
  std::string ReadAll(bool* closed = nullptr) {
    std::string out;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
      if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (closed) *closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
      return out;
    }
  }

 private:
  int FFd = -1;
};

// GetTaskList for `uid` holding task list `version` (no correspondence).
inline client::MethodReply TaskList(client::ITransport& t, const std::string& uid, int32_t version = 0) {
  return client::CallRequestMethod(
      t, "GetTaskList", {{"FStUID", uid}, {"FNDataSetVersion", version}, {"FNIncommingCorrespVersion", 0}});
}

class GatewayFixture : public ::testing::Test {
 protected:
  // Options a test may change before StartGateway.
  RemoteServerOptions options;

  void SetUp() override {
    appserver::AppServerOptions o;
    o.db = dir.Path() / "demo.sqlite";
    o.seed = appserver::testing::DemoSeedPath();
    o.port = 0;
    backEnd = std::make_unique<appserver::AppServer>(o);
    backEnd->Start();
    SetCommonAppDataDir(DataDir().string());
    std::ofstream(GetSettingsDir() + kSettingsFileName, std::ios::trunc)
        << "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=127.0.0.1\n"
        << "[ServerConnect]\nServerPort=" << backEnd->Port() << "\n";
    options.Listen = "127.0.0.1";
    options.HttpPort = 0;
    options.TcpPort = 0;
  }

  void TearDown() override {
    server.reset();
    backEnd.reset();
    SetCommonAppDataDir("");
  }

  void StartGateway() {
    server = std::make_unique<TMobileServer>(
        options, ServerMethodsOptions{DefaultSessionLogicFactory(), log.Factory()});
    server->Start();
  }

  fs::path DataDir() const { return dir.Path() / "data"; }
  fs::path CacheDir() const { return fs::path(GetSettingsDir()) / "Cache"; }

  std::unique_ptr<client::RestTransport> Rest() {
    client::RestOptions o;
    o.Host = "127.0.0.1";
    o.Port = server->HttpPort();
    o.Timeout = std::chrono::seconds(30);
    return std::make_unique<client::RestTransport>(o);
  }
  std::unique_ptr<client::TcpTransport> Tcp() {
    client::TcpOptions o;
    o.Host = "127.0.0.1";
    o.Port = server->TcpPort();
    o.Timeout = std::chrono::seconds(30);
    return std::make_unique<client::TcpTransport>(o);
  }

  // A client that is served normally: the test stream over a fresh connection.
  void ExpectServed() {
    auto rest = Rest();
    EXPECT_EQ(client::GetStreamBytes(*rest), "eitupweirtpwietupwe");
  }

  appserver::testing::TempDir dir;
  std::unique_ptr<appserver::AppServer> backEnd;
  EventLogCapture log;
  std::unique_ptr<TMobileServer> server;
};

}  // namespace brevalon::reliability
