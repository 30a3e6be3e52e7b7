#include "appserver/main_system.h"

#include <charconv>
#include <set>

#include "appserver/search.h"
#include "appserver/text_util.h"

namespace brevalon::appserver {

namespace {

constexpr size_t kMaxIdList = 10000;
constexpr int32_t kMaxBlock = 16 * 1024 * 1024;
constexpr size_t kMaxExtracted = 256;

// The version columns every version listing starts with. ?1 = user id,
// ?2 = administrator flag, ?3 = database id.
constexpr const char* kVersionSelect =
    "SELECT v.id, o.product, o.type_id, v.version, v.lock_id, "
    "CASE WHEN ?2 THEN 3 ELSE COALESCE((SELECT level FROM grants g WHERE g.version_id = v.id AND g.user_id = ?1), 0) "
    "END, v.state_id FROM versions v JOIN objects o ON o.id = v.object_id WHERE o.db_id = ?3";

const std::vector<Column> kVersionColumns = {
    {"_ID_VERSION", FieldType::Int32}, {"_PRODUCT", FieldType::Text},     {"_ID_TYPE", FieldType::Int32},
    {"_VERSION", FieldType::Text},     {"_ID_LOCK", FieldType::Int32},    {"_ACCESSLEVEL", FieldType::Int32},
    {"_ID_STATE", FieldType::Int32}};

// Version ids from a list the client built: pieces separated by commas or
// blanks; pieces that are not numbers, and 0, are skipped; each id once, in
// list order.
std::vector<int64_t> ParseIdList(const std::string& text) {
  std::vector<int64_t> ids;
  std::set<int64_t> seen;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ',' || static_cast<unsigned char>(text[i]) <= ' ')) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ',' && static_cast<unsigned char>(text[i]) > ' ') ++i;
    if (start == i) continue;
    int32_t v = 0;
    auto [end, ec] = std::from_chars(text.data() + start, text.data() + i, v);
    if (ec != std::errc() || end != text.data() + i || v == 0) continue;
    if (seen.insert(v).second) ids.push_back(v);
    if (ids.size() > kMaxIdList) throw EOperationFailed(kErrArgument, "the id list is too long");
  }
  return ids;
}

}  // namespace

const std::vector<MainSystemSession::Op>& MainSystemSession::Operations() {
  using S = MainSystemSession;
  static const std::vector<Op> ops = {
      {"ConnectToDBEx", 3, 3, false, &S::ConnectToDBEx},
      {"GetDBProperties", 0, 0, true, &S::GetDBProperties},
      {"GetTypeList", 0, 0, true, &S::GetTypeList},
      {"GetAttributeList", 0, 0, true, &S::GetAttributeList},
      {"GetStateList", 0, 0, true, &S::GetStateList},
      {"GetInfoAboutCurrentBase", 1, 1, true, &S::GetInfoAboutCurrentBase},
      {"GetTree2", 3, 3, true, &S::GetTree2},
      {"GetInfoAboutVersion", 5, 5, true, &S::GetInfoAboutVersion},
      {"ExistsObject", 4, 4, true, &S::ExistsObject},
      {"GetPropObjects2", 2, 2, true, &S::GetPropObjects2},
      {"GetLinkedObjects2", 5, 5, true, &S::GetLinkedObjects2},
      {"GetReport", 3, 3, true, &S::GetReport},
      {"FindObjectsInContext2", 3, 3, true, &S::FindObjectsInContext2},
      {"ExtractFile", 7, 7, true, &S::ExtractFile},
      {"GetFileData", 8, 8, true, &S::GetFileData},
      {"UpGrantOnVersion", 7, 7, true, &S::UpGrantOnVersion},
      {"ConnectToCheckOut", 2, 2, true, &S::ConnectToCheckOut},
      {"DisconnectCheckOut", 2, 2, true, &S::DisconnectCheckOut},
      {"CheckOut", 4, 4, true, &S::CheckOut},
      {"CheckIn", 2, 2, true, &S::CheckIn},
      {"CancelCheckOut", 2, 2, true, &S::CancelCheckOut},
      {"SaveChanges", 2, 2, true, &S::SaveChanges},
      {"AddToCheckOut", 2, 2, true, &S::AddToCheckOut},
      {"UnlockObject", 5, 5, true, &S::UnlockObject},
      {"GetLockedObjects", 1, 1, true, &S::GetLockedObjects},
  };
  return ops;
}

Variant MainSystemSession::Call(const std::string& name, std::vector<Variant>& args, RdcCallContext& ctx) {
  return Dispatch(*this, Operations(), name, args, ctx);
}

Variant MainSystemSession::GetProperty(const std::string& name, RdcCallContext&) {
  if (EqualsAsciiNoCase(name, "ApplicationVersion")) return Variant(appVersion_);
  if (EqualsAsciiNoCase(name, "CurrentCheckOut")) return Variant(std::to_string(checkOut_));
  throw ERdcUnknownName::ForName(name);
}

// ---- sign-in and database description ----

Variant MainSystemSession::ConnectToDBEx(Args& a, RdcCallContext& ctx) {
  SignedIn who;
  try {
    who = store_.Read([&](SqliteDb& db) { return Authenticate(db, a.Text(0), a.Text(1), a.Text(2), ctx.Identity()); });
  } catch (...) {
    store_.CountSignIn(true);
    throw;
  }
  store_.CountSignIn(false);
  who_ = who;
  signedIn_ = true;
  checkOut_ = 0;
  extracted_.clear();
  return Variant(int32_t{who.isAdmin ? 1 : 0});
}

Variant MainSystemSession::GetDBProperties(Args&, RdcCallContext&) {
  return store_.Read([&](SqliteDb& db) {
    Statement st(db, "SELECT name, value FROM db_properties WHERE db_id = ? ORDER BY name");
    st.Bind(1, who_.dbId);
    return Packet(QueryDataset(st, {{"_PARAMNAME", FieldType::Text}, {"_PARAMVALUE", FieldType::Text}}));
  });
}

Variant MainSystemSession::GetTypeList(Args&, RdcCallContext&) {
  return store_.Read([&](SqliteDb& db) {
    Statement st(db, "SELECT id, name, is_document FROM types WHERE db_id = ? ORDER BY id");
    st.Bind(1, who_.dbId);
    return Packet(QueryDataset(
        st, {{"_ID", FieldType::Int32}, {"_TYPENAME", FieldType::Text}, {"_DOCUMENT", FieldType::Int32}}));
  });
}

Variant MainSystemSession::GetAttributeList(Args&, RdcCallContext&) {
  return store_.Read([&](SqliteDb& db) {
    Statement st(db, "SELECT id, name, attr_type FROM attributes WHERE db_id = ? ORDER BY id");
    st.Bind(1, who_.dbId);
    return Packet(
        QueryDataset(st, {{"_ID", FieldType::Int32}, {"_NAME", FieldType::Text}, {"_ATTRTYPE", FieldType::Int32}}));
  });
}

Variant MainSystemSession::GetStateList(Args&, RdcCallContext&) {
  return store_.Read([&](SqliteDb& db) {
    Statement st(db, "SELECT id, name FROM states WHERE db_id = ? ORDER BY id");
    st.Bind(1, who_.dbId);
    return Packet(QueryDataset(st, {{"_ID", FieldType::Int32}, {"_NAME", FieldType::Text}}));
  });
}

Variant MainSystemSession::GetInfoAboutCurrentBase(Args& a, RdcCallContext&) {
  int32_t mode = a.Int(0);
  return store_.Read([&](SqliteDb& db) {
    if (mode == 10) {
      Statement st(db, "SELECT name FROM reports WHERE db_id = ? ORDER BY name");
      st.Bind(1, who_.dbId);
      return Packet(QueryDataset(st, {{"_PROC_NAME", FieldType::Text}}));
    }
    if (mode == 2 || mode == 21) {
      Statement st(db, "SELECT id, created FROM checkouts WHERE db_id = ? AND user_id = ? ORDER BY id");
      st.BindAll(who_.dbId, who_.userId);
      return Packet(QueryDataset(st, {{"_CHECKOUTNAME", FieldType::Int32}, {"_DATEOFCREATE", FieldType::DateTime}}));
    }
    throw EOperationFailed(kErrArgument, "unknown mode " + std::to_string(mode));
  });
}

// ---- versions ----

int64_t MainSystemSession::ResolveVersion(SqliteDb& db, const std::string& type, const std::string& product,
                                          const std::string& version, int32_t id) const {
  if (id != 0) {
    Statement st(db,
                 "SELECT v.id FROM versions v JOIN objects o ON o.id = v.object_id WHERE v.id = ? AND o.db_id = ?");
    st.BindAll(static_cast<int64_t>(id), who_.dbId);
    if (st.Step()) return st.Int64(0);
    throw EOperationFailed(kErrNotFound, "Версия с идентификатором " + std::to_string(id) + " не найдена");
  }
  Statement st(db,
               "SELECT v.id FROM versions v JOIN objects o ON o.id = v.object_id JOIN types t ON t.id = o.type_id "
               "WHERE o.db_id = ? AND t.name = ? AND o.product = ? AND v.version = ?");
  st.BindAll(who_.dbId, type, product, version);
  if (st.Step()) return st.Int64(0);
  throw EOperationFailed(kErrNotFound, "Объект " + type + " \"" + product + "\" версии \"" + version + "\" не найден");
}

int32_t MainSystemSession::AccessLevel(SqliteDb& db, int64_t versionId) const {
  if (who_.isAdmin) return 3;
  Statement st(db, "SELECT level FROM grants WHERE version_id = ? AND user_id = ?");
  st.BindAll(versionId, who_.userId);
  return st.Step() ? st.Int(0) : 0;
}

void MainSystemSession::RequireAccess(SqliteDb& db, int64_t versionId, int32_t level) const {
  if (AccessLevel(db, versionId) < level)
    throw EOperationFailed(kErrAccess, "Недостаточно прав на версию " + std::to_string(versionId));
}

Variant MainSystemSession::ExistsObject(Args& a, RdcCallContext&) {
  return store_.Read([&](SqliteDb& db) {
    try {
      ResolveVersion(db, a.Text(0), a.Text(1), a.Text(2), a.Int(3));
      return Variant(int32_t{1});
    } catch (const EOperationFailed& e) {
      if (e.Code() != kErrNotFound) throw;
      return Variant(int32_t{0});
    }
  });
}

Variant MainSystemSession::GetInfoAboutVersion(Args& a, RdcCallContext&) {
  const int32_t mode = a.Int(4);
  return store_.Read([&](SqliteDb& db) {
    int64_t id = ResolveVersion(db, a.Text(0), a.Text(1), a.Text(2), a.Int(3));
    if (mode == 2) {
      RequireAccess(db, id, 1);
      Statement st(db,
                   "SELECT a.id, a.name, a.attr_type, v.value FROM attr_values v JOIN attributes a ON a.id = v.attr_id "
                   "WHERE v.version_id = ? ORDER BY a.id");
      st.Bind(1, id);
      return Packet(QueryDataset(st, {{"_ID_ATTR", FieldType::Int32},
                                      {"_NAME", FieldType::Text},
                                      {"_ATTRTYPE", FieldType::Int32},
                                      {"_VALUE", FieldType::Text}}));
    }
    if (mode == 7) {
      RequireAccess(db, id, 1);
      Statement st(db,
                   "SELECT id, name, local_name, created, size, crc, modified FROM files WHERE version_id = ? "
                   "ORDER BY id");
      st.Bind(1, id);
      return Packet(QueryDataset(st, {{"_ID_FILE", FieldType::Int32},
                                      {"_NAME", FieldType::Text},
                                      {"_LOCALNAME", FieldType::Text},
                                      {"_DATEOFCREATE", FieldType::DateTime},
                                      {"_SIZE", FieldType::Int64},
                                      {"_CRC", FieldType::Int64},
                                      {"_MODIFIED", FieldType::DateTime}}));
    }
    if (mode == 15) {
      Statement st(db, std::string(kVersionSelect) +
                           " AND v.id = ?4");
      st.BindAll(who_.userId, who_.isAdmin, who_.dbId, id);
      Dataset base = QueryDataset(st, kVersionColumns);
      // The type and state names complete the row.
      Dataset ds;
      for (const auto& c : kVersionColumns) ds.AddField(c.name, c.type);
      ds.AddField("_TYPENAME", FieldType::Text);
      ds.AddField("_STATENAME", FieldType::Text);
      ds.AppendCopyOf(base);
      Statement names(db,
                      "SELECT t.name, COALESCE(s.name, '') FROM versions v JOIN objects o ON o.id = v.object_id "
                      "JOIN types t ON t.id = o.type_id LEFT JOIN states s ON s.id = v.state_id WHERE v.id = ?");
      names.Bind(1, id);
      if (names.Step()) {
        ds.FieldByName("_TYPENAME").SetString(names.Text(0));
        ds.FieldByName("_STATENAME").SetString(names.Text(1));
      }
      ds.First();
      return Packet(ds);
    }
    throw EOperationFailed(kErrArgument, "unknown mode " + std::to_string(mode));
  });
}

Variant MainSystemSession::VersionRows(const std::string& where, const std::vector<int64_t>& ids) const {
  return store_.Read([&](SqliteDb& db) {
    Statement st(db, std::string(kVersionSelect) + where);
    Dataset ds;
    for (const auto& c : kVersionColumns) ds.AddField(c.name, c.type);
    for (int64_t id : ids) {
      st.Reset();
      st.BindAll(who_.userId, who_.isAdmin, who_.dbId, id);
      Dataset row = QueryDataset(st, kVersionColumns);
      for (row.First(); !row.Eof(); row.Next()) ds.AppendCopyOf(row);
    }
    ds.First();
    return Packet(ds);
  });
}

Variant MainSystemSession::GetPropObjects2(Args& a, RdcCallContext&) {
  return VersionRows(" AND v.id = ?4", ParseIdList(a.Text(0)));
}

Variant MainSystemSession::GetTree2(Args& a, RdcCallContext&) {
  const int32_t parent = a.Int(0);
  const std::string linkType = a.Text(1);
  return store_.Read([&](SqliteDb& db) {
    if (parent != 0) ResolveVersion(db, "", "", "", parent);
    // Title attributes become the attribute columns, in title order.
    std::vector<std::pair<int64_t, std::string>> titles;
    {
      Statement st(db,
                   "SELECT id, name FROM attributes WHERE db_id = ? AND title_order IS NOT NULL "
                   "AND substr(name, 1, 1) <> '_' ORDER BY title_order, id");
      st.Bind(1, who_.dbId);
      while (st.Step()) titles.emplace_back(st.Int64(0), st.Text(1));
    }
    std::string sql = std::string(kVersionSelect) + (parent == 0
        ? " AND NOT EXISTS (SELECT 1 FROM links l WHERE l.child_id = v.id AND (?4 = '' OR l.link_type = ?4))"
        : " AND v.id IN (SELECT l.child_id FROM links l WHERE l.parent_id = ?5 AND (?4 = '' OR l.link_type = ?4))");
    Statement st(db, sql + " ORDER BY v.id");
    st.BindAll(who_.userId, who_.isAdmin, who_.dbId, linkType);
    if (parent != 0) st.Bind(5, static_cast<int64_t>(parent));
    Dataset base = QueryDataset(st, kVersionColumns);

    Dataset ds;
    ds.AddField("_ID_VERSION", FieldType::Int32);
    ds.AddField("_ID_PARENT", FieldType::Int32);
    for (size_t i = 1; i < kVersionColumns.size(); ++i) ds.AddField(kVersionColumns[i].name, kVersionColumns[i].type);
    std::vector<std::pair<int64_t, std::string>> usable;
    for (const auto& t : titles) {
      if (ds.FieldIndex(t.second) >= 0) continue;  // a duplicate name (letter case ignored)
      ds.AddField(t.second, FieldType::Text);
      usable.push_back(t);
    }
    Statement value(db, "SELECT value FROM attr_values WHERE version_id = ? AND attr_id = ?");
    for (base.First(); !base.Eof(); base.Next()) {
      ds.AppendCopyOf(base);
      ds.FieldByName("_ID_PARENT").SetInteger(parent);
      for (const auto& [attrId, name] : usable) {
        value.Reset();
        value.BindAll(static_cast<int64_t>(base.FieldByName("_ID_VERSION").AsInteger()), attrId);
        if (value.Step()) ds.FieldByName(name).SetString(value.Text(0));
      }
    }
    ds.First();
    return Packet(ds);
  });
}

Variant MainSystemSession::GetLinkedObjects2(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  const std::string linkType = a.Text(1);
  const bool inverse = a.Bool(2), full = a.Bool(3), group = a.Bool(4);
  return store_.Read([&](SqliteDb& db) {
    int64_t version = ResolveVersion(db, "", "", "", id);
    std::string sql =
        "SELECT v.id, o.type_id, o.product, v.version, v.state_id, v.lock_id, "
        "CASE WHEN ?2 THEN 3 ELSE COALESCE((SELECT level FROM grants g WHERE g.version_id = v.id AND g.user_id = ?1), 0)"
        " END, l.id, l.link_type, l.quantity, o.id FROM links l JOIN versions v ON v.id = " +
        std::string(inverse ? "l.parent_id" : "l.child_id") +
        " JOIN objects o ON o.id = v.object_id WHERE o.db_id = ?3 AND " +
        std::string(inverse ? "l.child_id" : "l.parent_id") + " = ?4 AND (?5 = '' OR l.link_type = ?5) ORDER BY l.id";
    Statement st(db, sql);
    st.BindAll(who_.userId, who_.isAdmin, who_.dbId, version, linkType);
    std::vector<Column> cols = {{"_ID_VERSION", FieldType::Int32}, {"_ID_TYPE", FieldType::Int32},
                                {"_PRODUCT", FieldType::Text},     {"_VERSION", FieldType::Text},
                                {"_ID_STATE", FieldType::Int32},   {"_ID_LOCK", FieldType::Int32},
                                {"_ACCESSLEVEL", FieldType::Int32}, {"_ID_LINK", FieldType::Int32},
                                {"_LINKTYPE", FieldType::Text},    {"_QUANTITY", FieldType::Double},
                                {"_ID_OBJECT", FieldType::Int32}};
    Dataset all = QueryDataset(st, cols);
    Dataset ds;
    size_t keep = full ? 10 : 7;
    for (size_t i = 0; i < keep; ++i) ds.AddField(cols[i].name, cols[i].type);
    // Grouping by product keeps each object's highest version.
    std::map<int32_t, int32_t> best;
    if (group)
      for (all.First(); !all.Eof(); all.Next()) {
        int32_t obj = all.FieldByName("_ID_OBJECT").AsInteger(), v = all.FieldByName("_ID_VERSION").AsInteger();
        if (!best.count(obj) || best[obj] < v) best[obj] = v;
      }
    std::set<int32_t> emitted;
    for (all.First(); !all.Eof(); all.Next()) {
      if (group) {
        int32_t obj = all.FieldByName("_ID_OBJECT").AsInteger();
        if (best[obj] != all.FieldByName("_ID_VERSION").AsInteger() || !emitted.insert(obj).second) continue;
      }
      ds.AppendCopyOf(all);
    }
    ds.First();
    return Packet(ds);
  });
}

// ---- search ----

namespace {

Variant FoundRows(SqliteDb& db, const std::vector<int64_t>& ids) {
  Dataset ds;
  ds.AddField("_ID_VERSION", FieldType::Int32);
  ds.AddField("_ID_TYPE", FieldType::Int32);
  ds.AddField("_PRODUCT", FieldType::Text);
  ds.AddField("_VERSION", FieldType::Text);
  Statement st(db, "SELECT v.id, o.type_id, o.product, v.version FROM versions v JOIN objects o ON o.id = v.object_id "
                   "WHERE v.id = ?");
  for (int64_t id : ids) {
    st.Reset();
    st.Bind(1, id);
    if (!st.Step()) continue;
    ds.Append();
    ds.FieldByIndex(0).SetInteger(st.Int(0));
    ds.FieldByIndex(1).SetInteger(st.Int(1));
    ds.FieldByIndex(2).SetString(st.Text(2));
    ds.FieldByIndex(3).SetString(st.Text(3));
  }
  ds.First();
  return Packet(ds);
}

}  // namespace

Variant MainSystemSession::GetReport(Args& a, RdcCallContext&) {
  const std::string report = a.Text(0);
  const std::string params = a.Text(2);
  store_.RecordReportParams(params);
  return store_.Read([&](SqliteDb& db) {
    Statement st(db, "SELECT name FROM reports WHERE db_id = ?");
    st.Bind(1, who_.dbId);
    bool found = false;
    while (st.Step()) found = found || EqualsNoCase(st.Text(0), report);
    if (!found || !EqualsNoCase(report, "rep_SEARCH"))
      throw EOperationFailed(kErrNotFound, "Отчёт \"" + report + "\" не найден");
    return FoundRows(db, RunSearch(db, who_.dbId, who_.userId, who_.isAdmin, ParseReportParams(params)));
  });
}

Variant MainSystemSession::FindObjectsInContext2(Args& a, RdcCallContext&) {
  const std::string context = a.Text(0);
  const std::string xml = a.Text(1);
  store_.RecordSearchXml(xml);
  return store_.Read([&](SqliteDb& db) {
    SearchQuery q = ParseSearchXml(xml, context, SearchCatalog::Load(db, who_.dbId));
    if (q.context != 0) {
      ResolveVersion(db, "", "", "", static_cast<int32_t>(q.context));
    }
    return FoundRows(db, RunSearch(db, who_.dbId, who_.userId, who_.isAdmin, q));
  });
}

// ---- files ----

Variant MainSystemSession::ExtractFile(Args& a, RdcCallContext&) {
  const std::string fileName = a.Text(4);
  const std::string stored = a.Text(5);
  int64_t fileId = store_.Read([&](SqliteDb& db) {
    int64_t version = ResolveVersion(db, a.Text(0), a.Text(1), a.Text(2), a.Int(3));
    RequireAccess(db, version, 1);
    Statement st(db, "SELECT id FROM files WHERE version_id = ? AND local_name = ?");
    st.BindAll(version, stored);
    if (!st.Step())
      throw EOperationFailed(kErrNotFound, "Файл \"" + stored + "\" версии " + std::to_string(version) + " не найден");
    return st.Int64(0);
  });
  if (extracted_.size() >= kMaxExtracted) extracted_.clear();
  extracted_[{fileName, stored}] = fileId;
  return Variant(fileName);
}

Variant MainSystemSession::GetFileData(Args& a, RdcCallContext&) {
  auto it = extracted_.find({a.Text(0), a.Text(1)});
  if (it == extracted_.end())
    throw EOperationFailed(kErrNotFound, "Файл \"" + a.Text(0) + "\" не был извлечён (ExtractFile)");
  const int32_t position = a.Int(2);
  const int32_t count = a.Int(3);
  if (position < 0 || count < 0) throw EOperationFailed(kErrArgument, "position and count must not be negative");
  if (count > kMaxBlock) throw EOperationFailed(kErrArgument, "a block is at most 16 MiB");
  auto [size, block] = store_.Read([&](SqliteDb& db) {
    // substr on a blob counts bytes, from 1.
    Statement st(db, "SELECT size, substr(content, ?, ?) FROM files WHERE id = ?");
    st.BindAll(static_cast<int64_t>(position) + 1, static_cast<int64_t>(count), it->second);
    if (!st.Step()) throw EOperationFailed(kErrNotFound, "Файл удалён");
    return std::make_pair(st.Int64(0), st.Blob(1));
  });
  a.Out(5, Variant(static_cast<int32_t>(size)));
  a.Out(6, Variant(static_cast<int32_t>(block.size())));
  a.Out(7, Variant(static_cast<int32_t>(Crc32(block))));  // the unsigned value's bits
  return Variant(std::move(block));
}

// ---- rights ----

Variant MainSystemSession::UpGrantOnVersion(Args& a, RdcCallContext&) {
  const std::string unit = a.Text(3);
  const int32_t level = a.Int(4);
  const bool del = a.Bool(6);
  if (!del && (level < 0 || level > 3)) throw EOperationFailed(kErrArgument, "privileges are 0 to 3");
  store_.Write([&](SqliteDb& db) {
    int64_t version = ResolveVersion(db, a.Text(0), a.Text(1), a.Text(2), 0);
    RequireAccess(db, version, 3);
    int64_t user = 0;
    Statement find(db, "SELECT id, name FROM principals WHERE db_id = ? AND kind = 'U'");
    find.Bind(1, who_.dbId);
    while (find.Step() && user == 0)
      if (EqualsNoCase(find.Text(1), unit)) user = find.Int64(0);
    if (user == 0) throw EOperationFailed(kErrNotFound, "Пользователь \"" + unit + "\" не найден");
    if (del)
      Statement(db, "DELETE FROM grants WHERE version_id = ? AND user_id = ?").BindAll(version, user).Run();
    else
      Statement(db, "INSERT OR REPLACE INTO grants(version_id, user_id, level) VALUES(?, ?, ?)")
          .BindAll(version, user, level)
          .Run();
  });
  return Variant();
}

// ---- check-outs ----

void MainSystemSession::CheckDatabaseName(const std::string& name) const {
  if (!EqualsNoCase(name, who_.dbName))
    throw EOperationFailed(kErrNotFound, "База данных \"" + name + "\" не открыта в этом сеансе");
}

void MainSystemSession::RequireOwnCheckOut(SqliteDb& db, int32_t checkOut) const {
  Statement st(db, "SELECT user_id FROM checkouts WHERE id = ? AND db_id = ?");
  st.BindAll(static_cast<int64_t>(checkOut), who_.dbId);
  if (!st.Step()) throw EOperationFailed(kErrNotFound, "Check-out " + std::to_string(checkOut) + " не найден");
  if (st.Int64(0) != who_.userId)
    throw EOperationFailed(kErrAccess, "Check-out " + std::to_string(checkOut) + " принадлежит другому пользователю");
}

Variant MainSystemSession::ConnectToCheckOut(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  CheckDatabaseName(a.Text(1));
  store_.Read([&](SqliteDb& db) { RequireOwnCheckOut(db, id); });
  checkOut_ = id;
  return Variant(true);
}

Variant MainSystemSession::DisconnectCheckOut(Args& a, RdcCallContext&) {
  CheckDatabaseName(a.Text(1));
  if (a.Int(0) == checkOut_) checkOut_ = 0;
  return Variant();
}

Variant MainSystemSession::CheckOut(Args& a, RdcCallContext&) {
  const std::string type = a.Text(0), product = a.Text(1), version = a.Text(2);
  const double now = store_.Now();
  int64_t id = store_.Write([&](SqliteDb& db) {
    int64_t versionId = 0;
    if (!type.empty() || !product.empty() || !version.empty()) {
      versionId = ResolveVersion(db, type, product, version, 0);
      RequireAccess(db, versionId, 2);
      if (db.QueryInt("SELECT lock_id FROM versions WHERE id = " + std::to_string(versionId)).value_or(0) != 0)
        throw EOperationFailed(kErrState, "Объект уже взят на редактирование");
    }
    Statement(db, "INSERT INTO checkouts(db_id, user_id, created) VALUES(?, ?, ?)")
        .BindAll(who_.dbId, who_.userId, now)
        .Run();
    int64_t checkOut = db.LastInsertId();
    if (versionId) Statement(db, "UPDATE versions SET lock_id = ? WHERE id = ?").BindAll(checkOut, versionId).Run();
    return checkOut;
  });
  return Variant(static_cast<int32_t>(id));
}

Variant MainSystemSession::ReleaseCheckOut(int32_t checkOut, const std::string& dbName) {
  CheckDatabaseName(dbName);
  store_.Write([&](SqliteDb& db) {
    RequireOwnCheckOut(db, checkOut);
    Statement(db, "UPDATE versions SET lock_id = 0 WHERE lock_id = ?").Bind(1, static_cast<int64_t>(checkOut)).Run();
    Statement(db, "DELETE FROM checkouts WHERE id = ?").Bind(1, static_cast<int64_t>(checkOut)).Run();
  });
  if (checkOut == checkOut_) checkOut_ = 0;
  return Variant();
}

Variant MainSystemSession::CheckIn(Args& a, RdcCallContext&) { return ReleaseCheckOut(a.Int(0), a.Text(1)); }
Variant MainSystemSession::CancelCheckOut(Args& a, RdcCallContext&) { return ReleaseCheckOut(a.Int(0), a.Text(1)); }

Variant MainSystemSession::SaveChanges(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  CheckDatabaseName(a.Text(1));
  // Changes are stored as they are made; saving only confirms the check-out.
  store_.Read([&](SqliteDb& db) { RequireOwnCheckOut(db, id); });
  return Variant();
}

Variant MainSystemSession::AddToCheckOut(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  if (checkOut_ == 0) throw EOperationFailed(kErrState, "Нет текущего check-out");
  store_.Write([&](SqliteDb& db) {
    RequireOwnCheckOut(db, checkOut_);
    int64_t version = ResolveVersion(db, "", "", "", id);
    RequireAccess(db, version, 2);
    int64_t lock = db.QueryInt("SELECT lock_id FROM versions WHERE id = " + std::to_string(version)).value_or(0);
    if (lock != 0 && lock != checkOut_) throw EOperationFailed(kErrState, "Объект взят на редактирование другим check-out");
    Statement(db, "UPDATE versions SET lock_id = ? WHERE id = ?").BindAll(static_cast<int64_t>(checkOut_), version).Run();
  });
  return Variant();
}

Variant MainSystemSession::UnlockObject(Args& a, RdcCallContext&) {
  if (checkOut_ == 0) throw EOperationFailed(kErrState, "Нет текущего check-out");
  store_.Write([&](SqliteDb& db) {
    RequireOwnCheckOut(db, checkOut_);
    int64_t version = ResolveVersion(db, a.Text(0), a.Text(1), a.Text(2), a.Int(3));
    int64_t lock = db.QueryInt("SELECT lock_id FROM versions WHERE id = " + std::to_string(version)).value_or(0);
    if (lock != checkOut_) throw EOperationFailed(kErrState, "Объект не входит в текущий check-out");
    Statement(db, "UPDATE versions SET lock_id = 0 WHERE id = ?").Bind(1, version).Run();
  });
  return Variant();
}

Variant MainSystemSession::GetLockedObjects(Args&, RdcCallContext&) {
  return store_.Read([&](SqliteDb& db) {
    Statement st(db, std::string(kVersionSelect) + " AND v.lock_id = ?4 AND ?4 <> 0 ORDER BY v.id");
    st.BindAll(who_.userId, who_.isAdmin, who_.dbId, static_cast<int64_t>(checkOut_));
    return Packet(QueryDataset(st, kVersionColumns));
  });
}

}  // namespace brevalon::appserver
