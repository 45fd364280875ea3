#ifndef BACKUP_MODELS_TASK_BASIC_TASK_H
#define BACKUP_MODELS_TASK_BASIC_TASK_H

// The bookkeeping every scheduled task carries: identity, owner, counts and times.
// `T` is the concrete task type. Not synchronised: the scheduler writes these fields
// under its own lock or from the one thread that runs the task.

#include <ctime>
#include <string>

#include "backup/models/task/task_base.h"

template <typename T>
class Task_Worker;

template <typename T>
class Basic_Task : public Task_Base {
public:
  Basic_Task() = default;
  ~Basic_Task() override = default;
  Basic_Task(const Basic_Task&) = delete;
  Basic_Task& operator=(const Basic_Task&) = delete;

  int id() const { return id_; }
  void id(int v) { id_ = v; }
  int weight() const { return weight_; }
  void weight(int v) { weight_ = v; }
  const std::string& name() const { return name_; }
  void name(const std::string& v) { name_ = v; }
  const std::string& owner() const { return owner_; }
  void owner(const std::string& v) { owner_ = v; }
  const std::string& uuid() const { return uuid_; }
  void uuid(const std::string& v) { uuid_ = v; }
  unsigned enqueued_count() const { return enqueued_count_; }
  void enqueued_count(unsigned v) { enqueued_count_ = v; }
  time_t last_dequeue_time() const { return last_dequeue_time_; }
  void last_dequeue_time(time_t v) { last_dequeue_time_ = v; }
  time_t last_enqueue_time() const { return last_enqueue_time_; }
  void last_enqueue_time(time_t v) { last_enqueue_time_ = v; }
  time_t last_finished_time() const { return last_finished_time_; }
  void last_finished_time(time_t v) { last_finished_time_ = v; }
  Task_Worker<T>* worker() const { return worker_; }
  void worker(Task_Worker<T>* v) { worker_ = v; }
  State state() const { return state_; }
  void state(State v) { state_ = v; }
  Error error() const { return error_; }
  void error(Error v) { error_ = v; }

private:
  int id_ = 0;
  int weight_ = 0;
  std::string name_;
  std::string owner_;
  std::string uuid_;
  unsigned enqueued_count_ = 0;
  time_t last_dequeue_time_ = 0;
  time_t last_enqueue_time_ = 0;
  time_t last_finished_time_ = 0;
  Task_Worker<T>* worker_ = nullptr;
  State state_ = INIT;
  Error error_ = CODE_SUCCESS;
};

#endif  // BACKUP_MODELS_TASK_BASIC_TASK_H
