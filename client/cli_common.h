// What the brevalon-cli commands share: the connection options, the transport
// of one command (Gateway), the sign-in options that let a command sign in
// first on its own connection, and EUsage, the failure that RunCli reports
// with exit code 2. Used by cli.cpp and domain_commands.cpp on the one thread
// that runs a command.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "client/remote_calls.h"
#include "client/transport.h"

namespace brevalon::client {

class RestTransport;

// A command line that parses but does not make sense (exit code 2).
class EUsage : public Exception {
 public:
  explicit EUsage(const std::string& message) : Exception(message) {}
};

struct Connection {
  std::string url;
  std::string tcp;
  std::string caFile;  // HTTPS: certificate authorities to trust
  std::string sessionFile;
  double timeoutSeconds = 60;
};

void AddConnectionOptions(CLI::App& app, Connection& c);

// The transport of one command. Without a session file a REST session has
// no later use, so it is ended when the command is done rather than left to
// expire on the gateway.
class Gateway {
 public:
  explicit Gateway(const Connection& c);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  ITransport& T() { return *FTransport; }
  bool IsRest() const { return FRest != nullptr; }

 private:
  std::unique_ptr<ITransport> FTransport;
  RestTransport* FRest = nullptr;
  bool FKeepSession = false;
};

struct SignInOptions {
  std::string db;
  std::string user;
  std::string password;
  std::string domain;
};

// With `required` the command is the sign-in itself; otherwise the options
// sign in first, on the same connection (what a TCP session needs).
void AddSignInOptions(CLI::App& command, SignInOptions& s, bool required);
SignInAnswer DoSignIn(Gateway& gateway, const SignInOptions& s);
void SignInIfAsked(Gateway& gateway, const SignInOptions& s);

}  // namespace brevalon::client
