#include "appserver/search.h"

#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <unordered_map>

#include "appserver/sqlite.h"
#include "appserver/text_util.h"

namespace brevalon::appserver {

namespace {

constexpr size_t kMaxXml = 1 << 20;
constexpr size_t kMaxSteps = 1000;
constexpr size_t kMaxIds = 10000;
constexpr size_t kMaxParams = 1 << 20;

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::vector<std::string> Split(std::string_view s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t p = s.find(sep, start);
    if (p == std::string_view::npos) p = s.size();
    out.push_back(std::string(s.substr(start, p - start)));
    start = p + 1;
  }
  return out;
}

int64_t ParseId(const std::string& piece, const char* key) {
  int64_t v = 0;
  auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), v);
  if (ec != std::errc() || end != piece.data() + piece.size())
    throw ESearchException(std::string("search parameter ") + key + " holds \"" + piece + "\", not an id");
  return v;
}

// Comma-separated ids; blanks around them and empty pieces are ignored.
std::set<int64_t> ParseIds(std::string_view value, const char* key) {
  std::set<int64_t> ids;
  for (const std::string& raw : Split(value, ',')) {
    std::string piece = Trim(raw);
    if (piece.empty()) continue;
    ids.insert(ParseId(piece, key));
    if (ids.size() > kMaxIds) throw ESearchException(std::string("search parameter ") + key + " lists too many ids");
  }
  return ids;
}

int64_t ParseContext(std::string_view text) {
  std::string t = Trim(text);
  if (t.empty()) return 0;
  int64_t id = ParseId(t, "CONTEXT");
  if (id <= 0) throw ESearchException("the search context \"" + t + "\" is not a version id");
  return id;
}

}  // namespace

SearchQuery ParseReportParams(std::string_view text) {
  if (text.size() > kMaxParams) throw ESearchException("the search parameter text is too long");
  std::map<std::string, std::string> params;
  for (std::string line : Split(text, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    params[Trim(std::string_view(line).substr(0, eq))] = line.substr(eq + 1);
  }
  auto get = [&](const char* key) -> const std::string* {
    auto it = params.find(key);
    return it == params.end() ? nullptr : &it->second;
  };

  SearchStep step;
  if (const std::string* types = get("TYPES"); types && !ParseIds(*types, "TYPES").empty())
    step.types = ParseIds(*types, "TYPES");
  if (const std::string* states = get("STATES"); states && !ParseIds(*states, "STATES").empty())
    step.states = ParseIds(*states, "STATES");
  if (const std::string* pattern = get("PATTERN")) {
    std::set<int64_t> attrs;
    if (const std::string* a = get("PATTERNATTRS")) attrs = ParseIds(*a, "PATTERNATTRS");
    if (attrs.empty()) attrs.insert(0);  // the product text
    for (int64_t id : attrs) step.anyOf.push_back({id, SearchCondition::Op::Like, *pattern});
  }

  SearchQuery query;
  if (const std::string* ctx = get("CONTEXT")) query.context = ParseContext(*ctx);
  if (query.context == 0) {
    query.steps.push_back(step);
    return query;
  }
  SearchStep below = step;
  below.scope = SearchStep::Scope::BelowContext;
  if (const std::string* links = get("LINKS"))
    for (const std::string& l : Split(*links, '\x01'))
      if (!l.empty()) below.linkTypes.push_back(l);
  query.steps.push_back(below);
  if (const std::string* inc = get("CONTEXTINCLUDE"); inc && Trim(*inc) == "1") {
    step.scope = SearchStep::Scope::Context;
    query.steps.push_back(step);
  }
  return query;
}

SearchCatalog SearchCatalog::Load(SqliteDb& db, int64_t dbId) {
  SearchCatalog c;
  auto load = [&](const char* sql, std::map<std::string, int64_t>& into) {
    Statement st(db, sql);
    st.Bind(1, dbId);
    while (st.Step()) into.emplace(FoldCase(st.Text(1)), st.Int64(0));  // first id wins
  };
  load("SELECT id, name FROM types WHERE db_id = ? ORDER BY id", c.types);
  load("SELECT id, name FROM states WHERE db_id = ? ORDER BY id", c.states);
  load("SELECT id, name FROM attributes WHERE db_id = ? ORDER BY id", c.attributes);
  return c;
}

namespace {

// Named references a client may use beyond XML's own five, rewritten to
// numeric ones before parsing so that "&amp;sect;" stays literal text.
std::string ReplaceNamedEntities(std::string_view xml) {
  static const std::pair<std::string_view, std::string_view> kEntities[] = {
      {"&sect;", "&#167;"},  {"&copy;", "&#169;"},   {"&laquo;", "&#171;"},  {"&reg;", "&#174;"},
      {"&raquo;", "&#187;"}, {"&ldquo;", "&#8220;"}, {"&bdquo;", "&#8222;"}, {"&trade;", "&#8482;"}};
  std::string out;
  out.reserve(xml.size());
  for (size_t i = 0; i < xml.size();) {
    bool replaced = false;
    if (xml[i] == '&') {
      for (const auto& [name, numeric] : kEntities) {
        if (xml.substr(i, name.size()) == name) {
          out += numeric;
          i += name.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += xml[i++];
  }
  return out;
}

SearchCondition ParseCondition(const pugi::xml_node& attr, const SearchCatalog& catalog) {
  std::string name = attr.attribute("AttrName").value();
  std::string value = attr.attribute("AttrValue").value();
  SearchCondition c;
  auto it = catalog.attributes.find(FoldCase(name));
  c.attrId = it == catalog.attributes.end() ? -1 : it->second;
  // AttrValue repeats the attribute name, then the operator and the quoted
  // operand. The operand runs to the last apostrophe: the client does not
  // escape apostrophes inside it.
  std::string rest = value;
  if (!name.empty() && FoldCase(rest.substr(0, name.size())) == FoldCase(name)) rest = rest.substr(name.size());
  size_t open = rest.find('\'');
  size_t close = rest.rfind('\'');
  if (open == std::string::npos || close == open)
    throw ESearchException("the search condition \"" + value + "\" has no quoted value");
  std::string op = FoldCase(Trim(std::string_view(rest).substr(0, open)));
  if (op == "like")
    c.op = SearchCondition::Op::Like;
  else if (op == "=")
    c.op = SearchCondition::Op::Equal;
  else if (op == "<>")
    c.op = SearchCondition::Op::NotEqual;
  else
    throw ESearchException("the search condition \"" + value + "\" has an unknown operator");
  if (!Trim(std::string_view(rest).substr(close + 1)).empty())
    throw ESearchException("the search condition \"" + value + "\" has text after its value");
  c.value = rest.substr(open + 1, close - open - 1);
  return c;
}

std::set<int64_t> ResolveNames(const pugi::xml_node& list, const char* child,
                               const std::map<std::string, int64_t>& names) {
  std::set<int64_t> ids;
  for (auto n : list.children(child)) {
    auto it = names.find(FoldCase(n.attribute("name").value()));
    // A name the database does not know matches nothing, so it adds no id;
    // the list still restricts (an empty set matches nothing).
    if (it != names.end()) ids.insert(it->second);
  }
  return ids;
}

void ParseFilterStep(const pugi::xml_node& node, SearchStep::Scope scope, const std::vector<std::string>& links,
                     const SearchCatalog& catalog, SearchQuery& query) {
  if (query.steps.size() >= kMaxSteps) throw ESearchException("the search XML has too many steps");
  SearchStep step;
  step.scope = scope;
  step.linkTypes = links;
  if (auto types = node.child("TypeList"); types && types.child("Type"))
    step.types = ResolveNames(types, "Type", catalog.types);
  if (auto states = node.child("StateList"); states && states.child("State"))
    step.states = ResolveNames(states, "State", catalog.states);
  for (auto attr : node.child("AttrList").children("Attribute")) step.allOf.push_back(ParseCondition(attr, catalog));
  std::string all = FoldCase(node.child("ResultStep").attribute("AllResult").value());
  if (all == "intersect")
    step.intersect = true;
  else if (!all.empty() && all != "union")
    throw ESearchException("the search XML asks for the unknown result \"" + all + "\"");
  query.steps.push_back(std::move(step));
}

}  // namespace

SearchQuery ParseSearchXml(std::string_view xml, std::string_view context, const SearchCatalog& catalog) {
  if (xml.size() > kMaxXml) throw ESearchException("the search XML is too long");
  std::string text = ReplaceNamedEntities(xml);
  pugi::xml_document doc;
  // The declaration may name another encoding; the text is UTF-8 anyway.
  pugi::xml_parse_result ok = doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!ok) throw ESearchException(std::string("the search XML is malformed: ") + ok.description());
  pugi::xml_node find = doc.child("FIND");
  if (!find) throw ESearchException("the search XML has no FIND element");

  SearchQuery query;
  query.context = ParseContext(context);
  for (auto node : find.children()) {
    std::string name = node.name();
    if (name == "FilterStep") {
      ParseFilterStep(node, query.context ? SearchStep::Scope::Context : SearchStep::Scope::Database, {}, catalog,
                      query);
    } else if (name == "LinksStep") {
      if (!query.context) throw ESearchException("a search by links needs a context");
      std::vector<std::string> links;
      for (auto l : node.child("LinkList").children("LinkType")) links.push_back(l.attribute("name").value());
      for (auto f : node.children("FilterStep"))
        ParseFilterStep(f, SearchStep::Scope::BelowContext, links, catalog, query);
    } else if (node.type() == pugi::node_element) {
      throw ESearchException("the search XML has the unknown step " + name);
    }
  }
  return query;
}

namespace {

struct VersionRow {
  int64_t type = 0;
  int64_t state = 0;
  std::string product;
  std::unordered_map<int64_t, std::string> attrs;
};

bool Holds(const SearchCondition& c, const VersionRow& v) {
  const std::string* value = nullptr;
  if (c.attrId == 0) {
    value = &v.product;
  } else {
    auto it = v.attrs.find(c.attrId);
    if (it == v.attrs.end()) return false;  // no value: the condition is unknown, so not met
    value = &it->second;
  }
  switch (c.op) {
    case SearchCondition::Op::Like:
      return LikeMatch(c.value, *value);
    case SearchCondition::Op::Equal:
      return EqualsNoCase(c.value, *value);
    case SearchCondition::Op::NotEqual:
      return !EqualsNoCase(c.value, *value);
  }
  return false;
}

bool Matches(const SearchStep& s, const VersionRow& v) {
  if (s.types && !s.types->count(v.type)) return false;
  if (s.states && !s.states->count(v.state)) return false;
  for (const auto& c : s.allOf)
    if (!Holds(c, v)) return false;
  if (s.anyOf.empty()) return true;
  return std::any_of(s.anyOf.begin(), s.anyOf.end(), [&](const SearchCondition& c) { return Holds(c, v); });
}

// Versions linked below `root` through the given link types (all when
// empty), recursively; cycles are cut by the visited set.
std::set<int64_t> Descendants(SqliteDb& db, int64_t root, const std::vector<std::string>& linkTypes) {
  std::set<int64_t> seen;
  std::vector<int64_t> todo{root};
  Statement st(db, "SELECT child_id, link_type FROM links WHERE parent_id = ?");
  while (!todo.empty()) {
    int64_t id = todo.back();
    todo.pop_back();
    st.Reset();
    st.Bind(1, id);
    while (st.Step()) {
      int64_t child = st.Int64(0);
      if (!linkTypes.empty() && std::find(linkTypes.begin(), linkTypes.end(), st.Text(1)) == linkTypes.end()) continue;
      if (child != root && seen.insert(child).second) todo.push_back(child);
    }
  }
  return seen;
}

}  // namespace

std::vector<int64_t> RunSearch(SqliteDb& db, int64_t dbId, int64_t userId, bool isAdmin, const SearchQuery& query) {
  std::map<int64_t, VersionRow> versions;
  {
    Statement st(db,
                 "SELECT v.id, o.type_id, v.state_id, o.product FROM versions v JOIN objects o ON o.id = v.object_id "
                 "WHERE o.db_id = ?");
    st.Bind(1, dbId);
    while (st.Step()) versions[st.Int64(0)] = VersionRow{st.Int64(1), st.Int64(2), st.Text(3), {}};
  }
  {
    Statement st(db,
                 "SELECT a.version_id, a.attr_id, a.value FROM attr_values a JOIN versions v ON v.id = a.version_id "
                 "JOIN objects o ON o.id = v.object_id WHERE o.db_id = ?");
    st.Bind(1, dbId);
    while (st.Step()) versions[st.Int64(0)].attrs[st.Int64(1)] = st.Text(2);
  }
  std::set<int64_t> readable;
  if (isAdmin) {
    for (const auto& [id, row] : versions) readable.insert(id);
  } else {
    Statement st(db, "SELECT version_id FROM grants WHERE user_id = ? AND level >= 1");
    st.Bind(1, userId);
    while (st.Step()) readable.insert(st.Int64(0));
  }

  std::set<int64_t> result;
  std::map<std::vector<std::string>, std::set<int64_t>> below;  // per link-type list
  bool first = true;
  for (const SearchStep& step : query.steps) {
    std::set<int64_t> found;
    auto consider = [&](int64_t id) {
      auto it = versions.find(id);
      if (it != versions.end() && Matches(step, it->second)) found.insert(id);
    };
    switch (step.scope) {
      case SearchStep::Scope::Database:
        for (const auto& [id, row] : versions) consider(id);
        break;
      case SearchStep::Scope::Context:
        consider(query.context);
        break;
      case SearchStep::Scope::BelowContext: {
        auto it = below.find(step.linkTypes);
        if (it == below.end()) it = below.emplace(step.linkTypes, Descendants(db, query.context, step.linkTypes)).first;
        for (int64_t id : it->second) consider(id);
        break;
      }
    }
    if (step.intersect && !first) {
      std::set<int64_t> kept;
      std::set_intersection(result.begin(), result.end(), found.begin(), found.end(),
                            std::inserter(kept, kept.begin()));
      result = std::move(kept);
    } else {
      result.insert(found.begin(), found.end());
    }
    first = false;
  }
  std::vector<int64_t> out;
  for (int64_t id : result)
    if (readable.count(id)) out.push_back(id);
  return out;
}

}  // namespace brevalon::appserver
