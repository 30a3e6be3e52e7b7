#include "session/connection_settings.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "session/settings.h"

namespace brevalon {
namespace {

// An optional limit of the settings file in milliseconds: absent, not a
// number or not positive leaves the proxy's own default; larger values are
// held to one hour so that no call can wait for ever.
void ReadLimit(const IniFile& ini, const char* key,
               void (TAppBrevalon::*set)(std::chrono::milliseconds), TAppBrevalon& proxy) {
  constexpr int kMaxLimitMs = 3600000;
  const int value = ini.ReadInteger("General", key, 0);
  if (value > 0) (proxy.*set)(std::chrono::milliseconds(std::min(value, kMaxLimitMs)));
}

}  // namespace

void ReadConnectionSettings(const IniFile& ini, TAppBrevalon& proxy) {
  const TConnectionSettings settings = ReadConnectionSettingsValues(ini);
  proxy.SetConnectionType(settings.ConnectionType);
  proxy.SetServerName(settings.ServerName);
  if (settings.Port) proxy.SetPort(*settings.Port);
  proxy.SetProxyName(settings.ProxyName);
  proxy.SetProxyPort(settings.ProxyPort);
  ReadLimit(ini, "CallTimeoutMs", &TAppBrevalon::SetCallTimeout, proxy);
  ReadLimit(ini, "ConnectTimeoutMs", &TAppBrevalon::SetConnectTimeout, proxy);
}

void LoadConnectionSettings(TAppBrevalon& mainSystem, TAppBrevalon& workflow) {
  const std::string fileName = GetSettingsFileName();
  std::error_code ec;
  if (!std::filesystem::is_regular_file(fileName, ec)) throw Exception("Ini file [" + fileName + "] not found.");
  const IniFile ini = IniFile::LoadFromFile(fileName);
  ReadConnectionSettings(ini, mainSystem);
  ReadConnectionSettings(ini, workflow);
}

}  // namespace brevalon
