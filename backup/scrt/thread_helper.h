#ifndef BACKUP_SCRT_THREAD_HELPER_H
#define BACKUP_SCRT_THREAD_HELPER_H

// Runs one callable on one thread of the process-wide ACE_Thread_Manager.
//
// Joinable (THR_DETACHED not in the flags): one thread at a time; the thread is joined
// by join(), by the next spawn once it has ended, or by the destructor.
// Detached: spawn() may be called any number of times and the helper may be destroyed
// as soon as spawn() has returned: the new thread copies the callable before spawn()
// returns and never touches the helper again.
//
// Not safe for concurrent use: one owner thread calls spawn/join/destroy.

#include <ace/Auto_Event.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Thread_Manager.h>

#include <atomic>
#include <functional>

class Thread_Helper {
public:
  Thread_Helper(long flags = THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED,
                long priority = ACE_DEFAULT_THREAD_PRIORITY);
  virtual ~Thread_Helper();
  Thread_Helper(const Thread_Helper&) = delete;
  Thread_Helper& operator=(const Thread_Helper&) = delete;

  // Runs (obj->*fn)() on a new thread; its result is discarded. -1 when a thread of this
  // helper is still running (nothing is started) or the spawn fails.
  template <typename R, typename C>
  int spawn(R (C::*fn)(), C* obj)
  {
    if (running())
      return -1;
    join();
    _function = [fn, obj]() { (obj->*fn)(); };
    return spawn();
  }

  // Runs any callable taking no argument; same rules as the member-function form.
  int spawn(std::function<void()> fn)
  {
    if (running())
      return -1;
    join();
    _function = std::move(fn);
    return spawn();
  }

  // Starts the stored callable: >= 0 on success, -1 on failure. Returns once the new
  // thread has taken its copy of the callable.
  int spawn();

  // A joinable thread is remembered and still running.
  bool running() const;
  // A joinable thread is remembered (running or ended, not yet joined).
  bool exists() const;
  // Joins the remembered thread, if any, and forgets it.
  void join();

protected:
  // Called first on the new thread, before the callable is copied. Empty by default.
  virtual void handle_starting();

private:
  static ACE_THR_FUNC_RETURN thread_proc(void* arg);
  bool detached() const { return (_flag & THR_DETACHED) != 0; }

  ACE_thread_t _tid;
  std::function<void()> _function;
  std::atomic<bool>* _running;
  ACE_Auto_Event* _started;
  long _flag;
  long _priority;
};

#endif  // BACKUP_SCRT_THREAD_HELPER_H
