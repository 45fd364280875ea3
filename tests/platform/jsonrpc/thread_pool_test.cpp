#include "platform/jsonrpc/thread_pool.h"

#include <gtest/gtest.h>

#include <ace/OS_NS_sys_time.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace {

class Gate {
public:
  void open()
  {
    std::lock_guard<std::mutex> lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  void wait()
  {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return open_; });
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Runs on the single worker until the gate opens, so that what is queued meanwhile waits.
struct Blocker {
  Gate gate;
  Gate entered;
  void operator()()
  {
    entered.open();
    gate.wait();
  }
};

TEST(Thread_Pool_Helper, RefusesWithoutWorkerThreads)
{
  Thread_Pool_Helper pool;
  Log_Capture log(true);
  bool ran = false;
  EXPECT_EQ(pool.putq([&ran]() { ran = true; }, false, nullptr), -1);
  EXPECT_EQ(pool.schedule(nullptr, [&ran]() { ran = true; }), -1);
  EXPECT_EQ(log.texts(LM_ERROR),
            (std::vector<std::string>{"No active worker thread!\n", "No active worker thread!\n"}));
  EXPECT_FALSE(ran);
}

TEST(Thread_Pool_Helper, FirstGoesToTheHeadOfTheQueue)
{
  Thread_Pool_Helper pool;
  ASSERT_EQ(pool.open(1), 0);
  Blocker blocker;
  ASSERT_GT(pool.schedule(nullptr, [&blocker]() { blocker(); }), 0);
  blocker.entered.wait();

  std::mutex m;
  std::vector<std::string> order;
  auto note = [&](const char* what) {
    return [&m, &order, what]() {
      std::lock_guard<std::mutex> lock(m);
      order.push_back(what);
    };
  };
  EXPECT_GT(pool.putq(note("a"), false, nullptr), 0);
  EXPECT_GT(pool.schedule(nullptr, note("b")), 0);
  EXPECT_GT(pool.putq(note("c"), true, nullptr), 0);
  blocker.gate.open();
  EXPECT_EQ(pool.close_pool(), 0);  // the queued callables still run
  EXPECT_EQ(order, (std::vector<std::string>{"c", "a", "b"}));
}

TEST(Thread_Pool_Helper, FullQueueTimesOutWithTheSchedulingFailure)
{
  Thread_Pool_Helper pool("test", 1);
  ASSERT_EQ(pool.open(1), 0);
  Blocker blocker;
  ASSERT_GT(pool.schedule(nullptr, [&blocker]() { blocker(); }), 0);
  blocker.entered.wait();
  ASSERT_GT(pool.schedule(nullptr, []() {}), 0);  // fills the queue

  Log_Capture log(true);
  ACE_Time_Value already_passed = ACE_OS::gettimeofday();
  bool ran = false;
  EXPECT_EQ(pool.putq([&ran]() { ran = true; }, false, &already_passed), -1);
  EXPECT_EQ(pool.putq([&ran]() { ran = true; }, true, &already_passed), -1);
  std::string expected = std::string("Failed to schedule task, errno=") +
                         std::to_string(EWOULDBLOCK) + ", " + std::strerror(EWOULDBLOCK) + "\n";
  EXPECT_EQ(log.texts(LM_ERROR), (std::vector<std::string>{expected, expected}));
  blocker.gate.open();
  EXPECT_EQ(pool.close_pool(), 0);
  EXPECT_FALSE(ran);
}

TEST(JSON_RPC_Thread_Pool, ScheduleWithoutPoolIsACheckFailure)
{
  JSON_RPC_Thread_Pool* tp = JSON_RPC_Thread_Pool::instance();
  ASSERT_EQ(tp, JSON_RPC_Thread_Pool::instance());
  ASSERT_FALSE(tp->pool_);
  Log_Capture log(true);
  EXPECT_EQ(tp->schedule(nullptr, []() {}), -1);
  std::vector<std::string> lines = log.texts(LM_EMERGENCY);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Unexpected error in platform/jsonrpc/thread_pool.cpp:", 0), 0u);
  EXPECT_NE(lines[0].find(", pool_ is NULL:\n"), std::string::npos) << lines[0];

  ASSERT_EQ(tp->open(2), 0);
  EXPECT_EQ(tp->open(2), -1);  // already open
  std::mutex m;
  std::condition_variable cv;
  int done = 0;
  for (int i = 0; i < 8; ++i) {
    ASSERT_GT(tp->schedule(nullptr,
                           [&]() {
                             std::lock_guard<std::mutex> lock(m);
                             ++done;
                             cv.notify_all();
                           }),
              0);
  }
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done == 8; });
  }
  EXPECT_EQ(tp->close(), 0);
  EXPECT_FALSE(tp->pool_);
}

}  // namespace
