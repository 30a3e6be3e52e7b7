// The TCP transport's line handling without sockets, and the call pool that
// both transports hand their calls to.
#include "remoting/tcp_transport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <latch>

#include "remoting/call_pool.h"
#include "remoting/remote_dispatch.h"
#include "remoting/remote_test_class.h"

namespace brevalon {
namespace {

using namespace std::chrono_literals;

TEST(TcpLineTest, AnswersRequestLines) {
  testing::TestMethods methods;
  const ServerClass c = methods.Build();
  DsSession session("1.2.3");
  const std::pair<const char*, const char*> cases[] = {
      {R"({"method":"Echo","params":["abc"]})", R"({"result":[3,"ABC",{"text":"abc"}]})"},
      {R"({"method":"ECHO"})", R"({"result":[0,"",null]})"},
      {R"({"params":null,"method":"Echo"})", R"({"result":[0,"",null]})"},
      {R"({"method":"TTest.Types","params":["a",7,"true",[1],"z"],"id":9})",
       R"({"result":[["a",7,true,[1],[122]]]})"},
      {R"({"method":"Types","params":[null,"-2",false,null,[0]]})",
       R"({"result":[[null,-2,false,null,[0]]]})"},
      {R"({"method":"Swap","params":[5,6]})", R"({"result":[6,5]})"},
      {R"({"method":"GetStream","params":[]})", R"({"result":[[101,105,116,117,112],true]})"},
      {R"({"method":"DSAdmin.DescribeMethod","params":["Fail"]})",
       R"({"result":[{"ClassName":"TTest","MethodName":"Fail","MethodAlias":"TTest.Fail","Parameters":[]}]})"},
      {"{\"method\":\"Echo\",\"params\":[\"\xF0\x9F\x98\x80\"]}",
       R"({"result":[4,"\ud83d\ude00",{"text":"\ud83d\ude00"}]})"},
      {R"({"method":"Fail"})",
       R"({"error":"\u0421\u0431\u043e\u0439 \u043c\u0435\u0442\u043e\u0434\u0430"})"},
  };
  for (const auto& [line, answer] : cases)
    EXPECT_EQ(HandleTcpLine(line, c, session), answer) << line;
}

TEST(TcpLineTest, RejectsMalformedLines) {
  testing::TestMethods methods;
  const ServerClass c = methods.Build();
  DsSession session("1.2.3");
  const std::pair<std::string, const char*> cases[] = {
      {"", "JSON object"},
      {"{bad", "JSON object"},
      {"[1,2]", "JSON object"},
      {"\"Echo\"", "JSON object"},
      {R"({"params":[]})", "method"},
      {R"({"method":""})", "method"},
      {R"({"method":5})", "method"},
      {R"({"method":"Echo","params":"abc"})", "params"},
      {R"({"method":"Echo","params":["a","b"]})", "Too many parameters"},
      {R"({"method":"Nope"})", "Nope"},
      {R"({"method":"Other.Echo"})", "Other"},
      {R"({"method":".Echo"})", "class"},
      {R"({"method":"Types","params":[{}]})", "Parameter T"},
      {R"({"method":"Types","params":["a",2147483648]})", "Parameter I"},
      {R"({"method":"Types","params":["a",1,2]})", "Parameter B"},
      {R"({"method":"Types","params":["a",1,true,null,[-1]]})", "Parameter S"},
      {"{\"method\":\"Echo\",\"params\":[\"\xFF\"]}", "JSON object"},  // not UTF-8
      {std::string(100, '[') + std::string(100, ']'), "JSON object"},
  };
  for (const auto& [line, fragment] : cases) {
    const std::string answer = HandleTcpLine(line, c, session);
    const auto v = ParseJson(answer);
    ASSERT_TRUE(v && v->is_object() && v->as_object().contains("error"))
        << line << " -> " << answer;
    EXPECT_NE(answer.find(fragment), std::string::npos) << line << " -> " << answer;
  }
}

TEST(CallPoolTest, BlockedTasksNeverHoldUpOthers) {
  constexpr int kTasks = 40;
  std::atomic<int> done{0};
  {
    CallPool pool(CallPool::Options{2, 64, 50ms});
    // Each task waits until every task has started: this finishes only if
    // the pool gives each its own thread.
    std::latch started(kTasks);
    for (int i = 0; i < kTasks; ++i) {
      pool.Post([&] {
        started.count_down();
        started.wait();
        ++done;
      });
    }
    started.wait();
    // Idle threads retire down to the minimum.
    for (int i = 0; i < 400 && pool.ThreadCount() > 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(pool.ThreadCount(), 2u);
    pool.Post([&] { ++done; });
  }
  // The destructor ran the queued task and joined every thread.
  EXPECT_EQ(done, kTasks + 1);
}

TEST(CallPoolTest, NewCallsBeyondTheQueueBoundAreRefusedWorkThatMustHappenIsNot) {
  std::latch started(1), release(1);
  std::atomic<int> done{0};
  {
    CallPool pool(CallPool::Options{1, 1, 10s, 2});
    ASSERT_TRUE(pool.TryPost([&] {
      started.count_down();
      release.wait();
      ++done;
    }));
    started.wait();  // the one thread is busy, nothing waits
    EXPECT_TRUE(pool.TryPost([&] { ++done; }));
    EXPECT_TRUE(pool.TryPost([&] { ++done; }));
    EXPECT_FALSE(pool.TryPost([&] { ++done; })) << "two wait already";
    pool.Post([&] { ++done; });  // always queued
    release.count_down();
  }
  EXPECT_EQ(done, 4);
}

}  // namespace
}  // namespace brevalon
