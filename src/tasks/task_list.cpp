#include "tasks/task_list.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <memory>
#include <string>

#include "pdm/app_workflow.h"
#include "data/dataset.h"
#include "data/dataset_packet.h"
#include "protocol/request_records.h"
#include "protocol/result_writer.h"
#include "session/session_logic.h"
#include "sync/dataset_versions_manager.h"
#include "tasks/task_correspondence.h"
#include "util/process_name.h"

namespace brevalon {

TTaskState TaskStateOf(int32_t WFState, int32_t StageState) {
  if (WFState == 0) return tsPlanned;
  if (WFState == 1 && StageState == 4) return tsInChecked;
  if (WFState == 2) return tsRevoked;
  switch (StageState) {
    case 2:
      return tsSend;
    case 3:
      return tsInWork;
    case 4:
    case 6:
      return tsComleted;
    default:
      return tsUnknown;
  }
}

bool IsVisibleTask(const Dataset& Row, int32_t IdUser) {
  switch (ProcessNameKind(Row.FieldByName("_ROUTENAME").AsString())) {
    case bpkTask:
    case bpkTaskAgree:
    case bpkTaskFamiliarization:
      break;
    default:
      return false;
  }
  const std::string owner = Row.FieldByName("_OWNERNAME").AsString();
  const std::string executor = Row.FieldByName("_USERNAME").AsString();
  if (owner.empty() || executor.empty()) return false;
  // A stage the process owner executes himself (the check stage) is not a
  // task given to anybody.
  if (owner == executor) return false;
  // A task not issued yet is visible to its author only.
  if (Row.FieldByName("_WF_STATE").AsInteger() == 0)
    return Row.FieldByName("_ID_USER").AsInteger() != IdUser;
  return true;
}

TTask TaskFromRow(const Dataset& Row) {
  return TTask(
      Row.FieldByName("_ID_OPERATION").AsInteger(), Row.FieldByName("_ID_ROUTE").AsInteger(),
      ProcessNameTitle(Row.FieldByName("_ROUTENAME").AsString()),
      Row.FieldByName("_TASK").AsString(), Row.FieldByName("_ID_OWNER").AsInteger(),
      Row.FieldByName("_ID_USER").AsInteger(), Row.FieldByName("_DATE_CRITICAL").AsDateTime(),
      Row.FieldByName("_DATE_START_BP").AsDateTime(),
      TaskStateOf(Row.FieldByName("_WF_STATE").AsInteger(), Row.FieldByName("_STATE").AsInteger()),
      Row.FieldByName("_PDM_ID").AsInteger() != 0);
}

namespace {

// The common correspondence process among the rows of the user's processes.
int32_t CommonCorrespondenceRouteIn(Dataset& routes) {
  for (routes.First(); !routes.Eof(); routes.Next()) {
    if (routes.FieldByName("_ROUTENAME").AsString() == kCommonCorrespondenceRouteName)
      return routes.FieldByName("_ID_ROUTE").AsInteger();
  }
  return 0;
}

// The same search on the list as it came, without making a dataset of it.
int32_t CommonCorrespondenceRouteIn(const DatasetPacket& routes) {
  if (routes.IsEmpty()) return 0;
  const std::optional<int64_t> route = routes.FirstWhere("_ROUTENAME", kCommonCorrespondenceRouteName, "_ID_ROUTE");
  if (!route) return 0;
  if (*route < INT32_MIN || *route > INT32_MAX)
    throw EDatasetException("Field \"_ID_ROUTE\": value " + std::to_string(*route) + " out of range");
  return static_cast<int32_t>(*route);
}

// LoadNewCorrespondence on the lists already read: the user's unread
// incoming letters and the user's processes.
template <typename Routes>
int32_t NewCorrespondenceFrom(TAppWorkFlow& AppWF, Dataset& incoming, Routes& routes,
                              const TParamsGetTaskList& Params, std::vector<int32_t>& NewCorrRoutes) {
  const int32_t commonRoute = incoming.IsEmpty() ? 0 : CommonCorrespondenceRouteIn(routes);

  Dataset newLetters;
  newLetters.AddField("_ID_ROUTE", FieldType::Int32);
  newLetters.AddField("_ID_LETTER", FieldType::Int32);
  TDataSetVersionsManager manager(kNewCorrespondenceDataSetName, Params.FStUID,
                                  Params.FNIncommingCorrespVersion, "_ID_LETTER");

  for (incoming.First(); !incoming.Eof(); incoming.Next()) {
    const int32_t route = incoming.FieldByName("_ID_ROUTE").AsInteger();
    if (route == commonRoute) continue;
    const int32_t letter = incoming.FieldByName("_ID_LETTER").AsInteger();
    if (incoming.FieldByName("_MSG_SUBJECT").AsString() == kNewTaskLetterSubject) {
      // The notice has done its work once the task list is fetched: the new
      // task itself is reported through NewTaskIds.
      // A notice deleted meanwhile with its process is skipped.
      MarkLetterRead(AppWF, letter);
      continue;
    }
    newLetters.AppendRow({Variant(route), Variant(letter)});
  }

  if (!newLetters.IsEmpty()) {
    std::vector<int32_t> deleted;
    std::vector<int32_t> newRoutes;
    std::unique_ptr<Dataset> difference = manager.LoadDifference(newLetters, deleted, newRoutes);
    // The routes are taken from the rows the manager answers rather than
    // from its new keys: those are filled by a comparison only, so a client
    // that held no usable version - a fresh client, or one whose version
    // stayed 0 while it had no unread letters - would never hear of the
    // letters that reach it now. On a comparison both give the same routes
    // in the same order (a letter never changes its process).
    for (difference->First(); !difference->Eof(); difference->Next()) {
      const int32_t route = difference->FieldByName("_ID_ROUTE").AsInteger();
      if (std::find(NewCorrRoutes.begin(), NewCorrRoutes.end(), route) == NewCorrRoutes.end())
        NewCorrRoutes.push_back(route);
    }
  }
  return manager.getActualVersion();
}

}  // namespace

int32_t FindCommonCorrespondenceRoute(TAppWorkFlow& AppWF) {
  TDataSetPtr routes = AppWF.GetTaskListForUser(
      AppWF.ID_User(), kTaskListUserRoleMask, kRouteListProcessStateMask, kTaskListStageStateMode);
  return CommonCorrespondenceRouteIn(*routes);
}

int32_t LoadNewCorrespondence(TAppWorkFlow& AppWF, const TParamsGetTaskList& Params,
                              std::vector<int32_t>& NewCorrRoutes) {
  TDataSetPtr incoming = AppWF.GetIncomingCorrespondence(kUnreadIncomingMode);
  // Asked only when there is a letter to sort out.
  Dataset none;
  TDataSetPtr routes =
      incoming->IsEmpty() ? nullptr
                          : AppWF.GetTaskListForUser(AppWF.ID_User(), kTaskListUserRoleMask,
                                                     kRouteListProcessStateMask, kTaskListStageStateMode);
  return NewCorrespondenceFrom(AppWF, *incoming, routes ? *routes : none, Params, NewCorrRoutes);
}

int32_t LoadTaskList(TAppWorkFlow& AppWF, const TParamsGetTaskList& Params, TTaskList& Tasks,
                     std::vector<int32_t>& DeletedIds, std::vector<int32_t>& NewTaskIds,
                     std::vector<int32_t>& NewCorrRoutes, int32_t& NewCorrVersion) {
  const int32_t idUser = AppWF.ID_User();
  // The three reads of the request in one exchange with the server: the
  // user's stages, the user's processes (for the common correspondence
  // process) and the unread letters. None depends on another, and nothing is
  // written before all three are in. The lists stay packets: the stages are
  // mostly found unchanged by their bytes, and the processes are only
  // searched, and only when there are letters.
  std::vector<DatasetPacket> reads = AppWF.GetTaskListsAndIncomingCorrespondence(
      idUser, kTaskListUserRoleMask, {kTaskListProcessStateMask, kRouteListProcessStateMask},
      kTaskListStageStateMode, kUnreadIncomingMode);
  DatasetPacket& taskList = reads.at(0);
  const DatasetPacket& routes = reads.at(1);
  Dataset incoming = reads.at(2).TakeDataset();
  TDataSetVersionsManager manager(kTaskListDataSetName, Params.FStUID, Params.FNDataSetVersion,
                                  "_ID_OPERATION");
  manager.setIdUser(idUser);
  std::unique_ptr<Dataset> difference = manager.LoadDifference(taskList, DeletedIds, NewTaskIds);

  // Only the difference is filtered: the ids lists and the snapshot cover
  // every row, also those never shown as tasks.
  for (difference->First(); !difference->Eof(); difference->Next()) {
    if (IsVisibleTask(*difference, idUser)) Tasks.push_back(TaskFromRow(*difference));
  }
  const int32_t version = manager.getActualVersion();
  NewCorrVersion = NewCorrespondenceFrom(AppWF, incoming, routes, Params, NewCorrRoutes);
  return version;
}

void TSessionLogic::GetTaskList(boost::json::object& JSONResult, const std::string& Base64) {
  CheckConnected();
  TTaskList tasks;
  std::vector<int32_t> deletedIds;
  std::vector<int32_t> newTaskIds;
  std::vector<int32_t> newCorrRoutes;
  const TParamsGetTaskList params(Base64);
  int32_t newCorrVersion = 0;
  const int32_t version = LoadTaskList(AppWorkFlow(), params, tasks, deletedIds, newTaskIds,
                                       newCorrRoutes, newCorrVersion);
  TResultWriter writer;
  writer.WriteTasks(tasks, deletedIds, newTaskIds, newCorrRoutes, version, newCorrVersion);
  JSONResult["BASE64"] = writer.GetBase64Data();
}

}  // namespace brevalon
