// Task creation: the builders of task processes on the workflow server and
// the "BPInfo" body of the "{NewTask}" notice.
//
// A task, for the mobile client, is the executor's stage of a workflow
// process named "{KKTTTTTTTT}Subject" (util/process_name.h). TBProcTask
// builds one such process per executor: the executor's stage, optionally a
// stage in which the author checks the result (with a return link back to
// the executor's stage), and an instance of the auto-operation
// "Закончить процесс" that ends the process. Starting the process issues the
// executor's stage and sends the executor the "{NewTask}" notice.
//
// Nothing is undone on failure: whatever a failed call left on the servers
// stays there. The builders borrow the session's proxies and live for one
// request on the session's worker thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data/variant.h"
#include "protocol/request_records.h"
#include "util/process_name.h"

namespace brevalon {

class TAppMainSystem;
class TAppWorkFlow;

inline constexpr const char* kFinishProcessOperation = "Закончить процесс";
inline constexpr const char* kCheckResultTask = "Проверить результат";
inline constexpr const char* kWrongProcessKindMessage = "Неверный тип бизнес-процесса";
inline constexpr const char* kProcessNotCreatedMessage = "Бизнес-процесс не создан";
inline constexpr const char* kStageNotCreatedMessage = "Этап бизнес-процесса не создан";
inline constexpr const char* kUnknownServerVersionMessage =
    "Не опредлена версия сервера приложений";

// Main-system server versions that select the stage interface.
inline constexpr int32_t kServerVersion85 = 20061001;
inline constexpr int32_t kServerVersion9 = 20080101;
inline constexpr int32_t kServerVersion10 = 20090306;

// A date-time (local day count since 1899-12-30) as the notice shows it: the
// gateway's regional short date "dd.mm.yyyy", then a blank and the long time
// "h:mm:ss", the time left out when it is exactly midnight. Raises
// brevalon::Exception for a value outside the years 1 to 9999.
std::string FormatBPDateTime(TDateTime Value);

// The "BPInfo" ini text: "[BPInfo]", "Subj=<subject>", "DatePlan=<date>"
// and an empty line, each ended by CR LF. The DatePlan line is left out
// when the date is Null or 0: 0 means "no date" everywhere in the system,
// and a notice announcing 30.12.1899 as the deadline would be wrong.
std::string MakeBPInfoText(const std::string& Subj, const Variant& DatePlan);
std::string MakeBPInfoText(const std::string& Subj, TDateTime DatePlan);

// Which "InsUpdStageIntoBP" interface a main-system server version takes, and
// the arguments it gets (the task text first, the stage id by reference).
enum class TStageInterface { V85, V9, V10 };
struct TStageArguments {
  TStageInterface Interface = TStageInterface::V10;
  std::vector<Variant> Args;  // in the order the server takes them
  size_t StageIdIndex = 0;    // position of the by-reference stage id
};
// Raises brevalon::Exception "Не опредлена версия сервера приложений" for a
// version other than 20061001, 20080101 and 20090306 or later. Only the
// newest interface receives the planned date; the older two get Null.
TStageArguments MakeStageArguments(int32_t AppVersion, const std::string& TaskText,
                                   const Variant& CriticalTerm, const Variant& PlanDate,
                                   int32_t Role, int32_t User, int32_t ProcessId);

// A workflow process under construction: its id, the finishing
// auto-operation instance, and the borrowed proxies.
class TCustomBPProc {
 public:
  TCustomBPProc(TAppWorkFlow& AppWF, TAppMainSystem& AppMS, int32_t IdEveryOne);
  virtual ~TCustomBPProc() = default;
  TCustomBPProc(const TCustomBPProc&) = delete;
  TCustomBPProc& operator=(const TCustomBPProc&) = delete;

  // "SetStateOfProcess"(process, 1).
  virtual void Start();

  int32_t ProcessId() const { return FProcessId; }
  int32_t IdAutoStageFinish() const { return FIdAutoStageFinish; }

 protected:
  // "CreateNewProcess" in the session's database, then AttachFinishOperation.
  // Raises "Бизнес-процесс не создан" when the server answers the id 0.
  void NewProcess(const std::string& Name, int32_t ObjectId);
  // Finds (or, the first time in a database, creates) the auto-operation
  // "Закончить процесс" and adds an instance of it to the process.
  void AttachFinishOperation();
  // "GetAutoOperationList"(1): the id of the operation named exactly Name, or 0.
  int32_t FindAutoOperation(const std::string& Name);
  int32_t CreateAutoOperation(const std::string& Name, const std::string& Script);
  int32_t CreateOperationInstance(int32_t OperationId);
  // Adds a stage to the process through the interface the main-system
  // server's version selects and returns the new stage's id. Raises
  // "Этап бизнес-процесса не создан" when the server gave no id.
  int32_t InsertStage(const std::string& TaskText, const Variant& CriticalTerm,
                      const Variant& PlanDate, int32_t Role, int32_t User);

  int32_t FProcessId = 0;
  int32_t FIdAutoStageFinish = 0;
  TAppWorkFlow* FAppWF;    // not owned
  TAppMainSystem* FAppMS;  // not owned
  int32_t FIdEveryOne;
};

// A process of one of the task kinds for one executor.
class TBProcTask : public TCustomBPProc {
 public:
  using TCustomBPProc::TCustomBPProc;

  // Builds the process (not started). Raises "Неверный тип бизнес-процесса"
  // before anything is sent when AKind is not a task kind. AIdVersion is the
  // PDM object attached to the process (0 for none). ADatePlan and
  // ACriticalTerm are Null when not given.
  void CreatePocess(const std::string& ASubj, const std::string& AText, int32_t AIdVersion,
                    int32_t ATag, int32_t AIdRole, int32_t AIdUser, const Variant& ADatePlan,
                    const Variant& ACriticalTerm, bool ACheckResult, TBProcessKind AKind,
                    TAppWorkFlow& AppWF);

  // Starts the process and sends the executor the "{NewTask}" notice.
  void Start() override;

 private:
  int32_t FIdRole = 0;
  int32_t FIdUser = 0;
  std::string FSubj;
  std::string FText;
  Variant FDatePlan = Variant::Null();
};

// The remote method CreateTask: one task process per executor pair of the
// request, all with the same subject, text and planned date.
struct TTaskCreator {
  // Decodes the request (EDataTypeException for malformed data), creates the
  // processes in request order and starts them when the request asks so.
  void CreateTask(const std::string& RequestText, TAppWorkFlow& AppWF, TAppMainSystem& AppMS);
};

}  // namespace brevalon
