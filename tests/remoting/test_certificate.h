// A certificate made when a test runs: a P-256 key and a self-signed
// certificate valid for a day, for localhost and 127.0.0.1, made by the
// openssl program into a folder of the test's. Used by the HTTPS tests of
// the framework and of the gateway.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace brevalon::testing {

struct TestCertificate {
  std::filesystem::path Cert;  // PEM; also the authority a client trusts
  std::filesystem::path Key;   // PEM, unencrypted
  explicit operator bool() const { return !Cert.empty(); }
};

// Empty when openssl cannot make one; `name` is the file names' stem.
inline TestCertificate MakeTestCertificate(const std::filesystem::path& dir,
                                           const std::string& name = "server") {
  TestCertificate c{dir / (name + ".crt"), dir / (name + ".key")};
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
      "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
      c.Key.string() + " -out " + c.Cert.string() + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 || !std::filesystem::exists(c.Cert)) return {};
  return c;
}

}  // namespace brevalon::testing
