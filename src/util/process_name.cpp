#include "util/process_name.h"

#include <optional>

namespace brevalon {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

uint8_t KindCode(TBProcessKind kind) {
  switch (kind) {
    case bpkTask:
      return 0x02;
    case bpkTaskAgree:
      return 0x03;
    case bpkTaskFamiliarization:
      return 0x06;
    default:
      return 0xFF;
  }
}

std::optional<TBProcessKind> KindOfCode(uint32_t code) {
  switch (code) {
    case 0x02:
    case 0x04:
      return bpkTask;
    case 0x03:
    case 0x05:
      return bpkTaskAgree;
    case 0x06:
      return bpkTaskFamiliarization;
    default:
      return std::nullopt;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Every byte of `digits` a hexadecimal digit; at most eight of them.
std::optional<uint32_t> ParseHex(std::string_view digits) {
  uint32_t v = 0;
  for (char c : digits) {
    int d = HexValue(c);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  return v;
}

void AppendHex(std::string& out, uint32_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out += kHexDigits[(value >> shift) & 0xF];
  }
}

}  // namespace

std::string EncodeProcessName(TBProcessKind Kind, int32_t Tag, std::string_view Title) {
  std::string out;
  out.reserve(12 + Title.size());
  out += '{';
  AppendHex(out, KindCode(Kind), 2);
  AppendHex(out, static_cast<uint32_t>(Tag), 8);
  out += '}';
  out += Title;
  return out;
}

std::string EncodeProcessName(const TBProcessInfo& info) {
  return EncodeProcessName(info.Kind, info.Tag, info.Title);
}

bool DecodeProcessName(std::string_view name, TBProcessInfo& info) {
  if (name.size() < 12 || name.front() != '{') return false;
  std::size_t close = name.find('}');
  if (close == std::string_view::npos) return false;
  std::optional<uint32_t> code = ParseHex(name.substr(1, 2));
  std::optional<uint32_t> tag = ParseHex(name.substr(3, 8));
  if (!code || !tag) return false;
  std::optional<TBProcessKind> kind = KindOfCode(*code);
  if (!kind) return false;
  // Bytes 1-10 are hexadecimal digits, so the first "}" is at byte 11 or later
  // and the title never starts inside the prefix.
  info.Kind = *kind;
  info.Tag = static_cast<int32_t>(*tag);
  info.Title = std::string(name.substr(close + 1));
  return true;
}

std::string ProcessNameTitle(std::string_view name) {
  TBProcessInfo info;
  return DecodeProcessName(name, info) ? info.Title : std::string();
}

TBProcessKind ProcessNameKind(std::string_view name) {
  TBProcessInfo info;
  return DecodeProcessName(name, info) ? info.Kind : bpkUnknown;
}

}  // namespace brevalon
