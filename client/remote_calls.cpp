#include "client/remote_calls.h"

#include <boost/json.hpp>

#include "client/request_encoder.h"
#include "client/result_decoder.h"

namespace brevalon::client {

namespace json = boost::json;

EMethodFailed::EMethodFailed(std::string_view method, int32_t code, const std::string& message)
    : Exception(std::string(method) + " answered " + std::to_string(code) +
                (message.empty() ? std::string() : ": " + message)),
      FCode(code),
      FMessage(message) {}

MethodReply ParseMethodReply(std::string_view method, const json::array& result) {
  const auto bad = [&](const std::string& what) {
    return ETransportError("malformed answer of " + std::string(method) + ": " + what + " in " +
                           json::serialize(result).substr(0, 200));
  };
  if (result.size() != 2 && result.size() != 3) throw bad("2 or 3 values expected");
  MethodReply reply;
  // Boost.JSON keeps every integer that fits as int64.
  if (!result[0].is_int64()) throw bad("the return code is not an integer");
  const int64_t value = result[0].get_int64();
  if (value < INT32_MIN || value > INT32_MAX) throw bad("the return code is out of range");
  reply.ReturnCode = static_cast<int32_t>(value);
  if (!result[1].is_string()) throw bad("the message is not a text");
  reply.Message = std::string(result[1].get_string());
  if (result.size() == 3) {
    if (!result[2].is_object() && !result[2].is_null()) throw bad("the result is not an object");
    reply.HasResult = true;
    reply.Result = result[2];
  }
  return reply;
}

MethodReply CallRequestMethod(ITransport& transport, std::string_view method,
                              const json::object& fields) {
  const RequestKind* kind = FindRequestKind(method);
  if (!kind) throw EClientError("\"" + std::string(method) + "\" is not a request method");
  const std::string text = EncodeRequest(kind->method, fields);
  return ParseMethodReply(kind->method, transport.Call(kind->method, json::array{json::string(text)}));
}

json::object ResultRecord(std::string_view method, const MethodReply& reply) {
  if (reply.ReturnCode != 0) throw EMethodFailed(method, reply.ReturnCode, reply.Message);
  const json::value* text = reply.Result.is_object() ? reply.Result.as_object().if_contains("BASE64")
                                                     : nullptr;
  if (!text || !text->is_string()) {
    throw ETransportError(std::string(method) + " answered no result record: " +
                          json::serialize(reply.Result).substr(0, 200));
  }
  TaskInAttachments task = TaskInAttachments::kUnspecified;
  if (const RequestKind* kind = FindRequestKind(method)) {
    if (std::string_view(kind->method) == "GetTaskAttachments") task = TaskInAttachments::kWithTask;
    if (std::string_view(kind->method) == "SearchDocuments") task = TaskInAttachments::kWithoutTask;
  }
  return DecodeResult(text->get_string(), task);
}

SignInAnswer SignIn(ITransport& transport, const std::string& db, const std::string& user,
                    const std::string& password, const std::string& domain) {
  const MethodReply reply = CallRequestMethod(
      transport, "ConnectToDB",
      {{"FDBName", db}, {"FUser", user}, {"FDomain", domain}, {"FPassword", password}});
  const json::object record = ResultRecord("ConnectToDB", reply);
  if (record.at("kind").as_int64() != 2) {
    throw ETransportError("ConnectToDB answered a result of kind " +
                          std::to_string(record.at("kind").as_int64()));
  }
  SignInAnswer answer;
  answer.WFUserId = static_cast<int32_t>(record.at("WFUserId").as_int64());
  answer.MSDatabseVer = std::string(record.at("MSDatabseVer").as_string());
  return answer;
}

std::string GetStreamBytes(ITransport& transport) {
  const json::array result = transport.Call("GetStream", {});
  const auto bad = [&] {
    return ETransportError("malformed answer of GetStream: " + json::serialize(result).substr(0, 200));
  };
  if (result.size() != 2 || !result[0].is_array() || result[1] != true) throw bad();
  std::string bytes;
  for (const json::value& b : result[0].get_array()) {
    if (!b.is_int64() || b.get_int64() < 0 || b.get_int64() > 255) throw bad();
    bytes += static_cast<char>(b.get_int64());
  }
  return bytes;
}

}  // namespace brevalon::client
