#include "session/session_logic.h"

#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "pdm/app_main_system.h"
#include "pdm/app_workflow.h"
#include "pdm/version_cache.h"
#include "os/pam_logon.h"
#include "protocol/base64.h"
#include "protocol/request_records.h"
#include "protocol/result_writer.h"
#include "session/connection_settings.h"
#include "session/settings.h"
#include "session/sign_in_throttle.h"

namespace brevalon {

namespace {

// Blanks and control characters (everything up to the space, and DEL) at both
// ends go; UTF-8 sequences never contain such bytes, so they stay whole.
std::string TrimBlanksAndControls(std::string_view Text) {
  auto isTrimmed = [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F;
  };
  size_t first = 0;
  size_t last = Text.size();
  while (first < last && isTrimmed(Text[first])) ++first;
  while (last > first && isTrimmed(Text[last - 1])) --last;
  return std::string(Text.substr(first, last - first));
}

bool EqualsAsciiNoCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(A[i]) != lower(B[i])) return false;
  }
  return true;
}

// The bytes of a block as the server answered it: a byte array as it is, a
// text as its bytes (texts stay UTF-8, never re-encoded), nothing as no
// bytes. Any other kind is a damaged reply.
std::string BlockBytes(const Variant& Block) {
  switch (Block.Type()) {
    case VariantType::ByteArray: {
      const std::vector<uint8_t>& bytes = Block.AsBytes();
      return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    case VariantType::Text:
      return Block.AsString();
    case VariantType::Empty:
    case VariantType::Null:
      return std::string();
    default:
      throw Exception(std::string("GetFileData answered a block of kind ") +
                      VariantTypeName(Block.Type()));
  }
}

}  // namespace

TSessionLogic::TSessionLogic(TSessionEnvironment environment)
    : FAppMainSystem(std::make_unique<TAppMainSystem>()),
      FAppWorkFlow(std::make_unique<TAppWorkFlow>()),
      FVersionStorage(std::make_unique<TPDMVersionStorage>(*FAppMainSystem)),
      FEnvironment(std::move(environment)) {
  LoadConnectionSettings();
}

TSessionLogic::~TSessionLogic() {
  // The cache works through the main-system proxy, so it goes first.
  FVersionStorage.reset();
  FAppMainSystem.reset();
  FAppWorkFlow.reset();
}

void TSessionLogic::CheckConnected() const {
  if (!FConnected) throw EConnectionException(kNotConnectedMessage);
  // Each request starts on connections that are still there: those the
  // server closed while the session was idle (a restarted server) are
  // forgotten, so that the request reconnects instead of failing on them.
  FAppMainSystem->BeginRequest();
  FAppWorkFlow->BeginRequest();
}

void TSessionLogic::LoadConnectionSettings() {
  // A settings directory that cannot be made fails here with its own message.
  const std::string fileName = GetSettingsDir() + kSettingsFileName;
  try {
    GetSettingsFileName();  // writes the default file when there is none
  } catch (const Exception&) {
    // A default file that could not be written leaves no file: that is the
    // failure the session reports, below.
  }
  std::error_code ec;
  if (!std::filesystem::is_regular_file(fileName, ec))
    throw Exception("Ini file [" + fileName + "] not found.");
  brevalon::LoadConnectionSettings(*FAppMainSystem, *FAppWorkFlow);
}

void TSessionLogic::ConnectToDB(boost::json::object& JSONResult, const std::string& Base64) {
  const TParamsConnectToDb params(Base64);
  TResultWriter writer;
  SignIn(params);
  const std::string internal = ReadInternalProperty();
  writer.WriteConnectToDbResult(FAppWorkFlow->ID_User(), internal);
  JSONResult["BASE64"] = writer.GetBase64Data();
}

void TSessionLogic::SignIn(const TParamsConnectToDb& params) {
  SignInThrottle* throttle = FEnvironment.Throttle;
  const std::string& client = FEnvironment.ClientKey;
  if (throttle) {
    if (const auto wait = throttle->Begin(params.FUser, client)) throw Exception(ThrottledMessage(*wait));
  }
  // Every attempt begun is ended, whatever happens to it.
  enum class Outcome { Abandoned, Refused, Accepted } outcome = Outcome::Abandoned;
  struct End {
    SignInThrottle* Throttle;
    const std::string& User;
    const std::string& Client;
    const Outcome& How;
    ~End() {
      if (!Throttle) return;
      if (How == Outcome::Refused) Throttle->Failed(User, Client);
      else if (How == Outcome::Accepted) Throttle->Succeeded(User, Client);
      else Throttle->Abandoned(User, Client);
    }
  } end{throttle, params.FUser, client, outcome};
  try {
    if (!params.FDomain.empty()) {
      ImpersonateUser(params.FDomain, params.FUser, params.FPassword);
      ConnectToServers(params.FDBName, params.FUser, std::string(), atWindows);
    } else {
      ConnectToServers(params.FDBName, params.FUser, params.FPassword, atPassword);
    }
  } catch (const EApiException&) {
    // The servers refused these credentials (a lost connection is no guess).
    outcome = Outcome::Refused;
    throw;
  } catch (const EOSError&) {
    outcome = Outcome::Refused;
    throw;
  }
  outcome = Outcome::Accepted;
}

void TSessionLogic::ImpersonateUser(const std::string& Domain, const std::string& User,
                                    const std::string& Password) {
  // The domain only selects the operating-system sign-in: PAM knows the
  // users of this machine and of whatever directory it is configured for.
  (void)Domain;
  FOSIdentity = PamLogon(User, Password);
  // Like an impersonation, the identity stays for the rest of the session:
  // every connection opened from now on presents it.
  FAppMainSystem->SetOSIdentity(FOSIdentity);
  FAppWorkFlow->SetOSIdentity(FOSIdentity);
}

void TSessionLogic::ConnectToServers(const std::string& DBName, const std::string& UserName,
                                     const std::string& Password, int32_t Authentific) {
  FAppMainSystem->SetUserName(UserName);
  FAppMainSystem->SetPassword(Password);
  FAppMainSystem->SetDBName(DBName);
  FAppMainSystem->SetAuthentific(Authentific);
  FAppMainSystem->Connect();
  FAppMainSystem->ConnectToDB();

  FAppWorkFlow->SetUserName(UserName);
  FAppWorkFlow->SetPassword(Password);
  FAppWorkFlow->SetAuthentific(Authentific);
  FAppWorkFlow->Connect();
  FAppWorkFlow->ConnectToDB(kWorkFlowAppVersion, DBName);

  FConnected = true;
  // Versions cached under an earlier sign-in carry that user's rights.
  FVersionStorage->Clear();
}

std::string TSessionLogic::ReadInternalProperty() {
  TDataSetPtr properties = FAppMainSystem->GetDBProperties();
  if (properties->FieldIndex("_PARAMNAME") < 0) return std::string();
  for (properties->First(); !properties->Eof(); properties->Next()) {
    if (EqualsAsciiNoCase(properties->FieldByName("_PARAMNAME").AsString(), "Internal"))
      return properties->FieldByName("_PARAMVALUE").AsString();
  }
  return std::string();
}

std::unique_ptr<Dataset> TSessionLogic::GetVersionInfo(int32_t IdVersion) {
  if (FAppMainSystem->ExistsObject(0, "", "", "", IdVersion) == 0) return nullptr;
  return FAppMainSystem->GetInfoAboutVersion(0, "", "", "", IdVersion, 7);
}

void TSessionLogic::GetFile(boost::json::object& JSONResult, const std::string& Base64) {
  CheckConnected();
  const TParamsGetFile params(Base64);
  std::unique_ptr<Dataset> files = GetVersionInfo(params.IdAttachment);
  if (!files)
    throw Exception("Version with id=[" + std::to_string(params.IdAttachment) + "] not found");

  std::string storedName;
  if (!files->IsEmpty()) {
    files->First();
    storedName = files->FieldByName("_LOCALNAME").AsString();
  }
  const std::string fileName = "Файл." + TrimBlanksAndControls(params.Extension);

  FAppMainSystem->ExtractFile("", "", "", params.IdAttachment, fileName, storedName, 1);
  Variant fileSize;
  Variant bytesRead;
  Variant checksum;
  const Variant block = FAppMainSystem->GetFileData(
      fileName, storedName, params.Position, params.BlockSize, 1, fileSize, bytesRead, checksum);
  JSONResult["Block"] = Base64Encode(BlockBytes(block));
}

}  // namespace brevalon
