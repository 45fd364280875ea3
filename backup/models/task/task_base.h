#ifndef BACKUP_MODELS_TASK_TASK_BASE_H
#define BACKUP_MODELS_TASK_TASK_BASE_H

// Common ground of the scheduler's tasks.
struct Task_Base {
  // The result of one task: done, failed for good, or failed and worth retrying.
  enum Error {
    CODE_SUCCESS = 0,
    CODE_FAILED = 1,
    CODE_FAILED_RETRY = 2
  };
};

#endif
