// The task model and the task list. A task, for the mobile client, is one
// stage (operation) of a workflow process that was created as a task; the
// gateway keeps no task store, it reads the workflow server's rows on every
// request, decides which rows are tasks, derives their state and sends the
// tasks that changed since the client's version, together with the processes
// that have new, unread correspondence.
//
// Free functions without state; they run on the session's worker thread with
// that session's workflow proxy. The lists passed in belong to the caller.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/entry_records.h"

namespace brevalon {

class Dataset;
class TAppWorkFlow;
class TParamsGetTaskList;

// Name of the process that holds the user's general (non-task) letters.
inline constexpr const char* kCommonCorrespondenceRouteName = "Общая переписка";
// Subject of the technical letter that tells an executor a task was issued;
// it is consumed by the task list and never shown as correspondence.
inline constexpr const char* kNewTaskLetterSubject = "{NewTask}";
// Subject of the technical letter sent when an executor takes a task into work.
inline constexpr const char* kSetToWorkLetterSubject = "{SetToWork}";

// Arguments of "GetTaskListForUser" used by the task list.
inline constexpr int8_t kTaskListUserRoleMask = 3;
inline constexpr int8_t kTaskListProcessStateMask = 15;  // stages of processes in every state
inline constexpr int8_t kRouteListProcessStateMask = 3;  // the user's processes
inline constexpr int32_t kTaskListStageStateMode = 2;
// "GetIncomingCorrespondence" mode: the user's incoming letters not yet read.
inline constexpr int32_t kUnreadIncomingMode = 2;

// The client's state of a task from the process state ("_WF_STATE") and the
// stage state ("_STATE"):
//   process 0 -> tsPlanned; process 1 and stage 4 -> tsInChecked;
//   process 2 -> tsRevoked; otherwise stage 2 -> tsSend, 3 -> tsInWork,
//   4 or 6 -> tsComleted, anything else -> tsUnknown.
TTaskState TaskStateOf(int32_t WFState, int32_t StageState);

// True when the current row of a "GetTaskListForUser" answer is a task the
// signed-in user `IdUser` is shown: a task process kind, an owner and an
// executor who differ, and, for a process not yet started, an executor other
// than the user.
bool IsVisibleTask(const Dataset& Row, int32_t IdUser);

// The task of the current row of a "GetTaskListForUser" answer. Empty integer
// columns read 0, empty texts "", empty dates 0.
TTask TaskFromRow(const Dataset& Row);

// The id of the signed-in user's process named "Общая переписка", 0 when
// there is none.
int32_t FindCommonCorrespondenceRoute(TAppWorkFlow& AppWF);

// Collects the processes with new unread letters into NewCorrRoutes (each
// once, only those new since the client's new-correspondence version),
// consuming unread "{NewTask}" notices on the way; letters of the common
// correspondence process are left alone. Returns the new-correspondence
// version the client holds afterwards (its own when no letter qualifies).
int32_t LoadNewCorrespondence(TAppWorkFlow& AppWF, const TParamsGetTaskList& Params,
                              std::vector<int32_t>& NewCorrRoutes);

// The task list of the signed-in user as a difference against the client's
// version: Tasks receives the new and changed visible tasks, DeletedIds the
// operation ids gone from the list, NewTaskIds the new stages given to the
// user by somebody else, NewCorrRoutes the processes with new letters.
// Returns the task-list version; NewCorrVersion receives the
// new-correspondence version.
int32_t LoadTaskList(TAppWorkFlow& AppWF, const TParamsGetTaskList& Params, TTaskList& Tasks,
                     std::vector<int32_t>& DeletedIds, std::vector<int32_t>& NewTaskIds,
                     std::vector<int32_t>& NewCorrRoutes, int32_t& NewCorrVersion);

}  // namespace brevalon
