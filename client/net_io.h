// Blocking network steps with deadlines for the client transports: each step
// is started as an asynchronous operation of a beast::tcp_stream, whose timer
// cancels it when the deadline passes, and the private io_context is run until
// the step completes. Internal to the client library; one thread per stream.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <chrono>
#include <string>

#include "client/transport.h"

namespace brevalon::client {

// Runs `io` until the operations started on it are done.
void RunIo(boost::asio::io_context& io);

// Resolves host:port and connects `stream` within `timeout`, from
// `localAddress` when one is given; raises ETransportError naming the
// address otherwise.
void ConnectStream(boost::asio::io_context& io, boost::beast::tcp_stream& stream,
                   const HostPort& where, std::chrono::milliseconds timeout,
                   const std::string& localAddress = {});

// "host:port" for messages ("[v6]:port" for an IPv6 literal).
std::string Describe(const HostPort& where);

// Whether `ec` says the peer closed or reset the connection.
bool IsConnectionClosed(const boost::system::error_code& ec);

}  // namespace brevalon::client
