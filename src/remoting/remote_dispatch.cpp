#include "remoting/remote_dispatch.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace brevalon {

namespace json = boost::json;

namespace {

// Nesting allowed in JSON from the network (Boost's default is 32; bodies of
// this protocol are flat).
constexpr std::size_t kMaxJsonDepth = 64;

const char* KindName(ParamKind kind) {
  switch (kind) {
    case ParamKind::Boolean:
      return "Boolean";
    case ParamKind::Int32:
      return "Int32";
    case ParamKind::Text:
      return "String";
    case ParamKind::Stream:
      return "Stream";
    case ParamKind::JsonValue:
      return "JsonValue";
  }
  return "Unknown";
}

[[noreturn]] void Mismatch(const ParamInfo& param, const char* what) {
  throw ERemoteCallError("Parameter " + param.Name + ": " + what + " cannot be converted to " +
                         KindName(param.Kind));
}

std::optional<int32_t> ParseInt32(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.front() == '+') return std::nullopt;
  int64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(v);
}

std::optional<bool> ParseBool(std::string_view s) {
  if (SameName(s, "true") || s == "1") return true;
  if (SameName(s, "false") || s == "0") return false;
  return std::nullopt;
}

json::array BytesOf(std::string_view s) {
  json::array a;
  a.reserve(s.size());
  for (unsigned char c : s) a.emplace_back(static_cast<int64_t>(c));
  return a;
}

// ---- DSAdmin

struct AdminMethod {
  const char* Name;
  const char* Input;  // name of the one Text input, or null
};

constexpr AdminMethod kAdminMethods[] = {
    {"GetPlatformName", nullptr},   {"GetServerClasses", nullptr},
    {"GetServerMethods", nullptr},  {"GetServerMethodParameters", nullptr},
    {"ListClasses", nullptr},       {"ListMethods", "ClassName"},
    {"DescribeClass", "ClassName"}, {"DescribeMethod", "ServerMethodName"},
};

std::string Alias(const ServerClass& c, const Method& m) {
  return c.Name + "." + m.Name;
}

json::object ParamObject(const ParamInfo& p) {
  return json::object{{"Name", p.Name},
                      {"Direction", static_cast<int32_t>(p.Direction)},
                      {"DBXType", static_cast<int32_t>(p.Kind)},
                      {"TypeName", KindName(p.Kind)}};
}

json::array MethodNames(const ServerClass& c) {
  json::array names;
  for (const Method& m : c.Methods) names.emplace_back(m.Name);
  return names;
}

const ServerClass& RequireClass(const ServerClass& c, const json::value& name) {
  if (!name.is_string() || !SameName(name.as_string(), c.Name))
    throw ERemoteCallError("Class not found: " +
                           (name.is_string() ? std::string(name.as_string()) : "null"));
  return c;
}

json::value RunAdmin(const ServerClass& c, const std::string& name,
                     const std::vector<json::value>& in) {
  if (name == "GetPlatformName") return "Linux";
  if (name == "ListClasses") return json::array{json::value(c.Name)};
  if (name == "GetServerClasses") {
    return json::array{json::object{{"ClassName", c.Name}, {"LifeCycle", "Session"}}};
  }
  if (name == "GetServerMethods") {
    json::array methods;
    for (const Method& m : c.Methods)
      methods.push_back(json::object{
          {"ClassName", c.Name}, {"MethodName", m.Name}, {"MethodAlias", Alias(c, m)}});
    return methods;
  }
  if (name == "GetServerMethodParameters") {
    json::array params;
    for (const Method& m : c.Methods) {
      for (const ParamInfo& p : m.Params) {
        json::object o{{"MethodAlias", Alias(c, m)}};
        for (auto& kv : ParamObject(p)) o.emplace(kv.key(), kv.value());
        params.push_back(std::move(o));
      }
    }
    return params;
  }
  if (name == "ListMethods") return MethodNames(RequireClass(c, in.at(0)));
  if (name == "DescribeClass") {
    RequireClass(c, in.at(0));
    return json::object{
        {"ClassName", c.Name}, {"LifeCycle", "Session"}, {"Methods", MethodNames(c)}};
  }
  // DescribeMethod: "Class.Method" or a bare method name.
  if (!in.at(0).is_string()) throw ERemoteCallError("Method not found: null");
  std::string_view wanted = in.at(0).as_string();
  if (const auto dot = wanted.find('.'); dot != std::string_view::npos) {
    if (!SameName(wanted.substr(0, dot), c.Name))
      throw ERemoteCallError("Method not found: " + std::string(wanted));
    wanted.remove_prefix(dot + 1);
  }
  for (const Method& m : c.Methods) {
    if (!SameName(m.Name, wanted)) continue;
    json::array params;
    for (const ParamInfo& p : m.Params) params.push_back(ParamObject(p));
    return json::object{{"ClassName", c.Name},
                        {"MethodName", m.Name},
                        {"MethodAlias", Alias(c, m)},
                        {"Parameters", params}};
  }
  throw ERemoteCallError("Method not found: " + std::string(in.at(0).as_string()));
}

void AppendEscape(std::string& out, uint32_t unit) {
  static const char* hex = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += hex[(unit >> shift) & 0xF];
}

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

CallTarget ResolveCall(const ServerClass& serverClass, std::string_view className,
                       std::string_view methodName) {
  CallTarget target;
  if (SameName(className, kAdminClassName)) {
    for (const AdminMethod& a : kAdminMethods) {
      if (!SameName(a.Name, methodName)) continue;
      target.AdminMethod = a.Name;
      if (a.Input) target.Inputs.push_back(ParamInfo{a.Input, ParamDirection::In, ParamKind::Text});
      return target;
    }
    throw ERemoteCallError("Method " + std::string(methodName) + " not found in class " +
                           std::string(kAdminClassName));
  }
  if (!SameName(className, serverClass.Name))
    throw ERemoteCallError("Class " + std::string(className) + " not found");
  for (const Method& m : serverClass.Methods) {
    if (!SameName(m.Name, methodName)) continue;
    target.ServerMethod = &m;
    for (const ParamInfo& p : m.Params)
      if (p.Direction == ParamDirection::In || p.Direction == ParamDirection::InOut)
        target.Inputs.push_back(p);
    return target;
  }
  throw ERemoteCallError("Method " + std::string(methodName) + " not found in class " +
                         serverClass.Name);
}

json::value ConvertJsonInput(const json::value& v, const ParamInfo& param) {
  if (v.is_null()) return nullptr;
  switch (param.Kind) {
    case ParamKind::JsonValue:
      return v;
    case ParamKind::Text:
      if (v.is_string()) return v;
      if (v.is_number() || v.is_bool()) return json::string(json::serialize(v));
      Mismatch(param, "a JSON object or array");
    case ParamKind::Int32:
      if (v.is_int64() || v.is_uint64()) {
        if (v.is_int64() && v.as_int64() >= std::numeric_limits<int32_t>::min() &&
            v.as_int64() <= std::numeric_limits<int32_t>::max())
          return v.as_int64();
        Mismatch(param, "an out-of-range number");
      }
      if (v.is_double()) {
        const double d = v.as_double();
        if (std::isfinite(d) && d == std::trunc(d) && d >= std::numeric_limits<int32_t>::min() &&
            d <= std::numeric_limits<int32_t>::max())
          return static_cast<int64_t>(d);
        Mismatch(param, "a fractional or out-of-range number");
      }
      if (v.is_string()) {
        if (auto i = ParseInt32(v.as_string())) return static_cast<int64_t>(*i);
        Mismatch(param, "a text");
      }
      Mismatch(param, "a value");
    case ParamKind::Boolean:
      if (v.is_bool()) return v;
      if (v.is_string()) {
        if (auto b = ParseBool(v.as_string())) return *b;
        Mismatch(param, "a text");
      }
      if (v.is_int64() && (v.as_int64() == 0 || v.as_int64() == 1)) return v.as_int64() == 1;
      Mismatch(param, "a value");
    case ParamKind::Stream:
      if (v.is_string()) return BytesOf(v.as_string());
      if (v.is_array()) {
        json::array bytes;
        bytes.reserve(v.as_array().size());
        for (const json::value& b : v.as_array()) {
          if (!b.is_int64() || b.as_int64() < 0 || b.as_int64() > 255)
            Mismatch(param, "an array of non-bytes");
          bytes.emplace_back(b.as_int64());
        }
        return bytes;
      }
      Mismatch(param, "a value");
  }
  Mismatch(param, "a value");
}

json::value ConvertTextInput(std::string_view text, const ParamInfo& param) {
  switch (param.Kind) {
    case ParamKind::Text:
      return json::string(text);
    case ParamKind::Int32:
      if (auto i = ParseInt32(text)) return static_cast<int64_t>(*i);
      Mismatch(param, "a text");
    case ParamKind::Boolean:
      if (auto b = ParseBool(text)) return *b;
      Mismatch(param, "a text");
    case ParamKind::JsonValue:
      if (auto v = ParseJson(text)) return std::move(*v);
      Mismatch(param, "malformed JSON");
    case ParamKind::Stream:
      return BytesOf(text);
  }
  Mismatch(param, "a text");
}

json::array RunCall(const ServerClass& serverClass, const CallTarget& target, DsSession& session,
                    std::vector<json::value> inputs) {
  inputs.resize(target.Inputs.size());
  if (!target.ServerMethod) return json::array{RunAdmin(serverClass, target.AdminMethod, inputs)};
  if (!target.ServerMethod->Invoke)
    throw ERemoteCallError("Method " + target.ServerMethod->Name + " has no body");
  MethodCall call{session, std::move(inputs)};
  return target.ServerMethod->Invoke(call);
}

std::string SerializeAscii(const json::value& v) {
  const std::string raw = json::serialize(v);
  std::string out;
  out.reserve(raw.size());
  const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
  const std::size_t n = raw.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // Bytes above 0x7F occur only inside strings, so escaping them keeps the
    // document valid. Decode one UTF-8 sequence strictly.
    std::size_t len = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (c >= 0xC2 && c <= 0xDF)
      len = 2, cp = c & 0x1F, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF)
      len = 3, cp = c & 0x0F, min = 0x800;
    else if (c >= 0xF0 && c <= 0xF4)
      len = 4, cp = c & 0x07, min = 0x10000;
    bool ok = len != 0 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80)
        ok = false;
      else
        cp = cp << 6 | (p[i + k] & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      AppendEscape(out, 0xFFFD);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      AppendEscape(out, 0xD800 + (cp >> 10));
      AppendEscape(out, 0xDC00 + (cp & 0x3FF));
    } else {
      AppendEscape(out, cp);
    }
    i += len;
  }
  return out;
}

std::string ResultBody(json::array result) {
  return SerializeAscii(json::object{{"result", std::move(result)}});
}

std::string ErrorBody(std::string_view message) {
  return SerializeAscii(json::object{{"error", message}});
}

namespace {

// A number too large for a double parses as infinity, which serialises as
// "Infinity", not JSON: an answer echoing it would be malformed. The depth is
// bounded by the parser.
bool AllNumbersFinite(const json::value& v) {
  switch (v.kind()) {
    case json::kind::double_: return std::isfinite(v.get_double());
    case json::kind::array:
      for (const json::value& e : v.get_array())
        if (!AllNumbersFinite(e)) return false;
      return true;
    case json::kind::object:
      for (const auto& e : v.get_object())
        if (!AllNumbersFinite(e.value())) return false;
      return true;
    default: return true;
  }
}

}  // namespace

std::optional<json::value> ParseJson(std::string_view text) {
  json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  boost::system::error_code ec;
  json::value v = json::parse(text, ec, {}, options);
  if (ec || !AllNumbersFinite(v)) return std::nullopt;
  return v;
}

}  // namespace brevalon
