#include "rdc/rdc_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

namespace brevalon {

namespace http = boost::beast::http;

namespace {

std::string ErrnoText(int err) { return std::strerror(err); }

bool StartsWithNoCase(const std::string& s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// A port number in text, 1..65535, or nothing.
std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v < 1 || v > 65535) return std::nullopt;
  return static_cast<uint16_t>(v);
}

std::string HostPort(const std::string& host, uint16_t port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Milliseconds left until the deadline, at least 0, rounded up.
int MillisLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 1000000000 ? 1000000000 : static_cast<int>(ms);
}

// Waits until fd is ready for `events` or the deadline passes (false).
bool WaitReady(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, MillisLeft(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return true;  // let the following I/O call report the error
  }
}

}  // namespace

// ---------------------------------------------------------------- RdcEndpoint

std::string RdcEndpoint::ToString() const {
  if (transport == Transport::kHttp) return "http://" + HostPort(host, port) + http_path;
  return HostPort(host, port);
}

RdcEndpoint RdcEndpoint::FromUrl(const std::string& url) {
  std::string rest = url;
  if (StartsWithNoCase(rest, "http://")) {
    rest.erase(0, 7);
  } else if (rest.find("://") != std::string::npos) {
    throw ERdcTransportFailure("Unsupported URL of the application server: " + url);
  }
  RdcEndpoint ep;
  ep.transport = Transport::kHttp;
  const size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  ep.http_path = slash == std::string::npos ? "/" : rest.substr(slash);
  std::string port_text;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) throw ERdcTransportFailure("Invalid URL of the application server: " + url);
    ep.host = authority.substr(1, close - 1);
    std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') throw ERdcTransportFailure("Invalid URL of the application server: " + url);
      port_text = after.substr(1);
    }
  } else {
    const size_t colon = authority.find(':');
    ep.host = authority.substr(0, colon);
    if (colon != std::string::npos) port_text = authority.substr(colon + 1);
  }
  if (ep.host.empty() || authority.find('@') != std::string::npos) {
    throw ERdcTransportFailure("Invalid URL of the application server: " + url);
  }
  ep.port = 80;
  if (!port_text.empty()) {
    auto port = ParsePort(port_text);
    if (!port) throw ERdcTransportFailure("Invalid port in the URL of the application server: " + url);
    ep.port = *port;
  }
  for (char c : ep.http_path) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
      throw ERdcTransportFailure("Invalid URL of the application server: " + url);
    }
  }
  return ep;
}

RdcEndpoint RdcEndpoint::FromConnectionKind(int connection_type, const std::string& server_name, int port,
                                            const std::string& proxy_name, const std::string& proxy_port) {
  if (connection_type < 0 || connection_type > 2) {
    throw ERdcTransportFailure("Connection type [" + std::to_string(connection_type) + "] not recognized");
  }
  if (server_name.empty()) throw ERdcTransportFailure("No application server name given");
  RdcEndpoint ep;
  switch (connection_type) {
    case 0:
      ep.host = server_name;
      ep.port = kRdcActivationPort;
      break;
    case 1:
      if (port < 1 || port > 65535) {
        throw ERdcTransportFailure("Invalid port " + std::to_string(port) + " of the application server");
      }
      ep.host = server_name;
      ep.port = static_cast<uint16_t>(port);
      break;
    default:
      ep = FromUrl(server_name);
      if (!proxy_name.empty() && !proxy_port.empty()) {
        auto pp = ParsePort(proxy_port);
        if (!pp) throw ERdcTransportFailure("Invalid proxy port \"" + proxy_port + "\"");
        ep.proxy_host = proxy_name;
        ep.proxy_port = *pp;
      }
      break;
  }
  return ep;
}

// --------------------------------------------------------------------- RdcArg

RdcArg RdcArg::Ref(Variant& target) {
  RdcArg a;
  a.variant_ref_ = &target;
  return a;
}
RdcArg RdcArg::Ref(std::string& target) {
  RdcArg a;
  a.string_ref_ = &target;
  return a;
}
RdcArg RdcArg::Ref(int32_t& target) {
  RdcArg a;
  a.int_ref_ = &target;
  return a;
}
RdcArg RdcArg::Ref(double& target) {
  RdcArg a;
  a.double_ref_ = &target;
  return a;
}
RdcArg RdcArg::Ref(bool& target) {
  RdcArg a;
  a.bool_ref_ = &target;
  return a;
}

RdcArgMode RdcArg::Mode() const {
  if (variant_ref_) return RdcArgMode::kVariantRef;
  if (string_ref_ || int_ref_ || double_ref_ || bool_ref_) return RdcArgMode::kTypedRef;
  return RdcArgMode::kValue;
}

Variant RdcArg::Current() const {
  if (variant_ref_) return *variant_ref_;
  if (string_ref_) return Variant(*string_ref_);
  if (int_ref_) return Variant(*int_ref_);
  if (double_ref_) return Variant(*double_ref_);
  if (bool_ref_) return Variant(*bool_ref_);
  return value_;
}

void RdcArg::Assign(const Variant& v) {
  auto expect = [&](VariantType type) {
    if (v.Type() != type) {
      throw ERdcProtocolError(std::string("A reference of type ") + VariantTypeName(type) + " received " +
                              v.ToDebugString());
    }
  };
  if (variant_ref_) {
    *variant_ref_ = v;
  } else if (string_ref_) {
    expect(VariantType::Text);
    *string_ref_ = v.AsString();
  } else if (int_ref_) {
    expect(VariantType::Int32);
    *int_ref_ = v.AsInteger();
  } else if (double_ref_) {
    expect(VariantType::Double);
    *double_ref_ = v.AsDouble();
  } else if (bool_ref_) {
    expect(VariantType::Boolean);
    *bool_ref_ = v.AsBoolean();
  } else {
    throw ERdcProtocolError("A value was written back to an argument passed by value");
  }
}

// ------------------------------------------------------------------ RdcClient

RdcClient::RdcClient(RdcClientOptions options) : options_(options) {}

RdcClient::~RdcClient() { Close(); }

void RdcClient::CloseSocket() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  in_.clear();
}

void RdcClient::Fail(const std::string& message) {
  CloseSocket();
  open_ = false;
  http_session_.clear();
  throw ERdcTransportFailure(message);
}

void RdcClient::Close() noexcept {
  if (open_ && endpoint_.transport == RdcEndpoint::Transport::kHttp && !http_session_.empty()) {
    // Lets the server drop the HTTP session at once instead of at its expiry.
    try {
      const auto limit = std::min<std::chrono::milliseconds>(options_.call_timeout, std::chrono::milliseconds(2000));
      Exchange(RdcEncodeBye(), Clock::now() + limit);
    } catch (...) {
    }
  }
  CloseSocket();
  open_ = false;
  http_session_.clear();
}

bool RdcClient::ClosedByPeer() const {
  if (!open_ || fd_ < 0 || endpoint_.transport != RdcEndpoint::Transport::kTcp) return false;
  if (!in_.empty()) return true;
  // Between calls the server has nothing to say: any readiness is an end of
  // stream, a reset or stray bytes.
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

void RdcClient::ConnectSocket(const std::string& host, uint16_t port, Clock::time_point deadline) {
  CloseSocket();
  const std::string where = HostPort(host, port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) Fail("Cannot resolve the application server host \"" + host + "\": " + ::gai_strerror(rc));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);

  std::string last_error = "no address";
  for (addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      last_error = ErrnoText(errno);
      continue;
    }
    int err = 0;
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        if (!WaitReady(fd, POLLOUT, deadline)) {
          ::close(fd);
          Fail("Timed out connecting to the application server at " + where + " after " +
               std::to_string(options_.connect_timeout.count()) + " ms");
        }
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      }
    }
    if (err != 0) {
      last_error = ErrnoText(err);
      ::close(fd);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    fd_ = fd;
    return;
  }
  Fail("Cannot connect to the application server at " + where + ": " + last_error);
}

void RdcClient::SendAll(const std::string& data, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int err = errno;
    if (n < 0 && err == EINTR) continue;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
      if (!WaitReady(fd_, POLLOUT, deadline)) {
        Fail("Timed out sending to the application server at " + endpoint_.ToString());
      }
      continue;
    }
    Fail("Connection to the application server at " + endpoint_.ToString() + " lost: " + ErrnoText(err));
  }
}

void RdcClient::ReceiveSome(Clock::time_point deadline) {
  char buf[65536];
  // The answer is rarely there yet: wait first, then read (one system call
  // fewer than reading, failing and waiting).
  if (!WaitReady(fd_, POLLIN, deadline)) {
    Fail("No answer from the application server at " + endpoint_.ToString() + " in time");
  }
  for (;;) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      in_.append(buf, static_cast<size_t>(n));
      return;
    }
    if (n == 0) Fail("Connection closed by the application server at " + endpoint_.ToString());
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      if (!WaitReady(fd_, POLLIN, deadline)) {
        Fail("No answer from the application server at " + endpoint_.ToString() + " in time");
      }
      continue;
    }
    Fail("Connection to the application server at " + endpoint_.ToString() + " lost: " + ErrnoText(err));
  }
}

std::string RdcClient::Exchange(const std::string& frame, Clock::time_point deadline) {
  if (endpoint_.transport == RdcEndpoint::Transport::kHttp) return ExchangeHttp(frame, deadline);
  return ExchangeTcp(frame, deadline);
}

std::string RdcClient::ExchangeTcp(const std::string& frame, Clock::time_point deadline) {
  if (fd_ < 0) Fail("Not connected to the application server");
  // Between calls the server has nothing to say; bytes here are not ours.
  if (!in_.empty()) Fail("Unexpected data from the application server at " + endpoint_.ToString());
  SendAll(frame, deadline);
  return ReceiveFrame(deadline);
}

std::string RdcClient::ReceiveFrame(Clock::time_point deadline) {
  while (in_.size() < kRdcFrameHeaderSize) ReceiveSome(deadline);
  uint32_t length = 0;
  try {
    length = RdcReadFrameLength(reinterpret_cast<const unsigned char*>(in_.data()), options_.max_frame_length);
  } catch (const ERdcProtocolError& e) {
    Fail("Malformed answer from the application server at " + endpoint_.ToString() + ": " + e.what());
  }
  const size_t total = kRdcFrameHeaderSize + length;
  if (in_.capacity() < total) in_.reserve(total);
  while (in_.size() < total) ReceiveSome(deadline);
  std::string body = in_.substr(kRdcFrameHeaderSize, length);
  in_.erase(0, total);
  return body;
}

std::string RdcClient::ExchangeHttp(const std::string& frame, Clock::time_point deadline) {
  const bool via_proxy = !endpoint_.proxy_host.empty();
  if (fd_ >= 0) {
    // A kept-alive connection the server (or proxy) has closed meanwhile is
    // readable now; open a fresh one rather than fail the request.
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) != 0 || !in_.empty()) CloseSocket();
  }
  if (fd_ < 0) {
    ConnectSocket(via_proxy ? endpoint_.proxy_host : endpoint_.host, via_proxy ? endpoint_.proxy_port : endpoint_.port,
                  deadline);
  }
  const std::string authority = HostPort(endpoint_.host, endpoint_.port);
  std::string request = "POST ";
  request += via_proxy ? "http://" + authority + endpoint_.http_path : endpoint_.http_path;
  request += " HTTP/1.1\r\nHost: " + authority +
             "\r\nContent-Type: application/octet-stream\r\nConnection: keep-alive\r\nContent-Length: " +
             std::to_string(frame.size()) + "\r\n";
  if (!http_session_.empty()) request += "X-Rdc-Session: " + http_session_ + "\r\n";
  request += "\r\n";
  request += frame;
  SendAll(request, deadline);

  std::optional<http::response_parser<http::string_body>> parser;
  auto fresh = [&] {
    parser.emplace();
    parser->header_limit(16 * 1024);
    parser->body_limit(static_cast<uint64_t>(options_.max_frame_length) + kRdcFrameHeaderSize);
    parser->eager(true);
  };
  fresh();
  for (;;) {
    boost::beast::error_code ec;
    if (!in_.empty()) {
      const size_t used = parser->put(boost::asio::buffer(in_), ec);
      in_.erase(0, used);
    } else {
      ec = http::error::need_more;
    }
    if (ec == http::error::need_more) {
      // End of stream is a valid end only of a body delimited by it.
      char probe;
      const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n == 0 && parser->is_header_done()) {
        parser->put_eof(ec);
        if (!ec && parser->is_done()) break;
      }
      ReceiveSome(deadline);
      continue;
    }
    if (ec) Fail("Malformed HTTP answer from " + endpoint_.ToString() + ": " + ec.message());
    if (!parser->is_done()) continue;
    if (parser->get().result_int() / 100 == 1) {  // interim answer; the real one follows
      fresh();
      continue;
    }
    break;
  }
  const auto& response = parser->get();
  if (response.result_int() != 200) {
    Fail("HTTP status " + std::to_string(response.result_int()) + " from the application server at " +
         endpoint_.ToString());
  }
  const bool keep = response.keep_alive();
  std::string body = response.body();
  if (!keep) CloseSocket();
  try {
    RdcSplitFrame(body, options_.max_frame_length);
  } catch (const ERdcProtocolError& e) {
    Fail("Malformed answer from the application server at " + endpoint_.ToString() + ": " + e.what());
  }
  return body.substr(kRdcFrameHeaderSize);
}

void RdcClient::Open(const RdcEndpoint& endpoint, const std::string& server_class, const std::string& identity) {
  Close();
  endpoint_ = endpoint;
  const auto deadline = Clock::now() + options_.connect_timeout;
  if (endpoint_.transport == RdcEndpoint::Transport::kTcp) ConnectSocket(endpoint_.host, endpoint_.port, deadline);

  RdcHello hello;
  hello.server_class = server_class;
  hello.identity = identity;
  const std::string body = Exchange(RdcEncodeHello(hello), deadline);
  const std::string where = endpoint_.ToString();
  try {
    const RdcFrameView f = RdcSplitBody(body);
    if (f.type == RdcFrameType::kFailure) {
      Fail("The application server at " + where + " refused the connection: " + RdcDecodeFailure(f.payload).description);
    }
    if (f.type != RdcFrameType::kHelloOk) Fail("Unexpected answer to the sign-in from " + where);
    const RdcHelloOk ok = RdcDecodeHelloOk(f.payload);
    if (ok.version != kRdcProtocolVersion) {
      Fail("The application server at " + where + " speaks protocol version " + std::to_string(ok.version));
    }
    if (endpoint_.transport == RdcEndpoint::Transport::kHttp && ok.session.empty()) {
      Fail("The application server at " + where + " gave no HTTP session");
    }
    http_session_ = ok.session;
  } catch (const ERdcProtocolError& e) {
    Fail("Malformed answer from the application server at " + where + ": " + e.what());
  }
  open_ = true;
}

Variant RdcClient::Answer(const std::string& body, uint32_t call_id, std::vector<RdcArg>* args) {
  const std::string where = endpoint_.ToString();
  try {
    const RdcFrameView f = RdcSplitBody(body);
    if (f.type == RdcFrameType::kResult) {
      RdcResult result = RdcDecodeResult(f.payload);
      if (result.call_id != call_id) Fail("Answer to another call from " + where);
      std::vector<RdcArg*> refs;
      if (args) {
        for (RdcArg& a : *args) {
          if (a.Mode() != RdcArgMode::kValue) refs.push_back(&a);
        }
      }
      if (refs.size() != result.refs.size()) {
        Fail("The application server at " + where + " returned " + std::to_string(result.refs.size()) +
             " reference values for " + std::to_string(refs.size()) + " references");
      }
      // Check every kind first so that a bad answer changes none of the caller's values.
      for (size_t i = 0; i < refs.size(); ++i) {
        if (refs[i]->Mode() == RdcArgMode::kTypedRef && refs[i]->Current().Type() != result.refs[i].Type()) {
          Fail("The application server at " + where + " wrote " + result.refs[i].ToDebugString() +
               " to a reference of type " + VariantTypeName(refs[i]->Current().Type()));
        }
      }
      for (size_t i = 0; i < refs.size(); ++i) refs[i]->Assign(result.refs[i]);
      return std::move(result.result);
    }
    if (f.type == RdcFrameType::kFailure) {
      RdcFailure failure = RdcDecodeFailure(f.payload);
      if (failure.call_id != call_id) Fail("Answer to another call from " + where);
      switch (failure.kind) {
        case RdcFailureKind::kCallFailed: throw ERdcCallFailure(failure.description);
        case RdcFailureKind::kUnknownName: throw ERdcUnknownName(failure.description);
        case RdcFailureKind::kSessionFault: Fail(failure.description);
      }
    }
    Fail("Unexpected answer from the application server at " + where);
  } catch (const ERdcProtocolError& e) {
    Fail("Malformed answer from the application server at " + where + ": " + e.what());
  }
}

std::string RdcClient::EncodeCall(const std::string& name, const std::vector<RdcArg>& args, uint32_t& call_id) {
  RdcCallRequest request;
  request.call_id = call_id = next_call_id_++;
  request.name = name;
  request.args.reserve(args.size());
  for (const RdcArg& a : args) request.args.push_back(RdcWireArg{a.Mode(), a.Current()});
  try {
    return RdcEncodeCall(request);
  } catch (const ERdcProtocolError& e) {
    // Too large to send: the call fails, the connection is untouched.
    throw ERdcCallFailure(e.what());
  }
}

Variant RdcClient::Call(const std::string& name, std::vector<RdcArg>& args) {
  if (!open_) throw ERdcTransportFailure("Not connected to the application server");
  uint32_t call_id = 0;
  const std::string frame = EncodeCall(name, args, call_id);
  const std::string body = Exchange(frame, Clock::now() + options_.call_timeout);
  return Answer(body, call_id, &args);
}

std::vector<RdcBatchAnswer> RdcClient::CallBatch(std::vector<RdcBatchCall>& calls) {
  if (!open_) throw ERdcTransportFailure("Not connected to the application server");
  std::vector<RdcBatchAnswer> answers(calls.size());
  // What the server answered for one call stays with that call.
  auto settle = [&](std::size_t i, const std::function<Variant()>& answer) {
    try {
      answers[i].result = answer();
    } catch (const ERdcCallFailure&) {
      answers[i].failure = std::current_exception();
    } catch (const ERdcUnknownName&) {
      answers[i].failure = std::current_exception();
    }
  };
  if (endpoint_.transport != RdcEndpoint::Transport::kTcp) {
    for (std::size_t i = 0; i < calls.size(); ++i) settle(i, [&] { return Call(calls[i].name, *calls[i].args); });
    return answers;
  }
  // Encoded first: a call too large to send fails alone, before anything goes out.
  std::vector<uint32_t> ids(calls.size(), 0);
  std::vector<bool> sent(calls.size(), false);
  std::string frames;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    settle(i, [&] {
      frames += EncodeCall(calls[i].name, *calls[i].args, ids[i]);
      sent[i] = true;
      return Variant();
    });
  }
  if (frames.empty()) return answers;
  if (!in_.empty()) Fail("Unexpected data from the application server at " + endpoint_.ToString());
  SendAll(frames, Clock::now() + options_.call_timeout);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (!sent[i]) continue;
    const std::string body = ReceiveFrame(Clock::now() + options_.call_timeout);
    settle(i, [&] { return Answer(body, ids[i], calls[i].args); });
  }
  return answers;
}

Variant RdcClient::GetProperty(const std::string& name) {
  if (!open_) throw ERdcTransportFailure("Not connected to the application server");
  const uint32_t call_id = next_call_id_++;
  std::string frame;
  try {
    frame = RdcEncodeGetProperty(call_id, name);
  } catch (const ERdcProtocolError& e) {
    throw ERdcCallFailure(e.what());
  }
  const std::string body = Exchange(frame, Clock::now() + options_.call_timeout);
  return Answer(body, call_id, nullptr);
}

}  // namespace brevalon
