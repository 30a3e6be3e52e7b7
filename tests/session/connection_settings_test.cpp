// Connection settings from the settings file onto the two proxies.
#include "session/connection_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "session/settings.h"

namespace brevalon {
namespace {

namespace fs = std::filesystem;

struct ProxyState {
  int32_t type;
  std::string server;
  int32_t port;
  std::string proxyName;
  std::string proxyPort;
  bool operator==(const ProxyState&) const = default;
};

std::ostream& operator<<(std::ostream& os, const ProxyState& s) {
  return os << s.type << " " << s.server << ":" << s.port << " via " << s.proxyName << ":" << s.proxyPort;
}

ProxyState StateOf(const TAppBrevalon& p) {
  return {p.ConnectionType(), p.ServerName(), p.Port(), p.ProxyName(), p.ProxyPort()};
}

TEST(ReadConnectionSettingsTest, SettingsMapOntoTheProxy) {
  struct Case {
    const char* label;
    const char* text;
    ProxyState expected;  // the proxy starts as {-1, "", 777, "", ""}
  };
  const std::vector<Case> cases = {
      {"dcom keeps the port",
       "[General]\nConnectionType=DCOM\n[DCOM]\nServerName=apps\n[ServerConnect]\nServerPort=5000\n",
       {ctDCOM, "apps", 777, "", ""}},
      {"socket port from ServerConnect",
       "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=10.0.0.5\n[ServerConnect]\nServerPort=5000\n",
       {ctSocket, "10.0.0.5", 5000, "", ""}},
      {"socket port under SOCKET is not read",
       "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=h\nServerPort=5000\n", {ctSocket, "h", 4804, "", ""}},
      {"names in other capitals, proxy settings",
       "[general]\nconnectiontype=SOCKET\n[socket]\nservername=h\n[InternetSettings]\nProxyServer=px\nProxyPort=3128\n",
       {ctSocket, "h", 4804, "px", "3128"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TAppMainSystem proxy;
    proxy.SetPort(777);
    ReadConnectionSettings(IniFile::FromText(c.text), proxy);
    EXPECT_EQ(StateOf(proxy), c.expected);
  }
}

TEST(ReadConnectionSettingsTest, AnUnknownKindFailsAndLeavesTheProxyAlone) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"[General]\nConnectionType=dcom\n[InternetSettings]\nProxyServer=px\n", "Connection type [dcom] not recognize."},
      {"[DCOM]\nServerName=apps\n", "Connection type [] not recognize."},
      {"[General]\nConnectionType=HTTP\n", "Connection type [HTTP] not recognize."},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    TAppWorkFlow proxy;
    proxy.SetPort(777);
    try {
      ReadConnectionSettings(IniFile::FromText(text), proxy);
      ADD_FAILURE() << "no failure";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), message);
    }
    EXPECT_EQ(StateOf(proxy), (ProxyState{ctUndefined, "", 777, "", ""}));
  }
}

class LoadConnectionSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "connection_settings_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    ::setenv("BREVALON_COMMONAPPDATA", root_.c_str(), 1);
    SetCommonAppDataDir("");
  }
  void TearDown() override {
    ::unsetenv("BREVALON_COMMONAPPDATA");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  std::string SettingsFile() const { return root_ + "/QUORV/BrevalonMobile/BrevalonMobileSettings.ini"; }
  void WriteSettings(const std::string& text) {
    fs::create_directories(fs::path(SettingsFile()).parent_path());
    std::ofstream(SettingsFile()) << text;
  }

  std::string root_;
  TAppMainSystem main_;
  TAppWorkFlow workflow_;
};

TEST_F(LoadConnectionSettingsTest, AFreshMachineGetsTheDefaultFileAndBothProxiesUseDcom) {
  LoadConnectionSettings(main_, workflow_);
  EXPECT_TRUE(fs::is_regular_file(SettingsFile()));
  EXPECT_EQ(StateOf(main_), (ProxyState{ctDCOM, "localhost", 0, "", ""}));
  EXPECT_EQ(StateOf(workflow_), StateOf(main_));
}

TEST_F(LoadConnectionSettingsTest, BothProxiesGetTheSameSocketSettings) {
  WriteSettings("[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=apps\n[ServerConnect]\nServerPort=5000\n");
  LoadConnectionSettings(main_, workflow_);
  EXPECT_EQ(StateOf(main_), (ProxyState{ctSocket, "apps", 5000, "", ""}));
  EXPECT_EQ(StateOf(workflow_), StateOf(main_));
}

TEST_F(LoadConnectionSettingsTest, AFailureForTheFirstProxyLeavesTheSecondUnconfigured) {
  WriteSettings("[General]\nConnectionType=dcom\n");
  EXPECT_THROW(LoadConnectionSettings(main_, workflow_), Exception);
  EXPECT_EQ(workflow_.ConnectionType(), ctUndefined);
}

TEST_F(LoadConnectionSettingsTest, ASettingsPathThatIsNoFileIsReported) {
  fs::create_directories(SettingsFile());  // a directory where the file belongs
  try {
    LoadConnectionSettings(main_, workflow_);
    ADD_FAILURE() << "no failure";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Ini file [" + SettingsFile() + "] not found.");
  }
  EXPECT_EQ(main_.ConnectionType(), ctUndefined);
}

}  // namespace
}  // namespace brevalon
