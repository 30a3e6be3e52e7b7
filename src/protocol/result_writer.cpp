#include "protocol/result_writer.h"

namespace brevalon {

TResultWriter::TResultWriter() : TResultWriter(CurrentTimeZoneBias()) {}

TResultWriter::TResultWriter(int32_t ABias)
    : FMemoryStream(std::make_unique<TMemoryStream>()),
      FStreamWriter(std::make_shared<TStreamWriter>(*FMemoryStream, ABias)) {
  FStreamWriter->WriteInteger(FormatMarker);
}

// The writer borrows the stream, so it goes first (member order does that).
TResultWriter::~TResultWriter() = default;

void TResultWriter::WriteIntegerList(const std::vector<int32_t>& AList) {
  FStreamWriter->WriteInteger(static_cast<int32_t>(AList.size()));
  for (const int32_t v : AList) FStreamWriter->WriteInteger(v);
}

void TResultWriter::WriteTask(const TTask& ATask) {
  IStreamWriter& w = *FStreamWriter;
  w.WriteInteger(ATask.FId);
  w.WriteInteger(ATask.FIdRoute);
  w.WriteString(ATask.FTitle);
  w.WriteString(ATask.FText);
  w.WriteInteger(ATask.FIdAuthor);
  w.WriteInteger(ATask.FIdExecutor);
  w.WriteDateTime(ATask.FCriticalDate);
  w.WriteDateTime(ATask.FSendDate);
  w.WriteByte(static_cast<uint8_t>(ATask.FState));
  w.WriteBoolean(ATask.FHasAttachments);
}

void TResultWriter::WriteConnectToDbResult(int32_t WFUserId, const std::string& MSDatabseVer) {
  IStreamWriter& w = *FStreamWriter;
  w.WriteInteger(rkConnectToDb);
  w.WriteInteger(WFUserId);
  w.WriteString(MSDatabseVer);
}

void TResultWriter::WriteUserList(const TUserList& AUsers, const std::vector<int32_t>& ADeleted,
                                  int32_t AVersion) {
  IStreamWriter& w = *FStreamWriter;
  w.WriteInteger(rkUserList);
  w.WriteInteger(AVersion);
  w.WriteInteger(static_cast<int32_t>(AUsers.size()));
  for (const TUser& u : AUsers) {
    w.WriteInteger(u.FIdUser);
    w.WriteString(u.FUserFullname);
    w.WriteInteger(u.FIdRole);  // role id before role name on the wire
    w.WriteString(u.FRoleName);
    w.WriteString(u.FDepartmentName);
  }
  WriteIntegerList(ADeleted);
}

void TResultWriter::WriteTaskAttachments(const TTaskAttachmentList& AAttachments,
                                         const std::vector<int32_t>& ADeleted, int32_t AVersion,
                                         const TTask* ATask) {
  IStreamWriter& w = *FStreamWriter;
  w.WriteInteger(rkTaskAttachments);
  w.WriteInteger(AVersion);
  w.WriteInteger(static_cast<int32_t>(AAttachments.size()));
  for (const TTaskAttachment& a : AAttachments) {
    w.WriteString(a.FTitle);  // an attachment begins with its title
    w.WriteInteger(a.FId);
    w.WriteString(a.FExtension);
    // The checksum is an unsigned 32-bit value: zero-extended, never negative.
    w.WriteInt64(static_cast<int64_t>(static_cast<uint32_t>(a.FCRC)));
    w.WriteInteger(a.FSize);
    w.WriteInteger(a.FObjectId);
  }
  WriteIntegerList(ADeleted);
  if (ATask != nullptr) WriteTask(*ATask);
}

void TResultWriter::WriteTasks(const TTaskList& ATasks, const std::vector<int32_t>& ADeleted,
                               const std::vector<int32_t>& ANewTasks,
                               const std::vector<int32_t>& ANewCorrespondence,
                               int32_t ATaskListVersion, int32_t ANewCorrespondenceVersion) {
  IStreamWriter& w = *FStreamWriter;
  w.WriteInteger(rkTasks);
  w.WriteInteger(ATaskListVersion);
  w.WriteInteger(ANewCorrespondenceVersion);
  w.WriteInteger(static_cast<int32_t>(ATasks.size()));
  for (const TTask& t : ATasks) WriteTask(t);
  WriteIntegerList(ANewTasks);
  WriteIntegerList(ADeleted);
  WriteIntegerList(ANewCorrespondence);
}

void TResultWriter::WriteTaskCorrespondence(const TTaskACorrespondenceList& ALetters,
                                            int32_t AVersion) {
  IStreamWriter& w = *FStreamWriter;
  w.WriteInteger(rkTaskCorrespondence);
  w.WriteInteger(AVersion);
  w.WriteInteger(static_cast<int32_t>(ALetters.size()));
  for (const TTaskACorrespondence& l : ALetters) {
    w.WriteInteger(l.FId);
    w.WriteInteger(l.FIdAuthor);
    w.WriteString(l.FText);
    w.WriteDateTime(l.FDate);
  }
}

std::string TResultWriter::GetBase64Data() const { return MemoryStreamToBase64(*FMemoryStream); }

}  // namespace brevalon
