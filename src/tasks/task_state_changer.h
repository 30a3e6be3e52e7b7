// Task state changes: the remote method SetStateForTask moves a task through
// its life (issue, take into work, revoke, complete, accept, reissue, return
// for rework), each step a fixed sequence of workflow calls on the task's
// stage, its process and the route's next item, mostly followed by a letter
// to the other party; revoking and accepting also withdraw the executor's
// grants on the process's attached documents. DeleteTask removes a task's
// whole process.
//
// Nothing is undone when a call fails; a step's letter is sent after its
// calls succeeded, except on revocation, whose letter goes out before the
// process is stopped. One changer per request, on the session's worker
// thread; the proxies are borrowed.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/stream.h"

namespace brevalon {

class TAppMainSystem;
class TAppWorkFlow;

// Action codes of the request's FIdState; only the low seven bits count.
enum TTaskAction : int32_t {
  taIssue = 1,
  taSetToWork = 2,
  taRevoke = 3,
  taComplete = 4,
  taAccept = 5,
  taReissue = 6,
  taReturn = 7,
};

inline constexpr const char* kSetToWorkBody = "Задание взято в работу";
inline constexpr const char* kRevokedNoReasonBody = "Задание отозвано без указания причины";
inline constexpr const char* kCompletedBody = "Задание выполнено";
inline constexpr const char* kReissuedBody = "Задание выдано повторно";
inline constexpr const char* kReturnedBody = "Задание возвращено";

// The letter body of a revocation: the fixed text without a reason, else the
// reason, unchanged, between two double quotes.
std::string RevocationText(const std::string& Reason);

struct TTaskStateChanger {
  // Reads the stage and its process, then runs the action Action & 0x7F;
  // codes outside 1..7 change nothing. Raises brevalon::Exception
  // "Process with operation id=[N] not found" or "Process with id=[N] not
  // found" before any change when the stage or its process is unknown.
  void ChangeTaskState(int32_t IdOperation, int32_t Action, const std::string& Reason,
                       TAppMainSystem& AppMS, TAppWorkFlow& AppWF);

 private:
  void SendToExecutor(const std::string& Subject, const std::string& Body);
  void SendToAuthor(const std::string& Subject, const std::string& Body);
  // Stage done and the route moved on along its forward links.
  void CompleteItem(int32_t Item);
  // The first next item of the task's stage when it is a check stage still
  // open (issued or done with remarks); 0 otherwise.
  int32_t OpenCheckItem();
  // Withdraws the executor's grants on the process's attached documents
  // where the signed-in user administers the version.
  void WithdrawExecutorGrants();

  int32_t FIdOperation = 0;
  int32_t FIdRoute = 0;
  std::string FRouteName;
  TAppMainSystem* FAppMS = nullptr;  // not owned
  TAppWorkFlow* FAppWF = nullptr;    // not owned
  int32_t FIdRole = 0;
  std::string FAuthor;
  int32_t FIdAuthor = 0;
  std::string FExecutor;
  int32_t FIdExecutor = 0;
  TDateTime FPlanDate = 0.0;
};

// "DeleteProcess"(IdRoute); the server's failure (unknown process, not the
// owner) reaches the caller unchanged.
void DeleteTaskProcess(TAppWorkFlow& AppWF, int32_t IdRoute);

}  // namespace brevalon
