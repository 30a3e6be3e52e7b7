#include "tasks/task_attachments.h"

#include <boost/json.hpp>
#include <set>
#include <utility>

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "pdm/pdm_rows.h"
#include "pdm/version_cache.h"
#include "protocol/request_records.h"
#include "protocol/result_writer.h"
#include "session/session_logic.h"
#include "sync/dataset_versions_manager.h"
#include "tasks/task_list.h"
#include "util/process_name.h"

namespace brevalon {

namespace {

// The server answers a lookup of an unknown stage with no rows; its columns
// then read as 0 or empty, as for any empty answer.
int32_t IntOfFirstRow(Dataset& ds, std::string_view field) {
  if (ds.IsEmpty()) return 0;
  ds.First();
  return ds.FieldByName(field).AsInteger();
}

std::string TextOfFirstRow(Dataset& ds, std::string_view field) {
  if (ds.IsEmpty()) return std::string();
  ds.First();
  return ds.FieldByName(field).AsString();
}

TDateTime DateOfFirstRow(Dataset& ds, std::string_view field) {
  if (ds.IsEmpty()) return 0.0;
  ds.First();
  return ds.FieldByName(field).AsDateTime();
}

// Version ids of `field` over every row, in row order, joined by ",".
std::string JoinIds(Dataset& ds, std::string_view field) {
  std::string ids;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    if (!ids.empty()) ids += ',';
    ids += std::to_string(ds.FieldByName(field).AsInteger());
  }
  return ids;
}

// The documents attached to the process, as a version id list; the process's
// own object when it lists none.
std::string AttachedObjectIds(TAppWorkFlow& AppWF, int32_t IdRoute, int32_t IdObject) {
  TDataSetPtr documents = AppWF.GetAttachDocumentListIntoProcess(IdRoute);
  if (documents->IsEmpty()) return std::to_string(IdObject);
  return JoinIds(*documents, "_PDM_OBJECT_ID");
}

// Collects the files of document versions into the attachment list. A
// version without files of its own stands for the documents it is composed
// of, followed as deep as such versions lead. The walk keeps its own stack
// (a composition chain from the server may be arbitrarily deep) and enters
// every version at most once, so a cyclic composition ends and a document
// reached twice is not listed twice.
class TAttachmentFilesCollector {
 public:
  TAttachmentFilesCollector(TAppMainSystem& AppMS, TPDMVersionStorage& Storage,
                            TDataSetFinalTaskAttachments& Collector)
      : FAppMS(AppMS), FStorage(Storage), FCollector(Collector) {}

  void AddVersions(TPDMVersionList Versions) {
    std::vector<std::pair<TPDMVersionList, int>> stack;
    stack.emplace_back(std::move(Versions), 0);
    while (!stack.empty()) {
      auto& [list, next] = stack.back();
      if (next >= list.Count()) {
        stack.pop_back();
        continue;
      }
      IPDMVersionPtr version = list.GetItem(next++);
      if (!FVisited.insert(version->Id()).second) continue;
      if (AddVersionFiles(*version)) continue;
      TPDMVersionList children;
      if (LoadComposition(*version, children)) stack.emplace_back(std::move(children), 0);
    }
  }

 private:
  // Puts the version's files; false when it has none.
  bool AddVersionFiles(IPDMVersion& Version) {
    TDataSetPtr files = FAppMS.GetInfoAboutVersion(0, "", "", "", Version.Id(), 7);
    if (files->IsEmpty()) return false;
    for (files->First(); !files->Eof(); files->Next()) {
      TFileInfo file;
      ReadFileInfo(file, *files);
      if (IsCacheFileName(file.Name)) continue;
      // Checksum and size are unsigned 32-bit values kept bit for bit in the
      // list's 32-bit integer fields.
      FCollector.putRecord(Version.Id(), file.Id, Version.Title(), FileExtension(file.Name),
                           static_cast<int32_t>(file.CRC), static_cast<int32_t>(file.Size));
    }
    return true;
  }

  // The document versions the version is composed of; false when it has no
  // composition link at all.
  bool LoadComposition(IPDMVersion& Version, TPDMVersionList& Children) {
    if (!FTypes) FTypes = FAppMS.GetTypeList();
    TDataSetPtr links =
        FAppMS.GetLinkedObjects2(0, Version.Id(), kCompositionLinkType, false, true, false);
    if (links->IsEmpty()) return false;
    std::string ids;
    for (links->First(); !links->Eof(); links->Next()) {
      if (!IsDocumentType(links->FieldByName("_ID_TYPE").AsInteger())) continue;
      if (!ids.empty()) ids += ',';
      ids += std::to_string(links->FieldByName("_ID_VERSION").AsInteger());
    }
    FStorage.LoadListFromIdList(Children, ids);
    return true;
  }

  // A type the server's type list does not hold is not taken for a document
  // type: its child is left out rather than judged by whatever type happens
  // to come first in the list.
  bool IsDocumentType(int32_t IdType) {
    FTypes->First();
    if (!FTypes->Locate("_ID", static_cast<int64_t>(IdType))) return false;
    return FTypes->FieldByName("_DOCUMENT").AsInteger() == 1;
  }

  TAppMainSystem& FAppMS;
  TPDMVersionStorage& FStorage;
  TDataSetFinalTaskAttachments& FCollector;
  TDataSetPtr FTypes;  // "GetTypeList", read once per collection
  std::set<int32_t> FVisited;
};

}  // namespace

TDataSetFinalTaskAttachments::TDataSetFinalTaskAttachments()
    : FResultDataSet(std::make_unique<Dataset>()) {
  FResultDataSet->AddField(kAttachListKeyField, FieldType::Int32);
  FResultDataSet->AddField("IdFile", FieldType::Int32);
  FResultDataSet->AddField("Title", FieldType::Text, kTitleSize);
  FResultDataSet->AddField("Extension", FieldType::Text, kExtensionSize);
  FResultDataSet->AddField("CRC", FieldType::Int32);
  FResultDataSet->AddField("Size", FieldType::Int32);
}

void TDataSetFinalTaskAttachments::putRecord(int32_t AIdObject, int32_t AIdFile,
                                             const std::string& ATitle,
                                             const std::string& AExtension, int32_t ACRC,
                                             int32_t ASize) {
  FResultDataSet->AppendRow({Variant(AIdObject), Variant(AIdFile), Variant(ATitle),
                             Variant(AExtension), Variant(ACRC), Variant(ASize)});
}

bool IsCacheFileName(std::string_view AName) {
  return AName.find("cache") != std::string_view::npos;
}

std::string FileExtension(std::string_view AName) {
  const std::size_t dot = AName.rfind('.');
  if (dot == std::string_view::npos) return std::string();
  // Everything after the last dot holds no dot by construction.
  return std::string(AName.substr(dot + 1));
}

void ForgetCachedTask(const TTask& Task, int32_t IdUser, const std::string& UID) {
  if (Task.FIdExecutor == IdUser) return;
  TDataSetVersionsManager manager(kTaskListDataSetName, UID, 0, "_ID_OPERATION");
  manager.deleteRowFromCachedDs(Task.FId);
}

int32_t LoadTaskAttachments(int32_t IdOperation, TAppMainSystem& AppMS, TAppWorkFlow& AppWF,
                            TPDMVersionStorage& Storage, TTaskAttachmentList& Attachments,
                            TTask& Task, const TParamsTaskAttachments& Params,
                            std::vector<int32_t>& DeletedIds, std::vector<int32_t>& NewIds) {
  TDataSetPtr item = AppWF.GetInfoAboutItem(IdOperation);
  if (item->IsEmpty())
    throw Exception("Process with operation id=[" + std::to_string(IdOperation) + "] not found");
  const int32_t idRoute = IntOfFirstRow(*item, "_ID_ROUTE");

  TDataSetPtr route = AppWF.GetInfoAboutRoute(idRoute);
  TDataSetPtr stage = AppWF.GetInfoAboutStage(IdOperation);
  if (route->IsEmpty())
    throw Exception("Process with id=[" + std::to_string(idRoute) + "] not found");
  const int32_t idObject = IntOfFirstRow(*route, "_PDM_ID");
  Task.Assign(IntOfFirstRow(*stage, "_ID_OPERATION"), IntOfFirstRow(*route, "_ID_ROUTE"),
              ProcessNameTitle(TextOfFirstRow(*route, "_ROUTENAME")),
              TextOfFirstRow(*stage, "_TASK"), IntOfFirstRow(*route, "_ID_OWNER"),
              IntOfFirstRow(*stage, "_ID_USER"), DateOfFirstRow(*stage, "_DATE_EXECUTION_PLAN"),
              DateOfFirstRow(*route, "_DATE_START"),
              TaskStateOf(IntOfFirstRow(*route, "_WF_STATE"), IntOfFirstRow(*stage, "_STATE")),
              idObject != 0);

  // Without an attached object there is no list to compare: the client keeps
  // the version it holds.
  int32_t version = Params.FNDataSetVersion;
  if (idObject != 0) {
    TDataSetFinalTaskAttachments collector;
    TDataSetVersionsManager manager(kAttachListDataSetPrefix + std::to_string(idRoute),
                                    Params.FStUID, Params.FNDataSetVersion, kAttachListKeyField);
    TPDMVersionList versions;
    Storage.LoadListFromIdList(versions, AttachedObjectIds(AppWF, idRoute, idObject));
    TAttachmentFilesCollector(AppMS, Storage, collector).AddVersions(std::move(versions));

    std::unique_ptr<Dataset> difference =
        manager.LoadDifference(collector.ResultDataSet(), DeletedIds, NewIds);
    for (difference->First(); !difference->Eof(); difference->Next()) {
      Attachments.emplace_back(difference->FieldByName(kAttachListKeyField).AsInteger(),
                               difference->FieldByName("IdFile").AsInteger(),
                               difference->FieldByName("Title").AsString(),
                               difference->FieldByName("Extension").AsString(),
                               difference->FieldByName("CRC").AsInteger(),
                               difference->FieldByName("Size").AsInteger());
    }
    version = manager.getActualVersion();
  }

  ForgetCachedTask(Task, AppWF.ID_User(), Params.FStUID);
  return version;
}

void TSessionLogic::GetTaskAttachments(boost::json::object& JSONResult, const std::string& BASE64) {
  CheckConnected();
  // Versions loaded for this request carry this moment's rights and titles;
  // none may outlive it, whichever way it ends.
  struct TClearCacheAtEnd {
    TPDMVersionStorage& Storage;
    ~TClearCacheAtEnd() { Storage.Clear(); }
  } clearCache{VersionStorage()};

  const TParamsTaskAttachments params(BASE64);
  TTaskAttachmentList attachments;
  std::vector<int32_t> deletedIds;
  std::vector<int32_t> newIds;
  TTask task(-1, -1, std::string(), std::string(), -1, -1, 0.0, 0.0, tsUnknown, false);
  const int32_t version =
      LoadTaskAttachments(params.FIdTask, AppMainSystem(), AppWorkFlow(), VersionStorage(),
                          attachments, task, params, deletedIds, newIds);
  TResultWriter writer;
  writer.WriteTaskAttachments(attachments, deletedIds, version, &task);
  JSONResult["BASE64"] = writer.GetBase64Data();
}

}  // namespace brevalon
