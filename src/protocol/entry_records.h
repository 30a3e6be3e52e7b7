// Client entry records: the four plain records that the listing methods hand to
// the mobile client (tasks, attachments, correspondence letters, users) and the
// task state a task carries. The domain code (tasks/) fills them, the result
// writer serialises them field by field in its own order; they sit beside the
// writer because they are the vocabulary of the results and need nothing, so
// tasks/ depends on protocol/ and never the reverse. Lists of records are
// std::vector values owned by the handler that builds them; records are plain
// data with no thread affinity.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace brevalon {

// Day count since 1899-12-30 00:00 local time, time of day as the fraction;
// 0.0 means "no date".
using TDateTime = double;

// One byte on the wire (its ordinal); the spelling tsComleted is part of the
// protocol's vocabulary and is kept.
enum TTaskState : uint8_t {
  tsUnknown = 0,
  tsPlanned = 1,
  tsSend = 2,
  tsInWork = 3,
  tsRevoked = 4,
  tsInChecked = 5,
  tsComleted = 6,
};

class TTask {
 public:
  TTask() = default;
  TTask(int32_t AId, int32_t AIdRoute, std::string ATitle, std::string AText, int32_t AIdAuthor,
        int32_t AIdExecutor, TDateTime ACriticalDate, TDateTime ASendDate, TTaskState AState,
        bool AHasAttachments)
      : FId(AId),
        FIdRoute(AIdRoute),
        FTitle(std::move(ATitle)),
        FText(std::move(AText)),
        FIdAuthor(AIdAuthor),
        FIdExecutor(AIdExecutor),
        FCriticalDate(ACriticalDate),
        FSendDate(ASendDate),
        FState(AState),
        FHasAttachments(AHasAttachments) {}

  // Overwrites every field; same arguments, same order as the constructor.
  void Assign(int32_t AId, int32_t AIdRoute, std::string ATitle, std::string AText,
              int32_t AIdAuthor, int32_t AIdExecutor, TDateTime ACriticalDate,
              TDateTime ASendDate, TTaskState AState, bool AHasAttachments) {
    *this = TTask(AId, AIdRoute, std::move(ATitle), std::move(AText), AIdAuthor, AIdExecutor,
                  ACriticalDate, ASendDate, AState, AHasAttachments);
  }

  int32_t FId = 0;
  int32_t FIdRoute = 0;
  std::string FTitle;
  std::string FText;
  int32_t FIdAuthor = 0;
  int32_t FIdExecutor = 0;
  TDateTime FCriticalDate = 0.0;
  TDateTime FSendDate = 0.0;
  TTaskState FState = tsUnknown;
  bool FHasAttachments = false;
};

class TTaskAttachment {
 public:
  TTaskAttachment() = default;
  TTaskAttachment(int32_t AObjectId, int32_t AId, std::string ATitle, std::string AExtension,
                  int32_t ACRC, int32_t ASize)
      : FObjectId(AObjectId),
        FId(AId),
        FTitle(std::move(ATitle)),
        FExtension(std::move(AExtension)),
        FCRC(ACRC),
        FSize(ASize) {}

  int32_t FObjectId = 0;
  int32_t FId = 0;
  std::string FTitle;
  std::string FExtension;  // without dots
  // The server's 32-bit checksum as stored (may be negative here); it goes on
  // the wire as the unsigned value in an Int64.
  int32_t FCRC = 0;
  int32_t FSize = 0;
};

class TTaskACorrespondence {
 public:
  TTaskACorrespondence() = default;
  TTaskACorrespondence(int32_t AId, int32_t AIdAuthor, std::string AText, TDateTime Date)
      : FId(AId), FIdAuthor(AIdAuthor), FText(std::move(AText)), FDate(Date) {}

  int32_t FId = 0;
  int32_t FIdAuthor = 0;
  std::string FText;
  TDateTime FDate = 0.0;
};

class TUser {
 public:
  TUser() = default;
  // Argument order differs from the field order on purpose (role id before
  // role name, as on the wire).
  TUser(int32_t AIdUser, std::string AUserFullname, int32_t AIdRole, std::string ARoleName,
        std::string ADepartmentName)
      : FIdUser(AIdUser),
        FUserFullname(std::move(AUserFullname)),
        FRoleName(std::move(ARoleName)),
        FIdRole(AIdRole),
        FDepartmentName(std::move(ADepartmentName)) {}

  int32_t FIdUser = 0;
  std::string FUserFullname;
  std::string FRoleName;
  int32_t FIdRole = 0;
  std::string FDepartmentName;
};

using TTaskList = std::vector<TTask>;
using TTaskAttachmentList = std::vector<TTaskAttachment>;
using TTaskACorrespondenceList = std::vector<TTaskACorrespondence>;
using TUserList = std::vector<TUser>;

}  // namespace brevalon
