// Session of the reference workflow server (processes, stages and other
// route items, letters, roles, users) for one connection: its database and
// signed-in user. The operations, states, modes and masks are described in
// docs/appserver.md.
//
// Created by the RDC server's session factory per connection and called one
// call at a time; shares only the Store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "appserver/session_base.h"

namespace brevalon::appserver {

inline constexpr const char* kWorkflowClass = "{3D7F4F8F-F8A2-4AC5-B9E7-48CBC7CD2749}";

class WorkflowSession : public SessionBase {
 public:
  explicit WorkflowSession(Store& store) : SessionBase(store, "workflow") {}

  Variant Call(const std::string& name, std::vector<Variant>& args, RdcCallContext& ctx) override;
  Variant GetProperty(const std::string& name, RdcCallContext& ctx) override;

 private:
  using Op = Operation<WorkflowSession>;
  static const std::vector<Op>& Operations();

  Variant ConnectWorkFlowOnDbEx(Args& a, RdcCallContext& ctx);
  Variant GetInfoAboutCurrentUser(Args& a, RdcCallContext& ctx);
  Variant GetTaskListForUser(Args& a, RdcCallContext& ctx);
  Variant GetIncomingCorrespondence(Args& a, RdcCallContext& ctx);
  Variant GetCorrespondenceList(Args& a, RdcCallContext& ctx);
  Variant SetLetterRead(Args& a, RdcCallContext& ctx);
  Variant SendLetterByBPToOneUser(Args& a, RdcCallContext& ctx);
  Variant GetRoleListIntoProcess(Args& a, RdcCallContext& ctx);
  Variant GetUserList(Args& a, RdcCallContext& ctx);
  Variant GetRoleTree(Args& a, RdcCallContext& ctx);
  Variant GetRoleListForUser(Args& a, RdcCallContext& ctx);
  Variant GetInfoAboutItem(Args& a, RdcCallContext& ctx);
  Variant GetInfoAboutRoute(Args& a, RdcCallContext& ctx);
  Variant GetInfoAboutStage(Args& a, RdcCallContext& ctx);
  Variant GetAttachDocumentListIntoProcess(Args& a, RdcCallContext& ctx);
  Variant CreateNewProcess(Args& a, RdcCallContext& ctx);
  Variant GetAutoOperationList(Args& a, RdcCallContext& ctx);
  Variant InsUpdAutoOperation(Args& a, RdcCallContext& ctx);
  Variant InsUpdOpInstance(Args& a, RdcCallContext& ctx);
  Variant InsUpdStageIntoBP(Args& a, RdcCallContext& ctx);
  Variant AddRouteItemsSeq(Args& a, RdcCallContext& ctx);
  Variant AddRouteItemsRetSeq(Args& a, RdcCallContext& ctx);
  Variant SetVariable(Args& a, RdcCallContext& ctx);
  Variant AddBPDocument(Args& a, RdcCallContext& ctx);
  Variant SetStateOfProcess(Args& a, RdcCallContext& ctx);
  Variant SetTaskState(Args& a, RdcCallContext& ctx);
  Variant SetItemState(Args& a, RdcCallContext& ctx);
  Variant SetItemStateInternal(Args& a, RdcCallContext& ctx);
  Variant StartNextStage(Args& a, RdcCallContext& ctx);
  Variant GetNextItems(Args& a, RdcCallContext& ctx);
  Variant RenameProcess(Args& a, RdcCallContext& ctx);
  Variant SetStageExecutor(Args& a, RdcCallContext& ctx);
  Variant SetStageTerm(Args& a, RdcCallContext& ctx);
  Variant SetStageTask(Args& a, RdcCallContext& ctx);
  Variant DeleteProcess(Args& a, RdcCallContext& ctx);

  // Helpers running inside a transaction.
  struct Route {
    int64_t id = 0;
    int32_t state = 0;
    int64_t owner = 0;
    double dateStart = 0;
  };
  struct Item {
    int64_t id = 0;
    int64_t route = 0;
    int32_t type = 0;
    int32_t state = 0;
  };
  Route RequireRoute(SqliteDb& db, int64_t id) const;
  Item RequireItem(SqliteDb& db, int64_t id, bool stageOnly) const;
  void RequireUser(SqliteDb& db, int64_t id) const;
  void RequireRole(SqliteDb& db, int64_t id) const;
  void SetState(SqliteDb& db, const Item& item, int32_t state, double now) const;
  void Issue(SqliteDb& db, int64_t routeId, int64_t itemId, double now, int depth) const;
  void Follow(SqliteDb& db, int64_t routeId, int64_t fromItem, int kind, double now, int depth) const;
  Variant ItemRows(SqliteDb& db, const std::string& where, int64_t key) const;
};

}  // namespace brevalon::appserver
