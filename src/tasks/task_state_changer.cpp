#include "tasks/task_state_changer.h"

#include <memory>

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "pdm/version_cache.h"
#include "protocol/request_records.h"
#include "session/session_logic.h"
#include "tasks/task_creator.h"
#include "tasks/task_list.h"
#include "util/process_name.h"

namespace brevalon {

namespace {

constexpr int32_t kProcessRunning = 1;
constexpr int32_t kProcessStopped = 2;
constexpr int32_t kStateIssued = 2;
constexpr int32_t kStateInWork = 3;
constexpr int32_t kStateDone = 4;
constexpr int32_t kStateDoneWithRemarks = 6;
constexpr int32_t kStateWaiting = 0;
constexpr int32_t kItemStage = 1;
constexpr int32_t kForward = 2;

}  // namespace

std::string RevocationText(const std::string& Reason) {
  if (Reason.empty()) return kRevokedNoReasonBody;
  return "Задание отозвано по причине: \"" + Reason + "\"";
}

void TTaskStateChanger::ChangeTaskState(int32_t IdOperation, int32_t Action,
                                        const std::string& Reason, TAppMainSystem& AppMS,
                                        TAppWorkFlow& AppWF) {
  FIdOperation = IdOperation;
  FAppWF = &AppWF;
  FAppMS = &AppMS;

  TDataSetPtr stage = FAppWF->GetInfoAboutStage(FIdOperation);
  if (!stage || stage->IsEmpty()) {
    throw Exception("Process with operation id=[" + std::to_string(FIdOperation) + "] not found");
  }
  stage->First();
  FIdRoute = stage->FieldByName("_ID_ROUTE").AsInteger();
  FIdRole = stage->FieldByName("_ID_ROLE").AsInteger();
  FIdExecutor = stage->FieldByName("_ID_USER").AsInteger();
  FExecutor = stage->FieldByName("_USER_NAME").AsString();
  FPlanDate = stage->FieldByName("_DATE_EXECUTION_PLAN").AsDateTime();

  TDataSetPtr route = FAppWF->GetInfoAboutRoute(FIdRoute);
  if (!route || route->IsEmpty()) {
    throw Exception("Process with id=[" + std::to_string(FIdRoute) + "] not found");
  }
  route->First();
  FRouteName = route->FieldByName("_ROUTENAME").AsString();
  FAuthor = route->FieldByName("_OWNERNAME").AsString();
  FIdAuthor = route->FieldByName("_ID_OWNER").AsInteger();

  const std::string title = ProcessNameTitle(FRouteName);
  switch (Action & 0x7F) {
    case taIssue:
      FAppWF->SetStateOfProcess(FIdRoute, kProcessRunning);
      SendToExecutor(kNewTaskLetterSubject, MakeBPInfoText(title, FPlanDate));
      break;
    case taSetToWork:
      FAppWF->SetTaskState(FIdRoute, FIdOperation, kStateInWork, std::string());
      SendToAuthor(kSetToWorkLetterSubject, kSetToWorkBody);
      break;
    case taRevoke: {
      const std::string text = RevocationText(Reason);
      WithdrawExecutorGrants();
      SendToExecutor(title, text);
      FAppWF->SetStateOfProcess(FIdRoute, kProcessStopped);
      break;
    }
    case taComplete:
      CompleteItem(FIdOperation);
      SendToAuthor(title, kCompletedBody);
      break;
    case taAccept:
      if (const int32_t check = OpenCheckItem(); check != 0) {
        FAppWF->SetTaskState(FIdRoute, check, kStateInWork, std::string());
        CompleteItem(check);
        WithdrawExecutorGrants();
      }
      break;
    case taReissue:
      FAppWF->SetStateOfProcess(FIdRoute, kProcessRunning);
      SendToExecutor(title, kReissuedBody);
      break;
    case taReturn:
      if (const int32_t check = OpenCheckItem(); check != 0) {
        FAppWF->SetItemStateInternal(check, kStateWaiting);
        FAppWF->SetItemStateInternal(FIdOperation, kStateWaiting);
        FAppWF->SetItemStateInternal(FIdOperation, kStateIssued);
        FAppWF->SetItemStateInternal(FIdOperation, kStateInWork);
        SendToExecutor(title, kReturnedBody);
      }
      break;
    default:
      break;
  }
}

void TTaskStateChanger::SendToExecutor(const std::string& Subject, const std::string& Body) {
  Variant senderRole(static_cast<uint8_t>(0));
  Variant recipientRole(FIdRole);
  Variant recipient(FIdExecutor);
  FAppWF->SendLetterByBPToOneUser(FIdRoute, senderRole, recipientRole, recipient, Subject, Body);
}

void TTaskStateChanger::SendToAuthor(const std::string& Subject, const std::string& Body) {
  if (FIdAuthor == 0) return;
  Variant senderRole(FIdRole);
  Variant recipientRole(static_cast<uint8_t>(0));
  Variant recipient(FIdAuthor);
  FAppWF->SendLetterByBPToOneUser(FIdRoute, senderRole, recipientRole, recipient, Subject, Body);
}

void TTaskStateChanger::CompleteItem(int32_t Item) {
  FAppWF->SetItemState(Item, kStateDone, 0);
  FAppWF->StartNextStage(FIdRoute, Item, kForward);
}

int32_t TTaskStateChanger::OpenCheckItem() {
  TDataSetPtr next = FAppWF->GetNextItems(FIdOperation);
  if (!next || next->IsEmpty()) return 0;
  next->First();
  const int32_t type = next->FieldByName("_ITEM_TYPE").AsInteger();
  const int32_t state = next->FieldByName("_ITEM_STATE").AsInteger();
  if (type != kItemStage || (state != kStateIssued && state != kStateDoneWithRemarks)) return 0;
  return next->FieldByName("_ID_ITEM").AsInteger();
}

void TTaskStateChanger::WithdrawExecutorGrants() {
  std::string ids;
  {
    TDataSetPtr docs = FAppWF->GetAttachDocumentListIntoProcess(FIdRoute);
    if (docs) {
      for (docs->First(); !docs->Eof(); docs->Next()) {
        if (!ids.empty()) ids += ",";
        ids += std::to_string(docs->FieldByName("_PDM_OBJECT_ID").AsInteger());
      }
    }
  }
  if (ids.empty()) return;  // no documents: nothing to withdraw, nothing to ask

  TPDMVersionStorage storage(*FAppMS);
  TPDMVersionList versions;
  storage.LoadListFromIdList(versions, ids);
  TDataSetPtr types = FAppMS->GetTypeList();
  if (!types) return;
  for (int i = 0; i < versions.Count(); ++i) {
    const IPDMVersionPtr v = versions.GetItem(i);
    bool found = false;
    for (types->First(); !types->Eof(); types->Next()) {
      if (types->FieldByName("_ID").AsInteger() == v->IdType()) {
        found = true;
        break;
      }
    }
    if (!found) continue;
    if (types->FieldByName("_DOCUMENT").AsInteger() == 1 && v->AccessLevel() == alAdministration) {
      FAppMS->UpGrantOnVersion(0, types->FieldByName("_TYPENAME").AsString(), v->Product(),
                               v->Version(), FExecutor, 0, 0.0, true);
    }
  }
}

void DeleteTaskProcess(TAppWorkFlow& AppWF, int32_t IdRoute) {
  AppWF.DeleteProcess(IdRoute);
}

void TSessionLogic::SetStateForTask(const std::string& Base64) {
  CheckConnected();
  const auto params = std::make_unique<TParamsChangeTaskState>(Base64);
  TTaskStateChanger().ChangeTaskState(params->FIdTask, params->FIdState, params->FSReason,
                                      AppMainSystem(), AppWorkFlow());
}

void TSessionLogic::DeleteTask(const std::string& Base64) {
  CheckConnected();
  const auto params = std::make_unique<TParamsDeleteTask>(Base64);
  DeleteTaskProcess(AppWorkFlow(), params->FIdRoute);
}

}  // namespace brevalon
