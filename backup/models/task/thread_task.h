#ifndef BACKUP_MODELS_TASK_THREAD_TASK_H
#define BACKUP_MODELS_TASK_THREAD_TASK_H

#include "backup/models/task/basic_task.h"

// A task that runs as one call on a worker thread; its result decides what the
// scheduler does next (done, failed, or queued again).
template <typename T>
class Thread_Task : public Basic_Task<T> {
public:
  virtual Task_Base::Error call() = 0;
};

#endif  // BACKUP_MODELS_TASK_THREAD_TASK_H
