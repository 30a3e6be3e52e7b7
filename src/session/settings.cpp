#include "session/settings.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace brevalon {

namespace {

constexpr const char* kDefaultCommonAppDataDir = "/var/lib";
constexpr const char* kCommonAppDataEnv = "BREVALON_COMMONAPPDATA";
constexpr const char* kLoopbackHostName = "localhost";

std::mutex g_common_dir_mutex;
std::string g_common_dir;  // guarded by g_common_dir_mutex; empty = not set

std::string CommonAppDataDir() {
  {
    std::lock_guard<std::mutex> lock(g_common_dir_mutex);
    if (!g_common_dir.empty()) return g_common_dir;
  }
  const char* env = std::getenv(kCommonAppDataEnv);
  if (env != nullptr && *env != '\0') return env;
  return kDefaultCommonAppDataDir;
}

}  // namespace

void SetCommonAppDataDir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_common_dir_mutex);
  g_common_dir = dir;
}

std::string SettingsDirPath() {
  std::string dir = CommonAppDataDir();
  if (dir.back() != '/') dir += '/';
  dir += "QUORV/BrevalonMobile/";
  return dir;
}

std::string GetSettingsDir() {
  const std::string dir = SettingsDirPath();

  // Sessions starting together may all find the directory missing; creating
  // it is idempotent, so the only question is whether it exists afterwards.
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!std::filesystem::is_directory(dir, ec)) {
    throw Exception("Can not create " + dir + " directory");
  }
  return dir;
}

std::string GetSettingsFileName() {
  std::string path = GetSettingsDir() + kSettingsFileName;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) WriteDefaultSettings(path);
  return path;
}

void WriteDefaultSettings(const std::string& path) {
  // Like an ini writer, keep whatever else an existing file holds.
  std::error_code ec;
  IniFile ini = std::filesystem::exists(path, ec) ? IniFile::LoadFromFile(path) : IniFile();
  ini.WriteString("General", "ConnectionType", "DCOM");
  ini.WriteString("DCOM", "ServerName", kLoopbackHostName);
  ini.WriteString("SOCKET", "ServerName", kLoopbackHostName);
  ini.WriteInteger("SOCKET", "ServerPort", kDefaultServerPort);
  ini.SaveToFile(path);
}

IniFile OpenSettingsFile() {
  std::string path = GetSettingsFileName();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    throw Exception("Ini file [" + path + "] not found.");
  }
  return IniFile::LoadFromFile(path);
}

TConnectionSettings ReadConnectionSettingsValues(const IniFile& ini) {
  TConnectionSettings cs;
  const std::string type = ini.ReadString("General", "ConnectionType", "");
  if (type == "DCOM") {
    cs.ConnectionType = 0;
    cs.ServerName = ini.ReadString("DCOM", "ServerName", "");
  } else if (type == "SOCKET") {
    cs.ConnectionType = 1;
    cs.ServerName = ini.ReadString("SOCKET", "ServerName", "");
    cs.Port = ini.ReadInteger("ServerConnect", "ServerPort", kDefaultServerPort);
  } else {
    throw Exception("Connection type [" + type + "] not recognize.");
  }
  cs.ProxyName = ini.ReadString("InternetSettings", "ProxyServer", "");
  cs.ProxyPort = ini.ReadString("InternetSettings", "ProxyPort", "");
  return cs;
}

}  // namespace brevalon
