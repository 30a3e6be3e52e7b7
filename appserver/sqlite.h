// Thin RAII layer over the SQLite C API for the reference application
// servers: a connection (SqliteDb) and prepared statements (Statement) with
// typed binding and column reads. Every failure raises ESqliteException with
// SQLite's own message.
//
// Not synchronised: a connection and its statements belong to one thread at a
// time (the Store serialises access with its mutex).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "util/exception.h"

struct sqlite3;
struct sqlite3_stmt;

namespace brevalon::appserver {

class ESqliteException : public Exception {
 public:
  using Exception::Exception;
};

class SqliteDb;

// One prepared statement. Bind parameters are 1-based, columns 0-based (as
// in SQLite). Step() returns true while a row is available. The compiled
// form comes from the connection's cache and goes back to it, reset, when
// the Statement is destroyed.
class Statement {
 public:
  Statement(SqliteDb& db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, int32_t value) { return Bind(index, static_cast<int64_t>(value)); }
  Statement& Bind(int index, bool value) { return Bind(index, static_cast<int64_t>(value ? 1 : 0)); }
  Statement& Bind(int index, double value);
  Statement& Bind(int index, std::string_view value);
  Statement& Bind(int index, const char* value) { return Bind(index, std::string_view(value)); }
  Statement& Bind(int index, const std::string& value) { return Bind(index, std::string_view(value)); }
  Statement& BindBlob(int index, std::span<const uint8_t> value);
  Statement& BindNull(int index);

  // Binds each value in order from parameter 1.
  template <typename... T>
  Statement& BindAll(const T&... values) {
    int i = 0;
    (Bind(++i, values), ...);
    return *this;
  }

  bool Step();
  // Steps a statement that yields no row (INSERT, UPDATE, DELETE, DDL).
  void Run();
  void Reset();

  bool IsNull(int col) const;
  int64_t Int64(int col) const;
  int32_t Int(int col) const;  // raises when the value does not fit 32 bits
  double Double(int col) const;
  std::string Text(int col) const;
  std::vector<uint8_t> Blob(int col) const;

 private:
  SqliteDb& db_;
  sqlite3_stmt* stmt_ = nullptr;
  std::vector<sqlite3_stmt*>* idle_ = nullptr;  // where it returns to; null: not cached
};

class SqliteDb {
 public:
  // Opens (creating when missing) the file; raises ESqliteException.
  explicit SqliteDb(const std::filesystem::path& path);
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  // Runs one or more statements without results.
  void Exec(std::string_view sql);
  int64_t LastInsertId() const;
  int Changes() const;
  // Convenience: first column of the first row, or nullopt without a row.
  std::optional<int64_t> QueryInt(std::string_view sql);

  sqlite3* Handle() const { return db_; }
  [[noreturn]] void Fail(std::string_view what) const;

 private:
  friend class Statement;

  // Compiling a statement costs more than running most of ours, so each
  // compiled text is kept for the next use. Statements built from varying
  // text (search conditions) would grow the cache without end; past
  // kMaxCachedTexts distinct texts new ones are compiled for one use only.
  static constexpr std::size_t kMaxCachedTexts = 256;
  // A compiled statement for `sql`, and the idle list it returns to (null
  // when it is not to be kept).
  sqlite3_stmt* Acquire(std::string_view sql, std::vector<sqlite3_stmt*>*& idle);
  void Release(sqlite3_stmt* stmt, std::vector<sqlite3_stmt*>* idle);

  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, std::vector<sqlite3_stmt*>> cache_;  // by text: idle statements
};

// BEGIN IMMEDIATE (writer) or BEGIN (reader) ... COMMIT; rolls back when
// destroyed without Commit().
class Transaction {
 public:
  Transaction(SqliteDb& db, bool write);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  SqliteDb& db_;
  bool open_ = true;
};

}  // namespace brevalon::appserver
