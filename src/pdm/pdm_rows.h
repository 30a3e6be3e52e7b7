// Records the main-system server describes its object versions and files
// with, and the readers that fill them from the current row of a dataset the
// server returned. Shared by the main-system proxy, the version cache and the
// attachment list. Plain values with no thread affinity.
#pragma once

#include <cstdint>
#include <string>

#include "data/dataset.h"

namespace brevalon {

// Day count since 1899-12-30 00:00 local time, time of day as the fraction;
// 0.0 means "no date".
using TDateTime = double;

// The server's access levels 0..3 are stored shifted by one, so that the
// zero value stands for "not known".
enum TAccessLevel : uint8_t {
  alUndefined = 0,
  alNoAccess = 1,
  alReadOnly = 2,
  alReadWrite = 3,
  alAdministration = 4,
};

// Who holds the lock of a version, seen from this session's user.
enum TLocked : uint8_t {
  lFree = 0,
  lMyLock = 1,
  lNotMyLock = 2,
};

// Whether a file carries an electronic signature.
enum TFileEDSState : uint8_t {
  fesUnknown = 0,
  fesNoEDS = 1,
  fesEDS = 2,
};

struct TVersionInfo {
  int32_t IdVersion = 0;
  int32_t IdLock = 0;  // 0 = not locked
  TAccessLevel AccessLevel = alUndefined;
  std::string Product;
  int32_t IdType = 0;
  std::string Version;
  int32_t IdState = 0;
};

struct TFileInfo {
  int32_t Id = 0;
  std::string Name;
  std::string LocalName;
  uint32_t Size = 0;
  uint32_t CRC = 0;
  TDateTime Created = 0.0;
  TDateTime Modified = 0.0;
  TFileEDSState EDSState = fesUnknown;

  bool IsEmpty() const { return Id == 0; }
};

// The server's access level (0 no access .. 3 administration) as a
// TAccessLevel. A value outside that range is a reply we do not understand
// and gives alUndefined rather than an out-of-range enumerator.
TAccessLevel AccessLevelFromServer(int32_t serverLevel);

// Fill the record from the dataset's current row ("_ID_VERSION", "_PRODUCT",
// "_ID_TYPE", "_VERSION", "_ID_LOCK", "_ACCESSLEVEL", "_ID_STATE"). A missing
// field or a value of the wrong kind raises EDatasetException; the record may
// then be partly filled.
void ReadVersionInfo(TVersionInfo& info, const Dataset& ds);

// Fill the record from the dataset's current row ("_ID_FILE", "_NAME",
// "_LOCALNAME", "_DATEOFCREATE", "_SIZE", "_CRC", "_MODIFIED"); EDSState is
// left as it was. Size and checksum are unsigned 32-bit values that servers
// may deliver as negative 32-bit or as 64-bit integers; both read the same.
void ReadFileInfo(TFileInfo& info, const Dataset& ds);

}  // namespace brevalon
