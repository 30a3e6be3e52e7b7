// The per-session cache of PDM document versions.
//
// TPDMVersionStorage loads versions from the main-system proxy, a whole id
// list in one call, and keeps each version once per id in a hash of 65536
// buckets. A version's title (its product text followed by its title
// attribute values) is built lazily: the attribute values are fetched the first
// time the title is read, and kept until the title is marked stale.
//
// Versions are shared (std::shared_ptr): a version lives as long as the cache
// or a TPDMVersionList holds it, so versions handed out stay valid after
// Clear. The proxy is borrowed and must outlive the storage and its versions.
//
// The session logic owns one storage and empties it at sign-in and after each
// request that used it; domain code may make a short-lived one of its own.
// Nothing here is synchronised: one session's worker thread uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pdm/app_main_system.h"
#include "pdm/pdm_rows.h"
#include "data/dataset.h"

namespace brevalon {

class IPDMEntity {
 public:
  virtual ~IPDMEntity() = default;
  virtual int32_t Id() const = 0;
};

class IPDMVersion : public IPDMEntity {
 public:
  // The value of the first title attribute named `Name` (ASCII letter case
  // ignored), else empty text. Loads the title values first if needed.
  virtual std::string GetAttrValue(std::string_view Name) = 0;
  // Product text without its leading braced token, followed by the title
  // attribute values, joined by " - ". Loads the title values first if needed.
  virtual std::string Title() = 0;
  // Not implemented: always raises.
  virtual bool IsDocument() const = 0;
  virtual bool IsReadOnly() const = 0;
  virtual TAccessLevel AccessLevel() const = 0;
  virtual int32_t IdLock() const = 0;
  virtual const std::string& Product() const = 0;
  virtual int32_t IdType() const = 0;
  virtual const std::string& Version() const = 0;
  virtual int32_t IdState() const = 0;
  virtual int TitleAttrCount() = 0;
  // Index 0 .. TitleAttrCount() - 1; anything else raises.
  virtual std::string GetTitleAttr(int Index) = 0;
};

using IPDMEntityPtr = std::shared_ptr<IPDMEntity>;
using IPDMVersionPtr = std::shared_ptr<IPDMVersion>;
using TPDMVersionArray = std::vector<IPDMVersionPtr>;

// The message IsDocument raises.
inline constexpr const char* kIsDocumentNotImplemented = "Получение признака IsDocument не реализовано";

// `Title` empty: `Value`; `Value` empty: `Title`; otherwise both joined by
// `Separator`.
std::string JoinNonEmpty(const std::string& Title, const std::string& Value, const std::string& Separator);

// `Product` without its first braced token: the text between the first "}"
// and the last "{" before it, braces included, removed wherever it occurs.
// Unchanged when there is no such token or it is empty ("{}").
std::string RemoveBracedToken(const std::string& Product);

struct TAttrValue {
  std::string Name;
  std::string Value;
};

class TPDMVersion : public IPDMVersion {
 public:
  // A version described by `AVersionInfo`; its title values are not loaded.
  TPDMVersion(TAppMainSystem& AppMain, const TVersionInfo& AVersionInfo);

  // A version from the current row of a tree dataset ("GetTree2" shape): its
  // identity from the "_" fields, its title values from the other fields.
  static std::shared_ptr<TPDMVersion> LoadFromTree(TAppMainSystem& AppMain, const Dataset& ds);
  // A version from the current row of a "GetPropObjects2" dataset.
  static std::shared_ptr<TPDMVersion> LoadFromVersion(TAppMainSystem& AppMain, const Dataset& ds);

  // Product, IdLock (when the dataset has "_ID_LOCK"), AccessLevel and
  // IdState from the current row; Id, IdType, Version and the title values
  // stay.
  void UpdateVersionParams(const Dataset& ds);
  void SetIdLock(int32_t Value) { FVersionInfo.IdLock = Value; }

  // Title values from attribute rows ("_NAME", "_VALUE"): those named by the
  // proxy's title attributes, in their order, or every row when it names none.
  void LoadTitleFromAttributes(const Dataset& ds);
  // Title values from the current row of a tree dataset: every field whose
  // name does not start with "_", in field order.
  void LoadTitleFromTreeRow(const Dataset& ds);
  // The next title read fetches the values from the server again.
  void LazyRefreshTitle() { FTitleLoaded = false; }
  bool TitleLoaded() const { return FTitleLoaded; }

  // IPDMVersion
  int32_t Id() const override { return FVersionInfo.IdVersion; }
  std::string GetAttrValue(std::string_view Name) override;
  std::string Title() override;
  bool IsDocument() const override;
  bool IsReadOnly() const override;
  TAccessLevel AccessLevel() const override { return FVersionInfo.AccessLevel; }
  int32_t IdLock() const override { return FVersionInfo.IdLock; }
  const std::string& Product() const override { return FVersionInfo.Product; }
  int32_t IdType() const override { return FVersionInfo.IdType; }
  const std::string& Version() const override { return FVersionInfo.Version; }
  int32_t IdState() const override { return FVersionInfo.IdState; }
  int TitleAttrCount() override;
  std::string GetTitleAttr(int Index) override;

 private:
  // Fetches the title values ("GetInfoAboutVersion", mode 2) unless loaded.
  // A failed call leaves the values and the flag as they were.
  void EnsureTitleLoaded();

  TAppMainSystem* FAppMain;  // not owned
  bool FTitleLoaded = false;
  TVersionInfo FVersionInfo;
  std::vector<TAttrValue> FAttrValues;
};

// Iteration position in a TPDMEntityHash.
struct THashPosition {
  int32_t HashIndex = 0;
  int32_t Index = 0;
};

// Entities by id in 65536 buckets (the low 16 bits of the id); within a
// bucket in insertion order. Holds at most one entity per id.
class TPDMEntityHash {
 public:
  static constexpr int32_t kBucketCount = 65536;
  using THashItem = std::vector<IPDMEntityPtr>;

  TPDMEntityHash();

  // Adds `Data` unless an entity with its id is held already (that one stays).
  void Add(IPDMEntityPtr Data);
  // The entity with `Id`, or null.
  IPDMEntityPtr Get(int32_t Id) const;
  // Removes the entity with `Id`; the later ones of its bucket move up.
  void Remove(int32_t Id);
  void Clear();
  std::size_t Count() const { return FCount; }

  // Iteration in bucket order, then insertion order:
  //   for (auto p = h.First(); !h.Eof(p); h.Next(p)) h.GetEntity(p) ...
  THashPosition First() const;
  void Next(THashPosition& Pos) const;
  bool Eof(const THashPosition& Pos) const { return Pos.HashIndex >= kBucketCount; }
  // Null at Eof or at a position that holds nothing.
  IPDMEntityPtr GetEntity(const THashPosition& Pos) const;

  static int32_t BucketOf(int32_t Id) { return static_cast<int32_t>(static_cast<uint32_t>(Id) & 0xFFFFu); }

 private:
  // Moves Pos to the first occupied place at or after it.
  void Settle(THashPosition& Pos) const;

  std::vector<THashItem> FHash;
  std::size_t FCount = 0;
};

// An ordered list of versions, never two with the same id.
class TPDMVersionList {
 public:
  void Clear() { FVersions.clear(); }
  // Appends `Value` unless a version with its id is listed (null: nothing).
  void Add(const IPDMVersionPtr& Value);
  // Add of every version of `List`, in its order.
  void Add(const TPDMVersionList& List);
  // Index 0 .. Count() - 1; anything else raises.
  void Delete(int Index);
  IPDMVersionPtr GetItem(int Index) const;
  // The version with that id, or null.
  IPDMVersionPtr Find(int32_t IdVersion) const;
  int Count() const { return static_cast<int>(FVersions.size()); }
  TPDMVersionArray GetArray() const { return FVersions; }
  // Without a list: this list is empty. Otherwise: the same ids at the same
  // positions.
  bool EqualsIds(const TPDMVersionList* AVersions = nullptr) const;

 private:
  TPDMVersionArray FVersions;
};

class IPDMVersionStorage {
 public:
  virtual ~IPDMVersionStorage() = default;
  virtual void Clear() = 0;
  virtual void LoadListFromTree(TPDMVersionList& AList, Dataset& ds) = 0;
  virtual void LoadListFromVersion(TPDMVersionList& AList, Dataset& ds) = 0;
  virtual void LoadListFromIdList(TPDMVersionList& AList, const std::string& AIdList) = 0;
  virtual void LoadVersions(const std::string& AIdList) = 0;
  virtual IPDMVersionPtr GetVersion(int32_t IdVersion, int32_t IdLock) = 0;
  virtual IPDMVersionPtr LoadVersionFromTree(const Dataset& ds) = 0;
  virtual IPDMVersionPtr LoadVersionFromVersion(const Dataset& ds) = 0;
  virtual IPDMVersionPtr LoadVersionFromVersionInfo(const TVersionInfo& AInfo) = 0;
  virtual void LazyRefreshTitle(const IPDMVersionPtr& Version) = 0;
  virtual void UpdateVersionParams(int32_t IdVersion, int32_t IdLock, const Dataset* AttrDS) = 0;
  virtual std::string ProductGuidToTitle(const std::string& ProductGuid) = 0;
  virtual std::string ReplaceGuidsToTitle(const std::string& text) = 0;
};

class TPDMVersionStorage : public IPDMVersionStorage {
 public:
  explicit TPDMVersionStorage(TAppMainSystem& AppMain);

  void Clear() override { FHash.Clear(); }

  // Every row of `ds` from the first through LoadVersionFromTree or
  // LoadVersionFromVersion, each added to `AList`.
  void LoadListFromTree(TPDMVersionList& AList, Dataset& ds) override;
  void LoadListFromVersion(TPDMVersionList& AList, Dataset& ds) override;

  // `AIdList`: version ids as decimal text separated by commas (blanks also
  // separate). One "GetPropObjects2" call for the whole text; `AList` gets
  // the versions the server returned, in the order of the id text, each
  // once, with fresh identity, lock and access data. Pieces that are not a
  // number, or 0, are ignored.
  void LoadListFromIdList(TPDMVersionList& AList, const std::string& AIdList) override;
  // The same call; every returned row is cached.
  void LoadVersions(const std::string& AIdList) override;

  // The cached version, or one read from the server ("GetInfoAboutVersion",
  // mode 15, in check-out `IdLock`) with its IdLock set to `IdLock`. Null
  // when the server does not know the version.
  IPDMVersionPtr GetVersion(int32_t IdVersion, int32_t IdLock) override;

  // The version of the current row ("_ID_VERSION"): a cached one is updated
  // from the row (from a tree row also its title values), otherwise a new
  // one is cached.
  IPDMVersionPtr LoadVersionFromTree(const Dataset& ds) override;
  IPDMVersionPtr LoadVersionFromVersion(const Dataset& ds) override;
  // The cached version with AInfo.IdVersion unchanged, or a new one from AInfo.
  IPDMVersionPtr LoadVersionFromVersionInfo(const TVersionInfo& AInfo) override;

  void LazyRefreshTitle(const IPDMVersionPtr& Version) override;
  // For a cached version: IdLock, and with `AttrDS` the title values from
  // its attribute rows. Nothing for an uncached id.
  void UpdateVersionParams(int32_t IdVersion, int32_t IdLock, const Dataset* AttrDS) override;

  // The title of the first cached version (hash order) whose product equals
  // `ProductGuid` (ASCII letter case ignored); `ProductGuid` itself when none.
  std::string ProductGuidToTitle(const std::string& ProductGuid) override;
  // Every "{...}" token of hexadecimal digits and hyphens in `text` replaced
  // by ProductGuidToTitle of it; inserted titles are not scanned again.
  std::string ReplaceGuidsToTitle(const std::string& text) override;

  const TPDMEntityHash& Hash() const { return FHash; }

 private:
  std::shared_ptr<TPDMVersion> Cached(int32_t IdVersion) const;
  // "GetPropObjects2" for the id text, in no check-out.
  TDataSetPtr LoadPropObjects(const std::string& AIdList);

  TAppMainSystem* FAppMain;  // not owned
  TPDMEntityHash FHash;
};

}  // namespace brevalon
