#include "protocol/request_records.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "session/settings.h"

namespace brevalon {

// ---- TUIDManager ---------------------------------------------------------

namespace {

// Characters that show as a dot or a slash, or not at all. Harmless to this
// file system, but a tool that normalises names (NFKC, a Windows share, a
// backup) may turn "．．" into ".." or "a∕b" into "a/b", and a name with an
// invisible character looks like another one in every listing. U+FFFD is
// what the request reader made of bytes that were not UTF-8.
bool IsLookalikeOrInvisible(char32_t cp) {
  if (cp >= 0x80 && cp <= 0x9F) return true;      // C1 controls
  if (cp >= 0x200B && cp <= 0x200F) return true;  // zero-width, direction marks
  if (cp >= 0x202A && cp <= 0x202E) return true;  // direction embeddings, overrides
  if (cp >= 0x2060 && cp <= 0x2069) return true;  // word joiner, direction isolates
  switch (cp) {
    case 0x2024: case 0x2025: case 0x2026: case 0xFE52: case 0xFF0E:  // dots
    case 0x2044: case 0x2215: case 0x2571: case 0x29F8: case 0xFF0F:  // slashes
    case 0x29F5: case 0x29F9: case 0xFE68: case 0xFF3C:               // backslashes
    case 0xFEFF: case 0xFFFD:
      return true;
    default:
      return false;
  }
}

// The code points of `text`, or nothing when it is not valid UTF-8.
std::optional<std::u32string> CodePoints(std::string_view text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    std::size_t len = 0;
    char32_t cp = 0;
    if (b < 0x80) {
      len = 1, cp = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2, cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, cp = b & 0x07;
    } else {
      return std::nullopt;
    }
    if (i + len > text.size()) return std::nullopt;
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (c & 0x3F);
    }
    const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    out.push_back(cp);
    i += len;
  }
  return out;
}

// A UID names exactly one directory inside the cache folder, nothing else.
bool IsPlainDirectoryName(const std::string& uid) {
  if (uid.empty() || uid.size() > TUIDManager::MaxUidLength) return false;
  if (uid == "." || uid == "..") return false;
  const std::optional<std::u32string> cps = CodePoints(uid);
  if (!cps) return false;
  for (const char32_t c : *cps) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || IsLookalikeOrInvisible(c)) return false;
  }
  return true;
}

}  // namespace

std::string TUIDManager::CachePath(const std::string& AUID) {
  return GetSettingsDir() + "Cache/" + AUID;
}

void TUIDManager::checkUID(const std::string& AUID) {
  if (!IsPlainDirectoryName(AUID)) throw EDataTypeException();
  // Nearly always the directory is there from the client's earlier requests:
  // one look, without making sure of the settings directory first.
  std::error_code ec;
  if (std::filesystem::is_directory(SettingsDirPath() + "Cache/" + AUID, ec)) return;
  const std::string path = CachePath(AUID);
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
