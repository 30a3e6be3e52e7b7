// Request records of the mobile protocol. Every remote method receives the
// Base64 of a binary record: Integer header word (ignored), Integer operation
// id, then the method's fields in a fixed order (see stream.h for the wire
// types). Bytes after the last field are ignored.
//
// A request object decodes the whole record in its constructor and then holds
// the values as public fields. Malformed data - a wrong operation id (checked
// before any field is read), a record that ends early, a String or pair count
// larger than the bytes left, an unusable client UID - raises
// EDataTypeException "Неверные данные". The requests that carry a client UID
// make sure that the client's cache directory exists right after reading it
// (TUIDManager::checkUID).
//
// The handler that creates a request object owns it; it lives on the session's
// worker thread for one call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/data_type_exception.h"
#include "protocol/stream.h"

namespace brevalon {

// Prepares a client's cache directory: GetSettingsDir() + "Cache/" + UID.
struct TUIDManager {
  // Longest UID accepted, in bytes.
  static constexpr size_t MaxUidLength = 128;

  // Raises EDataTypeException (and creates nothing) for a UID that is empty,
  // longer than MaxUidLength, "." or "..", not UTF-8, or holds "/", "\", a
  // control character, or a character that looks like a dot or a slash or
  // shows not at all (fullwidth dot, division slash, zero-width space, ...);
  // otherwise creates the directory with its parents when missing
  // (creation racing with another session is fine). Raises brevalon::Exception
  // "Can not create <path> directory" when it neither exists nor can be made.
  static void checkUID(const std::string& AUID);
  // The directory checkUID prepares (no checks, nothing created).
  static std::string CachePath(const std::string& AUID);
};

// Base of all request classes: Base64 framing and the two-word header.
class TClientRequestReader {
 public:
  // Decodes AText and reads the header; a record shorter than the header
  // raises EDataTypeException.
  explicit TClientRequestReader(std::string_view AText);
  virtual ~TClientRequestReader();

  TClientRequestReader(const TClientRequestReader&) = delete;
  TClientRequestReader& operator=(const TClientRequestReader&) = delete;

  // Another reference to the reader over the decoded bytes, positioned after
  // whatever has been read so far.
  std::shared_ptr<IStreamReader> getStreamReader() const { return FStreamReader; }

  int32_t FIdOperation = 0;

 protected:
  // Raises EDataTypeException unless the header carried AExpected.
  void CheckOperation(int32_t AExpected) const;

  std::string FBASE64Stream;                     // the request text as received
  std::unique_ptr<TMemoryStream> FMemoryStream;  // the decoded bytes
  std::shared_ptr<IStreamReader> FStreamReader;  // over FMemoryStream
};

class TParamsConnectToDb : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 2;
  explicit TParamsConnectToDb(std::string_view AText);

  std::string FDBName;
  std::string FUser;
  std::string FDomain;  // empty: PDM password sign-in
  std::string FPassword;
};

class TParamsGetUserList : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 3;
  explicit TParamsGetUserList(std::string_view AText);

  const std::string& getUid() const { return FStUID; }
  int32_t getDataSetVersion() const { return FNDataSetVersion; }

  std::string FStUID;
  int32_t FNDataSetVersion = 0;
};

class TParamsTaskAttachments : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 4;
  explicit TParamsTaskAttachments(std::string_view AText);

  const std::string& getUid() const { return FStUID; }
  int32_t getDataSetVersion() const { return FNDataSetVersion; }

  std::string FStUID;
  int32_t FNDataSetVersion = 0;
  int32_t FIdTask = 0;
  TUIDManager FUidManager;
};

class TParamsGetTaskList : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 5;
  explicit TParamsGetTaskList(std::string_view AText);

  const std::string& getUid() const { return FStUID; }
  int32_t getDataSetVersion() const { return FNDataSetVersion; }
  int32_t getIncommingCorrespVersion() const { return FNIncommingCorrespVersion; }

  std::string FStUID;
  int32_t FNDataSetVersion = 0;
  int32_t FNIncommingCorrespVersion = 0;
  TUIDManager FUidManager;
};

class TParamsTaskCorrespondece : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 6;
  explicit TParamsTaskCorrespondece(std::string_view AText);

  std::string FStUID;
  int32_t FNDataSetVersion = 0;
  int32_t FIdTask = 0;
  TUIDManager FUidManager;
};

class TParamsTaskCreation : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 7;
  explicit TParamsTaskCreation(std::string_view AText);

  std::string FSubject;
  std::string FText;
  TDateTime FDateCritical = 0.0;
  bool FStartAfterCreate = false;
  // Executors as (user, role) pairs: entry i of both arrays is pair i.
  std::vector<int32_t> FIdUsers;
  std::vector<int32_t> FIdRoles;
};

class TParamsTaskEditing : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 8;
  explicit TParamsTaskEditing(std::string_view AText);

  int32_t FIdTask = 0;
  std::string FSubjectNew;
  std::string FTextNew;
  TDateTime FDateCriticalNew = 0.0;
  int32_t FIdUserNew = 0;
  int32_t FIdRoleNew = 0;
};

class TParamsChangeTaskState : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 9;
  explicit TParamsChangeTaskState(std::string_view AText);

  int32_t FIdTask = 0;
  int32_t FIdState = 0;
  std::string FSReason;
};

class TParamsSearchDocument : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 10;
  explicit TParamsSearchDocument(std::string_view AText);

  std::string FSearchString;
};

class TParamsSendCorrespondeceMessage : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 11;
  explicit TParamsSendCorrespondeceMessage(std::string_view AText);

  int32_t FIdTask = 0;
  std::string FStMessage;
};

class TParamsCorrespondenceRead : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 12;
  explicit TParamsCorrespondenceRead(std::string_view AText);

  int32_t FIdRoute = 0;
};

class TParamsDeleteTask : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 13;
  explicit TParamsDeleteTask(std::string_view AText);

  int32_t FIdRoute = 0;
};

class TParamsGetFile : public TClientRequestReader {
 public:
  static constexpr int32_t OperationId = 14;
  explicit TParamsGetFile(std::string_view AText);

  int32_t IdAttachment = 0;
  std::string Extension;
  int32_t BlockSize = 0;
  int32_t Position = 0;
};

}  // namespace brevalon
