// brevalon-cli, the reference client on the command line: one subcommand per
// task (encode a request, decode a result, ...). The program's main() only
// hands its arguments and standard streams to RunCli, so that tests run the
// very same command lines in-process. Each subcommand is added by its own
// function in cli.cpp; a new one (calls over REST/TCP, get-file, ...) is one
// more such function.
//
// Exit codes: 0 success, 1 input that the command cannot accept (a bad
// request description, a malformed result text), 2 a bad command line. Every
// failure prints exactly one line "brevalon-cli: <message>" on the error
// stream. One thread runs a command.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace brevalon::client {

struct CliStreams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// argv[0] is the program name, as main() receives it.
int RunCli(int argc, const char* const* argv, CliStreams io);
// The arguments after the program name.
int RunCli(const std::vector<std::string>& args, CliStreams io);

}  // namespace brevalon::client
