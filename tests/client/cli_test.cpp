// brevalon-cli as a user meets it: exit codes, what goes to which stream, and
// the one-line error message for every kind of bad input.
#include "client/cli.h"

#include <gtest/gtest.h>

#include <sstream>

namespace brevalon::client {
namespace {

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

CliRun Cli(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int code = RunCli(args, {in, out, err});
  return {code, out.str(), err.str()};
}

constexpr const char* kEmptyTaskList = "rAUzAQUAAAABAAAAAQAAAAAAAAAAAAAAAAAAAAAAAAA=";
// 20121004, 4, -1, 0, 0: a search result without documents.
constexpr const char* kEmptySearch = "rAUzAQQAAAD/////AAAAAAAAAAA=";

TEST(Cli, EncodePrintsOneLineOfBase64) {
  const CliRun r = Cli({"encode", "GetTaskList",
                        R"({"FStUID":"abc","FNDataSetVersion":0,"FNIncommingCorrespVersion":0})"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "AAAAAAUAAAADAAAAYWJjAAAAAAAAAAA=\n");
  EXPECT_EQ(r.err, "");
  // Without fields every field takes its default; the method's case is free.
  EXPECT_EQ(Cli({"encode", "deletetask"}).out, "AAAAAA0AAAAAAAAA\n");
}

TEST(Cli, DecodeTakesTheTextOrStandardInput) {
  const CliRun arg = Cli({"decode", kEmptyTaskList});
  EXPECT_EQ(arg.code, 0);
  EXPECT_EQ(arg.err, "");
  EXPECT_EQ(arg.out,
            "{\n"
            "  \"marker\": 20121004,\n"
            "  \"kind\": 5,\n"
            "  \"version\": 1,\n"
            "  \"correspondenceVersion\": 1,\n"
            "  \"tasks\": [],\n"
            "  \"newTaskIds\": [],\n"
            "  \"deletedTaskIds\": [],\n"
            "  \"newCorrespondenceRoutes\": []\n"
            "}\n");
  const CliRun piped = Cli({"decode"}, std::string(kEmptyTaskList) + "\r\n");
  EXPECT_EQ(piped.code, 0);
  EXPECT_EQ(piped.out, arg.out);

  const CliRun compact = Cli({"decode", "--compact", "--without-task", kEmptySearch});
  EXPECT_EQ(compact.code, 0);
  EXPECT_EQ(compact.out,
            R"({"marker":20121004,"kind":4,"version":-1,"attachments":[],"deleted":[]})"
            "\n");
}

TEST(Cli, FailuresExitNonZeroWithOneLineOnStderr) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int code;
    const char* messagePart;
  };
  const Case cases[] = {
      {{}, "", 2, "A subcommand is required"},
      {{"frobnicate"}, "", 2, "A subcommand is required"},
      {{"encode"}, "", 2, "method is required"},
      {{"encode", "GetTaskList", "{}", "extra"}, "", 2, "extra"},
      {{"encode", "Nope", "{}"}, "", 1, "unknown method \"Nope\""},
      {{"encode", "GetTaskList", "{\"FStUID\":"}, "", 1, "not valid JSON"},
      {{"encode", "GetTaskList", R"({"bad\nname":1})"}, "", 1, "unknown field \"bad name\""},
      {{"decode", "!!!!"}, "", 1, "is not a Base64 character"},
      {{"decode"}, "", 1, "needs 4 bytes, 0 left"},
      {{"decode", "AAAAAAUAAAADAAAAYWJjAAAAAAAAAAA="}, "", 1, "found 0"},
      {{"decode", kEmptySearch}, "", 1, "--with-task (GetTaskAttachments) or --without-task"},
      {{"decode", "--with-task", kEmptySearch}, "", 1, "task.FId at byte 20"},
      {{"decode", "--with-task", "--without-task", kEmptySearch}, "", 2, "excludes"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += " [" + a + "]";
    SCOPED_TRACE(joined);
    const CliRun r = Cli(c.args, c.input);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.rfind("brevalon-cli: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(c.messagePart), std::string::npos) << r.err;
  }
}

TEST(Cli, HelpGoesToStandardOutput) {
  const CliRun r = Cli({"encode", "--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("GetFile: IdAttachment Extension BlockSize Position"), std::string::npos);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace brevalon::client
