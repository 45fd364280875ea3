#ifndef PLATFORM_SERVANT_SERVANT_TASK_SCHEDULER_H
#define PLATFORM_SERVANT_SERVANT_TASK_SCHEDULER_H

// Runs a job's per-item tasks ("rhev.backup", "rhev.restore", ...) on servants.
//
//   Servant_Task_Scheduler scheduler("rhev.backup", entries.size());
//   scheduler.register_stop_callback([this] { return is_canceled(); });
//   scheduler.enable_global_mutex();
//   scheduler.enable_retry(def.retry_count(), def.retry_interval());
//   for (...) scheduler.enqueue_task(params, nullptr, 0, vm_name, vm_id);
//   scheduler.activate(parallel, init_servant, handle_result);
//   while (scheduler.is_running()) ...;
//   scheduler.wait();
//
// The tasks wait in one FIFO served by `n` worker threads (activate), so at most `n` run
// at once. For each task a worker makes a fresh Servant, lets the init callback prepare
// it, sends the request {method = the scheduler's name, params, id} to the servant's
// endpoint and hands the reply to the result callback. The endpoint comes from the
// servant's configuration (see servant.h and servant_endpoint.h): in-process (the handler
// runs on the worker thread) or process (a servant host program per task).
//
// Results: 0 = done, 1 = failed, 2 = failed and worth retrying. A task answering 2 is
// queued again after the retry interval, at most the retry count times; when the retries
// are used up its last result stands. A failed init, a servant that died or gave no
// usable reply, is answered by a synthetic error reply (-32603) that goes to the result
// callback like any other reply.
//
// Stopping: the stop predicate is asked before each dispatch and about every second while
// a worker waits. Once it answers true the scheduler stays stopped: tasks still queued
// (retries included) are dropped without a result, running ones finish (a servant process
// that does not answer within the configured grace period is killed).
//
// All operations return false on failure and log the reason. Callbacks run on the worker
// threads, with the log callback of the thread that called activate() installed; they
// must not destroy the scheduler. The scheduler must outlive its workers: its destructor
// stops whatever still runs (killing servant processes at once) and joins the threads.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/json/value.h"
#include "platform/jsonrpc/json_rpc_object.h"
#include "platform/servant/servant.h"

#pragma GCC visibility push(default)

class Servant_Task_Scheduler {
public:
  // True stops dispatching. Must be cheap and must not call into the scheduler.
  typedef std::function<bool()> Stop_Callback;
  // Prepares the servant of one task; false fails the task (synthetic -32603 reply).
  typedef std::function<bool(Servant&, const json_spirit::Object&)> Init_Callback;
  // Classifies one reply: 0 done, 1 failed, 2 failed and to be retried (the values of
  // the module's Task_Base::Error).
  typedef std::function<int(JSON_RPC_Object_var)> Result_Callback;

  enum { RESULT_SUCCESS = 0, RESULT_FAILED = 1, RESULT_FAILED_RETRY = 2 };

  // `name` is the request method of every task. `task_count` is the capacity: the most
  // tasks the scheduler holds at once; further enqueues are refused.
  Servant_Task_Scheduler(const std::string& name, size_t task_count);
  ~Servant_Task_Scheduler();
  Servant_Task_Scheduler(const Servant_Task_Scheduler&) = delete;
  Servant_Task_Scheduler& operator=(const Servant_Task_Scheduler&) = delete;

  // Before activate(). An empty callback is refused.
  bool register_stop_callback(Stop_Callback callback);
  // Result callbacks run one at a time (they may then share unlocked state).
  bool enable_global_mutex();
  // Up to `retry_count` further attempts of a task answering 2, each `retry_interval`
  // seconds after the previous reply. Negative values are refused.
  bool enable_retry(int retry_count, int retry_interval);

  // Queues one task. `owner` and `weight` are accepted for compatibility and not used;
  // `name` and `uuid` name the task in log lines (e.g. VM name and id). Refused once the
  // scheduler is stopped or has finished, and beyond the capacity.
  bool enqueue_task(const json_spirit::Object& params, const char* owner, int weight,
                    const std::string& name, const std::string& uuid);

  // Starts `n` worker threads (n >= 1, once). Both callbacks are required.
  bool activate(int n, Init_Callback init, Result_Callback result);

  // True from a successful activate() until every task has ended (or, once stopped,
  // until the running ones have ended).
  bool is_running() const;
  // Blocks until the worker threads have ended. True when they were joined (also when
  // the scheduler was never activated).
  bool wait();

  const std::string& name() const;
  // The stop predicate has answered true.
  bool stopped() const;

  // Tallies, for diagnostics and tests.
  struct Counts {
    size_t enqueued = 0;   // accepted by enqueue_task
    size_t requests = 0;   // requests made (attempts, retries included)
    size_t succeeded = 0;  // final result 0
    size_t failed = 0;     // final result other than 0
    size_t retried = 0;    // re-queued after a 2
    size_t dropped = 0;    // dropped unrun because the scheduler stopped
  };
  Counts counts() const;

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
};

#pragma GCC visibility pop

#endif  // PLATFORM_SERVANT_SERVANT_TASK_SCHEDULER_H
