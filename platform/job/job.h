#ifndef PLATFORM_JOB_JOB_H
#define PLATFORM_JOB_JOB_H

// A job: one job definition driven by the host through job-control hooks.
//
// A job starts with one reference, which the host's ACE_Intrusive_Auto_Ptr adopts (built
// with add-ref false); every thread that works for the job holds a reference of its own.
// At construction the job creates its activity record (a shared file named by the
// definition id) and its log.
//
// The hooks (start_i, stop_i, ...) are called by the host; a job module overrides them.
// The services below are for the module's run thread: set_job_thread() first,
// complete() last.

#include <ace/Auto_Event.h>
#include <ace/Intrusive_Auto_Ptr.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Time_Value.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/job/job_activity.h"
#include "platform/job/job_definition.h"
#include "platform/job/job_log.h"
#include "platform/job/job_records.h"
#include "platform/job/job_types.h"
#include "platform/json/value.h"

#pragma GCC visibility push(default)

// One event a job raised, as recorded for the host.
struct Job_Event {
  enum Kind { START, SUCCESS, FAILURE, PAUSED, CANCELED, VM_PROGRESS };

  Kind kind = START;
  int code = 0;                           // FAILURE: the code
  std::string message;                    // FAILURE: the formatted text, may be empty
  std::vector<VM_Job_Progress> progress;  // VM_PROGRESS: the report
  int state = 0;                          // the activity state after the event
  bool finished = false;                  // VM_PROGRESS: the final report
};

class Job {
public:
  explicit Job(const Job_Definition_var& definition);
  virtual ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Reference counting for ACE_Intrusive_Auto_Ptr<Job>. The job is deleted when the
  // last reference is removed.
  static void intrusive_add_ref(Job* job);
  static void intrusive_remove_ref(Job* job);
  long ref_count() const { return refs_.load(); }

  // ---- Job-control hooks, called by the host. 0 on success, -1 on failure. ----
  virtual int handle_exception(int);
  virtual int start_i(const Action_Options* opts);
  virtual int stop_i(const Action_Options* opts);
  virtual int pause_i(const Action_Options* opts);
  virtual int resume_i(const Action_Options* opts);
  virtual int enable_i();
  virtual int disable_i();
  virtual int switch_i(const Action_Options* opts);
  virtual int abort_i(const Action_Options* opts);
  virtual int remove_i(bool purge, const Action_Options* opts);
  virtual int update_i(Job_Definition_var definition);
  virtual bool can_update_i(const Job_Definition_var& definition);
  virtual int rollback_i();
  virtual int setup_ondemand_i();
  virtual int setup_ondemand_by_job(const Action_Options* opts);
  virtual int handle_timeout(const ACE_Time_Value& now, const void* arg);

  // ---- Services ----
  Job_Definition& definition() const { return *definition_.get(); }
  const Job_Definition_var& definition_var() const { return definition_; }

  // The shared activity record. When its file could not be made the job keeps a
  // private record instead (activity_shared() is false), so the record is always
  // usable.
  Job_Activity& activity() const { return *activity_; }
  bool activity_shared() const { return static_cast<bool>(activity_map_); }

  // Writes `state` into the activity, signals state_event() and returns 0.
  int state_i(Job_State state);
  // Every state written through state_i()/state(), in order.
  std::vector<int> state_history() const;
  // state_i(), then sync().
  int state(Job_State state);
  // Signalled on every state change (auto-reset).
  ACE_Auto_Event& state_event() { return state_event_; }
  // Writes the activity back to its file. 0 on success.
  int sync(const void* arg = nullptr);
  // Number of sync() calls so far.
  int sync_count() const { return sync_count_.load(); }

  // Marks the calling thread as the job thread and routes its log lines to the job log.
  void set_job_thread();
  // Ends the run: the state is kept, the log routing of the job thread is undone and
  // waiters of wait_complete() wake.
  void complete();
  // Blocks until complete() has been called `runs` times in all, or `seconds` passed.
  bool wait_complete(int seconds = 300, int runs = 1) const;
  // Number of complete() calls so far.
  int completed() const;

  // Routes log lines to the job log (see Job_Log).
  std::shared_ptr<ACE_Log_Msg_Callback> log_msg_callback() const { return log_; }
  const std::shared_ptr<Job_Log>& job_log() const { return log_; }

  // The job's results, by key (e.g. "rhev").
  void set_result(const std::string& key, const json_spirit::Value& value);
  json_spirit::Object results() const;

  // Events raised through Job_Event_Handler, in order.
  void record_event(Job_Event event);
  std::vector<Job_Event> events() const;

  // Jobs alive in this process (tests wait for detached run threads to let go).
  static size_t live_jobs();
  // Blocks until no job is alive or `seconds` passed; true when none is.
  static bool wait_no_live_jobs(int seconds = 60);

private:
  void open_activity();

  // Counts the job among the live ones until its very last member is gone.
  struct Live_Token {
    Live_Token();
    ~Live_Token();
  };

  Live_Token live_token_;
  std::atomic<long> refs_{1};
  Job_Definition_var definition_;
  Job_Activity_Handle activity_map_;
  std::unique_ptr<Job_Activity> private_activity_;
  Job_Activity* activity_ = nullptr;
  ACE_Auto_Event state_event_;
  std::atomic<int> sync_count_{0};
  std::shared_ptr<Job_Log> log_;

  mutable std::mutex mutex_;
  mutable std::condition_variable completed_cond_;
  int completed_ = 0;
  ACE_Log_Msg_Callback* saved_callback_ = nullptr;
  json_spirit::Object results_;
  std::vector<Job_Event> events_;
  std::vector<int> state_history_;
};

typedef ACE_Intrusive_Auto_Ptr<Job> Job_var;

// Makes jobs from job definitions; a job module exports one.
class Job_Creator {
public:
  virtual ~Job_Creator();
  // 0 on success, -1 on failure.
  virtual int init(int argc, char** argv);
  virtual int fini();
  // A new job for the definition, or an empty pointer when none can be made.
  virtual Job_var create(Job_Definition_var definition) = 0;
};

#pragma GCC visibility pop

#endif  // PLATFORM_JOB_JOB_H
