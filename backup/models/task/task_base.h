#ifndef BACKUP_MODELS_TASK_TASK_BASE_H
#define BACKUP_MODELS_TASK_TASK_BASE_H

// The polymorphic root of every scheduled task.
struct Task_Base {
  // The result of one task: done, failed for good, or failed and worth retrying.
  enum Error {
    CODE_SUCCESS = 0,
    CODE_FAILED = 1,
    CODE_FAILED_RETRY = 2
  };

  // Where a task is in its life (only RUNNING is recorded by the scheduler).
  enum State {
    INIT = 0,
    ENQUEUED = 1,
    DEQUEUED = 2,
    SUCCESS = 3,
    FAILED = 4,
    RUNNING = 5
  };

  virtual ~Task_Base() = default;
};

#endif
