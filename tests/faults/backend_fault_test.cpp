// The application servers failing while many sessions are busy: killed and
// started again on the same database and port, answering garbage, hanging
// past the call timeout, refusing connections. Signed-in sessions keep
// calling through every fault (phones of their own here, beside the load
// core's mix of every method); each call must answer 0, or 1 with a message,
// within its limits, and once the servers are good again the next call of
// every session must succeed in the same session, signed in again by the
// gateway, not by the phone. At the end every session is gone and with it
// every thread and descriptor, and the database is whole.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/soak_load.h"
#include "client/remote_calls.h"
#include "faults/fault_rig.h"

namespace brevalon::faults {
namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kProbes = 10;
constexpr int kLoadSessions = 16;
// Liveness, not speed: far beyond what an answer needs, far below a hang.
constexpr milliseconds kMargin{1500};
// How long a fault lasts at least, so that the load core's sessions meet it
// as well as the phones.
constexpr milliseconds kFaultWindow{800};

// One call as a phone saw it.
struct CallRecord {
  int Phone = 0;
  std::string Method;
  Clock::time_point Start;
  Clock::time_point End;
  int32_t Code = -1;  // -1: no answer at all
  std::string Message;

  int64_t Ms() const { return std::chrono::duration_cast<milliseconds>(End - Start).count(); }
  std::string Describe() const {
    return "phone " + std::to_string(Phone) + " " + Method + " answered " + std::to_string(Code) + " \"" +
           Message + "\" in " + std::to_string(Ms()) + " ms";
  }
};

// A phone signed in once that keeps calling methods which reach both
// application servers (the task and user lists through the workflow server,
// the document search through the main system), as a phone would: the task
// list asked as the difference since the version it holds. Driven by a
// thread of its own; the records are read after that thread is joined or
// under the phone's lock.
class Phone {
 public:
  Phone(GatewayRig& rig, int index, std::pair<std::string, std::string> user)
      : FIndex(index), FUser(std::move(user)), FUid("fault-phone-" + std::to_string(index)), FRest(rig.Rest()) {}

  // ConnectToDB, the only one this phone ever makes.
  void SignIn() {
    FUserId = client::SignIn(*FRest, "demo", FUser.first, FUser.second, "").WFUserId;
    FSession = FRest->SessionId();
  }

  // A task issued to another user, to be found again after the faults.
  void CreateTask(const std::string& subject) {
    const auto [executor, role] = Executor();
    const client::MethodReply r = client::CallRequestMethod(
        *FRest, "CreateTask",
        {{"FSubject", subject}, {"FText", "До сбоя"}, {"FDateCritical", soak::kDueDate},
         {"FStartAfterCreate", true}, {"FIdUsers", json::array{executor}}, {"FIdRoles", json::array{role}}});
    if (r.ReturnCode != 0) throw std::runtime_error("CreateTask: " + r.Message);
    FSubject = subject;
  }

  // The task made before the faults is among those the phone holds, having
  // applied every difference it was answered.
  bool HoldsOwnTask() const {
    for (const auto& [id, title] : FHeld)
      if (title == FSubject) return true;
    return false;
  }

  // The whole task list (version 0) holds the task made before the faults.
  bool HasOwnTask() {
    const client::MethodReply r = client::CallRequestMethod(
        *FRest, "GetTaskList", {{"FStUID", FUid + "-check"}, {"FNDataSetVersion", 0}, {"FNIncommingCorrespVersion", 0}});
    if (r.ReturnCode != 0) return false;
    const json::object list = client::ResultRecord("GetTaskList", r);
    for (const json::value& t : list.at("tasks").as_array())
      if (t.at("FTitle") == FSubject.c_str()) return true;
    return false;
  }

  // The user's first role and another user to give tasks to.
  std::pair<int64_t, int64_t> Executor() {
    const client::MethodReply r =
        client::CallRequestMethod(*FRest, "GetUserList", {{"FStUID", FUid}, {"FNDataSetVersion", 0}});
    const json::object users = client::ResultRecord("GetUserList", r);
    for (const json::value& u : users.at("users").as_array()) {
      if (u.at("FIdUser").to_number<int64_t>() != FUserId)
        return {u.at("FIdUser").to_number<int64_t>(), u.at("FIdRole").to_number<int64_t>()};
    }
    throw std::runtime_error("no other user");
  }

  // One call of the rotation.
  void Step() {
    CallRecord c;
    c.Phone = FIndex;
    static const char* const kMethods[] = {"GetTaskList", "GetUserList", "SearchDocuments"};
    c.Method = kMethods[FSteps++ % std::size(kMethods)];
    json::object fields;
    if (c.Method == "GetTaskList") {
      fields = {{"FStUID", FUid}, {"FNDataSetVersion", FTaskVersion}, {"FNIncommingCorrespVersion", FCorrVersion}};
    } else if (c.Method == "GetUserList") {
      fields = {{"FStUID", FUid}, {"FNDataSetVersion", 0}};
    } else {
      fields = {{"FSearchString", "Вал"}};
    }
    c.Start = Clock::now();
    try {
      const client::MethodReply r = client::CallRequestMethod(*FRest, c.Method, fields);
      c.End = Clock::now();
      c.Code = r.ReturnCode;
      c.Message = r.Message;
      if (r.ReturnCode == 0) {
        const json::object record = client::ResultRecord(c.Method, r);
        if (c.Method == "GetTaskList") {
          FTaskVersion = static_cast<int32_t>(record.at("version").to_number<int64_t>());
          FCorrVersion = static_cast<int32_t>(record.at("correspondenceVersion").to_number<int64_t>());
          for (const json::value& t : record.at("tasks").as_array())
            FHeld[t.at("FId").to_number<int64_t>()] = json::value_to<std::string>(t.at("FTitle"));
          for (const json::value& id : record.at("deletedTaskIds").as_array()) FHeld.erase(id.to_number<int64_t>());
        }
      }
    } catch (const std::exception& e) {
      if (c.End == Clock::time_point()) c.End = Clock::now();
      c.Code = c.Code == 0 ? -2 : -1;  // -2: an answer of 0 that does not decode
      c.Message = e.what();
    }
    std::lock_guard lock(FMutex);
    FCalls.push_back(std::move(c));
  }

  // Calls started at or after `since` and finished.
  int CallsSince(Clock::time_point since) {
    std::lock_guard lock(FMutex);
    int n = 0;
    for (const CallRecord& c : FCalls) n += c.Start >= since;
    return n;
  }
  std::vector<CallRecord> Calls() {
    std::lock_guard lock(FMutex);
    return FCalls;
  }

  const std::string& SessionAtSignIn() const { return FSession; }
  std::string SessionNow() const { return FRest->SessionId(); }
  void Close() { FRest->EndSession(); }

 private:
  const int FIndex;
  const std::pair<std::string, std::string> FUser;
  const std::string FUid;
  std::unique_ptr<client::RestTransport> FRest;
  int64_t FUserId = 0;
  std::string FSession;
  std::string FSubject;
  int32_t FTaskVersion = 0;
  int32_t FCorrVersion = 0;
  std::map<int64_t, std::string> FHeld;  // the task list as the phone holds it: id -> title
  size_t FSteps = 0;
  std::mutex FMutex;  // guards FCalls
  std::vector<CallRecord> FCalls;
};

const std::vector<std::pair<std::string, std::string>>& Users() {
  static const std::vector<std::pair<std::string, std::string>> users = soak::LoadOptions().Users;
  return users;
}

// The phones' threads, each calling until told to stop.
class Phones {
 public:
  explicit Phones(GatewayRig& rig) {
    for (int i = 0; i < kProbes; ++i) {
      FPhones.push_back(std::make_unique<Phone>(rig, i, Users()[i % Users().size()]));
      FPhones.back()->SignIn();
    }
  }
  ~Phones() { Stop(); }

  void Start() {
    for (auto& p : FPhones)
      FThreads.emplace_back([this, &p] {
        while (!FStop) p->Step();
      });
  }
  void Stop() {
    FStop = true;
    for (std::thread& t : FThreads) t.join();
    FThreads.clear();
  }
  // Every phone has made `n` calls that started at or after `since`.
  bool EachCalled(int n, Clock::time_point since, milliseconds limit = std::chrono::seconds(60)) {
    return Eventually(
        [&] {
          for (auto& p : FPhones)
            if (p->CallsSince(since) < n) return false;
          return true;
        },
        limit);
  }
  std::vector<std::unique_ptr<Phone>>& All() { return FPhones; }

 private:
  std::vector<std::unique_ptr<Phone>> FPhones;
  std::vector<std::thread> FThreads;
  std::atomic<bool> FStop{false};
};

// The load core beside the phones: every method mixed, sessions opening and
// closing, every answer checked against the servers' state. Its calls are
// told apart only by their counts, so the fault window is checked on the
// phones; of the load, no call may go unanswered or answer wrong.
class Load {
 public:
  Load(GatewayRig& rig, const std::string& tag, milliseconds duration) {
    soak::LoadOptions o;
    o.Port = rig.Gateway().HttpPort();
    o.Sessions = kLoadSessions;
    o.Duration = duration;
    o.CallTimeout = std::chrono::seconds(60);
    o.AbandonPercent = 0;  // nothing left to expire: the test ends with every session gone
    o.RunTag = tag;
    o.Seed = 7;
    FThread = std::thread([this, o] { FReport = soak::RunLoad(o); });
  }
  ~Load() {
    if (FThread.joinable()) FThread.join();
  }
  const soak::LoadReport& Wait() {
    FThread.join();
    return FReport;
  }

 private:
  std::thread FThread;
  soak::LoadReport FReport;
};

void ExpectLoadSound(const soak::LoadReport& r, milliseconds bound) {
  SCOPED_TRACE(r.Summary());
  for (const std::string& w : r.WrongSamples) ADD_FAILURE() << "wrong answer: " << w;
  EXPECT_EQ(r.Wrong, 0u);
  // Every call answered, with a return code: no hang, no dropped connection,
  // no session that forgot its sign-in.
  EXPECT_EQ(r.Transport + r.Remote + r.NotSignedIn + r.Expired, 0u);
  EXPECT_GT(r.Ok, 0u);
  EXPECT_LE(r.MaxCallMs, bound.count());
}

// What one fault did to the phones' calls made while it lasted.
struct Figures {
  int Calls = 0;
  int Errors = 0;
  int64_t MaxMs = 0;
  std::map<std::string, int> Messages;
};

// Checks the phones' calls around one fault: it was on from `on`, and was
// being mended from `mending` until `off` (a server being started listens,
// and may answer, before its start returns). Every call answered 0 or 1 with
// a message within `bound`; those that began after `on` and ended before
// `mending` failed; every call that began once the servers were good again
// (`off`) succeeded, in the session the phone signed in to. A call that
// overlaps the mending may go either way.
Figures CheckPhones(const std::vector<std::unique_ptr<Phone>>& phones, Clock::time_point on,
                    Clock::time_point mending, Clock::time_point off, milliseconds bound) {
  Figures f;
  for (const auto& p : phones) {
    EXPECT_EQ(p->SessionNow(), p->SessionAtSignIn()) << "the phone's session changed";
    for (const CallRecord& c : p->Calls()) {
      SCOPED_TRACE(c.Describe());
      EXPECT_TRUE(c.Code == 0 || (c.Code == 1 && !c.Message.empty()));
      EXPECT_LE(c.Ms(), bound.count());
      if (c.Start >= on && c.End <= mending) {
        ++f.Calls;
        f.MaxMs = std::max(f.MaxMs, c.Ms());
        if (c.Code != 0) {
          ++f.Errors;
          ++f.Messages[c.Message.substr(0, c.Message.find('\n'))];
        }
        EXPECT_EQ(c.Code, 1) << "a call during the fault succeeded";
      }
      if (c.Start >= off) {
        EXPECT_EQ(c.Code, 0) << "a call after the fault failed";
      }
    }
  }
  return f;
}

void Report(const std::string& fault, const Figures& f, const soak::LoadReport& load) {
  std::cout << "[" << fault << "] phones during the fault: calls=" << f.Calls << " errors=" << f.Errors
            << " max_ms=" << f.MaxMs << "\n";
  for (const auto& [m, n] : f.Messages) std::cout << "    " << n << " x " << m << "\n";
  std::cout << "[" << fault << "] load: " << load.Summary() << "\n";
  for (const auto& [m, n] : load.FailureMessages) std::cout << "    " << n << " x " << m.substr(0, m.find('\n')) << "\n";
}

std::string IntegrityCheck(const std::filesystem::path& db) {
  sqlite3* h = nullptr;
  std::string answer;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK) {
      while (sqlite3_step(st) == SQLITE_ROW) answer += reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
  } else {
    answer = sqlite3_errmsg(h);
  }
  sqlite3_close(h);
  return answer;
}

// The gateway in front of the application servers, directly or through a
// FaultProxy, with signed-in phones calling on threads of their own, three
// phones that stay idle while the fault lasts, and the load core beside
// them.
class BackEndFaultTest : public ::testing::Test {
 protected:
  void Start(Limits limits, bool proxied) {
    FLimits = limits;
    // A sanitizer's runtime starts a thread of its own with the first thread
    // the process makes; it must be in the baseline, not count as a leak.
    std::thread([] {}).join();
    FThreads = ThreadCount();
    rig.StartBackEnd();
    FPort = rig.BackEnd().Port();
    if (proxied) proxy = std::make_unique<FaultProxy>(FPort);
    rig.WriteSettings(proxied ? proxy->Port() : FPort, limits);
    rig.StartGateway();
    FFds = FdCount();
    phones = std::make_unique<Phones>(rig);
    for (size_t i = 0; i < phones->All().size(); ++i) phones->All()[i]->CreateTask("fault task " + std::to_string(i));
    for (int i = 0; i < 3; ++i) {
      sleepers.push_back(std::make_unique<Phone>(rig, 100 + i, Users()[i]));
      sleepers.back()->SignIn();
      for (int k = 0; k < 3; ++k) sleepers.back()->Step();
    }
  }

  // Good servers, then `on` until the fault has lasted kFaultWindow and every
  // phone made three calls in it, then `off` and good servers until every
  // phone made four more calls; the load core runs through all of it. A new
  // session signs in while the fault lasts and must be refused in time.
  void RunThroughFault(const std::string& fault, const std::function<void()>& on, const std::function<void()>& off,
                       milliseconds bound) {
    Load load(rig, fault, std::chrono::seconds(3));
    phones->Start();
    ASSERT_TRUE(phones->EachCalled(3, Clock::now()));

    on();
    const auto onAt = Clock::now();
    ExpectSignInRefused(bound);
    ASSERT_TRUE(phones->EachCalled(3, onAt));
    std::this_thread::sleep_until(onAt + kFaultWindow);  // lets the load meet the fault too
    const auto mendingAt = Clock::now();
    off();
    const auto offAt = Clock::now();
    for (auto& s : sleepers) {
      for (int k = 0; k < 3; ++k) s->Step();
    }
    ASSERT_TRUE(phones->EachCalled(4, offAt));
    phones->Stop();
    const soak::LoadReport& r = load.Wait();

    const Figures f = CheckPhones(phones->All(), onAt, mendingAt, offAt, bound);
    EXPECT_GT(f.Calls, 0) << "no call fell into the fault window";
    CheckPhones(sleepers, onAt, mendingAt, offAt, bound);
    Report(fault, f, r);
    ExpectLoadSound(r, bound);
    // What was written before the fault is still there, on the servers and
    // on the phones.
    for (auto& p : phones->All()) {
      EXPECT_TRUE(p->HoldsOwnTask()) << "a difference took the phone's task away";
      EXPECT_TRUE(p->HasOwnTask()) << "a task made before the fault is gone";
    }
  }

  // ConnectToDB of a new session while the servers are bad.
  void ExpectSignInRefused(milliseconds bound) {
    auto rest = rig.Rest();
    const auto start = Clock::now();
    try {
      client::SignIn(*rest, "demo", Users()[0].first, Users()[0].second, "");
      ADD_FAILURE() << "signed in while the servers were bad";
    } catch (const client::EMethodFailed& e) {
      EXPECT_EQ(e.Code(), 1);
      EXPECT_FALSE(e.GatewayMessage().empty());
    }
    EXPECT_LE(Clock::now() - start, bound);
    rest->EndSession();
  }

  // Every session closed: none is left, nor any descriptor of the run (a
  // worker stuck in a back-end call would hold its connections). The call
  // pool keeps idle threads for 10 s by design, so threads are counted once
  // the gateway is gone: all joined, none stuck.
  void ExpectNothingLeft() {
    for (auto& p : phones->All()) p->Close();
    for (auto& s : sleepers) s->Close();
    phones.reset();
    sleepers.clear();
    EXPECT_TRUE(Eventually([&] { return rig.Gateway().SessionCount() == 0; })) << rig.Gateway().SessionCount();
    EXPECT_TRUE(Eventually([&] { return FdCount() <= FFds; })) << FdCount() << " descriptors, " << FFds << " before";
    rig.StopGateway();
    proxy.reset();
    rig.StopBackEnd();
    EXPECT_TRUE(Eventually([&] { return ThreadCount() <= FThreads; }))
        << ThreadCount() << " threads, " << FThreads << " before: " << ThreadNames();
  }

  milliseconds CallBound() const { return milliseconds(FLimits.CallTimeoutMs + FLimits.ConnectTimeoutMs) + kMargin; }

  GatewayRig rig;
  std::unique_ptr<FaultProxy> proxy;
  std::unique_ptr<Phones> phones;
  std::vector<std::unique_ptr<Phone>> sleepers;
  uint16_t FPort = 0;

 private:
  Limits FLimits;
  int FThreads = 0;
  int FFds = 0;
};

TEST_F(BackEndFaultTest, ServerKilledAndRestartedOnTheSameDatabaseAndPort) {
  Start({2000, 1000}, /*proxied=*/false);
  RunThroughFault(
      "restart", [&] { rig.StopBackEnd(); }, [&] { rig.StartBackEnd(FPort); }, CallBound());
  ExpectNothingLeft();
  EXPECT_EQ(IntegrityCheck(rig.Dir() / "demo.sqlite"), "ok");
}

TEST_F(BackEndFaultTest, ServerAnsweringGarbageFailsEveryCallPromptly) {
  // Timeouts far beyond the bound: a garbage answer must not be waited on.
  Start({10000, 10000}, /*proxied=*/true);
  RunThroughFault(
      "garbage", [&] { proxy->SetMode(FaultProxy::Mode::Garbage); }, [&] { proxy->SetMode(FaultProxy::Mode::Pass); },
      2 * kMargin);
  EXPECT_GE(proxy->GarbageSent(), 6) << "every kind of garbage was answered";
  ExpectNothingLeft();
}

TEST_F(BackEndFaultTest, ServerHangingPastTheCallTimeoutFailsEachCallInTime) {
  Start({400, 400}, /*proxied=*/true);
  RunThroughFault(
      "silent", [&] { proxy->SetMode(FaultProxy::Mode::Silent); }, [&] { proxy->SetMode(FaultProxy::Mode::Pass); },
      CallBound());
  ExpectNothingLeft();
}

TEST_F(BackEndFaultTest, RefusedConnectionsFailSignInAndCallsWithinTheConnectTimeout) {
  Start({10000, 1000}, /*proxied=*/true);
  RunThroughFault(
      "refused", [&] { proxy->SetMode(FaultProxy::Mode::Refuse); }, [&] { proxy->SetMode(FaultProxy::Mode::Pass); },
      milliseconds(1000) + kMargin);
  ExpectNothingLeft();
}

}  // namespace
}  // namespace brevalon::faults
