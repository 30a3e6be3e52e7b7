// TResultWriter builds one binary result record of the mobile protocol and
// turns it into the result text (Base64 with CR LF after every 76 characters).
// A record is: Integer format marker 20121004 (written at creation), Integer
// result kind 2..6, then the kind's body. An integer list on the wire is an
// Integer count followed by that many Integers.
//
// Element layouts (note the orders that differ from the records' fields):
//   Task:       Integer FId, Integer FIdRoute, String FTitle, String FText,
//               Integer FIdAuthor, Integer FIdExecutor, DateTime FCriticalDate,
//               DateTime FSendDate, Byte FState, Boolean FHasAttachments
//   Attachment: String FTitle, Integer FId, String FExtension,
//               Int64 FCRC (unsigned 32-bit value), Integer FSize, Integer FObjectId
//   User:       Integer FIdUser, String FUserFullname, Integer FIdRole,
//               String FRoleName, String FDepartmentName
//   Letter:     Integer FId, Integer FIdAuthor, String FText, DateTime FDate
//
// A handler creates one writer, calls exactly one Write* operation, then
// GetBase64Data. The lists passed in are only read. One thread per writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/stream.h"
#include "protocol/entry_records.h"

namespace brevalon {

class TResultWriter {
 public:
  static constexpr int32_t FormatMarker = 20121004;  // 0x013305AC
  enum : int32_t {
    rkConnectToDb = 2,
    rkUserList = 3,
    rkTaskAttachments = 4,
    rkTasks = 5,
    rkTaskCorrespondence = 6,
  };

  // Uses the machine's time-zone bias (CurrentTimeZoneBias) for DateTimes.
  TResultWriter();
  explicit TResultWriter(int32_t ABias);
  ~TResultWriter();

  TResultWriter(const TResultWriter&) = delete;
  TResultWriter& operator=(const TResultWriter&) = delete;

  // Kind 2: the user's workflow id and the main-system database's "Internal"
  // property value.
  void WriteConnectToDbResult(int32_t WFUserId, const std::string& MSDatabseVer);
  // Kind 3: version, n users, deleted user keys.
  void WriteUserList(const TUserList& AUsers, const std::vector<int32_t>& ADeleted,
                     int32_t AVersion);
  // Kind 4: version (-1 for a search), n attachments, deleted object ids, then
  // the task record only when ATask is given (no marker before it).
  void WriteTaskAttachments(const TTaskAttachmentList& AAttachments,
                            const std::vector<int32_t>& ADeleted, int32_t AVersion,
                            const TTask* ATask);
  // Kind 5: task-list version, new-correspondence version, n tasks, new-task
  // ids, deleted task ids, routes with new correspondence.
  void WriteTasks(const TTaskList& ATasks, const std::vector<int32_t>& ADeleted,
                  const std::vector<int32_t>& ANewTasks,
                  const std::vector<int32_t>& ANewCorrespondence, int32_t ATaskListVersion,
                  int32_t ANewCorrespondenceVersion);
  // Kind 6: version, n letters.
  void WriteTaskCorrespondence(const TTaskACorrespondenceList& ALetters, int32_t AVersion);

  // The result text of the whole stream; content and position stay as they
  // were, so it may be called again and writing may go on.
  std::string GetBase64Data() const;

  // The record's bytes so far (for tests and diagnostics).
  const std::vector<uint8_t>& Bytes() const { return FMemoryStream->Bytes(); }

 private:
  void WriteIntegerList(const std::vector<int32_t>& AList);
  void WriteTask(const TTask& ATask);

  std::unique_ptr<TMemoryStream> FMemoryStream;
  std::shared_ptr<IStreamWriter> FStreamWriter;
};

}  // namespace brevalon
