#include "client/net_io.h"

#include <boost/asio/error.hpp>
#include <boost/beast/http/error.hpp>
#include <charconv>

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
                   std::chrono::milliseconds timeout) {
  boost::system::error_code ec;
  tcp::resolver resolver(io);
  const tcp::resolver::results_type endpoints =
      resolver.resolve(where.Host, std::to_string(where.Port), ec);
  if (ec) throw ETransportError("cannot resolve " + Describe(where) + ": " + ec.message());
  stream.expires_after(timeout);
  stream.async_connect(endpoints,
                       [&ec](const boost::system::error_code& e, const tcp::endpoint&) { ec = e; });
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

HostPort ParseHttpUrl(std::string_view url) {
  constexpr std::string_view kScheme = "http://";
  if (url.size() < kScheme.size() ||
      !std::equal(kScheme.begin(), kScheme.end(), url.begin(),
                  [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
    throw EClientError("the URL must start with http:// (got \"" + std::string(url) + "\")");
  }
  std::string_view rest = url.substr(kScheme.size());
  if (const auto slash = rest.find('/'); slash != std::string_view::npos) {
    if (slash + 1 != rest.size()) {
      throw EClientError("the URL names the gateway only, without a path (got \"" +
                         std::string(url) + "\")");
    }
    rest = rest.substr(0, slash);
  }
  return ParseHostPort(rest, 8085);
}

}  // namespace brevalon::client
