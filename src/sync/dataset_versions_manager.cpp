#include "sync/dataset_versions_manager.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "session/settings.h"

namespace brevalon {

namespace fs = std::filesystem;

namespace {

// Snapshots are a cache: a rename keeps them whole when the process dies, and
// one that a power loss damaged fails its checksum and counts as missing, so
// the client just gets the full list. Flushing every answer to disk would
// cost two disk syncs per request for nothing.
constexpr Dataset::Durability kSnapshotDurability = Dataset::Durability::AtomicOnly;

constexpr std::string_view kSnapshotExtension = ".cds";

// A UID or list name becomes one path component; anything that could name
// another directory is refused here as well as where the request is decoded.
void CheckPathComponent(const std::string& text, const char* what) {
  bool valid = !text.empty() && text != "." && text != "..";
  for (unsigned char ch : text) {
    if (ch < 32 || ch == 127 || ch == '/' || ch == '\\') valid = false;
  }
  if (!valid) throw Exception(std::string("Invalid ") + what + " [" + text + "]");
}

bool FileExists(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

// Loads a snapshot, or nothing when it is gone or damaged: both mean the
// client's version cannot be compared against. Other read failures
// (permissions, I/O errors) are real faults and propagate.
std::optional<Dataset> TryLoadSnapshot(const fs::path& path) {
  try {
    return Dataset::LoadFromFile(path);
  } catch (const EDatasetFormatException&) {
    return std::nullopt;
  } catch (const EDatasetIOException& e) {
    // Another session of the same UID may have dropped it since we looked
    // (and even written it anew since the open failed).
    if (e.Error() == ENOENT || !FileExists(path)) return std::nullopt;
    throw;
  }
}

// The bytes of a snapshot, or nothing when it is gone or cannot be a
// dataset at all; what they hold is checked when they are loaded.
std::optional<std::vector<uint8_t>> TryReadSnapshot(const fs::path& path, Dataset::FileIdentity& identity) {
  try {
    return Dataset::ReadFileBytes(path, &identity);
  } catch (const EDatasetFormatException&) {
    return std::nullopt;
  } catch (const EDatasetIOException& e) {
    if (e.Error() == ENOENT || !FileExists(path)) return std::nullopt;
    throw;
  }
}

std::optional<Dataset> TryParseSnapshot(std::vector<uint8_t>&& bytes) {
  try {
    return Dataset::LoadFromBytes(std::move(bytes));
  } catch (const EDatasetFormatException&) {
    return std::nullopt;
  }
}

// The file a snapshot name refers to, or nothing when there is none.
std::optional<Dataset::FileIdentity> IdentityOf(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return Dataset::FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// Rows can only be compared by position when both lists have the same fields
// in the same order; a snapshot of another shape is of no use.
bool SameShape(const Dataset& stored, const Dataset& current) {
  const auto& a = stored.Fields();
  const auto& b = current.Fields();
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].type != b[i].type) return false;
  }
  return true;
}

int32_t NextVersion(int64_t version) {
  const int64_t next = version + 1;
  return next > kMaxDataSetVersion ? 1 : static_cast<int32_t>(next);
}

// Whether `name` is "<list>_<decimal>.cds" for exactly this list name.
bool IsSnapshotName(std::string_view name, std::string_view list) {
  if (name.size() <= list.size() + 1 + kSnapshotExtension.size()) return false;
  if (name.substr(0, list.size()) != list || name[list.size()] != '_') return false;
  if (!name.ends_with(kSnapshotExtension)) return false;
  std::string_view number = name.substr(list.size() + 1);
  number.remove_suffix(kSnapshotExtension.size());
  if (!number.empty() && number.front() == '-') number.remove_prefix(1);
  if (number.empty()) return false;
  for (char ch : number) {
    if (ch < '0' || ch > '9') return false;
  }
  return true;
}

// A list's key column, in the list's walk order.
std::vector<int32_t> ReadKeys(Dataset& ds, const std::string& field) {
  const auto key = ds.FieldByName(field);
  std::vector<int32_t> keys;
  keys.reserve(ds.RecordCount());
  for (ds.First(); !ds.Eof(); ds.Next()) keys.push_back(key.AsInteger());
  return keys;
}

struct KeyedRow {
  int32_t key;
  uint32_t row;  // position in its list
};

// The rows of a list in the order of the walk: largest key first, rows
// sharing a key in list order. A stable radix sort on the key (three passes
// of 11 bits) keeps this linear in the length of the list.
std::vector<KeyedRow> InDescendingKeyOrder(const std::vector<int32_t>& keys) {
  constexpr int kBits = 11;
  constexpr uint32_t kBuckets = 1u << kBits;
  // Ascending order of `rank` is descending order of the signed key.
  auto rank = [](int32_t key) { return ~(static_cast<uint32_t>(key) ^ 0x80000000u); };

  std::vector<KeyedRow> rows(keys.size()), scratch(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) rows[i] = {keys[i], static_cast<uint32_t>(i)};
  for (int shift = 0; shift < 32; shift += kBits) {
    std::vector<std::size_t> start(kBuckets + 1, 0);
    for (const KeyedRow& r : rows) ++start[((rank(r.key) >> shift) & (kBuckets - 1)) + 1];
    for (uint32_t b = 0; b < kBuckets; ++b) start[b + 1] += start[b];
    for (const KeyedRow& r : rows) scratch[start[(rank(r.key) >> shift) & (kBuckets - 1)]++] = r;
    rows.swap(scratch);
  }
  return rows;
}

}  // namespace

TDataSetVersionsManager::TDataSetVersionsManager(std::string ADataSetName, std::string AUIDPath,
                                                 int32_t ADataSetVersion, std::string AField)
    : FFieldName(std::move(AField)),
      FStDataSetName(std::move(ADataSetName)),
      FNDataSetVersion(ADataSetVersion),
      FStUIDPath(std::move(AUIDPath)) {}

fs::path TDataSetVersionsManager::ClientDir() const {
  CheckPathComponent(FStUIDPath, "client UID");
  // The directory was made sure of when the request was decoded; a manager
  // never creates it.
  return fs::path(SettingsDirPath() + "Cache/" + FStUIDPath);
}

fs::path TDataSetVersionsManager::SnapshotPath(int64_t version) const { return SnapshotIn(ClientDir(), version); }

fs::path TDataSetVersionsManager::SnapshotIn(const fs::path& dir, int64_t version) const {
  CheckPathComponent(FStDataSetName, "list name");
  return fs::path(dir.native() + "/" + FStDataSetName + "_" + std::to_string(version) + std::string(kSnapshotExtension));
}

std::unique_ptr<Dataset> TDataSetVersionsManager::LoadDifference(Dataset& current,
                                                                 std::vector<int32_t>& deletedKeys,
                                                                 std::vector<int32_t>& newKeys) {
  return Difference(CurrentList{current.BinaryForm(), current.Fields(), [&]() -> Dataset& { return current; }},
                    deletedKeys, newKeys);
}

std::unique_ptr<Dataset> TDataSetVersionsManager::LoadDifference(DatasetPacket& current,
                                                                 std::vector<int32_t>& deletedKeys,
                                                                 std::vector<int32_t>& newKeys) {
  std::optional<Dataset> taken;
  auto dataset = [&]() -> Dataset& {
    if (!taken) taken = current.TakeDataset();
    return *taken;
  };
  return Difference(CurrentList{current.Bytes(), current.Fields(), dataset}, deletedKeys, newKeys);
}

std::unique_ptr<Dataset> TDataSetVersionsManager::Difference(const CurrentList& current,
                                                             std::vector<int32_t>& deletedKeys,
                                                             std::vector<int32_t>& newKeys) {
  const int64_t version = FNDataSetVersion;
  // Only versions this manager can have written have snapshots; anything
  // else (0, negative, 2147483647) is a client that holds nothing usable.
  const fs::path dir = ClientDir();
  if (version < 1 || version > kMaxDataSetVersion) return LoadFull(dir, current.dataset());
  const fs::path snapshot = SnapshotIn(dir, version);
  Dataset::FileIdentity storedFile;
  std::optional<std::vector<uint8_t>> storedBytes = TryReadSnapshot(snapshot, storedFile);
  if (!storedBytes) return LoadFull(dir, current.dataset());

  // Most requests find the list exactly as the client holds it. The binary
  // form is canonical, so the stored file then holds the very bytes of the
  // list: nothing to load or compare, and no row, deleted key or new key to
  // report. Any other content is loaded and walked.
  const bool unchanged = std::ranges::equal(*storedBytes, current.bytes);
  std::unique_ptr<Dataset> result;
  if (unchanged) {
    result = std::make_unique<Dataset>();
    for (const FieldDef& d : current.fields) result->AddField(d);
    result->FieldByName(FFieldName);  // a list without its key is a caller's mistake on every path
  } else {
    std::optional<Dataset> stored = TryParseSnapshot(std::move(*storedBytes));
    Dataset& list = current.dataset();
    if (!stored || !SameShape(*stored, list)) return LoadFull(dir, list);
    result = Compare(*stored, list, deletedKeys, newKeys);
  }

  FNDataSetVersion = NextVersion(version);
  const fs::path next = SnapshotIn(dir, FNDataSetVersion);
  if (unchanged) {
    KeepUnchanged(dir, version, snapshot, storedFile, next, current);
  } else {
    DropOther(dir, version);
    current.dataset().SaveToFile(next, kSnapshotDurability);
  }
  return result;
}

// Drops the snapshot that is neither the client's version nor the one about
// to be written: the one before (normal course), or else the one after (the
// client never received the answer that created it). Gone already (another
// session of the UID) is fine; a stale file harms nothing.
void TDataSetVersionsManager::DropOther(const fs::path& dir, int64_t version) const {
  std::error_code ec;
  if (!fs::remove(SnapshotIn(dir, version - 1), ec)) fs::remove(SnapshotIn(dir, version + 1), ec);
}

// The same drop and save for a list that is exactly the stored snapshot.
// Its new snapshot is then a second name of the stored file: no new file,
// nothing written. Snapshots are only ever replaced, never written in place,
// so names of one file never diverge by accident. In the usual course the
// snapshot before the client's version is already such a name, and renaming
// it is the drop and the save at once; a client asking again finds the
// answer's snapshot in place. Where no name can be made (another session of
// the UID wrote it meanwhile, a file system without hard links) the list is
// written as usual.
void TDataSetVersionsManager::KeepUnchanged(const fs::path& dir, int64_t version, const fs::path& stored,
                                           const Dataset::FileIdentity& storedFile, const fs::path& next,
                                           const CurrentList& current) const {
  const fs::path before = SnapshotIn(dir, version - 1);
  const fs::path after = SnapshotIn(dir, version + 1);
  if (const auto file = IdentityOf(before)) {
    if (*file == storedFile && ::renameat2(AT_FDCWD, before.c_str(), AT_FDCWD, next.c_str(), RENAME_NOREPLACE) == 0)
      return;
    ::unlink(before.c_str());
  } else if (const auto file = IdentityOf(after)) {
    if (*file == storedFile && after == next) return;
    ::unlink(after.c_str());
  }
  if (::link(stored.c_str(), next.c_str()) == 0) return;
  if (errno == EEXIST && IdentityOf(next) == storedFile) return;
  current.dataset().SaveToFile(next, kSnapshotDurability);
}

std::unique_ptr<Dataset> TDataSetVersionsManager::LoadFull(const fs::path& dir, Dataset& current) {
  FNDataSetVersion = 1;
  current.SaveToFile(SnapshotIn(dir, FNDataSetVersion), kSnapshotDurability);

  auto result = std::make_unique<Dataset>();
  if (current.IndexFieldName().empty()) {
    *result = current;  // same fields, same rows, insertion order
  } else {
    result->CopyFieldDefsFrom(current);
    for (current.First(); !current.Eof(); current.Next()) result->AppendCopyOf(current);
  }
  result->First();
  return result;
}

std::unique_ptr<Dataset> TDataSetVersionsManager::Compare(Dataset& stored, Dataset& current,
                                                          std::vector<int32_t>& deletedKeys,
                                                          std::vector<int32_t>& newKeys) {
  // The walk runs on the keys alone, ordered from the largest down; it pairs
  // each current row with its stored row or marks it new, and yields the
  // deleted keys in walk order.
  const std::vector<KeyedRow> storedOrder = InDescendingKeyOrder(ReadKeys(stored, FFieldName));
  const std::vector<KeyedRow> currentOrder = InDescendingKeyOrder(ReadKeys(current, FFieldName));
  constexpr uint32_t kNew = UINT32_MAX;
  std::vector<uint32_t> pairedWith(currentOrder.size(), kNew);  // by current row: its stored row
  std::size_t o = 0, c = 0;
  while (o < storedOrder.size() && c < currentOrder.size()) {
    if (storedOrder[o].key == currentOrder[c].key) {
      pairedWith[currentOrder[c++].row] = storedOrder[o++].row;
    } else if (storedOrder[o].key > currentOrder[c].key) {
      deletedKeys.push_back(storedOrder[o++].key);
    } else {
      ++c;
    }
  }
  for (; o < storedOrder.size(); ++o) deletedKeys.push_back(storedOrder[o].key);

  // The fields are compared in the current list's own order: a server mostly
  // lists rows as it did last time, so both lists are then read front to back.
  std::vector<bool> changed(currentOrder.size(), false);
  for (uint32_t row = 0; row < pairedWith.size(); ++row) {
    if (pairedWith[row] == kNew) continue;
    stored.MoveTo(pairedWith[row]);
    current.MoveTo(row);
    changed[row] = !stored.SameValuesAs(current);
  }

  // Rows new since the client's version may be worth a notice of their own.
  const bool isTaskList = FStDataSetName == kTaskListDataSetName;
  const bool isNewCorrespondence = FStDataSetName == kNewCorrespondenceDataSetName;
  std::unordered_set<int32_t> reportedRoutes;
  if (isNewCorrespondence) reportedRoutes.insert(newKeys.begin(), newKeys.end());
  auto applyNewRowRule = [&](int32_t key) {
    if (isTaskList) {
      if (current.FieldByName("_ID_OWNER").AsInteger() != FIdUser) newKeys.push_back(key);
    } else if (isNewCorrespondence) {
      const int32_t route = current.FieldByName("_ID_ROUTE").AsInteger();
      if (reportedRoutes.insert(route).second) newKeys.push_back(route);
    }
  };

  auto result = std::make_unique<Dataset>();
  result->CopyFieldDefsFrom(stored);
  for (const KeyedRow& row : currentOrder) {
    const bool isNew = pairedWith[row.row] == kNew;
    if (!isNew && !changed[row.row]) continue;
    current.MoveTo(row.row);
    if (isNew) applyNewRowRule(row.key);
    result->AppendCopyOf(current);
  }
  current.First();
  result->First();
  return result;
}

void TDataSetVersionsManager::deleteRowFromCachedDs(int32_t rowUniqId) {
  CheckPathComponent(FStDataSetName, "list name");
  const fs::path dir = ClientDir();

  std::vector<fs::path> snapshots;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (IsSnapshotName(it->path().filename().string(), FStDataSetName)) snapshots.push_back(it->path());
  }

  for (const fs::path& path : snapshots) {
    std::optional<Dataset> snapshot = TryLoadSnapshot(path);
    if (!snapshot) continue;
    const int keyIndex = snapshot->FieldIndex(FFieldName);
    if (keyIndex < 0) continue;
    const auto key = snapshot->FieldByIndex(static_cast<std::size_t>(keyIndex));
    bool removed = false;
    snapshot->First();
    while (!snapshot->Eof()) {
      if (!key.IsNull() && key.AsInt64() == rowUniqId) {
        snapshot->Delete();
        removed = true;
      } else {
        snapshot->Next();
      }
    }
    if (removed) snapshot->SaveToFile(path, kSnapshotDurability);
  }
}

}  // namespace brevalon
