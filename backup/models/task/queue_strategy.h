#ifndef BACKUP_MODELS_TASK_QUEUE_STRATEGY_H
#define BACKUP_MODELS_TASK_QUEUE_STRATEGY_H

// Admission bookkeeping of a task scheduler: how many tasks wait, how many run, and
// the hooks that may refuse a task.
//
// The counters and the hooks are guarded by the strategy's own lock; the scheduler
// takes it (through the public operations below) while holding its own lock, never the
// other way round. The `_i` hooks are called with the strategy's lock held.

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include <memory>
#include <vector>

class Queue_Strategy_Base {
public:
  virtual ~Queue_Strategy_Base() = default;

  int task_enqueued() const
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    return task_enqueued_;
  }
  int task_dequeued() const
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    return task_dequeued_;
  }
  int task_enqueued_limit() const
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    return task_enqueued_limit_;
  }
  void task_enqueued_limit(int v)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    task_enqueued_limit_ = v;
  }
  int task_dequeued_limit() const
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    return task_dequeued_limit_;
  }
  void task_dequeued_limit(int v)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    task_dequeued_limit_ = v;
  }

protected:
  int task_enqueued_ = 0;  // tasks waiting in the owner queues
  int task_enqueued_limit_ = 1024;
  int task_dequeued_ = 0;  // tasks handed to workers and not yet finished
  int task_dequeued_limit_ = 1024;
  mutable ACE_Thread_Mutex mutex_;
};

template <typename T>
class Queue_Strategy : public Queue_Strategy_Base {
public:
  // A task may join the queues: below the waiting limit and the hook agrees.
  bool enqueue_able(T& task)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    return task_enqueued_ < task_enqueued_limit_ && enqueue_able_i(task);
  }
  // A task may be handed to a worker: below the running limit and the hook agrees.
  bool dequeue_able(T& task)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    return task_dequeued_ < task_dequeued_limit_ && dequeue_able_i(task);
  }
  bool call_able(T& task)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    return call_able_i(task);
  }
  void notify_break(T& task)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    notify_break_i(task);
  }
  // The task joined the queues.
  void notify_enqueued(T& task)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    ++task_enqueued_;
    notify_enqueued_i(task);
  }
  // The task left the queues for a worker.
  void notify_dequeued(T& task)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    ++task_dequeued_;
    --task_enqueued_;
    notify_dequeued_i(task);
  }
  // The task handed to a worker has finished (or was dropped from the worker queue).
  void notify_finished(T& task)
  {
    ACE_Guard<ACE_Thread_Mutex> g(mutex_);
    --task_dequeued_;
    notify_finished_i(task);
  }

  // Hooks, called with the lock held.
  virtual bool enqueue_able_i(T& task) = 0;
  virtual bool dequeue_able_i(T& task) = 0;
  virtual bool call_able_i(T&) { return true; }
  virtual void notify_break_i(T&) {}
  virtual void notify_enqueued_i(T& task) = 0;
  virtual void notify_dequeued_i(T& task) = 0;
  virtual void notify_finished_i(T& task) = 0;
};

// A strategy made of sub-strategies: a task is admitted only when every one agrees
// (an empty list agrees), and every notification goes to each of them in order.
template <typename T>
class Queue_Strategy_Impl : public Queue_Strategy<T> {
public:
  void add(std::unique_ptr<Queue_Strategy<T>> strategy) { strategies_.push_back(std::move(strategy)); }

  bool enqueue_able_i(T& task) override
  {
    for (auto& s : strategies_)
      if (!s->enqueue_able_i(task))
        return false;
    return true;
  }
  bool dequeue_able_i(T& task) override
  {
    for (auto& s : strategies_)
      if (!s->dequeue_able_i(task))
        return false;
    return true;
  }
  bool call_able_i(T& task) override
  {
    for (auto& s : strategies_)
      if (!s->call_able_i(task))
        return false;
    return true;
  }
  void notify_break_i(T& task) override
  {
    for (auto& s : strategies_)
      s->notify_break_i(task);
  }
  void notify_enqueued_i(T& task) override
  {
    for (auto& s : strategies_)
      s->notify_enqueued_i(task);
  }
  void notify_dequeued_i(T& task) override
  {
    for (auto& s : strategies_)
      s->notify_dequeued_i(task);
  }
  void notify_finished_i(T& task) override
  {
    for (auto& s : strategies_)
      s->notify_finished_i(task);
  }

  // Orders an owner queue (a max-heap) so that the lowest id comes out first.
  struct Less {
    template <typename P>
    bool operator()(const P& a, const P& b) const
    {
      return a->id() > b->id();
    }
  };

private:
  std::vector<std::unique_ptr<Queue_Strategy<T>>> strategies_;
};

#endif  // BACKUP_MODELS_TASK_QUEUE_STRATEGY_H
