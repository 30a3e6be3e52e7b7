#include "tasks/task_creator.h"

#include <cmath>
#include <cstdio>
#include <memory>

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "session/session_logic.h"
#include "tasks/resources.h"
#include "tasks/task_list.h"
#include "tasks/user_list.h"

namespace brevalon {

namespace {

constexpr int64_t kMsPerDay = 86'400'000;
// Day counts of 0001-01-01 and of the day after 9999-12-31.
constexpr double kMinDate = -693593.0;
constexpr double kMaxDate = 2958466.0;
constexpr int64_t kUnixEpochDay = 25569;  // 1970-01-01 as a day count

struct TCivilDate {
  int64_t Year;
  unsigned Month;
  unsigned Day;
};

// Days since 1970-01-01 to the proleptic Gregorian calendar date.
TCivilDate CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

// The planned date as a variant: Null when there is none.
Variant PlanDateVariant(TDateTime Value) {
  return Value != 0.0 ? Variant(Value) : Variant::Null();
}

}  // namespace

std::string FormatBPDateTime(TDateTime Value) {
  if (!std::isfinite(Value) || Value < kMinDate || Value >= kMaxDate) {
    throw Exception("Date-time value out of range");
  }
  // As in the platform's date-times: the integral part is the day (before
  // 1899-12-30 too), the fraction's magnitude the time of day.
  const double dayPart = std::trunc(Value);
  int64_t msOfDay = std::llround(std::fabs(Value - dayPart) * static_cast<double>(kMsPerDay));
  if (msOfDay >= kMsPerDay) msOfDay = kMsPerDay - 1;
  const TCivilDate date = CivilFromDays(static_cast<int64_t>(dayPart) - kUnixEpochDay);
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%02u.%02u.%04lld", date.Day, date.Month,
                        static_cast<long long>(date.Year));
  if (msOfDay != 0) {
    const int64_t seconds = msOfDay / 1000;
    std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), " %lld:%02lld:%02lld",
                  static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                  static_cast<long long>(seconds % 60));
  }
  return buf;
}

std::string MakeBPInfoText(const std::string& Subj, TDateTime DatePlan) {
  std::string text = "[BPInfo]\r\nSubj=" + Subj + "\r\n";
  if (DatePlan != 0.0) text += "DatePlan=" + FormatBPDateTime(DatePlan) + "\r\n";
  text += "\r\n";
  return text;
}

std::string MakeBPInfoText(const std::string& Subj, const Variant& DatePlan) {
  if (DatePlan.IsNull() || DatePlan.IsEmpty()) return MakeBPInfoText(Subj, 0.0);
  return MakeBPInfoText(Subj, DatePlan.AsDouble());
}

TStageArguments MakeStageArguments(int32_t AppVersion, const std::string& TaskText,
                                   const Variant& CriticalTerm, const Variant& PlanDate,
                                   int32_t Role, int32_t User, int32_t ProcessId) {
  TStageArguments r;
  if (AppVersion >= kServerVersion10) {
    r.Interface = TStageInterface::V10;
  } else if (AppVersion == kServerVersion9) {
    r.Interface = TStageInterface::V9;
  } else if (AppVersion == kServerVersion85) {
    r.Interface = TStageInterface::V85;
  } else {
    throw Exception(kUnknownServerVersionMessage);
  }
  const bool newest = r.Interface == TStageInterface::V10;
  r.Args = {Variant(TaskText),
            CriticalTerm,
            newest ? PlanDate : Variant::Null(),
            Variant(static_cast<uint8_t>(1)),  // can control
            Variant(static_cast<uint8_t>(1)),  // active
            Variant(Role),
            Variant(User),
            Variant(ProcessId)};
  if (r.Interface != TStageInterface::V85)
    r.Args.push_back(Variant(static_cast<uint8_t>(0)));  // can transform
  r.StageIdIndex = r.Args.size();
  r.Args.push_back(Variant::Null());  // stage id, written by the server
  if (newest) {
    r.Args.push_back(Variant());        // time constraint
    r.Args.push_back(Variant::Null());  // from process start
  }
  return r;
}

// ---- TCustomBPProc ----

TCustomBPProc::TCustomBPProc(TAppWorkFlow& AppWF, TAppMainSystem& AppMS, int32_t IdEveryOne)
    : FAppWF(&AppWF), FAppMS(&AppMS), FIdEveryOne(IdEveryOne) {}

void TCustomBPProc::Start() {
  FAppWF->SetStateOfProcess(FProcessId, 1);
}

void TCustomBPProc::NewProcess(const std::string& Name, int32_t ObjectId) {
  const Variant id = FAppWF->CreateNewProcess(FAppMS->DBName(), ObjectId, Name);
  FProcessId = id.IsNull() || id.IsEmpty() ? 0 : id.AsInteger();
  if (FProcessId == 0) throw Exception(kProcessNotCreatedMessage);
  AttachFinishOperation();
}

void TCustomBPProc::AttachFinishOperation() {
  int32_t operationId = FindAutoOperation(kFinishProcessOperation);
  if (operationId == 0) {
    // The first task process of a workflow database brings the operation
    // along; later ones find it by name.
    operationId = CreateAutoOperation(kFinishProcessOperation,
                                      LoadScriptResource(kScriptAutoStageFinishName));
  }
  FIdAutoStageFinish = CreateOperationInstance(operationId);
}

int32_t TCustomBPProc::FindAutoOperation(const std::string& Name) {
  TDataSetPtr list = FAppWF->GetAutoOperationList(1);
  if (!list) return 0;
  for (list->First(); !list->Eof(); list->Next()) {
    if (list->FieldByName("_NAME").AsString() == Name) return list->FieldByName("_ID").AsInteger();
  }
  return 0;
}

int32_t TCustomBPProc::CreateAutoOperation(const std::string& Name, const std::string& Script) {
  Variant script(Script);
  Variant id = Variant::Null();
  FAppWF->InsUpdAutoOperation(Name, 1, 1, 1, script, id);
  return id.IsNull() || id.IsEmpty() ? 0 : id.AsInteger();
}

int32_t TCustomBPProc::CreateOperationInstance(int32_t OperationId) {
  Variant variables = Variant::Null();
  Variant id = Variant::Null();
  FAppWF->InsUpdOpInstance(OperationId, 0, variables, FProcessId, id);
  return id.IsNull() || id.IsEmpty() ? 0 : id.AsInteger();
}

int32_t TCustomBPProc::InsertStage(const std::string& TaskText, const Variant& CriticalTerm,
                                   const Variant& PlanDate, int32_t Role, int32_t User) {
  TStageArguments s = MakeStageArguments(FAppMS->AppVersion(), TaskText, CriticalTerm, PlanDate,
                                         Role, User, FProcessId);
  auto& a = s.Args;
  switch (s.Interface) {
    case TStageInterface::V10:
      FAppWF->InsUpdStageIntoBP_V10(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
                                    a[10], a[11]);
      break;
    case TStageInterface::V9:
      FAppWF->InsUpdStageIntoBP_V9(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);
      break;
    case TStageInterface::V85:
      FAppWF->InsUpdStageIntoBP_V85(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]);
      break;
  }
  const Variant& id = a[s.StageIdIndex];
  const int32_t stage = id.IsNull() || id.IsEmpty() ? 0 : id.AsInteger();
  // The server reports a refused stage only through the error pair, which
  // this call does not examine; without an id the route would be linked to
  // nothing and a task without a stage would be issued.
  if (stage == 0) throw Exception(kStageNotCreatedMessage);
  return stage;
}

// ---- TBProcTask ----

void TBProcTask::CreatePocess(const std::string& ASubj, const std::string& AText,
                              int32_t AIdVersion, int32_t ATag, int32_t AIdRole, int32_t AIdUser,
                              const Variant& ADatePlan, const Variant& ACriticalTerm,
                              bool ACheckResult, TBProcessKind AKind, TAppWorkFlow& AppWF) {
  if (AKind != bpkTask && AKind != bpkTaskAgree && AKind != bpkTaskFamiliarization) {
    throw Exception(kWrongProcessKindMessage);
  }
  FIdRole = AIdRole;
  FIdUser = AIdUser;
  FSubj = ASubj;
  FText = AText;
  FDatePlan = ADatePlan;
  FAppWF = &AppWF;

  NewProcess(EncodeProcessName(AKind, ATag, ASubj), AIdVersion);
  const int32_t stage1 = InsertStage(AText, ACriticalTerm, ADatePlan, AIdRole, AIdUser);
  Variant first = Variant::Null();
  FAppWF->AddRouteItemsSeq(first, stage1, 0);  // the route starts with the executor's stage
  int32_t last = stage1;
  if (ACheckResult) {
    const int32_t stage2 = InsertStage(kCheckResultTask, Variant::Null(), Variant::Null(),
                                       FIdEveryOne, FAppWF->ID_User());
    Variant from(stage1);
    FAppWF->AddRouteItemsSeq(from, stage2, 0);
    Variant back(stage2);
    FAppWF->AddRouteItemsRetSeq(back, stage1);
    last = stage2;
  }
  Variant from(last);
  FAppWF->AddRouteItemsSeq(from, FIdAutoStageFinish, 0);
}

void TBProcTask::Start() {
  TCustomBPProc::Start();
  Variant senderRole(static_cast<uint8_t>(0));
  Variant recipientRole(FIdRole);
  Variant recipient(FIdUser);
  FAppWF->SendLetterByBPToOneUser(FProcessId, senderRole, recipientRole, recipient,
                                  kNewTaskLetterSubject, MakeBPInfoText(FSubj, FDatePlan));
}

// ---- TTaskCreator ----

void TTaskCreator::CreateTask(const std::string& RequestText, TAppWorkFlow& AppWF,
                              TAppMainSystem& AppMS) {
  const auto params = std::make_unique<TParamsTaskCreation>(RequestText);
  // A date the notice cannot show would fail only after the process was
  // built; refuse it before anything is created.
  if (params->FDateCritical != 0.0) FormatBPDateTime(params->FDateCritical);
  const int32_t idEveryOne = FindEveryoneRole(AppWF);
  const Variant planDate = PlanDateVariant(params->FDateCritical);
  for (size_t i = 0; i < params->FIdUsers.size() && i < params->FIdRoles.size(); ++i) {
    TBProcTask task(AppWF, AppMS, idEveryOne);
    task.CreatePocess(params->FSubject, params->FText, 0, 0, params->FIdRoles[i],
                      params->FIdUsers[i], planDate, Variant(static_cast<uint8_t>(0)), true,
                      bpkTask, AppWF);
    if (params->FStartAfterCreate) task.Start();
  }
}

void TSessionLogic::CreateTask(const std::string& Base64) {
  CheckConnected();
  TTaskCreator().CreateTask(Base64, AppWorkFlow(), AppMainSystem());
}

}  // namespace brevalon
