#include "pdm/version_cache.h"

#include <charconv>
#include <unordered_map>
#include <utility>

namespace brevalon {

namespace {

char AsciiLower(char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; }

bool AsciiEqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// Leading and trailing blanks and control characters (code 32 and below) off.
std::string TrimControls(std::string_view s) {
  auto blank = [](char ch) { return static_cast<unsigned char>(ch) <= 32; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return std::string(s);
}

// A title value is kept only when the server gave some text.
void AddTitleValue(std::vector<TAttrValue>& values, std::string name, const std::string& value) {
  if (value.empty()) return;
  values.push_back({std::move(name), TrimControls(value)});
}

// The pieces of a comma-separated id text as the delimited-text splitting
// sees them: commas and blanks (code 32 and below) both separate.
std::vector<std::string_view> SplitIdList(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ',' || static_cast<unsigned char>(text[i]) <= 32) {
      if (i > start) pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return pieces;
}

// A decimal 32-bit integer with an optional sign; anything else is 0.
int32_t IdOrZero(std::string_view piece) {
  if (!piece.empty() && piece.front() == '+') piece.remove_prefix(1);
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
  if (ec != std::errc() || end != piece.data() + piece.size() || piece.empty()) return 0;
  return value;
}

bool IsGuidChar(char ch) {
  return ch == '-' || (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F') || (ch >= 'a' && ch <= 'f');
}

// The next "{hex-and-hyphens}" token at or after `from`: its first and
// one-past-last position, or npos.
std::pair<std::size_t, std::size_t> NextGuidToken(std::string_view text, std::size_t from) {
  std::size_t i = from;
  while (i < text.size()) {
    if (text[i] != '{') {
      ++i;
      continue;
    }
    const std::size_t start = i++;
    while (i < text.size() && IsGuidChar(text[i])) ++i;
    if (i == text.size()) break;
    if (text[i] == '}') return {start, i + 1};
    // A "{" restarts the candidate there; any other character abandons it.
    if (text[i] != '{') ++i;
  }
  return {std::string_view::npos, std::string_view::npos};
}

}  // namespace

std::string JoinNonEmpty(const std::string& Title, const std::string& Value, const std::string& Separator) {
  if (Title.empty()) return Value;
  if (Value.empty()) return Title;
  return Title + Separator + Value;
}

std::string RemoveBracedToken(const std::string& Product) {
  const std::size_t close = Product.find('}');
  if (close == std::string::npos || close == 0) return Product;
  const std::size_t open = Product.rfind('{', close - 1);
  if (open == std::string::npos || open + 1 == close) return Product;
  const std::string token = Product.substr(open, close - open + 1);
  std::string result;
  result.reserve(Product.size());
  std::size_t from = 0;
  for (std::size_t at = Product.find(token); at != std::string::npos; at = Product.find(token, from)) {
    result.append(Product, from, at - from);
    from = at + token.size();
  }
  result.append(Product, from, std::string::npos);
  return result;
}

// ---------------------------------------------------------------------------
// TPDMVersion

TPDMVersion::TPDMVersion(TAppMainSystem& AppMain, const TVersionInfo& AVersionInfo)
    : FAppMain(&AppMain), FVersionInfo(AVersionInfo) {}

std::shared_ptr<TPDMVersion> TPDMVersion::LoadFromTree(TAppMainSystem& AppMain, const Dataset& ds) {
  TVersionInfo info;
  ReadVersionInfo(info, ds);
  auto version = std::make_shared<TPDMVersion>(AppMain, info);
  version->LoadTitleFromTreeRow(ds);
  return version;
}

std::shared_ptr<TPDMVersion> TPDMVersion::LoadFromVersion(TAppMainSystem& AppMain, const Dataset& ds) {
  TVersionInfo info;
  ReadVersionInfo(info, ds);
  return std::make_shared<TPDMVersion>(AppMain, info);
}

void TPDMVersion::UpdateVersionParams(const Dataset& ds) {
  FVersionInfo.Product = ds.FieldByName("_PRODUCT").AsString();
  if (ds.FieldIndex("_ID_LOCK") >= 0) FVersionInfo.IdLock = ds.FieldByName("_ID_LOCK").AsInteger();
  FVersionInfo.AccessLevel = AccessLevelFromServer(ds.FieldByName("_ACCESSLEVEL").AsInteger());
  FVersionInfo.IdState = ds.FieldByName("_ID_STATE").AsInteger();
}

void TPDMVersion::LoadTitleFromAttributes(const Dataset& source) {
  // Walk a copy: the caller's dataset keeps its current row.
  Dataset ds = source;
  std::vector<TAttrValue> values;
  const std::vector<std::string>& names = FAppMain->TitleAttributes();
  if (names.empty()) {
    for (ds.First(); !ds.Eof(); ds.Next()) {
      AddTitleValue(values, ds.FieldByName("_NAME").AsString(), ds.FieldByName("_VALUE").AsString());
    }
  } else {
    // Rows by name, the first of each name; then the names in title order.
    std::unordered_map<std::string, std::string> byName;
    for (ds.First(); !ds.Eof(); ds.Next()) {
      byName.try_emplace(ds.FieldByName("_NAME").AsString(), ds.FieldByName("_VALUE").AsString());
    }
    for (const std::string& name : names) {
      if (auto it = byName.find(name); it != byName.end()) AddTitleValue(values, name, it->second);
    }
  }
  FAttrValues = std::move(values);
  FTitleLoaded = true;
}

void TPDMVersion::LoadTitleFromTreeRow(const Dataset& ds) {
  std::vector<TAttrValue> values;
  for (std::size_t i = 0; i < ds.FieldCount(); ++i) {
    const std::string& name = ds.Fields()[i].name;
    if (name.empty() || name.front() == '_') continue;
    AddTitleValue(values, name, ds.FieldByIndex(i).AsString());
  }
  FAttrValues = std::move(values);
  FTitleLoaded = true;
}

void TPDMVersion::EnsureTitleLoaded() {
  if (FTitleLoaded) return;
  TDataSetPtr rows = FAppMain->GetInfoAboutVersion(0, "", "", "", Id(), 2);
  LoadTitleFromAttributes(*rows);
}

std::string TPDMVersion::GetAttrValue(std::string_view Name) {
  EnsureTitleLoaded();
  for (const TAttrValue& attr : FAttrValues) {
    if (AsciiEqualIgnoringCase(attr.Name, Name)) return attr.Value;
  }
  return {};
}

std::string TPDMVersion::Title() {
  EnsureTitleLoaded();
  const std::string& product = FVersionInfo.Product;
  std::string title = RemoveBracedToken(product);
  for (const TAttrValue& attr : FAttrValues) {
    if (attr.Value.empty() || attr.Value == product) continue;
    title = JoinNonEmpty(title, attr.Value, " - ");
  }
  return title;
}

bool TPDMVersion::IsDocument() const { throw Exception(kIsDocumentNotImplemented); }

bool TPDMVersion::IsReadOnly() const { return FVersionInfo.AccessLevel == alReadOnly || FVersionInfo.IdLock != 0; }

int TPDMVersion::TitleAttrCount() {
  EnsureTitleLoaded();
  return static_cast<int>(FAttrValues.size());
}

std::string TPDMVersion::GetTitleAttr(int Index) {
  EnsureTitleLoaded();
  if (Index < 0 || static_cast<std::size_t>(Index) >= FAttrValues.size()) {
    throw Exception("Title attribute index out of bounds (" + std::to_string(Index) + ")");
  }
  return FAttrValues[static_cast<std::size_t>(Index)].Value;
}

// ---------------------------------------------------------------------------
// TPDMEntityHash

// The buckets exist only while something is held: an idle session (the
// handlers clear the cache after every request) keeps none of the 1.5 MiB.
TPDMEntityHash::TPDMEntityHash() = default;

void TPDMEntityHash::Add(IPDMEntityPtr Data) {
  if (!Data) return;
  if (FHash.empty()) FHash.resize(kBucketCount);
  THashItem& bucket = FHash[static_cast<std::size_t>(BucketOf(Data->Id()))];
  for (const IPDMEntityPtr& held : bucket) {
    if (held->Id() == Data->Id()) return;
  }
  bucket.push_back(std::move(Data));
  ++FCount;
}

IPDMEntityPtr TPDMEntityHash::Get(int32_t Id) const {
  if (FHash.empty()) return nullptr;
  for (const IPDMEntityPtr& held : FHash[static_cast<std::size_t>(BucketOf(Id))]) {
    if (held->Id() == Id) return held;
  }
  return nullptr;
}

void TPDMEntityHash::Remove(int32_t Id) {
  if (FHash.empty()) return;
  THashItem& bucket = FHash[static_cast<std::size_t>(BucketOf(Id))];
  for (auto it = bucket.begin(); it != bucket.end(); ++it) {
    if ((*it)->Id() == Id) {
      bucket.erase(it);
      --FCount;
      return;
    }
  }
}

void TPDMEntityHash::Clear() {
  std::vector<THashItem>().swap(FHash);
  FCount = 0;
}

void TPDMEntityHash::Settle(THashPosition& Pos) const {
  if (FHash.empty()) {
    Pos.HashIndex = kBucketCount;
    Pos.Index = 0;
    return;
  }
  while (Pos.HashIndex < kBucketCount &&
         static_cast<std::size_t>(Pos.Index) >= FHash[static_cast<std::size_t>(Pos.HashIndex)].size()) {
    ++Pos.HashIndex;
    Pos.Index = 0;
  }
}

THashPosition TPDMEntityHash::First() const {
  THashPosition pos;
  Settle(pos);
  return pos;
}

void TPDMEntityHash::Next(THashPosition& Pos) const {
  if (Eof(Pos)) return;
  ++Pos.Index;
  Settle(Pos);
}

IPDMEntityPtr TPDMEntityHash::GetEntity(const THashPosition& Pos) const {
  if (FHash.empty() || Pos.HashIndex < 0 || Eof(Pos) || Pos.Index < 0) return nullptr;
  const THashItem& bucket = FHash[static_cast<std::size_t>(Pos.HashIndex)];
  if (static_cast<std::size_t>(Pos.Index) >= bucket.size()) return nullptr;
  return bucket[static_cast<std::size_t>(Pos.Index)];
}

// ---------------------------------------------------------------------------
// TPDMVersionList

void TPDMVersionList::Add(const IPDMVersionPtr& Value) {
  if (!Value || Find(Value->Id())) return;
  FVersions.push_back(Value);
}

void TPDMVersionList::Add(const TPDMVersionList& List) {
  if (&List == this) return;  // every item is held already
  for (const IPDMVersionPtr& version : List.FVersions) Add(version);
}

void TPDMVersionList::Delete(int Index) {
  if (Index < 0 || Index >= Count()) throw Exception("List index out of bounds (" + std::to_string(Index) + ")");
  FVersions.erase(FVersions.begin() + Index);
}

IPDMVersionPtr TPDMVersionList::GetItem(int Index) const {
  if (Index < 0 || Index >= Count()) throw Exception("List index out of bounds (" + std::to_string(Index) + ")");
  return FVersions[static_cast<std::size_t>(Index)];
}

IPDMVersionPtr TPDMVersionList::Find(int32_t IdVersion) const {
  for (const IPDMVersionPtr& version : FVersions) {
    if (version->Id() == IdVersion) return version;
  }
  return nullptr;
}

bool TPDMVersionList::EqualsIds(const TPDMVersionList* AVersions) const {
  if (AVersions == nullptr) return FVersions.empty();
  if (AVersions->FVersions.size() != FVersions.size()) return false;
  for (std::size_t i = 0; i < FVersions.size(); ++i) {
    if (FVersions[i]->Id() != AVersions->FVersions[i]->Id()) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// TPDMVersionStorage

TPDMVersionStorage::TPDMVersionStorage(TAppMainSystem& AppMain) : FAppMain(&AppMain) {}

std::shared_ptr<TPDMVersion> TPDMVersionStorage::Cached(int32_t IdVersion) const {
  return std::dynamic_pointer_cast<TPDMVersion>(FHash.Get(IdVersion));
}

TDataSetPtr TPDMVersionStorage::LoadPropObjects(const std::string& AIdList) {
  return FAppMain->GetPropObjects2(0, AIdList, 0);
}

void TPDMVersionStorage::LoadListFromTree(TPDMVersionList& AList, Dataset& ds) {
  for (ds.First(); !ds.Eof(); ds.Next()) AList.Add(LoadVersionFromTree(ds));
}

void TPDMVersionStorage::LoadListFromVersion(TPDMVersionList& AList, Dataset& ds) {
  for (ds.First(); !ds.Eof(); ds.Next()) AList.Add(LoadVersionFromVersion(ds));
}

void TPDMVersionStorage::LoadListFromIdList(TPDMVersionList& AList, const std::string& AIdList) {
  TDataSetPtr ds = LoadPropObjects(AIdList);
  // The first row of each id; one pass instead of a search per id.
  std::unordered_map<int32_t, std::size_t> rowOf;
  if (!ds->IsEmpty()) {
    const ConstField id = std::as_const(*ds).FieldByName("_ID_VERSION");
    for (ds->First(); !ds->Eof(); ds->Next()) rowOf.try_emplace(id.AsInteger(), ds->RecNo());
  }
  for (std::string_view piece : SplitIdList(AIdList)) {
    const int32_t id = IdOrZero(piece);
    if (id == 0) continue;
    const auto row = rowOf.find(id);
    if (row == rowOf.end()) continue;
    ds->MoveTo(row->second);
    AList.Add(LoadVersionFromVersion(*ds));
  }
}

void TPDMVersionStorage::LoadVersions(const std::string& AIdList) {
  TDataSetPtr ds = LoadPropObjects(AIdList);
  for (ds->First(); !ds->Eof(); ds->Next()) LoadVersionFromVersion(*ds);
}

IPDMVersionPtr TPDMVersionStorage::GetVersion(int32_t IdVersion, int32_t IdLock) {
  if (auto cached = Cached(IdVersion)) return cached;
  TDataSetPtr ds = FAppMain->GetInfoAboutVersion(IdLock, "", "", "", IdVersion, 15);
  if (ds->IsEmpty()) return nullptr;
  ds->First();
  auto version = TPDMVersion::LoadFromVersion(*FAppMain, *ds);
  version->SetIdLock(IdLock);
  FHash.Add(version);
  // A row of another, cached id leaves that version in place; hand out the
  // one the cache holds.
  return Cached(version->Id());
}

IPDMVersionPtr TPDMVersionStorage::LoadVersionFromTree(const Dataset& ds) {
  if (auto cached = Cached(ds.FieldByName("_ID_VERSION").AsInteger())) {
    cached->UpdateVersionParams(ds);
    cached->LoadTitleFromTreeRow(ds);
    return cached;
  }
  auto version = TPDMVersion::LoadFromTree(*FAppMain, ds);
  FHash.Add(version);
  return version;
}

IPDMVersionPtr TPDMVersionStorage::LoadVersionFromVersion(const Dataset& ds) {
  if (auto cached = Cached(ds.FieldByName("_ID_VERSION").AsInteger())) {
    cached->UpdateVersionParams(ds);
    return cached;
  }
  auto version = TPDMVersion::LoadFromVersion(*FAppMain, ds);
  FHash.Add(version);
  return version;
}

IPDMVersionPtr TPDMVersionStorage::LoadVersionFromVersionInfo(const TVersionInfo& AInfo) {
  if (auto cached = Cached(AInfo.IdVersion)) return cached;
  auto version = std::make_shared<TPDMVersion>(*FAppMain, AInfo);
  FHash.Add(version);
  return version;
}

void TPDMVersionStorage::LazyRefreshTitle(const IPDMVersionPtr& Version) {
  if (auto version = std::dynamic_pointer_cast<TPDMVersion>(Version)) version->LazyRefreshTitle();
}

void TPDMVersionStorage::UpdateVersionParams(int32_t IdVersion, int32_t IdLock, const Dataset* AttrDS) {
  auto cached = Cached(IdVersion);
  if (!cached) return;
  cached->SetIdLock(IdLock);
  if (AttrDS != nullptr) cached->LoadTitleFromAttributes(*AttrDS);
}

std::string TPDMVersionStorage::ProductGuidToTitle(const std::string& ProductGuid) {
  for (THashPosition pos = FHash.First(); !FHash.Eof(pos); FHash.Next(pos)) {
    auto version = std::dynamic_pointer_cast<IPDMVersion>(FHash.GetEntity(pos));
    if (version && AsciiEqualIgnoringCase(version->Product(), ProductGuid)) return version->Title();
  }
  return ProductGuid;
}

std::string TPDMVersionStorage::ReplaceGuidsToTitle(const std::string& text) {
  std::string result;
  std::size_t from = 0;
  while (true) {
    const auto [start, end] = NextGuidToken(text, from);
    if (start == std::string::npos) break;
    const std::string token = text.substr(start, end - start);
    result.append(text, from, start - from);
    result += ProductGuidToTitle(token);
    from = end;
  }
  result.append(text, from, std::string::npos);
  return result;
}

}  // namespace brevalon
