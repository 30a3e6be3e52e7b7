// Feeds arbitrary bytes to the dataset loader, as a data packet from an
// application server or a snapshot file from the cache would arrive. Each
// input is tried twice: as it is (which the checksum nearly always stops)
// and with its checksum recomputed, so that the structural checks behind it
// see the damage. Only EDatasetFormatException may come out; whatever loads
// must be a sound dataset that saves back to exactly the same bytes. The
// same bytes as a DatasetPacket (header at once, rows when searched or
// taken out) must be refused exactly when the loader refuses them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "data/dataset.h"
#include "data/dataset_packet.h"

namespace {

uint32_t Crc32(const uint8_t* p, std::size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

void Exercise(brevalon::Dataset& ds, std::span<const uint8_t> input) {
  if (ds.SaveToBytes() != std::vector<uint8_t>(input.begin(), input.end())) std::abort();
  const brevalon::Dataset copy = ds;
  int key = -1;
  for (std::size_t i = 0; i < ds.FieldCount(); ++i)
    if (ds.Fields()[i].type == brevalon::FieldType::Int32 || ds.Fields()[i].type == brevalon::FieldType::Int64) {
      key = static_cast<int>(i);
      break;
    }
  if (key >= 0) ds.SetDescendingIndex(ds.Fields()[static_cast<std::size_t>(key)].name);
  for (ds.First(); !ds.Eof(); ds.Next()) {
    for (std::size_t i = 0; i < ds.FieldCount(); ++i) {
      const brevalon::Field f = ds.FieldByIndex(i);
      (void)f.IsNull();
      (void)f.AsString();
      (void)f.AsVariant();
    }
    if (!ds.SameValuesAs(ds)) std::abort();
  }
  if (!ds.ContentEquals(ds) || copy.RecordCount() != ds.RecordCount()) std::abort();
}

void TryPacket(std::span<const uint8_t> input, bool loads) {
  const std::vector<uint8_t> bytes(input.begin(), input.end());
  try {
    brevalon::DatasetPacket packet(bytes);
    if (!packet.Fields().empty()) {
      const std::string& first = packet.Fields().front().name;
      const std::string& last = packet.Fields().back().name;
      try {
        (void)packet.FirstWhere(first, "", last);
      } catch (const brevalon::EDatasetFormatException&) {
        throw;
      } catch (const brevalon::EDatasetException&) {
        // a value that is no number: refused as AsInt64 refuses it
      }
    }
    const brevalon::Dataset ds = packet.TakeDataset();
    if (!loads || ds.SaveToBytes() != bytes) std::abort();
  } catch (const brevalon::EDatasetFormatException&) {
    if (loads) std::abort();
  }
}

void Try(std::span<const uint8_t> input) {
  bool loads = false;
  try {
    brevalon::Dataset ds = brevalon::Dataset::LoadFromBytes(input);
    loads = true;
    Exercise(ds, input);
  } catch (const brevalon::EDatasetFormatException&) {
  }
  TryPacket(input, loads);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Try(std::span(data, size));
  if (size >= 4) {
    std::vector<uint8_t> sealed(data, data + size);
    const uint32_t crc = Crc32(sealed.data(), size - 4);
    for (int k = 0; k < 4; ++k) sealed[size - 4 + k] = static_cast<uint8_t>(crc >> (8 * k));
    Try(sealed);
  }
  return 0;
}
