// Wire format of the remote data connection (RDC): the frames that carry a
// session's sign-in to a server class, operation calls with positional
// variant arguments, property reads, and their answers, between the gateway
// (RdcClient) and an application server (RdcServer). docs/appserver-protocol.md
// describes every byte with examples.
//
// Pure functions and plain structs, no I/O and no shared state: safe on any
// thread. The decoders treat their input as untrusted: every length and count
// is checked against the bytes actually present and against the frame limit,
// and anything malformed raises ERdcProtocolError (never a partial value).
//
// A frame is: u32 little-endian length L (1..max), then L bytes: one type byte
// and the payload. Encoders return the complete frame, length included.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "data/variant.h"
#include "util/exception.h"

namespace brevalon {

// Base of every failure of the remote data connection.
class ERdcException : public Exception {
 public:
  using Exception::Exception;
};

// The connection itself failed: cannot connect, timed out, the peer closed
// it, or the peer sent bytes that are not the protocol. The client closes the
// connection before raising it.
class ERdcTransportFailure : public ERdcException {
 public:
  using ERdcException::ERdcException;
};

// Bytes that are not a well-formed frame or message (raised by the decoders;
// a kind of transport failure when it comes from the peer).
class ERdcProtocolError : public ERdcTransportFailure {
 public:
  using ERdcTransportFailure::ERdcTransportFailure;
};

// The server ran the operation and it failed; the message is the server's
// description text, unchanged. The connection stays open.
class ERdcCallFailure : public ERdcException {
 public:
  using ERdcException::ERdcException;
};

// The server has no operation or property of that name (name resolution
// failed). A server-side session object raises it for a name it does not
// serve; the client receives it with the same text. The connection stays open.
class ERdcUnknownName : public ERdcException {
 public:
  using ERdcException::ERdcException;
  // The usual text: "Unknown name: <name>".
  static ERdcUnknownName ForName(const std::string& name) { return ERdcUnknownName("Unknown name: " + name); }
};

inline constexpr uint16_t kRdcProtocolVersion = 1;
// Largest value of a frame's length field (type byte + payload): 64 MiB.
inline constexpr uint32_t kRdcMaxFrameLength = 64u * 1024u * 1024u;
// Bytes before the length-counted part of a frame.
inline constexpr size_t kRdcFrameHeaderSize = 4;
// The four bytes "BRDC" that open every Hello payload.
inline constexpr std::string_view kRdcHelloMagic = "BRDC";

enum class RdcFrameType : uint8_t {
  // client -> server
  kHello = 0x01,
  kCall = 0x02,
  kGetProperty = 0x03,
  kBye = 0x04,
  // server -> client
  kHelloOk = 0x81,
  kResult = 0x82,
  kFailure = 0x83,
};

// How an argument is passed.
enum class RdcArgMode : uint8_t {
  kValue = 0,         // the server's changes are not sent back
  kVariantRef = 1,    // the server may write any kind; the new value comes back
  kTypedRef = 2,      // the server may write a value of the same kind only
};

enum class RdcFailureKind : uint8_t {
  kCallFailed = 1,    // the operation raised; description = its message
  kUnknownName = 2,   // no operation or property of that name
  kSessionFault = 3,  // no usable session: unknown class, bad sign-in, expired
                      // HTTP session, request out of order. The client closes.
};

struct RdcHello {
  uint16_t version = kRdcProtocolVersion;
  std::string server_class;  // GUID text, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
  std::string identity;      // operating-system user name of the caller; may be empty
};

struct RdcHelloOk {
  uint16_t version = kRdcProtocolVersion;
  std::string session;  // HTTP session token; empty on a plain TCP connection
};

struct RdcWireArg {
  RdcArgMode mode = RdcArgMode::kValue;
  Variant value;
};

// A Call, or a GetProperty (which has no arguments).
struct RdcCallRequest {
  uint32_t call_id = 0;
  std::string name;
  std::vector<RdcWireArg> args;
};

struct RdcResult {
  uint32_t call_id = 0;
  Variant result;
  std::vector<Variant> refs;  // new values of the by-reference arguments, in argument order
};

struct RdcFailure {
  uint32_t call_id = 0;
  RdcFailureKind kind = RdcFailureKind::kCallFailed;
  std::string description;
};

// One frame split into type and payload (payload is a view into the input).
struct RdcFrameView {
  RdcFrameType type;
  std::string_view payload;
};

// The length field of a frame header (4 bytes), checked to be 1..max_length.
uint32_t RdcReadFrameLength(const unsigned char* header, uint32_t max_length = kRdcMaxFrameLength);

// A complete frame (header + exactly length bytes, nothing after it).
RdcFrameView RdcSplitFrame(std::string_view frame, uint32_t max_length = kRdcMaxFrameLength);
// The length-counted part (type byte + payload) of a frame whose header was
// already read.
RdcFrameView RdcSplitBody(std::string_view body);

std::string RdcEncodeHello(const RdcHello& hello);
std::string RdcEncodeHelloOk(const RdcHelloOk& ok);
std::string RdcEncodeCall(const RdcCallRequest& call);         // type kCall
std::string RdcEncodeGetProperty(uint32_t call_id, const std::string& name);
std::string RdcEncodeBye();
std::string RdcEncodeResult(const RdcResult& result);
std::string RdcEncodeFailure(const RdcFailure& failure);

RdcHello RdcDecodeHello(std::string_view payload);
RdcHelloOk RdcDecodeHelloOk(std::string_view payload);
RdcCallRequest RdcDecodeCall(std::string_view payload);         // kCall payload
RdcCallRequest RdcDecodeGetProperty(std::string_view payload);  // kGetProperty payload
RdcResult RdcDecodeResult(std::string_view payload);
RdcFailure RdcDecodeFailure(std::string_view payload);

// A variant alone: one tag byte (the VariantType value) and its value.
void RdcAppendVariant(std::string& out, const Variant& v);
// Decodes one variant at `pos` of `in`, advancing `pos`.
Variant RdcReadVariant(std::string_view in, size_t& pos);

}  // namespace brevalon
