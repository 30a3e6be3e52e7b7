// Operating-system sign-in of a mobile user through PAM, the service
// "brevalon24": the user name and password are checked (pam_authenticate)
// and the account is checked for being usable now (pam_acct_mgmt). Nothing
// is kept: the password lives only in the caller's string for the length of
// the call and is never logged.
//
// A refusal raises EOSError. Its code is the PAM return value of the step
// that refused (for example PAM_AUTH_ERR 7, PAM_USER_UNKNOWN 10,
// PAM_PERM_DENIED 6, PAM_ACCT_EXPIRED 13) and its text is what pam_strerror
// says for that value; the message has the operating-system failure form
// "System Error.  Code: <code>.\r\n<text>". PAM codes are used as they are
// rather than mapped onto errno values: they are the system's own answer, and
// pam_strerror gives the matching text.
//
// Tests and special installations may point PAM at a configuration directory
// of their own (pam_start_confdir): SetPamConfigDir wins over the environment
// variable BREVALON_PAM_CONFDIR; with neither, the system's configuration
// (/etc/pam.d) is used. PamLogon may be called from any thread; each call has
// its own PAM handle.
#pragma once

#include <string>

#include "util/exception.h"

namespace brevalon {

inline constexpr const char* kPamServiceName = "brevalon24";
inline constexpr const char* kPamConfDirEnv = "BREVALON_PAM_CONFDIR";

// The operating-system failure: a system error code and the system's text.
class EOSError : public Exception {
 public:
  EOSError(int Code, const std::string& SystemText);
  int Code() const { return FCode; }

 private:
  int FCode;
};

// "System Error.  Code: <Code>.\r\n<SystemText>" (two blanks after the period).
std::string OSErrorMessage(int Code, const std::string& SystemText);

// Replaces the PAM configuration directory for the rest of the process; an
// empty text goes back to BREVALON_PAM_CONFDIR or the system's configuration.
void SetPamConfigDir(const std::string& Dir);
// The directory in force: the one set, else the environment variable, else
// empty (the system's configuration).
std::string PamConfigDir();
// Whether the PAM library can take a configuration directory of its own
// (pam_start_confdir, Linux-PAM 1.4 and later).
bool PamConfigDirSupported();

// Authenticates `User` with `Password` and checks the account through the
// service "brevalon24". Returns the identity PAM settled on (the user name
// after the modules ran, normally `User`). Raises EOSError on refusal and on
// any PAM failure, also when a configuration directory is in force but the
// library cannot use one.
std::string PamLogon(const std::string& User, const std::string& Password);

}  // namespace brevalon
