// The binary form of a dataset (docs/dataset-format.md) and its files.
//
// Loading trusts nothing: the checksum is verified before anything else is
// read, and every count and length is then checked against the bytes that
// are actually left, so a damaged or hostile input ends in
// EDatasetFormatException, never in a read out of bounds or an allocation
// out of proportion to the input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>

#include "data/dataset.h"
#include "data/dataset_internal.h"
#include "data/dataset_packet.h"
#include "util/crc32.h"

namespace brevalon {

namespace {

using dataset_detail::CutToCharacters;
using dataset_detail::IsTextual;

constexpr uint8_t kMagic[4] = {'B', 'V', 'D', 'S'};
constexpr uint16_t kFormatVersion = 1;
constexpr std::size_t kHeaderBytes = 16;
constexpr std::size_t kTrailerBytes = 4;
using dataset_detail::kMaxFields;
constexpr uint16_t kMaxNameBytes = dataset_detail::kMaxFieldNameBytes;
constexpr std::size_t kMinFieldDefBytes = 1 + 4 + 2 + 1;  // type, size, name length, one name byte
constexpr uint64_t kMaxFileBytes = uint64_t{1} << 30;

uint32_t Crc32(const uint8_t* p, std::size_t n) { return brevalon::Crc32(std::span<const uint8_t>(p, n)); }

// ---- little-endian writing into a buffer sized in advance ----

struct Writer {
  uint8_t* p;
  void U8(uint8_t v) { *p++ = v; }
  void U16(uint16_t v) {
    for (int k = 0; k < 2; ++k) *p++ = static_cast<uint8_t>(v >> (8 * k));
  }
  void U32(uint32_t v) {
    for (int k = 0; k < 4; ++k) *p++ = static_cast<uint8_t>(v >> (8 * k));
  }
  void U64(uint64_t v) {
    for (int k = 0; k < 8; ++k) *p++ = static_cast<uint8_t>(v >> (8 * k));
  }
  void Raw(const void* data, std::size_t n) {
    if (n != 0) std::memcpy(p, data, n);
    p += n;
  }
};

// ---- bounded little-endian reading ----

[[noreturn]] void Bad(const std::string& what) { throw EDatasetFormatException("Damaged dataset: " + what); }

struct Reader {
  const uint8_t* p;
  const uint8_t* end;
  std::size_t Left() const { return static_cast<std::size_t>(end - p); }
  void Need(std::size_t n, const char* what) const {
    if (Left() < n) Bad(std::string(what) + " runs past the end");
  }
  uint8_t U8(const char* what) {
    Need(1, what);
    return *p++;
  }
  uint16_t U16(const char* what) {
    Need(2, what);
    const auto v = static_cast<uint16_t>(p[0] | p[1] << 8);
    p += 2;
    return v;
  }
  uint32_t U32(const char* what) {
    Need(4, what);
    const uint32_t v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    p += 4;
    return v;
  }
  uint64_t U64(const char* what) {
    Need(8, what);
    uint64_t v = 0;
    for (int k = 7; k >= 0; --k) v = v << 8 | p[k];
    p += 8;
    return v;
  }
};

std::size_t FixedBytes(FieldType t) {
  switch (t) {
    case FieldType::Int32: return 4;
    case FieldType::Boolean: return 1;
    case FieldType::Int64:
    case FieldType::Double:
    case FieldType::DateTime: return 8;
    case FieldType::Text:
    case FieldType::Bytes: return 4;  // the length; the bytes follow
  }
  return 0;
}

std::string ErrnoText() { return std::strerror(errno); }

// Closes a descriptor on every path out.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int Release() {
    const int f = fd;
    fd = -1;
    return f;
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// Save

std::vector<uint8_t> DatasetAccess::Save(const Dataset& ds) {
  const std::size_t fields = ds.defs_.size();
  const std::size_t bitmap = (fields + 7) / 8;
  if (fields > kMaxFields) throw EDatasetException("Too many fields to save");

  // Exact size first, so the buffer is allocated once.
  std::size_t size = kHeaderBytes + kTrailerBytes + ds.rows_ * bitmap;
  for (std::size_t i = 0; i < fields; ++i) {
    const FieldDef& d = ds.defs_[i];
    if (d.name.size() > kMaxNameBytes) throw EDatasetException("Field \"" + d.name + "\": name too long to save");
    size += 1 + 4 + 2 + d.name.size();
    const Dataset::Column& c = ds.columns_[i];
    const std::size_t fixed = FixedBytes(d.type);
    for (std::size_t r = 0; r < ds.rows_; ++r) {
      if (c.nulls[r]) continue;
      size += fixed;
      if (IsTextual(d.type)) {
        size += c.lengths[r];
      }
    }
  }

  std::vector<uint8_t> out(size);
  Writer w{out.data()};
  w.Raw(kMagic, 4);
  w.U16(kFormatVersion);
  w.U16(0);
  w.U32(static_cast<uint32_t>(fields));
  w.U32(static_cast<uint32_t>(ds.rows_));
  for (const FieldDef& d : ds.defs_) {
    w.U8(static_cast<uint8_t>(d.type));
    w.U32(d.size);
    w.U16(static_cast<uint16_t>(d.name.size()));
    w.Raw(d.name.data(), d.name.size());
  }
  for (std::size_t r = 0; r < ds.rows_; ++r) {
    uint8_t* bits = w.p;
    std::memset(bits, 0, bitmap);
    w.p += bitmap;
    for (std::size_t i = 0; i < fields; ++i) {
      const Dataset::Column& c = ds.columns_[i];
      if (c.nulls[r]) {
        bits[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        continue;
      }
      switch (ds.defs_[i].type) {
        case FieldType::Int32: w.U32(static_cast<uint32_t>(c.words[r])); break;
        case FieldType::Boolean: w.U8(c.words[r] ? 1 : 0); break;
        case FieldType::Int64:
        case FieldType::Double:
        case FieldType::DateTime: w.U64(c.words[r]); break;
        case FieldType::Text:
        case FieldType::Bytes:
          w.U32(c.lengths[r]);
          w.Raw(c.heap.data() + c.words[r], c.lengths[r]);
          break;
      }
    }
  }
  w.U32(Crc32(out.data(), size - kTrailerBytes));
  return out;
}

// ---------------------------------------------------------------------------
// Load

namespace {

// What precedes the rows of a packet, checked (reading rules 1 to 4).
struct PacketHeader {
  std::vector<FieldDef> defs;
  uint32_t rows = 0;
  Reader rowsIn{nullptr, nullptr};  // from the first row to the trailer
};

PacketHeader ReadHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderBytes + kTrailerBytes) Bad("too short (" + std::to_string(bytes.size()) + " bytes)");
  if (std::memcmp(bytes.data(), kMagic, 4) != 0) throw EDatasetFormatException("Not a dataset (bad magic)");
  Reader in{bytes.data() + 4, bytes.data() + bytes.size() - kTrailerBytes};
  const uint16_t version = in.U16("version");
  if (version != kFormatVersion)
    throw EDatasetFormatException("Unsupported dataset format version " + std::to_string(version));
  const uint8_t* t = bytes.data() + bytes.size() - kTrailerBytes;
  const uint32_t stored = uint32_t{t[0]} | uint32_t{t[1]} << 8 | uint32_t{t[2]} << 16 | uint32_t{t[3]} << 24;
  if (Crc32(bytes.data(), bytes.size() - kTrailerBytes) != stored) Bad("checksum mismatch");
  if (in.U16("flags") != 0) Bad("unknown flags");
  const uint32_t fields = in.U32("field count");
  const uint32_t rows = in.U32("row count");
  if (fields > kMaxFields || fields > in.Left() / kMinFieldDefBytes) Bad("field count " + std::to_string(fields));

  PacketHeader h;
  h.defs.reserve(fields);
  for (uint32_t i = 0; i < fields; ++i) {
    const uint8_t type = in.U8("field type");
    if (type > static_cast<uint8_t>(FieldType::Bytes)) Bad("unknown field type " + std::to_string(type));
    const uint32_t size = in.U32("field size");
    const uint16_t nameLength = in.U16("field name length");
    if (nameLength == 0 || nameLength > kMaxNameBytes) Bad("field name length " + std::to_string(nameLength));
    in.Need(nameLength, "field name");
    std::string name(reinterpret_cast<const char*>(in.p), nameLength);
    in.p += nameLength;
    const auto ft = static_cast<FieldType>(type);
    if (ft != FieldType::Text && size != 0) Bad("field \"" + name + "\" has a size but is not text");
    for (const FieldDef& d : h.defs)
      if (dataset_detail::NamesEqual(d.name, name)) Bad("field \"" + name + "\" defined twice");
    h.defs.push_back(FieldDef{std::move(name), ft, size});
  }
  const std::size_t bitmap = (fields + 7) / 8;
  if (fields == 0 ? rows != 0 : rows > in.Left() / bitmap) Bad("row count " + std::to_string(rows));
  h.rows = rows;
  h.rowsIn = in;
  return h;
}

// Walks every row (reading rules 5 and 6) and hands each value that is not
// null to the sink: sink.Number(row, field, word) with the number as a
// dataset column stores it (integers sign-extended, Booleans 0 or 1,
// doubles by their bits), sink.Text(row, field, bytes) for Text and Bytes.
// sink.Row(row) comes before each row's values and answers whether to go on:
// a search stops at its row (what lies beyond is then neither read nor
// checked).
template <typename Sink>
void WalkRows(Reader in, const std::vector<FieldDef>& defs, uint32_t rows, Sink& sink) {
  const std::size_t fields = defs.size();
  const std::size_t bitmap = (fields + 7) / 8;
  const uint8_t lastMask = fields % 8 == 0 ? 0 : static_cast<uint8_t>(0xFFu << (fields % 8));
  for (uint32_t r = 0; r < rows; ++r) {
    in.Need(bitmap, "null bitmap");
    const uint8_t* bits = in.p;
    in.p += bitmap;
    if (bits[bitmap - 1] & lastMask) Bad("stray bits in the null bitmap of row " + std::to_string(r));
    if (!sink.Row(r)) return;
    for (std::size_t i = 0; i < fields; ++i) {
      if (bits[i / 8] & (1u << (i % 8))) continue;
      const FieldDef& d = defs[i];
      switch (d.type) {
        case FieldType::Int32:
          sink.Number(r, i, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(in.U32("value")))));
          break;
        case FieldType::Boolean: {
          const uint8_t b = in.U8("value");
          if (b > 1) Bad("boolean value " + std::to_string(b) + " in field \"" + d.name + "\"");
          sink.Number(r, i, b);
          break;
        }
        case FieldType::Int64:
        case FieldType::Double:
        case FieldType::DateTime: sink.Number(r, i, in.U64("value")); break;
        case FieldType::Text:
        case FieldType::Bytes: {
          const uint32_t length = in.U32("value length");
          in.Need(length, "value");
          const std::string_view v(reinterpret_cast<const char*>(in.p), length);
          in.p += length;
          if (d.type == FieldType::Text && CutToCharacters(v, d.size) != v.size())
            Bad("text longer than its field \"" + d.name + "\"");
          sink.Text(r, i, v);
          break;
        }
      }
    }
  }
  if (in.Left() != 0) Bad(std::to_string(in.Left()) + " bytes after the last row");
}

// A value of a packet as the dataset's conversions take it.
dataset_detail::Cell CellOf(FieldType type, uint64_t word, std::string_view text) {
  using dataset_detail::Kind;
  dataset_detail::Cell c;
  switch (type) {
    case FieldType::Int32:
    case FieldType::Int64: c.kind = Kind::Int; c.i = static_cast<int64_t>(word); break;
    case FieldType::Boolean: c.kind = Kind::Bool; c.i = word != 0; break;
    case FieldType::Double: c.kind = Kind::Real; c.d = std::bit_cast<double>(word); break;
    case FieldType::DateTime: c.kind = Kind::Date; c.d = std::bit_cast<double>(word); break;
    case FieldType::Text: c.kind = Kind::Text; c.s = text; break;
    case FieldType::Bytes: c.kind = Kind::Bytes; c.s = text; break;
  }
  return c;
}

}  // namespace

Dataset DatasetAccess::Load(std::span<const uint8_t> bytes) {
  PacketHeader h = ReadHeader(bytes);
  Dataset ds;
  ds.defs_ = std::move(h.defs);
  ds.columns_.resize(ds.defs_.size());
  for (std::size_t i = 0; i < ds.defs_.size(); ++i) {
    Dataset::Column& c = ds.columns_[i];
    c.nulls.resize(h.rows, 1);
    c.words.resize(h.rows, 0);
    if (IsTextual(ds.defs_[i].type)) c.lengths.resize(h.rows, 0);
  }
  struct Fill {
    Dataset& ds;
    bool Row(uint32_t) { return true; }
    void Number(uint32_t r, std::size_t i, uint64_t word) {
      Dataset::Column& c = ds.columns_[i];
      c.nulls[r] = 0;
      c.words[r] = word;
    }
    void Text(uint32_t r, std::size_t i, std::string_view v) {
      Dataset::Column& c = ds.columns_[i];
      c.nulls[r] = 0;
      c.words[r] = c.heap.size();
      c.lengths[r] = static_cast<uint32_t>(v.size());
      c.heap.append(v);
    }
  } fill{ds};
  WalkRows(h.rowsIn, ds.defs_, h.rows, fill);
  ds.rows_ = h.rows;
  ds.First();
  return ds;
}

// ---------------------------------------------------------------------------
// DatasetPacket

DatasetPacket::DatasetPacket() : DatasetPacket(Dataset().SaveToBytes()) {}

DatasetPacket::DatasetPacket(std::vector<uint8_t>&& bytes) {
  PacketHeader h = ReadHeader(bytes);
  defs_ = std::move(h.defs);
  rows_ = h.rows;
  rowsOffset_ = static_cast<std::size_t>(h.rowsIn.p - bytes.data());
  bytes_ = std::move(bytes);
}

int DatasetPacket::FieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < defs_.size(); ++i)
    if (dataset_detail::NamesEqual(defs_[i].name, name)) return static_cast<int>(i);
  return -1;
}

Dataset DatasetPacket::TakeDataset() {
  std::vector<uint8_t> bytes = std::move(bytes_);
  *this = DatasetPacket();
  return Dataset::LoadFromBytes(std::move(bytes));
}

std::optional<int64_t> DatasetPacket::FirstWhere(std::string_view field, std::string_view value,
                                                 std::string_view result) const {
  const int f = FieldIndex(field);
  const int g = FieldIndex(result);
  if (f < 0) throw EDatasetException("Field \"" + std::string(field) + "\" not found");
  if (g < 0) throw EDatasetException("Field \"" + std::string(result) + "\" not found");
  struct Find {
    const DatasetPacket& packet;
    std::size_t f, g;
    std::string_view value;
    bool rowMatches = false;
    std::optional<int64_t> found;
    std::optional<dataset_detail::Cell> resultCell;  // of the current row
    bool Row(uint32_t) {
      Settle();
      if (found) return false;
      rowMatches = value.empty();  // a null field reads as the empty text
      resultCell = dataset_detail::Cell{};  // null unless the row has a value
      return true;
    }
    void Number(uint32_t, std::size_t i, uint64_t word) { Take(i, word, {}); }
    void Text(uint32_t, std::size_t i, std::string_view v) { Take(i, 0, v); }
    void Take(std::size_t i, uint64_t word, std::string_view text) {
      if (i == f) {
        const FieldType t = packet.defs_[i].type;
        rowMatches = t == FieldType::Text ? text == value : dataset_detail::ToText(CellOf(t, word, text)) == value;
      }
      if (i == g) resultCell = CellOf(packet.defs_[i].type, word, text);
    }
    // The previous row, now that all its values are known.
    void Settle() {
      if (found || !resultCell) return;
      if (rowMatches) found = dataset_detail::ToInt64(*resultCell, packet.defs_[g].name);
    }
  } find{*this, static_cast<std::size_t>(f), static_cast<std::size_t>(g), value, false, std::nullopt, std::nullopt};
  WalkRows(Reader{bytes_.data() + rowsOffset_, bytes_.data() + bytes_.size() - kTrailerBytes}, defs_, rows_, find);
  find.Settle();
  return find.found;
}

// ---------------------------------------------------------------------------
// Dataset members

std::vector<uint8_t> Dataset::SaveToBytes() const {
  if (image_) return *image_;
  return DatasetAccess::Save(*this);
}

std::span<const uint8_t> Dataset::BinaryForm() const {
  if (!image_) image_ = std::make_shared<const std::vector<uint8_t>>(DatasetAccess::Save(*this));
  return *image_;
}

Dataset Dataset::LoadFromBytes(std::span<const uint8_t> bytes) {
  return LoadFromBytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

Dataset Dataset::LoadFromBytes(std::vector<uint8_t>&& bytes) {
  Dataset ds = DatasetAccess::Load(bytes);
  ds.image_ = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
  return ds;
}

void Dataset::SaveToFile(const std::filesystem::path& path, Durability durability) const {
  const std::span<const uint8_t> bytes = BinaryForm();
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  // A hidden name that no listing of snapshot names (stem*.cds) matches.
  std::string temp = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  Fd fd;
  fd.fd = ::mkstemp(temp.data());
  if (fd.fd < 0) throw EDatasetIOException("Cannot create a file in " + dir.string() + ": " + ErrnoText());
  const auto fail = [&](const std::string& what) {
    const std::string reason = ErrnoText();
    ::close(fd.Release());
    ::unlink(temp.c_str());
    throw EDatasetIOException("Cannot " + what + " " + path.string() + ": " + reason);
  };
  ::fchmod(fd.fd, 0644);  // mkstemp makes 0600; a snapshot is an ordinary file
  const uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd.fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("write");
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (durability == Durability::Synced && ::fsync(fd.fd) != 0) fail("flush");
  if (::close(fd.Release()) != 0) {
    const std::string reason = ErrnoText();
    ::unlink(temp.c_str());
    throw EDatasetIOException("Cannot write " + path.string() + ": " + reason);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string reason = ErrnoText();
    ::unlink(temp.c_str());
    throw EDatasetIOException("Cannot replace " + path.string() + ": " + reason);
  }
  // Make the rename itself durable; a failure here loses nothing already
  // visible, so it is not reported.
  if (durability != Durability::Synced) return;
  Fd dirFd;
  dirFd.fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd.fd >= 0) ::fsync(dirFd.fd);
}

Dataset Dataset::LoadFromFile(const std::filesystem::path& path) {
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  try {
    return LoadFromBytes(std::move(bytes));
  } catch (const EDatasetFormatException& e) {
    throw EDatasetFormatException(std::string(e.what()) + " (" + path.string() + ")");
  }
}

std::vector<uint8_t> Dataset::ReadFileBytes(const std::filesystem::path& path, FileIdentity* identity) {
  Fd fd;
  fd.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd.fd < 0) {
    const int error = errno;
    throw EDatasetIOException("Cannot open " + path.string() + ": " + ErrnoText(), error);
  }
  struct stat st {};
  if (::fstat(fd.fd, &st) != 0) throw EDatasetIOException("Cannot read " + path.string() + ": " + ErrnoText());
  if (identity) *identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  if (!S_ISREG(st.st_mode)) throw EDatasetIOException("Cannot read " + path.string() + ": not a regular file");
  if (static_cast<uint64_t>(st.st_size) > kMaxFileBytes)
    throw EDatasetFormatException("Damaged dataset: " + path.string() + " is too large");
  std::vector<uint8_t> bytes(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd.fd, bytes.data() + got, bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EDatasetIOException("Cannot read " + path.string() + ": " + ErrnoText());
    }
    if (n == 0) break;  // shrank meanwhile: what is there fails the checksum
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

}  // namespace brevalon
