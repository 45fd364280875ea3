#include "backup/models/task/thread_task_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/log_capture.h"

namespace {

// A hang guard: runs `fn` and gives up (failing the whole program) when it has not
// returned after `seconds`. A scheduler that deadlocks must not hang the test run.
template <typename Fn>
auto within(int seconds, Fn fn) -> decltype(fn())
{
  auto result = std::async(std::launch::async, fn);
  if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << "did not finish within " << seconds << " s";
    std::fprintf(stderr, "hang detected, aborting\n");
    std::_Exit(2);
  }
  return result.get();
}

struct Item {
  std::string name;
};

typedef Thread_Task_Scheduler<Item> Scheduler;
typedef Scheduler::Thread_Task_Impl Task;

// Records the order in which tasks are handed to the workers.
class Recording_Strategy : public Queue_Strategy<Task> {
public:
  bool enqueue_able_i(Task&) override { return true; }
  bool dequeue_able_i(Task&) override { return true; }
  void notify_enqueued_i(Task&) override {}
  void notify_dequeued_i(Task& task) override
  {
    std::lock_guard<std::mutex> lock(m_);
    order_.push_back(task.name());
    cv_.notify_all();
  }
  void notify_finished_i(Task&) override {}

  std::vector<std::string> order() const
  {
    std::lock_guard<std::mutex> lock(m_);
    return order_;
  }

private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> order_;
};

Recording_Strategy* add_recorder(Scheduler& s)
{
  Recording_Strategy* r = new Recording_Strategy;
  s.scheduler().strategy().add(std::unique_ptr<Queue_Strategy<Task>>(r));
  return r;
}

std::shared_ptr<Item> item(const std::string& name)
{
  return std::make_shared<Item>(Item{name});
}

class Gate {
public:
  void open()
  {
    std::lock_guard<std::mutex> lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  bool wait(int seconds = 60)
  {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return open_; });
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

std::string counters_line(const Log_Capture& log)
{
  for (const std::string& t : log.texts(LM_DEBUG))
    if (t.compare(0, 10, "Enqueued: ") == 0)
      return t;
  return std::string();
}

}  // namespace

TEST(Thread_Task_Scheduler, ActivateRefusesNoThreadsAndASecondCall)
{
  Log_Capture log(true);
  Scheduler s(1024);
  auto fn = [](const std::shared_ptr<Item>&) { return Task_Base::CODE_SUCCESS; };
  EXPECT_FALSE(s.activate(0, fn));
  std::vector<std::string> emergencies = log.texts(LM_EMERGENCY);
  ASSERT_EQ(emergencies.size(), 1u);
  EXPECT_EQ(emergencies[0].rfind("Unexpected error in backup/models/task/thread_task_scheduler.h:", 0), 0u)
      << emergencies[0];
  EXPECT_NE(emergencies[0].find(", n_worker_threads(0) < 1:\n"), std::string::npos) << emergencies[0];
  EXPECT_TRUE(log.texts(LM_DEBUG).empty()) << "no thread may start";

  EXPECT_TRUE(s.activate(1, fn));
  log.clear();
  EXPECT_FALSE(s.activate(1, fn));
  emergencies = log.texts(LM_EMERGENCY);
  ASSERT_EQ(emergencies.size(), 1u);
  EXPECT_NE(emergencies[0].find(", worker_ is true:\n"), std::string::npos) << emergencies[0];
  EXPECT_TRUE(within(60, [&] { return s.wait(); }));
}

TEST(Thread_Task_Scheduler, NothingQueuedEndsAtOnce)
{
  Log_Capture log(true);
  Scheduler s(1024);
  ASSERT_TRUE(s.activate(2, [](const std::shared_ptr<Item>&) { return Task_Base::CODE_SUCCESS; }));
  EXPECT_TRUE(within(60, [&] { return s.wait(); }));
  EXPECT_EQ(counters_line(log), "Enqueued: 0, succeeded: 0, failed: 0, pending: 0.\n");
  EXPECT_FALSE(s.enqueue_task(item("late"), nullptr, 0, "late", nullptr)) << "stopped after the run";
}

TEST(Thread_Task_Scheduler, NullParamsAreRefused)
{
  Log_Capture log(true);
  Scheduler s(1024);
  EXPECT_FALSE(s.enqueue_task(nullptr, "a", 0, "x", nullptr));
  ASSERT_EQ(log.texts(LM_EMERGENCY).size(), 1u);
  EXPECT_NE(log.texts(LM_EMERGENCY)[0].find(", params is NULL:\n"), std::string::npos);
}

TEST(Thread_Task_Scheduler, QueueHoldsAtMostItsCapacity)
{
  Log_Capture log(true);
  Scheduler s(1024);
  for (int i = 0; i < 1024; ++i)
    ASSERT_TRUE(s.enqueue_task(item("t"), nullptr, 0, "t", nullptr)) << i;
  EXPECT_FALSE(s.enqueue_task(item("t"), nullptr, 0, "over", nullptr));
  EXPECT_EQ(log.texts(LM_ERROR),
            (std::vector<std::string>{"Failed to enqueue task, id: 1025, name: over, count: 0.\n"}));
}

// Owners are visited in ascending order, one task each per pass, lowest id first.
TEST(Thread_Task_Scheduler, DispatchOrderFollowsOwnersAndIds)
{
  struct Case {
    int threads;
    std::vector<std::string> expected_prefix;
  };
  const Case cases[] = {
      {1, {"a1", "a2", "a3", "b1", "b2", "b3"}},  // every pass starts at owner a
      {2, {"a1", "b1"}},                          // the first pass hands out one of each
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.threads);
    Log_Capture log(true);
    Scheduler s(1024);
    Recording_Strategy* rec = add_recorder(s);
    // Queued b before a: the owner order, not the queuing order, decides.
    for (const char* n : {"b1", "b2", "b3"})
      ASSERT_TRUE(s.enqueue_task(item(n), "b", 0, n, nullptr));
    for (const char* n : {"a1", "a2", "a3"})
      ASSERT_TRUE(s.enqueue_task(item(n), "a", 0, n, nullptr));
    std::mutex m;
    std::vector<std::string> ran;
    ASSERT_TRUE(s.activate(c.threads, [&](const std::shared_ptr<Item>& p) {
      std::lock_guard<std::mutex> lock(m);
      ran.push_back(p->name);
      return Task_Base::CODE_SUCCESS;
    }));
    ASSERT_TRUE(within(120, [&] { return s.wait(); }));
    std::vector<std::string> order = rec->order();
    ASSERT_EQ(order.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + c.expected_prefix.size()),
              c.expected_prefix);
    EXPECT_EQ(ran.size(), 6u);
    EXPECT_EQ(counters_line(log), "Enqueued: 6, succeeded: 6, failed: 0, pending: 0.\n");
  }
}

// Two workers, one owner: the second task is handed out by the periodic pass while the
// first still runs, since a pass gives each owner at most one task.
TEST(Thread_Task_Scheduler, SecondTaskOfAnOwnerWaitsForTheNextPass)
{
  Log_Capture log(true);
  Scheduler s(1024);
  Recording_Strategy* rec = add_recorder(s);
  ASSERT_TRUE(s.enqueue_task(item("p1"), nullptr, 0, "p1", nullptr));
  ASSERT_TRUE(s.enqueue_task(item("p2"), nullptr, 0, "p2", nullptr));
  Gate second_started;
  std::atomic<bool> first_done{false};
  std::atomic<bool> overlap{false};
  ASSERT_TRUE(s.activate(2, [&](const std::shared_ptr<Item>& p) {
    if (p->name == "p1") {
      EXPECT_TRUE(second_started.wait(60)) << "the tick never handed out p2";
      first_done = true;
    } else {
      overlap = !first_done.load();
      second_started.open();
    }
    return Task_Base::CODE_SUCCESS;
  }));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  EXPECT_TRUE(overlap.load()) << "p2 must start while p1 still runs";
  EXPECT_EQ(rec->order(), (std::vector<std::string>{"p1", "p2"}));
}

// A retry re-enters the queue from the completion callback, which already holds the
// scheduler's lock: it must neither deadlock nor be refused.
TEST(Thread_Task_Scheduler, RetriedTaskRunsAgainUntilItSucceeds)
{
  Log_Capture log(true);
  Scheduler s(1024);
  ASSERT_TRUE(s.enqueue_task(item("t"), "o", 0, "t", "uuid-1"));
  std::atomic<int> calls{0};
  ASSERT_TRUE(s.activate(1, [&](const std::shared_ptr<Item>&) {
    return ++calls < 3 ? Task_Base::CODE_FAILED_RETRY : Task_Base::CODE_SUCCESS;
  }));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  EXPECT_EQ(calls.load(), 3);
  EXPECT_EQ(log.count("Task failed, id: 1, name: t, count: 1, enqueuing again.\n"), 1u);
  EXPECT_EQ(log.count("Enqueueing task, id: 2, name: t, owner: o, count: 2.\n"), 1u);
  EXPECT_EQ(log.count("Task failed, id: 2, name: t, count: 2, enqueuing again.\n"), 1u);
  EXPECT_EQ(log.count("Task succeeded, id: 3, name: t, count: 3.\n"), 1u);
  EXPECT_EQ(log.count("Processing task, id: 3, name t, count: 3.\n"), 1u);
  EXPECT_EQ(counters_line(log), "Enqueued: 1, succeeded: 1, failed: 0, pending: 0.\n");
  EXPECT_EQ(s.scheduler().enqueued_count(), 1u);
}

TEST(Thread_Task_Scheduler, ResultsAreCounted)
{
  Log_Capture log(true);
  Scheduler s(1024);
  for (const char* n : {"ok", "bad", "throws"})
    ASSERT_TRUE(s.enqueue_task(item(n), n, 0, n, nullptr));
  ASSERT_TRUE(s.activate(3, [](const std::shared_ptr<Item>& p) {
    if (p->name == "throws")
      throw std::runtime_error("boom");
    return p->name == "ok" ? Task_Base::CODE_SUCCESS : Task_Base::CODE_FAILED;
  }));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  EXPECT_EQ(counters_line(log), "Enqueued: 3, succeeded: 1, failed: 2, pending: 0.\n");
  EXPECT_EQ(log.count("Task failed, id: 2, name: bad, count: 1.\n"), 1u);
  EXPECT_EQ(log.count("Task succeeded, id: 1, name: ok, count: 1.\n"), 1u);
}

// Once the predicate says stop, waiting tasks are dropped; the running one finishes.
TEST(Thread_Task_Scheduler, StopDropsWaitingTasks)
{
  Log_Capture log(true);
  Scheduler s(1024);
  std::atomic<bool> stop{false};
  ASSERT_TRUE(s.register_stop_callback([&] { return stop.load(); }));
  for (const char* n : {"t1", "t2", "t3"})
    ASSERT_TRUE(s.enqueue_task(item(n), nullptr, 0, n, nullptr));
  std::atomic<int> calls{0};
  ASSERT_TRUE(s.activate(1, [&](const std::shared_ptr<Item>&) {
    ++calls;
    stop = true;
    return Task_Base::CODE_SUCCESS;
  }));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(counters_line(log), "Enqueued: 3, succeeded: 1, failed: 0, pending: 2.\n");
  EXPECT_TRUE(s.scheduler().stopped());
  EXPECT_FALSE(s.enqueue_task(item("t4"), nullptr, 0, "t4", nullptr));
}

TEST(Thread_Task_Scheduler, WorkerLinesGoWhereTheActivatingThreadsGo)
{
  Log_Capture log(true);
  Scheduler s(1024);
  ASSERT_TRUE(s.enqueue_task(item("t"), nullptr, 0, "t", nullptr));
  ASSERT_TRUE(s.activate(1, [](const std::shared_ptr<Item>&) {
    RHV_LOG_INFO("worker line\n");
    return Task_Base::CODE_SUCCESS;
  }));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  EXPECT_EQ(log.texts(LM_INFO), (std::vector<std::string>{"worker line\n"}));
}

namespace {

// A plain task for driving the dispatcher directly.
class Plain_Task : public Thread_Task<Plain_Task> {
public:
  Task_Base::Error call() override { return Task_Base::CODE_SUCCESS; }
};

// A worker whose thread ends after its first task, leaving later tasks in its queue.
class Quitting_Worker : public Thread_Task_Worker<Plain_Task> {
protected:
  int pull_task() override
  {
    Thread_Task_Worker<Plain_Task>::pull_task();
    return -1;
  }
};

class Dequeue_Counter : public Queue_Strategy<Plain_Task> {
public:
  explicit Dequeue_Counter(std::atomic<int>& n) : n_(n) {}
  bool enqueue_able_i(Plain_Task&) override { return true; }
  bool dequeue_able_i(Plain_Task&) override { return true; }
  void notify_enqueued_i(Plain_Task&) override {}
  void notify_dequeued_i(Plain_Task&) override { ++n_; }
  void notify_finished_i(Plain_Task&) override {}

private:
  std::atomic<int>& n_;
};

}  // namespace

// A task handed to the worker queue after the last worker thread ended is drained when
// the dispatcher stops; it must not be counted as running forever.
TEST(Thread_Task_Scheduler, TasksLeftInTheWorkerQueueDoNotBlockTheEnd)
{
  Log_Capture log(true);
  typedef Task_Strategy_Scheduler<Plain_Task, Quitting_Worker, Queue_Strategy_Impl<Plain_Task>>
      Dispatcher;
  Dispatcher d;
  std::atomic<int> dequeued{0};
  d.strategy().add(std::unique_ptr<Queue_Strategy<Plain_Task>>(new Dequeue_Counter(dequeued)));
  d.strategy().task_dequeued_limit(1);
  d.log_callback(&log);
  // Stop once the second task has been handed out (to a worker that no longer exists).
  d.register_stop_callback([&] { return dequeued.load() >= 2; });
  for (const char* owner : {"a", "b"}) {
    auto t = std::make_shared<Plain_Task>();
    t->owner(owner);
    t->name(owner);
    ASSERT_TRUE(d.enqueue(t));
  }
  const long flags = THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED;
  ASSERT_EQ(d.worker().activate(flags, 1), 0);
  ASSERT_EQ(d.activate(flags, 1), 0);
  EXPECT_EQ(within(120, [&] { return d.wait(); }), 0);
  EXPECT_EQ(d.strategy().task_dequeued(), 0);
  EXPECT_EQ(counters_line(log), "Enqueued: 2, succeeded: 1, failed: 0, pending: 1.\n");
}
