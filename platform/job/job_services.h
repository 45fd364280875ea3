#ifndef PLATFORM_JOB_JOB_SERVICES_H
#define PLATFORM_JOB_JOB_SERVICES_H

// Services of the job library for job modules: the event handler that reports a run's
// outcome, the per-key process-wide mutexes, job alerts and script execution.

#include <ace/Log_Msg_Callback.h>
#include <ace/Thread_Mutex.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/job/job.h"
#include "platform/job/job_types.h"
#include "platform/json/value.h"

#pragma GCC visibility push(default)

// Reports the events of one run of a job. Each event is recorded on the job
// (Job::events()) and leaves the activity in a state the servants and alerts rely on:
// start 3 (a cancel, pause or abort asked for before the start is kept), success 7,
// failure 10, canceled 9, paused 1; the final events also set the activity's
// last_run_time and write it back. Every operation returns 0.
class Job_Event_Handler {
public:
  explicit Job_Event_Handler(Job& job) : job_(job) {}
  virtual ~Job_Event_Handler();

  virtual int handle_start_job();
  virtual int handle_success();
  // `format` (printf style, may be null) and its arguments describe the failure.
  virtual int handle_failure(int code, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  virtual int handle_paused();
  virtual int handle_canceled();
  // One progress report; `state` is the activity state, `finished` marks the last one.
  virtual int handle_vm_progress(std::vector<VM_Job_Progress>& progress, int state,
                                 bool finished);

  Job& job() const { return job_; }

private:
  int finish(Job_Event::Kind kind, Job_State state, int code, std::string message);

  Job& job_;
};

// One mutex per key for the whole process; it lives as long as the process.
class Job_Mutex {
public:
  static ACE_Thread_Mutex& get(const std::string& key);
};

// Raises a job alert: appends one JSON line to the configured alert sink,
// {"id", "level", "code", "params", "revision", "uuids", "activity", "start", "end"},
// where id carries the level in bits 63-60 above 0x3290000000 + code. `params` may be
// null (an empty array is written). `flags` and `count` are carried for the host and
// have no effect here. 0 on success, -1 on failure (logged).
int write_job_alert(Job& job, int level, int code, int flags, const json_spirit::Array* params,
                    int count);

// Runs `script` as shell text (/bin/sh -c). An empty script succeeds without running
// anything. Unless `detached`, waits for it, routes each line it writes to stdout or
// stderr to `callback` (when given) at LM_INFO, and succeeds when it exits with 0.
// A detached script only has to start.
bool execute_script(const std::string& script, bool detached,
                    std::shared_ptr<ACE_Log_Msg_Callback> callback);

#pragma GCC visibility pop

#endif  // PLATFORM_JOB_JOB_SERVICES_H
