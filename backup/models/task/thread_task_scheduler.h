#ifndef BACKUP_MODELS_TASK_THREAD_TASK_SCHEDULER_H
#define BACKUP_MODELS_TASK_THREAD_TASK_SCHEDULER_H

// Runs a batch of parameter objects through one worker function on a fixed pool of
// threads:
//
//   Thread_Task_Scheduler<Piece> scheduler(1024);
//   scheduler.register_stop_callback([this] { return is_canceled(); });
//   for (auto& piece : pieces)
//     scheduler.enqueue_task(piece, nullptr, 0, piece->name.c_str(), nullptr);
//   scheduler.activate(n, [this](const std::shared_ptr<Piece>& p) { return run(p); });
//   scheduler.wait();
//
// Tasks are queued before activate(): a scheduler activated with nothing queued ends at
// once. The worker function returns CODE_SUCCESS, CODE_FAILED, or CODE_FAILED_RETRY to
// run the task again (as often as it asks, until the scheduler stops). At most
// `n_worker_threads` tasks run at once, and at most one task per owner is handed out per
// dispatch pass (a pass follows each completion, or three seconds). Once the stop
// predicate answers true, waiting tasks are dropped and running ones finish.
//
// The log callback of the thread calling activate() is installed on the scheduler's
// threads, so their lines (and the worker function's) go where the caller's go; it must
// outlive wait(). Destroying the scheduler stops it and joins its threads.

#include <ace/Log_Msg.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <new>

#include "backup/models/task/queue_strategy.h"
#include "backup/models/task/task_strategy_scheduler.h"
#include "backup/models/task/task_worker.h"
#include "backup/models/task/thread_task.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"

template <typename P>
class Thread_Task_Scheduler {
public:
  typedef std::function<Task_Base::Error(const std::shared_ptr<P>&)> Worker;

  class Thread_Task_Impl : public Thread_Task<Thread_Task_Impl> {
  public:
    Thread_Task_Impl(Thread_Task_Scheduler& self, std::shared_ptr<P> params)
      : self_(self), params_(std::move(params))
    {
    }
    Task_Base::Error call() override { return self_.worker_(params_); }
    const std::shared_ptr<P>& params() const { return params_; }

  private:
    Thread_Task_Scheduler& self_;
    std::shared_ptr<P> params_;
  };

  typedef Task_Strategy_Scheduler<Thread_Task_Impl, Thread_Task_Worker<Thread_Task_Impl>,
                                  Queue_Strategy_Impl<Thread_Task_Impl>>
      Scheduler;

  explicit Thread_Task_Scheduler(int queue_capacity)
  {
    scheduler_.strategy().task_enqueued_limit(queue_capacity);
  }
  Thread_Task_Scheduler(const Thread_Task_Scheduler&) = delete;
  Thread_Task_Scheduler& operator=(const Thread_Task_Scheduler&) = delete;

  bool register_stop_callback(std::function<bool()> predicate)
  {
    return scheduler_.register_stop_callback(std::move(predicate));
  }

  // `task_owner`, `task_name` and `task_uuid` are taken only when neither null nor empty.
  bool enqueue_task(std::shared_ptr<P> params, const char* task_owner, int task_weight,
                    const char* task_name, const char* task_uuid)
  {
    RHV_CHECK_NOT_NULL(params, false);
    Thread_Task_Impl* raw = new (std::nothrow) Thread_Task_Impl(*this, std::move(params));
    if (raw == nullptr) {
      RHV_LOG(-1, LM_ERROR, "Failed to allocate task, errno=%d, %m\n", ENOMEM);
      return false;
    }
    std::shared_ptr<Thread_Task_Impl> task;
    try {
      task.reset(raw);  // frees `raw` itself when it throws
    } catch (const std::bad_alloc&) {
      RHV_LOG(-1, LM_ERROR, "Failed to allocate task, errno=%d, %m\n", ENOMEM);
      return false;
    }
    task->weight(task_weight);
    if (task_owner != nullptr && *task_owner != '\0')
      task->owner(task_owner);
    if (task_name != nullptr && *task_name != '\0')
      task->name(task_name);
    if (task_uuid != nullptr && *task_uuid != '\0')
      task->uuid(task_uuid);
    return scheduler_.enqueue(task);
  }

  bool activate(int n_worker_threads, Worker worker)
  {
    RHV_CHECK_GE(n_worker_threads, 1, false);
    RHV_CHECK_FALSE(worker_, false);
    worker_ = std::move(worker);
    scheduler_.strategy().task_dequeued_limit(n_worker_threads);
    scheduler_.log_callback(ACE_Log_Msg::instance()->msg_callback());
    const long flags = THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED;
    if (scheduler_.worker().activate(flags, n_worker_threads) == -1) {
      int err = errno;
      RHV_LOG(-1, LM_ERROR, "Failed to activate thread pool worker, errno=%d.\n", err);
      return false;
    }
    if (scheduler_.activate(flags, Scheduler::THREAD_NUM) == -1) {
      int err = errno;
      RHV_LOG(-1, LM_ERROR, "Failed to activate thread pool scheduler, errno=%d.\n", err);
      return false;
    }
    return true;
  }

  // Joins the dispatcher thread; every worker thread has ended when it returns.
  bool wait() { return scheduler_.wait() == 0; }

  Scheduler& scheduler() { return scheduler_; }

private:
  Worker worker_;
  Scheduler scheduler_;
};

#endif  // BACKUP_MODELS_TASK_THREAD_TASK_SCHEDULER_H
