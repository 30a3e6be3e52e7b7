#include "client/net_io.h"

#include <boost/asio/error.hpp>
#include <boost/beast/http/error.hpp>
#include <charconv>
#include <optional>

namespace brevalon::client {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

void RunIo(asio::io_context& io) {
  io.restart();
  io.run();
}

std::string Describe(const HostPort& where) {
  const bool v6 = where.Host.find(':') != std::string::npos;
  return (v6 ? "[" + where.Host + "]" : where.Host) + ":" + std::to_string(where.Port);
}

void ConnectStream(asio::io_context& io, boost::beast::tcp_stream& stream, const HostPort& where,
                   std::chrono::milliseconds timeout, const std::string& localAddress) {
  boost::system::error_code ec;
  tcp::resolver resolver(io);
  const tcp::resolver::results_type endpoints =
      resolver.resolve(where.Host, std::to_string(where.Port), ec);
  if (ec) throw ETransportError("cannot resolve " + Describe(where) + ": " + ec.message());
  stream.expires_after(timeout);
  if (localAddress.empty()) {
    stream.async_connect(endpoints,
                         [&ec](const boost::system::error_code& e, const tcp::endpoint&) { ec = e; });
  } else {
    // From a given address: the socket is bound first, so the first
    // endpoint of that address's family is the one tried.
    const asio::ip::address local = asio::ip::make_address(localAddress, ec);
    if (ec) throw EClientError("bad local address \"" + localAddress + "\"");
    std::optional<tcp::endpoint> target;
    for (const auto& e : endpoints)
      if (e.endpoint().address().is_v4() == local.is_v4()) {
        target = e.endpoint();
        break;
      }
    if (!target) throw ETransportError("no address of " + Describe(where) + " reachable from " + localAddress);
    stream.socket().open(target->protocol(), ec);
    if (!ec) stream.socket().bind(tcp::endpoint(local, 0), ec);
    if (ec) throw ETransportError("cannot connect from " + localAddress + ": " + ec.message());
    stream.async_connect(*target, [&ec](const boost::system::error_code& e) { ec = e; });
  }
  RunIo(io);
  if (ec == asio::error::timed_out || ec == boost::beast::error::timeout) {
    throw ETransportError("cannot connect to " + Describe(where) + ": timed out");
  }
  if (ec) throw ETransportError("cannot connect to " + Describe(where) + ": " + ec.message());
  stream.socket().set_option(tcp::no_delay(true), ec);
}

bool IsConnectionClosed(const boost::system::error_code& ec) {
  return ec == asio::error::eof || ec == asio::error::connection_reset ||
         ec == asio::error::broken_pipe || ec == asio::error::connection_aborted ||
         ec == boost::beast::http::error::end_of_stream;
}

namespace {

uint16_t ParsePort(std::string_view text, std::string_view whole) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value == 0 ||
      value > 65535) {
    throw EClientError("bad port in \"" + std::string(whole) + "\"");
  }
  return static_cast<uint16_t>(value);
}

}  // namespace

HostPort ParseHostPort(std::string_view text, uint16_t defaultPort) {
  HostPort out;
  out.Port = defaultPort;
  std::string_view rest;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) throw EClientError("bad address \"" + std::string(text) + "\"");
    out.Host = std::string(text.substr(1, close - 1));
    rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      throw EClientError("bad address \"" + std::string(text) + "\"");
    }
  } else {
    const auto colon = text.find(':');
    out.Host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) rest = text.substr(colon);
  }
  if (!rest.empty()) out.Port = ParsePort(rest.substr(1), text);
  if (out.Host.empty()) throw EClientError("no host in \"" + std::string(text) + "\"");
  for (char c : out.Host) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@') {
      throw EClientError("bad host in \"" + std::string(text) + "\"");
    }
  }
  return out;
}

HttpUrl ParseHttpUrl(std::string_view url) {
  const auto startsWith = [&](std::string_view scheme) {
    return url.size() >= scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), url.begin(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
  };
  HttpUrl out;
  std::string_view rest;
  if (startsWith("http://")) {
    rest = url.substr(7);
  } else if (startsWith("https://")) {
    rest = url.substr(8);
    out.Tls = true;
  } else {
    throw EClientError("the URL must start with http:// or https:// (got \"" + std::string(url) + "\")");
  }
  if (const auto slash = rest.find('/'); slash != std::string_view::npos) {
    if (slash + 1 != rest.size()) {
      throw EClientError("the URL names the gateway only, without a path (got \"" +
                         std::string(url) + "\")");
    }
    rest = rest.substr(0, slash);
  }
  static_cast<HostPort&>(out) = ParseHostPort(rest, out.Tls ? 8086 : 8085);
  return out;
}

}  // namespace brevalon::client
