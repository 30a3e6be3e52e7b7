// The REST side of the remote-method framework as one function from a parsed
// HTTP request to its response: URL and body decoding, the session check
// (Pragma dssession / ?SESSIONID= / ?sid=), the connect notification, the
// call, and the answer envelope. It touches no socket, so tests and the
// fuzzer drive it directly; the HTTP server (http_server.*) runs it on a
// call-pool thread, never on an I/O thread, because a call may block.
//
// The protocol is written up in docs/rest-protocol.md.
#pragma once

#include <boost/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "remoting/remote_methods.h"
#include "remoting/session_manager.h"

namespace brevalon {

using RestRequest = boost::beast::http::request<boost::beast::http::string_body>;
using RestResponse = boost::beast::http::response<boost::beast::http::string_body>;

// What a request is served against; borrowed for the call.
struct RestContext {
  const ServerClass& Class;
  SessionManager& Sessions;
  std::string ClientAddress = {};  // of the connection the request came on
};

// Serves one request. Never throws: every failure is an answer (500 with
// {"error":...}, 403 for a dead session, 404 outside /datasnap/rest/, 501
// for an unsupported verb, 503 with Retry-After when no session can be
// opened now). The response's keep-alive follows the request's.
RestResponse RouteRestRequest(const RestRequest& request, const RestContext& context);

// ---- pieces, public for tests and the fuzzer

// The parsed request target: path segments after /datasnap/rest/, each
// percent-decoded on its own, and the session id from the query, if any.
struct RestTarget {
  std::vector<std::string> Segments;
  std::string QuerySession;  // from ?SESSIONID= or ?sid=, empty when absent
};

// Raises ERemoteCallError for a malformed target (bad percent escape);
// returns false when the path is not under /datasnap/rest/.
bool ParseRestTarget(std::string_view target, RestTarget& out);

// Percent-decodes one segment; "+" stays "+". Raises ERemoteCallError on a
// bad escape.
std::string PercentDecode(std::string_view s);

// The session id of a Pragma header value ("dssession=<id>,..."), or empty.
std::string PragmaSession(std::string_view pragma);

// The inputs of a call from path segments (after class and method) and the
// body: "null" segments and missing trailing inputs are null; the body is
// {"_parameters":[...]} or one raw JSON value for the next input; surplus
// inputs are an error. An empty body gives nothing. Raises ERemoteCallError.
std::vector<boost::json::value> CollectInputs(const std::vector<ParamInfo>& inputs,
                                              const std::vector<std::string>& segments,
                                              std::string_view body, bool useBody);

}  // namespace brevalon
