#include "backup/scrt/make_nothrow.h"
#include "backup/scrt/scoped_deleter.h"

#include "tests/support/log_capture.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

namespace {

TEST(Scoped_Deleter, RunsOnceInReverseOrderUnlessReleased)
{
  std::vector<std::string> ran;
  {
    auto exit_guard = make_deleter([&] { ran.push_back("exit"); });
    auto cleanup = make_deleter([&] { ran.push_back("cleanup"); });
    auto skipped = make_deleter([&] { ran.push_back("skipped"); });
    auto early = make_deleter([&] { ran.push_back("early"); });
    skipped.release();
    early.reset();
    EXPECT_FALSE(early.armed());
    early.reset();  // a step runs at most once
    EXPECT_EQ(ran, (std::vector<std::string>{"early"}));
  }
  EXPECT_EQ(ran, (std::vector<std::string>{"early", "cleanup", "exit"}));

  int count = 0;
  {
    auto first = make_deleter([&] { ++count; });
    auto moved = std::move(first);  // the moved-from guard no longer runs the step
  }
  EXPECT_EQ(count, 1);

  // A named callable is copied into the guard.
  std::function<void()> step = [&] { ++count; };
  {
    auto g = make_deleter(step);
  }
  EXPECT_EQ(count, 2);
}

TEST(Scoped_Deleter, ThrowingStepIsLoggedAndDoesNotEndTheProgram)
{
  Log_Capture log(true);
  bool after = false;
  {
    auto later = make_deleter([&] { after = true; });
    auto failing = make_deleter([] { throw std::runtime_error("cannot remove snapshot"); });
  }
  EXPECT_TRUE(after);
  EXPECT_EQ(log.texts(LM_ERROR),
            (std::vector<std::string>{"Clean-up step failed with exception: cannot remove snapshot\n"}));
}

struct Exhausted {
  static void* operator new(std::size_t, const std::nothrow_t&) noexcept { return nullptr; }
  static void operator delete(void* p) noexcept { ::operator delete(p); }
};

struct Throws_Bad_Alloc {
  Throws_Bad_Alloc() { throw std::bad_alloc(); }
};

struct Throws_Other {
  Throws_Other() { throw std::logic_error("ctor"); }
};

TEST(Make_Nothrow, ValueInitialisesAndReportsExhaustionAsEmpty)
{
  auto zero = make_unique_nothrow<int>();
  ASSERT_NE(zero, nullptr);
  EXPECT_EQ(*zero, 0);
  auto text = make_unique_nothrow<std::string>(3, 'x');
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(*text, "xxx");

  int called = 0;
  std::function<void()> f = [&] { ++called; };
  auto fn = make_unique_nothrow<std::function<void()>>(std::move(f));
  ASSERT_NE(fn, nullptr);
  (*fn)();
  EXPECT_EQ(called, 1);

  ACE_Thread_Mutex mutex;
  {
    auto guard = make_unique_nothrow<ACE_Guard<ACE_Thread_Mutex>>(mutex, false);
    ASSERT_NE(guard, nullptr);
    EXPECT_TRUE(guard->locked());
    // A second, non-blocking guard on the held mutex does not get it.
    std::thread([&mutex] {
      auto other = make_unique_nothrow<ACE_Guard<ACE_Thread_Mutex>>(mutex, false);
      EXPECT_FALSE(other->locked());
    }).join();
  }

  EXPECT_EQ(make_unique_nothrow<Exhausted>(), nullptr);

  auto shared = make_shared_nothrow<std::string>();
  ASSERT_NE(shared, nullptr);
  EXPECT_TRUE(shared->empty());
  EXPECT_EQ(make_shared_nothrow<Throws_Bad_Alloc>(), nullptr);
  EXPECT_THROW(make_shared_nothrow<Throws_Other>(), std::logic_error);
}

}  // namespace
