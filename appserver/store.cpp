#include "appserver/store.h"

#include <boost/json/parse.hpp>
#include <sqlite3.h>

#include <fstream>
#include <random>
#include <sstream>

#include "appserver/text_util.h"

namespace brevalon::appserver {

namespace {

constexpr int kSchemaVersion = 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE databases(
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  search_report INTEGER NOT NULL DEFAULT 0);
CREATE TABLE db_properties(
  db_id INTEGER NOT NULL REFERENCES databases(id),
  name TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY(db_id, name));
CREATE TABLE principals(
  id INTEGER PRIMARY KEY,
  db_id INTEGER NOT NULL REFERENCES databases(id),
  kind TEXT NOT NULL CHECK(kind IN ('D','R','U')),
  name TEXT NOT NULL,
  full_name TEXT NOT NULL DEFAULT '',
  parent_id INTEGER NOT NULL DEFAULT 0,
  password_salt TEXT NOT NULL DEFAULT '',
  password_hash TEXT NOT NULL DEFAULT '',
  is_admin INTEGER NOT NULL DEFAULT 0,
  os_identity TEXT NOT NULL DEFAULT '');
CREATE UNIQUE INDEX principals_login ON principals(db_id, name COLLATE NOCASE) WHERE kind = 'U';
CREATE TABLE memberships(
  user_id INTEGER NOT NULL REFERENCES principals(id),
  role_id INTEGER NOT NULL REFERENCES principals(id),
  PRIMARY KEY(user_id, role_id));
CREATE TABLE types(
  id INTEGER PRIMARY KEY,
  db_id INTEGER NOT NULL REFERENCES databases(id),
  name TEXT NOT NULL,
  is_document INTEGER NOT NULL DEFAULT 0,
  UNIQUE(db_id, name));
CREATE TABLE states(
  id INTEGER PRIMARY KEY,
  db_id INTEGER NOT NULL REFERENCES databases(id),
  name TEXT NOT NULL,
  UNIQUE(db_id, name));
CREATE TABLE attributes(
  id INTEGER PRIMARY KEY,
  db_id INTEGER NOT NULL REFERENCES databases(id),
  name TEXT NOT NULL,
  attr_type INTEGER NOT NULL DEFAULT 0,
  title_order INTEGER,
  UNIQUE(db_id, name));
CREATE TABLE objects(
  id INTEGER PRIMARY KEY,
  db_id INTEGER NOT NULL REFERENCES databases(id),
  type_id INTEGER NOT NULL REFERENCES types(id),
  product TEXT NOT NULL,
  UNIQUE(type_id, product));
CREATE TABLE versions(
  id INTEGER PRIMARY KEY,
  object_id INTEGER NOT NULL REFERENCES objects(id),
  version TEXT NOT NULL,
  state_id INTEGER NOT NULL DEFAULT 0,
  lock_id INTEGER NOT NULL DEFAULT 0,
  created REAL NOT NULL DEFAULT 0,
  UNIQUE(object_id, version));
CREATE TABLE attr_values(
  version_id INTEGER NOT NULL REFERENCES versions(id),
  attr_id INTEGER NOT NULL REFERENCES attributes(id),
  value TEXT NOT NULL,
  PRIMARY KEY(version_id, attr_id));
CREATE TABLE grants(
  version_id INTEGER NOT NULL REFERENCES versions(id),
  user_id INTEGER NOT NULL REFERENCES principals(id),
  level INTEGER NOT NULL CHECK(level BETWEEN 0 AND 3),
  PRIMARY KEY(version_id, user_id));
CREATE TABLE links(
  id INTEGER PRIMARY KEY,
  parent_id INTEGER NOT NULL REFERENCES versions(id),
  child_id INTEGER NOT NULL REFERENCES versions(id),
  link_type TEXT NOT NULL,
  quantity REAL NOT NULL DEFAULT 1);
CREATE INDEX links_parent ON links(parent_id);
CREATE INDEX links_child ON links(child_id);
CREATE TABLE files(
  id INTEGER PRIMARY KEY,
  version_id INTEGER NOT NULL REFERENCES versions(id),
  name TEXT NOT NULL,
  local_name TEXT NOT NULL UNIQUE,
  created REAL NOT NULL DEFAULT 0,
  modified REAL NOT NULL DEFAULT 0,
  size INTEGER NOT NULL,
  crc INTEGER NOT NULL,
  content BLOB NOT NULL);
CREATE INDEX files_version ON files(version_id);
CREATE TABLE checkouts(
  id INTEGER PRIMARY KEY,
  db_id INTEGER NOT NULL REFERENCES databases(id),
  user_id INTEGER NOT NULL REFERENCES principals(id),
  created REAL NOT NULL DEFAULT 0);
CREATE TABLE reports(
  db_id INTEGER NOT NULL REFERENCES databases(id),
  name TEXT NOT NULL,
  PRIMARY KEY(db_id, name));
CREATE TABLE routes(
  id INTEGER PRIMARY KEY,
  db_id INTEGER NOT NULL REFERENCES databases(id),
  name TEXT NOT NULL,
  owner_id INTEGER NOT NULL,
  state INTEGER NOT NULL DEFAULT 0,
  date_start REAL NOT NULL DEFAULT 0,
  pdm_id INTEGER NOT NULL DEFAULT 0,
  first_item INTEGER NOT NULL DEFAULT 0,
  created REAL NOT NULL DEFAULT 0);
CREATE TABLE auto_operations(
  id INTEGER PRIMARY KEY,
  db_id INTEGER NOT NULL REFERENCES databases(id),
  name TEXT NOT NULL,
  op_type INTEGER NOT NULL DEFAULT 0,
  is_access INTEGER NOT NULL DEFAULT 0,
  is_system INTEGER NOT NULL DEFAULT 0,
  script TEXT NOT NULL DEFAULT '');
CREATE TABLE route_items(
  id INTEGER PRIMARY KEY,
  route_id INTEGER NOT NULL REFERENCES routes(id) ON DELETE CASCADE,
  item_type INTEGER NOT NULL,
  state INTEGER NOT NULL DEFAULT 0,
  task TEXT NOT NULL DEFAULT '',
  role_id INTEGER NOT NULL DEFAULT 0,
  user_id INTEGER NOT NULL DEFAULT 0,
  critical_term INTEGER NOT NULL DEFAULT 0,
  date_plan REAL NOT NULL DEFAULT 0,
  can_control INTEGER NOT NULL DEFAULT 0,
  active INTEGER NOT NULL DEFAULT 1,
  can_transform INTEGER NOT NULL DEFAULT 0,
  time_constraint INTEGER NOT NULL DEFAULT 0,
  from_bp_start INTEGER NOT NULL DEFAULT 0,
  auto_op_id INTEGER NOT NULL DEFAULT 0,
  is_wait INTEGER NOT NULL DEFAULT 0,
  variables TEXT NOT NULL DEFAULT '',
  date_start REAL NOT NULL DEFAULT 0,
  date_end REAL NOT NULL DEFAULT 0,
  note TEXT NOT NULL DEFAULT '');
CREATE INDEX route_items_route ON route_items(route_id);
CREATE INDEX route_items_user ON route_items(user_id);
CREATE TABLE route_links(
  id INTEGER PRIMARY KEY,
  route_id INTEGER NOT NULL REFERENCES routes(id) ON DELETE CASCADE,
  from_item INTEGER NOT NULL,
  to_item INTEGER NOT NULL,
  kind INTEGER NOT NULL,
  link_type INTEGER NOT NULL DEFAULT 0);
CREATE INDEX route_links_from ON route_links(from_item);
CREATE TABLE route_documents(
  route_id INTEGER NOT NULL REFERENCES routes(id) ON DELETE CASCADE,
  pdm_object_id INTEGER NOT NULL,
  par_id INTEGER NOT NULL DEFAULT 0,
  seq INTEGER NOT NULL,
  PRIMARY KEY(route_id, pdm_object_id));
CREATE TABLE route_variables(
  route_id INTEGER NOT NULL REFERENCES routes(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  value TEXT NOT NULL,
  read_only INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY(route_id, name));
CREATE TABLE letters(
  id INTEGER PRIMARY KEY,
  route_id INTEGER NOT NULL REFERENCES routes(id) ON DELETE CASCADE,
  author_id INTEGER NOT NULL,
  author_role INTEGER NOT NULL DEFAULT 0,
  recipient_id INTEGER NOT NULL,
  recipient_role INTEGER NOT NULL DEFAULT 0,
  subject TEXT NOT NULL,
  body TEXT NOT NULL,
  date_send REAL NOT NULL,
  is_read INTEGER NOT NULL DEFAULT 0);
CREATE INDEX letters_recipient ON letters(recipient_id, is_read);
CREATE INDEX letters_route ON letters(route_id);
)sql";

std::string RandomSalt() {
  std::random_device rd;
  std::string salt;
  static const char* kHex = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) salt += kHex[rd() % 16];
  return salt;
}

}  // namespace

Store::Store(const std::filesystem::path& file, Clock clock)
    : db_(file), clock_(clock ? std::move(clock) : Clock(NowDateTime)) {
  // WAL lets readers of other tools look at the file while we write; FULL
  // makes every answered change durable, also against a power cut.
  db_.Exec("PRAGMA journal_mode=WAL");
  db_.Exec("PRAGMA synchronous=FULL");
  db_.Exec("PRAGMA foreign_keys=ON");
  CreateSchema();
}

Store::~Store() {
  try {
    std::lock_guard lock(mutex_);
    db_.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  } catch (...) {
    // Closing still works; the WAL is replayed at the next open.
  }
}

std::pair<int64_t, int64_t> Store::ChangeStamp() {
  const auto now = steadyClock_ ? steadyClock_() : std::chrono::steady_clock::now();
  if (dataVersion_ < 0 || now - dataVersionRead_ >= externalInterval_) {
    Statement st(db_, "PRAGMA data_version");
    dataVersion_ = st.Step() ? st.Int64(0) : 0;
    dataVersionRead_ = now;
  }
  return {sqlite3_total_changes64(db_.Handle()), dataVersion_};
}

void Store::SetExternalChangeInterval(std::chrono::microseconds interval, SteadyClock clock) {
  std::lock_guard lock(mutex_);
  externalInterval_ = interval;
  steadyClock_ = std::move(clock);
  dataVersion_ = -1;
}

Variant Store::ReadCached(const std::string& key, const std::function<Variant(SqliteDb&)>& fn) {
  std::lock_guard lock(mutex_);
  if (!answerCacheOn_) {
    Transaction tx(db_, false);
    Variant answer = fn(db_);
    tx.Commit();
    return answer;
  }
  // The stamp is read in a transaction of its own, before the answer's: a
  // commit by another connection in between leaves an answer newer than its
  // stamp, which the next call's stamp then throws away.
  const auto stamp = ChangeStamp();
  if (stamp != answersStamp_) {
    answers_.clear();
    answerBytes_ = 0;
    answersStamp_ = stamp;
  }
  if (auto it = answers_.find(key); it != answers_.end()) return it->second;
  Transaction tx(db_, false);
  Variant answer = fn(db_);
  tx.Commit();
  const std::size_t bytes =
      key.size() + (answer.Type() == VariantType::ByteArray ? answer.AsBytes().size() : sizeof(Variant));
  if (answers_.size() >= kMaxCachedAnswers || answerBytes_ + bytes > kMaxCachedBytes) {
    answers_.clear();
    answerBytes_ = 0;
  }
  answers_.emplace(key, answer);
  answerBytes_ += bytes;
  return answer;
}

void Store::SetAnswerCache(bool on) {
  std::lock_guard lock(mutex_);
  answerCacheOn_ = on;
  answers_.clear();
  answerBytes_ = 0;
}

void Store::CreateSchema() {
  std::lock_guard lock(mutex_);
  Transaction tx(db_, true);
  int64_t version = db_.QueryInt("PRAGMA user_version").value_or(0);
  if (version == 0) {
    db_.Exec(kSchema);
    db_.Exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
  } else if (version != kSchemaVersion) {
    throw ESqliteException("the database file has schema version " + std::to_string(version) + ", expected " +
                           std::to_string(kSchemaVersion));
  }
  tx.Commit();
}

void Store::LoadSeedText(std::string_view json) {
  boost::system::error_code ec;
  boost::json::value v = boost::json::parse(json, ec);
  if (ec) throw ESeedException("the seed is not valid JSON: " + ec.message());
  LoadSeed(v);
}

void Store::LoadSeedFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ESeedException("cannot read the seed file " + file.string());
  std::ostringstream text;
  text << in.rdbuf();
  LoadSeedText(text.str());
}

namespace model {

int64_t CreateDatabase(SqliteDb& db, std::string_view name, bool searchReport) {
  Statement(db, "INSERT INTO databases(name, search_report) VALUES(?, ?)").BindAll(name, searchReport).Run();
  int64_t id = db.LastInsertId();
  if (searchReport) Statement(db, "INSERT INTO reports(db_id, name) VALUES(?, 'rep_SEARCH')").BindAll(id).Run();
  Statement(db, "INSERT INTO principals(db_id, kind, name, parent_id) VALUES(?, 'R', ?, 0)")
      .BindAll(id, kEveryone)
      .Run();
  return id;
}

int64_t FindDatabase(SqliteDb& db, std::string_view name) {
  Statement st(db, "SELECT id FROM databases WHERE name = ? COLLATE NOCASE");
  st.Bind(1, name);
  return st.Step() ? st.Int64(0) : 0;
}

int64_t EveryoneRole(SqliteDb& db, int64_t dbId) {
  Statement st(db, "SELECT id FROM principals WHERE db_id = ? AND kind = 'R' AND name = ? ORDER BY id LIMIT 1");
  st.BindAll(dbId, kEveryone);
  return st.Step() ? st.Int64(0) : 0;
}

int64_t CreateUser(SqliteDb& db, int64_t dbId, std::string_view login, std::string_view fullName,
                   std::string_view password, bool admin, std::string_view osIdentity, double now) {
  std::string salt = RandomSalt();
  Statement(db,
            "INSERT INTO principals(db_id, kind, name, full_name, password_salt, password_hash, is_admin, "
            "os_identity) VALUES(?, 'U', ?, ?, ?, ?, ?, ?)")
      .BindAll(dbId, login, fullName, salt, Sha256Hex(salt + std::string(password)), admin, osIdentity)
      .Run();
  int64_t userId = db.LastInsertId();
  int64_t everyone = EveryoneRole(db, dbId);
  Statement(db, "INSERT INTO memberships(user_id, role_id) VALUES(?, ?)").BindAll(userId, everyone).Run();

  Statement(db, "INSERT INTO routes(db_id, name, owner_id, state, date_start, created) VALUES(?, ?, ?, 1, ?, ?)")
      .BindAll(dbId, kCommonCorrespondence, userId, now, now)
      .Run();
  int64_t routeId = db.LastInsertId();
  Statement(db,
            "INSERT INTO route_items(route_id, item_type, state, task, role_id, user_id, date_start) "
            "VALUES(?, 1, 3, 'Переписка', ?, ?, ?)")
      .BindAll(routeId, everyone, userId, now)
      .Run();
  Statement(db, "UPDATE routes SET first_item = ? WHERE id = ?").BindAll(db.LastInsertId(), routeId).Run();
  return userId;
}

bool CheckPassword(SqliteDb& db, int64_t userId, std::string_view password) {
  Statement st(db, "SELECT password_salt, password_hash FROM principals WHERE id = ? AND kind = 'U'");
  st.Bind(1, userId);
  if (!st.Step()) return false;
  return Sha256Hex(st.Text(0) + std::string(password)) == st.Text(1);
}

}  // namespace model

}  // namespace brevalon::appserver
