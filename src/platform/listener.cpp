#include "platform/listener.h"

#include <boost/asio/strand.hpp>
#include <vector>

#include "util/exception.h"

namespace brevalon {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

bool ConnectionRegistry::Reserve() {
  std::size_t n = FCount.load();
  do {
    if (n >= FMax) return false;
  } while (!FCount.compare_exchange_weak(n, n + 1));
  return true;
}

void ConnectionRegistry::Unreserve() {
  --FCount;
}

uint64_t ConnectionRegistry::Add(std::weak_ptr<ServerConnection> connection) {
  std::lock_guard lock(FMutex);
  const uint64_t key = ++FNextKey;
  FConnections.emplace(key, std::move(connection));
  return key;
}

void ConnectionRegistry::Remove(uint64_t key) {
  {
    std::lock_guard lock(FMutex);
    FConnections.erase(key);
  }
  --FCount;
}

void ConnectionRegistry::CloseAll() {
  std::vector<std::shared_ptr<ServerConnection>> open;
  {
    std::lock_guard lock(FMutex);
    for (auto& [key, weak] : FConnections)
      if (auto c = weak.lock()) open.push_back(std::move(c));
  }
  for (auto& c : open) c->CloseNow();
}

Listener::Listener(asio::io_context& io, ConnectionRegistry& registry, Accepted accepted)
    : FIo(io), FRegistry(registry), FAccepted(std::move(accepted)), FAcceptor(io), FRetry(io) {}

void Listener::Open(const std::string& address, uint16_t port) {
  error_code ec;
  const auto ip = asio::ip::make_address(address, ec);
  if (ec) throw Exception("Cannot listen on " + address + ": " + ec.message());
  const tcp::endpoint endpoint(ip, port);
  FAcceptor.open(endpoint.protocol(), ec);
  if (!ec) FAcceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) FAcceptor.bind(endpoint, ec);
  if (!ec) FAcceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error_code ignored;
    FAcceptor.close(ignored);
    throw Exception("Cannot listen on " + address + ":" + std::to_string(port) + ": " +
                    ec.message());
  }
  FPort = FAcceptor.local_endpoint(ec).port();
}

void Listener::Accept() {
  FAcceptor.async_accept(asio::make_strand(FIo),
                         [self = shared_from_this()](const error_code& ec, tcp::socket s) {
                           self->OnAccept(ec, std::move(s));
                         });
}

void Listener::OnAccept(const error_code& ec, tcp::socket socket) {
  if (ec == asio::error::operation_aborted || !FAcceptor.is_open()) return;
  if (ec) {
    // Out of descriptors and the like: pause instead of spinning.
    FRetry.expires_after(std::chrono::milliseconds(100));
    FRetry.async_wait([self = shared_from_this()](const error_code& e) {
      if (!e && self->FAcceptor.is_open()) self->Accept();
    });
    return;
  }
  if (FRegistry.Reserve()) {
    FAccepted(std::move(socket));
  } else {
    error_code ignored;
    socket.close(ignored);
  }
  Accept();
}

void Listener::Close() {
  error_code ignored;
  FAcceptor.close(ignored);
  FRetry.cancel();
}

}  // namespace brevalon
