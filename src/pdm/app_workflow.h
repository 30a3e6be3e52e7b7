// TAppWorkFlow: the proxy of the workflow application server (business
// processes, their stages and items, letters, roles, users). It signs one
// user in, remembers who that user is on the workflow side (ID_User,
// UserFullName) and offers one method per server operation.
//
// A parameter taken as Variant& is sent by reference: the server may write
// it. Datasets returned are owned by the caller. SendDbList, SetVariable and
// the InsUpdStageIntoBP_* family are called straight on the server object:
// no reconnection, retry or notification, and their error pair is not
// examined.
//
// Owned by the session logic; used only on the session's worker thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pdm/app_brevalon.h"
#include "data/dataset.h"
#include "data/variant.h"

namespace brevalon {

inline constexpr const char* kWorkFlowServerGUID = "{3D7F4F8F-F8A2-4AC5-B9E7-48CBC7CD2749}";

// Interface versions passed to ConnectToDB: below kWorkFlowExInterface the old
// sign-in is used; the session logic signs in with kWorkFlowAppVersion.
inline constexpr int32_t kWorkFlowExInterface = 20090306;
inline constexpr int32_t kWorkFlowAppVersion = 20100701;

// The dotted IPv4 address of the local computer: the first IPv4 address the
// host name resolves to; empty when the name cannot be had or resolved.
std::string GetLocalIPAddress();

class TAppWorkFlow : public TAppBrevalon {
 public:
  TAppWorkFlow();
  ~TAppWorkFlow() override;

  // ---- properties ----
  int32_t Authentific() const { return FAuthentific; }
  void SetAuthentific(int32_t Value) { FAuthentific = Value; }
  // Replaced by the server's login name of the user after each sign-in.
  const std::string& UserName() const { return FUserName; }
  void SetUserName(std::string Value) { FUserName = std::move(Value); }
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string Value) { FPassword = std::move(Value); }
  // Workflow id and full name of the signed-in user (0 / empty when unknown,
  // as after a lost connection). Within a session's request ID_User signs in
  // again first when the connection is down (SignInForRequest): callers read
  // it before the call it is for, which would otherwise ask about user 0.
  int32_t ID_User();
  const std::string& UserFullName() const { return FUserFullName; }
  // What the last ConnectToDB was given.
  int32_t AppVersion() const { return FAppVersion; }
  const std::string& DBName() const { return FDBName; }

  // ---- overrides ----
  void AssignParams(const TAppBrevalon& Source) override;
  void Disconnect() override;

  // Signs in to database DBName with interface version AppVersion (yyyymmdd)
  // and reads who the user is. Raises Exception
  // "Неопределен тип аутентификации" for an unknown kind (nothing sent).
  void ConnectToDB(int32_t AppVersion, const std::string& DBName);
  void ConnectWorkFlowOnDb(const std::string& stUserName, const std::string& stUserPassword);
  void ConnectWorkFlowOnDbEx(const std::string& stDBName, const std::string& stUserName,
                             const std::string& stUserPassword);
  // Direct call: the dataset's data packet, no error pair.
  void SendDbList(const Dataset& vaData);

  // ---- operations ----
  void DelLetter(int32_t inIDLetter);
  TDataSetPtr GetCorrespondenceList(int32_t inID_Route);
  TDataSetPtr GetIncomingCorrespondence(int32_t inRetMode);
  TDataSetPtr GetOutcomingCorrespondence(int32_t inRetMode);
  Variant SendLetterByBPToOneUser(int32_t inIdRoute, Variant& inIdAURole, Variant& inIdRecRole,
                                  Variant& inIdRecUser, const std::string& stSubj, const std::string& stBody);
  void SetLetterRead(int32_t inIDLetter, Variant& inIdRole, int32_t inIsRead);
  TDataSetPtr GetInfoAboutCurrentUser();
  TDataSetPtr GetUserList();
  TDataSetPtr GetRoleTree(int32_t inMode);
  TDataSetPtr GetRoleListForUser(int32_t inID_User);
  void InsUpdUser(const std::string& stUserName, const std::string& stDescr, const std::string& stEMail,
                  int32_t inIsAdmin, Variant& vaSign, Variant& vaIdUser);
  TDataSetPtr GetInfoAboutItem(int32_t inIdOperation);
  TDataSetPtr GetInfoAboutRoute(int32_t inID_Route);
  TDataSetPtr GetInfoAboutStage(int32_t inIdOperation);
  TDataSetPtr GetAutoOperationList(int32_t inRegime);
  TDataSetPtr GetProcessListByObject(const std::string& stDBName, int32_t inPdm_Id);
  TDataSetPtr GetProcessListByObjectEx(int32_t inPdm_Id, const std::string& stDBName);
  TDataSetPtr GetInitialProcessList();
  TDataSetPtr GetTaskListForActor(int32_t inIdActor, int32_t inRetMode);
  TDataSetPtr GetTaskListForObject(int32_t inIdVersion, int32_t inProcessStateMask, int32_t inStageStateMode);
  TDataSetPtr GetTaskListForUser(int32_t inIdUser, int8_t inUserRoleMask, int8_t inProcessStateMask,
                                 int32_t inStageStateMode);
  // GetTaskListForUser for each of the process-state masks, then
  // GetIncomingCorrespondence(inRetMode), in one exchange with the server
  // (CallMethods): the answers in that order.
  // The answers are packets (GetPackets): lists that are often only compared
  // or searched need not become datasets.
  std::vector<DatasetPacket> GetTaskListsAndIncomingCorrespondence(int32_t inIdUser, int8_t inUserRoleMask,
                                                                   const std::vector<int8_t>& inProcessStateMasks,
                                                                   int32_t inStageStateMode, int32_t inRetMode);
  Variant CreateNewProcess(const std::string& stDBName, int32_t inID_PDM_OBJECT, const std::string& stRouteName);
  void DeleteProcess(int32_t inID_Route);
  void RenameProcess(int32_t inID_Route, const std::string& stNewName);
  Variant SetXMLImageToProcess(int32_t inID_Route, const std::string& stXML);
  void SetStateOfProcess(int32_t inID_Route, int32_t inStateBP);
  void SetBP_PDMObject(int32_t inIdRoute, int32_t inIdPDMObject);
  // Direct call; the error pair is not examined.
  void SetVariable(int32_t inID_Route, const std::string& stName, Variant& stValue, bool ReadOnlyForChild);
  // Direct calls of "InsUpdStageIntoBP" for the server versions 20061001,
  // 20080101 and from 20090306 on; the server writes the new stage id into
  // inIdStage. The error pair is not examined.
  void InsUpdStageIntoBP_V85(Variant& stTask, Variant& inCriticalTerm, Variant& dtDatePlan, Variant& inCanControl,
                             Variant& inActive, Variant& inIdRole, Variant& inIdUser, Variant& inIdBProc,
                             Variant& inIdStage);
  void InsUpdStageIntoBP_V9(Variant& stTask, Variant& inCriticalTerm, Variant& dtDatePlan, Variant& inCanControl,
                            Variant& inActive, Variant& inIdRole, Variant& inIdUser, Variant& inIdBProc,
                            Variant& inCanTransform, Variant& inIdStage);
  void InsUpdStageIntoBP_V10(Variant& stTask, Variant& inCriticalTerm, Variant& dtDatePlan, Variant& inCanControl,
                             Variant& inActive, Variant& inIdRole, Variant& inIdUser, Variant& inIdBProc,
                             Variant& inCanTransform, Variant& inIdStage, Variant& inTimeConstraint,
                             Variant& inFromBPStart);
  void AddRouteItemsSeq(Variant& inIdFirst, int32_t inIdSecond, int32_t inType);
  // Sent with a third argument 0.
  void AddRouteItemsRetSeq(Variant& inIdFirst, int32_t inIdSecond);
  TDataSetPtr GetRoleListIntoProcess(int32_t inID_Route);
  void InsUpdAutoOperation(const std::string& stName, int32_t inType, int32_t inIsAccess, int32_t inIsSystem,
                           Variant& stScript, Variant& vaIdOper);
  void InsUpdOpInstance(int32_t inIdOperDescr, int32_t inIsWait, Variant& stVariables, int32_t inIdProc,
                        Variant& inIdOperInst);
  void SetTaskState(int32_t inID_Route, int32_t inID_Operation, int32_t inStateTask,
                    const std::string& stMessageBody);
  void SetItemState(int32_t inIdItem, int32_t inState, int32_t inAddSignature);
  void SetItemStateInternal(int32_t inIdItem, int32_t inState);
  void StartNextStage(int32_t inID_Route, int32_t inIdItem, int32_t inDirect);
  void SetStageExecutor(int32_t inIdStage, Variant& inIdUser, Variant& inIdRole);
  void SetStageTerm(int32_t inIdStage, int32_t inTimeLimit, Variant& vaPlanEnd, int32_t inTimeConstraint,
                    int32_t inFromBPStart);
  void SetStageTask(int32_t inIdStage, Variant& stTask);
  void AddBPDocument(int32_t inIdRoute, int32_t inIdDoc, int32_t inIdPar);
  void DelBPDocument(int32_t inIdRoute, int32_t inIdDoc);
  TDataSetPtr GetAttachDocumentListIntoProcess(int32_t inIdRoute);
  TDataSetPtr GetFirstItems(int32_t inIdRoute);
  TDataSetPtr GetNextItems(int32_t inIdItem);
  TDataSetPtr GetRouteItems(int32_t inIdRoute);
  TDataSetPtr GetJobsListIntoProcess(int32_t inID_Route);
  TDataSetPtr rep_ExecutedJobs(int32_t inID_Parent);

 protected:
  // Signs in again with the stored version and database.
  void RestoreSession() override;
  // The local address sent at sign-in; GetLocalIPAddress unless a test
  // replaces it.
  virtual std::string LocalIPAddress();

 private:
  int32_t FAuthentific = atUndefined;
  std::string FUserName;
  std::string FPassword;
  int32_t FID_User = 0;
  std::string FUserFullName;
  int32_t FAppVersion = 0;
  std::string FDBName;
};

}  // namespace brevalon
