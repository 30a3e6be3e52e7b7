#include "os/pam_logon.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

// Linux-PAM before 1.4 has no pam_start_confdir; a weak reference lets the
// program run there and report that a configuration directory cannot be used.
#pragma weak pam_start_confdir

namespace brevalon {

namespace {

std::mutex gConfDirMutex;
std::string gConfDir;  // guarded by gConfDirMutex

struct ConvData {
  const std::string* User;
  const std::string* Password;
};

void FreeResponses(pam_response* Responses, int Count) {
  if (Responses == nullptr) return;
  for (int i = 0; i < Count; ++i) {
    if (Responses[i].resp != nullptr) {
      // A response may be the password: leave no copy behind in freed memory.
      explicit_bzero(Responses[i].resp, std::strlen(Responses[i].resp));
      std::free(Responses[i].resp);
    }
  }
  std::free(Responses);
}

// Answers the password to hidden prompts and the user name to echoed ones;
// informational messages get no answer. Anything else ends the conversation.
extern "C" int Converse(int NumMsg, const pam_message** Msg, pam_response** Resp, void* AppData) {
  if (NumMsg <= 0 || NumMsg > PAM_MAX_NUM_MSG || Msg == nullptr || Resp == nullptr ||
      AppData == nullptr)
    return PAM_CONV_ERR;
  const ConvData& data = *static_cast<const ConvData*>(AppData);
  auto* responses =
      static_cast<pam_response*>(std::calloc(static_cast<size_t>(NumMsg), sizeof(pam_response)));
  if (responses == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < NumMsg; ++i) {
    const char* answer = nullptr;
    switch (Msg[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
        answer = data.Password->c_str();
        break;
      case PAM_PROMPT_ECHO_ON:
        answer = data.User->c_str();
        break;
      case PAM_ERROR_MSG:
      case PAM_TEXT_INFO:
        continue;
      default:
        FreeResponses(responses, NumMsg);
        return PAM_CONV_ERR;
    }
    responses[i].resp = strdup(answer);
    if (responses[i].resp == nullptr) {
      FreeResponses(responses, NumMsg);
      return PAM_BUF_ERR;
    }
  }
  *Resp = responses;
  return PAM_SUCCESS;
}

// Ends the transaction whatever happens to the caller.
class PamHandle {
 public:
  explicit PamHandle(pam_handle_t* Handle) : FHandle(Handle) {}
  ~PamHandle() {
    if (FHandle != nullptr) pam_end(FHandle, FStatus);
  }
  PamHandle(const PamHandle&) = delete;
  PamHandle& operator=(const PamHandle&) = delete;
  pam_handle_t* Get() const { return FHandle; }
  // The status handed to pam_end: the last step's result.
  void SetStatus(int Status) { FStatus = Status; }

 private:
  pam_handle_t* FHandle;
  int FStatus = PAM_SUCCESS;
};

[[noreturn]] void RaisePam(pam_handle_t* Handle, int Status) {
  const char* text = pam_strerror(Handle, Status);
  throw EOSError(Status, text != nullptr ? text : "");
}

}  // namespace

EOSError::EOSError(int Code, const std::string& SystemText)
    : Exception(OSErrorMessage(Code, SystemText)), FCode(Code) {}

std::string OSErrorMessage(int Code, const std::string& SystemText) {
  return "System Error.  Code: " + std::to_string(Code) + ".\r\n" + SystemText;
}

void SetPamConfigDir(const std::string& Dir) {
  std::lock_guard<std::mutex> lock(gConfDirMutex);
  gConfDir = Dir;
}

std::string PamConfigDir() {
  {
    std::lock_guard<std::mutex> lock(gConfDirMutex);
    if (!gConfDir.empty()) return gConfDir;
  }
  const char* env = std::getenv(kPamConfDirEnv);
  return env != nullptr ? std::string(env) : std::string();
}

bool PamConfigDirSupported() {
  return &pam_start_confdir != nullptr;
}

std::string PamLogon(const std::string& User, const std::string& Password) {
  ConvData data{&User, &Password};
  const pam_conv conversation{&Converse, &data};
  const std::string confDir = PamConfigDir();

  pam_handle_t* raw = nullptr;
  int status;
  if (confDir.empty()) {
    status = pam_start(kPamServiceName, User.c_str(), &conversation, &raw);
  } else if (PamConfigDirSupported()) {
    status = pam_start_confdir(kPamServiceName, User.c_str(), &conversation, confDir.c_str(), &raw);
  } else {
    throw EOSError(PAM_SYSTEM_ERR, "PAM configuration directory " + confDir +
                                       " is not supported by this PAM library");
  }
  PamHandle handle(raw);
  if (status != PAM_SUCCESS) {
    handle.SetStatus(status);
    RaisePam(raw, status);
  }

  // An empty password never passes, whatever a module would allow.
  const int flags = PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK;
  status = pam_authenticate(handle.Get(), flags);
  if (status == PAM_SUCCESS) status = pam_acct_mgmt(handle.Get(), flags);
  handle.SetStatus(status);
  if (status != PAM_SUCCESS) RaisePam(handle.Get(), status);

  // Modules may have settled on another form of the name.
  const void* item = nullptr;
  if (pam_get_item(handle.Get(), PAM_USER, &item) == PAM_SUCCESS && item != nullptr) {
    const char* name = static_cast<const char*>(item);
    if (*name != '\0') return name;
  }
  return User;
}

}  // namespace brevalon
