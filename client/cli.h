// brevalon-cli, the reference client on the command line: one subcommand per
// task (encode a request, decode a result, call a remote method, sign in,
// download a file, ...). The program's main() only hands its arguments and
// standard streams to RunCli, so that tests run the very same command lines
// in-process. Each subcommand is added by its own function in cli.cpp, the
// named domain commands (tasks, create, state, ...) in domain_commands.cpp.
//
// Exit codes (also in --help): 0 success; 1 input that the command cannot
// accept (a bad request description, a malformed result text, a local file
// that cannot be written); 2 a bad command line; 3 the REST session expired
// (the stored id is forgotten); 4 the gateway cannot be reached or answered
// outside the protocol (also the framework's {"error":...}); 5 a remote
// method answered a non-zero return code; 6 a downloaded file does not match
// its size or CRC-32. Every failure prints exactly one line
// "brevalon-cli: <message>" on the error stream. One thread runs a command.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace brevalon::client {

struct CliStreams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  // A progress bar goes to `err` only when it is a terminal.
  bool errIsTerminal = false;
};

// argv[0] is the program name, as main() receives it.
int RunCli(int argc, const char* const* argv, CliStreams io);
// The arguments after the program name.
int RunCli(const std::vector<std::string>& args, CliStreams io);

}  // namespace brevalon::client
