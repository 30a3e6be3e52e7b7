// The SQLite store of the reference application servers: opens (or creates)
// the file with its schema in WAL mode, serialises every use of the one
// connection behind a mutex, runs each operation as one transaction, and
// loads seeds. The layout is described in docs/appserver.md.
//
// Owned by the program (or a test); shared by reference by every session of
// both server classes. Thread-safe: Read and Write may be called from any
// thread; the callback runs under the store's lock and must not call back
// into the store.
#pragma once

#include <atomic>
#include <boost/json/value.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "appserver/sqlite.h"
#include "data/variant.h"
#include "util/exception.h"

namespace brevalon::appserver {

// A seed that cannot be loaded (malformed JSON, unknown member, dangling
// reference, database already present). Nothing of it is stored.
class ESeedException : public Exception {
 public:
  using Exception::Exception;
};

class Store {
 public:
  // Day count since 1899-12-30 local time; injectable for tests.
  using Clock = std::function<double()>;

  explicit Store(const std::filesystem::path& file, Clock clock = {});
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Runs fn(SqliteDb&) inside a read transaction under the lock.
  template <typename F>
  auto Read(F&& fn) {
    std::lock_guard lock(mutex_);
    Transaction tx(db_, false);
    if constexpr (std::is_void_v<decltype(fn(db_))>) {
      fn(db_);
      tx.Commit();
    } else {
      auto result = fn(db_);
      tx.Commit();
      return result;
    }
  }

  // Runs fn(SqliteDb&) inside a write transaction under the lock; a failure
  // thrown by fn rolls everything back.
  template <typename F>
  auto Write(F&& fn) {
    std::lock_guard lock(mutex_);
    Transaction tx(db_, true);
    if constexpr (std::is_void_v<decltype(fn(db_))>) {
      fn(db_);
      tx.Commit();
    } else {
      auto result = fn(db_);
      tx.Commit();
      return result;
    }
  }

  // Runs fn(SqliteDb&) as Read does and keeps its answer for the next call
  // with the same key for as long as the database stays unchanged: no row
  // changed through this store, and no other connection (the sqlite3 shell,
  // a backup) committed since. For the list reads a phone repeats with
  // nothing changed in between. `key` must name the operation and every
  // input its answer depends on (database, signed-in user, arguments). A
  // failure is not kept.
  //
  // A change through this store is seen by the very next call. Another
  // connection's commit is looked for (a read transaction of its own, with
  // two file locks) at most once per external-change interval, so it is seen
  // by calls that start up to that long after it: the calls of one batch and
  // of many busy sessions share one look.
  Variant ReadCached(const std::string& key, const std::function<Variant(SqliteDb&)>& fn);
  // The answer cache is on by default; off, ReadCached is Read.
  void SetAnswerCache(bool on);
  // How often ReadCached looks for other connections' commits (default
  // kExternalChangeInterval; zero: at every call), and the clock it measures
  // that by (tests inject one).
  using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr std::chrono::microseconds kExternalChangeInterval{2000};
  void SetExternalChangeInterval(std::chrono::microseconds interval, SteadyClock clock = {});

  double Now() const { return clock_(); }

  // Loads a seed (format in docs/appserver.md) in one transaction.
  void LoadSeed(const boost::json::value& seed);
  void LoadSeedText(std::string_view json);
  void LoadSeedFile(const std::filesystem::path& file);

  // What the main-system server last received as a search query, per form,
  // exactly as sent: the parameter text of "GetReport" and the XML of
  // "FindObjectsInContext2". Kept for inspection (tests, diagnostics); empty
  // until the first search of that form.
  struct SearchInputs {
    std::string reportParams;
    std::string searchXml;
  };
  void RecordReportParams(std::string text) {
    std::lock_guard lock(inspectMutex_);
    lastSearch_.reportParams = std::move(text);
  }
  void RecordSearchXml(std::string text) {
    std::lock_guard lock(inspectMutex_);
    lastSearch_.searchXml = std::move(text);
  }
  SearchInputs LastSearchInputs() const {
    std::lock_guard lock(inspectMutex_);
    return lastSearch_;
  }

  // Main-system sign-ins asked for, and those refused (for tests and the
  // operator: how many guesses reached the server).
  struct SignInCounts {
    uint64_t Asked = 0;
    uint64_t Refused = 0;
  };
  void CountSignIn(bool refused) {
    ++signInsAsked_;
    if (refused) ++signInsRefused_;
  }
  SignInCounts SignIns() const { return {signInsAsked_.load(), signInsRefused_.load()}; }

 private:
  void CreateSchema();
  // What changes whenever the database does: rows changed through db_, and
  // SQLite's data version, which moves when another connection commits (read
  // anew only once the external-change interval has passed).
  std::pair<int64_t, int64_t> ChangeStamp();

  // Bounds of the answer cache; past either it starts again empty.
  static constexpr std::size_t kMaxCachedAnswers = 4096;
  static constexpr std::size_t kMaxCachedBytes = std::size_t{64} << 20;

  std::atomic<uint64_t> signInsAsked_{0};
  std::atomic<uint64_t> signInsRefused_{0};
  std::mutex mutex_;                 // guards db_, every statement on it and the answer cache
  bool answerCacheOn_ = true;
  std::pair<int64_t, int64_t> answersStamp_{-1, -1};  // the database the cached answers were read from
  std::unordered_map<std::string, Variant> answers_;
  std::size_t answerBytes_ = 0;
  std::chrono::microseconds externalInterval_ = kExternalChangeInterval;
  SteadyClock steadyClock_;
  int64_t dataVersion_ = -1;                                      // as last read
  std::chrono::steady_clock::time_point dataVersionRead_{};       // when
  mutable std::mutex inspectMutex_;  // guards lastSearch_ only
  SearchInputs lastSearch_;
  SqliteDb db_;
  Clock clock_;
};

// Operations on the model that several places share (seed loading, the
// server sessions). They run inside the caller's transaction.
namespace model {

// Principal kinds as stored.
inline constexpr const char* kDepartment = "D";
inline constexpr const char* kRole = "R";
inline constexpr const char* kUser = "U";

inline constexpr std::string_view kEveryone = "everyone";
inline constexpr std::string_view kCommonCorrespondence = "Общая переписка";
inline constexpr std::string_view kFinishOperation = "Закончить процесс";
inline constexpr std::string_view kCompositionLink = "состоит из...";

// Item types and the process states (see docs/appserver.md).
inline constexpr int kItemStage = 1;
inline constexpr int kItemAutoOperation = 2;

// Creates a database with its "everyone" role; returns its id.
int64_t CreateDatabase(SqliteDb& db, std::string_view name, bool searchReport);
// The id of the database named so (letter case ignored), or 0.
int64_t FindDatabase(SqliteDb& db, std::string_view name);
int64_t EveryoneRole(SqliteDb& db, int64_t dbId);

// Creates a user: membership in "everyone" and the user's own running
// process "Общая переписка" with one stage in work. Returns the user id.
int64_t CreateUser(SqliteDb& db, int64_t dbId, std::string_view login, std::string_view fullName,
                   std::string_view password, bool admin, std::string_view osIdentity, double now);
// True when the password matches the stored digest.
bool CheckPassword(SqliteDb& db, int64_t userId, std::string_view password);

}  // namespace model

}  // namespace brevalon::appserver
