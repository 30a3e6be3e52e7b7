// Seed loading: turns the JSON seed (docs/appserver.md) into rows, inside
// one write transaction, refusing anything it does not understand.
#include <boost/json.hpp>

#include <initializer_list>
#include <map>
#include <set>

#include "appserver/store.h"
#include "appserver/text_util.h"

namespace brevalon::appserver {

namespace {

namespace json = boost::json;

// Checked access to one JSON object of the seed; `where` names it in
// messages ("database demo, user petrov").
class Obj {
 public:
  Obj(const json::value& v, std::string where, std::initializer_list<std::string_view> allowed)
      : where_(std::move(where)) {
    if (!v.is_object()) Fail("must be an object");
    obj_ = &v.as_object();
    for (const auto& kv : *obj_) {
      bool known = false;
      for (auto a : allowed) known = known || kv.key() == a;
      if (!known) Fail("has an unknown member \"" + std::string(kv.key()) + "\"");
    }
  }

  [[noreturn]] void Fail(const std::string& what) const { throw ESeedException("seed: " + where_ + " " + what); }
  const std::string& Where() const { return where_; }

  const json::value* Get(std::string_view key) const {
    auto it = obj_->find(key);
    return it == obj_->end() || it->value().is_null() ? nullptr : &it->value();
  }

  std::string Text(std::string_view key, bool required = false, std::string def = {}) const {
    const json::value* v = Get(key);
    if (!v) {
      if (required) Fail("needs \"" + std::string(key) + "\"");
      return def;
    }
    if (!v->is_string()) Fail("\"" + std::string(key) + "\" must be a text");
    return std::string(v->as_string());
  }

  int64_t Int(std::string_view key, int64_t def, int64_t lo, int64_t hi) const {
    const json::value* v = Get(key);
    if (!v) return def;
    if (!v->is_int64() && !v->is_uint64()) Fail("\"" + std::string(key) + "\" must be an integer");
    int64_t n = v->is_int64() ? v->as_int64() : static_cast<int64_t>(std::min<uint64_t>(v->as_uint64(), INT64_MAX));
    if (n < lo || n > hi) Fail("\"" + std::string(key) + "\" is out of range");
    return n;
  }

  bool Bool(std::string_view key, bool def = false) const {
    const json::value* v = Get(key);
    if (!v) return def;
    if (!v->is_bool()) Fail("\"" + std::string(key) + "\" must be true or false");
    return v->as_bool();
  }

  double Date(std::string_view key) const {
    std::string t = Text(key);
    if (t.empty()) return 0.0;
    auto d = ParseDateTime(t);
    if (!d) Fail("\"" + std::string(key) + "\" is not a date: " + t);
    return *d;
  }

  const json::array& Array(std::string_view key) const {
    static const json::array kEmpty;
    const json::value* v = Get(key);
    if (!v) return kEmpty;
    if (!v->is_array()) Fail("\"" + std::string(key) + "\" must be an array");
    return v->as_array();
  }

  const json::object* Object(std::string_view key) const {
    const json::value* v = Get(key);
    if (!v) return nullptr;
    if (!v->is_object()) Fail("\"" + std::string(key) + "\" must be an object");
    return &v->as_object();
  }

 private:
  const json::object* obj_ = nullptr;
  std::string where_;
};

std::string TextOf(const json::value& v, const std::string& where) {
  if (!v.is_string()) throw ESeedException("seed: " + where + " must be a text");
  return std::string(v.as_string());
}

// Base64 decoding of file contents in a seed; refuses anything malformed.
std::vector<uint8_t> DecodeBase64(std::string_view text, const Obj& where) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int bits = 0;
  size_t pad = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == ' ') continue;
    if (c == '=') {
      ++pad;
      continue;
    }
    int v = value(c);
    if (v < 0 || pad) where.Fail("has invalid Base64 content");
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
    }
  }
  if (pad > 2) where.Fail("has invalid Base64 padding");
  return out;
}

class SeedLoader {
 public:
  SeedLoader(SqliteDb& db, double now) : db_(db), now_(now) {}

  void Load(const json::value& seed) {
    Obj root(seed, "root", {"databases"});
    for (const auto& d : root.Array("databases")) LoadDatabase(d);
  }

 private:
  struct DocRef {
    int64_t versionId = 0;
    int64_t objectId = 0;
  };

  void LoadDatabase(const json::value& v) {
    Obj d(v, "database", {"name", "search_report", "properties", "types", "states", "attributes", "users",
                          "departments", "documents", "auto_operations", "processes"});
    std::string name = d.Text("name", true);
    if (name.empty()) d.Fail("needs a non-empty \"name\"");
    if (model::FindDatabase(db_, name) != 0) d.Fail("\"" + name + "\" already exists in the file");
    dbId_ = model::CreateDatabase(db_, name, d.Bool("search_report"));
    where_ = "database " + name + ",";
    users_.clear();
    roles_.clear();
    types_.clear();
    states_.clear();
    attrs_.clear();
    docs_.clear();
    roles_[std::string(model::kEveryone)] = model::EveryoneRole(db_, dbId_);

    if (const json::object* props = d.Object("properties")) {
      for (const auto& kv : *props)
        Statement(db_, "INSERT INTO db_properties(db_id, name, value) VALUES(?, ?, ?)")
            .BindAll(dbId_, std::string_view(kv.key()), TextOf(kv.value(), where_ + " property " + std::string(kv.key())))
            .Run();
    }
    for (const auto& t : d.Array("types")) {
      Obj o(t, where_ + " type", {"name", "document"});
      std::string tn = o.Text("name", true);
      if (types_.count(tn)) o.Fail("\"" + tn + "\" is declared twice");
      Statement(db_, "INSERT INTO types(db_id, name, is_document) VALUES(?, ?, ?)")
          .BindAll(dbId_, tn, o.Bool("document"))
          .Run();
      types_[tn] = db_.LastInsertId();
    }
    for (const auto& s : d.Array("states")) {
      std::string sn = TextOf(s, where_ + " state");
      if (states_.count(sn)) throw ESeedException("seed: " + where_ + " state \"" + sn + "\" is declared twice");
      Statement(db_, "INSERT INTO states(db_id, name) VALUES(?, ?)").BindAll(dbId_, sn).Run();
      states_[sn] = db_.LastInsertId();
    }
    int titleOrder = 0;
    for (const auto& a : d.Array("attributes")) {
      Obj o(a, where_ + " attribute", {"name", "type", "title"});
      std::string an = o.Text("name", true);
      if (attrs_.count(an)) o.Fail("\"" + an + "\" is declared twice");
      Statement st(db_, "INSERT INTO attributes(db_id, name, attr_type, title_order) VALUES(?, ?, ?, ?)");
      st.BindAll(dbId_, an, o.Int("type", 0, 0, 99));
      if (o.Bool("title"))
        st.Bind(4, ++titleOrder);
      else
        st.BindNull(4);
      st.Run();
      attrs_[an] = db_.LastInsertId();
    }
    for (const auto& u : d.Array("users")) {
      Obj o(u, where_ + " user", {"login", "full_name", "password", "admin", "os_identity"});
      std::string login = o.Text("login", true);
      if (login.empty()) o.Fail("needs a non-empty \"login\"");
      for (const auto& [known, id] : users_)
        if (EqualsNoCase(known, login)) o.Fail("\"" + login + "\" is declared twice");
      users_[login] = model::CreateUser(db_, dbId_, login, o.Text("full_name", false, login), o.Text("password"),
                                        o.Bool("admin"), o.Text("os_identity"), now_);
    }
    for (const auto& dep : d.Array("departments")) LoadDepartment(dep);
    for (const auto& doc : d.Array("documents")) LoadDocument(doc);
    for (const auto& doc : d.Array("documents")) LoadComposition(doc);
    for (const auto& op : d.Array("auto_operations")) {
      Obj o(op, where_ + " auto-operation", {"name", "type", "access", "system", "script"});
      Statement(db_,
                "INSERT INTO auto_operations(db_id, name, op_type, is_access, is_system, script) "
                "VALUES(?, ?, ?, ?, ?, ?)")
          .BindAll(dbId_, o.Text("name", true), o.Int("type", 1, INT32_MIN, INT32_MAX), o.Bool("access", true),
                   o.Bool("system"), o.Text("script"))
          .Run();
    }
    for (const auto& p : d.Array("processes")) LoadProcess(p);
  }

  void LoadDepartment(const json::value& v) {
    Obj o(v, where_ + " department", {"name", "roles"});
    Statement(db_, "INSERT INTO principals(db_id, kind, name, parent_id) VALUES(?, 'D', ?, 0)")
        .BindAll(dbId_, o.Text("name", true))
        .Run();
    int64_t depId = db_.LastInsertId();
    for (const auto& r : o.Array("roles")) {
      Obj ro(r, where_ + " role", {"name", "members"});
      std::string rn = ro.Text("name", true);
      if (roles_.count(rn)) ro.Fail("\"" + rn + "\" is declared twice (role names are unique)");
      Statement(db_, "INSERT INTO principals(db_id, kind, name, parent_id) VALUES(?, 'R', ?, ?)")
          .BindAll(dbId_, rn, depId)
          .Run();
      int64_t roleId = db_.LastInsertId();
      roles_[rn] = roleId;
      for (const auto& m : ro.Array("members")) {
        int64_t uid = User(TextOf(m, where_ + " member of " + rn), ro);
        Statement(db_, "INSERT OR IGNORE INTO memberships(user_id, role_id) VALUES(?, ?)").BindAll(uid, roleId).Run();
      }
    }
  }

  int64_t User(const std::string& login, const Obj& o) const {
    auto it = users_.find(login);
    if (it == users_.end()) o.Fail("names the unknown user \"" + login + "\"");
    return it->second;
  }
  int64_t Lookup(const std::map<std::string, int64_t>& m, const std::string& name, const char* what,
                 const Obj& o) const {
    auto it = m.find(name);
    if (it == m.end()) o.Fail(std::string("names the unknown ") + what + " \"" + name + "\"");
    return it->second;
  }

  void LoadDocument(const json::value& v) {
    Obj o(v, where_ + " document",
          {"key", "type", "product", "version", "state", "attributes", "files", "grants", "composed_of"});
    std::string key = o.Text("key", true);
    if (docs_.count(key)) o.Fail("key \"" + key + "\" is used twice");
    int64_t typeId = Lookup(types_, o.Text("type", true), "type", o);
    std::string product = o.Text("product", true);
    int64_t objectId = 0;
    {
      Statement st(db_, "SELECT id FROM objects WHERE type_id = ? AND product = ?");
      st.BindAll(typeId, product);
      if (st.Step()) objectId = st.Int64(0);
    }
    if (objectId == 0) {
      Statement(db_, "INSERT INTO objects(db_id, type_id, product) VALUES(?, ?, ?)")
          .BindAll(dbId_, typeId, product)
          .Run();
      objectId = db_.LastInsertId();
    }
    std::string stateName = o.Text("state");
    int64_t stateId = stateName.empty() ? 0 : Lookup(states_, stateName, "state", o);
    Statement(db_, "INSERT INTO versions(object_id, version, state_id, created) VALUES(?, ?, ?, ?)")
        .BindAll(objectId, o.Text("version", false, "1"), stateId, now_)
        .Run();
    int64_t versionId = db_.LastInsertId();
    docs_[key] = DocRef{versionId, objectId};

    if (const json::object* attrs = o.Object("attributes")) {
      for (const auto& kv : *attrs) {
        int64_t attrId = Lookup(attrs_, std::string(kv.key()), "attribute", o);
        Statement(db_, "INSERT INTO attr_values(version_id, attr_id, value) VALUES(?, ?, ?)")
            .BindAll(versionId, attrId, TextOf(kv.value(), o.Where() + " attribute " + std::string(kv.key())))
            .Run();
      }
    }
    for (const auto& f : o.Array("files")) {
      Obj fo(f, o.Where() + " " + key + " file", {"name", "text", "base64", "date"});
      std::string fname = fo.Text("name", true);
      if (fname.empty() || fname.find('/') != std::string::npos) fo.Fail("needs a plain file name");
      std::vector<uint8_t> content;
      if (fo.Get("base64")) {
        content = DecodeBase64(fo.Text("base64"), fo);
      } else {
        std::string t = fo.Text("text");
        content.assign(t.begin(), t.end());
      }
      double date = fo.Date("date");
      if (date == 0.0) date = now_;
      InsertFile(versionId, fname, content, date);
    }
    if (const json::object* grants = o.Object("grants")) {
      // "*" grants every user of the database; a named user's grant wins.
      for (int pass = 0; pass < 2; ++pass) {
        for (const auto& kv : *grants) {
          bool everybody = kv.key() == "*";
          if (everybody != (pass == 0)) continue;
          if (!kv.value().is_int64() || kv.value().as_int64() < 0 || kv.value().as_int64() > 3)
            o.Fail("grant levels are 0 to 3");
          std::vector<int64_t> ids;
          if (everybody) {
            for (const auto& [login, id] : users_) ids.push_back(id);
          } else {
            ids.push_back(User(std::string(kv.key()), o));
          }
          for (int64_t uid : ids)
            Statement(db_, "INSERT OR REPLACE INTO grants(version_id, user_id, level) VALUES(?, ?, ?)")
                .BindAll(versionId, uid, kv.value().as_int64())
                .Run();
        }
      }
    }
  }

  void InsertFile(int64_t versionId, const std::string& name, const std::vector<uint8_t>& content, double date) {
    // The stored name needs the file id, which exists only after the insert.
    Statement(db_,
              "INSERT INTO files(version_id, name, local_name, created, modified, size, crc, content) "
              "VALUES(?, ?, hex(randomblob(16)), ?, ?, ?, ?, ?)")
        .BindAll(versionId, name, date, date, static_cast<int64_t>(content.size()), static_cast<int64_t>(Crc32(content)))
        .BindBlob(7, content)
        .Run();
    int64_t fileId = db_.LastInsertId();
    Statement(db_, "UPDATE files SET local_name = ? WHERE id = ?")
        .BindAll(std::to_string(fileId) + "_" + name, fileId)
        .Run();
  }

  void LoadComposition(const json::value& v) {
    Obj o(v, where_ + " document",
          {"key", "type", "product", "version", "state", "attributes", "files", "grants", "composed_of"});
    const DocRef& parent = docs_.at(o.Text("key", true));
    for (const auto& c : o.Array("composed_of")) {
      std::string ck = TextOf(c, o.Where() + " composed_of");
      auto it = docs_.find(ck);
      if (it == docs_.end()) o.Fail("is composed of the unknown document \"" + ck + "\"");
      if (it->second.versionId == parent.versionId) o.Fail("cannot be composed of itself");
      Statement(db_, "INSERT INTO links(parent_id, child_id, link_type, quantity) VALUES(?, ?, ?, 1)")
          .BindAll(parent.versionId, it->second.versionId, model::kCompositionLink)
          .Run();
    }
  }

  int64_t FinishOperation() {
    Statement st(db_, "SELECT id FROM auto_operations WHERE db_id = ? AND name = ? ORDER BY id LIMIT 1");
    st.BindAll(dbId_, model::kFinishOperation);
    if (st.Step()) return st.Int64(0);
    Statement(db_,
              "INSERT INTO auto_operations(db_id, name, op_type, is_access, is_system, script) "
              "VALUES(?, ?, 1, 1, 1, 'FinishProcess')")
        .BindAll(dbId_, model::kFinishOperation)
        .Run();
    return db_.LastInsertId();
  }

  void LoadProcess(const json::value& v) {
    Obj o(v, where_ + " process",
          {"name", "title", "owner", "state", "date_start", "document", "attachments", "stages", "finish", "letters"});
    std::string name = o.Text("name");
    if (name.empty()) {
      std::string title = o.Text("title", true);
      name = "{0200000000}" + title;
    }
    int64_t owner = User(o.Text("owner", true), o);
    int64_t state = o.Int("state", 0, 0, 3);
    int64_t pdm = 0;
    std::string docKey = o.Text("document");
    if (!docKey.empty()) pdm = DocOf(docKey, o).versionId;
    Statement(db_,
              "INSERT INTO routes(db_id, name, owner_id, state, date_start, pdm_id, created) "
              "VALUES(?, ?, ?, ?, ?, ?, ?)")
        .BindAll(dbId_, name, owner, state, o.Date("date_start"), pdm, now_)
        .Run();
    int64_t routeId = db_.LastInsertId();
    int seq = 0;
    for (const auto& a : o.Array("attachments")) {
      const DocRef& doc = DocOf(TextOf(a, o.Where() + " attachment"), o);
      Statement(db_, "INSERT OR IGNORE INTO route_documents(route_id, pdm_object_id, seq) VALUES(?, ?, ?)")
          .BindAll(routeId, doc.versionId, ++seq)
          .Run();
    }

    std::map<std::string, int64_t> stageKeys;
    std::vector<std::pair<int64_t, std::string>> returns;
    int64_t prev = 0, first = 0;
    auto link = [&](int64_t from, int64_t to, int kind) {
      Statement(db_, "INSERT INTO route_links(route_id, from_item, to_item, kind) VALUES(?, ?, ?, ?)")
          .BindAll(routeId, from, to, kind)
          .Run();
    };
    for (const auto& s : o.Array("stages")) {
      Obj so(s, o.Where() + " stage", {"key", "task", "executor", "role", "state", "date_plan", "returns_to"});
      int64_t st = so.Int("state", 0, 0, 6);
      if (st == 1 || st == 5) so.Fail("\"state\" must be 0, 2, 3, 4 or 6");
      std::string roleName = so.Text("role", false, std::string(model::kEveryone));
      int64_t roleId = Lookup(roles_, roleName, "role", so);
      int64_t executor = User(so.Text("executor", true), so);
      Statement(db_,
                "INSERT INTO route_items(route_id, item_type, state, task, role_id, user_id, date_plan, can_control, "
                "date_start, date_end) VALUES(?, 1, ?, ?, ?, ?, ?, 1, ?, ?)")
          .BindAll(routeId, st, so.Text("task"), roleId, executor, so.Date("date_plan"), st >= 2 ? now_ : 0.0,
                   st == 4 || st == 6 ? now_ : 0.0)
          .Run();
      int64_t id = db_.LastInsertId();
      std::string key = so.Text("key");
      if (!key.empty()) stageKeys[key] = id;
      std::string ret = so.Text("returns_to");
      if (!ret.empty()) returns.emplace_back(id, ret);
      if (prev) link(prev, id, 0);
      if (!first) first = id;
      prev = id;
    }
    if (o.Bool("finish")) {
      Statement(db_, "INSERT INTO route_items(route_id, item_type, state, auto_op_id) VALUES(?, 2, ?, ?)")
          .BindAll(routeId, state == 3 ? 4 : 0, FinishOperation())
          .Run();
      int64_t id = db_.LastInsertId();
      if (prev) link(prev, id, 0);
      if (!first) first = id;
    }
    for (const auto& [from, key] : returns) {
      auto it = stageKeys.find(key);
      if (it == stageKeys.end()) o.Fail("returns to the unknown stage \"" + key + "\"");
      link(from, it->second, 1);
    }
    Statement(db_, "UPDATE routes SET first_item = ? WHERE id = ?").BindAll(first, routeId).Run();

    for (const auto& l : o.Array("letters")) {
      Obj lo(l, o.Where() + " letter", {"from", "to", "subject", "body", "date", "read"});
      double date = lo.Date("date");
      Statement(db_,
                "INSERT INTO letters(route_id, author_id, recipient_id, subject, body, date_send, is_read) "
                "VALUES(?, ?, ?, ?, ?, ?, ?)")
          .BindAll(routeId, User(lo.Text("from", true), lo), User(lo.Text("to", true), lo), lo.Text("subject"),
                   lo.Text("body"), date == 0.0 ? now_ : date, lo.Bool("read"))
          .Run();
    }
  }

  const DocRef& DocOf(const std::string& key, const Obj& o) const {
    auto it = docs_.find(key);
    if (it == docs_.end()) o.Fail("names the unknown document \"" + key + "\"");
    return it->second;
  }

  SqliteDb& db_;
  double now_;
  int64_t dbId_ = 0;
  std::string where_;
  std::map<std::string, int64_t> users_, roles_, types_, states_, attrs_;
  std::map<std::string, DocRef> docs_;
};

}  // namespace

void Store::LoadSeed(const boost::json::value& seed) {
  double now = Now();
  Write([&](SqliteDb& db) { SeedLoader(db, now).Load(seed); });
}

}  // namespace brevalon::appserver
