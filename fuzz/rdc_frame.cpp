// Feeds arbitrary bytes to the remote-data-connection frame parser and message
// decoders, as a hostile peer would send them. Malformed input may only end in
// the system's own exceptions. Every frame that decodes must encode back to
// exactly the same bytes (the format has one encoding per message), so a
// decoder that accepts something it should not, or loses a value, is found too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rdc/rdc_protocol.h"

namespace {

using namespace brevalon;

std::string Reencode(const RdcFrameView& f) {
  switch (f.type) {
    case RdcFrameType::kHello: return RdcEncodeHello(RdcDecodeHello(f.payload));
    case RdcFrameType::kHelloOk: return RdcEncodeHelloOk(RdcDecodeHelloOk(f.payload));
    case RdcFrameType::kCall: return RdcEncodeCall(RdcDecodeCall(f.payload));
    case RdcFrameType::kGetProperty: {
      const RdcCallRequest r = RdcDecodeGetProperty(f.payload);
      return RdcEncodeGetProperty(r.call_id, r.name);
    }
    case RdcFrameType::kBye:
      if (!f.payload.empty()) throw ERdcProtocolError("Bye with a payload");
      return RdcEncodeBye();
    case RdcFrameType::kResult: return RdcEncodeResult(RdcDecodeResult(f.payload));
    case RdcFrameType::kFailure: return RdcEncodeFailure(RdcDecodeFailure(f.payload));
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    const RdcFrameView f = RdcSplitFrame(bytes);
    const std::string again = Reencode(f);
    if (again != bytes) std::abort();
  } catch (const brevalon::Exception&) {
  }
  // A lone variant, as the value codec sees it.
  try {
    size_t pos = 0;
    const Variant v = RdcReadVariant(bytes, pos);
    std::string again;
    RdcAppendVariant(again, v);
    if (again != bytes.substr(0, pos)) std::abort();
  } catch (const brevalon::Exception&) {
  }
  return 0;
}
