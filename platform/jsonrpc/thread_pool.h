#ifndef PLATFORM_JSONRPC_THREAD_POOL_H
#define PLATFORM_JSONRPC_THREAD_POOL_H

// The host's worker pool for JSON-RPC handling: an ACE task whose threads run the
// callables put on its queue, one at a time each, in queue order.

#include <ace/Synch_Traits.h>
#include <ace/Task_Ex_T.h>
#include <ace/Time_Value.h>

#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#pragma GCC visibility push(default)

class Thread_Pool_Helper
  : public ACE_Task_Ex<ACE_MT_SYNCH, std::function<void()>, ACE_System_Time_Policy> {
public:
  typedef std::function<void()> Function;
  typedef ACE_Task_Ex<ACE_MT_SYNCH, Function, ACE_System_Time_Policy> Base;

  // The stop marker: a worker that takes it off the queue ends.
  static Function EMPTY;

  // `queue_limit` bounds the number of waiting callables; a put beyond it waits for
  // room until its time-out.
  explicit Thread_Pool_Helper(const std::string& name = "json-rpc", size_t queue_limit = 1024);
  ~Thread_Pool_Helper() override;

  // Starts `n_threads` workers. 0 on success, -1 on failure.
  int open(size_t n_threads);
  // Stops the workers after the callables already queued and waits for them.
  int close_pool();

  // Queues `function`: at the head when `first`, else at the tail, waiting for room at
  // most until the absolute time `abs_timeout` (null: without limit). Returns the
  // queue's result (> 0, queued) or -1; failures are logged.
  int putq(Function function, bool first, ACE_Time_Value* abs_timeout);

  // Queues `fn` at the tail: putq(fn, false, abs_timeout).
  template <typename F>
  int schedule(ACE_Time_Value* abs_timeout, F fn)
  {
    return putq(Function(std::move(fn)), false, abs_timeout);
  }

  int svc() override;

  const std::string& name() const { return _name; }

private:
  std::string _name;
  size_t _n_threads;
  long _flags;
  long _priority;
  int _io_priority;
  int _nice_value;
  int _policy;
};

// The process-wide JSON-RPC worker pool. Open it once at start-up (open) and close it at
// the end; until it is opened `pool_` is null and nothing can be scheduled.
class JSON_RPC_Thread_Pool {
public:
  static JSON_RPC_Thread_Pool* instance();

  // Starts the pool with `n_threads` workers (4 by default). 0 on success, -1 on failure
  // or when a pool is already open.
  int open(size_t n_threads = 4);
  // Stops the pool after the queued callables ran and releases it.
  int close();

  // Queues `fn` on the pool, waiting for room at most until `abs_timeout` (absolute;
  // null waits without limit). -1 when no pool is open or the queueing failed.
  int schedule(ACE_Time_Value* abs_timeout, std::function<void()> fn);

  std::unique_ptr<Thread_Pool_Helper> pool_;
  // How long a handler lets a message wait for room in the queue, in seconds.
  time_t expiry_ = 30;

private:
  JSON_RPC_Thread_Pool() = default;
};

#pragma GCC visibility pop

#endif  // PLATFORM_JSONRPC_THREAD_POOL_H
