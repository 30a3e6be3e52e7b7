// Task attachments: the files of the PDM documents attached to a task's
// process, sent to the client as a difference against its cached
// "AttachListOf_<process id>" list, together with the task's current record.
//
// LoadTaskAttachments is the domain operation behind GetTaskAttachments; the
// handler (TSessionLogic::GetTaskAttachments, task_attachments.cpp) owns the
// lists it fills and clears the session's version cache when it ends. The
// file helpers below are shared with the document search. Everything here
// runs on the session's worker thread and keeps nothing between calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/dataset.h"
#include "protocol/entry_records.h"

namespace brevalon {

class TAppMainSystem;
class TAppWorkFlow;
class TPDMVersionStorage;
class TParamsTaskAttachments;

// Stem of the versioned attachment list of one process ("AttachListOf_1532").
inline constexpr const char* kAttachListDataSetPrefix = "AttachListOf_";
// Key field of that list.
inline constexpr const char* kAttachListKeyField = "_PDM_OBJECT_ID";
// The link type a document uses for the documents it is composed of.
inline constexpr const char* kCompositionLinkType = "состоит из...";

// The attachment list being collected: one row per file, keyed by the id of
// the document version holding it (a version with several files gives several
// rows with the same key). Owns its dataset.
class TDataSetFinalTaskAttachments {
 public:
  // Field sizes of the two text fields, in characters; longer texts are cut.
  static constexpr uint32_t kTitleSize = 128;
  static constexpr uint32_t kExtensionSize = 16;

  TDataSetFinalTaskAttachments();

  // Appends a row with these values in field order ("_PDM_OBJECT_ID",
  // "IdFile", "Title", "Extension", "CRC", "Size").
  void putRecord(int32_t AIdObject, int32_t AIdFile, const std::string& ATitle,
                 const std::string& AExtension, int32_t ACRC, int32_t ASize);

  Dataset& ResultDataSet() { return *FResultDataSet; }

 private:
  std::unique_ptr<Dataset> FResultDataSet;
};

// True for a file the client is never offered: its name holds "cache"
// (letter case counts, so "Cache.dat" is listed).
bool IsCacheFileName(std::string_view AName);

// The extension of a file name without dots: "pdf" for "drawing.v2.pdf",
// empty for "README".
std::string FileExtension(std::string_view AName);

// Fills `Task` from the process and stage of operation `IdOperation` and, when
// the process has an attached PDM object, `Attachments` and `DeletedIds` with
// the difference against the client's cached attachment list of the process
// (NewIds receives what the version manager reports as new keys). Returns the
// list version the client holds after applying the answer; without an
// attached object that is the client's own version, unchanged.
//
// Raises Exception "Process with operation id=[N] not found" for an unknown
// operation and "Process with id=[N] not found" for an unknown process; server
// failures propagate. Versions are loaded through `Storage`, which the caller
// clears afterwards.
int32_t LoadTaskAttachments(int32_t IdOperation, TAppMainSystem& AppMS, TAppWorkFlow& AppWF,
                            TPDMVersionStorage& Storage, TTaskAttachmentList& Attachments,
                            TTask& Task, const TParamsTaskAttachments& Params,
                            std::vector<int32_t>& DeletedIds, std::vector<int32_t>& NewIds);

// When `Task` is executed by somebody other than `IdUser` (the signed-in
// user's workflow id), removes its row from the client's cached "TaskList"
// snapshots, so that the next GetTaskList sends the task again as new.
void ForgetCachedTask(const TTask& Task, int32_t IdUser, const std::string& UID);

}  // namespace brevalon
