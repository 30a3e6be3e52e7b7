#include "server/service.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <boost/asio/ip/tcp.hpp>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "appserver/appserver_test_support.h"
#include "http_test_client.h"
#include "remoting/test_certificate.h"
#include "session/settings.h"

namespace brevalon {
namespace {

namespace fs = std::filesystem;
using appserver::testing::TempDir;

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class ServiceTest : public ::testing::Test {
 protected:
  void TearDown() override { SetCommonAppDataDir(""); }

  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "brevalon24");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    out.str("");
    err.str("");
    return RunService(static_cast<int>(argv.size()), argv.data(), out, err, hooks);
  }
  void WriteSettings(const std::string& text) {
    SetCommonAppDataDir(data().string());
    std::ofstream(GetSettingsDir() + kSettingsFileName, std::ios::trunc) << text;
  }
  fs::path data() const { return dir.Path() / "data"; }

  TempDir dir;
  ServiceHooks hooks;
  std::ostringstream out;
  std::ostringstream err;
  std::vector<std::vector<std::string>> systemctlCalls;
};

TEST_F(ServiceTest, InstallAndUninstallManageTheUnit) {
  hooks.SelfPath = "/opt/brevalon/bin/brevalon24";
  hooks.Systemctl = [&](const std::vector<std::string>& args) {
    systemctlCalls.push_back(args);
    return 0;
  };
  const fs::path unit = dir.Path() / "brevalon24.service";

  ASSERT_EQ(Run({"install", "--unit-dir", dir.Path().string(), "--data-dir", data().string(),
                 "--http-port", "9090"}),
            0)
      << err.str();
  const std::string text = ReadFile(unit);
  EXPECT_NE(text.find("Description=Brevalon:24\n"), std::string::npos) << text;
  EXPECT_NE(text.find("ExecStart=/opt/brevalon/bin/brevalon24 --data-dir " + data().string() +
                      " --http-port 9090\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Restart=on-failure\n"), std::string::npos);
  EXPECT_NE(text.find("LimitNOFILE=65536\n"), std::string::npos);
  EXPECT_NE(text.find("Type=simple\n"), std::string::npos);
  // Its own user, one capability, and the folder it writes is the data folder.
  for (const char* line : {"User=brevalon24\n", "AmbientCapabilities=CAP_NET_BIND_SERVICE\n",
                           "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n", "NoNewPrivileges=yes\n",
                           "ProtectSystem=strict\n", "PrivateTmp=yes\n", "ProtectHome=yes\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_NE(text.find("ReadWritePaths=" + (data() / "QUORV" / "BrevalonMobile").string() + "\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(ReadFile(dir.Path() / "brevalon24.conf"),
            "# The system user of the Brevalon:24 gateway.\nu brevalon24 - \"Brevalon:24 mobile gateway\" - -\n");
  EXPECT_NE(out.str().find("installed"), std::string::npos);
  EXPECT_EQ(systemctlCalls.back(), (std::vector<std::string>{"enable", "brevalon24.service"}));

  systemctlCalls.clear();
  ASSERT_EQ(Run({"UnInstall", "SILENT", "--unit-dir", dir.Path().string()}), 0) << err.str();
  EXPECT_FALSE(fs::exists(unit));
  EXPECT_EQ(out.str(), "") << "SILENT suppresses the confirmation";
  EXPECT_EQ(systemctlCalls.front(), (std::vector<std::string>{"disable", "brevalon24.service"}));

  EXPECT_EQ(Run({"INSTALL", "/silent", "--unit-dir", dir.Path().string()}), 0);
  EXPECT_EQ(out.str(), "");
  EXPECT_TRUE(fs::exists(unit));
}

TEST_F(ServiceTest, WithoutSystemctlHookAPrivateUnitDirNeverCallsSystemctl) {
  hooks.SelfPath = "/usr/bin/brevalon24";
  ASSERT_EQ(Run({"INSTALL", "--unit-dir", dir.Path().string()}), 0) << err.str();
  EXPECT_TRUE(fs::exists(dir.Path() / "brevalon24.service"));
  EXPECT_NE(out.str().find("systemctl was not called"), std::string::npos);
  ASSERT_EQ(Run({"UNINSTALL", "--unit-dir", dir.Path().string()}), 0) << err.str();
  EXPECT_FALSE(fs::exists(dir.Path() / "brevalon24.service"));
}

TEST_F(ServiceTest, BadCommandLinesAreRefused) {
  EXPECT_EQ(Run({"REINSTALL"}), 2);
  EXPECT_NE(err.str().find("unknown switch"), std::string::npos);
  EXPECT_EQ(Run({"INSTALL", "UNINSTALL"}), 2);
  EXPECT_NE(Run({"--http-port", "70000"}), 0);
  EXPECT_EQ(Run({"INSTALL", "--unit-dir", (dir.Path() / "missing" / "dir").string()}), 1);
  EXPECT_NE(err.str().find("can not write"), std::string::npos);
}

// The sandbox as systemd rates it. Needs systemd-analyze (no running
// systemd): without it the test says so and is skipped.
TEST_F(ServiceTest, TheInstalledUnitVerifiesAndIsRatedSafe) {
  if (std::system("systemd-analyze --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed";
  hooks.SelfPath = BREVALON_BIN_DIR "/brevalon24";  // verify wants a program that is there
  ASSERT_EQ(Run({"INSTALL", "SILENT", "--unit-dir", dir.Path().string()}), 0) << err.str();
  const std::string unit = (dir.Path() / "brevalon24.service").string();
  EXPECT_NE(ReadFile(unit).find("StateDirectory=QUORV/BrevalonMobile\n"), std::string::npos)
      << "the default data folder is systemd's to make";
  const fs::path report = dir.Path() / "security.txt";
  const std::string command = "systemd-analyze security --offline=true --no-pager " + unit + " >" +
                              report.string() + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(report);
  const std::string text = ReadFile(report);
  const auto at = text.find("Overall exposure level for brevalon24.service: ");
  ASSERT_NE(at, std::string::npos) << text;
  const double exposure = std::stod(text.substr(at + 48));
  EXPECT_LE(exposure, 2.5) << text;
  const std::string verify = "systemd-analyze verify " + unit + " >" + report.string() + " 2>&1";
  EXPECT_EQ(std::system(verify.c_str()), 0) << ReadFile(report);
}

TEST(ServiceUnitFile, ExecStartWordsStayLiteralForSystemd) {
  const struct {
    std::vector<std::string> Words;
    std::string ExecStart;
  } cases[] = {
      {{"/usr/bin/brevalon24"}, "/usr/bin/brevalon24"},
      {{"/opt/my apps/brevalon24", "--data-dir", "/srv/100%"},
       R"("/opt/my apps/brevalon24" --data-dir "/srv/100%%")"},
      {{"/a/b", "--listen", "$HOST"}, R"(/a/b --listen "$$HOST")"},
      {{"/a\"b\\c"}, R"("/a\"b\\c")"},
  };
  for (const auto& c : cases) {
    const std::string text = BuildUnitFile(c.Words);
    EXPECT_NE(text.find("\nExecStart=" + c.ExecStart + "\n"), std::string::npos) << text;
  }
  EXPECT_THROW(BuildUnitFile({"/a/b\nExecStartPre=/bin/evil"}), Exception);
}

TEST_F(ServiceTest, RefusesToStartWithoutAServerHost) {
  hooks.NextCommand = [] { return ServiceCommand::Stop; };
  WriteSettings("[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=  \n");
  EXPECT_EQ(Run({"--console", "--data-dir", data().string(), "--http-port", "0", "--tcp-port", "0"}), 1);
  EXPECT_NE(err.str().find("names no application server"), std::string::npos) << err.str();

  WriteSettings("[General]\nConnectionType=HTTP\n");
  EXPECT_EQ(Run({"--data-dir", data().string(), "--http-port", "0", "--tcp-port", "0"}), 1);
  EXPECT_NE(err.str().find("Connection type [HTTP] not recognize."), std::string::npos) << err.str();
}

TEST_F(ServiceTest, WritesTheDefaultSettingsAndObeysPauseContinueStop) {
  TMobileServer* server = nullptr;
  auto reachable = [](uint16_t port) {
    try {
      return testing::HttpGet(port, "/datasnap/rest/TServerMethods/GetStream/").Status == 200;
    } catch (const std::exception&) {
      return false;
    }
  };
  hooks.OnStarted = [&](TMobileServer& s) { server = &s; };
  // Each command is asked for after the previous one took effect.
  int step = 0;
  uint16_t firstPort = 0;
  hooks.NextCommand = [&] {
    switch (step++) {
      case 0:
        firstPort = server->HttpPort();
        EXPECT_TRUE(reachable(firstPort)) << "listening after start";
        return ServiceCommand::Pause;
      case 1:
        EXPECT_FALSE(server->Running());
        EXPECT_FALSE(reachable(firstPort)) << "not listening while paused";
        return ServiceCommand::Continue;
      default:
        EXPECT_TRUE(server->Running());
        EXPECT_TRUE(reachable(server->HttpPort())) << "listening after continue";
        return ServiceCommand::Stop;
    }
  };
  std::vector<std::chrono::milliseconds> slept;
  hooks.Sleep = [&](std::chrono::milliseconds d) { slept.push_back(d); };

  ASSERT_EQ(Run({"--data-dir", data().string(), "--listen", "127.0.0.1", "--http-port", "0",
                 "--tcp-port", "0"}),
            0)
      << err.str();
  EXPECT_EQ(step, 3);
  EXPECT_TRUE(fs::exists(data() / "QUORV" / "BrevalonMobile" / kSettingsFileName))
      << "the default settings file is written";
  EXPECT_EQ(slept, std::vector<std::chrono::milliseconds>{kStopWait}) << "stop waits 2000 ms";
  EXPECT_NE(out.str().find("listening"), std::string::npos);
}

TEST_F(ServiceTest, APortInUseIsReportedClearly) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  const uint16_t port = taken.local_endpoint().port();
  hooks.NextCommand = [] { return ServiceCommand::Stop; };
  WriteSettings("[General]\nConnectionType=DCOM\n[DCOM]\nServerName=apps.example\n");
  EXPECT_EQ(Run({"--data-dir", data().string(), "--listen", "127.0.0.1", "--http-port",
                 std::to_string(port), "--tcp-port", "0"}),
            1);
  EXPECT_NE(err.str().find("can not listen on 127.0.0.1 (HTTP port " + std::to_string(port)),
            std::string::npos)
      << err.str();
}

// The daemon's own settings: [Server] and the TLS options, with each mistake
// named before anything listens.
TEST_F(ServiceTest, ServerSettingsAndHttpsAreTakenOrRefusedClearly) {
  hooks.NextCommand = [] { return ServiceCommand::Stop; };
  hooks.Sleep = [](std::chrono::milliseconds) {};
  const testing::TestCertificate cert = testing::MakeTestCertificate(dir.Path());
  const std::string settings = "[General]\nConnectionType=DCOM\n[DCOM]\nServerName=apps.example\n";
  const std::vector<std::string> local = {"--data-dir", data().string(), "--listen", "127.0.0.1",
                                          "--http-port", "0", "--tcp-port", "0"};
  const auto run = [&](const std::string& server, std::vector<std::string> extra) {
    WriteSettings(settings + server);
    std::vector<std::string> args = local;
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  };
  EXPECT_EQ(run("[Server]\nMaxSessions=lots\n", {}), 1);
  EXPECT_NE(err.str().find("Setting [Server] MaxSessions: \"lots\" is not a whole number from 1 to 10000000"),
            std::string::npos)
      << err.str();
  EXPECT_EQ(run("", {"--tls-cert", "/x.crt"}), 1);
  EXPECT_NE(err.str().find("HTTPS needs both a certificate and a key"), std::string::npos) << err.str();
  EXPECT_EQ(run("", {"--tls-cert", (dir.Path() / "none.crt").string(), "--tls-key", "/x.key"}), 1);
  EXPECT_NE(err.str().find("Cannot use the TLS certificate"), std::string::npos) << err.str();

  if (!cert) GTEST_SKIP() << "openssl cannot make a certificate here";
  ASSERT_EQ(run("[Server]\nMaxSessions=777\nMaxConnectionsPerAddress=9\nSignInFailuresPerUserAndAddress=3\n",
                {"--https-port", "0", "--tls-cert", cert.Cert.string(), "--tls-key", cert.Key.string()}),
            0)
      << err.str();
  EXPECT_NE(out.str().find("limits: connections "), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("(9 per address), sessions 777 "), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("sign-in throttle 3/30/20"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find(", HTTPS port "), std::string::npos) << out.str();
}

TEST(ServiceSignals, ControlSignalsMapToCommands) {
  sigset_t old;
  pthread_sigmask(SIG_SETMASK, nullptr, &old);
  BlockControlSignals();
  const std::pair<int, ServiceCommand> cases[] = {
      {SIGTERM, ServiceCommand::Stop},
      {SIGINT, ServiceCommand::Stop},
      {SIGUSR1, ServiceCommand::Pause},
      {SIGUSR2, ServiceCommand::Continue},
  };
  for (const auto& [sig, command] : cases) {
    // Directed at this thread, where it stays pending until sigwait takes it.
    ASSERT_EQ(pthread_kill(pthread_self(), sig), 0);
    EXPECT_EQ(WaitForControlSignal(), command) << sig;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace
}  // namespace brevalon
