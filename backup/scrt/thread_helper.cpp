#include "backup/scrt/thread_helper.h"

#include <new>

#include "backup/scrt/check.h"
#include "backup/scrt/log.h"

Thread_Helper::Thread_Helper(long flags, long priority)
  : _tid(ACE_OS::NULL_thread),
    _running(new (std::nothrow) std::atomic<bool>(false)),
    _started(nullptr),
    _flag(flags),
    _priority(priority)
{
}

Thread_Helper::~Thread_Helper()
{
  join();
  delete _running;
  _running = nullptr;
  _function = nullptr;
}

bool Thread_Helper::exists() const
{
  return !ACE_OS::thr_equal(_tid, ACE_OS::NULL_thread);
}

bool Thread_Helper::running() const
{
  return exists() && _running != nullptr && _running->load();
}

void Thread_Helper::join()
{
  if (!exists())
    return;
  ACE_Thread_Manager::instance()->join(_tid);
  _tid = ACE_OS::NULL_thread;
}

void Thread_Helper::handle_starting()
{
}

int Thread_Helper::spawn()
{
  RHV_CHECK_NOT_NULL(_running, -1);

  ACE_Auto_Event started;  // auto-reset, not signalled
  _started = &started;
  int rc;
  if (!detached()) {
    bool already_running = _running->exchange(true);
    if (already_running) {
      _started = nullptr;
      RHV_CHECK_FALSE(already_running, -1);
    }
    rc = ACE_Thread_Manager::instance()->spawn(&Thread_Helper::thread_proc, this, _flag, &_tid,
                                               nullptr, _priority);
    if (rc == -1) {
      _running->store(false);
      _tid = ACE_OS::NULL_thread;
    }
  } else {
    ACE_thread_t tid;
    rc = ACE_Thread_Manager::instance()->spawn(&Thread_Helper::thread_proc, this, _flag, &tid,
                                               nullptr, _priority);
  }
  if (rc != -1)
    started.wait();
  _started = nullptr;
  return rc;
}

ACE_THR_FUNC_RETURN Thread_Helper::thread_proc(void* arg)
{
  Thread_Helper* self = static_cast<Thread_Helper*>(arg);
  self->handle_starting();
  std::function<void()> fn = self->_function;
  std::atomic<bool>* running = self->detached() ? nullptr : self->_running;
  if (self->_started != nullptr)
    self->_started->signal();
  // From here on the helper may be gone (detached) or only joined (joinable).
  if (fn)
    fn();
  if (running != nullptr)
    running->store(false);
  return 0;
}
