#include "remoting/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <vector>

#include "util/exception.h"

namespace brevalon {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

ConnectionRegistry::Admission ConnectionRegistry::Reserve(const std::string& client) {
  std::lock_guard lock(FMutex);
  if (FCount >= FMax) return Admission::TooMany;
  std::size_t& mine = FPerClient[client];
  if (mine >= FMaxPerClient) {
    if (mine == 0) FPerClient.erase(client);
    return Admission::TooManyFromClient;
  }
  ++mine;
  ++FCount;
  return Admission::Admitted;
}

void ConnectionRegistry::ReleaseLocked(const std::string& client) {
  --FCount;
  auto it = FPerClient.find(client);
  if (it != FPerClient.end() && --it->second == 0) FPerClient.erase(it);
}

void ConnectionRegistry::Unreserve(const std::string& client) {
  std::lock_guard lock(FMutex);
  ReleaseLocked(client);
}

uint64_t ConnectionRegistry::Add(std::weak_ptr<ServerConnection> connection,
                                 const std::string& client) {
  std::lock_guard lock(FMutex);
  const uint64_t key = ++FNextKey;
  FConnections.emplace(key, Record{std::move(connection), client});
  return key;
}

void ConnectionRegistry::Remove(uint64_t key) {
  std::lock_guard lock(FMutex);
  auto it = FConnections.find(key);
  if (it == FConnections.end()) return;
  ReleaseLocked(it->second.Client);
  FConnections.erase(it);
}

void ConnectionRegistry::CloseAll() {
  std::vector<std::shared_ptr<ServerConnection>> open;
  {
    std::lock_guard lock(FMutex);
    for (auto& [key, record] : FConnections)
      if (auto c = record.Connection.lock()) open.push_back(std::move(c));
  }
  for (auto& c : open) c->CloseNow();
}

std::size_t ConnectionRegistry::Count() const {
  std::lock_guard lock(FMutex);
  return FCount;
}

namespace {

std::atomic<std::size_t> gRefusing{0};

// A connection over a limit: its refusal written, the sending side shut, and
// what the client still sends read and dropped for a moment, so that closing
// does not reset the connection before the client has read the answer.
class RefusedConnection : public std::enable_shared_from_this<RefusedConnection> {
 public:
  RefusedConnection(tcp::socket socket, std::string answer)
      : FSocket(std::move(socket)), FAnswer(std::move(answer)), FTimer(FSocket.get_executor()) {}
  ~RefusedConnection() { --gRefusing; }

  void Start() {
    FTimer.expires_after(std::chrono::seconds(2));
    FTimer.async_wait([self = shared_from_this()](const error_code& ec) {
      if (!ec) self->Close();
    });
    asio::async_write(FSocket, asio::buffer(FAnswer),
                      [self = shared_from_this()](const error_code& ec, std::size_t) {
                        if (ec) {
                          self->Close();
                          return;
                        }
                        error_code ignored;
                        self->FSocket.shutdown(tcp::socket::shutdown_send, ignored);
                        self->Drain();
                      });
  }

 private:
  void Drain() {
    FSocket.async_read_some(asio::buffer(FSink),
                            [self = shared_from_this()](const error_code& ec, std::size_t n) {
                              self->FDrained += n;
                              if (ec || self->FDrained > 64 * 1024) {
                                self->Close();
                                return;
                              }
                              self->Drain();
                            });
  }
  void Close() {
    error_code ignored;
    FTimer.cancel();
    FSocket.close(ignored);
  }

  tcp::socket FSocket;
  std::string FAnswer;
  asio::steady_timer FTimer;
  std::array<char, 4096> FSink{};
  std::size_t FDrained = 0;
};

}  // namespace

namespace {

int OpenSpare() {
  return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool OutOfDescriptors(const error_code& ec) {
  return ec == asio::error::no_descriptors ||
         ec == boost::system::errc::too_many_files_open_in_system;
}

}  // namespace

Listener::Listener(asio::io_context& io, ConnectionRegistry& registry, Accepted accepted,
                   Refusal refusal, LimitLog* limits)
    : FIo(io),
      FRegistry(registry),
      FAccepted(std::move(accepted)),
      FRefusal(std::move(refusal)),
      FLimits(limits),
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
  error_code peerError;
  const tcp::endpoint peer = socket.remote_endpoint(peerError);
  if (peerError) {
    // Gone before it was looked at: nobody to serve.
    error_code ignored;
    socket.close(ignored);
  } else {
    const std::string address = peer.address().to_string();
    const std::string client = ClientKey(address);
    const auto admission = FRegistry.Reserve(client);
    if (admission == ConnectionRegistry::Admission::Admitted)
      FAccepted(std::move(socket), address, client);
    else
      Refuse(std::move(socket), admission, address);
  }
  Accept();
}

void Listener::Refuse(tcp::socket socket, ConnectionRegistry::Admission why,
                      const std::string& address) {
  const bool perClient = why == ConnectionRegistry::Admission::TooManyFromClient;
  if (FLimits)
    FLimits->Hit(perClient ? LimitKind::ConnectionsPerAddress : LimitKind::Connections, address);
  if (!FRefusal || gRefusing.fetch_add(1) >= kMaxRefusing) {
    if (FRefusal) --gRefusing;
    error_code ignored;
    socket.close(ignored);
    return;
  }
  std::shared_ptr<RefusedConnection> refused;
  try {
    refused = std::make_shared<RefusedConnection>(std::move(socket), FRefusal(why));
  } catch (...) {
    --gRefusing;  // out of memory: the socket went with the failed construction
    return;
  }
  refused->Start();
}

void Listener::Close() {
  error_code ignored;
  FAcceptor.close(ignored);
  FRetry.cancel();
}

}  // namespace brevalon
