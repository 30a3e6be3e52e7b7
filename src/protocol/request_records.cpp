#include "protocol/request_records.h"

#include <filesystem>
#include <system_error>

#include "session/settings.h"

namespace brevalon {

// ---- TUIDManager ---------------------------------------------------------

namespace {

// A UID names exactly one directory inside the cache folder, nothing else.
bool IsPlainDirectoryName(const std::string& uid) {
  if (uid.empty() || uid.size() > TUIDManager::MaxUidLength) return false;
  if (uid == "." || uid == "..") return false;
  for (const char ch : uid) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

}  // namespace

std::string TUIDManager::CachePath(const std::string& AUID) {
  return GetSettingsDir() + "Cache/" + AUID;
}

void TUIDManager::checkUID(const std::string& AUID) {
  if (!IsPlainDirectoryName(AUID)) throw EDataTypeException();
  const std::string path = CachePath(AUID);
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return;
  // create_directories reports no error when another session created the
  // directory first; is_directory afterwards is what counts.
  std::filesystem::create_directories(path, ec);
  if (!std::filesystem::is_directory(path, ec)) {
    throw Exception("Can not create " + path + " directory");
  }
}

// ---- TClientRequestReader --------------------------------------------------

TClientRequestReader::TClientRequestReader(std::string_view AText)
    : FBASE64Stream(AText),
      FMemoryStream(MemoryStreamFromBase64(FBASE64Stream)),
      FStreamReader(std::make_shared<TStreamReader>(*FMemoryStream)) {
  FStreamReader->ReadInteger();  // header word, ignored
  FIdOperation = FStreamReader->ReadInteger();
}

TClientRequestReader::~TClientRequestReader() = default;

void TClientRequestReader::CheckOperation(int32_t AExpected) const {
  if (FIdOperation != AExpected) throw EDataTypeException();
}

// ---- Request classes -------------------------------------------------------

TParamsConnectToDb::TParamsConnectToDb(std::string_view AText) : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  IStreamReader& r = *FStreamReader;
  FDBName = r.ReadString();
  FUser = r.ReadString();
  FDomain = r.ReadString();
  FPassword = r.ReadString();
}

TParamsGetUserList::TParamsGetUserList(std::string_view AText) : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  IStreamReader& r = *FStreamReader;
  FStUID = r.ReadString();
  TUIDManager::checkUID(FStUID);
  FNDataSetVersion = r.ReadInteger();
}

TParamsTaskAttachments::TParamsTaskAttachments(std::string_view AText)
    : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  IStreamReader& r = *FStreamReader;
  FStUID = r.ReadString();
  FUidManager.checkUID(FStUID);
  FNDataSetVersion = r.ReadInteger();
  FIdTask = r.ReadInteger();
}

TParamsGetTaskList::TParamsGetTaskList(std::string_view AText) : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  IStreamReader& r = *FStreamReader;
  FStUID = r.ReadString();
  FUidManager.checkUID(FStUID);
  FNDataSetVersion = r.ReadInteger();
  FNIncommingCorrespVersion = r.ReadInteger();
}

TParamsTaskCorrespondece::TParamsTaskCorrespondece(std::string_view AText)
    : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  IStreamReader& r = *FStreamReader;
  FStUID = r.ReadString();
  FUidManager.checkUID(FStUID);
  FNDataSetVersion = r.ReadInteger();
  FIdTask = r.ReadInteger();
}

TParamsTaskCreation::TParamsTaskCreation(std::string_view AText) : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  IStreamReader& r = *FStreamReader;
  FSubject = r.ReadString();
  FText = r.ReadString();
  FDateCritical = r.ReadDateTime();
  FStartAfterCreate = r.ReadBoolean();
  const int32_t n = r.ReadInteger();
  // Every pair takes 8 bytes, so a count the data cannot hold is malformed;
  // nothing is allocated for it.
  if (n < 0 || static_cast<size_t>(n) > FMemoryStream->Remaining() / 8) {
    throw EDataTypeException();
  }
  FIdUsers.resize(static_cast<size_t>(n));
  FIdRoles.resize(static_cast<size_t>(n));
  for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
    FIdUsers[i] = r.ReadInteger();
    FIdRoles[i] = r.ReadInteger();
  }
}

TParamsTaskEditing::TParamsTaskEditing(std::string_view AText) : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  IStreamReader& r = *FStreamReader;
  FIdTask = r.ReadInteger();
  FSubjectNew = r.ReadString();
  FTextNew = r.ReadString();
  FDateCriticalNew = r.ReadDateTime();
  FIdUserNew = r.ReadInteger();
  FIdRoleNew = r.ReadInteger();
}

TParamsChangeTaskState::TParamsChangeTaskState(std::string_view AText)
    : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  IStreamReader& r = *FStreamReader;
  FIdTask = r.ReadInteger();
  FIdState = r.ReadInteger();
  FSReason = r.ReadString();
}

TParamsSearchDocument::TParamsSearchDocument(std::string_view AText)
    : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  FSearchString = FStreamReader->ReadString();
}

TParamsSendCorrespondeceMessage::TParamsSendCorrespondeceMessage(std::string_view AText)
    : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  IStreamReader& r = *FStreamReader;
  FIdTask = r.ReadInteger();
  FStMessage = r.ReadString();
}

TParamsCorrespondenceRead::TParamsCorrespondenceRead(std::string_view AText)
    : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  FIdRoute = FStreamReader->ReadInteger();
}

TParamsDeleteTask::TParamsDeleteTask(std::string_view AText) : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  FIdRoute = FStreamReader->ReadInteger();
}

TParamsGetFile::TParamsGetFile(std::string_view AText) : TClientRequestReader(AText) {
  CheckOperation(OperationId);
  IStreamReader& r = *FStreamReader;
  IdAttachment = r.ReadInteger();
  Extension = r.ReadString();
  BlockSize = r.ReadInteger();
  Position = r.ReadInteger();
}

}  // namespace brevalon
