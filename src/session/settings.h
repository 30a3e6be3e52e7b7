// The gateway's settings directory and its one configuration file,
// BrevalonMobileSettings.ini, which tells every session how to reach the
// application servers.
//
// The settings directory is <common application-data folder>/QUORV/BrevalonMobile/
// and also holds the clients' cache directories. The common folder is /var/lib
// unless the environment variable BREVALON_COMMONAPPDATA names another, and
// SetCommonAppDataDir (the daemon's --data-dir) wins over both. Every function
// here may be called from any thread; nothing is cached except the folder set
// by SetCommonAppDataDir. The settings file is read anew for every session.
#pragma once

#include <optional>
#include <string>

#include "session/ini_file.h"

namespace brevalon {

inline constexpr const char* kSettingsFileName = "BrevalonMobileSettings.ini";
inline constexpr int kDefaultServerPort = 4804;

// Replaces the common application-data folder for the rest of the process
// (an empty text goes back to the environment variable or /var/lib).
void SetCommonAppDataDir(const std::string& dir);

// The settings directory, always ending with "/", created with every missing
// parent. Raises brevalon::Exception "Can not create <dir> directory" when it
// cannot be created.
std::string GetSettingsDir();

// The same path without looking at the disk: for the paths of files inside
// directories already made sure of (a client's cache directory).
std::string SettingsDirPath();

// Full path of the settings file; writes the default file first when it does
// not exist.
std::string GetSettingsFileName();

// Writes the default settings file at `path`: General/ConnectionType=DCOM,
// DCOM/ServerName and SOCKET/ServerName = "localhost", SOCKET/ServerPort=4804
// (a key nobody reads; the port is taken from ServerConnect).
void WriteDefaultSettings(const std::string& path);

// Finds the settings file (writing the default one when missing) and reads
// it. Raises brevalon::Exception "Ini file [<path>] not found." when the file
// still does not exist, and the reader's failure when it cannot be read.
IniFile OpenSettingsFile();

// Connection settings of one application-server proxy, as the settings file
// gives them.
struct TConnectionSettings {
  int ConnectionType = 0;     // 0 DCOM, 1 SOCKET
  std::string ServerName;
  std::optional<int> Port;    // set only for SOCKET; with DCOM the proxy keeps its port
  std::string ProxyName;      // used only by the HTTP connection kind
  std::string ProxyPort;
};

// Reads the connection settings out of an opened settings file. Raises
// brevalon::Exception "Connection type [<value>] not recognize." when
// General/ConnectionType is neither "DCOM" nor "SOCKET" (exactly so written).
TConnectionSettings ReadConnectionSettingsValues(const IniFile& ini);

}  // namespace brevalon
