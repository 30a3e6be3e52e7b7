// The remote methods of TServerMethods as the reference client calls them,
// over any ITransport: a request method takes the request text (built from a
// JSON description with the request encoder) and answers [inReturnCode,
// stErrorMessage] plus, for a method with a result, the JSON object.
//
// What the gateway answers is untrusted: an envelope of the wrong shape
// raises ETransportError; a non-zero return code is reported as it is
// (MethodReply) or, by the helpers that need success, raised as
// EMethodFailed with the code and the gateway's message.
// Stateless functions; the transport is used by one thread at a time.
#pragma once

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/transport.h"

namespace brevalon::client {

// A request method answered a non-zero return code.
class EMethodFailed : public Exception {
 public:
  EMethodFailed(std::string_view method, int32_t code, const std::string& message);
  int32_t Code() const { return FCode; }
  const std::string& GatewayMessage() const { return FMessage; }

 private:
  int32_t FCode;
  std::string FMessage;
};

struct MethodReply {
  int32_t ReturnCode = 0;
  std::string Message;
  bool HasResult = false;      // the method answers a JSON object
  boost::json::value Result;   // the object, or null (a session without worker)
};

// The reply of a request method out of the "result" array.
MethodReply ParseMethodReply(std::string_view method, const boost::json::array& result);

// Encodes `fields` for `method` (a request method, any case), calls it and
// parses the reply. Raises EClientError for a bad description.
MethodReply CallRequestMethod(ITransport& transport, std::string_view method,
                              const boost::json::object& fields);

// The decoded result record ("BASE64") of a successful reply; EMethodFailed
// for a non-zero code, ETransportError when the pair is missing and
// EClientError when the record does not decode.
boost::json::object ResultRecord(std::string_view method, const MethodReply& reply);

struct SignInAnswer {
  int32_t WFUserId = 0;
  std::string MSDatabseVer;
};
// ConnectToDB; with a domain the gateway signs in through the operating system.
SignInAnswer SignIn(ITransport& transport, const std::string& db, const std::string& user,
                    const std::string& password, const std::string& domain);

// GetStream's bytes (validated to be bytes).
std::string GetStreamBytes(ITransport& transport);

}  // namespace brevalon::client
