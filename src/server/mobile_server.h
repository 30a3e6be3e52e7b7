// TMobileServer: the server host. Builds the remote-method framework's server
// with its two transports (HTTP REST and TCP), serves TServerMethods on it and
// gives every session its worker when it connects. Start and Stop switch
// listening on and off (the daemon's start/continue and stop/pause).
//
// Owned by the daemon (TBrevalon24); Start, Stop and the destructor are
// called from one controlling thread. The destructor stops listening and ends
// every session, and with them their workers.
#pragma once

#include <cstdint>
#include <memory>

#include "remoting/remote_method_server.h"
#include "server/server_methods.h"

namespace brevalon {

class TMobileServer {
 public:
  explicit TMobileServer(RemoteServerOptions options = {}, ServerMethodsOptions methods = {});
  ~TMobileServer();
  TMobileServer(const TMobileServer&) = delete;
  TMobileServer& operator=(const TMobileServer&) = delete;

  // Both transports begin to listen; raises brevalon::Exception when a port
  // cannot be bound. Nothing when already listening.
  void Start();
  // Both transports stop listening; nothing when not listening.
  void Stop();
  bool Running() const;

  uint16_t HttpPort() const;
  uint16_t TcpPort() const;
  std::size_t SessionCount() const;
  // The framework's server (its counters) and the server class's methods.
  RemoteMethodServer& Framework();
  TServerMethods& Methods() { return *FMethods; }

 private:
  // Declared before FServer: the server serves it and must go first.
  std::unique_ptr<TServerMethods> FMethods;
  std::unique_ptr<RemoteMethodServer> FServer;
};

}  // namespace brevalon
