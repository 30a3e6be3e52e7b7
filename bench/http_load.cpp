// Load generator for the gateway's HTTP side (not a Google Benchmark
// program: it drives a separate brevalon24 process, and the same measurement
// runs against a reference web server for comparison). Modes:
//
//   http_load prepare --port P --tasks N [--executor-name FULL-NAME]
//       signs in as ivanov and creates tasks for the executor (default
//       petrova, her first role)
//       until ivanov's task list holds at least N tasks.
//   http_load tasklist --port P --conns C --seconds D [--body-out FILE]
//       C sessions, each signed in (ConnectToDB) and on its own keep-alive
//       connection; each asks GetTaskList once with version 0 and then, for D
//       seconds, again and again with the version it got back, so nothing has
//       changed. --body-out writes one steady answer's body (the reference
//       server serves the same bytes).
//   http_load get --port P --conns C --seconds D --target PATH
//       C keep-alive connections asking GET PATH (the reference server).
//   http_load hold --port P --sessions N [--threads T] --pid GW [--pid2 AS] [--release 1]
//       opens N keep-alive connections that each sign in, keeps them, reads
//       the resident memory of the processes before and after, and checks that
//       every session still answers. With --release 1 each connection is
//       closed once its session signed in (the session stays, as HTTP
//       sessions do): the client then needs no descriptor per session.
//
// The load loops are asynchronous on one thread; every figure is printed as
// "key=value" words on one line. Loops are bounded by time; nothing but the
// given loopback port is contacted.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/remote_calls.h"
#include "client/request_encoder.h"
#include "client/rest_transport.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace json = boost::json;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr const char* kDb = "demo";
constexpr const char* kUser = "ivanov";
constexpr const char* kPassword = "ivanov1";

struct Args {
  std::string Mode;
  std::map<std::string, std::string> Options;

  std::string Text(const std::string& name, const std::string& fallback = "") const {
    auto it = Options.find(name);
    return it == Options.end() ? fallback : it->second;
  }
  long Number(const std::string& name, long fallback) const {
    auto it = Options.find(name);
    return it == Options.end() ? fallback : std::stol(it->second);
  }
};

Args ParseArgs(int argc, char** argv) {
  Args args;
  if (argc < 2) throw std::runtime_error("usage: http_load prepare|tasklist|get|hold --port P ...");
  args.Mode = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string key = argv[i];
    if (key.rfind("--", 0) != 0) throw std::runtime_error("expected an option: " + key);
    args.Options[key.substr(2)] = argv[i + 1];
  }
  return args;
}

std::unique_ptr<brevalon::client::RestTransport> Rest(uint16_t port, const std::string& session = {}) {
  brevalon::client::RestOptions o;
  o.Host = "127.0.0.1";
  o.Port = port;
  o.Session = session;
  o.Timeout = std::chrono::seconds(120);
  return std::make_unique<brevalon::client::RestTransport>(o);
}

void SignIn(brevalon::client::ITransport& t) { brevalon::client::SignIn(t, kDb, kUser, kPassword, ""); }

// The decoded GetTaskList record for the given versions.
json::object TaskList(brevalon::client::ITransport& t, const std::string& uid, int32_t version,
                      int32_t corrVersion) {
  const auto reply = brevalon::client::CallRequestMethod(
      t, "GetTaskList",
      {{"FStUID", uid}, {"FNDataSetVersion", version}, {"FNIncommingCorrespVersion", corrVersion}});
  return brevalon::client::ResultRecord("GetTaskList", reply);
}

void RaiseFdLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// ---- prepare ----

int Prepare(const Args& args) {
  const auto port = static_cast<uint16_t>(args.Number("port", 8085));
  const long wanted = args.Number("tasks", 50);
  auto rest = Rest(port);
  SignIn(*rest);

  const json::object users = brevalon::client::ResultRecord(
      "GetUserList", brevalon::client::CallRequestMethod(
                         *rest, "GetUserList", {{"FStUID", "bench-prepare"}, {"FNDataSetVersion", 0}}));
  // The user list names users by full name; the executor's first role is taken.
  int32_t idUser = 0, idRole = 0;
  const std::string wantedName = args.Text("executor-name", "Петрова Мария Сергеевна");
  for (const auto& u : users.at("users").as_array()) {
    const auto& user = u.as_object();
    if (json::value_to<std::string>(user.at("FUserFullname")) == wantedName) {
      idUser = static_cast<int32_t>(user.at("FIdUser").as_int64());
      idRole = static_cast<int32_t>(user.at("FIdRole").as_int64());
      break;
    }
  }
  if (idUser == 0) throw std::runtime_error("no user named " + wantedName);

  const auto count = [&] {
    return static_cast<long>(TaskList(*rest, "bench-prepare", 0, 0).at("tasks").as_array().size());
  };
  long have = count();
  for (long i = have; i < wanted; ++i) {
    const auto reply = brevalon::client::CallRequestMethod(
        *rest, "CreateTask",
        {{"FSubject", "Нагрузочная задача " + std::to_string(i + 1)},
         {"FText", "Задача для замера списка задач"},
         {"FDateCritical", 0},
         {"FStartAfterCreate", true},
         {"FIdUsers", json::array{idUser}},
         {"FIdRoles", json::array{idRole}}});
    if (reply.ReturnCode != 0) throw std::runtime_error("CreateTask failed: " + reply.Message);
  }
  have = count();
  std::cout << "tasks=" << have << "\n";
  return have >= wanted ? 0 : 1;
}

// ---- the asynchronous load loop ----

struct Stats {
  std::vector<double> LatencyUs;
  long Requests = 0;
  long Errors = 0;
  long Mismatches = 0;  // 200 answers whose body differs from the first one
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(asio::io_context& io, Stats& stats, Clock::time_point end, http::request<http::empty_body> req,
             std::string* firstBody)
      : FSocket(io), FStats(stats), FEnd(end), FRequest(std::move(req)), FFirstBody(firstBody) {}

  void Start(const tcp::endpoint& ep) {
    FSocket.async_connect(ep, [self = shared_from_this()](beast::error_code ec) {
      if (ec) {
        ++self->FStats.Errors;
        return;
      }
      self->FSocket.set_option(tcp::no_delay(true));
      self->Send();
    });
  }

 private:
  void Send() {
    if (Clock::now() >= FEnd) return;
    FStarted = Clock::now();
    http::async_write(FSocket, FRequest, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        ++self->FStats.Errors;
        return;
      }
      self->Receive();
    });
  }

  void Receive() {
    FParser.emplace();
    FParser->body_limit(64 * 1024 * 1024);
    http::async_read(FSocket, FBuffer, *FParser, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      const auto now = Clock::now();
      if (ec) {
        ++self->FStats.Errors;
        return;
      }
      const auto& res = self->FParser->get();
      ++self->FStats.Requests;
      self->FStats.LatencyUs.push_back(std::chrono::duration<double, std::micro>(now - self->FStarted).count());
      if (res.result() != http::status::ok) {
        ++self->FStats.Errors;
      } else if (self->FFirstBody) {
        if (self->FFirstBody->empty())
          *self->FFirstBody = res.body();
        else if (*self->FFirstBody != res.body())
          ++self->FStats.Mismatches;
      }
      if (!res.keep_alive()) {
        ++self->FStats.Errors;  // the load is meant to be keep-alive throughout
        return;
      }
      self->Send();
    });
  }

  tcp::socket FSocket;
  Stats& FStats;
  Clock::time_point FEnd;
  http::request<http::empty_body> FRequest;
  std::string* FFirstBody;
  beast::flat_buffer FBuffer;
  std::optional<http::response_parser<http::string_body>> FParser;
  Clock::time_point FStarted;
};

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  const auto k = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

// Runs one keep-alive connection per request for `seconds` and prints the figures.
void RunLoad(uint16_t port, const std::vector<http::request<http::empty_body>>& requests, double seconds,
             std::string* firstBody) {
  asio::io_context io;
  Stats stats;
  stats.LatencyUs.reserve(4u << 20);
  const tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), port);
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (const auto& req : requests) std::make_shared<Connection>(io, stats, end, req, firstBody)->Start(ep);
  io.run();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("conns=%zu seconds=%.2f requests=%ld rps=%.0f p50_us=%.0f p99_us=%.0f errors=%ld mismatches=%ld\n",
              requests.size(), elapsed, stats.Requests, static_cast<double>(stats.Requests) / elapsed,
              Percentile(stats.LatencyUs, 0.5), Percentile(stats.LatencyUs, 0.99), stats.Errors,
              stats.Mismatches);
}

http::request<http::empty_body> Get(const std::string& target, const std::string& session) {
  http::request<http::empty_body> req{http::verb::get, target, 11};
  req.set(http::field::host, "127.0.0.1");
  req.keep_alive(true);
  if (!session.empty()) req.set(http::field::pragma, "dssession=" + session);
  return req;
}

int TaskListLoad(const Args& args) {
  const auto port = static_cast<uint16_t>(args.Number("port", 8085));
  const long conns = args.Number("conns", 32);
  std::vector<http::request<http::empty_body>> requests;
  long tasks = -1;
  for (long i = 0; i < conns; ++i) {
    auto rest = Rest(port);
    SignIn(*rest);
    const std::string uid = "bench-" + std::to_string(i);
    const json::object first = TaskList(*rest, uid, 0, 0);
    const auto version = static_cast<int32_t>(first.at("version").as_int64());
    const auto corr = static_cast<int32_t>(first.at("correspondenceVersion").as_int64());
    tasks = static_cast<long>(first.at("tasks").as_array().size());
    const std::string text = brevalon::client::EncodeRequest(
        "GetTaskList", {{"FStUID", uid}, {"FNDataSetVersion", version}, {"FNIncommingCorrespVersion", corr}});
    const auto call = brevalon::client::BuildRestCall("GetTaskList", json::array{text}, 1500);
    if (call.Post) throw std::runtime_error("the request does not fit a GET");
    // The steady answer: nothing changed since the version.
    const json::object steady = TaskList(*rest, uid, version, corr);
    if (!steady.at("tasks").as_array().empty()) throw std::runtime_error("the task list changed between calls");
    requests.push_back(Get(call.Target, rest->SessionId()));
    // The transport's own connection closes here; the session stays.
  }
  std::string body;
  std::cerr << "signed in " << conns << " sessions, first list " << tasks << " tasks\n";
  RunLoad(port, requests, static_cast<double>(args.Number("seconds", 10)), &body);
  const std::string out = args.Text("body-out");
  if (!out.empty()) std::ofstream(out, std::ios::binary | std::ios::trunc) << body;
  std::printf("body_bytes=%zu tasks=%ld\n", body.size(), tasks);
  return 0;
}

int GetLoad(const Args& args) {
  const auto port = static_cast<uint16_t>(args.Number("port", 8085));
  const long conns = args.Number("conns", 32);
  std::vector<http::request<http::empty_body>> requests(static_cast<std::size_t>(conns),
                                                       Get(args.Text("target", "/"), ""));
  std::string body;
  RunLoad(port, requests, static_cast<double>(args.Number("seconds", 10)), &body);
  std::printf("body_bytes=%zu\n", body.size());
  return 0;
}

// ---- hold ----

long RssKiB(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

int Hold(const Args& args) {
  RaiseFdLimit();
  const auto port = static_cast<uint16_t>(args.Number("port", 8085));
  const long sessions = args.Number("sessions", 10000);
  const long threads = std::max(1L, args.Number("threads", 4));
  const long pid = args.Number("pid", 0);
  const long pid2 = args.Number("pid2", 0);
  const bool release = args.Number("release", 0) != 0;
  const long before = RssKiB(pid), before2 = pid2 ? RssKiB(pid2) : -1;

  std::vector<std::unique_ptr<brevalon::client::RestTransport>> clients(static_cast<std::size_t>(sessions));
  std::vector<std::string> ids(static_cast<std::size_t>(sessions));
  std::atomic<long> failed{0};
  std::atomic<long> next{0};
  const auto start = Clock::now();
  auto work = [&](auto step) {
    std::vector<std::thread> pool;
    next = 0;
    for (long t = 0; t < threads; ++t) {
      pool.emplace_back([&] {
        for (long i = next++; i < sessions; i = next++) {
          try {
            step(static_cast<std::size_t>(i));
          } catch (const std::exception& e) {
            if (failed++ < 5) std::cerr << "session " << i << ": " << e.what() << "\n";
          }
        }
      });
    }
    for (auto& th : pool) th.join();
  };
  work([&](std::size_t i) {
    clients[i] = Rest(port);
    SignIn(*clients[i]);
    if (release) {
      // Only the id is kept: the transport and its descriptors go.
      ids[i] = clients[i]->SessionId();
      clients[i].reset();
    }
  });
  const double openSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long after = RssKiB(pid), after2 = pid2 ? RssKiB(pid2) : -1;
  const long signInFailures = failed.load();

  // Every session is still there and signed in: a call through its worker
  // with a request that is not Base64 answers 406 once signed in (404 before).
  std::atomic<long> notSignedIn{0};
  work([&](std::size_t i) {
    if (release) clients[i] = Rest(port, ids[i]);
    const json::array reply = clients[i]->Call("GetFile", json::array{"%%% not base64 %%%"});
    if (reply.empty() || !reply[0].is_int64() || reply[0].as_int64() != 406) ++notSignedIn;
    if (release) clients[i].reset();
  });
  const long held = RssKiB(pid);
  std::printf(
      "sessions=%ld open_seconds=%.1f signin_failures=%ld call_failures=%ld gateway_rss_before_kib=%ld "
      "gateway_rss_after_kib=%ld gateway_kib_per_session=%.1f gateway_rss_after_calls_kib=%ld "
      "appserver_rss_before_kib=%ld appserver_rss_after_kib=%ld appserver_kib_per_session=%.1f\n",
      sessions, openSeconds, signInFailures, failed.load() - signInFailures + notSignedIn.load(), before, after,
      static_cast<double>(after - before) / static_cast<double>(sessions), held, before2, after2,
      pid2 ? static_cast<double>(after2 - before2) / static_cast<double>(sessions) : 0.0);
  return failed.load() + notSignedIn.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Args args = ParseArgs(argc, argv);
    if (args.Mode == "prepare") return Prepare(args);
    if (args.Mode == "tasklist") return TaskListLoad(args);
    if (args.Mode == "get") return GetLoad(args);
    if (args.Mode == "hold") return Hold(args);
    throw std::runtime_error("unknown mode " + args.Mode);
  } catch (const std::exception& e) {
    std::cerr << "http_load: " << e.what() << "\n";
    return 2;
  }
}
