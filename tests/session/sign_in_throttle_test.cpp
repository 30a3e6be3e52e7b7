#include "session/sign_in_throttle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace brevalon {
namespace {

using std::chrono::seconds;

class SignInThrottleTest : public ::testing::Test {
 protected:
  SignInThrottleTest()
      : throttle(
            [this] {
              SignInThrottleOptions o;
              o.Now = [this] { return std::chrono::steady_clock::time_point(seconds(now)); };
              return o;
            }(),
            [this](const std::string& e) { entries.push_back(e); }) {}

  // How long `user` from `client` waits now; 0 = may try (the attempt is
  // then given up again).
  long long Wait(const std::string& user, const std::string& client) {
    const auto w = throttle.Begin(user, client);
    if (!w) throttle.Abandoned(user, client);
    return w ? w->count() : 0;
  }
  // Attempts that the servers refuse.
  void Fail(const std::string& user, const std::string& client, int times = 1) {
    for (int i = 0; i < times; ++i) {
      ASSERT_FALSE(throttle.Begin(user, client)) << "attempt " << i << " was held back";
      throttle.Failed(user, client);
    }
  }

  long long now = 1000000;
  std::vector<std::string> entries;
  SignInThrottle throttle;
};

TEST_F(SignInThrottleTest, OneNameFromOneClientIsHeldForLongerEachTime) {
  Fail("ivanov", "10.0.0.1", 4);
  EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 0) << "four failures are a user's typing";
  Fail("ivanov", "10.0.0.1");
  EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 30);
  EXPECT_EQ(Wait("IVANOV", "10.0.0.1"), 30) << "names compare without regard to case";
  EXPECT_EQ(Wait("ivanov", "10.0.0.2"), 0) << "the same user elsewhere is not held";
  EXPECT_EQ(Wait("petrova", "10.0.0.1"), 0) << "another user from here is not held";
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0],
            "Sign-in throttled for 30 s: 5 failed sign-ins of user \"ivanov\" from 10.0.0.1 within 900 s");

  // Each further failure once a lock is over locks again, twice as long.
  for (long long period : {60, 120, 240, 480}) {
    now += Wait("ivanov", "10.0.0.1");
    EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 0);
    Fail("ivanov", "10.0.0.1");
    EXPECT_EQ(Wait("ivanov", "10.0.0.1"), period);
  }
  // The window slides: the first failures have left it, so it takes two
  // more now, and then the lock is the longest there is.
  now += 480;
  Fail("ivanov", "10.0.0.1");
  EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 0);
  Fail("ivanov", "10.0.0.1");
  EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 900);
  now += 900;
  Fail("ivanov", "10.0.0.1", 5);
  EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 900) << "never longer than the bound";
  // A whole window without failures after the last lock forgets it all.
  now += 900 + 900;
  Fail("ivanov", "10.0.0.1", 4);
  EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 0);
  Fail("ivanov", "10.0.0.1");
  EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 30);
}

TEST_F(SignInThrottleTest, ASuccessClearsItsNameButNotWhatTheClientDidToOthers) {
  Fail("ivanov", "10.0.0.1", 4);
  throttle.Succeeded("ivanov", "10.0.0.1");
  Fail("ivanov", "10.0.0.1", 4);
  EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 0) << "the count started again";

  // Many names from one client: the client is held whatever name it tries.
  for (int i = 0; i < 26; ++i) Fail("user" + std::to_string(i), "10.0.0.9");
  EXPECT_EQ(Wait("somebody", "10.0.0.9"), 0);
  throttle.Succeeded("user0", "10.0.0.9");
  for (int i = 26; i < 30; ++i) Fail("user" + std::to_string(i), "10.0.0.9");
  EXPECT_EQ(Wait("somebody", "10.0.0.9"), 30);
  EXPECT_EQ(Wait("somebody", "10.0.0.8"), 0);
}

TEST_F(SignInThrottleTest, ANameGuessedFromEverywhereIsHeldBrieflyExceptWhereItSignedIn) {
  throttle.Succeeded("ivanov", "10.0.0.100");  // the real user's phone
  for (int i = 0; i < 20; ++i) Fail("ivanov", "10.1.0." + std::to_string(i));
  EXPECT_EQ(Wait("ivanov", "10.2.0.1"), 30) << "a new client is held";
  EXPECT_EQ(Wait("ivanov", "10.0.0.100"), 0) << "where the name signed in it is not";
  EXPECT_EQ(Wait("petrova", "10.2.0.1"), 0);
  // However long it goes on, a name is held for at most two minutes at a time.
  for (int round = 0; round < 6; ++round) {
    now += Wait("ivanov", "10.2.0.1");
    Fail("ivanov", "10.3.0." + std::to_string(round));
  }
  EXPECT_EQ(Wait("ivanov", "10.2.0.1"), 120);
  EXPECT_EQ(entries.back(),
            "Sign-in throttled for 120 s: 20 failed sign-ins of user \"ivanov\" from any address "
            "within 900 s");
}

TEST_F(SignInThrottleTest, WhatTheNetworkSaysIsShownSafelyAndMemoryIsBounded) {
  Fail("a\nb\x7f" + std::string(100, 'x'), "10.0.0.1", 5);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].find('\n'), std::string::npos);
  EXPECT_NE(entries[0].find("a?b?xxx"), std::string::npos);
  EXPECT_NE(entries[0].find("...\" from"), std::string::npos);

  SignInThrottleOptions small;
  small.MaxEntries = 100;
  SignInThrottle bounded(small);
  for (int i = 0; i < 5000; ++i) {
    bounded.Begin("name" + std::to_string(i), "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250));
    bounded.Failed("name" + std::to_string(i), "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250));
    bounded.Succeeded("ok" + std::to_string(i), "10.9.0.1");
  }
  EXPECT_LE(bounded.Entries(), 200u);
}

TEST_F(SignInThrottleTest, AttemptsUnderWayCountSoThatParallelGuessesGetNoFurther) {
  // As many may be under way as may still fail; the next one waits for one
  // of them to end, and is then let through.
  const auto waitInAThread = [&](std::atomic<bool>& admitted) {
    return std::thread([&] {
      admitted = !throttle.Begin("ivanov", "10.0.0.1");
      if (admitted) throttle.Succeeded("ivanov", "10.0.0.1");
    });
  };
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(throttle.Begin("ivanov", "10.0.0.1"));
  std::atomic<bool> sixth{false};
  std::thread waiter = waitInAThread(sixth);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(sixth.load()) << "it waits while five are under way";
  EXPECT_FALSE(throttle.Begin("ivanov", "10.0.0.2")) << "not from elsewhere";
  throttle.Abandoned("ivanov", "10.0.0.2");
  throttle.Succeeded("ivanov", "10.0.0.1");
  waiter.join();
  EXPECT_TRUE(sixth.load());
  for (int i = 0; i < 4; ++i) throttle.Succeeded("ivanov", "10.0.0.1");

  // After a failure the room is smaller by it; a lost connection judged
  // nothing and makes room.
  EXPECT_FALSE(throttle.Begin("ivanov", "10.0.0.1"));
  throttle.Failed("ivanov", "10.0.0.1");
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(throttle.Begin("ivanov", "10.0.0.1"));
  std::atomic<bool> next{false};
  waiter = waitInAThread(next);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(next.load());
  throttle.Abandoned("ivanov", "10.0.0.1");
  waiter.join();
  EXPECT_TRUE(next.load()) << "and its success cleared the name";
  for (int i = 0; i < 3; ++i) throttle.Failed("ivanov", "10.0.0.1");
  EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 0) << "three failures since the success";
  Fail("ivanov", "10.0.0.1", 2);
  EXPECT_EQ(Wait("ivanov", "10.0.0.1"), 30) << "the fifth locks";
}

TEST_F(SignInThrottleTest, OffMeansNeverHeld) {
  SignInThrottleOptions off;
  off.Enabled = false;
  SignInThrottle none(off);
  for (int i = 0; i < 100; ++i) {
    EXPECT_FALSE(none.Begin("ivanov", "10.0.0.1"));
    none.Failed("ivanov", "10.0.0.1");
  }
  EXPECT_EQ(ThrottledMessage(seconds(30)), "Слишком много неудачных попыток входа. Повторите попытку через 30 с.");
}

}  // namespace
}  // namespace brevalon
