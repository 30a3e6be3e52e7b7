#include "tasks/task_correspondence.h"

#include <memory>

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "data/dataset.h"
#include "protocol/request_records.h"
#include "protocol/result_writer.h"
#include "session/session_logic.h"
#include "sync/dataset_versions_manager.h"
#include "tasks/task_list.h"

namespace brevalon {

namespace {

constexpr const char* kCorrespondenceDataSetPrefix = "CorrespondenceOf_";
// GetIncomingCorrespondence: every incoming letter, read or not.
constexpr int32_t kAllIncomingMode = 0;
// A process where the user talks to more than two others is not a one-to-one
// task conversation: nobody is picked.
constexpr int kMaxRoleEntriesForRecipient = 3;

// The process id of a task; raises when the server does not know the task.
int32_t RouteOfOperation(TAppWorkFlow& AppWF, int32_t OperationId) {
  TDataSetPtr item = AppWF.GetInfoAboutItem(OperationId);
  if (item->IsEmpty()) throw Exception(ProcessOfOperationNotFoundMessage(OperationId));
  item->First();
  return item->FieldByName("_ID_ROUTE").AsInteger();
}

// The text without leading and trailing characters of code 32 or below.
// Bytes of multi-byte UTF-8 sequences are all above 127, so they are kept.
std::string TrimControlAndBlanks(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && static_cast<unsigned char>(s[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(s[end - 1]) <= 32) --end;
  return s.substr(begin, end - begin);
}

}  // namespace

std::string ProcessOfOperationNotFoundMessage(int32_t OperationId) {
  return "Process with operation id=[" + std::to_string(OperationId) + "] not found";
}

int32_t LoadCorrespondence(const TParamsTaskCorrespondece& Params, TAppWorkFlow& AppWF,
                           TTaskACorrespondenceList& Letters, std::vector<int32_t>& DeletedIds,
                           std::vector<int32_t>& NewIds) {
  const int32_t idRoute = RouteOfOperation(AppWF, Params.FIdTask);
  TDataSetPtr letters = AppWF.GetCorrespondenceList(idRoute);
  TDataSetVersionsManager manager(kCorrespondenceDataSetPrefix + std::to_string(idRoute),
                                  Params.FStUID, Params.FNDataSetVersion, "_ID_LETTER");
  std::unique_ptr<Dataset> difference = manager.LoadDifference(*letters, DeletedIds, NewIds);
  for (difference->First(); !difference->Eof(); difference->Next()) {
    // Technical notices stay in the snapshot but are never shown.
    if (difference->FieldByName("_MSG_SUBJECT").AsString() == kNewTaskLetterSubject) continue;
    Letters.emplace_back(difference->FieldByName("_ID_LETTER").AsInteger(),
                         difference->FieldByName("_AUTHOR_ID").AsInteger(),
                         difference->FieldByName("_MSG_BODY").AsString(),
                         difference->FieldByName("_DATE_SEND").AsDateTime());
  }
  return manager.getActualVersion();
}

void TTaskCorrespondenceSender::Send(int32_t OperationId, TAppMainSystem& AppMS,
                                     TAppWorkFlow& AppWF, const std::string& sMessage) {
  (void)AppMS;
  FAppWF = &AppWF;
  FOperationId = OperationId;
  FRouteId = RouteOfOperation(AppWF, FOperationId);
  TDataSetPtr route = AppWF.GetInfoAboutRoute(FRouteId);
  if (route->IsEmpty()) throw Exception(ProcessOfOperationNotFoundMessage(FOperationId));
  route->First();
  FRouteName = route->FieldByName("_ROUTENAME").AsString();

  int32_t recipientUser = 0;
  int32_t recipientRole = 0;
  FindMessageRecipient(recipientUser, recipientRole);
  if (recipientUser == 0 && recipientRole == 0) return;

  const std::string message = TrimControlAndBlanks(sMessage);
  // The full process name, prefix included, tells the other side's programs
  // which task the letter belongs to.
  const std::string subject = FRouteName;
  if (subject.empty())
    throw Exception("Ошибка инициализации TLCorrespondence: не передано ProcessName");

  Variant senderRole(static_cast<uint8_t>(0));
  Variant recRole(recipientRole);
  Variant recUser(recipientUser);
  FAppWF->SendLetterByBPToOneUser(FRouteId, senderRole, recRole, recUser, subject, message);
}

void TTaskCorrespondenceSender::FindMessageRecipient(int32_t& RecipientUser,
                                                     int32_t& RecipientRole) {
  RecipientUser = 0;
  RecipientRole = 0;
  TDataSetPtr roles = FAppWF->GetRoleListIntoProcess(FRouteId);
  if (roles->RecordCount() > kMaxRoleEntriesForRecipient) return;
  const int32_t self = FAppWF->ID_User();
  for (roles->First(); !roles->Eof(); roles->Next()) {
    const int32_t user = roles->FieldByName("_USER_ID").AsInteger();
    if (user == self) continue;
    RecipientRole = roles->FieldByName("_ROLE_ID").AsInteger();
    RecipientUser = user;
  }
}

bool MarkLetterRead(TAppWorkFlow& AppWF, int32_t IdLetter) {
  try {
    Variant role = Variant::Null();
    AppWF.SetLetterRead(IdLetter, role, 1);
    return true;
  } catch (const EApiException&) {
    // The server answered, so asking it again costs no timeout. Its error
    // codes are its own; whether the letter still exists is what tells a
    // vanished letter from a real refusal.
    bool listed = true;
    try {
      TDataSetPtr incoming = AppWF.GetIncomingCorrespondence(kAllIncomingMode);
      // A user without any letter may get an empty packet without fields.
      listed =
          !incoming->IsEmpty() && incoming->Locate("_ID_LETTER", static_cast<int64_t>(IdLetter));
    } catch (const std::exception&) {
      // Not known: the refusal stands.
    }
    if (listed) throw;
    return false;
  }
}

void MarkCorrespondenceRead(TAppWorkFlow& AppWF, int32_t IdRoute) {
  TDataSetPtr incoming = AppWF.GetIncomingCorrespondence(kUnreadIncomingMode);
  const int32_t commonRoute = incoming->IsEmpty() ? 0 : FindCommonCorrespondenceRoute(AppWF);
  for (incoming->First(); !incoming->Eof(); incoming->Next()) {
    const int32_t route = incoming->FieldByName("_ID_ROUTE").AsInteger();
    if (route == commonRoute || route != IdRoute) continue;
    MarkLetterRead(AppWF, incoming->FieldByName("_ID_LETTER").AsInteger());
  }
}

void TSessionLogic::GetCorrespondence(boost::json::object& JSONResult, const std::string& Base64) {
  CheckConnected();
  const TParamsTaskCorrespondece params(Base64);
  TTaskACorrespondenceList letters;
  std::vector<int32_t> deletedIds;
  std::vector<int32_t> newIds;
  const int32_t version = LoadCorrespondence(params, AppWorkFlow(), letters, deletedIds, newIds);
  TResultWriter writer;
  writer.WriteTaskCorrespondence(letters, version);
  JSONResult["BASE64"] = writer.GetBase64Data();
}

void TSessionLogic::SetTaskCorrespondenceRead(const std::string& Base64) {
  CheckConnected();
  const TParamsCorrespondenceRead params(Base64);
  MarkCorrespondenceRead(AppWorkFlow(), params.FIdRoute);
}

void TSessionLogic::SendMessage(const std::string& Base64) {
  CheckConnected();
  const TParamsSendCorrespondeceMessage params(Base64);
  TTaskCorrespondenceSender sender;
  sender.Send(params.FIdTask, AppMainSystem(), AppWorkFlow(), params.FStMessage);
}

}  // namespace brevalon
