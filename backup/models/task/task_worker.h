#ifndef BACKUP_MODELS_TASK_TASK_WORKER_H
#define BACKUP_MODELS_TASK_TASK_WORKER_H

// The worker threads of a task scheduler: an ACE task over a queue of shared task
// pointers. Each worker thread takes the next task, runs it (svc_i) and reports it
// through the completion callback, until it meets the stop marker.
//
// The stop marker is the address of EMPTY; a worker that takes it puts it back at the
// head of the queue so that every other worker meets it too. Destroying the worker part
// wakes blocked threads, joins them and drops what is left in the queue (each dropped
// task is marked CODE_FAILED; nothing is counted or called back).

#include <ace/Log_Msg.h>
#include <ace/Synch_Traits.h>
#include <ace/Task_Ex_T.h>

#include <cerrno>
#include <exception>
#include <functional>
#include <memory>
#include <new>

#include "backup/models/task/basic_task.h"
#include "backup/scrt/log.h"

template <typename T>
class Task_Worker : public ACE_Task_Ex<ACE_MT_SYNCH, std::shared_ptr<T>> {
public:
  typedef std::shared_ptr<T> Task_Ptr;
  typedef std::function<void(const Task_Ptr&)> Callback;

  // The stop marker's address.
  static const Task_Ptr EMPTY;

  Task_Worker() = default;
  ~Task_Worker() override
  {
    this->msg_queue()->deactivate();
    this->wait();
    this->msg_queue()->activate();
    drain([](const Task_Ptr& task) { task->error(Task_Base::CODE_FAILED); });
  }

  // Called on the worker thread after each task.
  void callback(Callback cb) { cb_ = std::move(cb); }
  // Installed on each worker thread for its life (log callbacks are per thread).
  void log_callback(ACE_Log_Msg_Callback* cb) { log_callback_ = cb; }

  // Hands a task to the workers: 0, or -1 with errno set.
  int put_task(const Task_Ptr& task)
  {
    Task_Ptr* entry = new (std::nothrow) Task_Ptr(task);
    if (entry == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    if (this->putq(entry) < 0) {
      delete entry;
      return -1;
    }
    return 0;
  }

  int svc() override
  {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    if (log_callback_ != nullptr) {
      log->msg_callback(log_callback_);
      if (!(log->flags() & ACE_Log_Msg::MSG_CALLBACK))
        log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
    }
    while (pull_task() == 0) {
    }
    if (log_callback_ != nullptr)
      log->msg_callback(nullptr);
    return 0;
  }

  // Runs one task on the calling worker thread.
  virtual void svc_i(const Task_Ptr& task) = 0;

  // Ends every worker thread once the tasks handed out before have been taken, and
  // waits for them.
  virtual void stop()
  {
    this->putq(const_cast<Task_Ptr*>(&EMPTY));
    this->wait();
  }

  // Takes out every task still in the queue and hands it to `fn`; the stop marker is
  // dropped. Call only when no worker thread runs.
  void drain(const std::function<void(const Task_Ptr&)>& fn)
  {
    while (!this->msg_queue()->is_empty()) {
      Task_Ptr* entry = nullptr;
      if (this->msg_queue()->dequeue_head(entry) < 0)
        break;
      if (entry == nullptr || entry == &EMPTY)
        continue;
      fn(*entry);
      delete entry;
    }
  }

protected:
  // Takes and runs the next task: 0, or -1 when the thread is to end.
  virtual int pull_task()
  {
    Task_Ptr* entry = nullptr;
    if (this->getq(entry) < 0 || entry == nullptr)
      return -1;
    if (entry == &EMPTY) {
      this->ungetq(entry);
      return -1;
    }
    Task_Ptr task = *entry;
    task->state(T::RUNNING);
    RHV_LOG_DEBUG("Processing task, id: %d, name %s, count: %d.\n", task->id(),
                  task->name().c_str(), static_cast<int>(task->enqueued_count()));
    svc_i(task);
    delete entry;
    return 0;
  }

  Callback cb_;
  ACE_Log_Msg_Callback* log_callback_ = nullptr;
};

template <typename T>
const typename Task_Worker<T>::Task_Ptr Task_Worker<T>::EMPTY;

// Runs a task's call() and records its result.
template <typename T>
class Thread_Task_Worker : public Task_Worker<T> {
public:
  typedef typename Task_Worker<T>::Task_Ptr Task_Ptr;

  void svc_i(const Task_Ptr& task) override
  {
    task->worker(this);
    Task_Base::Error error = Task_Base::CODE_FAILED;
    try {
      error = task->call();
    } catch (const std::exception& e) {
      // An escaping exception would end the process; the task fails instead.
      RHV_LOG_ERROR("Task %d (%s) threw: %s.\n", task->id(), task->name().c_str(), e.what());
    }
    task->error(error);
    if (this->cb_)
      this->cb_(task);
  }
};

#endif  // BACKUP_MODELS_TASK_TASK_WORKER_H
