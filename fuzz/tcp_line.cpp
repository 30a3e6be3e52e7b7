// Feeds arbitrary request lines to the TCP transport's line handler: every
// line must get one answer line, a JSON envelope of ASCII characters with no
// line break in it.
#include <boost/json.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "remoting/remote_dispatch.h"
#include "remoting/tcp_transport.h"

namespace {

using namespace brevalon;

ServerClass MakeClass() {
  using K = ParamKind;
  using D = ParamDirection;
  ServerClass c;
  c.Name = "TServerMethods";
  const auto echo = [](MethodCall& call) {
    return boost::json::array(call.Inputs.begin(), call.Inputs.end());
  };
  c.Methods.push_back(Method{"GetTaskList",
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
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ServerClass serverClass = MakeClass();
  DsSession session("1.2.3");
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::string answer = HandleTcpLine(line, serverClass, session);
  for (unsigned char c : answer)
    if (c >= 0x80 || c == '\n' || c == '\r') abort();
  const auto v = ParseJson(answer);
  if (!v || !v->is_object() || v->as_object().size() != 1) abort();
  try {
    (void)ParseTcpLine(line);
  } catch (const ERemoteCallError&) {
  }
  return 0;
}
