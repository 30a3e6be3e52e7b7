// Request encoder of the reference client: builds the binary request record of
// any remote method from a JSON object whose keys are the record's field names
// (FStUID, FIdTask, ...), and frames it as Base64 text for the call.
//
// A request record is the header word, the operation id of the method and the
// method's fields in wire order (docs/wire-format.md). In the JSON object:
//   - "header" (optional) is the first header word, default 0;
//   - a String field takes a JSON string, an Integer field a JSON integer in the
//     32-bit range, a Boolean field true/false;
//   - a DateTime field takes the wire value itself, Int64 seconds since
//     1970-01-01 00:00:00 UTC (0 = no date); it is written unchanged, so no
//     time-zone bias is applied on this side;
//   - CreateTask's FIdUsers and FIdRoles are arrays of 32-bit integers of equal
//     length, sent as one count followed by (user, role) pairs.
// A missing field is sent as 0, false or the empty string. An unknown key, a
// value of the wrong JSON type or out of range, and unequal FIdUsers/FIdRoles
// lengths raise EClientError naming the method and the field.
//
// Pure functions over a constant table: safe from any thread.
#pragma once

#include <boost/json/object.hpp>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/client_error.h"

namespace brevalon::client {

enum class FieldType {
  kString,
  kInteger,
  kDateTime,
  kBoolean,
  kUserIds,  // CreateTask: the count n and n (user, role) pairs, users from here
  kRoleIds,  // ... and roles from here; written together with kUserIds
};

struct RequestField {
  const char* name;
  FieldType type;
};

struct RequestKind {
  const char* method;  // remote method name, exact spelling
  int32_t operationId;
  std::span<const RequestField> fields;  // in wire order
};

// All thirteen request records, in operation-id order.
std::span<const RequestKind> RequestKinds();

// The record of a remote method, its name matched without regard to ASCII case;
// nullptr when there is none.
const RequestKind* FindRequestKind(std::string_view method);

// The record's bytes. Raises EClientError for an unknown method or bad fields.
std::vector<uint8_t> EncodeRequestBytes(std::string_view method, const boost::json::object& fields);

// The request text: Base64 of EncodeRequestBytes as one line, without the CR LF
// that result texts carry every 76 characters. A request text travels in a URL
// path segment or a JSON string, where line breaks are only noise; the
// gateway's decoder skips them either way.
std::string EncodeRequest(std::string_view method, const boost::json::object& fields);

// Parses AText as a JSON object; anything else raises EClientError.
boost::json::object ParseJsonObject(std::string_view text);

}  // namespace brevalon::client
