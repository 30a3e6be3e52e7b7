// RemoteMethodServer: the remote-method framework's server. It serves one
// ServerClass over two transports, HTTP REST (rest conventions of the
// published DataSnap REST protocol, Boost.Beast) and the line-oriented TCP
// transport (one connection = one session), and owns the session manager.
//
// Owned by the server host (TMobileServer). Start/Stop may be called again
// and again (pause and continue); the destructor stops and ends every
// session, closing the objects the sessions keep (and so joining workers).
// Start, Stop and the destructor are called from one controlling thread;
// calls are served on the server's own threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "remoting/limits.h"
#include "remoting/remote_methods.h"

namespace brevalon {

struct RemoteServerOptions {
  std::string Listen = "0.0.0.0";
  uint16_t HttpPort = 8085;                          // 0 = any free port (tests)
  uint16_t TcpPort = 211;                            // 0 = any free port (tests)
  // HTTPS beside HTTP: on when a certificate is given. The certificate file
  // is PEM (the server's certificate first, then its chain), the key PEM,
  // unencrypted. TLS 1.2 and 1.3 only.
  uint16_t HttpsPort = 8086;  // 0 = any free port (tests)
  std::string TlsCertificateFile;
  std::string TlsKeyFile;
  std::chrono::milliseconds SessionTimeout{300000};  // HTTP sessions
  // Limits against hostile or broken clients. The daemon sets them from
  // what the machine allows (os/machine_limits.h) unless told otherwise.
  std::size_t MaxHeaderBytes = 16 * 1024;
  std::size_t MaxBodyBytes = 8 * 1024 * 1024;
  std::size_t MaxTcpLineBytes = 8 * 1024 * 1024;
  std::size_t MaxConnections = 20000;
  std::size_t MaxConnectionsPerAddress = 256;
  std::chrono::milliseconds ReadTimeout{30000};   // a request must arrive whole within this
  std::chrono::milliseconds IdleTimeout{120000};  // keep-alive connection without a request
  // Threads that read, parse and write the transports. Calls run on the call
  // pool, so one carries thousands of sessions; more only add wake-ups
  // between them.
  std::size_t IoThreads = 1;
  // Threads that run calls: started on demand (a call never waits for
  // another), idle ones retire. Calls beyond the bound queue, up to
  // MaxQueuedCalls; beyond that a call is answered 503.
  std::size_t MaxCallThreads = 1024;
  std::size_t MaxQueuedCalls = 65536;
  std::size_t MaxSessions = 200000;  // a request that would open more answers 503
  // HTTP sessions that never signed in, overall and per client address
  // (SessionManager: the oldest idle one makes room).
  std::size_t MaxUnsignedSessions = 4096;
  std::size_t MaxUnsignedSessionsPerAddress = 64;
  // Where limit hits are reported, at most one entry per kind a minute
  // (LimitLog); empty = counted only.
  std::function<void(const std::string&)> LimitEntry;
  // Time source of session expiry; empty = steady_clock::now (tests inject one).
  std::function<std::chrono::steady_clock::time_point()> SessionClock;
};

class RemoteMethodServer {
 public:
  RemoteMethodServer(ServerClass serverClass, RemoteServerOptions options);
  ~RemoteMethodServer();
  RemoteMethodServer(const RemoteMethodServer&) = delete;
  RemoteMethodServer& operator=(const RemoteMethodServer&) = delete;

  // Begins listening on both transports (and HTTPS when configured); raises
  // brevalon::Exception when a port cannot be bound or the certificate or
  // key cannot be used. Does nothing when already running.
  void Start();
  // Stops listening and closes open connections (TCP sessions end with
  // them); HTTP sessions stay until they expire or the server is destroyed.
  // Does nothing when not running.
  void Stop();
  bool Running() const;

  // The bound ports (meaningful while running; the actual port when 0 was
  // asked; HttpsPort is 0 without HTTPS).
  uint16_t HttpPort() const;
  uint16_t TcpPort() const;
  uint16_t HttpsPort() const;

  // Number of live sessions (both transports), and of HTTP sessions that
  // have not signed in.
  std::size_t SessionCount() const;
  std::size_t UnsignedSessionCount() const;
  // Open connections of both transports.
  std::size_t ConnectionCount() const;
  // How often each limit was hit.
  const LimitLog& Limits() const;

 private:
  class Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace brevalon
