// bench_soak: the load core (soak_load.h) against a gateway running as its
// own process, for minutes or hours, watching the gateway and its
// application server from /proc while it runs.
//
//   bench_soak --port P [--sessions 1000] [--seconds 600] [--threads 64]
//              [--malformed 10] [--session-timeout-ms 300000]
//              [--gateway-pid G] [--appserver-pid A] [--sample-every 10]
//              [--stop-gateway --stop-limit-ms 12000]
//
// Every --sample-every seconds it prints one row of a time series: the load's
// counts so far and its call rate, and the resident memory, threads and open
// descriptors of the gateway, the application server and this program. At
// the end it prints the counts, the failure messages, the wrong answers and
// how far memory, threads and descriptors grew after the warm-up (the first
// sample at or after --warmup-percent of the run against the last one) and,
// in runs longer than the session timeout, once the abandoned sessions
// expire as fast as new ones are left.
//
// With --stop-gateway it sends SIGTERM to the gateway when the time is up,
// while every session still calls, and measures how long the gateway takes
// to exit (a pidfd, so the gateway need not be our child).
//
// Exit status 0 when everything held; 1 on a wrong answer, an early session
// expiry, a call that got no answer or a framework error while the gateway
// was up, a watched process that died, a stop that took too long, and (unless
// --allow-failed) a call that failed with return code 1 before the stop;
// 2 on bad arguments.
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/soak_load.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace soak = brevalon::soak;

constexpr std::chrono::seconds kStopGrace{60};

// What /proc tells of one process; Alive false once it is gone (or a zombie).
struct ProcSample {
  bool Alive = false;
  long RssKiB = 0;
  int Threads = 0;
  int Fds = 0;
};

ProcSample Sample(pid_t pid) {
  ProcSample s;
  if (pid <= 0) return s;
  const std::string dir = "/proc/" + std::to_string(pid);
  std::ifstream status(dir + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("State:", 0) == 0)
      s.Alive = line.find('Z') == std::string::npos && line.find('X') == std::string::npos;
    if (line.rfind("VmRSS:", 0) == 0) s.RssKiB = std::stol(line.substr(6));
    if (line.rfind("Threads:", 0) == 0) s.Threads = std::stoi(line.substr(8));
  }
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir + "/fd", ec), end; !ec && it != end;
       it.increment(ec))
    ++s.Fds;
  return s;
}

struct Row {
  double Seconds = 0;
  soak::LoadReport Load;
  ProcSample Gateway, AppServer, Self;
};

std::string Cell(const ProcSample& p, pid_t pid) {
  char buf[64];
  if (pid <= 0) return "         -       -      -";
  if (!p.Alive) return "      gone       -      -";
  std::snprintf(buf, sizeof buf, "%10.1f %7d %6d", static_cast<double>(p.RssKiB) / 1024.0,
                p.Threads, p.Fds);
  return buf;
}

void PrintHeader() {
  std::printf("%7s %9s %8s %6s %6s %6s %6s %7s | %-25s | %-25s | %-25s\n", "t_s", "calls",
              "calls/s", "failed", "wrong", "transp", "expd", "cycles", "gateway rss_MiB thr fds",
              "appserver rss_MiB thr fds", "client rss_MiB thr fds");
}

void PrintRow(const Row& r, double rate, pid_t gw, pid_t as) {
  std::printf("%7.0f %9llu %8.1f %6llu %6llu %6llu %6llu %7llu | %s | %s | %s\n", r.Seconds,
              static_cast<unsigned long long>(r.Load.Calls), rate,
              static_cast<unsigned long long>(r.Load.Failed),
              static_cast<unsigned long long>(r.Load.Wrong),
              static_cast<unsigned long long>(r.Load.Transport),
              static_cast<unsigned long long>(r.Load.Expired),
              static_cast<unsigned long long>(r.Load.CyclesCompleted), Cell(r.Gateway, gw).c_str(),
              Cell(r.AppServer, as).c_str(), Cell(r.Self, getpid()).c_str());
  std::fflush(stdout);
}

// Waits until `pid` has exited (zombie or reaped) or `limit` passes; answers
// the time it took, nothing when it did not exit in time.
std::optional<std::chrono::milliseconds> WaitForExit(pid_t pid, Clock::time_point since,
                                                     std::chrono::milliseconds limit) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  const auto deadline = since + limit;
  for (;;) {
    const auto now = Clock::now();
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
      if (::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) > 0) {
        ::close(fd);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since);
      }
    } else if (!Sample(pid).Alive) {
      // No pidfd (an old kernel): /proc, every few milliseconds.
      return std::chrono::duration_cast<std::chrono::milliseconds>(now - since);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (Clock::now() >= deadline) {
      if (fd >= 0) ::close(fd);
      return std::nullopt;
    }
  }
}

void RaiseFdLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::string Growth(long from, long to) {
  char buf[64];
  std::snprintf(
      buf, sizeof buf, "%+ld (%+.1f%%)", to - from,
      from > 0 ? 100.0 * static_cast<double>(to - from) / static_cast<double>(from) : 0.0);
  return buf;
}

void PrintGrowth(const char* name, const ProcSample& a, const ProcSample& b) {
  if (!a.Alive || !b.Alive) {
    std::printf("growth %-9s: not measured (process not sampled)\n", name);
    return;
  }
  std::printf("growth %-9s: rss %.1f -> %.1f MiB, %s KiB; threads %d -> %d; fds %d -> %d\n", name,
              static_cast<double>(a.RssKiB) / 1024.0, static_cast<double>(b.RssKiB) / 1024.0,
              Growth(a.RssKiB, b.RssKiB).c_str(), a.Threads, b.Threads, a.Fds, b.Fds);
}

}  // namespace

int main(int argc, char** argv) {
  soak::LoadOptions o;
  double seconds = 600;
  int sampleEvery = 10;
  int warmupPercent = 20;
  int sessionTimeoutMs = 300000;
  int callTimeoutMs = 60000;
  pid_t gatewayPid = 0;
  pid_t appServerPid = 0;
  bool stopGateway = false;
  int stopLimitMs = 2000 + 300000;
  bool allowFailed = false;
  o.Sessions = 1000;
  o.Threads = 0;

  CLI::App app{
      "Soak load against a running gateway: every method mixed, malformed requests, sessions "
      "closing and expiring, each answer checked; /proc figures of the gateway and its "
      "application server.",
      "bench_soak"};
  app.add_option("--host", o.Host, "Gateway address");
  app.add_option("--port", o.Port, "Gateway HTTP port")->required();
  app.add_option("--sessions", o.Sessions, "Concurrent phones (sessions)")
      ->check(CLI::Range(1, 100000));
  app.add_option("--threads", o.Threads, "Threads driving them (default: sessions, at most 64)")
      ->check(CLI::Range(0, 100000));
  app.add_option("--seconds", seconds, "Duration of the load")->check(CLI::Range(0.0, 7.0 * 86400));
  app.add_option("--malformed", o.MalformedPercent, "Percent of malformed requests")
      ->check(CLI::Range(0, 100));
  app.add_option("--close", o.ClosePercent, "Percent of steps that close the session")
      ->check(CLI::Range(0, 100));
  app.add_option("--abandon", o.AbandonPercent, "Percent of steps that drop the session to expire")
      ->check(CLI::Range(0, 100));
  app.add_option("--session-timeout-ms", sessionTimeoutMs,
                 "The gateway's idle timeout of a session (a 403 sooner is wrong); 0: no check")
      ->check(CLI::Range(0, 86400000));
  app.add_option("--call-timeout-ms", callTimeoutMs,
                 "How long one call may take before it counts as no answer")
      ->check(CLI::Range(1, 86400000));
  app.add_option("--gateway-pid", gatewayPid, "The gateway's process, sampled");
  app.add_option("--appserver-pid", appServerPid, "The application server's process, sampled");
  app.add_option("--sample-every", sampleEvery, "Seconds between samples")
      ->check(CLI::Range(1, 3600));
  app.add_option("--warmup-percent", warmupPercent, "Growth is measured from this point of the run")
      ->check(CLI::Range(0, 99));
  app.add_flag("--stop-gateway", stopGateway,
               "At the end send SIGTERM to --gateway-pid under load, time its exit");
  app.add_option("--stop-limit-ms", stopLimitMs, "The longest the stop may take")
      ->check(CLI::Range(1, 86400000));
  app.add_flag("--allow-failed", allowFailed,
               "Calls answering 1 with a message do not fail the run");
  app.add_option("--tag", o.RunTag, "Tag in task subjects and phone UIDs");
  app.add_option("--seed", o.Seed, "Random seed");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  if (stopGateway && gatewayPid <= 0) {
    std::cerr << "bench_soak: --stop-gateway needs --gateway-pid\n";
    return 2;
  }
  if (o.Threads == 0) o.Threads = std::min(o.Sessions, 64);
  RaiseFdLimit();

  o.Duration = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  o.CallTimeout = std::chrono::milliseconds(callTimeoutMs);
  o.SessionTimeout = std::chrono::milliseconds(sessionTimeoutMs);
  o.TickInterval = std::chrono::seconds(sampleEvery);

  std::vector<Row> rows;  // written by the monitor thread only, read after RunLoad
  const auto start = Clock::now();
  const auto sample = [&](const soak::LoadReport& r) {
    Row row;
    row.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    row.Load = r;
    row.Gateway = Sample(gatewayPid);
    row.AppServer = Sample(appServerPid);
    row.Self = Sample(getpid());
    const double dt = rows.empty() ? row.Seconds : row.Seconds - rows.back().Seconds;
    const uint64_t dc = rows.empty() ? r.Calls : r.Calls - rows.back().Load.Calls;
    PrintRow(row, dt > 0 ? static_cast<double>(dc) / dt : 0.0, gatewayPid, appServerPid);
    rows.push_back(row);
  };

  std::printf(
      "soak: port %u, %d sessions on %d threads, %.0f s, %d%% malformed, close %d%%, abandon %d%%, "
      "session timeout %d ms, call timeout %d ms, gateway pid %d, appserver pid %d\n",
      o.Port, o.Sessions, o.Threads, seconds, o.MalformedPercent, o.ClosePercent, o.AbandonPercent,
      sessionTimeoutMs, callTimeoutMs, static_cast<int>(gatewayPid),
      static_cast<int>(appServerPid));
  PrintHeader();
  sample(soak::LoadReport{});

  std::optional<soak::LoadReport> atEnd;
  std::optional<std::chrono::milliseconds> stopTime;
  bool diedEarly = false;
  o.OnTick = [&](const soak::LoadReport& r, std::chrono::seconds) {
    sample(r);
    diedEarly = diedEarly || (gatewayPid > 0 && !rows.back().Gateway.Alive) ||
                (appServerPid > 0 && !rows.back().AppServer.Alive);
  };
  o.AtEnd = [&](const soak::LoadReport& r) {
    sample(r);
    diedEarly = diedEarly || (gatewayPid > 0 && !rows.back().Gateway.Alive) ||
                (appServerPid > 0 && !rows.back().AppServer.Alive);
    atEnd = r;
    if (!stopGateway || diedEarly) return;
    const auto sent = Clock::now();
    if (::kill(gatewayPid, SIGTERM) != 0) {
      std::perror("bench_soak: SIGTERM");
      return;
    }
    // Waits past the limit, so that a slow stop is measured, not only failed.
    stopTime = WaitForExit(gatewayPid, sent, std::chrono::milliseconds(stopLimitMs) + kStopGrace);
  };

  const soak::LoadReport total = soak::RunLoad(o);
  const soak::LoadReport& end = *atEnd;

  std::printf("\nat end of load: %s\n", end.Summary().c_str());
  std::printf("in all:         %s\n", total.Summary().c_str());
  const double loadSeconds = std::max(1e-3, seconds);
  std::printf(
      "answers by kind (at end): ok=%llu refused=%llu invalid(406)=%llu failed(1)=%llu "
      "expired(403)=%llu "
      "not_signed_in(404)=%llu transport=%llu remote=%llu wrong=%llu; %.1f calls/s\n",
      static_cast<unsigned long long>(end.Ok), static_cast<unsigned long long>(end.Refused),
      static_cast<unsigned long long>(end.Invalid), static_cast<unsigned long long>(end.Failed),
      static_cast<unsigned long long>(end.Expired),
      static_cast<unsigned long long>(end.NotSignedIn),
      static_cast<unsigned long long>(end.Transport), static_cast<unsigned long long>(end.Remote),
      static_cast<unsigned long long>(end.Wrong), static_cast<double>(end.Calls) / loadSeconds);
  for (const auto& [message, count] : total.FailureMessages)
    std::printf("failure %8llu x %s\n", static_cast<unsigned long long>(count), message.c_str());
  for (const std::string& w : total.WrongSamples) std::printf("wrong answer: %s\n", w.c_str());

  // Growth after the warm-up: the first sample at or after the point against
  // the last sample taken while the load ran. Sessions left to expire pile up
  // until the first of them expire, so the population is steady only after
  // the session timeout: growth from there is shown too when the run is long
  // enough.
  const Row& last = rows.back();
  const auto growthFrom = [&](double at, const char* what) {
    const Row* from = nullptr;
    for (const Row& r : rows) {
      if (r.Seconds >= at && r.Load.Calls > 0) {
        from = &r;
        break;
      }
    }
    if (!from || from == &last) {
      std::printf("growth %s: no sample between t=%.0f s and the end\n", what, at);
      return;
    }
    std::printf("growth %s, from t=%.0f s to t=%.0f s:\n", what, from->Seconds, last.Seconds);
    if (gatewayPid > 0) PrintGrowth("gateway", from->Gateway, last.Gateway);
    if (appServerPid > 0) PrintGrowth("appserver", from->AppServer, last.AppServer);
    PrintGrowth("client", from->Self, last.Self);
  };
  growthFrom(seconds * warmupPercent / 100.0, "after the warm-up");
  if (sessionTimeoutMs > 0 && o.AbandonPercent > 0 && seconds * 1000 > sessionTimeoutMs)
    growthFrom(sessionTimeoutMs / 1000.0,
               "with a steady session population (after the session timeout)");

  std::vector<std::string> verdict;
  if (total.Wrong > 0) verdict.push_back(std::to_string(total.Wrong) + " wrong answers");
  if (end.Transport > 0)
    verdict.push_back(std::to_string(end.Transport) +
                      " calls without an answer while the gateway ran");
  if (end.Remote > 0) verdict.push_back(std::to_string(end.Remote) + " framework errors");
  if (end.Failed > 0 && !allowFailed)
    verdict.push_back(std::to_string(end.Failed) + " calls failed with a message");
  if (diedEarly) verdict.push_back("a watched process died during the load");
  if (stopGateway) {
    if (stopTime) {
      std::printf("stop: gateway exited %lld ms after SIGTERM under load (limit %d ms)\n",
                  static_cast<long long>(stopTime->count()), stopLimitMs);
      if (stopTime->count() > stopLimitMs)
        verdict.push_back("the gateway took " + std::to_string(stopTime->count()) +
                          " ms to exit after SIGTERM, limit " + std::to_string(stopLimitMs) +
                          " ms");
      std::printf("after the stop: %llu calls, %llu ok, %llu failed(1), %llu transport\n",
                  static_cast<unsigned long long>(total.Calls - end.Calls),
                  static_cast<unsigned long long>(total.Ok - end.Ok),
                  static_cast<unsigned long long>(total.Failed - end.Failed),
                  static_cast<unsigned long long>(total.Transport - end.Transport));
    } else if (!diedEarly) {
      verdict.push_back("the gateway did not exit within " +
                        std::to_string(stopLimitMs + kStopGrace.count() * 1000) + " ms of SIGTERM");
    }
  }
  if (verdict.empty()) {
    std::printf("verdict: PASS\n");
    return 0;
  }
  for (const std::string& v : verdict) std::printf("verdict: FAIL: %s\n", v.c_str());
  return 1;
}
