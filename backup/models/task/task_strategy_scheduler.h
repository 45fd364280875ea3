#ifndef BACKUP_MODELS_TASK_TASK_STRATEGY_SCHEDULER_H
#define BACKUP_MODELS_TASK_TASK_STRATEGY_SCHEDULER_H

// A dispatcher thread that hands queued tasks to a pool of worker threads.
//
// Tasks wait in one priority queue per owner (lowest id first). The dispatcher visits the
// owners in ascending order and hands out at most one task per owner per pass, as long as
// the strategy admits it (by default: fewer tasks running than worker threads). Between
// passes it sleeps until a task completes or SLEEP_INTERVAL seconds pass. It ends when
// the scheduler is stopped (flag or stop predicate) or when nothing waits and nothing
// runs; it then stops the workers, logs the counters and marks the scheduler stopped.
//
// A task finishing with CODE_FAILED_RETRY is queued again at once with a new id (behind
// its owner's waiting tasks); once the scheduler is stopped, or the queue is full, the
// retry is refused and the task counts as failed. Tasks still waiting when the dispatcher
// ends are not run and not counted (they show as pending).
//
// Locks: `mutex_` guards the owner queues and ids; the strategy's lock is only taken
// inside it. The stop predicate runs on the dispatcher thread with `mutex_` held: it
// must be cheap and must not call into the scheduler. Tasks run without any lock.

#include <ace/Condition_Thread_Mutex.h>
#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/OS_NS_time.h>
#include <ace/Task.h>
#include <ace/Thread_Mutex.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "backup/models/task/task_base.h"
#include "backup/scrt/log.h"

template <typename T, typename W, typename S>
class Task_Strategy_Scheduler : public ACE_Task<ACE_MT_SYNCH> {
public:
  typedef std::shared_ptr<T> Task_Ptr;
  typedef std::function<bool()> Stop_Callback;
  typedef std::function<void()> Exit_Callback;
  typedef std::priority_queue<Task_Ptr, std::vector<Task_Ptr>, typename S::Less> Owner_Queue;

  enum { SLEEP_INTERVAL = 3, THREAD_NUM = 1 };

  Task_Strategy_Scheduler() : avail_cond_(mutex_)
  {
    worker_.callback([this](const Task_Ptr& task) { complete_callback(task); });
  }

  // A dispatcher still running is stopped and joined (it lets running tasks finish).
  ~Task_Strategy_Scheduler() override
  {
    stopped_.store(true);
    {
      ACE_Guard<ACE_Thread_Mutex> g(mutex_);
      avail_cond_.broadcast();
    }
    this->wait();
  }

  Task_Strategy_Scheduler(const Task_Strategy_Scheduler&) = delete;
  Task_Strategy_Scheduler& operator=(const Task_Strategy_Scheduler&) = delete;

  bool register_stop_callback(Stop_Callback cb)
  {
    stop_callback_ = std::move(cb);
    return true;
  }
  void register_exit_callback(Exit_Callback cb) { exit_callback_ = std::move(cb); }

  // Log callback installed on the dispatcher and worker threads.
  void log_callback(ACE_Log_Msg_Callback* cb)
  {
    log_callback_ = cb;
    worker_.log_callback(cb);
  }

  // Queues a task for the first time: false when stopped, when the lock fails or when
  // the strategy refuses it (logged).
  bool enqueue(const Task_Ptr& task)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    if (!g.locked())
      return false;
    if (!enqueue_i(task))
      return false;
    ++enqueued_count_;
    return true;
  }

  bool stopped() const { return stopped_.load(); }
  unsigned enqueued_count() const { return enqueued_count_.load(); }
  unsigned succeeded_count() const { return succeeded_count_.load(); }
  unsigned failed_count() const { return failed_count_.load(); }

  W& worker() { return worker_; }
  S& strategy() { return strategy_; }

  // The dispatcher thread.
  int svc() override
  {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    if (log_callback_ != nullptr) {
      log->msg_callback(log_callback_);
      if (!(log->flags() & ACE_Log_Msg::MSG_CALLBACK))
        log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
    }

    svc_i();

    worker_.stop();
    // A worker thread may have ended early and left tasks behind: each is finished here,
    // so that the wait below sees nothing running.
    worker_.drain([this](const Task_Ptr& task) { finish_drained(task); });
    {
      ACE_Guard<ACE_Thread_Mutex> g(mutex_);
      while (strategy_.task_dequeued() > 0) {
        ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(SLEEP_INTERVAL);
        avail_cond_.wait(&deadline);
      }
    }
    if (exit_callback_)
      exit_callback_();
    unsigned enqueued = enqueued_count_.load();
    unsigned succeeded = succeeded_count_.load();
    unsigned failed = failed_count_.load();
    RHV_LOG_DEBUG("Enqueued: %u, succeeded: %u, failed: %u, pending: %u.\n", enqueued, succeeded,
                  failed, enqueued - succeeded - failed);
    stopped_.store(true);

    if (log_callback_ != nullptr)
      log->msg_callback(nullptr);
    return 0;
  }

protected:
  // The dispatch loop; runs with `mutex_` held except while waiting.
  void svc_i()
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    if (!g.locked())
      return;
    for (;;) {
      if (is_stopped_i())
        break;
      if (strategy_.task_enqueued() < 1 && strategy_.task_dequeued() < 1)
        break;
      if (strategy_.task_enqueued() > 0)
        dispatch_i();
      ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(SLEEP_INTERVAL);
      avail_cond_.wait(&deadline);
    }
  }

  // One pass over the owners: at most one task of each goes to the workers.
  void dispatch_i()
  {
    for (auto& entry : queue_) {
      Owner_Queue& q = entry.second;
      if (q.empty())
        continue;
      Task_Ptr task = q.top();
      if (!strategy_.dequeue_able(*task))
        continue;
      q.pop();
      if (!strategy_.call_able(*task)) {
        strategy_.notify_break(*task);
        requeue_i(task);
        continue;
      }
      task->last_dequeue_time(ACE_OS::time());
      strategy_.notify_dequeued(*task);
      if (worker_.put_task(task) != 0) {
        RHV_LOG_ERROR("Failed to enqueue task to worker, id: %d, name: %s, count: %d.\n",
                      task->id(), task->name().c_str(), static_cast<int>(task->enqueued_count()));
        task->error(Task_Base::CODE_FAILED);
        task->last_finished_time(ACE_OS::time());
        strategy_.notify_finished(*task);
      }
    }
  }

  bool is_stopped_i()
  {
    if (stopped_.load())
      return true;
    if (!stop_callback_)
      return false;
    bool stop = stop_callback_();
    stopped_.store(stop);
    return stop;
  }

  // The enqueue procedure, with `mutex_` held by the caller.
  bool enqueue_i(const Task_Ptr& task)
  {
    if (stopped_.load())
      return false;
    task->id(static_cast<int>(++id_));
    task->error(Task_Base::CODE_SUCCESS);
    if (!strategy_.enqueue_able(*task)) {
      RHV_LOG_ERROR("Failed to enqueue task, id: %d, name: %s, count: %d.\n", task->id(),
                    task->name().c_str(), static_cast<int>(task->enqueued_count()));
      return false;
    }
    task->enqueued_count(task->enqueued_count() + 1);
    task->last_enqueue_time(ACE_OS::time());
    strategy_.notify_enqueued(*task);
    RHV_LOG_DEBUG("Enqueueing task, id: %d, name: %s, owner: %s, count: %d.\n", task->id(),
                  task->name().c_str(), task->owner().c_str(),
                  static_cast<int>(task->enqueued_count()));
    queue_[task->owner()].push(task);
    return true;
  }

  // Puts a task that may not run yet back, under a new id; no admission, no counts.
  bool requeue_i(const Task_Ptr& task)
  {
    if (stopped_.load())
      return false;
    task->id(static_cast<int>(++id_));
    queue_[task->owner()].push(task);
    return true;
  }

  // Called on a worker thread when a task has run.
  void complete_callback(const Task_Ptr& task)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    if (!g.locked())
      return;
    task->last_finished_time(ACE_OS::time());
    strategy_.notify_finished(*task);
    switch (task->error()) {
    case Task_Base::CODE_FAILED:
      ++failed_count_;
      RHV_LOG_DEBUG("Task failed, id: %d, name: %s, count: %d.\n", task->id(), task->name().c_str(),
                    static_cast<int>(task->enqueued_count()));
      break;
    case Task_Base::CODE_FAILED_RETRY:
      RHV_LOG_DEBUG("Task failed, id: %d, name: %s, count: %d, enqueuing again.\n", task->id(),
                    task->name().c_str(), static_cast<int>(task->enqueued_count()));
      // The lock is already held here: the internal form of the enqueue.
      if (!enqueue_i(task))
        ++failed_count_;
      break;
    case Task_Base::CODE_SUCCESS:
      ++succeeded_count_;
      RHV_LOG_DEBUG("Task succeeded, id: %d, name: %s, count: %d.\n", task->id(),
                    task->name().c_str(), static_cast<int>(task->enqueued_count()));
      break;
    }
    avail_cond_.signal();
  }

  // A task left in the worker queue after the workers ended: failed, and no longer
  // counted as running.
  void finish_drained(const Task_Ptr& task)
  {
    task->error(Task_Base::CODE_FAILED);
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    task->last_finished_time(ACE_OS::time());
    strategy_.notify_finished(*task);
  }

  unsigned id_ = 0;
  std::atomic<bool> stopped_{false};
  std::atomic<unsigned> enqueued_count_{0};
  std::atomic<unsigned> succeeded_count_{0};
  std::atomic<unsigned> failed_count_{0};
  Stop_Callback stop_callback_;
  Exit_Callback exit_callback_;
  ACE_Thread_Mutex mutex_;
  ACE_Condition_Thread_Mutex avail_cond_;
  std::map<std::string, Owner_Queue> queue_;
  W worker_;
  S strategy_;
  ACE_Log_Msg_Callback* log_callback_ = nullptr;
};

#endif  // BACKUP_MODELS_TASK_TASK_STRATEGY_SCHEDULER_H
