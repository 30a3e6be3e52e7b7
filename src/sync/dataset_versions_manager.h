// TDataSetVersionsManager: the per-client snapshots of the lists the gateway
// sends, and the difference between the list a server returns now and the
// version the client already holds.
//
// For each client (named by its UID) and each list the client directory
//   <settings dir>Cache/<UID>/
// holds snapshot files <list name>_<version>.cds, the whole list as it was
// sent under that version, in the dataset's file format. Versions run from 1
// to 2147483646 (after 2147483646 comes 1); 0 means the client holds nothing.
// In steady state a list has two snapshots: the version last sent and the one
// before it, so that a client whose last answer was lost can ask again.
//
// A manager lives for one request and is used by one thread (the session's
// worker). It keeps nothing in memory between requests. Sessions of the same
// UID may run managers on the same files at the same time without any lock:
// every snapshot is replaced atomically (temporary file + rename), so a reader
// sees a whole old file or a whole new one, and whichever save comes last wins.
// A snapshot that exists but cannot be loaded, or whose fields no longer match
// the list, counts as missing: the client gets the whole list and version 1.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <memory>
#include <string>
#include <vector>

#include "data/dataset.h"
#include "data/dataset_packet.h"

namespace brevalon {

// The highest list version; the one after it is 1.
inline constexpr int32_t kMaxDataSetVersion = 2147483646;

// Names of the lists whose new rows are reported by key (see LoadDifference).
inline constexpr const char* kTaskListDataSetName = "TaskList";
inline constexpr const char* kNewCorrespondenceDataSetName = "New_correspondence";

class TDataSetVersionsManager {
 public:
  // List name (stem of the snapshot names), client UID, the version the client
  // holds, name of the list's integer key field. Touches no file.
  TDataSetVersionsManager(std::string ADataSetName, std::string AUIDPath, int32_t ADataSetVersion,
                          std::string AField);

  // The signed-in user's workflow id; new "TaskList" rows owned by anybody
  // else are reported in the new keys.
  void setIdUser(int32_t idUser) { FIdUser = idUser; }

  // Compares `current` (the list as the server returns it now) with the
  // snapshot of the client's version and saves `current` as the snapshot of
  // the version the client will hold. Returns the rows to send: the whole
  // list when the client holds nothing usable (version becomes 1), otherwise
  // the new and changed rows in descending key order. Appends to
  // `deletedKeys` the keys of rows that are gone (descending), and to
  // `newKeys` the keys of noteworthy new rows: for "TaskList" the key of a new
  // row whose "_ID_OWNER" is not the user, for "New_correspondence" the
  // "_ID_ROUTE" of a new row, each route once. `current` keeps its rows and
  // walk order. Call at most once per manager.
  //
  // Raises EDatasetException when a file cannot be written or read (missing
  // client directory, permissions) or the key field is missing or not an
  // integer; brevalon::Exception when the UID or list name is not one plain
  // path component (empty, ".", "..", a slash, a control character).
  std::unique_ptr<Dataset> LoadDifference(Dataset& current, std::vector<int32_t>& deletedKeys,
                                          std::vector<int32_t>& newKeys);
  // The same for a list still in its binary form: a list the client already
  // holds is recognised by its bytes and never loaded; any other is taken out
  // of the packet (which is empty afterwards) and compared as above.
  std::unique_ptr<Dataset> LoadDifference(DatasetPacket& current, std::vector<int32_t>& deletedKeys,
                                          std::vector<int32_t>& newKeys);

  // After LoadDifference the version the client holds once it applied the
  // answer; before it (or without it) the client's own version.
  int32_t getActualVersion() const { return FNDataSetVersion; }

  // Removes the rows with key `rowUniqId` from the snapshots of the list, so
  // that the next comparison sends the row again as new. Every snapshot of
  // the list that holds the key is rewritten (the client may compare against
  // either of its two versions next); nothing happens when there is no
  // snapshot or none holds the key. The version given at creation is unused.
  void deleteRowFromCachedDs(int32_t rowUniqId);

  // The client directory and the snapshot file of `version` (for callers
  // and tests that look at the cache).
  std::filesystem::path ClientDir() const;
  std::filesystem::path SnapshotPath(int64_t version) const;

  const std::string& DataSetName() const { return FStDataSetName; }
  const std::string& FieldName() const { return FFieldName; }

 private:
  std::filesystem::path SnapshotIn(const std::filesystem::path& dir, int64_t version) const;
  // The list as the server returned it: its binary form and fields, and the
  // dataset, which may be made only when asked for (after which the bytes and
  // fields given here may no longer be valid).
  struct CurrentList {
    std::span<const uint8_t> bytes;
    const std::vector<FieldDef>& fields;
    std::function<Dataset&()> dataset;
  };
  std::unique_ptr<Dataset> Difference(const CurrentList& current, std::vector<int32_t>& deletedKeys,
                                      std::vector<int32_t>& newKeys);
  std::unique_ptr<Dataset> LoadFull(const std::filesystem::path& dir, Dataset& current);
  void DropOther(const std::filesystem::path& dir, int64_t version) const;
  void KeepUnchanged(const std::filesystem::path& dir, int64_t version, const std::filesystem::path& stored,
                     const Dataset::FileIdentity& storedFile, const std::filesystem::path& next,
                     const CurrentList& current) const;
  std::unique_ptr<Dataset> Compare(Dataset& stored, Dataset& current, std::vector<int32_t>& deletedKeys,
                                   std::vector<int32_t>& newKeys);

  std::string FFieldName;
  std::string FStDataSetName;
  int32_t FNDataSetVersion;
  std::string FStUIDPath;
  int32_t FIdUser = 0;
};

}  // namespace brevalon
