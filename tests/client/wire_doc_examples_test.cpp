// docs/wire-format.md shows brevalon-cli at work: "cli" blocks hold a command
// line after "$ " and exactly what it prints, each followed by a "hex" block
// with the record's bytes ("#" starts a note). This runs every command in-process
// and holds the page to its output and bytes, so the examples cannot go stale.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "client/cli.h"
#include "client/request_encoder.h"
#include "client/result_decoder.h"

namespace brevalon::client {
namespace {

struct Example {
  size_t line = 0;  // of the command, for messages
  std::vector<std::string> args;
  std::string expectedOut;
  std::vector<uint8_t> bytes;
  bool hasHex = false;
};

// Splits a command line into words: bare words and '...' quoted words (which
// may span lines, as a result text does); nothing else of the shell is used.
std::vector<std::string> ShellWords(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (const char c : command) {
    if (quoted) {
      if (c == '\'') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == '\'') {
      quoted = inWord = true;
    } else if (c == ' ') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  EXPECT_FALSE(quoted) << "unbalanced quote in: " << command;
  if (inWord) words.push_back(word);
  return words;
}

std::vector<uint8_t> HexBytes(const std::vector<std::string>& lines) {
  std::vector<uint8_t> bytes;
  for (const std::string& line : lines) {
    std::istringstream tokens(line.substr(0, line.find('#')));
    std::string token;
    while (tokens >> token) {
      EXPECT_EQ(token.size(), 2u) << "hex token " << token;
      bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
  }
  return bytes;
}

std::vector<Example> ReadExamples(const std::string& path) {
  std::ifstream file(path);
  EXPECT_TRUE(file) << path;
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);

  std::vector<Example> examples;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& fence = lines[i];
    if (fence != "```cli" && fence != "```hex") continue;
    const size_t start = i + 1;
    size_t end = start;
    while (end < lines.size() && lines[end] != "```") ++end;
    const std::vector<std::string> body(lines.begin() + start, lines.begin() + end);
    i = end;
    if (fence == "```hex") {
      EXPECT_FALSE(examples.empty() || examples.back().hasHex)
          << "stray hex block at line " << start;
      if (examples.empty()) continue;
      examples.back().bytes = HexBytes(body);
      examples.back().hasHex = true;
      continue;
    }
    Example example;
    example.line = start + 1;
    const std::string prompt = "$ brevalon-cli ";
    if (body.empty() || body[0].rfind(prompt, 0) != 0) {
      ADD_FAILURE() << "cli block at line " << start << " does not start with \"" << prompt << "\"";
      continue;
    }
    // The command runs on while a quote is open.
    std::string command = body[0].substr(prompt.size());
    size_t k = 1;
    while (std::count(command.begin(), command.end(), '\'') % 2 != 0 && k < body.size()) {
      command += "\n" + body[k++];
    }
    example.args = ShellWords(command);
    for (; k < body.size(); ++k) example.expectedOut += body[k] + "\n";
    examples.push_back(std::move(example));
  }
  return examples;
}

TEST(WireDocExamples, EveryExampleReproducesExactly) {
  const std::vector<Example> examples =
      ReadExamples(std::string(BREVALON_SOURCE_DIR) + "/docs/wire-format.md");
  std::set<std::string> methods;
  std::set<std::string> kinds;
  for (const Example& example : examples) {
    SCOPED_TRACE("docs/wire-format.md line " + std::to_string(example.line));
    ASSERT_GE(example.args.size(), 2u);
    std::istringstream in;
    std::ostringstream out, err;
    EXPECT_EQ(RunCli(example.args, {in, out, err}), 0) << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(out.str(), example.expectedOut);
    EXPECT_TRUE(example.hasHex) << "no hex block after the example";

    if (example.args[0] == "encode") {
      EXPECT_EQ(DecodeBase64Strict(out.str()), example.bytes);
      const RequestKind* kind = FindRequestKind(example.args[1]);
      ASSERT_NE(kind, nullptr);
      methods.insert(kind->method);
    } else {
      ASSERT_EQ(example.args[0], "decode");
      const std::vector<uint8_t> bytes = DecodeBase64Strict(example.args.back());
      EXPECT_EQ(bytes, example.bytes);
      std::string kind = std::to_string(PeekResultKind(bytes));
      for (const std::string& arg : example.args) {
        if (arg.rfind("--with", 0) == 0) kind += " " + arg;
      }
      kinds.insert(kind);
    }
  }
  // Every record has its example.
  EXPECT_EQ(methods.size(), RequestKinds().size());
  EXPECT_EQ(kinds,
            (std::set<std::string>{"2", "3", "4 --with-task", "4 --without-task", "5", "6"}));
}

}  // namespace
}  // namespace brevalon::client
