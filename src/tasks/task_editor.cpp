#include "tasks/task_editor.h"

#include <memory>

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "session/session_logic.h"
#include "tasks/task_creator.h"
#include "tasks/task_list.h"

namespace brevalon {

namespace {

constexpr int32_t kProcessRunning = 1;
constexpr int32_t kProcessStopped = 2;
constexpr int32_t kStageIssued = 2;

}  // namespace

void TTaskEditor::EditTask(const std::string& Base64, TAppWorkFlow& AppWF, TAppMainSystem& AppMS) {
  FAppWF = &AppWF;
  FAppMS = &AppMS;
  const auto params = std::make_unique<TParamsTaskEditing>(Base64);

  TDataSetPtr stage = FAppWF->GetInfoAboutStage(params->FIdTask);
  // Without this check an unknown id would read as route 0 and the changes
  // would be sent for it; a clear failure before any change is better.
  if (!stage || stage->IsEmpty()) {
    throw Exception("Process with operation id=[" + std::to_string(params->FIdTask) +
                    "] not found");
  }
  stage->First();
  FIdRoute = stage->FieldByName("_ID_ROUTE").AsInteger();
  FIdRole = stage->FieldByName("_ID_ROLE").AsInteger();
  FIdUser = stage->FieldByName("_ID_USER").AsInteger();
  FDateCritical = stage->FieldByName("_DATE_EXECUTION_PLAN").AsDateTime();
  FText = stage->FieldByName("_TASK").AsString();
  FTaskStageState = stage->FieldByName("_STATE").AsInteger();

  TDataSetPtr route = FAppWF->GetInfoAboutRoute(FIdRoute);
  if (route && !route->IsEmpty()) {
    route->First();
    FTaskStateRout = route->FieldByName("_WF_STATE").AsInteger();
    DecodeProcessName(route->FieldByName("_ROUTENAME").AsString(), FInfo);
  }
  ApplyChanges(*params);
}

void TTaskEditor::ApplyChanges(const TParamsTaskEditing& Params) {
  const bool executorChanged = Params.FIdUserNew != FIdUser;
  const bool subjectChanged = Params.FSubjectNew != FInfo.Title;
  const bool dateChanged = Params.FDateCriticalNew != FDateCritical;
  const bool textChanged = Params.FTextNew != FText;
  if (!executorChanged && !subjectChanged && !dateChanged && !textChanged) return;

  std::string log;
  auto addLog = [&log](const char* line) { log += std::string(line) + "\r\n"; };

  const bool paused = FTaskStateRout == kProcessRunning;
  if (paused) FAppWF->SetStateOfProcess(FIdRoute, kProcessStopped);

  if (executorChanged) {
    Variant user(Params.FIdUserNew);
    Variant role(Params.FIdRoleNew);
    FAppWF->SetStageExecutor(Params.FIdTask, user, role);
    // The new executor receives the stage as issued, not as in work.
    if (TaskStateOf(FTaskStateRout, FTaskStageState) == tsInWork) {
      FAppWF->SetItemState(Params.FIdTask, kStageIssued, 0);
    }
    addLog(kExecutorChangedLine);
  }
  if (subjectChanged) {
    FAppWF->RenameProcess(FIdRoute, EncodeProcessName(FInfo.Kind, FInfo.Tag, Params.FSubjectNew));
    addLog(kSubjectChangedLine);
  }
  if (dateChanged) {
    Variant planEnd = Params.FDateCriticalNew != 0.0 ? Variant(Params.FDateCriticalNew)
                                                     : Variant(static_cast<uint8_t>(0));
    FAppWF->SetStageTerm(Params.FIdTask, 0, planEnd, 0, 0);
    addLog(kDateChangedLine);
  }
  if (textChanged) {
    Variant text(Params.FTextNew);
    FAppWF->SetStageTask(Params.FIdTask, text);
    addLog(kTextChangedLine);
  }

  if (paused) FAppWF->SetStateOfProcess(FIdRoute, kProcessRunning);

  if (FTaskStateRout == kProcessRunning) {
    if (!log.empty()) {
      // To the executor and under the subject as they were before the edit.
      Variant senderRole(static_cast<uint8_t>(0));
      Variant recipientRole(FIdRole);
      Variant recipient(FIdUser);
      FAppWF->SendLetterByBPToOneUser(FIdRoute, senderRole, recipientRole, recipient, FInfo.Title,
                                      log);
    }
    if (executorChanged) {
      Variant senderRole(static_cast<uint8_t>(0));
      Variant recipientRole(Params.FIdRoleNew);
      Variant recipient(Params.FIdUserNew);
      FAppWF->SendLetterByBPToOneUser(FIdRoute, senderRole, recipientRole, recipient,
                                      kNewTaskLetterSubject,
                                      MakeBPInfoText(Params.FSubjectNew, Params.FDateCriticalNew));
    }
  }
}

void TSessionLogic::EditTask(const std::string& Base64) {
  CheckConnected();
  TTaskEditor().EditTask(Base64, AppWorkFlow(), AppMainSystem());
}

}  // namespace brevalon
