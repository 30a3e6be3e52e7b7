// A minimal HTTP/1.1 client for the server tests: one GET per connection on
// loopback, with the session carried in the Pragma header as REST clients do.
#pragma once

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>
#include <cstdint>
#include <string>

namespace brevalon::testing {

struct HttpReply {
  int Status = 0;
  std::string Body;
  std::string Session;  // the dssession id of the Pragma header, if any

  boost::json::value Json() const { return boost::json::parse(Body); }
};

// Percent-encodes a path segment (Base64 texts hold "/", "+" and "=").
inline std::string PathSegment(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

inline HttpReply HttpGet(uint16_t port, const std::string& target, const std::string& session = "") {
  namespace beast = boost::beast;
  namespace http = beast::http;
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  http::request<http::empty_body> req{http::verb::get, target, 11};
  req.set(http::field::host, "127.0.0.1");
  if (!session.empty()) req.set(http::field::pragma, "dssession=" + session);
  http::write(socket, req);
  beast::flat_buffer buffer;
  http::response<http::string_body> res;
  http::read(socket, buffer, res);
  HttpReply reply;
  reply.Status = static_cast<int>(res.result_int());
  reply.Body = res.body();
  const std::string pragma(res[http::field::pragma]);
  const std::string key = "dssession=";
  if (auto at = pragma.find(key); at != std::string::npos) {
    const auto end = pragma.find(',', at);
    reply.Session = pragma.substr(at + key.size(), end == std::string::npos ? end : end - at - key.size());
  }
  beast::error_code ec;
  socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ec);
  return reply;
}

}  // namespace brevalon::testing
