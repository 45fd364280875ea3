#ifndef BACKUP_JOB_DEFAULT_JOB_H
#define BACKUP_JOB_DEFAULT_JOB_H

// Jobs that turn the host's job-control hooks into job states and into one run of an
// executor E (a Job_Executor_T) on a detached thread of its own.
//
// Every thread a job starts (run, rollback) holds a reference on the job until it
// ends, so the host may release its own reference at any time.
//
// Default_Job_T: start, abort, remove, update, rollback and on-demand set-up; stop and
// resume are refused (-1). Controllable_Job_T adds stop, pause, resume, switch and the
// option-less abort, each a state request that the running executor notices.

#include <ace/Thread_Manager.h>

#include <memory>
#include <mutex>
#include <new>

#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "backup/scrt/thread_helper.h"
#include "platform/job/job.h"
#include "platform/job/job_definition.h"
#include "platform/runtime/uuid.h"

// What the run thread gets: the job that spawned it and the start request's options.
struct Run_Options {
  void* job = nullptr;
  Action_Options opts;
};

template <typename E>
class Default_Job_T : public Job {
public:
  explicit Default_Job_T(const Job_Definition_var& definition) : Job(definition), thr_id_(0) {}

  int handle_exception(int) override { return 0; }
  int start_i(const Action_Options* opts) override;
  int stop_i(const Action_Options*) override { return -1; }
  int resume_i(const Action_Options*) override { return -1; }
  int abort_i(const Action_Options* opts) override;
  int remove_i(bool purge, const Action_Options* opts) override;
  int update_i(Job_Definition_var definition) override;
  int rollback_i() override;
  int setup_ondemand_i() override;

  // One run on the run thread: returns null.
  virtual void* run_i(const Action_Options* opts);

  // The run thread's procedure; takes ownership of its Run_Options.
  static ACE_THR_FUNC_RETURN run(void* arg);
  // The rollback thread's work.
  void run_rollback();

protected:
  ACE_thread_t thread_id() const
  {
    std::lock_guard<std::mutex> lock(thr_mutex_);
    return thr_id_;
  }

private:
  ACE_thread_t thr_id_;
  mutable std::mutex thr_mutex_;
};

template <typename E>
class Controllable_Job_T : public Default_Job_T<E> {
public:
  explicit Controllable_Job_T(const Job_Definition_var& definition)
    : Default_Job_T<E>(definition)
  {
  }

  using Default_Job_T<E>::abort_i;

  int stop_i(const Action_Options*) override { return this->state_i(JOB_STATE_CANCELING); }
  int pause_i(const Action_Options*) override { return this->state_i(JOB_STATE_PAUSING); }
  int resume_i(const Action_Options*) override { return this->state_i(JOB_STATE_RUNNING); }
  int switch_i(const Action_Options*) override { return this->state_i(JOB_STATE_SWITCHING); }
  virtual int abort_i() { return this->state_i(JOB_STATE_ABORTING); }
};

template <typename E>
int Default_Job_T<E>::start_i(const Action_Options* opts)
{
  Run_Options* opt = new (std::nothrow) Run_Options();
  RHV_CHECK_NOT_NULL(opt, -1);
  opt->job = this;
  if (opts != nullptr)
    opt->opts = *opts;

  // The run thread's own reference, released when it ends.
  Job::intrusive_add_ref(this);
  ACE_thread_t tid = 0;
  if (ACE_Thread_Manager::instance()->spawn(&Default_Job_T<E>::run, opt,
                                            THR_NEW_LWP | THR_DETACHED | THR_INHERIT_SCHED, &tid,
                                            nullptr, ACE_DEFAULT_THREAD_PRIORITY, -1, nullptr,
                                            ACE_DEFAULT_THREAD_STACKSIZE) == -1) {
    RHV_LOG(-1, LM_ERROR, "Failed to start the run thread of job %s, errno=%d, %m\n",
            this->definition().id().c_str(), errno);
    delete opt;
    Job::intrusive_remove_ref(this);
    return -1;
  }
  std::lock_guard<std::mutex> lock(thr_mutex_);
  thr_id_ = tid;
  return 0;
}

template <typename E>
ACE_THR_FUNC_RETURN Default_Job_T<E>::run(void* arg)
{
  std::unique_ptr<Run_Options> opt(static_cast<Run_Options*>(arg));
  Default_Job_T<E>* job = static_cast<Default_Job_T<E>*>(opt->job);
  job->run_i(opt->opts.empty() ? nullptr : &opt->opts);
  opt.reset();
  Job::intrusive_remove_ref(job);
  return 0;
}

template <typename E>
void* Default_Job_T<E>::run_i(const Action_Options* opts)
{
  this->set_job_thread();
  uuid_from_string(this->definition().uid(), this->activity().uid);
  {
    E executor(*this);
    executor.execute(opts);
  }
  this->complete();
  return nullptr;
}

template <typename E>
int Default_Job_T<E>::abort_i(const Action_Options*)
{
  int rc = this->state_i(JOB_STATE_CANCELING);
  ACE_thread_t tid = thread_id();
  if (tid != 0)
    ACE_Thread_Manager::instance()->cancel(tid, 0);
  return rc;
}

template <typename E>
int Default_Job_T<E>::remove_i(bool, const Action_Options*)
{
  for (const Job_Schedule& schedule : this->definition().schedules()) {
    if (schedule.type() == Job_Schedule::TYPE_ONDEMAND) {
      E executor(*this);
      executor.remove_ondemand();
    }
  }
  E executor(*this);
  executor.remove();
  return 0;
}

template <typename E>
int Default_Job_T<E>::update_i(Job_Definition_var definition)
{
  E executor(*this);
  executor.update(definition);
  return 0;
}

template <typename E>
int Default_Job_T<E>::setup_ondemand_i()
{
  E executor(*this);
  return executor.setup_ondemand() ? 0 : -1;
}

template <typename E>
int Default_Job_T<E>::rollback_i()
{
  Thread_Helper helper(THR_NEW_LWP | THR_DETACHED | THR_INHERIT_SCHED,
                       ACE_DEFAULT_THREAD_PRIORITY);
  // The rollback thread's own reference, released when it ends.
  Job::intrusive_add_ref(this);
  Default_Job_T<E>* self = this;
  int rc = helper.spawn([self]() {
    self->run_rollback();
    Job::intrusive_remove_ref(self);
  });
  if (rc == -1) {
    Job::intrusive_remove_ref(this);
    return -1;
  }
  return 0;
}

template <typename E>
void Default_Job_T<E>::run_rollback()
{
  E executor(*this);
  executor.rollback();
}

#endif  // BACKUP_JOB_DEFAULT_JOB_H
