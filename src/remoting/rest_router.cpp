#include "remoting/rest_router.h"

#include <exception>

#include "remoting/remote_dispatch.h"

namespace brevalon {

namespace json = boost::json;
namespace http = boost::beast::http;

namespace {

constexpr std::string_view kContextPath = "/datasnap/rest";
constexpr std::string_view kSessionExpiredBody =
    R"({"SessionExpired":"The specified session has expired due to inactivity or was an invalid Session ID"})";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

void Answer(RestResponse& res, http::status status, std::string body) {
  res.result(status);
  res.body() = std::move(body);
}

// Strips the quotes of a quoted method name ("M" or 'M'); true when quoted.
bool Unquote(std::string& name) {
  if (name.size() >= 2 && ((name.front() == '"' && name.back() == '"') ||
                           (name.front() == '\'' && name.back() == '\''))) {
    name = name.substr(1, name.size() - 2);
    return true;
  }
  return false;
}

}  // namespace

std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) throw ERemoteCallError("Malformed percent escape in the URL");
    const int hi = HexDigit(s[i + 1]);
    const int lo = HexDigit(s[i + 2]);
    if (hi < 0 || lo < 0) throw ERemoteCallError("Malformed percent escape in the URL");
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

bool ParseRestTarget(std::string_view target, RestTarget& out) {
  out = {};
  std::string_view path = target;
  std::string_view query;
  if (const auto q = target.find('?'); q != std::string_view::npos) {
    path = target.substr(0, q);
    query = target.substr(q + 1);
  }
  if (path.size() < kContextPath.size() ||
      !SameName(path.substr(0, kContextPath.size()), kContextPath))
    return false;
  path.remove_prefix(kContextPath.size());
  if (!path.empty() && path.front() != '/') return false;
  if (!path.empty()) path.remove_prefix(1);

  // Split first, decode each segment after: an encoded "/" is data.
  if (!path.empty()) {
    for (;;) {
      const auto slash = path.find('/');
      out.Segments.push_back(PercentDecode(path.substr(0, slash)));
      if (slash == std::string_view::npos) break;
      path.remove_prefix(slash + 1);
    }
    // A trailing "/" adds nothing.
    if (out.Segments.back().empty()) out.Segments.pop_back();
  }

  std::string sessionId, sid;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const auto eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string key = PercentDecode(pair.substr(0, eq));
    if (SameName(key, "SESSIONID"))
      sessionId = PercentDecode(pair.substr(eq + 1));
    else if (SameName(key, "sid"))
      sid = PercentDecode(pair.substr(eq + 1));
  }
  out.QuerySession = !sessionId.empty() ? sessionId : sid;
  return true;
}

std::string PragmaSession(std::string_view pragma) {
  while (!pragma.empty()) {
    const auto comma = pragma.find(',');
    const std::string_view item = Trim(pragma.substr(0, comma));
    pragma = comma == std::string_view::npos ? std::string_view() : pragma.substr(comma + 1);
    const auto eq = item.find('=');
    if (eq != std::string_view::npos && SameName(Trim(item.substr(0, eq)), "dssession"))
      return std::string(Trim(item.substr(eq + 1)));
  }
  return {};
}

std::vector<json::value> CollectInputs(const std::vector<ParamInfo>& inputs,
                                       const std::vector<std::string>& segments,
                                       std::string_view body, bool useBody) {
  if (segments.size() > inputs.size()) {
    throw ERemoteCallError("Too many parameters: the method takes " +
                           std::to_string(inputs.size()) + ", " + std::to_string(segments.size()) +
                           " given");
  }
  std::vector<json::value> values;
  values.reserve(inputs.size());
  for (std::size_t i = 0; i < segments.size(); ++i)
    values.push_back(segments[i] == "null" ? json::value(nullptr)
                                           : ConvertTextInput(segments[i], inputs[i]));

  body = Trim(body);
  if (useBody && !body.empty()) {
    auto parsed = ParseJson(body);
    if (!parsed) throw ERemoteCallError("Malformed JSON in the request body");
    const json::array* list = nullptr;
    json::array single;
    if (parsed->is_object()) {
      if (const json::value* p = parsed->as_object().if_contains("_parameters"); p && p->is_array())
        list = &p->as_array();
    }
    if (!list) {
      single.push_back(std::move(*parsed));
      list = &single;
    }
    if (values.size() + list->size() > inputs.size()) {
      throw ERemoteCallError("Too many parameters: the method takes " +
                             std::to_string(inputs.size()) + ", " +
                             std::to_string(values.size() + list->size()) + " given");
    }
    for (const json::value& v : *list) values.push_back(ConvertJsonInput(v, inputs[values.size()]));
  }
  values.resize(inputs.size());
  return values;
}

RestResponse RouteRestRequest(const RestRequest& req, const RestContext& ctx) {
  RestResponse res;
  res.version(req.version());
  res.keep_alive(req.keep_alive());
  res.set(http::field::content_type, "application/json;charset=UTF-8");
  // Answers are never cached (and never 304): clients send If-Modified-Since
  // as a cache-buster.
  res.set(http::field::cache_control, "no-cache");

  const http::verb verb = req.method();
  if (verb != http::verb::get && verb != http::verb::post && verb != http::verb::put &&
      verb != http::verb::delete_) {
    Answer(res, http::status::not_implemented, ErrorBody("Unsupported HTTP method"));
    return res;
  }

  RestTarget target;
  try {
    if (!ParseRestTarget(req.target(), target)) {
      Answer(res, http::status::not_found, ErrorBody("Not found"));
      return res;
    }
  } catch (const ERemoteCallError& e) {
    Answer(res, http::status::internal_server_error, ErrorBody(e.Message()));
    return res;
  }

  std::string sessionId = target.QuerySession;
  if (sessionId.empty()) {
    for (auto it = req.find(http::field::pragma);
         it != req.end() && it->name() == http::field::pragma; ++it) {
      sessionId = PragmaSession(it->value());
      if (!sessionId.empty()) break;
    }
  }

  const auto& seg = target.Segments;
  if (seg.size() == 1 && SameName(seg[0], "CloseSession")) {
    if (!sessionId.empty() && !ctx.Sessions.End(sessionId, true)) {
      Answer(res, http::status::forbidden, std::string(kSessionExpiredBody));
      return res;
    }
    Answer(res, http::status::ok, ResultBody(json::array{true}));
    return res;
  }

  // Resolve and convert before opening a session, so that a malformed
  // request opens none (and starts no worker through the connect handler).
  CallTarget call;
  std::vector<json::value> inputs;
  std::string failure;
  if (seg.size() < 2) {
    failure = "Malformed request: a class and a method are expected";
  } else {
    std::string method = seg[1];
    const bool quoted = Unquote(method);
    const bool admin = SameName(seg[0], kAdminClassName);
    if (!quoted && !admin) {
      if (verb == http::verb::post)
        method = "update" + method;
      else if (verb == http::verb::put)
        method = "accept" + method;
      else if (verb == http::verb::delete_)
        method = "cancel" + method;
    }
    try {
      call = ResolveCall(ctx.Class, seg[0], method);
      const bool useBody = verb == http::verb::post || verb == http::verb::put;
      inputs = CollectInputs(call.Inputs, std::vector<std::string>(seg.begin() + 2, seg.end()),
                             req.body(), useBody);
    } catch (const ERemoteCallError& e) {
      failure = e.Message();
    }
  }

  SessionManager::Lease lease;
  if (!sessionId.empty()) {
    lease = ctx.Sessions.Use(sessionId, true);
    if (!lease) {
      Answer(res, http::status::forbidden, std::string(kSessionExpiredBody));
      return res;
    }
  } else if (failure.empty()) {
    lease = ctx.Sessions.Open(true, ctx.ClientAddress);
    if (!lease) {
      const bool unsigned_ = lease.Refused() == SessionManager::Refusal::TooManyUnsigned;
      Answer(res, http::status::service_unavailable,
             ErrorBody(LimitKindText(unsigned_ ? LimitKind::UnsignedSessions : LimitKind::Sessions)));
      res.set(http::field::retry_after, std::to_string(kRetryAfterSeconds));
      return res;
    }
  }
  if (lease) {
    res.set(http::field::pragma, "dssession=" + lease.Session().Id() +
                                     ",dssessionexpires=" + std::to_string(lease.MillisLeft()));
  }
  if (!failure.empty()) {
    Answer(res, http::status::internal_server_error, ErrorBody(failure));
    return res;
  }

  try {
    if (ctx.Class.OnConnect) ctx.Class.OnConnect(lease.Session());
    json::array result = RunCall(ctx.Class, call, lease.Session(), std::move(inputs));
    Answer(res, verb == http::verb::put ? http::status::created : http::status::ok,
           ResultBody(std::move(result)));
  } catch (const std::exception& e) {
    Answer(res, http::status::internal_server_error, ErrorBody(e.what()));
  } catch (...) {
    Answer(res, http::status::internal_server_error, ErrorBody("Internal server error"));
  }
  return res;
}

}  // namespace brevalon
