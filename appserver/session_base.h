// What the two server classes' sessions share: the operation table and its
// dispatch (names matched without regard to letter case, argument counts,
// the trailing error pair), checked access to positional arguments, by-ref
// out-values written only on success, datasets built from queries, and the
// sign-in check.
//
// A session object belongs to one connection; the RDC server calls it one
// call at a time, possibly from different pool threads. It keeps a reference
// to the Store, which outlives every session.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "appserver/sqlite.h"
#include "appserver/store.h"
#include "data/dataset.h"
#include "rdc/rdc_server.h"
#include "data/variant.h"
#include "util/exception.h"

namespace brevalon::appserver {

bool EqualsAsciiNoCase(std::string_view a, std::string_view b);

// Error codes written into the error pair (docs/appserver.md).
enum ErrorCode : int32_t {
  kErrNotSignedIn = 1,
  kErrSignIn = 2,
  kErrArgument = 3,
  kErrNotFound = 4,
  kErrAccess = 5,
  kErrState = 6,
  kErrInternal = 7,
};

// A failure of an operation that goes back through the error pair.
class EOperationFailed : public Exception {
 public:
  EOperationFailed(int32_t code, const std::string& message) : Exception(message), code_(code) {}
  int32_t Code() const { return code_; }

 private:
  int32_t code_;
};

// The arguments of one call without the error pair. Conversions that fail
// raise EOperationFailed with kErrArgument naming the argument.
class Args {
 public:
  Args(std::vector<Variant>& values, size_t count) : values_(values), count_(count) {}

  size_t Count() const { return count_; }
  const Variant& At(size_t i) const;
  int32_t Int(size_t i) const;   // Null and Empty read as 0
  std::string Text(size_t i) const;  // Null and Empty read as ""
  bool Bool(size_t i) const;
  double Double(size_t i) const;  // Null and Empty read as 0.0
  bool IsNullOrEmpty(size_t i) const { return At(i).IsNull() || At(i).IsEmpty(); }

  // Queues a value for a by-reference argument; written when the call succeeds.
  void Out(size_t i, Variant value) { out_.emplace_back(i, std::move(value)); }
  void ApplyOut();

 private:
  std::vector<Variant>& values_;
  size_t count_;
  std::vector<std::pair<size_t, Variant>> out_;
};

// Column list of a dataset answer; each column takes the query column of the
// same position.
struct Column {
  const char* name;
  FieldType type;
};

// Runs the statement and builds a dataset with the columns; NULL values stay
// null.
Dataset QueryDataset(Statement& st, const std::vector<Column>& columns);
Variant Packet(const Dataset& ds);

// Who signed in on a session.
struct SignedIn {
  int64_t dbId = 0;
  std::string dbName;
  int64_t userId = 0;
  std::string login;
  std::string fullName;
  bool isAdmin = false;
};

// Key of a cached answer (Store::ReadCached): the server class, the
// operation, the signed-in database and user, and the arguments.
std::string AnswerKey(std::string_view server, std::string_view op, const SignedIn& who,
                      std::initializer_list<int64_t> args);

// Checks the credentials (or, with an empty user name and password, the
// connection's operating-system identity) against the database; raises
// EOperationFailed with kErrSignIn.
SignedIn Authenticate(SqliteDb& db, std::string_view dbName, std::string_view user, std::string_view password,
                      std::string_view identity);

template <typename Session>
struct Operation {
  using Handler = Variant (Session::*)(Args&, RdcCallContext&);
  const char* name;
  size_t minArgs;
  size_t maxArgs;
  bool signInRequired;
  Handler handler;
};

// Shared dispatch: finds the operation, checks the argument count and the
// sign-in, runs it, and reports through the error pair.
class SessionBase : public RdcSessionObject {
 public:
  SessionBase(Store& store, const char* serverName) : store_(store), serverName_(serverName) {}

 protected:
  template <typename Session>
  Variant Dispatch(Session& self, const std::vector<Operation<Session>>& ops, const std::string& name,
                   std::vector<Variant>& args, RdcCallContext& ctx);

  void RequireSignIn() const;

  Store& store_;
  const char* serverName_;
  SignedIn who_;
  bool signedIn_ = false;

 private:
  Variant Run(const std::string& name, size_t minArgs, size_t maxArgs, bool signInRequired,
              std::vector<Variant>& args, const std::function<Variant(Args&)>& body);
};

template <typename Session>
Variant SessionBase::Dispatch(Session& self, const std::vector<Operation<Session>>& ops, const std::string& name,
                              std::vector<Variant>& args, RdcCallContext& ctx) {
  for (const auto& op : ops) {
    if (op.name == name || EqualsAsciiNoCase(op.name, name)) {
      return Run(op.name, op.minArgs, op.maxArgs, op.signInRequired, args,
                 [&](Args& a) { return (self.*op.handler)(a, ctx); });
    }
  }
  throw ERdcUnknownName::ForName(name);
}

}  // namespace brevalon::appserver
