#include "protocol/stream.h"

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

#include "protocol/base64.h"

namespace brevalon {
namespace {

constexpr int64_t kMsPerDay = 86'400'000;
constexpr double kUnixEpoch = 25569.0;                   // 1970-01-01 as a day count
constexpr int64_t kUnixEpochMs = 25569LL * kMsPerDay;    // exact
// Beyond this many milliseconds from 1899 a day count is not a date we can
// carry (and the conversion to an integer would be undefined).
constexpr double kMaxMs = 9.0e18;

// Little-endian integers on any host.
template <typename T>
void PutLE(uint8_t* p, T value) {
  auto u = static_cast<std::make_unsigned_t<T>>(value);
  for (size_t i = 0; i < sizeof(T); ++i) {
    p[i] = static_cast<uint8_t>(u & 0xFF);
    u = static_cast<decltype(u)>(u >> 8);
  }
}

template <typename T>
T GetLE(const uint8_t* p) {
  std::make_unsigned_t<T> u = 0;
  for (size_t i = sizeof(T); i-- > 0;) u = static_cast<decltype(u)>((u << 8) | p[i]);
  return static_cast<T>(u);
}

// Process-wide bias override; INT32_MIN means "none".
std::atomic<int32_t> g_biasOverride{INT32_MIN};

int32_t SystemStandardBias() {
  // tzset rewrites the C library's zone globals that `timezone` reads below.
  static std::mutex zoneLock;
  std::lock_guard lock(zoneLock);
  // Standard time is whichever of January and July is not daylight time
  // (January in the north, July in the south; both where there is none).
  tzset();
  const time_t now = time(nullptr);
  struct tm nowTm {};
  localtime_r(&now, &nowTm);
  for (int month : {0, 6}) {
    struct tm probe {};
    probe.tm_year = nowTm.tm_year;
    probe.tm_mon = month;
    probe.tm_mday = 15;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    const time_t t = mktime(&probe);
    struct tm local {};
    if (t != static_cast<time_t>(-1) && localtime_r(&t, &local) != nullptr && local.tm_isdst == 0) {
      return static_cast<int32_t>(-local.tm_gmtoff / 60);
    }
  }
  return static_cast<int32_t>(timezone / 60);  // seconds west of UTC
}

// Length of the valid UTF-8 sequence at p (1..4), or 0 when the bytes there
// do not start one. Continuation ranges follow the Unicode table of
// well-formed sequences (no overlongs, no surrogates, nothing above U+10FFFF).
// *maximal receives the length of the maximal subpart to replace.
size_t Utf8SequenceLength(const uint8_t* p, const uint8_t* end, size_t* maximal) {
  const uint8_t c = p[0];
  *maximal = 1;
  if (c < 0x80) return 1;
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t i = 1; i <= need; ++i) {
    if (p + i >= end) return 0;
    const uint8_t b = p[i];
    if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    *maximal = i + 1;
  }
  return need + 1;
}

bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* end = p + text.size();
  while (p != end) {
    // ASCII eight bytes at a time.
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    size_t maximal;
    const size_t n = Utf8SequenceLength(p, end, &maximal);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

}  // namespace

// ---- TMemoryStream -------------------------------------------------------

size_t TMemoryStream::Read(void* ABuffer, size_t ACount) {
  const size_t n = ACount < Remaining() ? ACount : Remaining();
  if (n != 0) std::memcpy(ABuffer, FBytes.data() + FPosition, n);
  FPosition += n;
  return n;
}

void TMemoryStream::Write(const void* AData, size_t ACount) {
  if (ACount == 0) return;
  if (FPosition + ACount > FBytes.size()) FBytes.resize(FPosition + ACount);
  std::memcpy(FBytes.data() + FPosition, AData, ACount);
  FPosition += ACount;
}

// ---- Time zone and date-time ---------------------------------------------

int32_t CurrentTimeZoneBias() {
  const int32_t forced = g_biasOverride.load(std::memory_order_relaxed);
  if (forced != INT32_MIN) return forced;
  // Working the offset out takes several calls into the C library and a look
  // at the zone file, on every request and answer. It changes only when the
  // zone does: kept per thread for a minute, and at once for a new TZ.
  struct Cached {
    std::optional<std::string> tz;
    int32_t bias = 0;
    std::chrono::steady_clock::time_point expires{};
  };
  thread_local Cached cached;
  const char* tz = std::getenv("TZ");
  const auto now = std::chrono::steady_clock::now();
  const bool sameZone = tz ? (cached.tz && *cached.tz == tz) : !cached.tz;
  if (!sameZone || now >= cached.expires) {
    cached.tz = tz ? std::optional<std::string>(tz) : std::nullopt;
    cached.bias = SystemStandardBias();
    cached.expires = now + std::chrono::minutes(1);
  }
  return cached.bias;
}

void SetTimeZoneBiasOverride(std::optional<int32_t> ABias) {
  g_biasOverride.store(ABias ? *ABias : INT32_MIN, std::memory_order_relaxed);
}

int64_t WireSecondsFromDateTime(TDateTime AValue, int32_t ABias) {
  if (AValue == 0.0) return 0;
  // nearbyint rounds in the current mode, which is to nearest, ties to even.
  const double ms = std::nearbyint(AValue * static_cast<double>(kMsPerDay));
  if (!std::isfinite(ms) || std::fabs(ms) > kMaxMs) {
    throw Exception("Date-time value out of range");
  }
  const int64_t diff = static_cast<int64_t>(ms) - kUnixEpochMs;
  int64_t seconds = (diff < 0 ? -diff : diff) / 1000;  // cut off towards 1970
  if (AValue < kUnixEpoch) seconds = -seconds;
  return seconds + static_cast<int64_t>(ABias) * 60;
}

TDateTime DateTimeFromWireSeconds(int64_t AWire, int32_t ABias) {
  if (AWire == 0) return 0.0;
  int64_t seconds;
  int64_t ms;
  int64_t total;
  if (__builtin_sub_overflow(AWire, static_cast<int64_t>(ABias) * 60, &seconds) ||
      __builtin_mul_overflow(seconds, int64_t{1000}, &ms) ||
      __builtin_add_overflow(ms, kUnixEpochMs, &total)) {
    throw EDataTypeException();
  }
  return static_cast<double>(total) / static_cast<double>(kMsPerDay);
}

// ---- UTF-8 ---------------------------------------------------------------

std::string ToValidUtf8(std::string_view AText) {
  if (IsValidUtf8(AText)) return std::string(AText);
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
  std::string out;
  out.reserve(AText.size() + 8);
  const auto* p = reinterpret_cast<const uint8_t*>(AText.data());
  const uint8_t* end = p + AText.size();
  while (p != end) {
    size_t maximal;
    const size_t n = Utf8SequenceLength(p, end, &maximal);
    if (n != 0) {
      out.append(reinterpret_cast<const char*>(p), n);
      p += n;
    } else {
      out.append(kReplacement, 3);
      p += maximal;
    }
  }
  return out;
}

// ---- TStreamReader -------------------------------------------------------

TStreamReader::TStreamReader(TMemoryStream& AStream)
    : TStreamReader(AStream, CurrentTimeZoneBias()) {}

TStreamReader::TStreamReader(TMemoryStream& AStream, int32_t ABias)
    : FStream(AStream), FTimeZone(ABias) {}

void TStreamReader::ReadExact(void* ABuffer, size_t ACount) {
  if (FStream.Remaining() < ACount) throw EDataTypeException();
  FStream.Read(ABuffer, ACount);
}

int32_t TStreamReader::ReadInteger() {
  uint8_t b[4];
  ReadExact(b, sizeof b);
  return GetLE<int32_t>(b);
}

int64_t TStreamReader::ReadInt64() {
  uint8_t b[8];
  ReadExact(b, sizeof b);
  return GetLE<int64_t>(b);
}

std::string TStreamReader::ReadString() {
  const int32_t n = ReadInteger();
  if (n <= 0) return {};
  // Checked before allocating: a length can never exceed what was sent.
  if (static_cast<size_t>(n) > FStream.Remaining()) throw EDataTypeException();
  std::string raw(static_cast<size_t>(n), '\0');
  FStream.Read(raw.data(), raw.size());
  if (IsValidUtf8(raw)) return raw;
  return ToValidUtf8(raw);
}

TDateTime TStreamReader::ReadDateTime() { return DateTimeFromWireSeconds(ReadInt64(), FTimeZone); }

double TStreamReader::ReadDouble() { return std::bit_cast<double>(ReadInt64()); }

uint8_t TStreamReader::ReadByte() {
  uint8_t b;
  ReadExact(&b, 1);
  return b;
}

bool TStreamReader::ReadBoolean() { return ReadByte() == 1; }

// ---- TStreamWriter -------------------------------------------------------

TStreamWriter::TStreamWriter(TMemoryStream& AStream)
    : TStreamWriter(AStream, CurrentTimeZoneBias()) {}

TStreamWriter::TStreamWriter(TMemoryStream& AStream, int32_t ABias)
    : FTimeZone(ABias), FStream(AStream) {}

void TStreamWriter::WriteInteger(int32_t AValue) {
  uint8_t b[4];
  PutLE(b, AValue);
  FStream.Write(b, sizeof b);
}

void TStreamWriter::WriteInt64(int64_t AValue) {
  uint8_t b[8];
  PutLE(b, AValue);
  FStream.Write(b, sizeof b);
}

void TStreamWriter::WriteString(std::string_view AValue) {
  // Texts from the back end are not trusted to be UTF-8; the client always
  // receives valid UTF-8.
  const std::string valid = ToValidUtf8(AValue);
  if (valid.size() > static_cast<size_t>(INT32_MAX)) throw Exception("Text too long to send");
  WriteInteger(static_cast<int32_t>(valid.size()));
  FStream.Write(valid.data(), valid.size());
}

void TStreamWriter::WriteDateTime(TDateTime AValue) {
  WriteInt64(WireSecondsFromDateTime(AValue, FTimeZone));
}

void TStreamWriter::WriteDouble(double AValue) { WriteInt64(std::bit_cast<int64_t>(AValue)); }

void TStreamWriter::WriteByte(uint8_t AValue) { FStream.Write(&AValue, 1); }

void TStreamWriter::WriteBoolean(bool AValue) { WriteByte(AValue ? 1 : 0); }

// ---- Framing ---------------------------------------------------------------

std::unique_ptr<TMemoryStream> MemoryStreamFromBase64(std::string_view AText) {
  return std::make_unique<TMemoryStream>(Base64Decode(AText));
}

std::string MemoryStreamToBase64(const TMemoryStream& AStream) {
  // Always the whole stream from byte 0; the position is not touched.
  return Base64Encode(AStream.Bytes());
}

}  // namespace brevalon
