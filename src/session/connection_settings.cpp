#include "session/connection_settings.h"

#include <filesystem>
#include <system_error>

#include "session/settings.h"

namespace brevalon {

void ReadConnectionSettings(const IniFile& ini, TAppBrevalon& proxy) {
  const TConnectionSettings settings = ReadConnectionSettingsValues(ini);
  proxy.SetConnectionType(settings.ConnectionType);
  proxy.SetServerName(settings.ServerName);
  if (settings.Port) proxy.SetPort(*settings.Port);
  proxy.SetProxyName(settings.ProxyName);
  proxy.SetProxyPort(settings.ProxyPort);
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
