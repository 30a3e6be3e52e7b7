#include "appserver/sqlite.h"

#include <sqlite3.h>

#include <limits>

namespace brevalon::appserver {

SqliteDb::SqliteDb(const std::filesystem::path& path) {
  int rc = sqlite3_open_v2(path.c_str(), &db_,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw ESqliteException("cannot open database " + path.string() + ": " + msg);
  }
  sqlite3_extended_result_codes(db_, 1);
  // Another process holding the file briefly (a backup, the sqlite3 shell)
  // should delay us rather than fail the call.
  sqlite3_busy_timeout(db_, 5000);
}

SqliteDb::~SqliteDb() {
  for (auto& [text, idle] : cache_) {
    for (sqlite3_stmt* stmt : idle) sqlite3_finalize(stmt);
  }
  sqlite3_close_v2(db_);
}

sqlite3_stmt* SqliteDb::Acquire(std::string_view sql, std::vector<sqlite3_stmt*>*& idle) {
  auto it = cache_.find(std::string(sql));
  if (it == cache_.end() && cache_.size() < kMaxCachedTexts) it = cache_.try_emplace(std::string(sql)).first;
  idle = it == cache_.end() ? nullptr : &it->second;
  if (idle && !idle->empty()) {
    sqlite3_stmt* stmt = idle->back();
    idle->pop_back();
    return stmt;
  }
  sqlite3_stmt* stmt = nullptr;
  const unsigned flags = idle ? SQLITE_PREPARE_PERSISTENT : 0;
  if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), flags, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    Fail("prepare failed for \"" + std::string(sql) + "\"");
  }
  return stmt;
}

void SqliteDb::Release(sqlite3_stmt* stmt, std::vector<sqlite3_stmt*>* idle) {
  if (!idle) {
    sqlite3_finalize(stmt);
    return;
  }
  // Ends a statement left in the middle of its rows (releasing its read
  // lock) and drops the values bound to it.
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  idle->push_back(stmt);
}

void SqliteDb::Fail(std::string_view what) const {
  throw ESqliteException(std::string(what) + ": " + sqlite3_errmsg(db_));
}

void SqliteDb::Exec(std::string_view sql) {
  std::string text(sql);
  char* err = nullptr;
  if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "unknown error";
    sqlite3_free(err);
    throw ESqliteException("SQL failed: " + msg);
  }
}

int64_t SqliteDb::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }
int SqliteDb::Changes() const { return sqlite3_changes(db_); }

std::optional<int64_t> SqliteDb::QueryInt(std::string_view sql) {
  Statement st(*this, sql);
  if (!st.Step() || st.IsNull(0)) return std::nullopt;
  return st.Int64(0);
}

Statement::Statement(SqliteDb& db, std::string_view sql) : db_(db) { stmt_ = db.Acquire(sql, idle_); }

Statement::~Statement() { db_.Release(stmt_, idle_); }

Statement& Statement::Bind(int index, int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) db_.Fail("bind failed");
  return *this;
}

Statement& Statement::Bind(int index, double value) {
  if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) db_.Fail("bind failed");
  return *this;
}

Statement& Statement::Bind(int index, std::string_view value) {
  if (sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8) != SQLITE_OK)
    db_.Fail("bind failed");
  return *this;
}

Statement& Statement::BindBlob(int index, std::span<const uint8_t> value) {
  // A zero-length blob must still be a blob, not NULL.
  static const uint8_t kEmpty = 0;
  const void* data = value.empty() ? &kEmpty : value.data();
  if (sqlite3_bind_blob64(stmt_, index, data, value.size(), SQLITE_TRANSIENT) != SQLITE_OK)
    db_.Fail("bind failed");
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) db_.Fail("bind failed");
  return *this;
}

bool Statement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.Fail("statement failed");
}

void Statement::Run() {
  while (Step()) {
  }
}

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

bool Statement::IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
int64_t Statement::Int64(int col) const { return sqlite3_column_int64(stmt_, col); }

int32_t Statement::Int(int col) const {
  int64_t v = sqlite3_column_int64(stmt_, col);
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    throw ESqliteException("stored value does not fit a 32-bit integer");
  return static_cast<int32_t>(v);
}

double Statement::Double(int col) const { return sqlite3_column_double(stmt_, col); }

std::string Statement::Text(int col) const {
  const unsigned char* p = sqlite3_column_text(stmt_, col);
  int n = sqlite3_column_bytes(stmt_, col);
  return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

std::vector<uint8_t> Statement::Blob(int col) const {
  const void* p = sqlite3_column_blob(stmt_, col);
  int n = sqlite3_column_bytes(stmt_, col);
  if (!p || n <= 0) return {};
  const auto* b = static_cast<const uint8_t*>(p);
  return std::vector<uint8_t>(b, b + n);
}

Transaction::Transaction(SqliteDb& db, bool write) : db_(db) {
  Statement(db_, write ? "BEGIN IMMEDIATE" : "BEGIN").Run();
}

Transaction::~Transaction() {
  if (open_) {
    try {
      db_.Exec("ROLLBACK");
    } catch (...) {
      // The transaction is gone either way; nothing more to do here.
    }
  }
}

void Transaction::Commit() {
  Statement(db_, "COMMIT").Run();
  open_ = false;
}

}  // namespace brevalon::appserver
