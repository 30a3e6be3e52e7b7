#include "appserver/workflow.h"

#include "appserver/text_util.h"

namespace brevalon::appserver {

namespace {

constexpr int kForward = 0;
constexpr int kReturn = 1;
// Auto-operations that lead straight to further auto-operations are run in
// one go; a route that loops through them forever is cut here.
constexpr int kMaxAutoChain = 64;

bool ValidItemState(int32_t s) { return s == 0 || s == 2 || s == 3 || s == 4 || s == 6; }

void RequireItemState(int32_t s) {
  if (!ValidItemState(s)) throw EOperationFailed(kErrArgument, "unknown item state " + std::to_string(s));
}

// Whether a script asks to finish its process: a line "FinishProcess",
// letter case ignored, an optional ";" after it.
bool ScriptFinishes(const std::string& script) {
  size_t start = 0;
  while (start <= script.size()) {
    size_t end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    std::string line = script.substr(start, end - start);
    size_t b = 0, e = line.size();
    while (b < e && static_cast<unsigned char>(line[b]) <= ' ') ++b;
    while (e > b && (static_cast<unsigned char>(line[e - 1]) <= ' ' || line[e - 1] == ';')) --e;
    if (EqualsAsciiNoCase(std::string_view(line).substr(b, e - b), "FinishProcess")) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

const std::vector<WorkflowSession::Op>& WorkflowSession::Operations() {
  using S = WorkflowSession;
  static const std::vector<Op> ops = {
      {"ConnectWorkFlowOnDbEx", 4, 4, false, &S::ConnectWorkFlowOnDbEx},
      {"GetInfoAboutCurrentUser", 0, 0, true, &S::GetInfoAboutCurrentUser},
      {"GetTaskListForUser", 4, 4, true, &S::GetTaskListForUser},
      {"GetIncomingCorrespondence", 1, 1, true, &S::GetIncomingCorrespondence},
      {"GetCorrespondenceList", 1, 1, true, &S::GetCorrespondenceList},
      {"SetLetterRead", 3, 3, true, &S::SetLetterRead},
      {"SendLetterByBPToOneUser", 6, 6, true, &S::SendLetterByBPToOneUser},
      {"GetRoleListIntoProcess", 1, 1, true, &S::GetRoleListIntoProcess},
      {"GetUserList", 0, 0, true, &S::GetUserList},
      {"GetRoleTree", 1, 1, true, &S::GetRoleTree},
      {"GetRoleListForUser", 1, 1, true, &S::GetRoleListForUser},
      {"GetInfoAboutItem", 1, 1, true, &S::GetInfoAboutItem},
      {"GetInfoAboutRoute", 1, 1, true, &S::GetInfoAboutRoute},
      {"GetInfoAboutStage", 1, 1, true, &S::GetInfoAboutStage},
      {"GetAttachDocumentListIntoProcess", 1, 1, true, &S::GetAttachDocumentListIntoProcess},
      {"CreateNewProcess", 3, 3, true, &S::CreateNewProcess},
      {"GetAutoOperationList", 1, 1, true, &S::GetAutoOperationList},
      {"InsUpdAutoOperation", 6, 6, true, &S::InsUpdAutoOperation},
      {"InsUpdOpInstance", 5, 5, true, &S::InsUpdOpInstance},
      {"InsUpdStageIntoBP", 9, 12, true, &S::InsUpdStageIntoBP},
      {"AddRouteItemsSeq", 3, 3, true, &S::AddRouteItemsSeq},
      {"AddRouteItemsRetSeq", 3, 3, true, &S::AddRouteItemsRetSeq},
      {"SetVariable", 4, 4, true, &S::SetVariable},
      {"AddBPDocument", 3, 3, true, &S::AddBPDocument},
      {"SetStateOfProcess", 2, 2, true, &S::SetStateOfProcess},
      {"SetTaskState", 4, 4, true, &S::SetTaskState},
      {"SetItemState", 3, 3, true, &S::SetItemState},
      {"SetItemStateInternal", 2, 2, true, &S::SetItemStateInternal},
      {"StartNextStage", 3, 3, true, &S::StartNextStage},
      {"GetNextItems", 1, 1, true, &S::GetNextItems},
      {"RenameProcess", 2, 2, true, &S::RenameProcess},
      {"SetStageExecutor", 3, 3, true, &S::SetStageExecutor},
      {"SetStageTerm", 5, 5, true, &S::SetStageTerm},
      {"SetStageTask", 2, 2, true, &S::SetStageTask},
      {"DeleteProcess", 1, 1, true, &S::DeleteProcess},
  };
  return ops;
}

Variant WorkflowSession::Call(const std::string& name, std::vector<Variant>& args, RdcCallContext& ctx) {
  return Dispatch(*this, Operations(), name, args, ctx);
}

Variant WorkflowSession::GetProperty(const std::string& name, RdcCallContext&) {
  throw ERdcUnknownName::ForName(name);
}

// ---- lookups ----

WorkflowSession::Route WorkflowSession::RequireRoute(SqliteDb& db, int64_t id) const {
  Statement st(db, "SELECT id, state, owner_id, date_start FROM routes WHERE id = ? AND db_id = ?");
  st.BindAll(id, who_.dbId);
  if (!st.Step()) throw EOperationFailed(kErrNotFound, "Process with id=[" + std::to_string(id) + "] not found");
  return Route{st.Int64(0), st.Int(1), st.Int64(2), st.Double(3)};
}

WorkflowSession::Item WorkflowSession::RequireItem(SqliteDb& db, int64_t id, bool stageOnly) const {
  Statement st(db,
               "SELECT i.id, i.route_id, i.item_type, i.state FROM route_items i JOIN routes r ON r.id = i.route_id "
               "WHERE i.id = ? AND r.db_id = ?");
  st.BindAll(id, who_.dbId);
  if (!st.Step() || (stageOnly && st.Int(2) != model::kItemStage))
    throw EOperationFailed(kErrNotFound,
                           std::string(stageOnly ? "Stage" : "Item") + " with id=[" + std::to_string(id) + "] not found");
  return Item{st.Int64(0), st.Int64(1), st.Int(2), st.Int(3)};
}

void WorkflowSession::RequireUser(SqliteDb& db, int64_t id) const {
  Statement st(db, "SELECT 1 FROM principals WHERE id = ? AND db_id = ? AND kind = 'U'");
  st.BindAll(id, who_.dbId);
  if (!st.Step()) throw EOperationFailed(kErrNotFound, "User with id=[" + std::to_string(id) + "] not found");
}

void WorkflowSession::RequireRole(SqliteDb& db, int64_t id) const {
  Statement st(db, "SELECT 1 FROM principals WHERE id = ? AND db_id = ? AND kind = 'R'");
  st.BindAll(id, who_.dbId);
  if (!st.Step()) throw EOperationFailed(kErrNotFound, "Role with id=[" + std::to_string(id) + "] not found");
}

// ---- sign-in, users and roles ----

Variant WorkflowSession::ConnectWorkFlowOnDbEx(Args& a, RdcCallContext& ctx) {
  who_ = store_.Read([&](SqliteDb& db) { return Authenticate(db, a.Text(0), a.Text(2), a.Text(3), ctx.Identity()); });
  signedIn_ = true;
  return Variant();
}

Variant WorkflowSession::GetInfoAboutCurrentUser(Args&, RdcCallContext&) {
  return store_.Read([&](SqliteDb& db) {
    Statement st(db, "SELECT id, name, full_name FROM principals WHERE id = ?");
    st.Bind(1, who_.userId);
    return Packet(QueryDataset(st, {{"_ID", FieldType::Int32}, {"_NAME", FieldType::Text}, {"_FULLNAME", FieldType::Text}}));
  });
}

Variant WorkflowSession::GetUserList(Args&, RdcCallContext&) {
  return store_.ReadCached(AnswerKey(serverName_, "GetUserList", who_, {}), [&](SqliteDb& db) {
    Statement st(db, "SELECT id, name, full_name FROM principals WHERE db_id = ? AND kind = 'U' ORDER BY id");
    st.Bind(1, who_.dbId);
    return Packet(QueryDataset(st, {{"_ID", FieldType::Int32}, {"_NAME", FieldType::Text}, {"_FULLNAME", FieldType::Text}}));
  });
}

Variant WorkflowSession::GetRoleTree(Args& a, RdcCallContext&) {
  const int32_t mode = a.Int(0);
  if (mode != 1 && mode != 2 && mode != 4) throw EOperationFailed(kErrArgument, "unknown mode " + std::to_string(mode));
  return store_.ReadCached(AnswerKey(serverName_, "GetRoleTree", who_, {mode}), [&](SqliteDb& db) {
    Statement st(db,
                 "SELECT id, name, parent_id, CASE kind WHEN 'D' THEN 1 ELSE 2 END, 0 AS o1, id AS o2, 0 AS o3 "
                 "FROM principals WHERE db_id = ?1 AND (kind = 'D' OR (kind = 'R' AND ?2 >= 2)) "
                 "UNION ALL "
                 "SELECT u.id, u.name, m.role_id, 3, 1, m.role_id, u.id FROM memberships m "
                 "JOIN principals u ON u.id = m.user_id WHERE u.db_id = ?1 AND ?2 = 4 "
                 "ORDER BY 5, 6, 7");
    st.BindAll(who_.dbId, mode);
    return Packet(QueryDataset(st, {{"_ID", FieldType::Int32},
                                    {"_NAME", FieldType::Text},
                                    {"_PARENT", FieldType::Int32},
                                    {"_KIND", FieldType::Int32}}));
  });
}

Variant WorkflowSession::GetRoleListForUser(Args& a, RdcCallContext&) {
  const int32_t user = a.Int(0);
  return store_.Read([&](SqliteDb& db) {
    RequireUser(db, user);
    Statement st(db,
                 "SELECT r.id, r.name, r.parent_id FROM memberships m JOIN principals r ON r.id = m.role_id "
                 "WHERE m.user_id = ? ORDER BY r.id");
    st.Bind(1, static_cast<int64_t>(user));
    return Packet(QueryDataset(st, {{"_ID_ROLE", FieldType::Int32},
                                    {"_ROLENAME", FieldType::Text},
                                    {"_PARENT", FieldType::Int32}}));
  });
}

// ---- task list and item information ----

Variant WorkflowSession::GetTaskListForUser(Args& a, RdcCallContext&) {
  const int32_t user = a.Int(0), roleMask = a.Int(1), stateMask = a.Int(2), mode = a.Int(3);
  if (mode < 0 || mode > 2) throw EOperationFailed(kErrArgument, "unknown stage mode " + std::to_string(mode));
  const std::string key = AnswerKey(serverName_, "GetTaskListForUser", who_, {user, roleMask, stateMask, mode});
  return store_.ReadCached(key, [&](SqliteDb& db) {
    RequireUser(db, user);
    Statement st(db,
                 "SELECT i.id, r.id, r.name, CASE WHEN i.item_type = 2 THEN COALESCE(op.name, '') ELSE i.task END, "
                 "r.owner_id, COALESCE(ow.name, ''), i.user_id, COALESCE(u.name, ''), i.role_id, i.date_plan, "
                 "r.date_start, i.state, r.state, r.pdm_id, i.item_type "
                 "FROM route_items i JOIN routes r ON r.id = i.route_id "
                 "LEFT JOIN principals ow ON ow.id = r.owner_id LEFT JOIN principals u ON u.id = i.user_id "
                 "LEFT JOIN auto_operations op ON op.id = i.auto_op_id "
                 "WHERE r.db_id = ?1 AND (((?3 & 1) <> 0 AND i.user_id = ?2) OR ((?3 & 2) <> 0 AND r.owner_id = ?2)) "
                 "AND ((1 << r.state) & ?4) <> 0 "
                 "AND (?5 = 1 OR (i.item_type = 1 AND (?5 = 2 OR i.state IN (2, 3)))) "
                 "ORDER BY r.id, i.id");
    st.BindAll(who_.dbId, static_cast<int64_t>(user), roleMask, stateMask, mode);
    return Packet(QueryDataset(st, {{"_ID_OPERATION", FieldType::Int32},
                                    {"_ID_ROUTE", FieldType::Int32},
                                    {"_ROUTENAME", FieldType::Text},
                                    {"_TASK", FieldType::Text},
                                    {"_ID_OWNER", FieldType::Int32},
                                    {"_OWNERNAME", FieldType::Text},
                                    {"_ID_USER", FieldType::Int32},
                                    {"_USERNAME", FieldType::Text},
                                    {"_ID_ROLE", FieldType::Int32},
                                    {"_DATE_CRITICAL", FieldType::DateTime},
                                    {"_DATE_START_BP", FieldType::DateTime},
                                    {"_STATE", FieldType::Int32},
                                    {"_WF_STATE", FieldType::Int32},
                                    {"_PDM_ID", FieldType::Int32},
                                    {"_ITEM_TYPE", FieldType::Int32}}));
  });
}

Variant WorkflowSession::ItemRows(SqliteDb& db, const std::string& where, int64_t key) const {
  Statement st(db,
               "SELECT i.id, i.route_id, i.item_type, i.state, "
               "CASE WHEN i.item_type = 2 THEN COALESCE(op.name, '') ELSE i.task END "
               "FROM route_items i JOIN routes r ON r.id = i.route_id "
               "LEFT JOIN auto_operations op ON op.id = i.auto_op_id WHERE r.db_id = ?1 AND " +
                   where);
  st.BindAll(who_.dbId, key);
  return Packet(QueryDataset(st, {{"_ID_ITEM", FieldType::Int32},
                                  {"_ID_ROUTE", FieldType::Int32},
                                  {"_ITEM_TYPE", FieldType::Int32},
                                  {"_ITEM_STATE", FieldType::Int32},
                                  {"_NAME", FieldType::Text}}));
}

Variant WorkflowSession::GetInfoAboutItem(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  return store_.Read([&](SqliteDb& db) { return ItemRows(db, "i.id = ?2", id); });
}

Variant WorkflowSession::GetNextItems(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  return store_.Read([&](SqliteDb& db) {
    RequireItem(db, id, false);
    return ItemRows(db, "i.id IN (SELECT to_item FROM route_links WHERE from_item = ?2 AND kind = 0) ORDER BY i.id", id);
  });
}

Variant WorkflowSession::GetInfoAboutRoute(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  return store_.Read([&](SqliteDb& db) {
    Statement st(db,
                 "SELECT r.id, r.name, r.pdm_id, r.owner_id, COALESCE(p.name, ''), r.date_start, r.state "
                 "FROM routes r LEFT JOIN principals p ON p.id = r.owner_id WHERE r.id = ? AND r.db_id = ?");
    st.BindAll(static_cast<int64_t>(id), who_.dbId);
    return Packet(QueryDataset(st, {{"_ID_ROUTE", FieldType::Int32},
                                    {"_ROUTENAME", FieldType::Text},
                                    {"_PDM_ID", FieldType::Int32},
                                    {"_ID_OWNER", FieldType::Int32},
                                    {"_OWNERNAME", FieldType::Text},
                                    {"_DATE_START", FieldType::DateTime},
                                    {"_WF_STATE", FieldType::Int32}}));
  });
}

Variant WorkflowSession::GetInfoAboutStage(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  return store_.Read([&](SqliteDb& db) {
    Statement st(db,
                 "SELECT i.route_id, i.id, i.task, i.role_id, COALESCE(ro.name, ''), i.user_id, COALESCE(u.name, ''), "
                 "i.date_plan, i.state, i.critical_term, i.date_start, i.date_end "
                 "FROM route_items i JOIN routes r ON r.id = i.route_id "
                 "LEFT JOIN principals ro ON ro.id = i.role_id LEFT JOIN principals u ON u.id = i.user_id "
                 "WHERE i.id = ? AND r.db_id = ? AND i.item_type = 1");
    st.BindAll(static_cast<int64_t>(id), who_.dbId);
    return Packet(QueryDataset(st, {{"_ID_ROUTE", FieldType::Int32},
                                    {"_ID_OPERATION", FieldType::Int32},
                                    {"_TASK", FieldType::Text},
                                    {"_ID_ROLE", FieldType::Int32},
                                    {"_ROLENAME", FieldType::Text},
                                    {"_ID_USER", FieldType::Int32},
                                    {"_USER_NAME", FieldType::Text},
                                    {"_DATE_EXECUTION_PLAN", FieldType::DateTime},
                                    {"_STATE", FieldType::Int32},
                                    {"_CRITICAL_TERM", FieldType::Int32},
                                    {"_DATE_START", FieldType::DateTime},
                                    {"_DATE_END", FieldType::DateTime}}));
  });
}

Variant WorkflowSession::GetRoleListIntoProcess(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  return store_.Read([&](SqliteDb& db) {
    Route route = RequireRoute(db, id);
    // The stages' (user, role) pairs in item order, each once; then the
    // owner when no stage names them, so that an executor can write back.
    Statement st(db,
                 "SELECT user_id, role_id, MIN(id) AS first FROM route_items "
                 "WHERE route_id = ?1 AND item_type = 1 AND user_id <> 0 GROUP BY user_id, role_id "
                 "UNION ALL SELECT ?2, 0, 9223372036854775807 "
                 "WHERE NOT EXISTS (SELECT 1 FROM route_items WHERE route_id = ?1 AND item_type = 1 AND user_id = ?2) "
                 "ORDER BY 3");
    st.BindAll(route.id, route.owner);
    return Packet(QueryDataset(st, {{"_USER_ID", FieldType::Int32}, {"_ROLE_ID", FieldType::Int32}}));
  });
}

Variant WorkflowSession::GetAttachDocumentListIntoProcess(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  return store_.Read([&](SqliteDb& db) {
    RequireRoute(db, id);
    Statement st(db, "SELECT pdm_object_id, par_id FROM route_documents WHERE route_id = ? ORDER BY seq");
    st.Bind(1, static_cast<int64_t>(id));
    return Packet(QueryDataset(st, {{"_PDM_OBJECT_ID", FieldType::Int32}, {"_ID_PAR", FieldType::Int32}}));
  });
}

// ---- letters ----

Variant WorkflowSession::GetIncomingCorrespondence(Args& a, RdcCallContext&) {
  const int32_t mode = a.Int(0);
  if (mode < 0 || mode > 2) throw EOperationFailed(kErrArgument, "unknown mode " + std::to_string(mode));
  return store_.ReadCached(AnswerKey(serverName_, "GetIncomingCorrespondence", who_, {mode}), [&](SqliteDb& db) {
    Statement st(db,
                 "SELECT l.id, l.route_id, r.name, l.author_id, COALESCE(p.name, ''), l.subject, l.body, l.date_send, "
                 "l.is_read FROM letters l JOIN routes r ON r.id = l.route_id LEFT JOIN principals p ON p.id = l.author_id "
                 "WHERE l.recipient_id = ?1 AND (?2 = 0 OR (?2 = 1 AND l.is_read <> 0) OR (?2 = 2 AND l.is_read = 0)) "
                 "ORDER BY l.id");
    st.BindAll(who_.userId, mode);
    return Packet(QueryDataset(st, {{"_ID_LETTER", FieldType::Int32},
                                    {"_ID_ROUTE", FieldType::Int32},
                                    {"_ROUTENAME", FieldType::Text},
                                    {"_AUTHOR_ID", FieldType::Int32},
                                    {"_AUTHOR_NAME", FieldType::Text},
                                    {"_MSG_SUBJECT", FieldType::Text},
                                    {"_MSG_BODY", FieldType::Text},
                                    {"_DATE_SEND", FieldType::DateTime},
                                    {"_IS_READ", FieldType::Int32}}));
  });
}

Variant WorkflowSession::GetCorrespondenceList(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  return store_.ReadCached(AnswerKey(serverName_, "GetCorrespondenceList", who_, {id}), [&](SqliteDb& db) {
    RequireRoute(db, id);
    // No read flag here: reading a letter must not make it a changed row.
    Statement st(db,
                 "SELECT l.id, l.route_id, l.author_id, COALESCE(p.name, ''), l.recipient_id, l.subject, l.body, "
                 "l.date_send FROM letters l LEFT JOIN principals p ON p.id = l.author_id WHERE l.route_id = ? "
                 "ORDER BY l.id");
    st.Bind(1, static_cast<int64_t>(id));
    return Packet(QueryDataset(st, {{"_ID_LETTER", FieldType::Int32},
                                    {"_ID_ROUTE", FieldType::Int32},
                                    {"_AUTHOR_ID", FieldType::Int32},
                                    {"_AUTHOR_NAME", FieldType::Text},
                                    {"_RECIPIENT_ID", FieldType::Int32},
                                    {"_MSG_SUBJECT", FieldType::Text},
                                    {"_MSG_BODY", FieldType::Text},
                                    {"_DATE_SEND", FieldType::DateTime}}));
  });
}

Variant WorkflowSession::SetLetterRead(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  const bool read = a.Int(2) != 0;
  store_.Write([&](SqliteDb& db) {
    Statement st(db,
                 "SELECT l.recipient_id FROM letters l JOIN routes r ON r.id = l.route_id WHERE l.id = ? AND r.db_id = ?");
    st.BindAll(static_cast<int64_t>(id), who_.dbId);
    if (!st.Step()) throw EOperationFailed(kErrNotFound, "Letter with id=[" + std::to_string(id) + "] not found");
    if (st.Int64(0) != who_.userId) throw EOperationFailed(kErrAccess, "Письмо адресовано другому пользователю");
    Statement(db, "UPDATE letters SET is_read = ? WHERE id = ?").BindAll(read, static_cast<int64_t>(id)).Run();
  });
  return Variant();
}

Variant WorkflowSession::SendLetterByBPToOneUser(Args& a, RdcCallContext&) {
  const int32_t route = a.Int(0), authorRole = a.Int(1), recipientRole = a.Int(2), recipient = a.Int(3);
  const std::string subject = a.Text(4), body = a.Text(5);
  const double now = store_.Now();
  int64_t id = store_.Write([&](SqliteDb& db) {
    RequireRoute(db, route);
    if (recipient == 0) throw EOperationFailed(kErrArgument, "Получатель письма не указан");
    RequireUser(db, recipient);
    Statement(db,
              "INSERT INTO letters(route_id, author_id, author_role, recipient_id, recipient_role, subject, body, "
              "date_send, is_read) VALUES(?, ?, ?, ?, ?, ?, ?, ?, 0)")
        .BindAll(static_cast<int64_t>(route), who_.userId, authorRole, static_cast<int64_t>(recipient), recipientRole,
                 subject, body, now)
        .Run();
    return db.LastInsertId();
  });
  return Variant(static_cast<int32_t>(id));
}

// ---- building processes ----

Variant WorkflowSession::CreateNewProcess(Args& a, RdcCallContext&) {
  const std::string dbName = a.Text(0);
  const int32_t object = a.Int(1);
  const std::string name = a.Text(2);
  if (!EqualsNoCase(dbName, who_.dbName))
    throw EOperationFailed(kErrNotFound, "База данных \"" + dbName + "\" не открыта в этом сеансе");
  const double now = store_.Now();
  int64_t id = store_.Write([&](SqliteDb& db) {
    Statement(db, "INSERT INTO routes(db_id, name, owner_id, state, pdm_id, created) VALUES(?, ?, ?, 0, ?, ?)")
        .BindAll(who_.dbId, name, who_.userId, object, now)
        .Run();
    return db.LastInsertId();
  });
  return Variant(static_cast<int32_t>(id));
}

Variant WorkflowSession::GetAutoOperationList(Args& a, RdcCallContext&) {
  const int32_t mode = a.Int(0);
  if (mode != 0 && mode != 1) throw EOperationFailed(kErrArgument, "unknown mode " + std::to_string(mode));
  return store_.Read([&](SqliteDb& db) {
    Statement st(db,
                 "SELECT id, name, op_type, is_system FROM auto_operations WHERE db_id = ? AND (? = 1 OR is_system = 0) "
                 "ORDER BY id");
    st.BindAll(who_.dbId, mode);
    return Packet(QueryDataset(st, {{"_ID", FieldType::Int32},
                                    {"_NAME", FieldType::Text},
                                    {"_TYPE", FieldType::Int32},
                                    {"_IS_SYSTEM", FieldType::Int32}}));
  });
}

Variant WorkflowSession::InsUpdAutoOperation(Args& a, RdcCallContext&) {
  const std::string name = a.Text(0);
  const int32_t type = a.Int(1), access = a.Int(2), system = a.Int(3);
  const std::string script = a.Text(4);
  const int32_t existing = a.Int(5);
  if (name.empty()) throw EOperationFailed(kErrArgument, "an auto-operation needs a name");
  int64_t id = store_.Write([&](SqliteDb& db) -> int64_t {
    if (existing == 0) {
      Statement(db,
                "INSERT INTO auto_operations(db_id, name, op_type, is_access, is_system, script) VALUES(?, ?, ?, ?, ?, ?)")
          .BindAll(who_.dbId, name, type, access, system, script)
          .Run();
      return db.LastInsertId();
    }
    Statement(db,
              "UPDATE auto_operations SET name = ?, op_type = ?, is_access = ?, is_system = ?, script = ? "
              "WHERE id = ? AND db_id = ?")
        .BindAll(name, type, access, system, script, static_cast<int64_t>(existing), who_.dbId)
        .Run();
    if (db.Changes() == 0)
      throw EOperationFailed(kErrNotFound, "Auto-operation with id=[" + std::to_string(existing) + "] not found");
    return existing;
  });
  a.Out(5, Variant(static_cast<int32_t>(id)));
  return Variant();
}

Variant WorkflowSession::InsUpdOpInstance(Args& a, RdcCallContext&) {
  const int32_t op = a.Int(0), wait = a.Int(1);
  const std::string variables = a.Text(2);
  const int32_t routeId = a.Int(3), existing = a.Int(4);
  int64_t id = store_.Write([&](SqliteDb& db) -> int64_t {
    RequireRoute(db, routeId);
    Statement st(db, "SELECT 1 FROM auto_operations WHERE id = ? AND db_id = ?");
    st.BindAll(static_cast<int64_t>(op), who_.dbId);
    if (!st.Step()) throw EOperationFailed(kErrNotFound, "Auto-operation with id=[" + std::to_string(op) + "] not found");
    if (existing == 0) {
      Statement(db, "INSERT INTO route_items(route_id, item_type, auto_op_id, is_wait, variables) VALUES(?, 2, ?, ?, ?)")
          .BindAll(static_cast<int64_t>(routeId), static_cast<int64_t>(op), wait, variables)
          .Run();
      return db.LastInsertId();
    }
    Item item = RequireItem(db, existing, false);
    if (item.type != model::kItemAutoOperation || item.route != routeId)
      throw EOperationFailed(kErrNotFound, "Instance with id=[" + std::to_string(existing) + "] not found");
    Statement(db, "UPDATE route_items SET auto_op_id = ?, is_wait = ?, variables = ? WHERE id = ?")
        .BindAll(static_cast<int64_t>(op), wait, variables, item.id)
        .Run();
    return existing;
  });
  a.Out(4, Variant(static_cast<int32_t>(id)));
  return Variant();
}

Variant WorkflowSession::InsUpdStageIntoBP(Args& a, RdcCallContext&) {
  // Three interfaces: 9 arguments (stage id last), 10 (can-transform, stage
  // id) and 12 (can-transform, stage id, time constraint, from start).
  const size_t n = a.Count();
  if (n == 11) throw EOperationFailed(kErrArgument, "InsUpdStageIntoBP takes 9, 10 or 12 arguments");
  const size_t stageIdx = n == 9 ? 8 : 9;
  const std::string task = a.Text(0);
  const int32_t term = a.Int(1);
  const double plan = a.Double(2);
  const int32_t canControl = a.Int(3), active = a.Int(4), role = a.Int(5), user = a.Int(6), routeId = a.Int(7);
  const int32_t canTransform = n >= 10 ? a.Int(8) : 0;
  const int32_t existing = a.Int(stageIdx);
  const int32_t timeConstraint = n == 12 ? a.Int(10) : 0, fromStart = n == 12 ? a.Int(11) : 0;
  int64_t id = store_.Write([&](SqliteDb& db) -> int64_t {
    RequireRoute(db, routeId);
    if (user != 0) RequireUser(db, user);
    if (role != 0) RequireRole(db, role);
    if (existing == 0) {
      Statement(db,
                "INSERT INTO route_items(route_id, item_type, task, critical_term, date_plan, can_control, active, "
                "role_id, user_id, can_transform, time_constraint, from_bp_start) VALUES(?, 1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
          .BindAll(static_cast<int64_t>(routeId), task, term, plan, canControl, active, role, user, canTransform,
                   timeConstraint, fromStart)
          .Run();
      return db.LastInsertId();
    }
    Item item = RequireItem(db, existing, true);
    if (item.route != routeId)
      throw EOperationFailed(kErrNotFound, "Stage with id=[" + std::to_string(existing) + "] not found");
    Statement(db,
              "UPDATE route_items SET task = ?, critical_term = ?, date_plan = ?, can_control = ?, active = ?, "
              "role_id = ?, user_id = ?, can_transform = ?, time_constraint = ?, from_bp_start = ? WHERE id = ?")
        .BindAll(task, term, plan, canControl, active, role, user, canTransform, timeConstraint, fromStart, item.id)
        .Run();
    return existing;
  });
  a.Out(stageIdx, Variant(static_cast<int32_t>(id)));
  return Variant();
}

Variant WorkflowSession::AddRouteItemsSeq(Args& a, RdcCallContext&) {
  const int32_t first = a.Int(0), second = a.Int(1), type = a.Int(2);
  store_.Write([&](SqliteDb& db) {
    Item to = RequireItem(db, second, false);
    if (first == 0) {
      Statement(db, "UPDATE routes SET first_item = ? WHERE id = ?").BindAll(to.id, to.route).Run();
      return;
    }
    Item from = RequireItem(db, first, false);
    if (from.route != to.route) throw EOperationFailed(kErrArgument, "the items belong to different processes");
    Statement(db,
              "INSERT INTO route_links(route_id, from_item, to_item, kind, link_type) SELECT ?, ?, ?, 0, ? "
              "WHERE NOT EXISTS (SELECT 1 FROM route_links WHERE from_item = ?2 AND to_item = ?3 AND kind = 0)")
        .BindAll(to.route, from.id, to.id, type)
        .Run();
  });
  return Variant();
}

Variant WorkflowSession::AddRouteItemsRetSeq(Args& a, RdcCallContext&) {
  const int32_t first = a.Int(0), second = a.Int(1);
  store_.Write([&](SqliteDb& db) {
    Item from = RequireItem(db, first, false);
    Item to = RequireItem(db, second, false);
    if (from.route != to.route) throw EOperationFailed(kErrArgument, "the items belong to different processes");
    Statement(db,
              "INSERT INTO route_links(route_id, from_item, to_item, kind) SELECT ?, ?, ?, 1 "
              "WHERE NOT EXISTS (SELECT 1 FROM route_links WHERE from_item = ?2 AND to_item = ?3 AND kind = 1)")
        .BindAll(to.route, from.id, to.id)
        .Run();
  });
  return Variant();
}

Variant WorkflowSession::SetVariable(Args& a, RdcCallContext&) {
  const int32_t route = a.Int(0);
  const std::string name = a.Text(1), value = a.Text(2);
  const bool readOnly = a.Bool(3);
  if (name.empty()) throw EOperationFailed(kErrArgument, "a variable needs a name");
  store_.Write([&](SqliteDb& db) {
    RequireRoute(db, route);
    Statement(db, "INSERT OR REPLACE INTO route_variables(route_id, name, value, read_only) VALUES(?, ?, ?, ?)")
        .BindAll(static_cast<int64_t>(route), name, value, readOnly)
        .Run();
  });
  return Variant();
}

Variant WorkflowSession::AddBPDocument(Args& a, RdcCallContext&) {
  const int32_t route = a.Int(0), doc = a.Int(1), par = a.Int(2);
  if (doc == 0) throw EOperationFailed(kErrArgument, "no document given");
  store_.Write([&](SqliteDb& db) {
    RequireRoute(db, route);
    Statement(db,
              "INSERT OR IGNORE INTO route_documents(route_id, pdm_object_id, par_id, seq) "
              "VALUES(?1, ?2, ?3, (SELECT COALESCE(MAX(seq), 0) + 1 FROM route_documents WHERE route_id = ?1))")
        .BindAll(static_cast<int64_t>(route), doc, par)
        .Run();
  });
  return Variant();
}

// ---- states ----

void WorkflowSession::SetState(SqliteDb& db, const Item& item, int32_t state, double now) const {
  // The start date is kept from the first issue; the end date follows
  // completion (and is cleared when the item is reopened).
  Statement(db,
            "UPDATE route_items SET state = ?1, "
            "date_start = CASE WHEN ?1 IN (2, 3) AND date_start = 0 THEN ?2 ELSE date_start END, "
            "date_end = CASE WHEN ?1 IN (4, 6) THEN ?2 ELSE 0 END WHERE id = ?3")
      .BindAll(state, now, item.id)
      .Run();
}

void WorkflowSession::Issue(SqliteDb& db, int64_t routeId, int64_t itemId, double now, int depth) const {
  Item item = RequireItem(db, itemId, false);
  if (item.type == model::kItemStage) {
    SetState(db, item, 2, now);
    return;
  }
  if (depth > kMaxAutoChain) throw EOperationFailed(kErrState, "the route loops through auto-operations");
  Statement st(db,
               "SELECT COALESCE(op.name, ''), COALESCE(op.is_system, 0), COALESCE(op.script, '') FROM route_items i "
               "LEFT JOIN auto_operations op ON op.id = i.auto_op_id WHERE i.id = ?");
  st.Bind(1, item.id);
  st.Step();
  const bool finishes = ScriptFinishes(st.Text(2)) || (st.Int64(1) != 0 && st.Text(0) == model::kFinishOperation);
  SetState(db, item, 4, now);
  if (finishes) {
    Statement(db, "UPDATE routes SET state = 3 WHERE id = ?").Bind(1, routeId).Run();
    return;
  }
  Follow(db, routeId, item.id, kForward, now, depth + 1);
}

void WorkflowSession::Follow(SqliteDb& db, int64_t routeId, int64_t fromItem, int kind, double now, int depth) const {
  std::vector<int64_t> targets;
  {
    Statement st(db, "SELECT to_item FROM route_links WHERE from_item = ? AND kind = ? ORDER BY id");
    st.BindAll(fromItem, kind);
    while (st.Step()) targets.push_back(st.Int64(0));
  }
  for (int64_t t : targets) Issue(db, routeId, t, now, depth);
}

Variant WorkflowSession::SetStateOfProcess(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0), state = a.Int(1);
  if (state != 1 && state != 2) throw EOperationFailed(kErrArgument, "unknown process state " + std::to_string(state));
  const double now = store_.Now();
  store_.Write([&](SqliteDb& db) {
    Route route = RequireRoute(db, id);
    if (route.state == 3) throw EOperationFailed(kErrState, "Процесс завершён");
    if (route.state == state) return;
    Statement(db, "UPDATE routes SET state = ? WHERE id = ?").BindAll(state, route.id).Run();
    // The first start issues the first item; resuming leaves the items.
    if (state == 1 && route.dateStart == 0.0) {
      Statement(db, "UPDATE routes SET date_start = ? WHERE id = ?").BindAll(now, route.id).Run();
      int64_t first = db.QueryInt("SELECT first_item FROM routes WHERE id = " + std::to_string(route.id)).value_or(0);
      if (first == 0)
        first = db.QueryInt("SELECT MIN(id) FROM route_items WHERE route_id = " + std::to_string(route.id)).value_or(0);
      if (first != 0) Issue(db, route.id, first, now, 0);
    }
  });
  return Variant();
}

Variant WorkflowSession::SetTaskState(Args& a, RdcCallContext&) {
  const int32_t routeId = a.Int(0), id = a.Int(1), state = a.Int(2);
  const std::string message = a.Text(3);
  RequireItemState(state);
  const double now = store_.Now();
  store_.Write([&](SqliteDb& db) {
    RequireRoute(db, routeId);
    Item item = RequireItem(db, id, true);
    if (item.route != routeId)
      throw EOperationFailed(kErrNotFound, "Stage with id=[" + std::to_string(id) + "] not found in the process");
    SetState(db, item, state, now);
    if (!message.empty()) Statement(db, "UPDATE route_items SET note = ? WHERE id = ?").BindAll(message, item.id).Run();
  });
  return Variant();
}

Variant WorkflowSession::SetItemState(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0), state = a.Int(1);
  RequireItemState(state);
  const double now = store_.Now();
  store_.Write([&](SqliteDb& db) { SetState(db, RequireItem(db, id, false), state, now); });
  return Variant();
}

Variant WorkflowSession::SetItemStateInternal(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0), state = a.Int(1);
  RequireItemState(state);
  store_.Write([&](SqliteDb& db) {
    Item item = RequireItem(db, id, false);
    Statement(db, "UPDATE route_items SET state = ? WHERE id = ?").BindAll(state, item.id).Run();
  });
  return Variant();
}

Variant WorkflowSession::StartNextStage(Args& a, RdcCallContext&) {
  const int32_t routeId = a.Int(0), id = a.Int(1), direct = a.Int(2);
  if (direct != 1 && direct != 2) throw EOperationFailed(kErrArgument, "unknown direction " + std::to_string(direct));
  const double now = store_.Now();
  store_.Write([&](SqliteDb& db) {
    Route route = RequireRoute(db, routeId);
    Item item = RequireItem(db, id, false);
    if (item.route != route.id)
      throw EOperationFailed(kErrNotFound, "Item with id=[" + std::to_string(id) + "] not found in the process");
    if (route.state != 1) throw EOperationFailed(kErrState, "Процесс не выполняется");
    Follow(db, route.id, item.id, direct == 2 ? kForward : kReturn, now, 0);
  });
  return Variant();
}

// ---- changing stages and processes ----

Variant WorkflowSession::RenameProcess(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  const std::string name = a.Text(1);
  store_.Write([&](SqliteDb& db) {
    RequireRoute(db, id);
    Statement(db, "UPDATE routes SET name = ? WHERE id = ?").BindAll(name, static_cast<int64_t>(id)).Run();
  });
  return Variant();
}

Variant WorkflowSession::SetStageExecutor(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0), user = a.Int(1), role = a.Int(2);
  store_.Write([&](SqliteDb& db) {
    Item item = RequireItem(db, id, true);
    RequireUser(db, user);
    if (role != 0) RequireRole(db, role);
    Statement(db, "UPDATE route_items SET user_id = ?, role_id = ? WHERE id = ?").BindAll(user, role, item.id).Run();
  });
  return Variant();
}

Variant WorkflowSession::SetStageTerm(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0), limit = a.Int(1);
  const double plan = a.Double(2);
  const int32_t constraint = a.Int(3), fromStart = a.Int(4);
  store_.Write([&](SqliteDb& db) {
    Item item = RequireItem(db, id, true);
    Statement(db,
              "UPDATE route_items SET critical_term = ?, date_plan = ?, time_constraint = ?, from_bp_start = ? "
              "WHERE id = ?")
        .BindAll(limit, plan, constraint, fromStart, item.id)
        .Run();
  });
  return Variant();
}

Variant WorkflowSession::SetStageTask(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  const std::string task = a.Text(1);
  store_.Write([&](SqliteDb& db) {
    Item item = RequireItem(db, id, true);
    Statement(db, "UPDATE route_items SET task = ? WHERE id = ?").BindAll(task, item.id).Run();
  });
  return Variant();
}

Variant WorkflowSession::DeleteProcess(Args& a, RdcCallContext&) {
  const int32_t id = a.Int(0);
  store_.Write([&](SqliteDb& db) {
    Route route = RequireRoute(db, id);
    if (route.owner != who_.userId && !who_.isAdmin)
      throw EOperationFailed(kErrAccess, "Удалить процесс может только его владелец");
    // Items, links, documents, variables and letters go with it (ON DELETE CASCADE).
    Statement(db, "DELETE FROM routes WHERE id = ?").Bind(1, route.id).Run();
  });
  return Variant();
}

}  // namespace brevalon::appserver
