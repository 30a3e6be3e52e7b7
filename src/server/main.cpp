// brevalon24: the gateway daemon. See server/service.h and docs/daemon.md.
#include <iostream>

#include "server/service.h"

int main(int argc, char** argv) { return brevalon::RunService(argc, argv, std::cout, std::cerr); }
