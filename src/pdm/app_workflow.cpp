#include "pdm/app_workflow.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace brevalon {

std::string GetLocalIPAddress() {
  char host[128];
  if (gethostname(host, sizeof host) != 0) return std::string();
  host[sizeof host - 1] = '\0';  // a truncated name need not be terminated

  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return std::string();
  std::string address;
  for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
    sockaddr_in in{};
    std::memcpy(&in, ai->ai_addr, sizeof in);
    unsigned char bytes[4];
    std::memcpy(bytes, &in.sin_addr, sizeof bytes);  // network order: first byte first
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    address = text;
    break;
  }
  freeaddrinfo(found);
  return address;
}

TAppWorkFlow::TAppWorkFlow() : TAppBrevalon(kWorkFlowServerGUID) {}

TAppWorkFlow::~TAppWorkFlow() = default;

void TAppWorkFlow::AssignParams(const TAppBrevalon& Source) {
  TAppBrevalon::AssignParams(Source);
  if (const auto* workflow = dynamic_cast<const TAppWorkFlow*>(&Source)) {
    FAuthentific = workflow->FAuthentific;
    FUserName = workflow->FUserName;
    FPassword = workflow->FPassword;
  }
}

void TAppWorkFlow::Disconnect() {
  FID_User = 0;
  FUserFullName.clear();
  TAppBrevalon::Disconnect();
}

void TAppWorkFlow::RestoreSession() { ConnectToDB(FAppVersion, FDBName); }

int32_t TAppWorkFlow::ID_User() {
  SignInForRequest();
  return FID_User;
}

std::string TAppWorkFlow::LocalIPAddress() { return GetLocalIPAddress(); }

void TAppWorkFlow::ConnectToDB(int32_t AppVersion, const std::string& DBName) {
  FAppVersion = AppVersion;
  FDBName = DBName;
  const bool oldInterface = AppVersion < kWorkFlowExInterface;
  std::string user;
  std::string password;
  if (FAuthentific == atPassword) {
    user = FUserName;
    password = FPassword;
  } else if (FAuthentific != atWindows) {
    throw Exception("Неопределен тип аутентификации");
  }

  if (oldInterface) {
    ConnectWorkFlowOnDb(user, password);
  } else {
    ConnectWorkFlowOnDbEx(DBName, user, password);
  }

  FID_User = 0;
  TDataSetPtr current = GetInfoAboutCurrentUser();
  if (!current->IsEmpty()) {
    current->First();
    FID_User = current->FieldByName("_ID").AsInteger();
    FUserName = current->FieldByName("_NAME").AsString();
    FUserFullName = current->FieldByName("_FULLNAME").AsString();
  }

  if (oldInterface) {
    // Old servers learn the session's database from a one-row list.
    Dataset list;
    list.AddField("_DataBase", FieldType::Text, 255);
    list.AddField("_UserName", FieldType::Text, 255);
    list.AddField("_AccessMethod", FieldType::Int32);
    list.AddField("_Password", FieldType::Text, 255);
    list.AddField("_Connected", FieldType::Boolean);
    list.AppendRow({Variant(DBName), Variant(""), Variant(0), Variant(""), Variant(true)});
    SendDbList(list);
  }
}

void TAppWorkFlow::ConnectWorkFlowOnDb(const std::string& stUserName, const std::string& stUserPassword) {
  CallMethod("ConnectWorkFlowOnDb", {LocalIPAddress(), stUserName, stUserPassword});
}

void TAppWorkFlow::ConnectWorkFlowOnDbEx(const std::string& stDBName, const std::string& stUserName,
                                         const std::string& stUserPassword) {
  CallMethod("ConnectWorkFlowOnDbEx", {stDBName, LocalIPAddress(), stUserName, stUserPassword});
}

void TAppWorkFlow::SendDbList(const Dataset& vaData) {
  CallDirect("SendDbList", {TAppArg::ByValue(Variant(vaData.SaveToBytes()))});
}

// ---- operations ----

void TAppWorkFlow::DelLetter(int32_t inIDLetter) { CallMethod("DelLetter", {inIDLetter}); }

TDataSetPtr TAppWorkFlow::GetCorrespondenceList(int32_t inID_Route) {
  return GetRecordset("GetCorrespondenceList", {inID_Route});
}

TDataSetPtr TAppWorkFlow::GetIncomingCorrespondence(int32_t inRetMode) {
  return GetRecordset("GetIncomingCorrespondence", {inRetMode});
}

TDataSetPtr TAppWorkFlow::GetOutcomingCorrespondence(int32_t inRetMode) {
  return GetRecordset("GetOutcomingCorrespondence", {inRetMode});
}

Variant TAppWorkFlow::SendLetterByBPToOneUser(int32_t inIdRoute, Variant& inIdAURole, Variant& inIdRecRole,
                                              Variant& inIdRecUser, const std::string& stSubj,
                                              const std::string& stBody) {
  return CallMethod("SendLetterByBPToOneUser", {inIdRoute, inIdAURole, inIdRecRole, inIdRecUser, stSubj, stBody});
}

void TAppWorkFlow::SetLetterRead(int32_t inIDLetter, Variant& inIdRole, int32_t inIsRead) {
  CallMethod("SetLetterRead", {inIDLetter, inIdRole, inIsRead});
}

TDataSetPtr TAppWorkFlow::GetInfoAboutCurrentUser() { return GetRecordset("GetInfoAboutCurrentUser", {}); }

TDataSetPtr TAppWorkFlow::GetUserList() { return GetRecordset("GetUserList", {}); }

TDataSetPtr TAppWorkFlow::GetRoleTree(int32_t inMode) { return GetRecordset("GetRoleTree", {inMode}); }

TDataSetPtr TAppWorkFlow::GetRoleListForUser(int32_t inID_User) {
  return GetRecordset("GetRoleListForUser", {inID_User});
}

void TAppWorkFlow::InsUpdUser(const std::string& stUserName, const std::string& stDescr, const std::string& stEMail,
                              int32_t inIsAdmin, Variant& vaSign, Variant& vaIdUser) {
  CallMethod("InsUpdUser", {stUserName, stDescr, stEMail, inIsAdmin, vaSign, vaIdUser});
}

TDataSetPtr TAppWorkFlow::GetInfoAboutItem(int32_t inIdOperation) {
  return GetRecordset("GetInfoAboutItem", {inIdOperation});
}

TDataSetPtr TAppWorkFlow::GetInfoAboutRoute(int32_t inID_Route) {
  return GetRecordset("GetInfoAboutRoute", {inID_Route});
}

TDataSetPtr TAppWorkFlow::GetInfoAboutStage(int32_t inIdOperation) {
  return GetRecordset("GetInfoAboutStage", {inIdOperation});
}

TDataSetPtr TAppWorkFlow::GetAutoOperationList(int32_t inRegime) {
  return GetRecordset("GetAutoOperationList", {inRegime});
}

TDataSetPtr TAppWorkFlow::GetProcessListByObject(const std::string& stDBName, int32_t inPdm_Id) {
  return GetRecordset("GetProcessListByObject", {stDBName, inPdm_Id});
}

TDataSetPtr TAppWorkFlow::GetProcessListByObjectEx(int32_t inPdm_Id, const std::string& stDBName) {
  return GetRecordset("GetProcessListByObjectEx", {inPdm_Id, stDBName});
}

TDataSetPtr TAppWorkFlow::GetInitialProcessList() { return GetRecordset("GetInitialProcessList", {}); }

TDataSetPtr TAppWorkFlow::GetTaskListForActor(int32_t inIdActor, int32_t inRetMode) {
  return GetRecordset("GetTaskListForActor", {inIdActor, inRetMode});
}

TDataSetPtr TAppWorkFlow::GetTaskListForObject(int32_t inIdVersion, int32_t inProcessStateMask,
                                               int32_t inStageStateMode) {
  return GetRecordset("GetTaskListForObject", {inIdVersion, inProcessStateMask, inStageStateMode});
}

TDataSetPtr TAppWorkFlow::GetTaskListForUser(int32_t inIdUser, int8_t inUserRoleMask, int8_t inProcessStateMask,
                                             int32_t inStageStateMode) {
  return GetRecordset("GetTaskListForUser", {inIdUser, static_cast<int32_t>(inUserRoleMask),
                                             static_cast<int32_t>(inProcessStateMask), inStageStateMode});
}

std::vector<DatasetPacket> TAppWorkFlow::GetTaskListsAndIncomingCorrespondence(
    int32_t inIdUser, int8_t inUserRoleMask, const std::vector<int8_t>& inProcessStateMasks, int32_t inStageStateMode,
    int32_t inRetMode) {
  std::vector<TAppCall> calls;
  for (int8_t mask : inProcessStateMasks) {
    calls.push_back({"GetTaskListForUser", {inIdUser, static_cast<int32_t>(inUserRoleMask), static_cast<int32_t>(mask),
                                            inStageStateMode}});
  }
  calls.push_back({"GetIncomingCorrespondence", {inRetMode}});
  return GetPackets(calls);
}

Variant TAppWorkFlow::CreateNewProcess(const std::string& stDBName, int32_t inID_PDM_OBJECT,
                                       const std::string& stRouteName) {
  return CallMethod("CreateNewProcess", {stDBName, inID_PDM_OBJECT, stRouteName});
}

void TAppWorkFlow::DeleteProcess(int32_t inID_Route) { CallMethod("DeleteProcess", {inID_Route}); }

void TAppWorkFlow::RenameProcess(int32_t inID_Route, const std::string& stNewName) {
  CallMethod("RenameProcess", {inID_Route, stNewName});
}

Variant TAppWorkFlow::SetXMLImageToProcess(int32_t inID_Route, const std::string& stXML) {
  return CallMethod("SetXMLImageToProcess", {inID_Route, stXML});
}

void TAppWorkFlow::SetStateOfProcess(int32_t inID_Route, int32_t inStateBP) {
  CallMethod("SetStateOfProcess", {inID_Route, inStateBP});
}

void TAppWorkFlow::SetBP_PDMObject(int32_t inIdRoute, int32_t inIdPDMObject) {
  CallMethod("SetBP_PDMObject", {inIdRoute, inIdPDMObject});
}

void TAppWorkFlow::SetVariable(int32_t inID_Route, const std::string& stName, Variant& stValue,
                               bool ReadOnlyForChild) {
  std::string name = stName;
  Variant errorCode;
  Variant errorMessage;
  CallDirect("SetVariable",
             {TAppArg::TypedRef(inID_Route), TAppArg::TypedRef(name), stValue, ReadOnlyForChild, errorCode, errorMessage});
}

void TAppWorkFlow::InsUpdStageIntoBP_V85(Variant& stTask, Variant& inCriticalTerm, Variant& dtDatePlan,
                                         Variant& inCanControl, Variant& inActive, Variant& inIdRole,
                                         Variant& inIdUser, Variant& inIdBProc, Variant& inIdStage) {
  Variant errorCode;
  Variant errorMessage;
  CallDirect("InsUpdStageIntoBP", {stTask, inCriticalTerm, dtDatePlan, inCanControl, inActive, inIdRole, inIdUser,
                                   inIdBProc, inIdStage, errorCode, errorMessage});
}

void TAppWorkFlow::InsUpdStageIntoBP_V9(Variant& stTask, Variant& inCriticalTerm, Variant& dtDatePlan,
                                        Variant& inCanControl, Variant& inActive, Variant& inIdRole,
                                        Variant& inIdUser, Variant& inIdBProc, Variant& inCanTransform,
                                        Variant& inIdStage) {
  Variant errorCode;
  Variant errorMessage;
  CallDirect("InsUpdStageIntoBP", {stTask, inCriticalTerm, dtDatePlan, inCanControl, inActive, inIdRole, inIdUser,
                                   inIdBProc, inCanTransform, inIdStage, errorCode, errorMessage});
}

void TAppWorkFlow::InsUpdStageIntoBP_V10(Variant& stTask, Variant& inCriticalTerm, Variant& dtDatePlan,
                                         Variant& inCanControl, Variant& inActive, Variant& inIdRole,
                                         Variant& inIdUser, Variant& inIdBProc, Variant& inCanTransform,
                                         Variant& inIdStage, Variant& inTimeConstraint, Variant& inFromBPStart) {
  Variant errorCode;
  Variant errorMessage;
  CallDirect("InsUpdStageIntoBP", {stTask, inCriticalTerm, dtDatePlan, inCanControl, inActive, inIdRole, inIdUser,
                                   inIdBProc, inCanTransform, inIdStage, inTimeConstraint, inFromBPStart, errorCode,
                                   errorMessage});
}

void TAppWorkFlow::AddRouteItemsSeq(Variant& inIdFirst, int32_t inIdSecond, int32_t inType) {
  CallMethod("AddRouteItemsSeq", {inIdFirst, inIdSecond, inType});
}

void TAppWorkFlow::AddRouteItemsRetSeq(Variant& inIdFirst, int32_t inIdSecond) {
  CallMethod("AddRouteItemsRetSeq", {inIdFirst, inIdSecond, 0});
}

TDataSetPtr TAppWorkFlow::GetRoleListIntoProcess(int32_t inID_Route) {
  return GetRecordset("GetRoleListIntoProcess", {inID_Route});
}

void TAppWorkFlow::InsUpdAutoOperation(const std::string& stName, int32_t inType, int32_t inIsAccess,
                                       int32_t inIsSystem, Variant& stScript, Variant& vaIdOper) {
  CallMethod("InsUpdAutoOperation", {stName, inType, inIsAccess, inIsSystem, stScript, vaIdOper});
}

void TAppWorkFlow::InsUpdOpInstance(int32_t inIdOperDescr, int32_t inIsWait, Variant& stVariables,
                                    int32_t inIdProc, Variant& inIdOperInst) {
  CallMethod("InsUpdOpInstance", {inIdOperDescr, inIsWait, stVariables, inIdProc, inIdOperInst});
}

void TAppWorkFlow::SetTaskState(int32_t inID_Route, int32_t inID_Operation, int32_t inStateTask,
                                const std::string& stMessageBody) {
  CallMethod("SetTaskState", {inID_Route, inID_Operation, inStateTask, stMessageBody});
}

void TAppWorkFlow::SetItemState(int32_t inIdItem, int32_t inState, int32_t inAddSignature) {
  CallMethod("SetItemState", {inIdItem, inState, inAddSignature});
}

void TAppWorkFlow::SetItemStateInternal(int32_t inIdItem, int32_t inState) {
  CallMethod("SetItemStateInternal", {inIdItem, inState});
}

void TAppWorkFlow::StartNextStage(int32_t inID_Route, int32_t inIdItem, int32_t inDirect) {
  CallMethod("StartNextStage", {inID_Route, inIdItem, inDirect});
}

void TAppWorkFlow::SetStageExecutor(int32_t inIdStage, Variant& inIdUser, Variant& inIdRole) {
  CallMethod("SetStageExecutor", {inIdStage, inIdUser, inIdRole});
}

void TAppWorkFlow::SetStageTerm(int32_t inIdStage, int32_t inTimeLimit, Variant& vaPlanEnd, int32_t inTimeConstraint,
                                int32_t inFromBPStart) {
  CallMethod("SetStageTerm", {inIdStage, inTimeLimit, vaPlanEnd, inTimeConstraint, inFromBPStart});
}

void TAppWorkFlow::SetStageTask(int32_t inIdStage, Variant& stTask) { CallMethod("SetStageTask", {inIdStage, stTask}); }

void TAppWorkFlow::AddBPDocument(int32_t inIdRoute, int32_t inIdDoc, int32_t inIdPar) {
  CallMethod("AddBPDocument", {inIdRoute, inIdDoc, inIdPar});
}

void TAppWorkFlow::DelBPDocument(int32_t inIdRoute, int32_t inIdDoc) {
  CallMethod("DelBPDocument", {inIdRoute, inIdDoc});
}

TDataSetPtr TAppWorkFlow::GetAttachDocumentListIntoProcess(int32_t inIdRoute) {
  return GetRecordset("GetAttachDocumentListIntoProcess", {inIdRoute});
}

TDataSetPtr TAppWorkFlow::GetFirstItems(int32_t inIdRoute) { return GetRecordset("GetFirstItems", {inIdRoute}); }

TDataSetPtr TAppWorkFlow::GetNextItems(int32_t inIdItem) { return GetRecordset("GetNextItems", {inIdItem}); }

TDataSetPtr TAppWorkFlow::GetRouteItems(int32_t inIdRoute) { return GetRecordset("GetRouteItems", {inIdRoute}); }

TDataSetPtr TAppWorkFlow::GetJobsListIntoProcess(int32_t inID_Route) {
  return GetRecordset("GetJobsListIntoProcess", {inID_Route});
}

TDataSetPtr TAppWorkFlow::rep_ExecutedJobs(int32_t inID_Parent) {
  return GetRecordset("rep_ExecutedJobs", {inID_Parent});
}

}  // namespace brevalon
