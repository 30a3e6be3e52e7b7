// Task editing: the remote method EditTask changes a task's executor,
// subject, planned date and text. Only what differs from the workflow
// server's stage and process is applied; a running process is stopped
// around the changes and started again, and then the previous executor is
// told what changed and a new executor gets the "{NewTask}" notice. A process
// that is not running is changed silently.
//
// Nothing is undone when a call fails: a failure after the pause leaves a
// running process stopped (the client shows it revoked) until it is started
// again. One editor per request, on the session's worker thread; the proxies
// are borrowed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/request_records.h"
#include "util/process_name.h"

namespace brevalon {

class TAppMainSystem;
class TAppWorkFlow;

// Lines of the change notice, in the order the changes are applied.
inline constexpr const char* kExecutorChangedLine = "Изменен исполнитель";
inline constexpr const char* kSubjectChangedLine = "Изменена тема задания";
inline constexpr const char* kDateChangedLine = "Изменен срок выполнения";
inline constexpr const char* kTextChangedLine = "Изменен текст задания";

struct TTaskEditor {
  // Decodes the request (EDataTypeException for malformed data) and applies
  // it. Raises brevalon::Exception "Process with operation id=[N] not found"
  // before any change when the server knows no such stage.
  void EditTask(const std::string& Base64, TAppWorkFlow& AppWF, TAppMainSystem& AppMS);

 private:
  void ApplyChanges(const TParamsTaskEditing& Params);

  TAppWorkFlow* FAppWF = nullptr;    // not owned
  TAppMainSystem* FAppMS = nullptr;  // not owned, not used
  int32_t FIdRoute = 0;
  int32_t FTaskStateRout = 0;     // "_WF_STATE" before the edit
  int32_t FTaskStageState = 0;    // "_STATE" before the edit
  TDateTime FDateCritical = 0.0;  // "_DATE_EXECUTION_PLAN" before the edit
  TBProcessInfo FInfo;            // all empty when the name does not decode
  std::string FText;
  int32_t FIdUser = 0;
  int32_t FIdRole = 0;
};

}  // namespace brevalon
