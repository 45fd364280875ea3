#ifndef BACKUP_JOB_JOB_EXECUTOR_H
#define BACKUP_JOB_JOB_EXECUTOR_H

// The frame of every run of a job: password check, activity check, precondition, start
// event, pre-action, the executor's own work (execute_i), post-action and the final
// event. An executor derives from Job_Executor_T and overrides execute_i; the job
// builds a fresh one for every run, on the run thread.
//
// Src and Opts are the types of the definition's parsed source and options records,
// Evt the event handler built on the job.

#include <ctime>

#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "platform/job/job.h"
#include "platform/job/job_definition.h"
#include "platform/job/job_services.h"
#include "platform/json/value.h"

template <typename Src, typename Opts, typename Evt>
class Job_Executor_T {
public:
  // Fills every member from `job`; nothing is owned. The records are null when the
  // definition has none of the expected type.
  explicit Job_Executor_T(Job& job)
    : job_(job),
      def_(job.definition()),
      tgt_(job.definition().target()),
      act_(job.activity()),
      evt_handler_(job),
      src_(dynamic_cast<Src*>(job.definition().source())),
      opts_(dynamic_cast<Opts*>(job.definition().options()))
  {
  }

  virtual ~Job_Executor_T() {}

  virtual bool remove() { return true; }
  virtual bool setup_ondemand() { return true; }
  virtual bool remove_ondemand() { return true; }
  virtual bool update(Job_Definition_var) { return true; }
  virtual bool rollback() { return true; }

  // The executor's own work; `opts` is the start request's options or null.
  virtual bool execute_i(const json_spirit::Object* opts) = 0;

  virtual bool execute_pre_action();
  virtual bool execute_post_action();
  virtual bool check_condition() { return true; }
  virtual bool is_active(const json_spirit::Object*) { return true; }
  // 0 when the backup protection password is accepted.
  virtual int check_password() { return 0; }

  // One run; the outcome is reported through the event handler.
  bool execute(const json_spirit::Object* opts);
  bool execute_precondition();

protected:
  Job& job_;
  Job_Definition& def_;
  Job_Target& tgt_;
  Job_Activity& act_;
  Evt evt_handler_;
  Src* src_;
  Opts* opts_;
};

template <typename Src, typename Opts, typename Evt>
bool Job_Executor_T<Src, Opts, Evt>::execute(const json_spirit::Object* opts)
{
  RHV_CHECK_NOT_NULL(src_, false);

  if (!def_.backup_protection_password().empty()) {
    int code = check_password();
    if (code != 0) {
      evt_handler_.handle_failure(code, nullptr);
      return false;
    }
  }

  if (!is_active(opts)) {
    act_.last_run_time = static_cast<int64_t>(::time(nullptr));
    act_.state = JOB_STATE_SKIPPED;
    return true;
  }

  if (!execute_precondition() || !check_condition()) {
    int64_t now = static_cast<int64_t>(::time(nullptr));
    act_.start_time = now;
    act_.last_run_time = now;
    act_.state = JOB_STATE_IDLE;
    job_.sync(nullptr);
    return true;
  }

  evt_handler_.handle_start_job();

  bool pre = execute_pre_action();
  bool ok = pre && execute_i(opts);

  // The state that decides the final event is read before the post-action, which
  // moves the job to COMPLETING: a cancelled or paused run must still end as such.
  int32_t state = act_.state.load();
  bool post = true;
  if (ok || def_.run_post_action_always())
    post = execute_post_action();

  if (pre && ok && post) {
    evt_handler_.handle_success();
    return true;
  }
  if (state == JOB_STATE_PAUSING)
    evt_handler_.handle_paused();
  else if (state == JOB_STATE_CANCELING)
    evt_handler_.handle_canceled();
  else
    evt_handler_.handle_failure(-1, nullptr);
  return false;
}

template <typename Src, typename Opts, typename Evt>
bool Job_Executor_T<Src, Opts, Evt>::execute_precondition()
{
  return execute_script(def_.precondition(), false, nullptr);
}

template <typename Src, typename Opts, typename Evt>
bool Job_Executor_T<Src, Opts, Evt>::execute_pre_action()
{
  if (!execute_script(def_.pre_action(), false, job_.log_msg_callback()) &&
      !def_.ignore_pre_action_failure())
    return false;
  // A job cancelled or paused during the pre-action does not start its work.
  return act_.state.load() == JOB_STATE_RUNNING;
}

template <typename Src, typename Opts, typename Evt>
bool Job_Executor_T<Src, Opts, Evt>::execute_post_action()
{
  if (def_.post_action().empty())
    return true;
  if (act_.state.load() != JOB_STATE_COMPLETING)
    job_.state(JOB_STATE_COMPLETING);
  if (execute_script(def_.post_action(), false, job_.log_msg_callback()))
    return true;
  return def_.ignore_post_action_failure();
}

#endif  // BACKUP_JOB_JOB_EXECUTOR_H
