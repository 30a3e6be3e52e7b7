#include "client/cli_common.h"

#include <chrono>

#include "client/rest_transport.h"
#include "client/tcp_transport.h"

namespace brevalon::client {

Gateway::Gateway(const Connection& c) {
  const auto timeout = std::chrono::milliseconds(static_cast<int64_t>(c.timeoutSeconds * 1000));
  if (!c.url.empty()) {
    const HttpUrl where = ParseHttpUrl(c.url);
    RestOptions options;
    options.Host = where.Host;
    options.Port = where.Port;
    options.Tls = where.Tls;
    options.CaFile = c.caFile;
    options.Timeout = timeout;
    options.SessionFile = c.sessionFile;
    auto rest = std::make_unique<RestTransport>(options);
    FRest = rest.get();
    FKeepSession = !c.sessionFile.empty();
    FTransport = std::move(rest);
  } else if (!c.tcp.empty()) {
    if (!c.sessionFile.empty()) {
      throw EUsage("--session applies to --url: over TCP the connection is the session");
    }
    const HostPort where = ParseHostPort(c.tcp, 211);
    TcpOptions options;
    options.Host = where.Host;
    options.Port = where.Port;
    options.Timeout = timeout;
    FTransport = std::make_unique<TcpTransport>(options);
  } else {
    throw EUsage("this command needs --url http://HOST:8085 (or https://HOST:8086) or --tcp HOST:211");
  }
}

Gateway::~Gateway() {
  if (FRest && !FKeepSession && FRest->Connected()) {
    try {
      FRest->EndSession();
    } catch (const std::exception&) {
      // The session expires on its own.
    }
  }
}

void AddConnectionOptions(CLI::App& app, Connection& c) {
  CLI::Option* url = app.add_option(
      "--url", c.url, "The gateway's REST service, e.g. http://HOST:8085 or https://HOST:8086");
  CLI::Option* tcp = app.add_option("--tcp", c.tcp, "The gateway's TCP transport, e.g. HOST:211");
  url->excludes(tcp);
  app.add_option("--session", c.sessionFile,
                 "REST: keep the session id in FILE (created 0600) so that later commands "
                 "continue the session; without it the session ends with the command")
      ->option_text("FILE");
  app.add_option("--cacert", c.caFile,
                 "HTTPS: trust the certificate authorities of FILE (PEM) instead of the "
                 "system's; the gateway's certificate is always checked")
      ->option_text("FILE");
  app.add_option("--timeout", c.timeoutSeconds, "Seconds each network step may take")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 86400.0));
}

void AddSignInOptions(CLI::App& command, SignInOptions& s, bool required) {
  const std::string first = required ? "" : " (sign in first)";
  CLI::Option* db = command.add_option("--db", s.db, "Database name" + first);
  CLI::Option* user = command.add_option("--user", s.user, "User name" + first);
  command
      .add_option("--password", s.password,
                  "Password; or the environment variable BREVALON_PASSWORD")
      ->envname("BREVALON_PASSWORD");
  command.add_option("--domain", s.domain, "Sign in through the operating system in this domain");
  if (required) {
    db->required();
    user->required();
  } else {
    db->needs(user);
    user->needs(db);
  }
}

SignInAnswer DoSignIn(Gateway& gateway, const SignInOptions& s) {
  try {
    return SignIn(gateway.T(), s.db, s.user, s.password, s.domain);
  } catch (const ESessionExpired&) {
    // A sign-in starts over anyway: take the new session the gateway opens.
    if (!gateway.IsRest()) throw;
    return SignIn(gateway.T(), s.db, s.user, s.password, s.domain);
  }
}

void SignInIfAsked(Gateway& gateway, const SignInOptions& s) {
  if (!s.db.empty() || !s.user.empty()) DoSignIn(gateway, s);
}

}  // namespace brevalon::client
