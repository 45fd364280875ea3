#include "platform/jsonrpc/thread_pool.h"

#include <ace/Thread_Manager.h>

#include <cerrno>
#include <exception>
#include <new>

#include "backup/scrt/check.h"
#include "backup/scrt/log.h"

Thread_Pool_Helper::Function Thread_Pool_Helper::EMPTY;

Thread_Pool_Helper::Thread_Pool_Helper(const std::string& name, size_t queue_limit)
  : Base(ACE_Thread_Manager::instance()),
    _name(name),
    _n_threads(0),
    _flags(THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED),
    _priority(ACE_DEFAULT_THREAD_PRIORITY),
    _io_priority(0),
    _nice_value(0),
    _policy(0)
{
  // The queue counts each entry as the size of one callable.
  size_t bytes = (queue_limit == 0 ? 1 : queue_limit) * sizeof(Function);
  msg_queue()->high_water_mark(bytes);
  msg_queue()->low_water_mark(bytes);
}

Thread_Pool_Helper::~Thread_Pool_Helper()
{
  close_pool();
  // Callables still queued (none once the workers drained the queue) are freed here.
  Function* fn = nullptr;
  ACE_Time_Value now(ACE_Time_Value::zero);
  msg_queue()->deactivate();
  while (!msg_queue()->is_empty() && msg_queue()->dequeue_head(fn, &now) != -1) {
    if (fn != &EMPTY)
      delete fn;
  }
}

int Thread_Pool_Helper::open(size_t n_threads)
{
  if (n_threads == 0 || thr_count() != 0)
    return -1;
  msg_queue()->activate();
  if (activate(_flags, static_cast<int>(n_threads), 0, _priority) == -1) {
    RHV_LOG(-1, LM_ERROR, "Failed to start %B worker threads of pool '%s', errno=%d, %m\n",
            n_threads, _name.c_str(), errno);
    return -1;
  }
  _n_threads = n_threads;
  return 0;
}

int Thread_Pool_Helper::close_pool()
{
  size_t n = thr_count();
  for (size_t i = 0; i < n; ++i) {
    // Behind everything already queued: those callables still run.
    while (Base::putq(&EMPTY, nullptr) == -1 && errno == EINTR) {
    }
  }
  int rc = wait();
  _n_threads = 0;
  return rc;
}

int Thread_Pool_Helper::putq(Function function, bool first, ACE_Time_Value* abs_timeout)
{
  if (thr_count() == 0) {
    RHV_LOG(-1, LM_ERROR, "No active worker thread!\n");
    return -1;
  }
  Function* copy = new (std::nothrow) Function(std::move(function));
  if (copy == nullptr)
    return -1;
  int rc;
  do {
    rc = first ? Base::ungetq(copy, abs_timeout) : Base::putq(copy, abs_timeout);
  } while (rc == -1 && errno == EINTR);
  if (rc <= 0) {
    int err = errno;
    RHV_LOG(rc, LM_ERROR, "Failed to schedule task, errno=%d, %m\n", err);
    delete copy;
    errno = err;
  }
  return rc;
}

int Thread_Pool_Helper::svc()
{
  for (;;) {
    Function* fn = nullptr;
    if (getq(fn) == -1)
      break;
    if (fn == &EMPTY || fn == nullptr)
      break;
    try {
      if (*fn)
        (*fn)();
    } catch (const std::exception& e) {
      RHV_LOG(-1, LM_ERROR, "A task of pool '%s' failed: %s\n", _name.c_str(), e.what());
    } catch (...) {
      RHV_LOG(-1, LM_ERROR, "A task of pool '%s' failed.\n", _name.c_str());
    }
    delete fn;
  }
  return 0;
}

// ---- JSON_RPC_Thread_Pool ----

JSON_RPC_Thread_Pool* JSON_RPC_Thread_Pool::instance()
{
  static JSON_RPC_Thread_Pool the_pool;
  return &the_pool;
}

int JSON_RPC_Thread_Pool::open(size_t n_threads)
{
  if (pool_)
    return -1;
  std::unique_ptr<Thread_Pool_Helper> pool(new (std::nothrow) Thread_Pool_Helper("json-rpc"));
  if (!pool || pool->open(n_threads) != 0)
    return -1;
  pool_ = std::move(pool);
  return 0;
}

int JSON_RPC_Thread_Pool::close()
{
  if (!pool_)
    return 0;
  int rc = pool_->close_pool();
  pool_.reset();
  return rc;
}

int JSON_RPC_Thread_Pool::schedule(ACE_Time_Value* abs_timeout, std::function<void()> fn)
{
  RHV_CHECK_NOT_NULL(pool_, -1);
  return pool_->schedule(abs_timeout, std::move(fn));
}
