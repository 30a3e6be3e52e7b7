// Feeds arbitrary requests to the REST router. The first byte picks the verb;
// the rest is "<target>\n<Pragma value>\n<body>". The router must answer
// every request (it never throws) with a JSON body of ASCII characters only.
// Also fuzzes the target, Pragma and percent-decoding pieces on their own.
#include "remoting/rest_router.h"

#include <boost/json.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "remoting/remote_dispatch.h"
#include "remoting/session_manager.h"

namespace {

using namespace brevalon;
namespace http = boost::beast::http;

ServerClass MakeClass() {
  using K = ParamKind;
  using D = ParamDirection;
  ServerClass c;
  c.Name = "TServerMethods";
  const auto echo = [](MethodCall& call) {
    return boost::json::array(call.Inputs.begin(), call.Inputs.end());
  };
  c.Methods.push_back(Method{"Echo",
                             {{"Base64", D::In, K::Text},
                              {"inReturnCode", D::Out, K::Int32},
                              {"stErrorMessage", D::Out, K::Text},
                              {"ReturnParameter", D::Return, K::JsonValue}},
                             echo});
  c.Methods.push_back(Method{"Types",
                             {{"T", D::In, K::Text},
                              {"I", D::InOut, K::Int32},
                              {"B", D::In, K::Boolean},
                              {"J", D::In, K::JsonValue},
                              {"S", D::In, K::Stream}},
                             echo});
  c.Methods.push_back(
      Method{"updateTypes", {{"J", D::In, K::JsonValue}, {"S", D::In, K::Stream}}, echo});
  return c;
}

bool AsciiOnly(const std::string& s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ServerClass serverClass = MakeClass();
  static SessionManager sessions(SessionManager::Options{});
  if (size == 0) return 0;
  static constexpr http::verb kVerbs[] = {http::verb::get, http::verb::post, http::verb::put,
                                          http::verb::delete_, http::verb::head};
  const http::verb verb = kVerbs[data[0] % 5];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto nl1 = rest.find('\n');
  const std::string_view target = rest.substr(0, nl1);
  rest = nl1 == std::string_view::npos ? std::string_view() : rest.substr(nl1 + 1);
  const auto nl2 = rest.find('\n');
  const std::string_view pragma = rest.substr(0, nl2);
  const std::string_view body =
      nl2 == std::string_view::npos ? std::string_view() : rest.substr(nl2 + 1);

  RestRequest req(verb, target, 11);
  // A parsed header never holds control characters; keep the fuzzed one so.
  std::string header;
  for (char c : pragma)
    if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') header += c;
  req.set(http::field::pragma, header);
  req.body() = std::string(body);
  const RestResponse res = RouteRestRequest(req, RestContext{serverClass, sessions});
  if (!AsciiOnly(res.body()) || !ParseJson(res.body())) abort();
  sessions.EndAll();

  RestTarget parsed;
  try {
    ParseRestTarget(target, parsed);
  } catch (const ERemoteCallError&) {
  }
  (void)PragmaSession(pragma);
  if (auto v = ParseJson(body)) {
    const std::string ascii = SerializeAscii(*v);
    if (!AsciiOnly(ascii) || !ParseJson(ascii)) abort();
  }
  return 0;
}
