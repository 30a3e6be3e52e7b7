// The daemon brevalon24: command line, systemd unit installation and the
// service module TBrevalon24, which owns the server host and maps the
// daemon's control commands onto it.
//
// main() only calls RunService; everything else lives here so that tests can
// drive the daemon in-process with their own control commands and clock.
// RunService runs on the process's main thread and blocks until stopped.
//
// Control: SIGTERM and SIGINT stop (then wait 2000 ms and exit 0), SIGUSR1
// pauses (stops listening), SIGUSR2 continues (listens again). The daemon
// always runs in the foreground (systemd Type=simple); --console says so
// explicitly for development.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "remoting/remote_method_server.h"
#include "server/mobile_server.h"
#include "server/server_methods.h"

namespace brevalon {

inline constexpr const char* kServiceName = "Brevalon24";
inline constexpr const char* kServiceDisplayName = "Brevalon:24";
inline constexpr const char* kUnitFileName = "brevalon24.service";
inline constexpr const char* kDefaultUnitDir = "/etc/systemd/system";
inline constexpr const char* kDefaultSysusersDir = "/etc/sysusers.d";
inline constexpr const char* kSysusersFileName = "brevalon24.conf";
// The system user the daemon runs as.
inline constexpr const char* kServiceUser = "brevalon24";
// The common application-data folder when --data-dir is not given.
inline constexpr const char* kDefaultDataDir = "/var/lib";
inline constexpr std::chrono::milliseconds kStopWait{2000};

enum class ServiceCommand { Stop, Pause, Continue };

// Hooks for tests; every empty member takes the production behaviour.
struct ServiceHooks {
  // Blocks until the next control command. Default: waits for the control
  // signals with sigwait (RunService blocks them in every thread first).
  std::function<ServiceCommand()> NextCommand;
  // Default: std::this_thread::sleep_for.
  std::function<void(std::chrono::milliseconds)> Sleep;
  // Runs `systemctl <args>` and returns its exit status. When set it is
  // always called; by default systemctl runs only for the system's unit
  // directory and only when systemd is running and systemctl is installed.
  std::function<int(const std::vector<std::string>&)> Systemctl;
  // The absolute path of this program for ExecStart. Default: /proc/self/exe.
  std::string SelfPath;
  // How sessions get their workers.
  ServerMethodsOptions Methods;
  // Called once the server listens for the first time (tests learn the ports).
  std::function<void(TMobileServer&)> OnStarted;
};

// The service module: owns the server host while the daemon runs.
class TBrevalon24 {
 public:
  TBrevalon24(RemoteServerOptions options, ServerMethodsOptions methods,
              std::function<void(std::chrono::milliseconds)> sleep);
  ~TBrevalon24();  // ServiceDestroy
  TBrevalon24(const TBrevalon24&) = delete;
  TBrevalon24& operator=(const TBrevalon24&) = delete;

  void ServiceStart();     // listen; raises when a port cannot be bound
  void ServiceStop();      // stop listening, then wait kStopWait
  void ServicePause();     // stop listening
  void ServiceContinue();  // listen again; raises when a port cannot be bound

  TMobileServer& Server() { return *FServer; }

 private:
  std::unique_ptr<TMobileServer> FServer;
  std::function<void(std::chrono::milliseconds)> FSleep;
};

// How often the waiting daemon hands the heap memory the sessions have freed
// back to the system.
inline constexpr std::chrono::seconds kHeapTrimInterval{30};

// Blocks SIGTERM, SIGINT, SIGUSR1 and SIGUSR2 in the calling thread (and so in
// every thread it creates afterwards), and waits for one of them: SIGUSR1 is
// Pause, SIGUSR2 Continue, the others Stop. While it waits it trims the heap
// every kHeapTrimInterval.
void BlockControlSignals();
ServiceCommand WaitForControlSignal();

// The unit file text for `execStart` (program path and its arguments) and
// the settings folder the daemon may write: its own user, the one
// capability for port 211, and the sandbox of docs/daemon.md.
std::string BuildUnitFile(const std::vector<std::string>& execStart,
                          const std::string& settingsDir = "/var/lib/QUORV/BrevalonMobile");
// The systemd-sysusers line that makes the service's user.
std::string BuildSysusersFile();

// The whole daemon: parses the command line, then installs or removes the
// unit, or serves until stopped. Returns the process's exit code. Messages
// for the operator go to `out` (confirmations, the listening ports) and
// `err` (failures).
int RunService(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
               ServiceHooks hooks = {});

}  // namespace brevalon
