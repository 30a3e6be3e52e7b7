// The named brevalon-cli commands without a network: how options become
// request fields (through --dry-run, which prints exactly what would be
// sent), the refusals of bad option values, the date and action parsers, the
// client UID kept beside the session file, and the tables the listing
// commands print.
#include "client/domain_commands.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "client/request_encoder.h"
#include "client/table_format.h"

namespace brevalon::client {
namespace {

namespace json = boost::json;
namespace fs = std::filesystem;

struct CliRun {
  int code;
  std::string out;
  std::string err;
};

CliRun Cli(const std::vector<std::string>& args) {
  std::istringstream in;
  std::ostringstream out, err;
  const int code = RunCli(args, {in, out, err});
  return {code, out.str(), err.str()};
}

// Sets the process's time zone for one test.
class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) FOld = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~TimeZone() {
    if (FOld)
      ::setenv("TZ", FOld->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> FOld;
};

TEST(DomainCommands, OptionsMapOntoTheRequestFields) {
  TimeZone utc("UTC0");
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"tasks"},
       R"(GetTaskList {"FStUID":"cli","FNDataSetVersion":0,"FNIncommingCorrespVersion":0})"},
      {{"tasks", "--uid", "dev1", "--version", "3", "--corr-version", "2"},
       R"(GetTaskList {"FStUID":"dev1","FNDataSetVersion":3,"FNIncommingCorrespVersion":2})"},
      {{"attachments", "--task", "41", "--uid", "u", "--version", "2"},
       R"(GetTaskAttachments {"FStUID":"u","FNDataSetVersion":2,"FIdTask":41})"},
      {{"correspondence", "--task", "41"},
       R"(GetCorrespondence {"FStUID":"cli","FNDataSetVersion":0,"FIdTask":41})"},
      {{"users", "--version", "5"}, R"(GetUserList {"FStUID":"cli","FNDataSetVersion":5})"},
      {{"send", "--task", "41", "--text", "Размер 20h7?"},
       R"(SendMessage {"FIdTask":41,"FStMessage":"Размер 20h7?"})"},
      {{"read", "--route", "7"}, R"(SetTaskCorrespondenceRead {"FIdRoute":7})"},
      {{"delete", "--route", "7"}, R"(DeleteTask {"FIdRoute":7})"},
      {{"search", "--text", "Вал"}, R"(SearchDocuments {"FSearchString":"Вал"})"},
      // 2026-12-20 09:30 UTC; executors as (user, role) pairs in order.
      {{"create", "--subject", "S", "--text", "T", "--date", "2026-12-20T09:30", "--executor",
        "5:7", "--executor", "6:8", "--start"},
       R"(CreateTask {"FSubject":"S","FText":"T","FDateCritical":1797759000,"FStartAfterCreate":true,"FIdUsers":[5,6],"FIdRoles":[7,8]})"},
      {{"create", "--subject", "S", "--text", "", "--executor", "5:7"},
       R"(CreateTask {"FSubject":"S","FText":"","FDateCritical":0,"FStartAfterCreate":false,"FIdUsers":[5],"FIdRoles":[7]})"},
      // Everything given: no lookup.
      {{"edit", "--task", "41", "--subject", "S", "--text", "T", "--date", "none", "--executor",
        "5:7"},
       R"(EditTask {"FIdTask":41,"FSubjectNew":"S","FTextNew":"T","FDateCriticalNew":0,"FIdUserNew":5,"FIdRoleNew":7})"},
      {{"state", "--task", "41", "--action", "complete", "--reason", "x"},
       R"(SetStateForTask {"FIdTask":41,"FIdState":4,"FSReason":"x"})"},
      {{"state", "--task", "41", "--action", "129"},
       R"(SetStateForTask {"FIdTask":41,"FIdState":129,"FSReason":""})"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("--dry-run");
    SCOPED_TRACE(args.front());
    const CliRun r = Cli(args);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, c.out + "\n");
    // What is printed is a request the encoder takes: the field names and
    // types are the record's.
    const size_t blank = c.out.find(' ');
    EXPECT_NO_THROW(
        EncodeRequest(c.out.substr(0, blank), ParseJsonObject(c.out.substr(blank + 1))));
  }
}

TEST(DomainCommands, TaskIdsAreResolvedThroughTheTaskRecord) {
  CliRun r = Cli({"delete", "--task", "41", "--uid", "d", "--dry-run"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(
      r.out,
      "GetTaskAttachments {\"FStUID\":\"d\",\"FNDataSetVersion\":0,\"FIdTask\":41}  # for the "
      "task's FIdRoute\n"
      "DeleteTask {\"FIdRoute\":<FIdRoute of task 41>}\n");
  // An edit of the subject alone takes the rest from the task, since the
  // gateway applies every field that differs.
  r = Cli({"edit", "--task", "41", "--subject", "Новая тема", "--dry-run"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(
      r.out,
      "GetTaskAttachments {\"FStUID\":\"cli\",\"FNDataSetVersion\":0,\"FIdTask\":41}  # for the "
      "values not given\n"
      "EditTask {\"FIdTask\":41,\"FSubjectNew\":\"Новая тема\"}  # the rest from the task\n");
}

TEST(DomainCommands, BadOptionValuesAreRefusedBeforeAnyTraffic) {
  const std::vector<std::vector<std::string>> cases = {
      {"create", "--subject", "S", "--text", "T"},                     // no executor
      {"create", "--subject", "S", "--text", "T", "--executor", "5"},  // no role
      {"create", "--subject", "S", "--text", "T", "--executor", "a:7"},
      {"create", "--subject", "S", "--text", "T", "--executor", "5:99999999999"},
      {"create", "--subject", "S", "--text", "T", "--executor", "5:7", "--date", "2026-02-30"},
      {"edit", "--task", "41", "--date", "20.12.2026"},
      {"state", "--task", "41", "--action", "finish"},
      {"read"},  // --task or --route
      {"read", "--task", "41", "--route", "7"},
      {"tasks", "--version", "-1"},
      {"attachments"},
      {"search"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    // No --url: the refusal comes before a connection is even thought of.
    const CliRun r = Cli(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("brevalon-cli: ", 0), 0u) << r.err;
  }
  // A well-formed command without a gateway is a bad command line too.
  EXPECT_EQ(Cli({"tasks"}).code, 2);
}

TEST(DomainCommands, LocalDatesBecomeWireSeconds) {
  {
    TimeZone utc("UTC0");
    EXPECT_EQ(ParseLocalDateTime("2026-12-20"), 1797724800);
    EXPECT_EQ(ParseLocalDateTime("2026-12-20T09:30"), 1797759000);
    EXPECT_EQ(ParseLocalDateTime("2026-12-20 09:30:15"), 1797759015);
    EXPECT_EQ(ParseLocalDateTime("2028-02-29"), 1835395200);
    EXPECT_EQ(ParseLocalDateTime("none"), 0);
  }
  {
    TimeZone moscow("MSK-3");  // three hours east of UTC
    EXPECT_EQ(ParseLocalDateTime("2026-12-20T09:30"), 1797759000 - 3 * 3600);
    EXPECT_EQ(FormatWireDate(1797759000 - 3 * 3600), "2026-12-20 09:30");
  }
  for (const char* bad : {"", "2026-12-2", "2026-12-20T9:30", "2026-13-01", "2026-02-30",
                          "2027-02-29", "2026-12-20T24:00", "2026-12-20T09:60", "2026/12/20",
                          "2026-12-20X09:30", "20261220", "2026-12-20T09:30:61", "+026-12-20"}) {
    EXPECT_THROW(ParseLocalDateTime(bad), EUsage) << bad;
  }
}

TEST(DomainCommands, ActionsByNameOrCode) {
  const struct {
    const char* text;
    int32_t code;
  } cases[] = {{"issue", 1},   {"work", 2},   {"Revoke", 3}, {"complete", 4}, {"accept", 5},
               {"reissue", 6}, {"return", 7}, {"8", 8},      {"129", 129},    {"-1", -1}};
  for (const auto& c : cases) EXPECT_EQ(ParseStateAction(c.text), c.code) << c.text;
  for (const char* bad : {"", "fly", "4x", "99999999999"}) {
    EXPECT_THROW(ParseStateAction(bad), EUsage) << bad;
  }
  EXPECT_EQ(ParseExecutor("12:-3"), std::make_pair(12, -3));
  for (const char* bad : {"12", ":3", "12:", "1 2:3", "12:3:4"}) {
    EXPECT_THROW(ParseExecutor(bad), EUsage) << bad;
  }
}

TEST(DomainCommands, UidIsKeptBesideTheSessionFile) {
  const fs::path dir = fs::temp_directory_path() / ("uid-test-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string session = (dir / "session").string();
  EXPECT_EQ(DefaultUid(""), "cli");
  const std::string uid = DefaultUid(session);
  EXPECT_EQ(uid.rfind("cli-", 0), 0u);
  EXPECT_EQ(DefaultUid(session), uid);
  EXPECT_EQ(fs::status(session + ".uid").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A file that could name another directory is not trusted.
  std::ofstream(session + ".uid", std::ios::trunc) << "../../etc\n";
  const std::string fresh = DefaultUid(session);
  EXPECT_NE(fresh, "../../etc");
  EXPECT_EQ(DefaultUid(session), fresh);
  // The commands use it when --session is given and --uid is not.
  const CliRun r = Cli({"--session", session, "users", "--dry-run"});
  EXPECT_EQ(r.out, "GetUserList {\"FStUID\":\"" + fresh + "\",\"FNDataSetVersion\":0}\n");
  fs::remove_all(dir);
}

json::object Task(int64_t id, int64_t route, const char* title, int64_t state, int64_t due,
                  bool files) {
  return {{"FId", id},       {"FIdRoute", route},       {"FTitle", title},      {"FText", "text"},
          {"FIdAuthor", 1},  {"FIdExecutor", 2},        {"FCriticalDate", due}, {"FSendDate", 0},
          {"FState", state}, {"FHasAttachments", files}};
}

TEST(TableFormat, TaskListMarksNewTasksAndAlignsCyrillic) {
  TimeZone utc("UTC0");
  const json::object record{
      {"marker", 20121004},
      {"kind", 5},
      {"version", 4},
      {"correspondenceVersion", 2},
      {"tasks", json::array{Task(41, 7, "Проверить вал", 3, 1797759000, true),
                            Task(1005, 12, "Review", 6, 0, false)}},
      {"newTaskIds", json::array{1005}},
      {"deletedTaskIds", json::array{38, 39}},
      {"newCorrespondenceRoutes", json::array{7}},
  };
  EXPECT_EQ(FormatTaskList(record),
            "NEW  ID    ROUTE  STATE      DUE               TITLE          FILES\n"
            "     41    7      in work    2026-12-20 09:30  Проверить вал  yes\n"
            "*    1005  12     completed  -                 Review         no\n"
            "deleted tasks: 38, 39\n"
            "new correspondence in processes: 7\n"
            "version 4, correspondence version 2\n");
  // The difference with nothing in it still tells the next version.
  EXPECT_EQ(
      FormatTaskList({{"version", 5}, {"correspondenceVersion", 2}, {"tasks", json::array{}}}),
      "no changed tasks\nversion 5, correspondence version 2\n");
}

TEST(TableFormat, OtherListsAndUntrustedTexts) {
  TimeZone utc("UTC0");
  const json::object attachments{
      {"version", 3},
      {"attachments", json::array{json::object{{"FTitle", "Вал - ПР-101.001"},
                                               {"FId", 77},
                                               {"FExtension", "txt"},
                                               {"FCRC", 4026531840},
                                               {"FSize", 58},
                                               {"FObjectId", 9}}}},
      {"deleted", json::array{5}},
      {"task", Task(41, 7, "Вал", 2, 0, true)},
  };
  EXPECT_EQ(FormatAttachments(attachments),
            "task 41 (process 7): Вал, sent, due -\n"
            "OBJECT  FILE  EXT  SIZE  CRC32     TITLE\n"
            "9       77    txt  58    F0000000  Вал - ПР-101.001\n"
            "deleted objects: 5\n"
            "version 3\n");
  // A search has version -1 and no task.
  EXPECT_EQ(FormatAttachments(
                {{"version", -1}, {"attachments", json::array{}}, {"deleted", json::array{}}}),
            "no files\n");

  const json::object letters{
      {"version", 2},
      {"letters", json::array{json::object{{"FId", 900},
                                           {"FIdAuthor", 12},
                                           {"FText", "Строка\r\nвторая\x1b[31m"},
                                           {"FDate", 1733097600}}}}};
  EXPECT_EQ(FormatLetters(letters),
            "ID   AUTHOR  DATE              TEXT\n"
            "900  12      2024-12-02 00:00  Строка  вторая?[31m\n"
            "version 2\n");

  const json::object users{
      {"version", 1},
      {"users", json::array{json::object{{"FIdUser", 3},
                                         {"FUserFullname", "Сидоров Пётр"},
                                         {"FIdRole", 8},
                                         {"FRoleName", "Конструктор"},
                                         {"FDepartmentName", "КО"}}}},
      {"deleted", json::array{}},
  };
  EXPECT_EQ(FormatUsers(users),
            "USER  NAME          ROLE  ROLE NAME    DEPARTMENT\n"
            "3     Сидоров Пётр  8     Конструктор  КО\n"
            "version 1\n");

  // Cutting counts code points and never splits one; bad UTF-8 and C1
  // controls become '?'.
  EXPECT_EQ(CellText("Шестерня", 4), "Шес…");
  EXPECT_EQ(CellText("ok\xC3(\xC2\x9B", 10), "ok?(?");
  EXPECT_EQ(TaskStateName(5), "in checking");
  EXPECT_EQ(TaskStateName(9), "state 9");
}

}  // namespace
}  // namespace brevalon::client
