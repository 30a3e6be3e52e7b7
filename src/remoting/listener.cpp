#include "remoting/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/strand.hpp>
#include <cerrno>
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

namespace {

int OpenSpare() {
  return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool OutOfDescriptors(const error_code& ec) {
  return ec == asio::error::no_descriptors ||
         ec == boost::system::errc::too_many_files_open_in_system;
}

}  // namespace

Listener::Listener(asio::io_context& io, ConnectionRegistry& registry, Accepted accepted)
    : FIo(io),
      FRegistry(registry),
      FAccepted(std::move(accepted)),
      FAcceptor(io),
      FRetry(io),
      FSpare(OpenSpare()) {}

Listener::~Listener() {
  if (FSpare >= 0) ::close(FSpare);
}

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

void Listener::RetryLater() {
  FRetry.expires_after(std::chrono::milliseconds(100));
  FRetry.async_wait([self = shared_from_this()](const error_code& e) {
    if (!e && self->FAcceptor.is_open()) self->Accept();
  });
}

void Listener::ShedWaiting() {
  if (FSpare < 0) FSpare = OpenSpare();
  if (FSpare < 0) return;  // nothing to give up: the waiting clients wait
  const int listening = FAcceptor.native_handle();
  // Bounded: other handlers of the I/O thread must not starve behind a flood.
  for (int i = 0; i < 64; ++i) {
    pollfd p{listening, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) break;
    ::close(FSpare);
    const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    const int acceptError = errno;
    if (fd >= 0) ::close(fd);
    FSpare = OpenSpare();
    if (fd < 0 && acceptError != ECONNABORTED && acceptError != EINTR) break;
    if (FSpare < 0) break;
  }
}

void Listener::OnAccept(const error_code& ec, tcp::socket socket) {
  if (ec == asio::error::operation_aborted || !FAcceptor.is_open()) return;
  if (ec) {
    // Out of descriptors: the waiting clients are closed rather than left
    // hanging. Either way, pause before accepting again instead of spinning;
    // descriptors come back as sessions end.
    if (OutOfDescriptors(ec)) ShedWaiting();
    RetryLater();
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
