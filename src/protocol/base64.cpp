// Table-driven Base64. Encoding maps 12 input bits at a time to two output
// characters through a 4096-entry table; decoding maps each character to its
// pre-shifted contribution to the three output bytes, with a flag bit for
// anything that is not an alphabet character, so that a run of clean groups
// costs four loads, three ORs and one test per group. Only groups that hold a
// line break, padding or stray characters take the character-by-character way.
#include "protocol/base64.h"

#include <array>
#include <bit>
#include <cstring>

namespace brevalon {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the decode tables assume a little-endian machine");

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kLineChars = 76;               // characters per line
constexpr size_t kLineBytes = kLineChars / 4 * 3;  // 57 input bytes per line

// Two output characters for every 12-bit value, in memory order.
struct EncodeTable {
  std::array<uint16_t, 4096> pairs{};
  constexpr EncodeTable() {
    for (unsigned v = 0; v < 4096; ++v) {
      const auto hi = static_cast<uint8_t>(kAlphabet[v >> 6]);
      const auto lo = static_cast<uint8_t>(kAlphabet[v & 63]);
      pairs[v] = static_cast<uint16_t>(hi | (lo << 8));  // little-endian: hi first
    }
  }
};
constexpr EncodeTable kEncode;

constexpr uint32_t kBad = 0x80000000u;  // in the unused fourth byte

// kDecode[k][c]: the contribution of character c in place k of a group to the
// three output bytes (first byte lowest), or kBad.
struct DecodeTable {
  std::array<std::array<uint32_t, 256>, 4> t{};
  std::array<int8_t, 256> value{};  // 6-bit value, -1 not in the alphabet
  constexpr DecodeTable() {
    for (auto& v : value) v = -1;
    for (int i = 0; i < 64; ++i) value[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
    for (int k = 0; k < 4; ++k) {
      for (int c = 0; c < 256; ++c) {
        if (value[c] < 0) {
          t[k][c] = kBad;
          continue;
        }
        const uint32_t x = static_cast<uint32_t>(value[c]) << (18 - 6 * k);  // 24-bit group
        t[k][c] = ((x >> 16) & 0xFF) | (x & 0xFF00) | ((x & 0xFF) << 16);
      }
    }
  }
};
constexpr DecodeTable kDecode;

inline uint32_t Load24(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

inline void Put3(char*& out, uint32_t v) {  // v: 24 bits, 3 bytes -> 4 characters
  std::memcpy(out, &kEncode.pairs[v >> 12], 2);
  std::memcpy(out + 2, &kEncode.pairs[v & 0xFFF], 2);
  out += 4;
}

// Encodes ASize bytes (any count) into out without line breaks.
inline void EncodeRun(const uint8_t* in, size_t size, char*& out) {
  // Six bytes per step from one 8-byte load, while eight bytes are readable.
  while (size >= 8) {
    uint64_t w;
    std::memcpy(&w, in, 8);
    w = __builtin_bswap64(w);  // big-endian view: first byte highest
    Put3(out, static_cast<uint32_t>(w >> 40) & 0xFFFFFF);
    Put3(out, static_cast<uint32_t>(w >> 16) & 0xFFFFFF);
    in += 6;
    size -= 6;
  }
  while (size >= 3) {
    Put3(out, Load24(in));
    in += 3;
    size -= 3;
  }
  if (size == 2) {
    const uint32_t v = (static_cast<uint32_t>(in[0]) << 16) | (static_cast<uint32_t>(in[1]) << 8);
    Put3(out, v);
    out[-1] = '=';
  } else if (size == 1) {
    Put3(out, static_cast<uint32_t>(in[0]) << 16);
    out[-2] = '=';
    out[-1] = '=';
  }
}

}  // namespace

size_t Base64EncodedLength(size_t ASize, bool ALineBreaks) {
  const size_t chars = (ASize + 2) / 3 * 4;
  return ALineBreaks ? chars + chars / kLineChars * 2 : chars;
}

std::string Base64Encode(const uint8_t* AData, size_t ASize, bool ALineBreaks) {
  std::string text(Base64EncodedLength(ASize, ALineBreaks), '\0');
  char* out = text.data();
  if (!ALineBreaks) {
    EncodeRun(AData, ASize, out);
    return text;
  }
  // Whole lines: 57 bytes -> 76 characters + CR LF.
  while (ASize >= kLineBytes) {
    EncodeRun(AData, kLineBytes, out);
    *out++ = '\r';
    *out++ = '\n';
    AData += kLineBytes;
    ASize -= kLineBytes;
  }
  const char* tail = out;
  EncodeRun(AData, ASize, out);
  // 55 or 56 remaining bytes also fill 76 characters, padding included.
  if (static_cast<size_t>(out - tail) == kLineChars) {
    *out++ = '\r';
    *out++ = '\n';
  }
  return text;
}

std::string Base64Encode(std::string_view ABytes, bool ALineBreaks) {
  return Base64Encode(reinterpret_cast<const uint8_t*>(ABytes.data()), ABytes.size(), ALineBreaks);
}

std::string Base64Encode(const std::vector<uint8_t>& ABytes, bool ALineBreaks) {
  return Base64Encode(ABytes.data(), ABytes.size(), ALineBreaks);
}

std::vector<uint8_t> Base64Decode(std::string_view AText) {
  const auto* in = reinterpret_cast<const uint8_t*>(AText.data());
  const uint8_t* const end = in + AText.size();
  // At most 3 bytes per 4 characters, plus room for the 4-byte stores of the
  // fast path (each writes one byte beyond its group).
  std::vector<uint8_t> bytes(AText.size() / 4 * 3 + 8);
  uint8_t* out = bytes.data();
  const auto& t = kDecode.t;

  for (;;) {
    // Fast path: clean groups, two at a time, then one.
    while (end - in >= 8) {
      const uint32_t a = t[0][in[0]] | t[1][in[1]] | t[2][in[2]] | t[3][in[3]];
      const uint32_t b = t[0][in[4]] | t[1][in[5]] | t[2][in[6]] | t[3][in[7]];
      if ((a | b) & kBad) break;
      std::memcpy(out, &a, 4);
      std::memcpy(out + 3, &b, 4);
      in += 8;
      out += 6;
    }
    if (end - in >= 4) {
      const uint32_t a = t[0][in[0]] | t[1][in[1]] | t[2][in[2]] | t[3][in[3]];
      if (!(a & kBad)) {
        std::memcpy(out, &a, 4);
        in += 4;
        out += 3;
        continue;
      }
    }
    if (in == end) break;

    // Slow path: gather one group of four kept characters (alphabet or "="),
    // skipping everything else; the group yields what its leading alphabet
    // characters determine.
    uint32_t vals[4] = {0, 0, 0, 0};
    int kept = 0;
    int leading = 0;  // alphabet characters before the first "="
    bool padded = false;
    while (kept < 4 && in != end) {
      const uint8_t c = *in++;
      const int8_t v = kDecode.value[c];
      if (v >= 0) {
        if (!padded) vals[leading++] = static_cast<uint32_t>(v);
        ++kept;
      } else if (c == '=') {
        padded = true;
        ++kept;
      }
    }
    const uint32_t g = (vals[0] << 18) | (vals[1] << 12) | (vals[2] << 6) | vals[3];
    const int count = leading == 4 ? 3 : leading == 3 ? 2 : leading == 2 ? 1 : 0;
    for (int i = 0; i < count; ++i) *out++ = static_cast<uint8_t>(g >> (16 - 8 * i));
  }
  bytes.resize(static_cast<size_t>(out - bytes.data()));
  return bytes;
}

}  // namespace brevalon
