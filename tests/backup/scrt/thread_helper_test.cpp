#include "backup/scrt/thread_helper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include "tests/support/log_capture.h"

namespace {

// A gate a thread waits at until the test opens it.
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

struct Worker {
  std::atomic<int> runs{0};
  Gate* gate = nullptr;
  void work()
  {
    if (gate != nullptr)
      gate->wait();
    ++runs;
  }
};

TEST(Thread_Helper, DetachedHelperMayGoAtOnceAndTheThreadStillRuns)
{
  auto done = std::make_shared<std::promise<int>>();
  std::future<int> result = done->get_future();
  Gate gate;
  {
    Thread_Helper helper(THR_NEW_LWP | THR_DETACHED | THR_INHERIT_SCHED);
    ASSERT_GE(helper.spawn([done, &gate]() {
      gate.wait();
      done->set_value(7);
    }),
              0);
    EXPECT_FALSE(helper.exists());
    EXPECT_FALSE(helper.running());
  }  // destroyed while its thread waits at the gate: no join
  gate.open();
  EXPECT_EQ(result.get(), 7);
  ACE_Thread_Manager::instance()->wait();  // the detached thread has left ACE's books
}

TEST(Thread_Helper, JoinableRefusesASecondThreadWhileRunning)
{
  Gate gate;
  Worker w;
  w.gate = &gate;
  Thread_Helper helper;
  ASSERT_GE(helper.spawn(&Worker::work, &w), 0);
  EXPECT_TRUE(helper.exists());
  EXPECT_TRUE(helper.running());
  EXPECT_EQ(helper.spawn(&Worker::work, &w), -1);  // nothing started
  gate.open();
  helper.join();
  EXPECT_FALSE(helper.exists());
  EXPECT_EQ(w.runs.load(), 1);

  // After the thread ended, spawn joins it first and starts a new one.
  w.gate = nullptr;
  ASSERT_GE(helper.spawn(&Worker::work, &w), 0);
  while (helper.running()) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(helper.exists());  // ended, not yet joined
  ASSERT_GE(helper.spawn(&Worker::work, &w), 0);
  helper.join();
  EXPECT_EQ(w.runs.load(), 3);
}

TEST(Thread_Helper, DestructorJoinsTheThread)
{
  Worker w;
  {
    Thread_Helper helper;
    ASSERT_GE(helper.spawn(&Worker::work, &w), 0);
  }
  EXPECT_EQ(w.runs.load(), 1);
}

class Starting_Helper : public Thread_Helper {
public:
  std::atomic<bool> started_first{false};
  std::atomic<bool> ran{false};

protected:
  void handle_starting() override { started_first = !ran.load(); }
};

TEST(Thread_Helper, StartingHookRunsFirstOnTheNewThread)
{
  Starting_Helper helper;
  ASSERT_GE(helper.spawn([&helper]() { helper.ran = true; }), 0);
  helper.join();
  EXPECT_TRUE(helper.started_first.load());
  EXPECT_TRUE(helper.ran.load());
}

}  // namespace
