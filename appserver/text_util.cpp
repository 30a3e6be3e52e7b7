#include "appserver/text_util.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <vector>

namespace brevalon::appserver {

namespace {

constexpr std::array<uint32_t, 64> kSha256K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

std::string Sha256Hex(std::string_view data) {
  std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<uint8_t> msg(data.begin(), data.end());
  uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  msg.push_back(0x80);
  while (msg.size() % 64 != 56) msg.push_back(0);
  for (int i = 7; i >= 0; --i) msg.push_back(static_cast<uint8_t>(bits >> (i * 8)));
  for (size_t off = 0; off < msg.size(); off += 64) {
    std::array<uint32_t, 64> w{};
    for (int i = 0; i < 16; ++i)
      w[i] = (uint32_t(msg[off + 4 * i]) << 24) | (uint32_t(msg[off + 4 * i + 1]) << 16) |
             (uint32_t(msg[off + 4 * i + 2]) << 8) | uint32_t(msg[off + 4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
      uint32_t ch = (e & f) ^ (~e & g);
      uint32_t t1 = hh + s1 + ch + kSha256K[i] + w[i];
      uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
      uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
      uint32_t t2 = s0 + maj;
      hh = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
  }
  std::string out;
  char buf[9];
  for (uint32_t v : h) {
    std::snprintf(buf, sizeof buf, "%08x", v);
    out += buf;
  }
  return out;
}

namespace {

// Days from 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr int64_t kDays1899To1970 = 25569;

bool ReadNumber(std::string_view s, size_t pos, size_t len, int& out) {
  if (pos + len > s.size()) return false;
  int v = 0;
  for (size_t i = pos; i < pos + len; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}

}  // namespace

std::optional<double> ParseDateTime(std::string_view s) {
  int y, mo, d, h = 0, mi = 0, sec = 0;
  if (s.size() < 10 || !ReadNumber(s, 0, 4, y) || s[4] != '-' || !ReadNumber(s, 5, 2, mo) || s[7] != '-' ||
      !ReadNumber(s, 8, 2, d))
    return std::nullopt;
  if (s.size() > 10) {
    if (s.size() != 16 && s.size() != 19) return std::nullopt;
    if ((s[10] != ' ' && s[10] != 'T') || !ReadNumber(s, 11, 2, h) || s[13] != ':' || !ReadNumber(s, 14, 2, mi))
      return std::nullopt;
    if (s.size() == 19 && (s[16] != ':' || !ReadNumber(s, 17, 2, sec))) return std::nullopt;
  }
  static constexpr int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1] || h > 23 || mi > 59 || sec > 59) return std::nullopt;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo == 2 && d == 29 && !leap) return std::nullopt;
  double days = static_cast<double>(DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) +
                                    kDays1899To1970);
  return days + (h * 3600 + mi * 60 + sec) / 86400.0;
}

double NowDateTime() {
  std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  double days = static_cast<double>(
      DaysFromCivil(lt.tm_year + 1900, static_cast<unsigned>(lt.tm_mon + 1), static_cast<unsigned>(lt.tm_mday)) +
      kDays1899To1970);
  return days + (lt.tm_hour * 3600 + lt.tm_min * 60 + lt.tm_sec) / 86400.0;
}

namespace {

// Decodes one UTF-8 character at `pos`; an invalid byte decodes as itself
// with a length of 1 (marked by a value above U+10FFFF so it never folds).
uint32_t DecodeAt(std::string_view s, size_t pos, size_t& len) {
  auto b0 = static_cast<uint8_t>(s[pos]);
  auto cont = [&](size_t i) { return pos + i < s.size() && (static_cast<uint8_t>(s[pos + i]) & 0xC0) == 0x80; };
  if (b0 < 0x80) {
    len = 1;
    return b0;
  }
  if ((b0 & 0xE0) == 0xC0 && cont(1)) {
    len = 2;
    return ((b0 & 0x1Fu) << 6) | (static_cast<uint8_t>(s[pos + 1]) & 0x3Fu);
  }
  if ((b0 & 0xF0) == 0xE0 && cont(1) && cont(2)) {
    len = 3;
    return ((b0 & 0x0Fu) << 12) | ((static_cast<uint8_t>(s[pos + 1]) & 0x3Fu) << 6) |
           (static_cast<uint8_t>(s[pos + 2]) & 0x3Fu);
  }
  if ((b0 & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
    len = 4;
    return ((b0 & 0x07u) << 18) | ((static_cast<uint8_t>(s[pos + 1]) & 0x3Fu) << 12) |
           ((static_cast<uint8_t>(s[pos + 2]) & 0x3Fu) << 6) | (static_cast<uint8_t>(s[pos + 3]) & 0x3Fu);
  }
  len = 1;
  return 0x110000u + b0;
}

uint32_t FoldChar(uint32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c >= 0x0410 && c <= 0x042F) return c + 32;   // А..Я
  if (c >= 0x0400 && c <= 0x040F) return c + 80;   // Ѐ..Џ, Ё included
  return c;
}

void Encode(uint32_t c, std::string& out) {
  if (c >= 0x110000u) {
    out += static_cast<char>(c - 0x110000u);
  } else if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::vector<uint32_t> FoldedChars(std::string_view s) {
  std::vector<uint32_t> out;
  out.reserve(s.size());
  for (size_t pos = 0; pos < s.size();) {
    size_t len = 1;
    out.push_back(FoldChar(DecodeAt(s, pos, len)));
    pos += len;
  }
  return out;
}

}  // namespace

std::string FoldCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (uint32_t c : FoldedChars(text)) Encode(c, out);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return FoldedChars(a) == FoldedChars(b); }

bool LikeMatch(std::string_view pattern, std::string_view text) {
  const std::vector<uint32_t> p = FoldedChars(pattern);
  const std::vector<uint32_t> t = FoldedChars(text);
  // Iterative wildcard match with one backtrack point: linear in practice,
  // O(|p|*|t|) at worst, no recursion.
  size_t pi = 0, ti = 0, star = SIZE_MAX, mark = 0;
  while (ti < t.size()) {
    if (pi < p.size() && (p[pi] == '_' || (p[pi] != '%' && p[pi] == t[ti]))) {
      ++pi;
      ++ti;
    } else if (pi < p.size() && p[pi] == '%') {
      star = pi++;
      mark = ti;
    } else if (star != SIZE_MAX) {
      pi = star + 1;
      ti = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '%') ++pi;
  return pi == p.size();
}

}  // namespace brevalon::appserver
