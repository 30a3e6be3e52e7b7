// Applying the settings file's connection settings to the application-server
// proxies. The session logic calls LoadConnectionSettings once when it is
// constructed, on the session's worker thread; nothing here keeps state.
#pragma once

#include "pdm/app_brevalon.h"
#include "session/ini_file.h"

namespace brevalon {

// Sets ConnectionType, ServerName, Port (SOCKET only: with DCOM the proxy
// keeps its port), ProxyName and ProxyPort of `proxy` from an opened
// settings file, and the optional limits [General] CallTimeoutMs and
// ConnectTimeoutMs (positive milliseconds, at most one hour; otherwise the
// proxy keeps its default). Raises Exception "Connection type [<value>] not recognize."
// for an unknown kind, leaving `proxy` untouched.
void ReadConnectionSettings(const IniFile& ini, TAppBrevalon& proxy);

// Finds the settings file (writing the default one when it is missing), reads
// it once and applies it to the main-system proxy and then to the workflow
// proxy. Raises Exception "Ini file [<path>] not found." when there is still
// no file; a failure for the first proxy leaves the second unconfigured.
void LoadConnectionSettings(TAppBrevalon& mainSystem, TAppBrevalon& workflow);

}  // namespace brevalon
