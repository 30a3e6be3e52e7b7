// Accepting and tracking connections for the remote-method server's two
// transports. A Listener accepts on one endpoint and hands each socket (on
// its own strand) to the transport; the ConnectionRegistry counts and tracks
// the open connections of both transports so that the connection limit holds
// and Stop() can close every one of them.
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
  explicit ConnectionRegistry(std::size_t max) : FMax(max) {}

  // Reserves a place for a new connection; false when the limit is reached.
  bool Reserve();
  // Gives back a reservation that was not used.
  void Unreserve();
  // Records a connection that holds a reservation; returns its key.
  uint64_t Add(std::weak_ptr<ServerConnection> connection);
  // Drops the record and the reservation (from the connection's destructor).
  void Remove(uint64_t key);
  // Closes every recorded connection (CloseNow).
  void CloseAll();
  std::size_t Count() const { return FCount.load(); }

 private:
  const std::size_t FMax;
  std::atomic<std::size_t> FCount{0};  // reservations, recorded or not
  std::mutex FMutex;                   // guards FConnections and FNextKey
  std::unordered_map<uint64_t, std::weak_ptr<ServerConnection>> FConnections;
  uint64_t FNextKey = 0;
};

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  using Accepted = std::function<void(boost::asio::ip::tcp::socket)>;

  Listener(boost::asio::io_context& io, ConnectionRegistry& registry, Accepted accepted);
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

  boost::asio::io_context& FIo;
  ConnectionRegistry& FRegistry;
  Accepted FAccepted;
  boost::asio::ip::tcp::acceptor FAcceptor;
  boost::asio::steady_timer FRetry;  // pause after an accept failure
  int FSpare = -1;                   // held in reserve for ShedWaiting; -1 when none
  uint16_t FPort = 0;
};

}  // namespace brevalon
