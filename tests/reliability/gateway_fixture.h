// The gateway under test for the reliability tests: TMobileServer on loopback
// ports 0 in front of the reference application servers (in-process, port 0,
// demo seed), with a temporary data folder, plus a few raw-socket helpers for
// talking to it the way a broken or hostile client does.
//
// Each test owns one fixture; the helpers are used from the test's thread.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

// The built daemon `brevalon24 --console` on a data folder, listening on
// loopback ports chosen by the system (read from its "listening on" line).
// Standard output and error go to files beside the data folder, so that a
// test can read what the daemon wrote, also after it ended. An optional
// open-files limit is put on the child at once, before it serves anybody.
//
// Owned by the test's thread; the destructor kills a daemon still running.
class DaemonProcess {
 public:
  DaemonProcess(const fs::path& program, const fs::path& dataDir, const fs::path& outFile,
                const fs::path& errFile, std::optional<rlim_t> openFiles = std::nullopt)
      : FOutFile(outFile), FErrFile(errFile) {
    FOutStart = FileSize(outFile);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<std::string> args = {program.string(), "--console", "--data-dir", dataDir.string(),
                                     "--http-port",    "0",         "--tcp-port", "0",
                                     "--listen",       "127.0.0.1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (FPid > 0 && openFiles) {
      // Soft and hard, so that the daemon cannot raise it again.
      const rlimit limit{*openFiles, *openFiles};
      if (::prlimit(FPid, RLIMIT_NOFILE, &limit, nullptr) != 0) Kill();
    }
    if (FPid > 0) ReadPorts();
  }
  ~DaemonProcess() { Kill(); }
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  void Kill() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, &FStatus, 0);
    FPid = -1;
  }
  bool Signal(int sig) const { return FPid > 0 && ::kill(FPid, sig) == 0; }
  // Waits up to `limit` for the daemon to end; its wait status, or nothing
  // when it still runs.
  std::optional<int> WaitExit(std::chrono::milliseconds limit) {
    if (FPid <= 0) return FStatus;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      const pid_t r = ::waitpid(FPid, &status, WNOHANG);
      if (r == FPid) {
        FPid = -1;
        FStatus = status;
        return status;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // Whether the process still runs (it is not reaped here).
  bool Alive() const {
    if (FPid <= 0) return false;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(FPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }
  pid_t Pid() const { return FPid; }
  uint16_t HttpPort() const { return FHttpPort; }
  uint16_t TcpPort() const { return FTcpPort; }
  // What the daemon wrote to standard output since this object started it,
  // and its standard error (the whole file).
  std::string Output() const { return ReadFile(FOutFile).substr(FOutStart); }
  std::string Errors() const { return ReadFile(FErrFile); }

 private:
  static std::size_t FileSize(const fs::path& p) {
    std::error_code ec;
    const auto n = fs::file_size(p, ec);
    return ec ? 0 : static_cast<std::size_t>(n);
  }
  static std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // "... listening on 127.0.0.1: HTTP port N, TCP port M"
  void ReadPorts() {
    const std::regex line(R"(HTTP port (\d+), TCP port (\d+))");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline && Alive()) {
      const std::string text = Output();
      std::smatch m;
      if (std::regex_search(text, m, line)) {
        FHttpPort = static_cast<uint16_t>(std::stoi(m[1]));
        FTcpPort = static_cast<uint16_t>(std::stoi(m[2]));
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  fs::path FOutFile;
  fs::path FErrFile;
  std::size_t FOutStart = 0;
  pid_t FPid = -1;
  int FStatus = 0;
  uint16_t FHttpPort = 0;
  uint16_t FTcpPort = 0;
};

// A blocking loopback socket with a receive timeout; closes itself.
class RawSocket {
 public:
  // `from`: the loopback address to connect from (127.0.0.0/8 is all
  // loopback, so one machine plays many clients); empty = the system's choice.
  explicit RawSocket(uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                     const std::string& from = {}) {
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (FFd < 0) return;
    if (!from.empty()) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      if (::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
          ::bind(FFd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(FFd);
        FFd = -1;
        return;
      }
    }
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

  // What has arrived, waiting for some; empty on close, error or timeout.
  std::string ReadSome() {
    char buf[16384];
    const ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
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
