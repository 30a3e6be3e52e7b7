// The transport-neutral half of a remote call, shared by the REST router and
// the TCP transport: finding a method of the server class or of the DSAdmin
// metadata class, converting inputs to the declared kinds, calling, and
// writing the answer envelopes ({"result":[...]} / {"error":"..."}) with every
// non-ASCII character escaped as \uXXXX.
//
// Stateless functions; safe on any thread. Inputs come from the network:
// every conversion validates and raises ERemoteCallError, never crashes.
#pragma once

#include <boost/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "remoting/remote_methods.h"
#include "util/exception.h"

namespace brevalon {

// A malformed call: unknown class or method, wrong input count or kind.
// Answered as {"error": message}.
class ERemoteCallError : public Exception {
 public:
  using Exception::Exception;
};

// The metadata class, always present besides the server class.
inline constexpr std::string_view kAdminClassName = "DSAdmin";

// Case-insensitive ASCII comparison of names.
bool SameName(std::string_view a, std::string_view b);

// A resolved call target: a method of the server class, or a DSAdmin method
// (Method == nullptr, AdminMethod set).
struct CallTarget {
  const Method* ServerMethod = nullptr;
  std::string AdminMethod;        // canonical name when a DSAdmin method
  std::vector<ParamInfo> Inputs;  // In and InOut parameters in order
};

// Resolves `className`.`methodName`; raises ERemoteCallError when there is no
// such class or method. `className` matches the server class or DSAdmin.
CallTarget ResolveCall(const ServerClass& serverClass, std::string_view className,
                       std::string_view methodName);

// Converts one input given as JSON (REST body, TCP params) to its kind.
// JSON null stays null. Raises ERemoteCallError.
boost::json::value ConvertJsonInput(const boost::json::value& v, const ParamInfo& param);
// Converts one input given as text (a REST path segment) to its kind.
boost::json::value ConvertTextInput(std::string_view text, const ParamInfo& param);

// Runs the call: DSAdmin methods here, server methods through their Invoke.
// `inputs` has one element per target input (missing ones null). Exceptions
// of Invoke pass through.
boost::json::array RunCall(const ServerClass& serverClass, const CallTarget& target,
                           DsSession& session, std::vector<boost::json::value> inputs);

// Serialises compactly with every non-ASCII character as \uXXXX (UTF-16
// surrogate pairs above U+FFFF; a byte that is not valid UTF-8 becomes
// \uFFFD).
std::string SerializeAscii(const boost::json::value& v);

std::string ResultBody(boost::json::array result);
std::string ErrorBody(std::string_view message);

// Parses JSON text from the network with a depth bound; nullopt when it is
// not one well-formed JSON value or holds a number beyond the range of a
// double (which could not be written back as JSON).
std::optional<boost::json::value> ParseJson(std::string_view text);

}  // namespace brevalon
