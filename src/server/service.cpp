#include "server/service.h"

#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <thread>

#include "os/machine_limits.h"
#include "server/daemon_settings.h"
#include "session/settings.h"
#include "sync/snapshot_cleanup.h"
#include "util/exception.h"

extern char** environ;

namespace brevalon {

namespace {

namespace fs = std::filesystem;

struct CommandLine {
  bool Console = false;
  std::string DataDir;
  int HttpPort = 8085;
  int TcpPort = 211;
  std::string Listen = "0.0.0.0";
  int HttpsPort = -1;  // -1: as the settings file says
  std::string TlsCertificate;
  std::string TlsKey;
  std::string UnitDir = kDefaultUnitDir;
  std::string SysusersDir;  // empty: /etc/sysusers.d, or the unit's folder when it is not the system's
  bool Install = false;
  bool Uninstall = false;
  bool Silent = false;
  // The options given explicitly, carried into the unit's ExecStart.
  std::vector<std::string> RunOptions;
};

// One word of ExecStart as systemd reads it: quoted when it holds anything
// but plain characters; "%" and "$" doubled so that they stay literal.
std::string UnitWord(const std::string& word) {
  if (word.find_first_of("\n\r") != std::string::npos)
    throw Exception("A line break cannot be part of a unit's command line");
  bool plain = !word.empty();
  std::string escaped;
  for (char c : word) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      std::strchr("/._:=+-,@", c) != nullptr;
    if (!safe) plain = false;
    if (c == '%') escaped += "%%";
    else if (c == '$') escaped += "$$";
    else if (c == '\\') escaped += "\\\\";
    else if (c == '"') escaped += "\\\"";
    else escaped += c;
  }
  return plain ? escaped : "\"" + escaped + "\"";
}

std::string SelfPath() {
  std::error_code ec;
  fs::path p = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw Exception("Can not find the path of this program: " + ec.message());
  return p.string();
}

bool SystemdRunning() {
  std::error_code ec;
  return fs::is_directory("/run/systemd/system", ec);
}

// Runs `program` with `args`; its exit status, -1 when it cannot be
// started (not installed) or did not exit.
int RunProgram(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunSystemctl(const std::vector<std::string>& args) { return RunProgram("systemctl", args); }

// The systemctl runner for this command line, or none when systemctl must
// not be called (a unit directory of its own, no systemd running).
std::function<int(const std::vector<std::string>&)> SystemctlFor(const CommandLine& cl,
                                                                 const ServiceHooks& hooks) {
  if (hooks.Systemctl) return hooks.Systemctl;
  if (fs::path(cl.UnitDir).lexically_normal() != fs::path(kDefaultUnitDir) || !SystemdRunning())
    return nullptr;
  return RunSystemctl;
}

bool WriteTextFile(const fs::path& path, const std::string& text, std::ostream& err) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  if (!f) {
    err << "brevalon24: can not write " << path.string() << ": " << std::strerror(errno) << "\n";
    return false;
  }
  return true;
}

int Install(const CommandLine& cl, const ServiceHooks& hooks, std::ostream& out,
            std::ostream& err) {
  std::vector<std::string> execStart{hooks.SelfPath.empty() ? SelfPath() : hooks.SelfPath};
  execStart.insert(execStart.end(), cl.RunOptions.begin(), cl.RunOptions.end());
  const fs::path unit = fs::path(cl.UnitDir) / kUnitFileName;
  const std::string dataDir = cl.DataDir.empty() ? std::string(kDefaultDataDir) : cl.DataDir;
  const fs::path settingsDir = fs::path(dataDir) / "QUORV" / "BrevalonMobile";
  // The user is made by systemd-sysusers; with a unit folder of its own
  // (packaging, tests) its description goes beside the unit.
  const bool system = fs::path(cl.UnitDir).lexically_normal() == fs::path(kDefaultUnitDir);
  const fs::path sysusers =
      (cl.SysusersDir.empty() ? (system ? fs::path(kDefaultSysusersDir) : fs::path(cl.UnitDir))
                              : fs::path(cl.SysusersDir)) /
      kSysusersFileName;
  if (!WriteTextFile(unit, BuildUnitFile(execStart, settingsDir.string()), err)) return 1;
  if (!WriteTextFile(sysusers, BuildSysusersFile(), err)) return 1;
  if (auto systemctl = SystemctlFor(cl, hooks)) {
    if (!hooks.Systemctl && RunProgram("systemd-sysusers", {sysusers.string()}) != 0) {
      err << "brevalon24: \"systemd-sysusers " << sysusers.string() << "\" failed: the user "
          << kServiceUser << " may be missing\n";
      return 1;
    }
    systemctl({"daemon-reload"});
    const int rc = systemctl({"enable", kUnitFileName});
    if (rc != 0) {
      err << "brevalon24: wrote " << unit.string() << " but \"systemctl enable " << kUnitFileName
          << "\" failed" << (rc < 0 ? " (systemctl not found)" : "") << "\n";
      return 1;
    }
  } else if (!cl.Silent) {
    out << "systemctl was not called; enable the unit yourself when systemd should start it.\n";
  }
  if (!cl.Silent) out << "Service " << kServiceDisplayName << " installed: " << unit.string() << "\n";
  return 0;
}

int Uninstall(const CommandLine& cl, const ServiceHooks& hooks, std::ostream& out,
              std::ostream& err) {
  const fs::path unit = fs::path(cl.UnitDir) / kUnitFileName;
  if (auto systemctl = SystemctlFor(cl, hooks)) {
    const int rc = systemctl({"disable", kUnitFileName});
    if (rc != 0)
      err << "brevalon24: \"systemctl disable " << kUnitFileName << "\" failed; removing the unit anyway\n";
  }
  std::error_code ec;
  const bool removed = fs::remove(unit, ec);
  if (ec) {
    err << "brevalon24: can not remove " << unit.string() << ": " << ec.message() << "\n";
    return 1;
  }
  if (auto systemctl = SystemctlFor(cl, hooks)) systemctl({"daemon-reload"});
  if (!cl.Silent) {
    if (removed)
      out << "Service " << kServiceDisplayName << " uninstalled: " << unit.string() << " removed\n";
    else
      out << "Service " << kServiceDisplayName << " was not installed (" << unit.string() << ")\n";
  }
  return 0;
}

// The daemon refuses to serve sessions that could never reach a server.
bool CheckSettings(std::ostream& err) {
  try {
    const IniFile ini = OpenSettingsFile();
    const TConnectionSettings settings = ReadConnectionSettingsValues(ini);
    const bool blank = settings.ServerName.find_first_not_of(" \t") == std::string::npos;
    if (blank) {
      err << "brevalon24: the settings file " << GetSettingsFileName()
          << " names no application server (ServerName of the "
          << (settings.ConnectionType == 1 ? "SOCKET" : "DCOM")
          << " section is empty); set it and start again\n";
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    err << "brevalon24: can not read the settings: " << e.what() << "\n";
    return false;
  }
}

const int kControlSignals[] = {SIGTERM, SIGINT, SIGUSR1, SIGUSR2};

sigset_t ControlSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kControlSignals) sigaddset(&set, s);
  return set;
}

void ReportListenFailure(const CommandLine& cl, const std::exception& e, std::ostream& err) {
  err << "brevalon24: can not listen on " << cl.Listen << " (HTTP port " << cl.HttpPort
      << ", TCP port " << cl.TcpPort << "): " << e.what() << "\n";
  if (cl.HttpPort < 1024 || cl.TcpPort < 1024)
    err << "brevalon24: ports below 1024 need root or the capability CAP_NET_BIND_SERVICE\n";
}

// Threads of this process, from /proc; -1 when unknown.
int ProcessThreads() {
  std::error_code ec;
  int n = 0;
  for (fs::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec))
    ++n;
  return ec ? -1 : n;
}

int Serve(const CommandLine& cl, ServiceHooks& hooks, std::ostream& out, std::ostream& err) {
  // Only the daemon proper owns the whole process; tests driving it
  // in-process have threads of their own.
  const bool wholeProcess = !hooks.NextCommand;
  if (!hooks.NextCommand) {
    // Blocked before any thread exists, so every thread inherits the mask
    // and only sigwait below sees the control signals.
    BlockControlSignals();
    hooks.NextCommand = WaitForControlSignal;
  }
  // A client that hangs up must not end the daemon.
  signal(SIGPIPE, SIG_IGN);
  if (!hooks.Sleep) hooks.Sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };

  if (!CheckSettings(err)) return 1;

  // No session exists yet, so no snapshot save is in progress: whatever
  // temporary a killed process left is an orphan.
  const fs::path cache = fs::path(GetSettingsDir()) / "Cache";
  const SnapshotCleanup cleanup = RemoveSnapshotTemporaries(cache);
  out << kServiceDisplayName << " removed " << cleanup.Removed
      << " interrupted snapshot temporaries from " << cache.string() << "\n";
  if (cleanup.Failed > 0)
    err << "brevalon24: " << cleanup.Failed << " interrupted snapshot temporaries in "
        << cache.string() << " could not be removed\n";
  if (cleanup.Truncated)
    err << "brevalon24: " << cache.string()
        << " holds too many entries; interrupted snapshot temporaries were looked for in part\n";

  RemoteServerOptions base;
  base.Listen = cl.Listen;
  base.HttpPort = static_cast<uint16_t>(cl.HttpPort);
  base.TcpPort = static_cast<uint16_t>(cl.TcpPort);
  // Every session holds a client connection and two back-end ones: take all
  // the descriptors the system grants before sizing the limits on them.
  RaiseDescriptorLimit();
  const MachineLimits machine = ReadMachineLimits();
  DaemonSettings settings;
  try {
    settings = ReadDaemonSettings(OpenSettingsFile(), machine, base);
  } catch (const std::exception& e) {
    err << "brevalon24: " << e.what() << "\n";
    return 1;
  }
  RemoteServerOptions& options = settings.Server;
  if (cl.HttpsPort >= 0) options.HttpsPort = static_cast<uint16_t>(cl.HttpsPort);
  if (!cl.TlsCertificate.empty()) options.TlsCertificateFile = cl.TlsCertificate;
  if (!cl.TlsKey.empty()) options.TlsKeyFile = cl.TlsKey;
  if (options.TlsCertificateFile.empty() != options.TlsKeyFile.empty()) {
    err << "brevalon24: HTTPS needs both a certificate and a key (--tls-cert and --tls-key, or "
           "TlsCertificate and TlsKey of [Server])\n";
    return 1;
  }
  hooks.Methods.Throttle = settings.Throttle;
  out << kServiceDisplayName << " limits: " << DescribeLimits(settings) << "; machine: "
      << Describe(machine) << "\n";
  std::unique_ptr<TBrevalon24> service;
  try {
    service = std::make_unique<TBrevalon24>(options, hooks.Methods, hooks.Sleep);
  } catch (const std::exception& e) {
    err << "brevalon24: can not create the server: " << e.what() << "\n";
    return 1;
  }
  try {
    service->ServiceStart();
  } catch (const std::exception& e) {
    ReportListenFailure(cl, e, err);
    return 1;
  }
  out << kServiceDisplayName << " listening on " << cl.Listen << ": HTTP port "
      << service->Server().HttpPort() << ", TCP port " << service->Server().TcpPort();
  if (const uint16_t https = service->Server().Framework().HttpsPort()) out << ", HTTPS port " << https;
  out << "\n" << std::flush;
  if (hooks.OnStarted) hooks.OnStarted(service->Server());

  for (;;) {
    const ServiceCommand command = hooks.NextCommand();
    if (command == ServiceCommand::Stop) {
      service->ServiceStop();
      break;
    }
    if (command == ServiceCommand::Pause) {
      service->ServicePause();
      out << kServiceDisplayName << " paused\n" << std::flush;
      continue;
    }
    try {
      service->ServiceContinue();
      out << kServiceDisplayName << " continued\n" << std::flush;
    } catch (const std::exception& e) {
      // Stays paused; another continue may succeed once the port is free.
      ReportListenFailure(cl, e, err);
    }
  }
  service.reset();
  // Every thread the server started (I/O, calls, session workers, expiry)
  // has been joined by now; one still running would be cut off mid-work.
  out << kServiceDisplayName << " stopped\n" << std::flush;
  if (wholeProcess) {
    // ThreadSanitizer keeps a thread of its own beside the main one.
#if defined(BREVALON_TSAN)
    constexpr int kOwnThreads = 2;
#else
    constexpr int kOwnThreads = 1;
#endif
    const int threads = ProcessThreads();
    if (threads > kOwnThreads)
      err << "brevalon24: " << threads - kOwnThreads << " threads still running at exit\n";
  }
  return 0;
}

}  // namespace

TBrevalon24::TBrevalon24(RemoteServerOptions options, ServerMethodsOptions methods,
                         std::function<void(std::chrono::milliseconds)> sleep)
    : FServer(std::make_unique<TMobileServer>(std::move(options), std::move(methods))),
      FSleep(std::move(sleep)) {}

TBrevalon24::~TBrevalon24() { FServer.reset(); }

void TBrevalon24::ServiceStart() { FServer->Start(); }

void TBrevalon24::ServiceStop() {
  FServer->Stop();
  if (FSleep) FSleep(kStopWait);
}

void TBrevalon24::ServicePause() { FServer->Stop(); }

void TBrevalon24::ServiceContinue() { FServer->Start(); }

void BlockControlSignals() {
  const sigset_t set = ControlSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ServiceCommand WaitForControlSignal() {
  const sigset_t set = ControlSignalSet();
  // Sessions free what their calls allocated on their own threads; glibc
  // keeps such memory in its per-thread arenas for reuse, so a daemon that
  // served many sessions at once would otherwise hold the peak for good.
  const timespec trimEvery{kHeapTrimInterval.count(), 0};
  for (;;) {
    const int sig = sigtimedwait(&set, nullptr, &trimEvery);
    if (sig < 0) {
      if (errno == EAGAIN) malloc_trim(0);
      continue;
    }
    switch (sig) {
      case SIGUSR1: return ServiceCommand::Pause;
      case SIGUSR2: return ServiceCommand::Continue;
      default: return ServiceCommand::Stop;
    }
  }
}

std::string BuildUnitFile(const std::vector<std::string>& execStart, const std::string& settingsDir) {
  std::string cmd;
  for (const std::string& w : execStart) {
    if (!cmd.empty()) cmd += ' ';
    cmd += UnitWord(w);
  }
  // The one folder the daemon writes: its settings and the client caches.
  // Under /var/lib systemd makes it and gives it to the service's user.
  const std::string dir = fs::path(settingsDir).lexically_normal().string();
  std::string writable;
  if (dir.starts_with("/var/lib/") && dir.size() > 9) {
    std::string state = dir.substr(9);
    while (!state.empty() && state.back() == '/') state.pop_back();
    writable = "StateDirectory=" + UnitWord(state) + "\nStateDirectoryMode=0750\n";
  } else {
    writable = "ReadWritePaths=" + UnitWord(dir) + "\n";
  }
  return std::string("[Unit]\n") + "Description=" + kServiceDisplayName + "\n" +
         "After=network-online.target\n" + "Wants=network-online.target\n" + "\n" +
         "[Service]\n" + "Type=simple\n" + "ExecStart=" + cmd + "\n" + "Restart=on-failure\n" +
         // Every session holds a client connection and two back-end ones.
         "LimitNOFILE=65536\n" +
         // Its own user; the shadow group lets pam_unix check passwords for
         // the operating-system sign-in (docs/daemon.md).
         "User=" + kServiceUser + "\n" + "Group=" + kServiceUser + "\n" +
         "SupplementaryGroups=shadow\n" +
         // Port 211 is below 1024: that capability and no other.
         "AmbientCapabilities=CAP_NET_BIND_SERVICE\n" +
         "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n" + "NoNewPrivileges=yes\n" +
         "ProtectSystem=strict\n" + writable + "ProtectHome=yes\n" + "PrivateTmp=yes\n" +
         "PrivateDevices=yes\n" + "PrivateMounts=yes\n" + "DevicePolicy=closed\n" + "ProtectKernelTunables=yes\n" +
         "ProtectKernelModules=yes\n" + "ProtectKernelLogs=yes\n" + "ProtectControlGroups=yes\n" +
         "ProtectClock=yes\n" + "ProtectHostname=yes\n" + "ProtectProc=invisible\n" +
         "ProcSubset=pid\n" + "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n" +
         "RestrictNamespaces=yes\n" + "RestrictRealtime=yes\n" + "RestrictSUIDSGID=yes\n" +
         "LockPersonality=yes\n" + "MemoryDenyWriteExecute=yes\n" + "RemoveIPC=yes\n" +
         "KeyringMode=private\n" + "UMask=0077\n" + "SystemCallArchitectures=native\n" +
         "SystemCallFilter=@system-service\n" + "SystemCallFilter=~@privileged @resources\n" +
         "SystemCallErrorNumber=EPERM\n" + "\n" + "[Install]\n" + "WantedBy=multi-user.target\n";
}

std::string BuildSysusersFile() {
  return std::string("# The system user of the Brevalon:24 gateway.\n") + "u " + kServiceUser +
         " - \"" + kServiceDisplayName + " mobile gateway\" - -\n";
}

int RunService(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
               ServiceHooks hooks) {
  CommandLine cl;
  std::vector<std::string> switches;
  CLI::App app{std::string(kServiceDisplayName) +
               " mobile gateway daemon. Runs in the foreground until SIGTERM or SIGINT; "
               "SIGUSR1 pauses, SIGUSR2 continues.",
               "brevalon24"};
  app.add_flag("--console", cl.Console, "Run in the foreground (the daemon always does; for development)");
  app.add_option("--data-dir", cl.DataDir, "Common application-data folder (default /var/lib)");
  app.add_option("--http-port", cl.HttpPort, "HTTP (REST) port")->check(CLI::Range(0, 65535));
  app.add_option("--tcp-port", cl.TcpPort, "TCP port")->check(CLI::Range(0, 65535));
  app.add_option("--listen", cl.Listen, "Address to listen on");
  app.add_option("--https-port", cl.HttpsPort, "HTTPS port (with --tls-cert and --tls-key; default 8086)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--tls-cert", cl.TlsCertificate,
                 "HTTPS certificate, PEM (the server's certificate, then its chain)");
  app.add_option("--tls-key", cl.TlsKey, "HTTPS private key, PEM, unencrypted");
  app.add_option("--unit-dir", cl.UnitDir, "Directory of the systemd unit for INSTALL/UNINSTALL");
  app.add_option("--sysusers-dir", cl.SysusersDir,
                 "Where INSTALL describes the service's user for systemd-sysusers");
  app.add_option("switches", switches, "INSTALL, UNINSTALL, SILENT (any letter case)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err);
  }
  for (std::string s : switches) {
    if (!s.empty() && s.front() == '/') s.erase(0, 1);
    if (strcasecmp(s.c_str(), "INSTALL") == 0) {
      cl.Install = true;
    } else if (strcasecmp(s.c_str(), "UNINSTALL") == 0) {
      cl.Uninstall = true;
    } else if (strcasecmp(s.c_str(), "SILENT") == 0) {
      cl.Silent = true;
    } else {
      err << "brevalon24: unknown switch \"" << s << "\" (INSTALL, UNINSTALL or SILENT)\n";
      return 2;
    }
  }
  if (cl.Install && cl.Uninstall) {
    err << "brevalon24: INSTALL and UNINSTALL exclude each other\n";
    return 2;
  }

  try {
    if (!cl.DataDir.empty()) {
      cl.DataDir = fs::absolute(cl.DataDir).lexically_normal().string();
      SetCommonAppDataDir(cl.DataDir);
      cl.RunOptions.insert(cl.RunOptions.end(), {"--data-dir", cl.DataDir});
    }
    if (app.count("--http-port") > 0)
      cl.RunOptions.insert(cl.RunOptions.end(), {"--http-port", std::to_string(cl.HttpPort)});
    if (app.count("--tcp-port") > 0)
      cl.RunOptions.insert(cl.RunOptions.end(), {"--tcp-port", std::to_string(cl.TcpPort)});
    if (app.count("--listen") > 0) cl.RunOptions.insert(cl.RunOptions.end(), {"--listen", cl.Listen});
    if (app.count("--https-port") > 0)
      cl.RunOptions.insert(cl.RunOptions.end(), {"--https-port", std::to_string(cl.HttpsPort)});
    for (auto [option, value] : {std::pair{"--tls-cert", &cl.TlsCertificate}, std::pair{"--tls-key", &cl.TlsKey}}) {
      if (value->empty()) continue;
      *value = fs::absolute(*value).lexically_normal().string();
      cl.RunOptions.insert(cl.RunOptions.end(), {option, *value});
    }

    if (cl.Install) return Install(cl, hooks, out, err);
    if (cl.Uninstall) return Uninstall(cl, hooks, out, err);
    return Serve(cl, hooks, out, err);
  } catch (const std::exception& e) {
    err << "brevalon24: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace brevalon
