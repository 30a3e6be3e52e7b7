#include "session/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace brevalon {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Points the common application-data folder at a fresh temporary directory
// through the environment, as the daemon's unit file would.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "settings_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    ::setenv("BREVALON_COMMONAPPDATA", root_.c_str(), 1);
    SetCommonAppDataDir("");
  }
  void TearDown() override {
    SetCommonAppDataDir("");
    ::unsetenv("BREVALON_COMMONAPPDATA");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  std::string root_;
};

TEST_F(SettingsTest, SettingsDirIsCreatedUnderTheCommonFolder) {
  const std::string expected = root_ + "/QUORV/BrevalonMobile/";
  ASSERT_FALSE(fs::exists(root_ + "/QUORV"));
  EXPECT_EQ(GetSettingsDir(), expected);
  EXPECT_TRUE(fs::is_directory(expected));
  EXPECT_EQ(GetSettingsDir(), expected);  // an existing directory is fine

  // A trailing "/" on the folder does not double.
  ::setenv("BREVALON_COMMONAPPDATA", (root_ + "/").c_str(), 1);
  EXPECT_EQ(GetSettingsDir(), expected);
}

TEST_F(SettingsTest, DataDirOptionWinsOverTheEnvironment) {
  const std::string other = root_ + "/other";
  SetCommonAppDataDir(other);
  EXPECT_EQ(GetSettingsDir(), other + "/QUORV/BrevalonMobile/");
  EXPECT_TRUE(fs::is_directory(other + "/QUORV/BrevalonMobile"));

  SetCommonAppDataDir("");
  EXPECT_EQ(GetSettingsDir(), root_ + "/QUORV/BrevalonMobile/");
}

TEST_F(SettingsTest, DirectoryThatCannotBeCreatedFails) {
  // A regular file where a directory must go fails for root as well.
  const std::string blocker = root_ + "/file";
  { std::ofstream(blocker) << "x"; }
  ::setenv("BREVALON_COMMONAPPDATA", blocker.c_str(), 1);
  const std::string dir = blocker + "/QUORV/BrevalonMobile/";
  try {
    GetSettingsDir();
    FAIL() << "no failure";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Can not create " + dir + " directory");
  }
  EXPECT_THROW(GetSettingsFileName(), Exception);
}

TEST_F(SettingsTest, FirstUseWritesTheDefaultFileAndReadsAsDcomToThisComputer) {
  const std::string path = GetSettingsFileName();
  EXPECT_EQ(path, root_ + "/QUORV/BrevalonMobile/BrevalonMobileSettings.ini");
  EXPECT_EQ(ReadAll(path),
            "[General]\n"
            "ConnectionType=DCOM\n"
            "\n"
            "[DCOM]\n"
            "ServerName=localhost\n"
            "\n"
            "[SOCKET]\n"
            "ServerName=localhost\n"
            "ServerPort=4804\n");

  TConnectionSettings cs = ReadConnectionSettingsValues(OpenSettingsFile());
  EXPECT_EQ(cs.ConnectionType, 0);
  EXPECT_EQ(cs.ServerName, "localhost");
  EXPECT_FALSE(cs.Port.has_value());
  EXPECT_EQ(cs.ProxyName, "");
  EXPECT_EQ(cs.ProxyPort, "");
}

TEST_F(SettingsTest, ExistingFileIsLeftAlone) {
  const std::string path = GetSettingsDir() + "BrevalonMobileSettings.ini";
  const std::string text = "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=gw\n";
  { std::ofstream(path) << text; }
  EXPECT_EQ(GetSettingsFileName(), path);
  EXPECT_EQ(ReadAll(path), text);
  EXPECT_EQ(ReadConnectionSettingsValues(OpenSettingsFile()).ServerName, "gw");
}

TEST_F(SettingsTest, WriteDefaultSettingsKeepsOtherKeysOfAnExistingFile) {
  const std::string path = root_ + "/custom.ini";
  { std::ofstream(path) << "[General]\nConnectionType=SOCKET\n[InternetSettings]\nProxyPort=8080\n"; }
  WriteDefaultSettings(path);
  IniFile ini = IniFile::LoadFromFile(path);
  EXPECT_EQ(ini.ReadString("General", "ConnectionType", ""), "DCOM");
  EXPECT_EQ(ini.ReadString("InternetSettings", "ProxyPort", ""), "8080");
  EXPECT_EQ(ini.Sections(),
            (std::vector<std::string>{"General", "InternetSettings", "DCOM", "SOCKET"}));
}

TEST_F(SettingsTest, SessionsStartingTogetherAllGetTheDefaultFile) {
  std::vector<std::thread> threads;
  std::vector<std::string> paths(8);
  std::vector<std::string> errors(8);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    threads.emplace_back([&, i] {
      try {
        paths[i] = GetSettingsFileName();
        ReadConnectionSettingsValues(OpenSettingsFile());
      } catch (const std::exception& e) {
        errors[i] = e.what();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(errors[i], "");
    EXPECT_EQ(paths[i], paths[0]);
  }
  int files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(root_ + "/QUORV/BrevalonMobile")) {
    ++files;
  }
  EXPECT_EQ(files, 1);  // no temporary file left behind
}

TEST(ConnectionSettingsTest, ValuesReadFromTheFile) {
  struct Case {
    const char* name;
    const char* text;
    int type;
    const char* server;
    std::optional<int> port;
    const char* proxy_name;
    const char* proxy_port;
  } cases[] = {
      {"dcom", "[General]\nConnectionType=DCOM\n[DCOM]\nServerName=appsrv\n[SOCKET]\nServerName=x\n"
               "[ServerConnect]\nServerPort=5000\n",
       0, "appsrv", std::nullopt, "", ""},
      {"dcom without a server name", "[General]\nConnectionType=DCOM\n", 0, "", std::nullopt, "",
       ""},
      {"socket port under SOCKET is not read",
       "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=10.0.0.5\nServerPort=5000\n", 1,
       "10.0.0.5", 4804, "", ""},
      {"socket port under ServerConnect",
       "[General]\nConnectionType=SOCKET\n[SOCKET]\nServerName=h\n[ServerConnect]\nServerPort=5000\n",
       1, "h", 5000, "", ""},
      {"socket port that is not an integer",
       "[General]\nConnectionType=SOCKET\n[ServerConnect]\nServerPort=50a\n", 1, "", 4804, "", ""},
      {"other capitals of section and key names",
       "[general]\nconnectiontype=SOCKET\n[socket]\nSERVERNAME=h\n[SERVERCONNECT]\nserverport=6000\n"
       "[internetsettings]\nproxyserver=proxy\nPROXYPORT=3128\n",
       1, "h", 6000, "proxy", "3128"},
      {"proxy read with DCOM too",
       "[General]\nConnectionType=DCOM\n[InternetSettings]\nProxyServer=p\nProxyPort=not a number\n",
       0, "", std::nullopt, "p", "not a number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TConnectionSettings cs = ReadConnectionSettingsValues(IniFile::FromText(c.text));
    EXPECT_EQ(cs.ConnectionType, c.type);
    EXPECT_EQ(cs.ServerName, c.server);
    EXPECT_EQ(cs.Port, c.port);
    EXPECT_EQ(cs.ProxyName, c.proxy_name);
    EXPECT_EQ(cs.ProxyPort, c.proxy_port);
  }
}

TEST(ConnectionSettingsTest, UnknownConnectionTypeIsRefused) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"[General]\nConnectionType=dcom\n", "Connection type [dcom] not recognize."},
      {"[General]\nConnectionType=Socket\n", "Connection type [Socket] not recognize."},
      {"[General]\nConnectionType=HTTP\n", "Connection type [HTTP] not recognize."},
      {"[General]\nConnectionType=\n", "Connection type [] not recognize."},
      {"[General]\n", "Connection type [] not recognize."},
      {"", "Connection type [] not recognize."},
      {"[DCOM]\nConnectionType=DCOM\n", "Connection type [] not recognize."},
  };
  for (const auto& c : cases) {
    try {
      ReadConnectionSettingsValues(IniFile::FromText(c.text));
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const Exception& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace brevalon
