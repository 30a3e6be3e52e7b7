#include "pdm/pdm_rows.h"

namespace brevalon {

TAccessLevel AccessLevelFromServer(int32_t serverLevel) {
  if (serverLevel < 0 || serverLevel > 3) return alUndefined;
  return static_cast<TAccessLevel>(serverLevel + 1);
}

void ReadVersionInfo(TVersionInfo& info, const Dataset& ds) {
  info.IdVersion = ds.FieldByName("_ID_VERSION").AsInteger();
  info.Product = ds.FieldByName("_PRODUCT").AsString();
  info.IdType = ds.FieldByName("_ID_TYPE").AsInteger();
  info.Version = ds.FieldByName("_VERSION").AsString();
  info.IdLock = ds.FieldByName("_ID_LOCK").AsInteger();
  info.AccessLevel = AccessLevelFromServer(ds.FieldByName("_ACCESSLEVEL").AsInteger());
  info.IdState = ds.FieldByName("_ID_STATE").AsInteger();
}

namespace {

// Keeps the low 32 bits: 0xF0000000 arrives as -268435456 in an Int32 field
// or as 4026531840 in an Int64 field, and both mean the same checksum.
uint32_t Unsigned32(const ConstField& field) {
  return static_cast<uint32_t>(static_cast<uint64_t>(field.AsInt64()));
}

}  // namespace

void ReadFileInfo(TFileInfo& info, const Dataset& ds) {
  info.Id = ds.FieldByName("_ID_FILE").AsInteger();
  info.Name = ds.FieldByName("_NAME").AsString();
  info.LocalName = ds.FieldByName("_LOCALNAME").AsString();
  info.Created = ds.FieldByName("_DATEOFCREATE").AsDateTime();
  info.Size = Unsigned32(ds.FieldByName("_SIZE"));
  info.CRC = Unsigned32(ds.FieldByName("_CRC"));
  info.Modified = ds.FieldByName("_MODIFIED").AsDateTime();
}

}  // namespace brevalon
