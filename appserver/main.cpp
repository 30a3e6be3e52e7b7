// brevalon-appserver: the reference main-system and workflow application
// servers on one SQLite file (docs/appserver.md). Runs in the foreground
// until SIGTERM or SIGINT.
#include <CLI/CLI.hpp>

#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <pthread.h>

#include "appserver/app_server.h"
#include "appserver/log.h"

int main(int argc, char** argv) {
  using namespace brevalon::appserver;
  CLI::App app{"Reference main-system and workflow application servers on SQLite"};
  AppServerOptions options;
  std::string db, seed, logLevel = "info";
  int port = 4804;
  app.add_option("--db", db, "SQLite file (created when missing)")->required();
  app.add_option("--seed", seed, "JSON seed to load into the file");
  app.add_option("--listen", options.listen, "address to listen on")->capture_default_str();
  app.add_option("--port", port, "TCP port (0 = any free port)")->check(CLI::Range(0, 65535))->capture_default_str();
  app.add_option("--app-version", options.appVersion, "value of the ApplicationVersion property")
      ->capture_default_str();
  bool noAnswerCache = false;
  app.add_flag("--no-answer-cache", noAnswerCache,
               "run every list read against the database, even when nothing changed since the last one");
  app.add_option("--log-level", logLevel, "info or debug (one line per call)")
      ->check(CLI::IsMember({"info", "debug"}))
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  options.db = db;
  options.seed = seed;
  options.port = static_cast<uint16_t>(port);
  options.answerCache = !noAnswerCache;
  SetLogLevel(logLevel == "debug" ? LogLevel::kDebug : LogLevel::kInfo);

  // Every call frees answer buffers of tens of kilobytes on its pool thread;
  // without a higher threshold the allocator hands the top of that thread's
  // heap back to the system after each (a madvise and a TLB shootdown on
  // every processor) only to fault it in again at the next call.
  mallopt(M_TRIM_THRESHOLD, 64 << 20);

  // Block the stop signals in every thread (the pools inherit the mask) and
  // wait for them here, so that stopping runs on this thread, not in a handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    AppServer server(options);
    server.Start();
    std::cout << "listening on " << options.listen << ":" << server.Port() << std::endl;
    int sig = 0;
    sigwait(&stopSignals, &sig);
    LogInfo(std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
    server.Stop();
  } catch (const std::exception& e) {
    LogInfo(std::string("failed: ") + e.what());
    return 1;
  }
  LogInfo("stopped");
  return 0;
}
