#include "rdc/rdc_protocol.h"

#include <cstring>

namespace brevalon {

namespace {

[[noreturn]] void Malformed(const std::string& what) { throw ERdcProtocolError("Malformed frame: " + what); }

void PutU8(std::string& out, uint8_t v) { out.push_back(static_cast<char>(v)); }
void PutU16(std::string& out, uint16_t v) {
  PutU8(out, static_cast<uint8_t>(v));
  PutU8(out, static_cast<uint8_t>(v >> 8));
}
void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) PutU8(out, static_cast<uint8_t>(v >> (8 * i)));
}
void PutU64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) PutU8(out, static_cast<uint8_t>(v >> (8 * i)));
}
void PutBytes(std::string& out, const void* data, size_t n) {
  if (n > kRdcMaxFrameLength) throw ERdcProtocolError("Value too large for a frame");
  PutU32(out, static_cast<uint32_t>(n));
  out.append(static_cast<const char*>(data), n);
}
void PutString(std::string& out, const std::string& s) { PutBytes(out, s.data(), s.size()); }

// Starts a frame: room for the length, then the type byte.
std::string Begin(RdcFrameType type) {
  std::string out(kRdcFrameHeaderSize, '\0');
  PutU8(out, static_cast<uint8_t>(type));
  return out;
}

std::string Finish(std::string frame) {
  const size_t length = frame.size() - kRdcFrameHeaderSize;
  if (length > kRdcMaxFrameLength) {
    throw ERdcProtocolError("Frame of " + std::to_string(length) + " bytes exceeds the limit of " +
                            std::to_string(kRdcMaxFrameLength) + " bytes");
  }
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return frame;
}

// Bounds-checked reading of a payload.
class Reader {
 public:
  Reader(std::string_view in, size_t pos = 0) : in_(in), pos_(pos) {}

  size_t Left() const { return in_.size() - pos_; }
  size_t Pos() const { return pos_; }

  void Need(size_t n, const char* what) const {
    if (Left() < n) Malformed(std::string("truncated ") + what);
  }
  uint8_t U8(const char* what) {
    Need(1, what);
    return static_cast<uint8_t>(in_[pos_++]);
  }
  uint16_t U16(const char* what) {
    Need(2, what);
    uint16_t v = static_cast<uint16_t>(Byte(0) | (Byte(1) << 8));
    pos_ += 2;
    return v;
  }
  uint32_t U32(const char* what) {
    Need(4, what);
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte(i)) << (8 * i);
    pos_ += 4;
    return v;
  }
  uint64_t U64(const char* what) {
    Need(8, what);
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(Byte(i)) << (8 * i);
    pos_ += 8;
    return v;
  }
  std::string_view Bytes(size_t n, const char* what) {
    Need(n, what);
    std::string_view v = in_.substr(pos_, n);
    pos_ += n;
    return v;
  }
  std::string String(const char* what) {
    const uint32_t n = U32(what);
    return std::string(Bytes(n, what));
  }
  void End() const {
    if (Left() != 0) Malformed(std::to_string(Left()) + " bytes after the message");
  }

 private:
  uint32_t Byte(int i) const { return static_cast<unsigned char>(in_[pos_ + static_cast<size_t>(i)]); }

  std::string_view in_;
  size_t pos_;
};

Variant ReadVariant(Reader& r) {
  const uint8_t tag = r.U8("variant tag");
  switch (static_cast<VariantType>(tag)) {
    case VariantType::Empty: return Variant();
    case VariantType::Null: return Variant::Null();
    case VariantType::Int32: return Variant(static_cast<int32_t>(r.U32("integer")));
    case VariantType::Byte: return Variant(r.U8("byte"));
    case VariantType::Boolean: {
      const uint8_t b = r.U8("Boolean");
      if (b > 1) Malformed("Boolean value " + std::to_string(b));
      return Variant(b == 1);
    }
    case VariantType::Double: {
      const uint64_t bits = r.U64("double");
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return Variant(d);
    }
    case VariantType::Text: return Variant(r.String("text"));
    case VariantType::IntArray: {
      const uint32_t count = r.U32("array count");
      if (count > r.Left() / 4) Malformed("integer array of " + std::to_string(count) + " elements");
      std::vector<int32_t> a(count);
      for (auto& x : a) x = static_cast<int32_t>(r.U32("array element"));
      return Variant(std::move(a));
    }
    case VariantType::ByteArray: {
      const uint32_t count = r.U32("byte array length");
      const std::string_view bytes = r.Bytes(count, "byte array");
      const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
      return Variant(std::vector<uint8_t>(data, data + bytes.size()));
    }
  }
  Malformed("unknown variant tag " + std::to_string(tag));
}

RdcCallRequest ReadRequest(std::string_view payload, bool with_args) {
  Reader r(payload);
  RdcCallRequest call;
  call.call_id = r.U32("call id");
  call.name = r.String("name");
  if (with_args) {
    const uint32_t argc = r.U32("argument count");
    // Every argument takes at least two bytes (mode, tag).
    if (argc > r.Left() / 2) Malformed("argument count " + std::to_string(argc));
    call.args.reserve(argc);
    for (uint32_t i = 0; i < argc; ++i) {
      RdcWireArg arg;
      const uint8_t mode = r.U8("argument mode");
      if (mode > static_cast<uint8_t>(RdcArgMode::kTypedRef)) Malformed("argument mode " + std::to_string(mode));
      arg.mode = static_cast<RdcArgMode>(mode);
      arg.value = ReadVariant(r);
      call.args.push_back(std::move(arg));
    }
  }
  r.End();
  return call;
}

}  // namespace

uint32_t RdcReadFrameLength(const unsigned char* header, uint32_t max_length) {
  const uint32_t length = static_cast<uint32_t>(header[0]) | (static_cast<uint32_t>(header[1]) << 8) |
                          (static_cast<uint32_t>(header[2]) << 16) | (static_cast<uint32_t>(header[3]) << 24);
  if (length == 0) Malformed("empty frame");
  if (length > max_length) {
    throw ERdcProtocolError("Frame of " + std::to_string(length) + " bytes exceeds the limit of " +
                            std::to_string(max_length) + " bytes");
  }
  return length;
}

RdcFrameView RdcSplitBody(std::string_view body) {
  if (body.empty()) Malformed("empty frame");
  const auto type = static_cast<RdcFrameType>(static_cast<unsigned char>(body[0]));
  switch (type) {
    case RdcFrameType::kHello:
    case RdcFrameType::kCall:
    case RdcFrameType::kGetProperty:
    case RdcFrameType::kBye:
    case RdcFrameType::kHelloOk:
    case RdcFrameType::kResult:
    case RdcFrameType::kFailure: return RdcFrameView{type, body.substr(1)};
  }
  Malformed("unknown frame type " + std::to_string(static_cast<unsigned char>(body[0])));
}

RdcFrameView RdcSplitFrame(std::string_view frame, uint32_t max_length) {
  if (frame.size() < kRdcFrameHeaderSize) Malformed("truncated frame header");
  const uint32_t length = RdcReadFrameLength(reinterpret_cast<const unsigned char*>(frame.data()), max_length);
  if (frame.size() - kRdcFrameHeaderSize != length) {
    Malformed("frame length " + std::to_string(length) + " but " +
              std::to_string(frame.size() - kRdcFrameHeaderSize) + " bytes present");
  }
  return RdcSplitBody(frame.substr(kRdcFrameHeaderSize));
}

void RdcAppendVariant(std::string& out, const Variant& v) {
  PutU8(out, static_cast<uint8_t>(v.Type()));
  switch (v.Type()) {
    case VariantType::Empty:
    case VariantType::Null: break;
    case VariantType::Int32: PutU32(out, static_cast<uint32_t>(v.AsInteger())); break;
    case VariantType::Byte: PutU8(out, static_cast<uint8_t>(v.AsInteger())); break;
    case VariantType::Boolean: PutU8(out, v.AsBoolean() ? 1 : 0); break;
    case VariantType::Double: {
      const double d = v.AsDouble();
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      PutU64(out, bits);
      break;
    }
    case VariantType::Text: PutString(out, v.AsString()); break;
    case VariantType::IntArray: {
      const auto& a = v.AsIntArray();
      if (a.size() > kRdcMaxFrameLength / 4) throw ERdcProtocolError("Value too large for a frame");
      PutU32(out, static_cast<uint32_t>(a.size()));
      for (int32_t x : a) PutU32(out, static_cast<uint32_t>(x));
      break;
    }
    case VariantType::ByteArray: {
      const auto& a = v.AsBytes();
      PutBytes(out, a.data(), a.size());
      break;
    }
  }
}

Variant RdcReadVariant(std::string_view in, size_t& pos) {
  if (pos > in.size()) Malformed("variant position");
  Reader r(in, pos);
  Variant v = ReadVariant(r);
  pos = r.Pos();
  return v;
}

std::string RdcEncodeHello(const RdcHello& hello) {
  std::string out = Begin(RdcFrameType::kHello);
  out.append(kRdcHelloMagic);
  PutU16(out, hello.version);
  PutString(out, hello.server_class);
  PutString(out, hello.identity);
  return Finish(std::move(out));
}

std::string RdcEncodeHelloOk(const RdcHelloOk& ok) {
  std::string out = Begin(RdcFrameType::kHelloOk);
  PutU16(out, ok.version);
  PutString(out, ok.session);
  return Finish(std::move(out));
}

std::string RdcEncodeCall(const RdcCallRequest& call) {
  std::string out = Begin(RdcFrameType::kCall);
  PutU32(out, call.call_id);
  PutString(out, call.name);
  PutU32(out, static_cast<uint32_t>(call.args.size()));
  for (const RdcWireArg& arg : call.args) {
    PutU8(out, static_cast<uint8_t>(arg.mode));
    RdcAppendVariant(out, arg.value);
  }
  return Finish(std::move(out));
}

std::string RdcEncodeGetProperty(uint32_t call_id, const std::string& name) {
  std::string out = Begin(RdcFrameType::kGetProperty);
  PutU32(out, call_id);
  PutString(out, name);
  return Finish(std::move(out));
}

std::string RdcEncodeBye() { return Finish(Begin(RdcFrameType::kBye)); }

std::string RdcEncodeResult(const RdcResult& result) {
  std::string out = Begin(RdcFrameType::kResult);
  PutU32(out, result.call_id);
  RdcAppendVariant(out, result.result);
  PutU32(out, static_cast<uint32_t>(result.refs.size()));
  for (const Variant& v : result.refs) RdcAppendVariant(out, v);
  return Finish(std::move(out));
}

std::string RdcEncodeFailure(const RdcFailure& failure) {
  std::string out = Begin(RdcFrameType::kFailure);
  PutU32(out, failure.call_id);
  PutU8(out, static_cast<uint8_t>(failure.kind));
  PutString(out, failure.description);
  return Finish(std::move(out));
}

RdcHello RdcDecodeHello(std::string_view payload) {
  Reader r(payload);
  if (r.Bytes(kRdcHelloMagic.size(), "magic") != kRdcHelloMagic) Malformed("bad magic in Hello");
  RdcHello hello;
  hello.version = r.U16("version");
  hello.server_class = r.String("server class");
  hello.identity = r.String("identity");
  r.End();
  return hello;
}

RdcHelloOk RdcDecodeHelloOk(std::string_view payload) {
  Reader r(payload);
  RdcHelloOk ok;
  ok.version = r.U16("version");
  ok.session = r.String("session");
  r.End();
  return ok;
}

RdcCallRequest RdcDecodeCall(std::string_view payload) { return ReadRequest(payload, true); }
RdcCallRequest RdcDecodeGetProperty(std::string_view payload) { return ReadRequest(payload, false); }

RdcResult RdcDecodeResult(std::string_view payload) {
  Reader r(payload);
  RdcResult result;
  result.call_id = r.U32("call id");
  result.result = ReadVariant(r);
  const uint32_t count = r.U32("reference count");
  if (count > r.Left()) Malformed("reference count " + std::to_string(count));
  result.refs.reserve(count);
  for (uint32_t i = 0; i < count; ++i) result.refs.push_back(ReadVariant(r));
  r.End();
  return result;
}

RdcFailure RdcDecodeFailure(std::string_view payload) {
  Reader r(payload);
  RdcFailure failure;
  failure.call_id = r.U32("call id");
  const uint8_t kind = r.U8("failure kind");
  if (kind < 1 || kind > 3) Malformed("failure kind " + std::to_string(kind));
  failure.kind = static_cast<RdcFailureKind>(kind);
  failure.description = r.String("description");
  r.End();
  return failure;
}

}  // namespace brevalon
