#include "client/domain_commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <vector>

#include "client/json_format.h"
#include "client/remote_calls.h"
#include "client/request_encoder.h"
#include "client/table_format.h"

namespace brevalon::client {
namespace {

namespace json = boost::json;

constexpr int32_t kMaxVersion = 2147483646;

// Options every named command has.
struct Common {
  SignInOptions signIn;
  bool json = false;
  bool compact = false;
  bool dryRun = false;
};

void AddCommonOptions(CLI::App& command, Common& o) {
  command.fallthrough();
  AddSignInOptions(command, o.signIn, false);
  command.add_flag("--json", o.json, "Print the return code, message and decoded result as JSON");
  command.add_flag("--compact", o.compact, "With --json: the JSON on one line");
  command.add_flag("--dry-run", o.dryRun,
                   "Print the requests (method and fields) instead of connecting");
}

void AddUidOption(CLI::App& command, std::string& uid) {
  command.add_option("--uid", uid,
                     "Client UID (names the client's cache on the gateway); default: kept beside "
                     "the --session file, else \"cli\"");
}

void AddVersionOption(CLI::App& command, int32_t& version, const std::string& what) {
  command
      .add_option("--version", version, "Version of the " + what + " the client holds (0: none)")
      ->capture_default_str()
      ->check(CLI::Range(0, kMaxVersion));
}

std::string Uid(const std::string& given, const Connection& c) {
  return given.empty() ? DefaultUid(c.sessionFile) : given;
}

int32_t ParseInt32(std::string_view text, const std::string& what) {
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
      value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw EUsage(what + " must be a 32-bit integer: \"" + std::string(text) + "\"");
  }
  return static_cast<int32_t>(value);
}

// What --json shows of a reply, as `call` does.
json::object Shown(std::string_view method, const MethodReply& reply) {
  json::object shown{{"returnCode", reply.ReturnCode}, {"message", reply.Message}};
  if (reply.HasResult) {
    const bool record = reply.ReturnCode == 0 && reply.Result.is_object() &&
                        reply.Result.as_object().contains("BASE64");
    shown["result"] = record ? json::value(ResultRecord(method, reply)) : reply.Result;
  }
  return shown;
}

using Printer = std::string (*)(const json::object&);

// One command run: connects on first use, signs in when asked.
class Run {
 public:
  Run(CliStreams& io, const Connection& c, const Common& o) : FIo(io), FConn(c), FO(o) {}

  // Dry run: false after printing the request.
  bool Announce(std::string_view method, const json::object& fields, const std::string& note = "") {
    if (!FO.dryRun) return true;
    FIo.out << method << ' ' << json::serialize(fields) << note << '\n';
    return false;
  }

  MethodReply Call(std::string_view method, const json::object& fields) {
    if (!FGateway) {
      FGateway = std::make_unique<Gateway>(FConn);
      SignInIfAsked(*FGateway, FO.signIn);
    }
    return CallRequestMethod(FGateway->T(), method, fields);
  }

  // The final request of the command: prints its result and raises
  // EMethodFailed for a non-zero return code.
  void Final(std::string_view method, const json::object& fields, Printer print,
             const std::string& done = "") {
    if (!Announce(method, fields)) return;
    const MethodReply reply = Call(method, fields);
    if (FO.json) {
      FIo.out << FormatJson(Shown(method, reply), !FO.compact) << '\n';
      if (reply.ReturnCode != 0) throw EMethodFailed(method, reply.ReturnCode, reply.Message);
      return;
    }
    if (print) {
      FIo.out << print(ResultRecord(method, reply));
    } else {
      if (reply.ReturnCode != 0) throw EMethodFailed(method, reply.ReturnCode, reply.Message);
      FIo.out << done << '\n';
    }
  }

  // The task record of GetTaskAttachments; nullopt on a dry run.
  std::optional<json::object> Task(int32_t task, const std::string& uid, const std::string& note) {
    const json::object fields{{"FStUID", uid}, {"FNDataSetVersion", 0}, {"FIdTask", task}};
    if (!Announce("GetTaskAttachments", fields, "  # " + note)) return std::nullopt;
    const json::object record =
        ResultRecord("GetTaskAttachments", Call("GetTaskAttachments", fields));
    const json::value* t = record.if_contains("task");
    if (!t || !t->is_object()) throw ETransportError("GetTaskAttachments answered no task");
    return t->get_object();
  }

 private:
  CliStreams& FIo;
  const Connection& FConn;
  const Common& FO;
  std::unique_ptr<Gateway> FGateway;
};

int32_t TaskInt(const json::object& task, const char* key) {
  const json::value* v = task.if_contains(key);
  return v && v->is_int64() ? static_cast<int32_t>(v->get_int64()) : 0;
}

// tasks, attachments, correspondence, users
void AddListCommands(CLI::App& app, CliStreams& io, Connection& c) {
  struct Options {
    Common common;
    std::string uid;
    int32_t version = 0;
    int32_t corrVersion = 0;
    int32_t task = 0;
  };
  {
    auto o = std::make_shared<Options>();
    CLI::App* cmd =
        app.add_subcommand("tasks", "The task list (GetTaskList); new tasks are marked *");
    AddCommonOptions(*cmd, o->common);
    AddUidOption(*cmd, o->uid);
    AddVersionOption(*cmd, o->version, "task list");
    cmd->add_option("--corr-version", o->corrVersion,
                    "Version of the new-correspondence list the client holds")
        ->capture_default_str()
        ->check(CLI::Range(0, kMaxVersion));
    cmd->callback([o, &io, &c] {
      Run run(io, c, o->common);
      run.Final("GetTaskList",
                {{"FStUID", Uid(o->uid, c)},
                 {"FNDataSetVersion", o->version},
                 {"FNIncommingCorrespVersion", o->corrVersion}},
                FormatTaskList);
    });
  }
  const struct {
    const char* name;
    const char* help;
    const char* method;
    const char* what;
    Printer print;
  } perTask[] = {
      {"attachments", "A task's files (GetTaskAttachments)", "GetTaskAttachments",
       "task's file list", FormatAttachments},
      {"correspondence", "A task's letters (GetCorrespondence)", "GetCorrespondence",
       "task's correspondence", FormatLetters},
  };
  for (const auto& p : perTask) {
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(p.name, p.help);
    AddCommonOptions(*cmd, o->common);
    AddUidOption(*cmd, o->uid);
    AddVersionOption(*cmd, o->version, p.what);
    cmd->add_option("--task", o->task, "Task id")->required();
    const char* method = p.method;
    const Printer print = p.print;
    cmd->callback([o, &io, &c, method, print] {
      Run run(io, c, o->common);
      run.Final(
          method,
          {{"FStUID", Uid(o->uid, c)}, {"FNDataSetVersion", o->version}, {"FIdTask", o->task}},
          print);
    });
  }
  {
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("users", "Users and their roles (GetUserList)");
    AddCommonOptions(*cmd, o->common);
    AddUidOption(*cmd, o->uid);
    AddVersionOption(*cmd, o->version, "user list");
    cmd->callback([o, &io, &c] {
      Run run(io, c, o->common);
      run.Final("GetUserList", {{"FStUID", Uid(o->uid, c)}, {"FNDataSetVersion", o->version}},
                FormatUsers);
    });
  }
}

// send, read, delete, search
void AddSimpleCommands(CLI::App& app, CliStreams& io, Connection& c) {
  struct Options {
    Common common;
    std::string uid;
    std::optional<int32_t> task;
    std::optional<int32_t> route;
    std::string text;
  };
  {
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("send", "Send a letter on a task (SendMessage)");
    AddCommonOptions(*cmd, o->common);
    cmd->add_option("--task", o->task, "Task id")->required();
    cmd->add_option("--text", o->text, "The message")->required();
    cmd->callback([o, &io, &c] {
      Run run(io, c, o->common);
      run.Final("SendMessage", {{"FIdTask", *o->task}, {"FStMessage", o->text}}, nullptr,
                "message sent on task " + std::to_string(*o->task));
    });
  }
  const struct {
    const char* name;
    const char* help;
    const char* method;
    const char* done;
  } byRoute[] = {
      {"read", "Mark a task's correspondence read (SetTaskCorrespondenceRead)",
       "SetTaskCorrespondenceRead", "correspondence marked read in process "},
      {"delete", "Delete a task's whole process (DeleteTask)", "DeleteTask", "deleted process "},
  };
  for (const auto& r : byRoute) {
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(r.name, r.help);
    AddCommonOptions(*cmd, o->common);
    AddUidOption(*cmd, o->uid);
    CLI::Option* task = cmd->add_option("--task", o->task, "Task id (its process is looked up)");
    CLI::Option* route = cmd->add_option("--route", o->route, "Process id");
    task->excludes(route);
    const std::string method = r.method, done = r.done, cmdName = r.name;
    cmd->callback([o, &io, &c, method, done, cmdName] {
      if (!o->task && !o->route) throw EUsage(cmdName + " needs --task or --route");
      Run run(io, c, o->common);
      if (o->route) {
        run.Final(method, {{"FIdRoute", *o->route}}, nullptr, done + std::to_string(*o->route));
        return;
      }
      const auto t = run.Task(*o->task, Uid(o->uid, c), "for the task's FIdRoute");
      if (!t) {
        io.out << method << " {\"FIdRoute\":<FIdRoute of task " << *o->task << ">}\n";
        return;
      }
      const int32_t routeId = TaskInt(*t, "FIdRoute");
      run.Final(method, {{"FIdRoute", routeId}}, nullptr, done + std::to_string(routeId));
    });
  }
  {
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("search", "Search documents (SearchDocuments)");
    AddCommonOptions(*cmd, o->common);
    cmd->add_option("--text", o->text, "What to look for; empty lists every document")->required();
    cmd->callback([o, &io, &c] {
      Run run(io, c, o->common);
      run.Final("SearchDocuments", {{"FSearchString", o->text}}, FormatAttachments);
    });
  }
}

// create, edit, state
void AddWritingCommands(CLI::App& app, CliStreams& io, Connection& c) {
  struct Options {
    Common common;
    std::string uid;
    int32_t task = 0;
    std::optional<std::string> subject;
    std::optional<std::string> text;
    std::optional<std::string> date;
    std::vector<std::string> executors;
    std::optional<std::string> executor;
    bool start = false;
    std::string action;
    std::string reason;
  };
  {
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("create", "Create a task (CreateTask)");
    AddCommonOptions(*cmd, o->common);
    cmd->add_option("--subject", o->subject, "Subject")->required();
    cmd->add_option("--text", o->text, "Text")->required();
    cmd->add_option("--date", o->date, "Planned completion, local YYYY-MM-DD[THH:MM]");
    cmd->add_option("--executor", o->executors, "USER_ID:ROLE_ID (repeatable; see `users`)")
        ->required()
        ->allow_extra_args(false);
    cmd->add_flag("--start", o->start, "Issue the task at once");
    cmd->callback([o, &io, &c] {
      json::array users, roles;
      for (const std::string& e : o->executors) {
        const auto [user, role] = ParseExecutor(e);
        users.push_back(user);
        roles.push_back(role);
      }
      const int64_t date = o->date ? ParseLocalDateTime(*o->date) : 0;
      Run run(io, c, o->common);
      run.Final("CreateTask",
                {{"FSubject", *o->subject},
                 {"FText", *o->text},
                 {"FDateCritical", date},
                 {"FStartAfterCreate", o->start},
                 {"FIdUsers", users},
                 {"FIdRoles", roles}},
                nullptr, std::string("task created") + (o->start ? " and issued" : ""));
    });
  }
  {
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand(
        "edit",
        "Change a task's subject, text, date or executor (EditTask); what is not given stays");
    AddCommonOptions(*cmd, o->common);
    AddUidOption(*cmd, o->uid);
    cmd->add_option("--task", o->task, "Task id")->required();
    cmd->add_option("--subject", o->subject, "New subject");
    cmd->add_option("--text", o->text, "New text");
    cmd->add_option("--date", o->date,
                    "New planned completion, local YYYY-MM-DD[THH:MM]; none clears it");
    cmd->add_option("--executor", o->executor, "New executor USER_ID:ROLE_ID");
    cmd->callback([o, &io, &c] {
      json::object fields{{"FIdTask", o->task}};
      if (o->subject) fields["FSubjectNew"] = *o->subject;
      if (o->text) fields["FTextNew"] = *o->text;
      if (o->date) fields["FDateCriticalNew"] = ParseLocalDateTime(*o->date);
      if (o->executor) {
        const auto [user, role] = ParseExecutor(*o->executor);
        fields["FIdUserNew"] = user;
        fields["FIdRoleNew"] = role;
      }
      Run run(io, c, o->common);
      // The gateway applies every field that differs from the task, so the
      // ones not given must carry the task's own values.
      if (fields.size() < 6) {
        const auto t = run.Task(o->task, Uid(o->uid, c), "for the values not given");
        if (t) {
          const auto take = [&](const char* to, const char* from, json::value none) {
            const json::value* v = t->if_contains(from);
            fields[to] = v ? *v : none;
          };
          if (!o->subject) take("FSubjectNew", "FTitle", "");
          if (!o->text) take("FTextNew", "FText", "");
          if (!o->date) take("FDateCriticalNew", "FCriticalDate", 0);
          if (!o->executor) {
            fields["FIdUserNew"] = TaskInt(*t, "FIdExecutor");
            fields["FIdRoleNew"] = 0;  // read only when the executor changes
          }
        } else {
          io.out << "EditTask " << json::serialize(fields) << "  # the rest from the task\n";
          return;
        }
      }
      run.Final("EditTask", fields, nullptr, "task " + std::to_string(o->task) + " edited");
    });
  }
  {
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("state", "Move a task on (SetStateForTask)");
    AddCommonOptions(*cmd, o->common);
    cmd->add_option("--task", o->task, "Task id")->required();
    cmd->add_option("--action", o->action,
                    "issue (1), work (2), revoke (3), complete (4), accept (5), reissue (6), "
                    "return (7), or a code")
        ->required();
    cmd->add_option("--reason", o->reason, "Reason (revoke)");
    cmd->callback([o, &io, &c] {
      const int32_t action = ParseStateAction(o->action);
      Run run(io, c, o->common);
      run.Final("SetStateForTask",
                {{"FIdTask", o->task}, {"FIdState", action}, {"FSReason", o->reason}}, nullptr,
                "task " + std::to_string(o->task) + ": " + o->action + " done");
    });
  }
}

bool PlausibleUid(const std::string& uid) {
  if (uid.empty() || uid.size() > 64) return false;
  for (char ch : uid) {
    if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '-' && ch != '_') return false;
  }
  return true;
}

}  // namespace

void AddDomainCommands(CLI::App& app, CliStreams& io, Connection& c) {
  AddListCommands(app, io, c);
  AddSimpleCommands(app, io, c);
  AddWritingCommands(app, io, c);
}

int64_t ParseLocalDateTime(std::string_view text) {
  if (text == "none" || text == "0") return 0;
  const auto bad = [&text]() {
    return EUsage("a date must be YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS] (local time): \"" +
                  std::string(text) + "\"");
  };
  // Fixed positions: 2026-12-20, then T or blank, 09:30, then :SS.
  if (text.size() != 10 && text.size() != 16 && text.size() != 19) throw bad();
  const auto number = [&](size_t pos, size_t len) {
    int value = 0;
    for (size_t i = pos; i < pos + len; ++i) {
      if (text[i] < '0' || text[i] > '9') throw bad();
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  if (text[4] != '-' || text[7] != '-') throw bad();
  std::tm tm{};
  tm.tm_year = number(0, 4) - 1900;
  tm.tm_mon = number(5, 2) - 1;
  tm.tm_mday = number(8, 2);
  if (text.size() > 10) {
    if ((text[10] != 'T' && text[10] != ' ') || text[13] != ':') throw bad();
    tm.tm_hour = number(11, 2);
    tm.tm_min = number(14, 2);
    if (text.size() == 19) {
      if (text[16] != ':') throw bad();
      tm.tm_sec = number(17, 2);
    }
  }
  tm.tm_isdst = -1;
  const std::tm asked = tm;
  const std::time_t t = std::mktime(&tm);
  // mktime carries impossible fields over (February 30 becomes March 2):
  // a date that does not come back as written is refused.
  if (t == static_cast<std::time_t>(-1) || tm.tm_year != asked.tm_year ||
      tm.tm_mon != asked.tm_mon || tm.tm_mday != asked.tm_mday || tm.tm_hour != asked.tm_hour ||
      tm.tm_min != asked.tm_min || tm.tm_sec != asked.tm_sec || asked.tm_year < 0) {
    throw bad();
  }
  return static_cast<int64_t>(t);
}

int32_t ParseStateAction(std::string_view text) {
  static const struct {
    const char* name;
    int32_t code;
  } kActions[] = {
      {"issue", 1}, {"start", 1},  {"work", 2},    {"take", 2},   {"revoke", 3}, {"complete", 4},
      {"done", 4},  {"accept", 5}, {"reissue", 6}, {"return", 7}, {"rework", 7},
  };
  std::string lower(text);
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  for (const auto& a : kActions) {
    if (lower == a.name) return a.code;
  }
  if (!text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-'))
    return ParseInt32(text, "--action");
  throw EUsage("unknown --action \"" + std::string(text) +
               "\": issue, work, revoke, complete, accept, reissue, return, or a code");
}

std::pair<int32_t, int32_t> ParseExecutor(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    throw EUsage("--executor must be USER_ID:ROLE_ID: \"" + std::string(text) + "\"");
  }
  return {ParseInt32(text.substr(0, colon), "--executor's user id"),
          ParseInt32(text.substr(colon + 1), "--executor's role id")};
}

std::string DefaultUid(const std::string& sessionFile) {
  if (sessionFile.empty()) return "cli";
  const std::string path = sessionFile + ".uid";
  {
    std::ifstream in(path);
    std::string uid;
    if (in && std::getline(in, uid) && PlausibleUid(uid)) return uid;
  }
  std::random_device random;
  char text[24];
  std::snprintf(text, sizeof text, "cli-%08x%08x", random(), random());
  const std::string uid = text;
  // Written aside and renamed, so that two commands starting at once both
  // end up with a whole file (the later one's value).
  const std::string temp = path + ".tmp" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  if (ok) {
    const std::string line = uid + "\n";
    ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ok = ::close(fd) == 0 && ok;
  }
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    throw EClientError("cannot write the client UID file " + path);
  }
  return uid;
}

}  // namespace brevalon::client
