// The daemon's own settings: listening, HTTPS, the limits against hostile
// load and the sign-in throttle. Each has a default (the limits follow what
// the machine allows, os/machine_limits.h), the [Server] section of the
// settings file may set it, and the command line wins over both:
//
//   [Server]
//   HttpsPort=8086                  TlsCertificate=/etc/...pem   TlsKey=/etc/...key
//   MaxConnections=...              MaxConnectionsPerAddress=256
//   MaxSessions=...                 MaxUnsignedSessions=...      MaxUnsignedSessionsPerAddress=64
//   MaxCallThreads=...
//   SignInThrottle=1                SignInWindowSeconds=900
//   SignInFailuresPerUserAndAddress=5   SignInFailuresPerAddress=30   SignInFailuresPerUser=20
//   SignInLockSeconds=30            SignInMaxLockSeconds=900     SignInMaxUserLockSeconds=120
//
// The section is read once, when the daemon starts (docs/daemon.md); a value
// that is not a positive number in range stops the start with its key named.
// Plain functions over values; no state.
#pragma once

#include <string>

#include "os/machine_limits.h"
#include "remoting/remote_method_server.h"
#include "session/ini_file.h"
#include "session/sign_in_throttle.h"

namespace brevalon {

inline constexpr const char* kServerSection = "Server";

struct DaemonSettings {
  RemoteServerOptions Server;     // ports, listening address and session clock left as they are
  SignInThrottleOptions Throttle;
};

// The settings for this machine: `base` with the limits derived from
// `machine`, then whatever [Server] of `ini` says. Raises Exception
// "Setting [Server] <key>: <reason>" for a value it cannot take.
DaemonSettings ReadDaemonSettings(const IniFile& ini, const MachineLimits& machine,
                                  RemoteServerOptions base = {});

// One line for the start message: the limits in force.
std::string DescribeLimits(const DaemonSettings& settings);

}  // namespace brevalon
