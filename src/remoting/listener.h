// Accepting and tracking connections for the remote-method server's two
// transports. A Listener accepts on one endpoint and hands each socket (on
// its own strand) to the transport; the ConnectionRegistry counts and tracks
// the open connections of both transports so that the connection limits hold
// (all clients together, and per client address) and Stop() can close every
// one of them.
//
// A connection over a limit is not dropped silently: the transport's refusal
// (an HTTP 503 with Retry-After, a TCP error line) is written, the sending
// side shut, and what the client still sends read and thrown away for a
// moment before the close, so that the answer is not lost to a reset. At most
// kMaxRefusing such refusals are in progress; beyond that a connection is
// closed at once.
//
// Out of descriptors, a connection would wait in the kernel's backlog with
// its client hanging on it; instead the Listener keeps one spare descriptor,
// gives it up to accept such a connection and closes it at once, so that the
// client sees a clean close and can try again later.
//
// Owned by RemoteMethodServer. Listener's Accept runs on the I/O threads;
// Open and Close are called by the controlling thread while no I/O thread
// runs. The registry is safe from any thread.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "remoting/limits.h"

namespace brevalon {

// What the registry needs of a connection.
class ServerConnection {
 public:
  virtual ~ServerConnection() = default;
  // Closes the socket at once. Called only while no I/O thread runs.
  virtual void CloseNow() = 0;
};

class ConnectionRegistry {
 public:
  enum class Admission { Admitted, TooMany, TooManyFromClient };

  ConnectionRegistry(std::size_t max, std::size_t maxPerClient)
      : FMax(max), FMaxPerClient(maxPerClient) {}

  // Reserves a place for a new connection of the client `client` (a
  // ClientKey); anything but Admitted holds no reservation.
  Admission Reserve(const std::string& client);
  // Gives back a reservation that was not used.
  void Unreserve(const std::string& client);
  // Records a connection that holds a reservation; returns its key.
  uint64_t Add(std::weak_ptr<ServerConnection> connection, const std::string& client);
  // Drops the record and the reservation (from the connection's destructor).
  void Remove(uint64_t key);
  // Closes every recorded connection (CloseNow).
  void CloseAll();
  std::size_t Count() const;

 private:
  struct Record {
    std::weak_ptr<ServerConnection> Connection;
    std::string Client;
  };
  void ReleaseLocked(const std::string& client);

  const std::size_t FMax;
  const std::size_t FMaxPerClient;
  mutable std::mutex FMutex;  // guards everything below
  std::size_t FCount = 0;     // reservations, recorded or not
  std::unordered_map<std::string, std::size_t> FPerClient;
  std::unordered_map<uint64_t, Record> FConnections;
  uint64_t FNextKey = 0;
};

// At most this many refused connections are being answered at once.
inline constexpr std::size_t kMaxRefusing = 256;

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  // An admitted socket, its client's address and its ClientKey (the
  // reservation is under that key).
  using Accepted = std::function<void(boost::asio::ip::tcp::socket, const std::string& address,
                                      const std::string& client)>;
  // The bytes a connection over a limit is answered with.
  using Refusal = std::function<std::string(ConnectionRegistry::Admission)>;

  Listener(boost::asio::io_context& io, ConnectionRegistry& registry, Accepted accepted,
           Refusal refusal = {}, LimitLog* limits = nullptr);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and listens; raises brevalon::Exception when it cannot.
  void Open(const std::string& address, uint16_t port);
  uint16_t Port() const { return FPort; }
  // Starts accepting (the accept loop runs on the I/O threads).
  void Accept();
  void Close();

 private:
  void OnAccept(const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket);
  // Out of descriptors: accepts and closes the waiting connections with the
  // spare descriptor (when there is one to give up).
  void ShedWaiting();
  void RetryLater();
  void Refuse(boost::asio::ip::tcp::socket socket, ConnectionRegistry::Admission why,
              const std::string& address);

  boost::asio::io_context& FIo;
  ConnectionRegistry& FRegistry;
  Accepted FAccepted;
  Refusal FRefusal;
  LimitLog* FLimits;
  boost::asio::ip::tcp::acceptor FAcceptor;
  boost::asio::steady_timer FRetry;  // pause after an accept failure
  int FSpare = -1;                   // held in reserve for ShedWaiting; -1 when none
  uint16_t FPort = 0;
};

}  // namespace brevalon
