// The REST router without sockets: URL and body decoding, verbs, envelopes,
// the session check with an injected clock, and the DSAdmin metadata.
#include "remoting/rest_router.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <regex>

#include "remoting/remote_dispatch.h"
#include "remoting/remote_test_class.h"

namespace brevalon {
namespace {

namespace http = boost::beast::http;
namespace json = boost::json;
using namespace std::chrono_literals;

constexpr char kExpired[] =
    R"({"SessionExpired":"The specified session has expired due to inactivity or was an invalid Session ID"})";

class RestRouterTest : public ::testing::Test {
 protected:
  RestRouterTest() : Class(Methods.Build()), Sessions(MakeOptions()) {}

  SessionManager::Options MakeOptions() {
    SessionManager::Options o;
    o.Timeout = 1000ms;
    o.Now = [this] { return SessionManager::TimePoint(std::chrono::milliseconds(Clock.load())); };
    o.OnEnd = Class.OnDisconnect;
    return o;
  }

  RestResponse Call(http::verb verb, const std::string& target, const std::string& body = "",
                    const std::string& pragma = "") {
    RestRequest req(verb, target, 11);
    if (!pragma.empty()) req.set(http::field::pragma, pragma);
    req.body() = body;
    req.prepare_payload();
    return RouteRestRequest(req, RestContext{Class, Sessions});
  }

  // The session id a response carries, or "".
  static std::string SessionOf(const RestResponse& res) {
    return PragmaSession(res[http::field::pragma]);
  }

  testing::TestMethods Methods;
  ServerClass Class;
  std::atomic<long long> Clock{1000000};
  SessionManager Sessions;
};

struct Case {
  http::verb Verb;
  const char* Target;
  const char* Body;
  unsigned Status;
  const char* Answer;
};

TEST_F(RestRouterTest, DecodesUrlsBodiesAndVerbs) {
  const Case cases[] = {
      // Path segments, each percent-decoded after splitting; "+" is a plus.
      {http::verb::get, "/datasnap/rest/TTest/Types/abc/42/true/%7B%22a%22%3A1%7D/xyz", "", 200,
       R"({"result":[["abc",42,true,{"a":1},[120,121,122]]]})"},
      {http::verb::get, "/DataSnap/REST/ttest/TYPES/a", "", 200,
       R"({"result":[["a",null,null,null,null]]})"},
      {http::verb::get, "/datasnap/rest/TTest/Types/a+b%2Fc%20d", "", 200,
       R"({"result":[["a+b/c d",null,null,null,null]]})"},
      {http::verb::get, "/datasnap/rest/TTest/Types//-7", "", 200,
       R"({"result":[["",-7,null,null,null]]})"},
      {http::verb::get, "/datasnap/rest/TTest/Types/null/null/FALSE/null", "", 200,
       R"({"result":[[null,null,false,null,null]]})"},
      {http::verb::get, "/datasnap/rest/TTest/Types/a/", "", 200,
       R"({"result":[["a",null,null,null,null]]})"},
      {http::verb::get, "/datasnap/rest/TTest/Types/a?x=1", "", 200,
       R"({"result":[["a",null,null,null,null]]})"},
      // A GET body is ignored.
      {http::verb::get, "/datasnap/rest/TTest/Types/a", "{not json", 200,
       R"({"result":[["a",null,null,null,null]]})"},
      // Bodies: {"_parameters":[...]} fills the inputs after the URL's, one raw value fills the
      // next.
      {http::verb::post, "/datasnap/rest/TTest/%22Types%22/x",
       R"({"_parameters":[5,"true",{"k":[1]},"AB"]})", 200,
       R"({"result":[["x",5,true,{"k":[1]},[65,66]]]})"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'/x/1/1", R"( {"obj":1} )", 200,
       R"({"result":[["x",1,true,{"obj":1},null]]})"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'", R"("Base64+/==")", 200,
       R"({"result":[["Base64+/==",null,null,null,null]]})"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'/a/2/true/null", "[0,255]", 200,
       R"({"result":[["a",2,true,null,[0,255]]]})"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'/a", "", 200,
       R"({"result":[["a",null,null,null,null]]})"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'", R"({"_parameters":[12,"-3",0,null,null]})",
       200, R"({"result":[["12",-3,false,null,null]]})"},
      // Verbs choose the prefixed method unless the name is quoted.
      {http::verb::get, "/datasnap/rest/TTest/Thing/v", "", 200, R"({"result":["get:v"]})"},
      {http::verb::post, "/datasnap/rest/TTest/Thing/v", "", 200, R"({"result":["update:v"]})"},
      {http::verb::put, "/datasnap/rest/TTest/Thing/v", "", 201, R"({"result":["accept:v"]})"},
      {http::verb::delete_, "/datasnap/rest/TTest/Thing/v", "\"ignored\"", 200,
       R"({"result":["cancel:v"]})"},
      {http::verb::post, "/datasnap/rest/TTest/%22Thing%22/v", "", 200, R"({"result":["get:v"]})"},
      {http::verb::put, "/datasnap/rest/TTest/'Thing'", "\"w\"", 201, R"({"result":["get:w"]})"},
      // Out parameters in order, then the return value; var parameters are inputs and outputs.
      {http::verb::get, "/datasnap/rest/TTest/Echo/hello", "", 200,
       R"({"result":[5,"HELLO",{"text":"hello"}]})"},
      {http::verb::get, "/datasnap/rest/TTest/Echo", "", 200, R"({"result":[0,"",null]})"},
      {http::verb::get, "/datasnap/rest/TTest/Swap/1/2", "", 200, R"({"result":[2,1]})"},
      {http::verb::get, "/datasnap/rest/TTest/GetStream", "", 200,
       R"({"result":[[101,105,116,117,112],true]})"},
      // Non-ASCII answers are escaped; bad UTF-8 becomes U+FFFD.
      {http::verb::get, "/datasnap/rest/TTest/Echo/%D0%96%F0%9F%98%80", "", 200,
       R"({"result":[6,"\u0416\ud83d\ude00",{"text":"\u0416\ud83d\ude00"}]})"},
      {http::verb::get, "/datasnap/rest/TTest/Echo/%FFa", "", 200,
       R"({"result":[2,"\ufffdA",{"text":"\ufffda"}]})"},
      {http::verb::get, "/datasnap/rest/TTest/Fail", "", 500,
       R"({"error":"\u0421\u0431\u043e\u0439 \u043c\u0435\u0442\u043e\u0434\u0430"})"},
      {http::verb::get, "/datasnap/rest/CloseSession/", "", 200, R"({"result":[true]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(http::to_string(c.Verb)) + " " + c.Target);
    const RestResponse res = Call(c.Verb, c.Target, c.Body);
    EXPECT_EQ(res.result_int(), c.Status);
    EXPECT_EQ(res.body(), c.Answer);
    EXPECT_EQ(res[http::field::content_type], "application/json;charset=UTF-8");
  }
}

TEST_F(RestRouterTest, RejectsMalformedRequests) {
  const Case cases[] = {
      {http::verb::get, "/datasnap/rest/TTest/Nope", "", 500, "Nope"},
      {http::verb::get, "/datasnap/rest/Other/Echo", "", 500, "Other"},
      {http::verb::get, "/datasnap/rest/TTest", "", 500, "class and a method"},
      {http::verb::get, "/datasnap/rest/", "", 500, "class and a method"},
      {http::verb::get, "/datasnap/rest/TTest/Echo/a/b", "", 500, "Too many parameters"},
      {http::verb::post, "/datasnap/rest/TTest/'Echo'/a", "\"b\"", 500, "Too many parameters"},
      {http::verb::post, "/datasnap/rest/TTest/'Echo'", R"({"_parameters":[1,2]})", 500,
       "Too many parameters"},
      {http::verb::post, "/datasnap/rest/TTest/Echo/a", "", 500, "updateEcho"},
      {http::verb::get, "/datasnap/rest/TTest/Types/a/12x", "", 500, "Parameter I"},
      {http::verb::get, "/datasnap/rest/TTest/Types/a/2147483648", "", 500, "Parameter I"},
      {http::verb::get, "/datasnap/rest/TTest/Types/a/%2B", "", 500, "Parameter I"},
      {http::verb::get, "/datasnap/rest/TTest/Types/a/1/maybe", "", 500, "Parameter B"},
      {http::verb::get, "/datasnap/rest/TTest/Types/a/1/true/%7Bbad", "", 500, "Parameter J"},
      {http::verb::get, "/datasnap/rest/TTest/Types/%zz", "", 500, "percent"},
      {http::verb::get, "/datasnap/rest/TTest/Types/%4", "", 500, "percent"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'", "{not json", 500, "Malformed JSON"},
      // Numbers beyond a double would come back as "Infinity" (fuzzing finding).
      {http::verb::post, "/datasnap/rest/TTest/'Types'", R"({"_parameters":["a",1,true,[1e999]]})", 500,
       "Malformed JSON"},
      {http::verb::get, "/datasnap/rest/TTest/Types/a/1/true/-1.8e308", "", 500, "Parameter J"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'/a", "1.5", 500, "Parameter I"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'/a", R"({"_parameters":[[1]]})", 500,
       "Parameter I"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'", "{\"a\":1}", 500, "Parameter T"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'/a/1/true/null", "[300]", 500, "Parameter S"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'/a/1/true/null", "[1.0]", 500, "Parameter S"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'/a/1", "\"yes\"", 500, "Parameter B"},
      {http::verb::post, "/datasnap/rest/TTest/'Types'",
       "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]"
       "]]]]]]]]]]]]]]]]]"
       "]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
       500, "Malformed JSON"},
      {http::verb::get, "/other/TTest/Echo", "", 404, "Not found"},
      {http::verb::get, "/datasnapx/rest/TTest/Echo", "", 404, "Not found"},
      {http::verb::head, "/datasnap/rest/TTest/Echo", "", 501, "Unsupported"},
      {http::verb::options, "/datasnap/rest/TTest/Echo", "", 501, "Unsupported"},
      {http::verb::get, "/datasnap/rest/DSAdmin/Nope", "", 500, "Nope"},
      {http::verb::get, "/datasnap/rest/DSAdmin/ListMethods/Other", "", 500, "Other"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(http::to_string(c.Verb)) + " " + c.Target + " " + c.Body);
    const RestResponse res = Call(c.Verb, c.Target, c.Body);
    EXPECT_EQ(res.result_int(), c.Status);
    const auto answer = ParseJson(res.body());
    ASSERT_TRUE(answer && answer->is_object() && answer->as_object().contains("error"))
        << res.body();
    EXPECT_NE(std::string(answer->as_object().at("error").as_string()).find(c.Answer),
              std::string::npos)
        << res.body();
  }
  // None opened a session but the last: a DSAdmin call checks its argument itself.
  EXPECT_EQ(Sessions.Count(), 1u);
  EXPECT_EQ(Methods.Connects, 1);
}

TEST_F(RestRouterTest, SessionTravelsInPragmaAndQuery) {
  const RestResponse first = Call(http::verb::get, "/datasnap/rest/TTest/Echo/a");
  ASSERT_EQ(first.result_int(), 200u);
  const std::string id = SessionOf(first);
  EXPECT_TRUE(std::regex_match(id, std::regex(R"(\d+\.\d+\.\d+)"))) << id;
  EXPECT_EQ(first[http::field::pragma], "dssession=" + id + ",dssessionexpires=1000");
  EXPECT_EQ(Methods.Connects, 1);

  // The same session by Pragma (in any of the forms clients send), ?SESSIONID= or ?sid=.
  for (const std::string& pragma :
       {"dssession=" + id, "no-cache, dssession=" + id + ",dssessionexpires=5",
        "DSSESSION = " + id}) {
    const RestResponse res = Call(http::verb::get, "/datasnap/rest/TTest/Echo/b", "", pragma);
    EXPECT_EQ(SessionOf(res), id) << pragma;
  }
  EXPECT_EQ(SessionOf(Call(http::verb::get, "/datasnap/rest/TTest/Echo/b?SESSIONID=" + id)), id);
  EXPECT_EQ(SessionOf(Call(http::verb::get, "/datasnap/rest/TTest/Echo/b?x=&sid=" + id)), id);
  // The query wins over the header, both ways.
  EXPECT_EQ(SessionOf(Call(http::verb::get, "/datasnap/rest/TTest/Echo/b?sessionid=" + id, "",
                           "dssession=1.2.3")),
            id);
  const RestResponse lost =
      Call(http::verb::get, "/datasnap/rest/TTest/Echo/b?sid=1.2.3", "", "dssession=" + id);
  EXPECT_EQ(lost.result_int(), 403u);
  EXPECT_EQ(Sessions.Count(), 1u);
  EXPECT_EQ(Methods.Connects, 7);
  EXPECT_EQ(Methods.Probes().size(), 1u);  // one session, one stored object

  // Errors after the session check carry the session too.
  const RestResponse failed =
      Call(http::verb::get, "/datasnap/rest/TTest/Nope", "", "dssession=" + id);
  EXPECT_EQ(failed.result_int(), 500u);
  EXPECT_EQ(SessionOf(failed), id);
}

TEST_F(RestRouterTest, UnknownOrExpiredSessionIsForbidden) {
  for (const std::string& pragma : std::vector<std::string>{
           "dssession=1.2.3", "dssession=", "dssession=" + std::string(300, '9')}) {
    const RestResponse res = Call(http::verb::get, "/datasnap/rest/TTest/Echo/a", "", pragma);
    if (pragma == "dssession=") {
      EXPECT_EQ(res.result_int(), 200u);  // an empty id is no id: a new session
      continue;
    }
    EXPECT_EQ(res.result_int(), 403u);
    EXPECT_EQ(res.body(), kExpired);
    EXPECT_EQ(res.count(http::field::pragma), 0u);
  }
  const std::string id = SessionOf(Call(http::verb::get, "/datasnap/rest/TTest/Echo/a"));
  Clock += 999;
  EXPECT_EQ(
      Call(http::verb::get, "/datasnap/rest/TTest/Echo/a", "", "dssession=" + id).result_int(),
      200u);
  Clock += 1000;  // idle for the whole timeout
  const auto probes = Methods.Probes();
  ASSERT_EQ(probes.size(), 2u);
  EXPECT_EQ(probes[1]->Closed, 0);
  const RestResponse res =
      Call(http::verb::get, "/datasnap/rest/TTest/GetStream", "", "dssession=" + id);
  EXPECT_EQ(res.result_int(), 403u);
  EXPECT_EQ(res.body(), kExpired);
  EXPECT_EQ(res.count(http::field::pragma), 0u);
  EXPECT_EQ(probes[1]->Closed, 1);  // the session's objects went with it
  EXPECT_EQ(Methods.Ends, 1);
}

TEST_F(RestRouterTest, CloseSessionEndsTheSession) {
  const std::string id = SessionOf(Call(http::verb::get, "/datasnap/rest/TTest/Echo/a"));
  const RestResponse closed =
      Call(http::verb::get, "/datasnap/rest/CloseSession/", "", "dssession=" + id);
  EXPECT_EQ(closed.result_int(), 200u);
  EXPECT_EQ(closed.count(http::field::pragma), 0u);
  EXPECT_EQ(Methods.Probes().at(0)->Closed, 1);
  EXPECT_EQ(Sessions.Count(), 0u);
  EXPECT_EQ(
      Call(http::verb::get, "/datasnap/rest/TTest/Echo/a", "", "dssession=" + id).result_int(),
      403u);
  EXPECT_EQ(
      Call(http::verb::get, "/datasnap/rest/closesession", "", "dssession=" + id).result_int(),
      403u);
  const std::string fresh = SessionOf(Call(http::verb::get, "/datasnap/rest/TTest/Echo/a"));
  EXPECT_FALSE(fresh.empty());
  EXPECT_NE(fresh, id);
}

TEST_F(RestRouterTest, ConnectHandlerFailureIsAnError) {
  Class.OnConnect = [](DsSession&) { throw Exception("no worker"); };
  const RestResponse res = Call(http::verb::get, "/datasnap/rest/TTest/Echo/a");
  EXPECT_EQ(res.result_int(), 500u);
  EXPECT_EQ(res.body(), R"({"error":"no worker"})");
  EXPECT_FALSE(SessionOf(res).empty());
  EXPECT_TRUE(Methods.Probes().empty());
}

TEST_F(RestRouterTest, AdminPublishesMetadata) {
  const auto result = [&](const std::string& target, http::verb verb = http::verb::get) {
    const RestResponse res = Call(verb, target);
    EXPECT_EQ(res.result_int(), 200u) << target << " " << res.body();
    return json::parse(res.body()).at("result").as_array();
  };
  EXPECT_EQ(result("/datasnap/rest/DSAdmin/GetPlatformName"), json::array{"Linux"});
  // Never prefixed, whatever the verb.
  EXPECT_EQ(result("/datasnap/rest/dsadmin/getplatformname", http::verb::post),
            json::array{"Linux"});
  EXPECT_EQ(result("/datasnap/rest/DSAdmin/ListClasses"), json::parse(R"([["TTest"]])"));
  EXPECT_EQ(result("/datasnap/rest/DSAdmin/GetServerClasses"),
            json::parse(R"([[{"ClassName":"TTest","LifeCycle":"Session"}]])"));
  const json::array methods = result("/datasnap/rest/DSAdmin/ListMethods/ttest").at(0).as_array();
  ASSERT_GE(methods.size(), 3u);
  EXPECT_EQ(methods[0], "Echo");
  EXPECT_EQ(methods[1], "Types");
  EXPECT_EQ(result("/datasnap/rest/DSAdmin/GetServerMethods").at(0).as_array().at(0),
            json::parse(R"({"ClassName":"TTest","MethodName":"Echo","MethodAlias":"TTest.Echo"})"));
  const json::array params =
      result("/datasnap/rest/DSAdmin/GetServerMethodParameters").at(0).as_array();
  ASSERT_GE(params.size(), 4u);
  EXPECT_EQ(
      params[0],
      json::parse(
          R"({"MethodAlias":"TTest.Echo","Name":"Text","Direction":1,"DBXType":26,"TypeName":"String"})"));
  EXPECT_EQ(
      params[1],
      json::parse(
          R"({"MethodAlias":"TTest.Echo","Name":"Length","Direction":2,"DBXType":6,"TypeName":"Int32"})"));
  EXPECT_EQ(params[3].at("Direction"), 4);
  EXPECT_EQ(params[3].at("DBXType"), 37);
  const json::value described =
      result("/datasnap/rest/DSAdmin/DescribeMethod/TTest.GetStream").at(0);
  EXPECT_EQ(
      described,
      json::parse(R"({"ClassName":"TTest","MethodName":"GetStream","MethodAlias":"TTest.GetStream",
      "Parameters":[{"Name":"S","Direction":2,"DBXType":33,"TypeName":"Stream"},
                    {"Name":"ReturnParameter","Direction":4,"DBXType":4,"TypeName":"Boolean"}]})"));
  EXPECT_EQ(result("/datasnap/rest/DSAdmin/DescribeMethod/swap")
                .at(0)
                .at("Parameters")
                .at(0)
                .at("Direction"),
            3);
  EXPECT_EQ(result("/datasnap/rest/DSAdmin/DescribeClass/TTest").at(0).at("Methods").at(0), "Echo");
}

// ---- session manager

TEST(SessionManagerTest, LeasesKeepSessionsAndLateObjectsAreClosed) {
  std::atomic<long long> clock{0};
  SessionManager::Options o;
  o.Timeout = 100ms;
  o.Now = [&] { return SessionManager::TimePoint(std::chrono::milliseconds(clock.load())); };
  SessionManager sessions(o);

  auto http = sessions.Open(true);
  auto tcp = sessions.Open(false);
  const std::string httpId = http.Session().Id(), tcpId = tcp.Session().Id();
  EXPECT_NE(httpId, tcpId);
  http = {};
  tcp = {};
  // A session in use does not expire; idle time counts from the end of its last use.
  EXPECT_FALSE(sessions.Use(httpId, false));  // kinds do not mix
  EXPECT_FALSE(sessions.Use(tcpId, true));
  EXPECT_FALSE(sessions.End(tcpId, true));
  auto held = sessions.Use(httpId, true);
  clock += 500;
  EXPECT_EQ(sessions.ExpireIdle(), 0u);
  held = {};
  clock += 99;
  EXPECT_EQ(sessions.ExpireIdle(), 0u);
  clock += 1;
  EXPECT_EQ(sessions.ExpireIdle(), 1u);  // the TCP session never expires
  EXPECT_EQ(sessions.Count(), 1u);
  EXPECT_FALSE(sessions.Use(httpId, true));

  // Ended while a call runs: what the call stores afterwards is closed when it returns.
  auto call = sessions.Use(tcpId, false);
  auto before = std::make_shared<testing::Probe>();
  call.Session().FindOrCreate("a", [&] { return before; });
  EXPECT_TRUE(sessions.End(tcpId, false));
  EXPECT_EQ(before->Closed, 1);
  auto late = std::make_shared<testing::Probe>();
  call.Session().FindOrCreate("b", [&] { return late; });
  EXPECT_EQ(late->Closed, 0);
  call = {};
  EXPECT_EQ(late->Closed, 1);
  EXPECT_FALSE(sessions.End(tcpId, false));

  // The limit on live sessions.
  SessionManager::Options small = o;
  small.MaxSessions = 1;
  SessionManager few(small);
  auto one = few.Open(true);
  EXPECT_TRUE(one);
  EXPECT_FALSE(few.Open(true));
}

// The pool of HTTP sessions that never signed in: per client and overall,
// the least recently used idle one makes room; a signed-in session, a busy
// one and a TCP one are never shed.
TEST(SessionManagerTest, SessionsThatNeverSignedInAreShedOldestIdleFirst) {
  std::vector<std::string> entries;
  LimitLog limits([&](const std::string& e) { entries.push_back(e); }, std::chrono::hours(1));
  SessionManager::Options o;
  o.MaxUnsignedPerAddress = 3;
  o.MaxUnsigned = 5;
  o.Limits = &limits;
  SessionManager sessions(o);
  std::map<std::string, std::shared_ptr<testing::Probe>> probes;
  const auto open = [&](const std::string& address) {
    auto lease = sessions.Open(true, address);
    if (!lease) return std::string();
    auto probe = std::make_shared<testing::Probe>();
    lease.Session().FindOrCreate("p", [&] { return probe; });
    probes[lease.Session().Id()] = probe;
    return lease.Session().Id();
  };
  const auto shed = [&](const std::string& id) { return probes.at(id)->Closed == 1; };

  const std::string a1 = open("10.0.0.1"), a2 = open("10.0.0.1"), a3 = open("10.0.0.1");
  sessions.Use(a1, true) = {};  // a1 used again: a2 is now the oldest
  const std::string a4 = open("10.0.0.1");
  EXPECT_TRUE(shed(a2));
  EXPECT_FALSE(shed(a1) || shed(a3) || shed(a4));
  EXPECT_EQ(sessions.UnsignedCount(), 3u);

  {  // a3 signs in: it leaves the pool when its call ends, and stays for good
    auto call = sessions.Use(a3, true);
    call.Session().MarkSignedIn();
  }
  const std::string a5 = open("10.0.0.1"), a6 = open("10.0.0.1");
  EXPECT_TRUE(shed(a1));
  EXPECT_FALSE(shed(a3));
  EXPECT_EQ(sessions.UnsignedCount(), 3u);

  // Every one of the client's pool in a call: refused, nobody shed.
  auto b4 = sessions.Use(a4, true), b5 = sessions.Use(a5, true), b6 = sessions.Use(a6, true);
  auto refused = sessions.Open(true, "10.0.0.1");
  EXPECT_FALSE(refused);
  EXPECT_EQ(refused.Refused(), SessionManager::Refusal::TooManyUnsigned);
  EXPECT_FALSE(shed(a4) || shed(a5) || shed(a6));

  // The overall bound: another client's idle session goes, the busy ones stay.
  const std::string c1 = open("10.0.0.2"), c2 = open("10.0.0.2");
  EXPECT_EQ(sessions.UnsignedCount(), 5u);
  const std::string c3 = open("10.0.0.2");
  EXPECT_FALSE(c3.empty());
  EXPECT_TRUE(shed(c1));
  EXPECT_FALSE(shed(a4) || shed(c2) || shed(a3));

  // TCP sessions are bounded by their connections, not by the pool.
  std::vector<SessionManager::Lease> tcp;
  for (int i = 0; i < 10; ++i) tcp.push_back(sessions.Open(false, "10.0.0.1"));
  for (auto& t : tcp) EXPECT_TRUE(t);
  EXPECT_EQ(sessions.UnsignedCount(), 5u);

  EXPECT_EQ(limits.Count(LimitKind::UnsignedShed), 3u);
  EXPECT_EQ(limits.Count(LimitKind::UnsignedSessions), 1u);
  EXPECT_EQ(entries.size(), 2u) << "one entry per kind within the interval";
}

TEST(SessionManagerTest, AtTheSessionLimitOnlySessionsThatNeverSignedInMakeRoom) {
  SessionManager::Options o;
  o.MaxSessions = 2;
  SessionManager sessions(o);
  auto signedIn = sessions.Open(true, "10.0.0.1");
  signedIn.Session().MarkSignedIn();
  const std::string keep = signedIn.Session().Id();
  signedIn = {};
  const std::string idle = sessions.Open(true, "10.0.0.2").Session().Id();
  auto third = sessions.Open(true, "10.0.0.3");  // the idle unsigned one goes
  ASSERT_TRUE(third);
  EXPECT_FALSE(sessions.Use(idle, true));
  EXPECT_TRUE(sessions.Use(keep, true));
  auto fourth = sessions.Open(true, "10.0.0.4");  // the third is busy, the first signed in
  EXPECT_FALSE(fourth);
  EXPECT_EQ(fourth.Refused(), SessionManager::Refusal::TooManySessions);
  EXPECT_TRUE(sessions.Use(keep, true));
}

TEST(LimitLogTest, OneEntryPerKindAnIntervalWithTheCountOfTheRest) {
  std::vector<std::string> entries;
  long long ms = 0;
  LimitLog log([&](const std::string& e) { entries.push_back(e); }, std::chrono::seconds(60),
               [&] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms)); });
  log.Hit(LimitKind::Sessions, "200000 live");
  log.Hit(LimitKind::Sessions);
  log.Hit(LimitKind::Sessions);
  log.Hit(LimitKind::Connections, "10.0.0.1");
  ms += 60000;
  log.Hit(LimitKind::Sessions);
  EXPECT_EQ(entries, (std::vector<std::string>{
                         "Limit reached: too many sessions (200000 live)",
                         "Limit reached: too many connections (10.0.0.1)",
                         "Limit reached: too many sessions; 2 more since the last entry of this kind"}));
  EXPECT_EQ(log.Count(LimitKind::Sessions), 4u);
  EXPECT_EQ(log.Count(LimitKind::CallQueue), 0u);
}

TEST(ClientKeyTest, IPv4AsItIsIPv6ByItsNetwork) {
  const std::pair<const char*, const char*> cases[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"::ffff:10.1.2.3", "10.1.2.3"},
      {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
      {"2001:db8:1:2:ffff::1", "2001:db8:1:2::/64"},
      {"::1", "::/64"},
      {"", ""},
      {"not an address", "not an address"},
  };
  for (const auto& [address, key] : cases) EXPECT_EQ(ClientKey(address), key) << address;
}

}  // namespace
}  // namespace brevalon
