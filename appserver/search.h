// Document search of the reference main-system server, in its two input
// forms: the parameter text of the report "rep_SEARCH" and the search XML of
// "FindObjectsInContext2" (both described in docs/appserver.md). Each form is
// parsed into a SearchQuery, which RunSearch evaluates against one database.
//
// Parsing is pure; RunSearch runs inside the caller's store transaction.
// Input comes from the network: sizes are bounded and malformed text raises
// ESearchException, never anything worse.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "util/exception.h"

namespace brevalon::appserver {

class SqliteDb;

class ESearchException : public Exception {
 public:
  using Exception::Exception;
};

struct SearchCondition {
  enum class Op { Like, Equal, NotEqual };
  int64_t attrId = 0;  // 0 = the product text; -1 = an attribute the database does not have
  Op op = Op::Like;
  std::string value;
};

struct SearchStep {
  enum class Scope { Database, BelowContext, Context };
  Scope scope = Scope::Database;
  std::vector<std::string> linkTypes;     // BelowContext: link types followed, empty = all
  std::optional<std::set<int64_t>> types;   // nullopt = every type
  std::optional<std::set<int64_t>> states;  // nullopt = every state
  std::vector<SearchCondition> allOf;     // every one must hold
  std::vector<SearchCondition> anyOf;     // at least one must hold (when not empty)
  bool intersect = false;                 // false: union into the result; true: keep only common
};

struct SearchQuery {
  int64_t context = 0;  // version id of the context, 0 = none
  std::vector<SearchStep> steps;
};

// Names of one database's types, states and attributes (letter case ignored)
// for resolving the names of a search XML.
struct SearchCatalog {
  std::map<std::string, int64_t> types, states, attributes;  // folded name -> id
  static SearchCatalog Load(SqliteDb& db, int64_t dbId);
};

// The "rep_SEARCH" parameter text: lines KEY=VALUE.
SearchQuery ParseReportParams(std::string_view text);

// The search XML; `context` is the version id text of "FindObjectsInContext2"
// (empty = none).
SearchQuery ParseSearchXml(std::string_view xml, std::string_view context, const SearchCatalog& catalog);

// Ids of the versions of the database that the query finds and that the user
// may read (access level 1 or more), ascending.
std::vector<int64_t> RunSearch(SqliteDb& db, int64_t dbId, int64_t userId, bool isAdmin, const SearchQuery& query);

}  // namespace brevalon::appserver
