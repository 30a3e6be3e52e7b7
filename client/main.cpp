// brevalon-cli: the reference mobile client on the command line. Everything
// lives in the client library (client/cli.h); this only wires the process's
// arguments and standard streams to it.
#include <unistd.h>

#include <iostream>

#include "client/cli.h"

int main(int argc, char** argv) {
  return brevalon::client::RunCli(argc, argv, {std::cin, std::cout, std::cerr, isatty(STDERR_FILENO) == 1});
}
