// The reference application-server process as a unit: the SQLite store, the
// optional seed, and the RDC server with the main-system and workflow server
// classes registered on it. Used by the program and by the tests (port 0).
//
// Owned by one thread, which calls Start and Stop; the sessions run on the
// RDC server's pools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "appserver/store.h"
#include "rdc/rdc_server.h"

namespace brevalon::appserver {

struct AppServerOptions {
  std::filesystem::path db;
  std::filesystem::path seed;  // empty = none
  std::string listen = "127.0.0.1";
  uint16_t port = 4804;
  int32_t appVersion = 20100701;
  bool answerCache = true;  // Store::ReadCached keeps list answers while nothing changes
  Store::Clock clock;  // empty = the system clock
};

class AppServer {
 public:
  // Opens (or creates) the store and loads the seed; raises on failure
  // (ESqliteException, ESeedException).
  explicit AppServer(AppServerOptions options);
  ~AppServer();
  AppServer(const AppServer&) = delete;
  AppServer& operator=(const AppServer&) = delete;

  // Listens; raises ERdcTransportFailure when it cannot.
  void Start();
  uint16_t Port() const { return rdc_->Port(); }
  // Closes every connection and waits for running calls; idempotent.
  void Stop();

  Store& GetStore() { return *store_; }

 private:
  AppServerOptions options_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<RdcServer> rdc_;
};

// Loads the seed unless every database it names is already in the store (a
// restart with the same command line); a seed that names some present and
// some absent databases is refused. Returns whether it loaded.
bool LoadSeedOnce(Store& store, const std::filesystem::path& seed);

}  // namespace brevalon::appserver
