// The core of the gateway's load program: N REST sessions driven by T
// threads for a given time, mixing every remote method of a mobile client,
// a share of malformed requests, sessions that close and sessions that are
// dropped and left to expire, with a checker that compares what the gateway
// answers with what the application servers must hold by then:
//
//   - every phone (slot) runs a task cycle of its own user: CreateTask issued
//     to another user, the next GetTaskList must show it (the author, the
//     executor, issued), EditTask's new title must show, SetStateForTask of a
//     missing task must be refused, SendMessage's letter must be in GetCorrespondence,
//     SetTaskCorrespondenceRead, DeleteTask, and the task must then be gone;
//     the executor's phones mark the letters of the tasks issued to them as
//     read, also while the author deletes the task, and must never be
//     refused for a letter that vanished meanwhile;
//   - GetStream answers the fixed test bytes, GetUserList the same number of
//     users every time, SearchDocuments the same hits every time, GetFile the
//     block of a file found by the search, GetTaskAttachments the task asked;
//   - a malformed request answers 406 "Неверные данные".
// Anything else on a successful answer is a wrong answer. A call that fails
// counts by kind (1 with its message, 403 expiry, transport, ...).
//
// Header only, so that the load program (bench/soak.cpp) and the in-process
// test (tests/faults/) run the same code. RunLoad blocks the calling thread;
// OnTick and AtEnd run on a monitor thread of its own. With Threads set, T
// threads drive the N sessions in turn; each session is one keep-alive
// connection with its own small I/O context (four descriptors), so a
// thousand sessions need neither a thousand threads nor a large file limit.
#pragma once

#include <algorithm>
#include <atomic>
#include <boost/json.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/remote_calls.h"
#include "client/rest_transport.h"
#include "client/transport.h"

namespace brevalon::soak {

namespace json = boost::json;

inline constexpr const char* kBadDataMessage = "Неверные данные";
inline constexpr const char* kStreamBytes = "eitupweirtpwietupwe";
inline constexpr int32_t kTaskSent = 2;  // the state of a task issued at creation
inline constexpr int32_t kActionTakeIntoWork = 2;
inline constexpr int64_t kDueDate = 1797759000;  // 2026-12-20 09:30 UTC in wire seconds
inline constexpr std::chrono::milliseconds kRetryPause{20};

struct LoadReport {
  uint64_t Calls = 0;
  uint64_t Ok = 0;
  uint64_t Failed = 0;       // return code 1 with a message
  uint64_t Invalid = 0;      // 406, the answer to the malformed requests
  uint64_t NotSignedIn = 0;  // 404
  uint64_t Expired = 0;      // 403, the session had expired
  uint64_t Transport = 0;    // no answer: refused, closed, timed out, not the envelope
  uint64_t Remote = 0;       // the framework refused the call
  uint64_t Wrong = 0;        // an answer the checker refutes
  uint64_t Refused = 0;      // return code 1 where it is the right answer
  uint64_t SessionsOpened = 0;
  uint64_t SessionsClosed = 0;
  uint64_t SessionsAbandoned = 0;
  uint64_t CyclesCompleted = 0;  // task cycles checked from creation to deletion
  uint64_t EarlyExpiries = 0;    // 403 before the session was idle for the timeout (also in Wrong)
  int64_t MaxCallMs = 0;
  std::vector<std::string> WrongSamples;  // the first few, for the report
  std::map<std::string, uint64_t>
      FailureMessages;  // "<method>: <text>" of code 1 and transport failures, by count

  std::string Summary() const {
    std::ostringstream o;
    o << "calls=" << Calls << " ok=" << Ok << " failed=" << Failed << " invalid=" << Invalid
      << " not_signed_in=" << NotSignedIn << " expired=" << Expired << " transport=" << Transport
      << " remote=" << Remote << " wrong=" << Wrong << " refused=" << Refused
      << " sessions_opened=" << SessionsOpened << " closed=" << SessionsClosed
      << " abandoned=" << SessionsAbandoned << " cycles=" << CyclesCompleted
      << " early_expiries=" << EarlyExpiries << " max_call_ms=" << MaxCallMs;
    return o.str();
  }
};

struct LoadOptions {
  std::string Host = "127.0.0.1";
  uint16_t Port = 8085;
  int Sessions = 50;
  int Threads = 0;  // 0: one per session
  std::chrono::milliseconds Duration{5000};
  int MalformedPercent = 10;
  int ClosePercent = 2;    // of the steps of a session: CloseSession, a new session next
  int AbandonPercent = 1;  // of the steps: dropped without closing, left to expire
  bool CloseAtEnd = true;  // every session still open ends with CloseSession
  std::chrono::milliseconds CallTimeout{60000};
  // The gateway's idle timeout of a session when it runs on the real clock:
  // a session answered 403 before it was idle that long is a wrong answer.
  // 0: not known (an injected clock), no check.
  std::chrono::milliseconds SessionTimeout{0};
  std::chrono::milliseconds TickInterval{10000};
  std::function<void(const LoadReport&, std::chrono::seconds elapsed)> OnTick;
  // When set, called once Duration is over with the counts at that moment,
  // while the sessions go on calling (to stop the gateway under load); the
  // load ends when it returns. The report RunLoad answers counts everything.
  std::function<void(const LoadReport& atEnd)> AtEnd;
  std::string Db = "demo";
  std::vector<std::pair<std::string, std::string>> Users = {
      {"ivanov", "ivanov1"},         {"petrova", "petrova1"},  {"sidorov", "sidorov1"},
      {"kuznetsova", "kuznetsova1"}, {"smirnov", "smirnov1"},  {"popova", "popova1"},
      {"volkov", "volkov1"},         {"fedorova", "fedorova1"}};
  std::string RunTag = "soak";  // in task subjects and phone UIDs
  uint32_t Seed = 1;
};

namespace detail {

inline int64_t Int(const json::value& v) {
  return v.to_number<int64_t>();
}

// A malformed request: not Base64, a truncated record, a record of another
// method; each answers 406.
struct Malformed {
  const char* Method;
  const char* Text;
};
inline constexpr Malformed kMalformed[] = {
    {"GetFile", "AAAA"},
    {"GetTaskList", "not base64 at all"},
    {"GetFile", "AAAAAAMAAAADAAAAYWJjAAAAAA=="},
    {"DeleteTask", "AAAA"},
    {"CreateTask", "////"},
    {"GetUserList", "AAAAAQ=="},
};

class Load {
 public:
  explicit Load(LoadOptions options) : O(std::move(options)) {}

  LoadReport Run() {
    const int sessions = std::max(1, O.Sessions);
    const int threads = O.Threads > 0 ? std::min(O.Threads, sessions) : sessions;
    FSlots.resize(sessions);
    for (int i = 0; i < sessions; ++i) {
      Slot& s = FSlots[i];
      s.Index = i;
      s.User = O.Users[i % O.Users.size()];
      s.Uid = O.RunTag + "-phone-" + std::to_string(i);
    }
    const auto start = std::chrono::steady_clock::now();
    FEnd = start + O.Duration;
    // The monitor says when the load is over: at FEnd, or once AtEnd returns.
    std::thread monitor([this, start] { Monitor(start); });
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([this, t, threads, sessions] {
        std::mt19937 rng(O.Seed * 7919u + static_cast<uint32_t>(t));
        while (!Stopped()) {
          for (int i = t; i < sessions && !Stopped(); i += threads) {
            Step(FSlots[i], rng);
            // A phone that met no answer waits a little before it tries
            // again, as a phone does; a gateway that refuses connections is
            // not hammered by a tight loop of connects.
            if (std::exchange(FSlots[i].Unanswered, false))
              std::this_thread::sleep_for(kRetryPause);
          }
        }
        if (O.CloseAtEnd) {
          for (int i = t; i < sessions; i += threads) Close(FSlots[i]);
        }
      });
    }
    monitor.join();
    for (std::thread& w : workers) w.join();
    return Snapshot();
  }

 private:
  // One phone: its user, its UID (kept across sessions, as a phone keeps it)
  // and the state of its task cycle.
  struct Slot {
    int Index = 0;
    std::pair<std::string, std::string> User;
    std::string Uid;
    std::unique_ptr<client::RestTransport> Rest;
    bool SignedIn = false;
    std::chrono::steady_clock::time_point LastCall{};  // start of the session's last call
    bool Unanswered = false;                           // the last call met a transport failure
    int64_t UserId = 0;
    int64_t ExecutorId = 0;  // the executor of the phone's tasks, another user
    int64_t RoleId = 0;      // and the executor's role
    int32_t TaskVersion = 0;
    int32_t CorrVersion = 0;
    int Phase = 0;
    int Cycle = 0;
    std::string Subject;
    std::string Letter;
    int64_t Task = 0;
    int64_t Route = 0;
    int64_t IncomingRoute = 0;  // the process of a task another phone issued to this user
  };

  enum class Outcome { Ok, Failed, Other };

  void Count(std::atomic<uint64_t>& c) { c.fetch_add(1, std::memory_order_relaxed); }

  void Wrong(const Slot& s, const std::string& what) {
    Count(FWrong);
    std::lock_guard lock(FMutex);
    if (FWrongSamples.size() < 20)
      FWrongSamples.push_back(s.User.first + "#" + std::to_string(s.Index) + ": " + what);
  }
  void Note(const std::string& message) {
    std::lock_guard lock(FMutex);
    if (FMessages.size() < 100 || FMessages.count(message)) ++FMessages[message];
  }

  bool Stopped() const { return FStop.load(std::memory_order_relaxed); }

  // A 403: the session is gone. Before it was idle for the gateway's
  // timeout that is a wrong answer (its last call started no later than the
  // gateway's last sight of it).
  void SessionExpired(Slot& s, std::chrono::steady_clock::time_point now) {
    Count(FExpired);
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - s.LastCall);
    if (O.SessionTimeout.count() > 0 && s.LastCall != std::chrono::steady_clock::time_point{} &&
        idle < O.SessionTimeout) {
      Count(FEarlyExpiries);
      Wrong(s, "session expired after " + std::to_string(idle.count()) + " ms idle, timeout " +
                   std::to_string(O.SessionTimeout.count()) + " ms");
    }
    s.SignedIn = false;
  }

  // One remote call with its timing and classification; the reply when the
  // gateway answered a return code, nothing otherwise.
  // With `refusal` a return code 1 is the expected answer (counted as Refused).
  std::optional<client::MethodReply> Call(Slot& s, const char* method,
                                          const std::function<client::MethodReply()>& call,
                                          bool refusal = false) {
    Count(FCalls);
    const auto start = std::chrono::steady_clock::now();
    std::optional<client::MethodReply> reply;
    try {
      reply = call();
    } catch (const client::ESessionExpired&) {
      SessionExpired(s, start);
    } catch (const client::ERemoteError& e) {
      Count(FRemote);
      Note(std::string(method) + ": remote: " + e.what());
    } catch (const client::EMethodFailed& e) {
      // SignIn raises for a non-zero code.
      client::MethodReply r;
      r.ReturnCode = e.Code();
      r.Message = e.GatewayMessage();
      reply = r;
    } catch (const std::exception& e) {
      // Transport failures and an envelope of the wrong shape: the session
      // is given up (left to expire) and the phone signs in anew.
      Count(FTransport);
      Note(std::string(method) + ": transport: " + e.what());
      Drop(s);
      s.Unanswered = true;
    }
    s.LastCall = start;
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
    for (int64_t m = FMaxMs.load(); ms > m && !FMaxMs.compare_exchange_weak(m, ms);) {
    }
    if (!reply) return reply;
    switch (reply->ReturnCode) {
      case 0:
        Count(FOk);
        break;
      case 1:
        if (reply->Message.empty()) Wrong(s, "return code 1 without a message");
        if (refusal) {
          Count(FRefused);
          break;
        }
        Count(FFailed);
        Note(std::string(method) + ": " + reply->Message);
        break;
      case 404:
        Count(FNotSignedIn);
        s.SignedIn = false;
        break;
      case 406:
        Count(FInvalid);
        break;
      default:
        Wrong(s, "return code " + std::to_string(reply->ReturnCode));
    }
    return reply;
  }

  void Drop(Slot& s) {
    if (s.Rest) Count(FAbandoned);
    s.Rest.reset();
    s.SignedIn = false;
    s.TaskVersion = 0;  // a lost list answer may have moved the version on
    s.CorrVersion = 0;
  }
  void Close(Slot& s) {
    if (!s.Rest) return;
    try {
      s.Rest->EndSession();
      Count(FClosed);
    } catch (const std::exception& e) {
      Count(FTransport);
      Note(std::string("CloseSession: ") + e.what());
    }
    s.Rest.reset();
    s.SignedIn = false;
  }

  client::MethodReply Request(Slot& s, const char* method, const json::object& fields) {
    return client::CallRequestMethod(*s.Rest, method, fields);
  }

  bool SignIn(Slot& s) {
    if (!s.Rest) {
      client::RestOptions ro;
      ro.Host = O.Host;
      ro.Port = O.Port;
      ro.Timeout = O.CallTimeout;
      s.Rest = std::make_unique<client::RestTransport>(ro);
      s.LastCall = {};
      Count(FOpened);
    }
    int64_t userId = 0;
    auto reply = Call(s, "ConnectToDB", [&] {
      userId = client::SignIn(*s.Rest, O.Db, s.User.first, s.User.second, "").WFUserId;
      return client::MethodReply{};
    });
    if (!reply || reply->ReturnCode != 0) return false;
    if (userId <= 0 || (s.UserId != 0 && userId != s.UserId))
      Wrong(s, "ConnectToDB answered user " + std::to_string(userId));
    s.UserId = userId;
    s.SignedIn = true;
    return true;
  }

  // The decoded result of a successful reply; a wrong answer when it does
  // not decode.
  std::optional<json::object> Record(Slot& s, const char* method,
                                     const client::MethodReply& reply) {
    try {
      return client::ResultRecord(method, reply);
    } catch (const std::exception& e) {
      Wrong(s, std::string(method) + ": " + e.what());
      return std::nullopt;
    }
  }

  // GetTaskList as the phone asks it: the difference since its versions.
  std::optional<json::object> Tasks(Slot& s) {
    const int32_t sent = s.TaskVersion;
    auto reply = Call(s, "GetTaskList", [&] {
      return Request(s, "GetTaskList",
                     {{"FStUID", s.Uid},
                      {"FNDataSetVersion", s.TaskVersion},
                      {"FNIncommingCorrespVersion", s.CorrVersion}});
    });
    if (!reply || reply->ReturnCode != 0) {
      s.TaskVersion = 0;
      s.CorrVersion = 0;
      return std::nullopt;
    }
    auto list = Record(s, "GetTaskList", *reply);
    if (!list) return list;
    try {
      const int64_t version = Int(list->at("version"));
      if (version <= sent)
        Wrong(s,
              "GetTaskList version " + std::to_string(version) + " after " + std::to_string(sent));
      s.TaskVersion = static_cast<int32_t>(version);
      s.CorrVersion = static_cast<int32_t>(Int(list->at("correspondenceVersion")));
      for (const json::value& t : list->at("tasks").as_array()) {
        const json::object& o = t.as_object();
        if (Int(o.at("FIdExecutor")) == s.UserId && Int(o.at("FIdAuthor")) != s.UserId)
          s.IncomingRoute = Int(o.at("FIdRoute"));
      }
      (void)list->at("deletedTaskIds").as_array();
    } catch (const std::exception& e) {
      Wrong(s, std::string("GetTaskList record: ") + e.what());
      s.TaskVersion = 0;
      return std::nullopt;
    }
    return list;
  }

  static const json::object* FindTask(const json::object& list, int64_t id,
                                      const std::string& title) {
    for (const json::value& t : list.at("tasks").as_array()) {
      const json::object& o = t.as_object();
      if (id != 0 ? Int(o.at("FId")) == id : o.at("FTitle") == title.c_str()) return &o;
    }
    return nullptr;
  }

  // Learns the user's first role from the user list and checks the list is
  // the one every other call saw.
  void Users(Slot& s) {
    auto reply = Call(s, "GetUserList", [&] {
      return Request(s, "GetUserList", {{"FStUID", s.Uid}, {"FNDataSetVersion", 0}});
    });
    if (!reply || reply->ReturnCode != 0) return;
    auto users = Record(s, "GetUserList", *reply);
    if (!users) return;
    const json::array& all = users->at("users").as_array();
    uint64_t expected = 0;
    if (!FUserCount.compare_exchange_strong(expected, all.size()) && expected != all.size())
      Wrong(s, "GetUserList: " + std::to_string(all.size()) + " users, before " +
                   std::to_string(expected));
    bool listed = false;
    for (const json::value& u : all) {
      const int64_t id = Int(u.at("FIdUser"));
      listed = listed || id == s.UserId;
      // The executor: the first other user in the list, in that role.
      if (s.RoleId == 0 && id != s.UserId) {
        s.ExecutorId = id;
        s.RoleId = Int(u.at("FIdRole"));
      }
    }
    if (!listed) Wrong(s, "GetUserList does not list the signed-in user");
  }

  void Search(Slot& s) {
    auto reply = Call(s, "SearchDocuments", [&] {
      return Request(s, "SearchDocuments", {{"FSearchString", "Вал"}});
    });
    if (!reply || reply->ReturnCode != 0) return;
    auto found = Record(s, "SearchDocuments", *reply);
    if (!found) return;
    const json::array& hits = found->at("attachments").as_array();
    uint64_t expected = 0;
    if (!FSearchCount.compare_exchange_strong(expected, hits.size()) && expected != hits.size())
      Wrong(s, "SearchDocuments: " + std::to_string(hits.size()) + " hits, before " +
                   std::to_string(expected));
    for (const json::value& h : hits) {
      const json::object& o = h.as_object();
      if (o.at("FExtension") == "txt" && Int(o.at("FSize")) > 0) {
        FFileId.store(Int(o.at("FId")));
        FFileSize.store(Int(o.at("FSize")));
        break;
      }
    }
  }

  void File(Slot& s) {
    const int64_t id = FFileId.load();
    if (id == 0) return Search(s);
    const int32_t size = static_cast<int32_t>(std::min<int64_t>(FFileSize.load(), 57));
    auto reply = Call(s, "GetFile", [&] {
      return Request(
          s, "GetFile",
          {{"IdAttachment", id}, {"Extension", "txt"}, {"BlockSize", size}, {"Position", 0}});
    });
    if (!reply || reply->ReturnCode != 0) return;
    const json::value* block =
        reply->Result.is_object() ? reply->Result.as_object().if_contains("Block") : nullptr;
    // 57 bytes are one Base64 line of 76 characters and its CR LF.
    if (!block || !block->is_string() || block->as_string().size() != (size + 2u) / 3u * 4u + 2u)
      Wrong(s, "GetFile block: " + json::serialize(reply->Result));
  }

  void Stream(Slot& s) {
    std::string bytes;
    auto reply = Call(s, "GetStream", [&] {
      bytes = client::GetStreamBytes(*s.Rest);
      return client::MethodReply{};
    });
    if (reply && bytes != kStreamBytes) Wrong(s, "GetStream answered " + bytes);
  }

  void Attachments(Slot& s) {
    if (s.Task == 0 || s.Phase >= 10) return Users(s);  // none, or already deleted
    auto reply = Call(s, "GetTaskAttachments", [&] {
      return Request(s, "GetTaskAttachments",
                     {{"FStUID", s.Uid}, {"FNDataSetVersion", 0}, {"FIdTask", s.Task}});
    });
    if (!reply || reply->ReturnCode != 0) return;
    auto files = Record(s, "GetTaskAttachments", *reply);
    if (files && (Int(files->at("task").at("FId")) != s.Task ||
                  !files->at("attachments").as_array().empty()))
      Wrong(s, "GetTaskAttachments: " + json::serialize(*files));
  }

  // The executor's side: marks the letters of a task issued to this user as
  // read while its author may be deleting it (and its letters) right then.
  // Either way the call must succeed.
  void ReadIncoming(Slot& s) {
    if (s.IncomingRoute == 0) return Stream(s);
    const int64_t route = std::exchange(s.IncomingRoute, 0);
    MarkRead(s, route);
  }

  // SetTaskCorrespondenceRead. A letter that vanished between the gateway's
  // listing of the unread letters and their marking (the author deleting
  // the task) has nothing left to mark: refusing the call for it is a wrong
  // answer. Other refusals (a back end that fails) count as failed calls.
  void MarkRead(Slot& s, int64_t route) {
    auto reply = Call(s, "SetTaskCorrespondenceRead", [&] {
      return Request(s, "SetTaskCorrespondenceRead", {{"FIdRoute", route}});
    });
    if (reply && reply->ReturnCode == 1 && IsLetterNotFound(reply->Message))
      Wrong(s, "SetTaskCorrespondenceRead refused for a vanished letter: " + reply->Message);
  }

  // The reference workflow server's refusal of an unknown letter.
  static bool IsLetterNotFound(const std::string& message) {
    return message.find("Letter with id=[") != std::string::npos &&
           message.find("] not found") != std::string::npos;
  }

  void MalformedCall(Slot& s, std::mt19937& rng) {
    const Malformed& m = kMalformed[rng() % std::size(kMalformed)];
    const bool hasResult =
        std::string_view(m.Method) != "DeleteTask" && std::string_view(m.Method) != "CreateTask";
    json::array answer;
    Count(FCalls);
    const auto start = std::chrono::steady_clock::now();
    try {
      answer = s.Rest->Call(m.Method, {m.Text});
    } catch (const client::ESessionExpired&) {
      SessionExpired(s, start);
      return;
    } catch (const std::exception& e) {
      Count(FTransport);
      Note(std::string(m.Method) + " (malformed): transport: " + e.what());
      Drop(s);
      s.Unanswered = true;
      return;
    }
    s.LastCall = start;
    json::array expected{406, kBadDataMessage};
    if (hasResult) expected.push_back(json::object{{"e", "e"}});
    if (answer == expected) {
      Count(FInvalid);
    } else if (answer.size() >= 1 && answer[0] == 404) {
      Count(FNotSignedIn);
      s.SignedIn = false;
    } else {
      Wrong(s, std::string(m.Method) + " with malformed data answered " + json::serialize(answer));
    }
  }

  // One step of the phone's task cycle.
  void Cycle(Slot& s) {
    if (s.RoleId == 0) return Users(s);
    const auto write = [&](const char* method, const json::object& fields) {
      auto reply = Call(s, method, [&] { return Request(s, method, fields); });
      if (!reply) {
        // Not known whether it happened: start a new cycle.
        s.Phase = 0;
        s.Task = 0;
        return false;
      }
      if (reply->ReturnCode != 0) return false;
      if (reply->HasResult) Wrong(s, std::string(method) + " answered a result");
      return true;
    };
    const auto nextCycle = [&] {
      Count(FCycles);
      ++s.Cycle;
      s.Phase = 0;
      s.Task = 0;
    };
    switch (s.Phase) {
      case 0:
        s.Subject = O.RunTag + " task " + std::to_string(s.Index) + "." + std::to_string(s.Cycle);
        if (write("CreateTask", {{"FSubject", s.Subject},
                                 {"FText", "Проверка под нагрузкой"},
                                 {"FDateCritical", kDueDate},
                                 {"FStartAfterCreate", true},
                                 {"FIdUsers", json::array{s.ExecutorId}},
                                 {"FIdRoles", json::array{s.RoleId}}}))
          s.Phase = 1;
        else
          ++s.Cycle;  // a creation cut short may have left a process under this subject: try under a new one
        return;
      case 1:
      case 3: {
        auto list = Tasks(s);
        if (!list) return;
        const json::object* t = FindTask(*list, s.Phase == 1 ? 0 : s.Task, s.Subject);
        if (!t) {
          // The difference must hold a row that changed since the last list;
          // a whole list (version 0) must hold every live task.
          Wrong(s, "GetTaskList lacks " + s.Subject + " at step " + std::to_string(s.Phase) + ": " +
                       json::serialize(*list).substr(0, 600));
          s.Phase = 0;  // do not report the same loss again
          return;
        }
        if (s.Phase == 1) {
          if (Int(t->at("FIdAuthor")) != s.UserId || Int(t->at("FIdExecutor")) != s.ExecutorId ||
              Int(t->at("FState")) != kTaskSent)
            Wrong(s, "created task: " + json::serialize(*t));
          s.Task = Int(t->at("FId"));
          s.Route = Int(t->at("FIdRoute"));
        } else if (s.Phase == 3 && t->at("FTitle") != s.Subject.c_str()) {
          Wrong(s, "edited task: " + json::serialize(*t));
        }
        ++s.Phase;
        return;
      }
      case 2:
        if (write("EditTask", {{"FIdTask", s.Task},
                               {"FSubjectNew", s.Subject + " (изм.)"},
                               {"FTextNew", "Изменено под нагрузкой"},
                               {"FDateCriticalNew", kDueDate + 86400},
                               {"FIdUserNew", s.ExecutorId},
                               {"FIdRoleNew", s.RoleId}})) {
          s.Subject += " (изм.)";
          s.Phase = 3;
        }
        return;
      case 4: {
        // Only the executor may take the task into work; the author asks it
        // of a task that does not exist and must be refused with a message.
        const int64_t missing = 900000000 + s.Index;
        auto reply = Call(
            s, "SetStateForTask",
            [&] {
              return Request(
                  s, "SetStateForTask",
                  {{"FIdTask", missing}, {"FIdState", kActionTakeIntoWork}, {"FSReason", ""}});
            },
            /*refusal=*/true);
        if (!reply) return;
        if (reply->ReturnCode == 0) Wrong(s, "SetStateForTask of a missing task succeeded");
        if (reply->ReturnCode == 0 || reply->ReturnCode == 1) s.Phase = 6;
        return;
      }
      case 6:
        s.Letter = "Письмо " + std::to_string(s.Index) + "." + std::to_string(s.Cycle);
        if (write("SendMessage", {{"FIdTask", s.Task}, {"FStMessage", s.Letter}})) s.Phase = 7;
        return;
      case 7: {
        auto reply = Call(s, "GetCorrespondence", [&] {
          return Request(s, "GetCorrespondence",
                         {{"FStUID", s.Uid}, {"FNDataSetVersion", 0}, {"FIdTask", s.Task}});
        });
        if (!reply || reply->ReturnCode != 0) return;
        auto letters = Record(s, "GetCorrespondence", *reply);
        if (!letters) return;
        bool found = false;
        for (const json::value& l : letters->at("letters").as_array())
          found = found || l.at("FText") == s.Letter.c_str();
        if (!found)
          Wrong(s, "GetCorrespondence lacks " + s.Letter + ": " + json::serialize(*letters));
        s.Phase = 8;
        return;
      }
      case 8:
        // The author's own process holds no letter to the author, so this
        // marks nothing; ReadIncoming is the executor's side.
        MarkRead(s, s.Route);
        s.Phase = 9;
        return;
      case 9:
        if (write("DeleteTask", {{"FIdRoute", s.Route}})) s.Phase = 10;
        return;
      case 10: {
        const bool whole = s.TaskVersion == 0;
        auto list = Tasks(s);
        if (!list) return;
        // A letter adds an operation to the process, so the task row may carry a
        // newer id than the one created: the process (route) is what must be gone.
        bool listed = false;
        for (const json::value& t : list->at("tasks").as_array())
          listed = listed || Int(t.at("FIdRoute")) == s.Route;
        if (listed || (!whole && list->at("deletedTaskIds").as_array().empty()))
          Wrong(s, "deleted process " + std::to_string(s.Route) +
                       " still listed: " + json::serialize(*list).substr(0, 600));
        nextCycle();
        return;
      }
      default:
        s.Phase = 0;
    }
  }

  void Step(Slot& s, std::mt19937& rng) {
    try {
      if (!s.SignedIn) {
        if (SignIn(s) && s.RoleId == 0) Users(s);
        return;
      }
      const unsigned roll = rng() % 100;
      if (roll < static_cast<unsigned>(O.ClosePercent)) return Close(s);
      if (roll < static_cast<unsigned>(O.ClosePercent + O.AbandonPercent)) return Drop(s);
      if (rng() % 100 < static_cast<unsigned>(O.MalformedPercent)) return MalformedCall(s, rng);
      switch (rng() % 10) {
        case 0:
          return Users(s);
        case 1:
          return Stream(s);
        case 2:
          return Search(s);
        case 3:
          return File(s);
        case 4:
          return Attachments(s);
        case 5:
          return ReadIncoming(s);
        default:
          return Cycle(s);
      }
    } catch (const std::exception& e) {
      // A record without the fields the checker reads.
      Wrong(s, std::string("unexpected answer: ") + e.what());
      s.Phase = 0;
      s.Task = 0;
    }
  }

  // Ticks every TickInterval until FEnd, then AtEnd, then stops the load.
  void Monitor(std::chrono::steady_clock::time_point start) {
    const auto every =
        O.TickInterval.count() > 0 ? O.TickInterval : O.Duration + std::chrono::milliseconds(1);
    for (auto tick = start + every;; tick += every) {
      std::this_thread::sleep_until(std::min(tick, FEnd));
      if (std::chrono::steady_clock::now() >= FEnd) break;
      if (O.OnTick)
        O.OnTick(Snapshot(), std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - start));
    }
    if (O.AtEnd) O.AtEnd(Snapshot());
    FStop.store(true);
  }

  LoadReport Snapshot() {
    LoadReport r;
    r.Calls = FCalls;
    r.Ok = FOk;
    r.Failed = FFailed;
    r.Invalid = FInvalid;
    r.NotSignedIn = FNotSignedIn;
    r.Expired = FExpired;
    r.Transport = FTransport;
    r.Remote = FRemote;
    r.Wrong = FWrong;
    r.Refused = FRefused;
    r.SessionsOpened = FOpened;
    r.SessionsClosed = FClosed;
    r.SessionsAbandoned = FAbandoned;
    r.CyclesCompleted = FCycles;
    r.EarlyExpiries = FEarlyExpiries;
    r.MaxCallMs = FMaxMs;
    std::lock_guard lock(FMutex);
    r.WrongSamples = FWrongSamples;
    r.FailureMessages = FMessages;
    return r;
  }

  const LoadOptions O;
  std::vector<Slot> FSlots;
  std::chrono::steady_clock::time_point FEnd;
  std::atomic<uint64_t> FCalls{0}, FOk{0}, FFailed{0}, FInvalid{0}, FNotSignedIn{0}, FExpired{0},
      FTransport{0}, FRemote{0}, FWrong{0}, FRefused{0}, FOpened{0}, FClosed{0}, FAbandoned{0},
      FCycles{0}, FEarlyExpiries{0};
  std::atomic<bool> FStop{false};  // set by the monitor: the sessions stop calling
  std::atomic<int64_t> FMaxMs{0};
  std::atomic<uint64_t> FUserCount{0}, FSearchCount{0};
  std::atomic<int64_t> FFileId{0}, FFileSize{0};
  std::mutex FMutex;  // guards the two below
  std::vector<std::string> FWrongSamples;
  std::map<std::string, uint64_t> FMessages;
};

}  // namespace detail

// Runs the load for O.Duration and answers the counts.
inline LoadReport RunLoad(LoadOptions options) {
  return detail::Load(std::move(options)).Run();
}

}  // namespace brevalon::soak
