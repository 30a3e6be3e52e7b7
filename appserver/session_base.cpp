#include "appserver/session_base.h"

#include <chrono>

#include "appserver/log.h"
#include "appserver/search.h"
#include "appserver/text_util.h"

namespace brevalon::appserver {

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

const Variant& Args::At(size_t i) const {
  if (i >= count_) throw EOperationFailed(kErrArgument, "argument " + std::to_string(i + 1) + " is missing");
  return values_[i];
}

namespace {

[[noreturn]] void BadArgument(size_t i, const Variant& v, const char* wanted) {
  throw EOperationFailed(kErrArgument, "argument " + std::to_string(i + 1) + " must be " + wanted + ", not " +
                                           v.ToDebugString());
}

}  // namespace

int32_t Args::Int(size_t i) const {
  const Variant& v = At(i);
  if (v.IsNull() || v.IsEmpty()) return 0;
  try {
    return v.AsInteger();
  } catch (const EVariantException&) {
    BadArgument(i, v, "an integer");
  }
}

std::string Args::Text(size_t i) const {
  const Variant& v = At(i);
  if (v.IsNull() || v.IsEmpty()) return {};
  try {
    return v.AsString();
  } catch (const EVariantException&) {
    BadArgument(i, v, "a text");
  }
}

bool Args::Bool(size_t i) const {
  const Variant& v = At(i);
  if (v.IsNull() || v.IsEmpty()) return false;
  try {
    return v.AsBoolean();
  } catch (const EVariantException&) {
    BadArgument(i, v, "a Boolean");
  }
}

double Args::Double(size_t i) const {
  const Variant& v = At(i);
  if (v.IsNull() || v.IsEmpty()) return 0.0;
  try {
    return v.AsDouble();
  } catch (const EVariantException&) {
    BadArgument(i, v, "a number");
  }
}

void Args::ApplyOut() {
  for (auto& [i, v] : out_) values_[i] = std::move(v);
  out_.clear();
}

Dataset QueryDataset(Statement& st, const std::vector<Column>& columns) {
  Dataset ds;
  for (const auto& c : columns) ds.AddField(c.name, c.type);
  while (st.Step()) {
    ds.Append();
    for (size_t i = 0; i < columns.size(); ++i) {
      int col = static_cast<int>(i);
      Field f = ds.FieldByIndex(i);
      if (st.IsNull(col)) {
        f.SetNull();
        continue;
      }
      switch (columns[i].type) {
        case FieldType::Int32:
          f.SetInteger(st.Int(col));
          break;
        case FieldType::Int64:
          f.SetInt64(st.Int64(col));
          break;
        case FieldType::Boolean:
          f.SetBoolean(st.Int64(col) != 0);
          break;
        case FieldType::Double:
          f.SetFloat(st.Double(col));
          break;
        case FieldType::DateTime:
          f.SetDateTime(st.Double(col));
          break;
        case FieldType::Text:
          f.SetString(st.Text(col));
          break;
        case FieldType::Bytes: {
          auto b = st.Blob(col);
          f.SetBytes(b);
          break;
        }
      }
    }
  }
  ds.First();
  return ds;
}

Variant Packet(const Dataset& ds) { return Variant(ds.SaveToBytes()); }

std::string AnswerKey(std::string_view server, std::string_view op, const SignedIn& who,
                      std::initializer_list<int64_t> args) {
  std::string key;
  key.reserve(server.size() + op.size() + 16 * (2 + args.size()));
  key.append(server).append(1, '.').append(op);
  for (int64_t v : {who.dbId, who.userId}) key.append(1, ':').append(std::to_string(v));
  for (int64_t v : args) key.append(1, ',').append(std::to_string(v));
  return key;
}

SignedIn Authenticate(SqliteDb& db, std::string_view dbName, std::string_view user, std::string_view password,
                      std::string_view identity) {
  SignedIn who;
  {
    Statement st(db, "SELECT id, name FROM databases WHERE name = ? COLLATE NOCASE");
    st.Bind(1, dbName);
    if (!st.Step()) throw EOperationFailed(kErrSignIn, "База данных \"" + std::string(dbName) + "\" не найдена");
    who.dbId = st.Int64(0);
    who.dbName = st.Text(1);
  }
  const bool byIdentity = user.empty() && password.empty();
  if (byIdentity && identity.empty())
    throw EOperationFailed(kErrSignIn, "Пользователь операционной системы не определён");
  // Logins compare without regard to letter case; the identity too.
  Statement st(db,
               byIdentity ? "SELECT id, name, full_name, is_admin, os_identity FROM principals "
                            "WHERE db_id = ? AND kind = 'U' AND os_identity <> '' ORDER BY id"
                          : "SELECT id, name, full_name, is_admin, name FROM principals "
                            "WHERE db_id = ? AND kind = 'U' ORDER BY id");
  st.Bind(1, who.dbId);
  std::string_view wanted = byIdentity ? identity : user;
  while (st.Step()) {
    if (!EqualsNoCase(st.Text(4), wanted)) continue;
    who.userId = st.Int64(0);
    who.login = st.Text(1);
    who.fullName = st.Text(2);
    who.isAdmin = st.Int64(3) != 0;
    break;
  }
  if (who.userId == 0 || (!byIdentity && !model::CheckPassword(db, who.userId, password))) {
    if (byIdentity)
      throw EOperationFailed(kErrSignIn, "Пользователь \"" + std::string(identity) + "\" не зарегистрирован в базе данных");
    throw EOperationFailed(kErrSignIn, "Неверное имя пользователя или пароль");
  }
  return who;
}

void SessionBase::RequireSignIn() const {
  if (!signedIn_) throw EOperationFailed(kErrNotSignedIn, "Соединение с базой данных не установлено");
}

Variant SessionBase::Run(const std::string& name, size_t minArgs, size_t maxArgs, bool signInRequired,
                         std::vector<Variant>& args, const std::function<Variant(Args&)>& body) {
  const auto started = std::chrono::steady_clock::now();
  // Without the error pair there is nowhere to report to: the call itself fails.
  if (args.size() < minArgs + 2 || args.size() > maxArgs + 2) {
    std::string want = minArgs == maxArgs ? std::to_string(minArgs + 2)
                                          : std::to_string(minArgs + 2) + " to " + std::to_string(maxArgs + 2);
    throw Exception(name + " takes " + want + " arguments (the error pair included), not " +
                    std::to_string(args.size()));
  }
  Args a(args, args.size() - 2);
  Variant result;
  int32_t code = 0;
  std::string message;
  try {
    if (signInRequired) RequireSignIn();
    result = body(a);
    a.ApplyOut();
  } catch (const EOperationFailed& e) {
    code = e.Code();
    message = e.what();
  } catch (const ESearchException& e) {
    code = kErrArgument;
    message = e.what();
  } catch (const ESqliteException& e) {
    code = kErrInternal;
    message = e.what();
  } catch (const EDatasetException& e) {
    code = kErrInternal;
    message = e.what();
  }
  if (code != 0) result = Variant();
  args[args.size() - 2] = Variant(code);
  args[args.size() - 1] = Variant(message);
  if (DebugEnabled()) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    LogDebug(std::string(serverName_) + " " + name + " code=" + std::to_string(code) +
             " us=" + std::to_string(us.count()) + (code ? " " + message : std::string()));
  }
  return result;
}

}  // namespace brevalon::appserver
