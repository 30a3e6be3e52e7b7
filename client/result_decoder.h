// Result decoder of the reference client: turns a result text that the gateway
// returned (pair "BASE64" of a reading method) into a JSON object.
//
// The object holds "marker" (always 20121004) and "kind" (2 to 6), then the
// body under the field names of the result records; list counts are implied
// by the arrays. docs/wire-format.md gives every key. DateTime values come out
// as the wire value, Int64 seconds since 1970-01-01 00:00:00 UTC (0 = no date),
// without any time-zone bias; FCRC as the Int64 on the wire; FState as its
// ordinal; Strings as UTF-8 with malformed sequences replaced by U+FFFD.
//
// Decoding is strict, since the client has nothing to gain from guessing:
// characters other than the Base64 alphabet, "=" padding and blanks (CR, LF,
// space, tab), an incomplete Base64 group, a wrong marker, an unknown kind, a
// negative count or String length, a count larger than the bytes left can
// hold, a read past the end and bytes after the body each raise EClientError
// with the byte offset and the field. Nothing is allocated beyond what the
// input can hold.
//
// A kind-4 record does not say whether a task follows the attachments: the
// caller knows which method it called (GetTaskAttachments: with task,
// SearchDocuments: without) and must say so.
//
// Pure functions: safe from any thread.
#pragma once

#include <boost/json/object.hpp>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "client/client_error.h"

namespace brevalon::client {

inline constexpr int32_t kResultMarker = 20121004;

enum class TaskInAttachments {
  kUnspecified,  // a kind-4 record raises EClientError
  kWithTask,     // GetTaskAttachments
  kWithoutTask,  // SearchDocuments
};

// Base64 text to bytes, strictly (see above). The empty text gives no bytes.
std::vector<uint8_t> DecodeBase64Strict(std::string_view text);

// The result kind (second Integer) when the bytes start with the marker and a
// kind; 0 otherwise. Lets a caller pick a TaskInAttachments before decoding.
int32_t PeekResultKind(std::span<const uint8_t> bytes);

boost::json::object DecodeResultBytes(std::span<const uint8_t> bytes, TaskInAttachments task);
boost::json::object DecodeResult(std::string_view text, TaskInAttachments task);

}  // namespace brevalon::client
