// Runs the built brevalon-cli as a separate process, the way a user does,
// and collects its exit code and both output streams.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace brevalon::testing {

struct ProgramRun {
  int code;
  std::string out;
  std::string err;
};

// `args` is a shell-quoted argument string; the outputs pass through files in
// `work`.
inline ProgramRun RunProgram(const std::filesystem::path& work, const std::string& args) {
  const std::filesystem::path out = work / "stdout", err = work / "stderr";
  const std::string command = std::string(BREVALON_BIN_DIR) + "/brevalon-cli " + args + " >" +
                              out.string() + " 2>" + err.string() + " </dev/null";
  const int status = std::system(command.c_str());
  const auto read = [](const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read(out), read(err)};
}

}  // namespace brevalon::testing
