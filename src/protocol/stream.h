// Wire primitives of the mobile protocol and the byte stream they live in.
//
// A record is a plain concatenation of little-endian values: Integer (4 bytes,
// signed), Int64 (8, signed), String (Integer byte count n, then n bytes of
// UTF-8), DateTime (Int64 seconds since 1970-01-01 00:00:00 UTC, 0 = no date),
// Double (binary64), Byte (1, unsigned), Boolean (1 byte; 1 is true, any other
// byte false; true is always written as 1).
//
// DateTime and the time-zone bias: in memory a date-time is a local day count
// since 1899-12-30 (TDateTime, 0.0 = no date). Bias is the standard offset of
// the local zone in minutes with UTC = local + Bias (-180 three hours east of
// Greenwich); daylight saving is never applied, whatever the date. A value V is
// written as S + Bias*60 where S is the whole seconds between V and 1970-01-01,
// counted in milliseconds rounded to nearest (ties to even) and cut towards
// 1970. A wire value W != 0 reads back as 1970-01-01 + (W - Bias*60) seconds,
// i.e. local time at whole seconds. The bias is captured when a reader or
// writer is created.
//
// Short data is malformed data: a read past the end of the stream, or a String
// whose length exceeds the bytes left, raises EDataTypeException ("Неверные
// данные"); a negative String length reads as the empty string. Malformed
// UTF-8 reads leniently: every invalid sequence becomes U+FFFD, so a String
// read is always valid UTF-8. Written Strings are made valid the same way.
//
// Ownership: the request reader or result writer owns the TMemoryStream; the
// TStreamReader/TStreamWriter over it are held through std::shared_ptr (the
// protocol's reference-counted interfaces) and only borrow the stream, which
// must outlive them. One thread uses a stream and its reader/writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/data_type_exception.h"

namespace brevalon {

using TDateTime = double;

// An in-memory byte stream with a position: reads copy from the position,
// writes overwrite from the position and grow the stream as needed.
class TMemoryStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> ABytes) : FBytes(std::move(ABytes)) {}

  size_t Size() const { return FBytes.size(); }
  size_t Position() const { return FPosition; }
  // Positions beyond the end are allowed; a read there finds nothing left.
  void SetPosition(size_t APosition) { FPosition = APosition; }
  size_t Remaining() const { return FPosition < FBytes.size() ? FBytes.size() - FPosition : 0; }

  // Copies min(ACount, Remaining()) bytes, advances, returns the count copied.
  size_t Read(void* ABuffer, size_t ACount);
  void Write(const void* AData, size_t ACount);

  const std::vector<uint8_t>& Bytes() const { return FBytes; }

 private:
  std::vector<uint8_t> FBytes;
  size_t FPosition = 0;
};

class IStreamReader {
 public:
  virtual ~IStreamReader() = default;
  virtual int32_t ReadInteger() = 0;
  virtual int64_t ReadInt64() = 0;
  virtual std::string ReadString() = 0;
  virtual TDateTime ReadDateTime() = 0;
  virtual double ReadDouble() = 0;
  virtual uint8_t ReadByte() = 0;
  virtual bool ReadBoolean() = 0;
};

class IStreamWriter {
 public:
  virtual ~IStreamWriter() = default;
  virtual void WriteInteger(int32_t AValue) = 0;
  virtual void WriteInt64(int64_t AValue) = 0;
  virtual void WriteString(std::string_view AValue) = 0;
  virtual void WriteDateTime(TDateTime AValue) = 0;
  virtual void WriteDouble(double AValue) = 0;
  virtual void WriteByte(uint8_t AValue) = 0;
  virtual void WriteBoolean(bool AValue) = 0;
};

// The machine's standard time-zone bias in minutes (UTC = local + Bias),
// unless a process-wide override is set (tests pin the zone with it).
int32_t CurrentTimeZoneBias();
// Sets or (with std::nullopt) clears the process-wide override. Not meant to be
// called while other threads create readers or writers.
void SetTimeZoneBiasOverride(std::optional<int32_t> ABias);

// Conversions used by the DateTime primitives; exposed for the client side
// and tests. WireSecondsFromDateTime raises brevalon::Exception for a value
// that is not a finite date-time in range (NaN, infinities, absurd counts).
// DateTimeFromWireSeconds raises EDataTypeException when W is so large that
// the milliseconds cannot be counted in 64 bits.
int64_t WireSecondsFromDateTime(TDateTime AValue, int32_t ABias);
TDateTime DateTimeFromWireSeconds(int64_t AWire, int32_t ABias);

// Returns AText with every malformed UTF-8 sequence replaced by U+FFFD (the
// maximal-subpart rule); valid text comes back unchanged.
std::string ToValidUtf8(std::string_view AText);

class TStreamReader : public IStreamReader {
 public:
  explicit TStreamReader(TMemoryStream& AStream);
  TStreamReader(TMemoryStream& AStream, int32_t ABias);

  int32_t ReadInteger() override;
  int64_t ReadInt64() override;
  std::string ReadString() override;
  TDateTime ReadDateTime() override;
  double ReadDouble() override;
  uint8_t ReadByte() override;
  bool ReadBoolean() override;

 private:
  void ReadExact(void* ABuffer, size_t ACount);

  TMemoryStream& FStream;  // not owned
  int32_t FTimeZone;       // bias in minutes, captured at creation
};

class TStreamWriter : public IStreamWriter {
 public:
  explicit TStreamWriter(TMemoryStream& AStream);
  TStreamWriter(TMemoryStream& AStream, int32_t ABias);

  void WriteInteger(int32_t AValue) override;
  void WriteInt64(int64_t AValue) override;
  void WriteString(std::string_view AValue) override;
  void WriteDateTime(TDateTime AValue) override;
  void WriteDouble(double AValue) override;
  void WriteByte(uint8_t AValue) override;
  void WriteBoolean(bool AValue) override;

 private:
  int32_t FTimeZone;       // bias in minutes, captured at creation
  TMemoryStream& FStream;  // not owned
};

// Framing. A request text becomes a stream at position 0 holding the decoded
// bytes (layout characters skipped). A stream becomes a result text: all its
// bytes from 0 to the end, CR LF after every 76 characters; the stream's
// position is left where it was.
std::unique_ptr<TMemoryStream> MemoryStreamFromBase64(std::string_view AText);
std::string MemoryStreamToBase64(const TMemoryStream& AStream);

}  // namespace brevalon
