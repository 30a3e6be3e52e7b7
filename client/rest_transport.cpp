#include "client/rest_transport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>

#include "client/net_io.h"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

namespace brevalon::client {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace json = boost::json;

namespace {

constexpr std::string_view kRestPrefix = "/datasnap/rest/";
constexpr std::string_view kServerClass = "TServerMethods";
constexpr std::size_t kMaxSessionIdBytes = 256;

// A session id travels in a header: printable ASCII without the Pragma
// separators.
bool PlausibleSessionId(std::string_view id) {
  if (id.empty() || id.size() > kMaxSessionIdBytes) return false;
  for (char c : id) {
    if (c <= ' ' || c > '~' || c == ',' || c == '=' || c == ';') return false;
  }
  return true;
}

// The text of a reply for a message: one line, cut.
std::string Excerpt(std::string_view body) {
  std::string out(body.substr(0, 200));
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  }
  if (body.size() > 200) out += "...";
  return out;
}

}  // namespace

std::string PercentEncodeSegment(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

RestCall BuildRestCall(std::string_view method, const json::array& params,
                       std::size_t postThreshold) {
  std::string_view cls = kServerClass;
  if (const auto dot = method.find('.'); dot != std::string_view::npos) {
    cls = method.substr(0, dot);
    method = method.substr(dot + 1);
  }
  if (method.empty() || cls.empty()) throw EClientError("no method name");
  const std::string base = std::string(kRestPrefix) + PercentEncodeSegment(cls) + "/";

  RestCall call;
  bool pathOnly = true;
  std::string target = base + PercentEncodeSegment(method) + "/";
  for (std::size_t i = 0; i < params.size(); ++i) {
    const json::value& p = params[i];
    // The path carries texts; "null" there would arrive as NULL.
    if (!p.is_string() || p.get_string() == "null") {
      pathOnly = false;
      break;
    }
    target += PercentEncodeSegment(p.get_string());
    if (i + 1 < params.size()) target += '/';
  }
  if (pathOnly && target.size() <= postThreshold) {
    call.Target = std::move(target);
    return call;
  }
  call.Post = true;
  call.Target = base + "%22" + PercentEncodeSegment(method) + "%22";
  call.Body = json::serialize(json::object{{"_parameters", params}});
  return call;
}

std::string SessionIdOfPragma(std::string_view pragma) {
  constexpr std::string_view kKey = "dssession=";
  while (!pragma.empty()) {
    const auto comma = pragma.find(',');
    std::string_view item = pragma.substr(0, comma);
    pragma = comma == std::string_view::npos ? std::string_view() : pragma.substr(comma + 1);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (item.size() > kKey.size() &&
        std::equal(kKey.begin(), kKey.end(), item.begin(),
                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
      const std::string_view id = item.substr(kKey.size());
      return PlausibleSessionId(id) ? std::string(id) : std::string();
    }
  }
  return {};
}

// ---- SessionFile

std::string SessionFile::Load() const {
  std::ifstream in(FPath, std::ios::binary);
  if (!in) return {};
  std::string id;
  char c;
  while (id.size() <= kMaxSessionIdBytes && in.get(c) && c != '\n' && c != '\r') id += c;
  return PlausibleSessionId(id) ? id : std::string();
}

void SessionFile::Save(const std::string& id) const {
  // A unique neighbour, then rename: a reader never sees half an id, and the
  // file never exists with wider permissions than 0600.
  std::random_device rd;
  const std::string tmp = FPath + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(rd());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw EClientError("cannot write the session file " + FPath + ": " + std::strerror(errno));
  }
  const std::string line = id.empty() ? std::string() : id + "\n";
  bool ok = ::fchmod(fd, 0600) == 0;
  std::size_t done = 0;
  while (ok && done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  const int saved = errno;
  ok = (::close(fd) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), FPath.c_str()) != 0) {
    const int err = ok ? errno : saved;
    ::unlink(tmp.c_str());
    throw EClientError("cannot write the session file " + FPath + ": " + std::strerror(err));
  }
}

void SessionFile::Forget() const {
  struct stat st;
  if (::stat(FPath.c_str(), &st) == 0) Save("");
}

// ---- RestTransport

struct RestTransport::Impl {
  using TlsStream = beast::ssl_stream<beast::tcp_stream>;

  explicit Impl(RestOptions o) : Options(std::move(o)), Where{Options.Host, Options.Port} {
    if (!Options.SessionFile.empty()) {
      File.emplace(Options.SessionFile);
      Session = File->Load();
    } else if (PlausibleSessionId(Options.Session)) {
      Session = Options.Session;
    }
    if (Options.Tls) {
      Tls.emplace(asio::ssl::context::tls_client);
      SSL_CTX_set_min_proto_version(Tls->native_handle(), TLS1_2_VERSION);
      Tls->set_verify_mode(asio::ssl::verify_peer);
      boost::system::error_code ec;
      if (Options.CaFile.empty())
        Tls->set_default_verify_paths(ec);
      else
        Tls->load_verify_file(Options.CaFile, ec);
      if (ec) {
        throw EClientError("cannot use the certificate authorities " +
                           (Options.CaFile.empty() ? std::string("of the system") : Options.CaFile) +
                           ": " + ec.message());
      }
    }
  }

  bool Open() const { return Options.Tls ? Secure.has_value() : Stream.has_value(); }
  beast::tcp_stream& Tcp() { return Options.Tls ? beast::get_lowest_layer(*Secure) : *Stream; }
  void Drop() {
    Stream.reset();
    Secure.reset();
  }
  // Runs `step` on whichever stream is open.
  template <class F>
  void OnStream(F&& step) {
    if (Options.Tls)
      step(*Secure);
    else
      step(*Stream);
  }

  void Connect() {
    Buffer.clear();
    if (!Options.Tls) {
      Stream.emplace(Io);
      ConnectStream(Io, *Stream, Where, Options.Timeout, Options.LocalAddress);
      return;
    }
    Secure.emplace(Io, *Tls);
    ConnectStream(Io, beast::get_lowest_layer(*Secure), Where, Options.Timeout, Options.LocalAddress);
    boost::system::error_code ec;
    asio::ip::make_address(Where.Host, ec);
    // The name the certificate must carry; an address literal is checked
    // against the certificate's addresses, and sends no server name.
    if (ec) SSL_set_tlsext_host_name(Secure->native_handle(), Where.Host.c_str());
    Secure->set_verify_callback(asio::ssl::host_name_verification(Where.Host));
    ec = {};
    Secure->next_layer().expires_after(Options.Timeout);
    Secure->async_handshake(asio::ssl::stream_base::client,
                            [&ec](const boost::system::error_code& e) { ec = e; });
    RunIo(Io);
    if (ec) {
      std::string reason = ec.message();
      const long verify = SSL_get_verify_result(Secure->native_handle());
      if (verify != X509_V_OK) reason = std::string("certificate refused: ") + X509_verify_cert_error_string(verify);
      if (ec == beast::error::timeout) reason = "no answer within " + std::to_string(Options.Timeout.count()) + " ms";
      Drop();
      throw ETransportError("TLS handshake with " + Describe(Where) + " failed: " + reason);
    }
  }

  // Sends one request and reads its answer on the open connection,
  // (re)connecting when there is none. A reused connection that turns out
  // closed by the gateway before any answer byte is reopened once: the
  // gateway closes idle keep-alive connections, and then it has not seen the
  // request.
  http::response<http::string_body> Exchange(http::request<http::string_body>& req) {
    for (int attempt = 0;; ++attempt) {
      const bool reused = Open();
      if (!Open()) {
        try {
          Connect();
        } catch (...) {
          Drop();
          throw;
        }
      }
      boost::system::error_code ec;
      Tcp().expires_after(Options.Timeout);
      OnStream([&](auto& stream) {
        http::async_write(stream, req, [&ec](const boost::system::error_code& e, std::size_t) { ec = e; });
      });
      RunIo(Io);
      http::response_parser<http::string_body> parser;
      parser.header_limit(64 * 1024);
      parser.body_limit(Options.MaxReplyBytes);
      if (!ec) {
        Tcp().expires_after(Options.Timeout);
        OnStream([&](auto& stream) {
          http::async_read(stream, Buffer, parser,
                           [&ec](const boost::system::error_code& e, std::size_t) { ec = e; });
        });
        RunIo(Io);
      }
      if (ec) {
        const bool retry = reused && attempt == 0 &&
                           (IsConnectionClosed(ec) || ec == asio::ssl::error::stream_truncated) &&
                           !parser.got_some();
        Drop();
        if (retry) continue;
        if (ec == beast::error::timeout) {
          throw ETransportError("no answer from " + Describe(Where) + " within " +
                                std::to_string(Options.Timeout.count()) + " ms");
        }
        if (ec == http::error::body_limit) {
          throw ETransportError("the answer of " + Describe(Where) + " is larger than " +
                                std::to_string(Options.MaxReplyBytes) + " bytes");
        }
        throw ETransportError("HTTP exchange with " + Describe(Where) + " failed: " + ec.message());
      }
      http::response<http::string_body> res = parser.release();
      if (!res.keep_alive()) {
        boost::system::error_code ignored;
        Tcp().socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        Drop();
      }
      return res;
    }
  }

  http::request<http::string_body> MakeRequest(http::verb verb, const std::string& target) {
    http::request<http::string_body> req{verb, target, 11};
    req.set(http::field::host, Describe(Where));
    req.set(http::field::user_agent, "brevalon-cli");
    req.set(http::field::accept, "application/json");
    if (!Session.empty()) req.set(http::field::pragma, "dssession=" + Session);
    req.keep_alive(true);
    return req;
  }

  void TakeSession(const http::response<http::string_body>& res) {
    const std::string id = SessionIdOfPragma(res[http::field::pragma]);
    if (id.empty() || id == Session) return;
    Session = id;
    if (File) File->Save(Session);
  }

  void ForgetSession() {
    Session.clear();
    if (File) File->Forget();
  }

  // 403: the session is gone. Anything else that is not 200/201 either
  // carries the framework's {"error":...} or is not the gateway speaking.
  [[noreturn]] void Refused(const http::response<http::string_body>& res) {
    const int status = static_cast<int>(res.result_int());
    boost::system::error_code ec;
    const json::value body = json::parse(res.body(), ec);
    if (status == 403) {
      std::string message = "the session has expired or is unknown";
      if (!ec && body.is_object()) {
        if (const json::value* text = body.as_object().if_contains("SessionExpired");
            text && text->is_string()) {
          message = "session expired: " + std::string(text->get_string());
        }
      }
      ForgetSession();
      throw ESessionExpired(message);
    }
    if (!ec && body.is_object()) {
      if (const json::value* text = body.as_object().if_contains("error"); text && text->is_string()) {
        throw ERemoteError(std::string(text->get_string()));
      }
    }
    throw ETransportError("HTTP status " + std::to_string(status) + " from " + Describe(Where) +
                          ": " + Excerpt(res.body()));
  }

  json::array Result(const http::response<http::string_body>& res) {
    const int status = static_cast<int>(res.result_int());
    if (status != 200 && status != 201) Refused(res);
    boost::system::error_code ec;
    json::value body = json::parse(res.body(), ec);
    if (ec || !body.is_object()) {
      throw ETransportError("the answer is not a JSON object: " + Excerpt(res.body()));
    }
    json::object& envelope = body.as_object();
    if (json::value* result = envelope.if_contains("result"); result && result->is_array()) {
      return std::move(result->as_array());
    }
    if (const json::value* text = envelope.if_contains("error"); text && text->is_string()) {
      throw ERemoteError(std::string(text->get_string()));
    }
    throw ETransportError("the answer holds no \"result\" array: " + Excerpt(res.body()));
  }

  RestOptions Options;
  HostPort Where;
  std::optional<SessionFile> File;
  std::string Session;
  std::optional<asio::ssl::context> Tls;
  asio::io_context Io;
  std::optional<beast::tcp_stream> Stream;
  std::optional<TlsStream> Secure;
  beast::flat_buffer Buffer;
};

RestTransport::RestTransport(RestOptions options) : FImpl(std::make_unique<Impl>(std::move(options))) {}

RestTransport::~RestTransport() = default;

const std::string& RestTransport::SessionId() const { return FImpl->Session; }

bool RestTransport::Connected() const { return FImpl->Open(); }

void RestTransport::Disconnect() { FImpl->Drop(); }

json::array RestTransport::Call(std::string_view method, const json::array& params) {
  const RestCall call = BuildRestCall(method, params, FImpl->Options.PostThreshold);
  http::request<http::string_body> req =
      FImpl->MakeRequest(call.Post ? http::verb::post : http::verb::get, call.Target);
  if (call.Post) {
    req.set(http::field::content_type, "text/plain;charset=UTF-8");
    req.body() = call.Body;
  }
  req.prepare_payload();
  const http::response<http::string_body> res = FImpl->Exchange(req);
  // An answer that passed the session check names the session, also when
  // the call itself failed.
  if (res.result_int() != 403) FImpl->TakeSession(res);
  return FImpl->Result(res);
}

void RestTransport::EndSession() {
  if (FImpl->Session.empty()) return;
  http::request<http::string_body> req =
      FImpl->MakeRequest(http::verb::get, std::string(kRestPrefix) + "CloseSession/");
  req.prepare_payload();
  const http::response<http::string_body> res = FImpl->Exchange(req);
  if (res.result_int() != 200) FImpl->Refused(res);
  FImpl->ForgetSession();
}

}  // namespace brevalon::client
