// Task correspondence: the letters exchanged between a task's author and its
// executor within the task's process. Reading them as a difference against
// the client's cached version, sending a message to the other participant,
// and marking the user's unread letters of a process as read.
//
// Runs on the session's worker thread with that session's proxies; nothing
// is kept between calls. The lists passed in belong to the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/entry_records.h"

namespace brevalon {

class TAppMainSystem;
class TAppWorkFlow;
class TParamsTaskCorrespondece;

// "Process with operation id=[<id>] not found"
std::string ProcessOfOperationNotFoundMessage(int32_t OperationId);

// The letters of the task's process that are new or changed since the
// client's version, without "{NewTask}" notices; DeletedIds and NewIds
// receive what the version manager reports (not sent to the client).
// Returns the correspondence version the client holds afterwards. Raises
// "Process with operation id=[%d] not found" for an unknown task.
int32_t LoadCorrespondence(const TParamsTaskCorrespondece& Params, TAppWorkFlow& AppWF,
                           TTaskACorrespondenceList& Letters, std::vector<int32_t>& DeletedIds,
                           std::vector<int32_t>& NewIds);

// Sends one message within a task's process to the process's other
// participant. Lives for one SendMessage request; the proxy is borrowed.
struct TTaskCorrespondenceSender {
  TAppWorkFlow* FAppWF = nullptr;  // not owned
  int32_t FOperationId = 0;
  int32_t FRouteId = 0;
  std::string FRouteName;  // as the server gives it, kind-and-tag prefix included

  // Looks the task's process up, picks the recipient and sends sMessage
  // (trimmed) with the process name as subject. Sends nothing, without error,
  // when there is no recipient: more than three role entries in the process,
  // or none that belongs to somebody else. AppMS is not used.
  void Send(int32_t OperationId, TAppMainSystem& AppMS, TAppWorkFlow& AppWF,
            const std::string& sMessage);

 private:
  // The last role entry of the process that belongs to somebody other than
  // the signed-in user; both 0 when there is none.
  void FindMessageRecipient(int32_t& RecipientUser, int32_t& RecipientRole);
};

// Marks the signed-in user's unread letters of process IdRoute as read; the
// common correspondence process is never touched. A letter that is gone by
// the time it is marked is skipped (see MarkLetterRead).
void MarkCorrespondenceRead(TAppWorkFlow& AppWF, int32_t IdRoute);

// Marks one incoming letter of the signed-in user as read. The letters to
// mark come from a listing made before; another session may delete the
// letter's process (the author deleting the task) or the letter itself in
// between, and the server then refuses the letter as unknown. Such a letter
// has nothing left to mark: answers false, without error, when the server
// refused and the letter is no longer among the user's incoming letters.
// Any other failure is raised as it came.
bool MarkLetterRead(TAppWorkFlow& AppWF, int32_t IdLetter);

}  // namespace brevalon
