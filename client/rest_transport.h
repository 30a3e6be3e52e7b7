// RestTransport: remote calls over HTTP REST as the generated mobile
// connectors make them (docs/rest-protocol.md), on Boost.Beast.
//
//   GET  /datasnap/rest/TServerMethods/<Method>/<p1>/...   each text input
//        percent-encoded as one path segment (a Base64 text's "/", "+" and
//        "=" included);
//   POST /datasnap/rest/TServerMethods/%22<Method>%22      with the body
//        {"_parameters":[...]} as text/plain;charset=UTF-8, when the inputs
//        are long (a URL of more than PostThreshold characters) or cannot
//        travel in a path (a text "null", a value that is not a text).
//
// The session: every answer's `Pragma: dssession=<id>,...` gives the id, and
// every request sends `Pragma: dssession=<id>` back. With a session file the
// id survives the process (the file is written atomically, mode 0600); a 403
// SessionExpired forgets the id (and empties the file) and raises
// ESessionExpired. One keep-alive connection is reused between calls; a
// reused connection that the gateway closed while idle is reopened once.
// Every network step has a deadline. Over HTTPS (TLS 1.2 or 1.3) the
// gateway's certificate must be valid for Host and issued by a trusted
// authority; a certificate that is not is refused with the reason.
//
// Owned and used by one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "client/transport.h"

namespace brevalon::client {

struct RestOptions {
  std::string Host = "127.0.0.1";
  uint16_t Port = 8085;
  // Each of connect, send and receive must finish within this.
  std::chrono::milliseconds Timeout{60000};
  // Where the session id is kept between runs; empty = in memory only.
  std::string SessionFile;
  // A session to continue (when there is no session file); empty = none.
  std::string Session;
  // A request whose URL would be longer than this goes as POST.
  std::size_t PostThreshold = 1500;
  // Limits on what the gateway may send.
  std::size_t MaxReplyBytes = 256u * 1024 * 1024;
  // The address to connect from; empty = the system's choice.
  std::string LocalAddress;
  // HTTPS: the gateway's certificate is checked against CaFile (PEM), or
  // the system's certificate authorities when empty, and against Host.
  bool Tls = false;
  std::string CaFile;
};

// A call as it goes on the wire, built without a socket (tests use it).
struct RestCall {
  bool Post = false;
  std::string Target;  // path
  std::string Body;    // POST only
};
RestCall BuildRestCall(std::string_view method, const boost::json::array& params,
                       std::size_t postThreshold);

// Percent-encodes everything outside the unreserved characters
// (A-Z a-z 0-9 - . _ ~).
std::string PercentEncodeSegment(std::string_view text);

// The id of a Pragma value "dssession=<id>,dssessionexpires=<ms>", or empty.
std::string SessionIdOfPragma(std::string_view pragma);

// The session file: one line, the id. Load answers empty for a missing,
// unreadable or implausible file; Save replaces it atomically with mode 0600
// (raises EClientError when it cannot); Forget empties it.
class SessionFile {
 public:
  explicit SessionFile(std::string path) : FPath(std::move(path)) {}
  std::string Load() const;
  void Save(const std::string& id) const;
  void Forget() const;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

class RestTransport : public ITransport {
 public:
  explicit RestTransport(RestOptions options);
  ~RestTransport() override;
  RestTransport(const RestTransport&) = delete;
  RestTransport& operator=(const RestTransport&) = delete;

  boost::json::array Call(std::string_view method, const boost::json::array& params) override;

  // The session id in force (empty before the first answer).
  const std::string& SessionId() const;
  // Whether a connection is open (the last exchange did not fail).
  bool Connected() const;
  // Closes the connection and keeps the session: the next call connects
  // anew and sends the session back (HTTP sessions outlive connections).
  void Disconnect();
  // Ends the session on the gateway (GET /datasnap/rest/CloseSession/) and
  // forgets it; nothing when there is none. Raises like Call.
  void EndSession();

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

}  // namespace brevalon::client
