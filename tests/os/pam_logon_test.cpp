// Operating-system sign-in as the installed daemon does it: not as root, with
// no way to gain privileges (NoNewPrivileges), checking a password with
// pam_unix. The test plays the machine in a mount namespace of its own (a
// user "brevtest" added to copies of /etc/passwd and /etc/shadow, mounted
// over the real ones), so nothing of the host changes; each case runs in a
// child process that drops to "nobody". Needs root and mount namespaces:
// without them it says so and is skipped.
#include "os/pam_logon.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sched.h>
#include <security/pam_appl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace brevalon {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A SHA-512 crypt of `password`, made by openssl; empty when it cannot.
std::string HashOf(const std::string& password) {
  std::FILE* p = ::popen(("openssl passwd -6 -salt brevtest '" + password + "'").c_str(), "r");
  if (!p) return {};
  char line[256] = {};
  const bool ok = std::fgets(line, sizeof line, p) != nullptr;
  ::pclose(p);
  std::string hash = ok ? line : "";
  while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
  return hash.rfind("$6$", 0) == 0 ? hash : std::string();
}

class PamLogonNonRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(BREVALON_ASAN)
    // The sanitizer's interceptor of crypt() finds no real function when
    // libcrypt arrives later with pam_unix, and calls a null pointer.
    GTEST_SKIP() << "pam_unix's crypt under AddressSanitizer";
#endif
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to play the machine's users";
    if (!PamConfigDirSupported()) GTEST_SKIP() << "PAM without pam_start_confdir";
    if (!fs::exists("/lib/x86_64-linux-gnu/security/pam_unix.so") &&
        !fs::exists("/usr/lib/x86_64-linux-gnu/security/pam_unix.so"))
      GTEST_SKIP() << "pam_unix is not installed";
    if (::getgrnam("shadow") == nullptr) GTEST_SKIP() << "no shadow group";
    hash = HashOf("Secret-1");
    if (hash.empty()) GTEST_SKIP() << "openssl passwd is not available";
    char tmpl[] = "/tmp/brevalon-pam-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    fs::create_directories(dir / "pam.d");
    std::ofstream(dir / "pam.d" / kPamServiceName)
        << "auth required pam_unix.so\naccount required pam_unix.so\n";
    std::ofstream(dir / "passwd") << ReadAll("/etc/passwd")
                                  << "brevtest:x:64999:64999:test:/nonexistent:/usr/sbin/nologin\n";
    std::ofstream(dir / "shadow") << ReadAll("/etc/shadow") << "brevtest:" << hash << ":19000:0:99999:7:::\n";
    fs::permissions(dir / "shadow", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(::chown((dir / "shadow").c_str(), 0, ::getgrnam("shadow")->gr_gid), 0);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }
  void TearDown() override {
    if (!dir.empty()) fs::remove_all(dir);
  }

  // Runs PamLogon(user, password) in a child that sees the test's users,
  // runs as nobody (with the shadow group when `shadow`), cannot gain
  // privileges, and answers the PAM code (0 = signed in; 200+ = the child
  // could not set itself up).
  int SignInAsNobody(const std::string& user, const std::string& password, bool shadow) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::unshare(CLONE_NEWNS) != 0) ::_exit(201);
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(202);
      for (const char* f : {"passwd", "shadow"}) {
        const std::string from = (dir / f).string(), to = std::string("/etc/") + f;
        if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) ::_exit(203);
      }
      SetPamConfigDir((dir / "pam.d").string());
      std::vector<gid_t> groups;
      if (shadow) groups.push_back(::getgrnam("shadow")->gr_gid);
      if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
        ::_exit(204);
      if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) ::_exit(205);
      try {
        ::_exit(PamLogon(user, password) == user ? 0 : 206);
      } catch (const EOSError& e) {
        ::_exit(e.Code() > 0 && e.Code() < 200 ? e.Code() : 207);
      } catch (...) {
        ::_exit(208);
      }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 209;
  }

  fs::path dir;
  std::string hash;
};

TEST_F(PamLogonNonRootTest, WithTheShadowGroupPamUnixChecksPasswordsWithoutRoot) {
  const int probe = SignInAsNobody("brevtest", "Secret-1", true);
  if (probe == 201 || probe == 202 || probe == 203) GTEST_SKIP() << "no mount namespace here (" << probe << ")";
  EXPECT_EQ(probe, 0) << "the right password, as nobody with the shadow group";
  EXPECT_EQ(SignInAsNobody("brevtest", "wrong", true), PAM_AUTH_ERR);
  // Without the group pam_unix cannot read the hashes, and its helper can
  // check only the caller's own password: the daemon's user needs the group
  // (or another module, pam_sss say).
  const int without = SignInAsNobody("brevtest", "Secret-1", false);
  EXPECT_NE(without, 0) << "signed in without the group";
  EXPECT_LT(without, 200) << "refused by PAM (PAM_AUTHINFO_UNAVAIL here), not by the test";
}

}  // namespace
}  // namespace brevalon
