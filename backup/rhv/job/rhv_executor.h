#ifndef BACKUP_RHV_JOB_RHV_EXECUTOR_H
#define BACKUP_RHV_JOB_RHV_EXECUTOR_H

// The base of the RHV backup and restore executors. The job framework builds a fresh
// executor for every run and calls execute_i on the job thread; a subclass implements
// execute_i, init_i and handle_result_i and uses what the base offers:
//
//   - make_job_guard: only one job per RHV host runs at a time in the process;
//   - init: the RHV host record, the login, then init_i;
//   - is_canceled: the job is being stopped;
//   - report_progress: the periodic progress report while the servants work;
//   - handle_result: the result callback of the servant task scheduler, which checks a
//     servant's reply and hands its result object to handle_result_i.
//
// handle_result and handle_result_i run on the scheduler's threads, possibly several at
// once: the totals are atomics and histories_ is written under histories_mutex_ only.
// Everything else is used on the job thread.

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "backup/job/job_executor.h"
#include "backup/models/task/task_base.h"
#include "backup/rhv/api/rhv_client.h"
#include "backup/rhv/common/rhv_host_info.h"
#include "backup/rhv/job/rhv_job_records.h"
#include "backup/rhv/job/rhv_progress_reporter.h"
#include "platform/job/job.h"
#include "platform/job/job_services.h"
#include "platform/json/value.h"
#include "platform/jsonrpc/json_rpc_object.h"
#include "platform/servant/servant_task_scheduler.h"
#include "platform/storage/client_io_base.h"
#include "platform/storage/pool_info.h"

typedef Job_Executor_T<RHV_JSON_Job_Source, RHV_JSON_Job_Options, Job_Event_Handler> RHV_Job_Executor_Base;

class RHV_Executor : public RHV_Job_Executor_Base {
public:
  typedef std::unique_ptr<ACE_Guard<ACE_Thread_Mutex>> Job_Guard;

  explicit RHV_Executor(Job& job);
  ~RHV_Executor() override;

  // After a successful login: the subclass's own initialisation.
  virtual bool init_i() = 0;
  // One servant's result object: the code for the scheduler (0 done, 1 failed, 2 retry).
  virtual Task_Base::Error handle_result_i(const json_spirit::Object& result) = 0;

  // Takes the process-wide lock of `key` (the RHV host id), waiting as long as another
  // job holds it and logging the wait about every 5 seconds. Empty when the job was set
  // to canceling while waiting (no other state ends the wait) or the guard could not be
  // allocated. The lock is held until the guard is destroyed.
  Job_Guard make_job_guard(const std::string& key);

  // Fetches the RHV host record of the job definition's host, logs in (a failed login
  // raises the login alert), then runs init_i.
  bool init();

  // True while the job is canceling, canceled or aborting.
  bool is_canceled() const;

  // Reports the progress every 5 seconds (or at once after a change of the job state)
  // until the scheduler has stopped running or the job is canceled. Makes no final
  // report.
  void report_progress(Servant_Task_Scheduler& scheduler);

  // The scheduler's result callback: 1 for anything but a response whose result is an
  // object; otherwise handle_result_i's code, counting a 0 as a succeeded VM and never
  // asking for a retry once the job is canceled.
  Task_Base::Error handle_result(JSON_RPC_Object_var reply);

  // Activates `scheduler` with `threads` threads, each task's servant prepared by
  // init_servant and each reply handed to handle_result; false when it cannot start.
  bool activate_scheduler(Servant_Task_Scheduler& scheduler, uint32_t threads);

  // Prepares the servant of one task: its log lines, tagged with the task's "vm_id"
  // ("RHV" without one), go to the job log.
  bool init_servant(Servant& servant, const json_spirit::Object& params);

  // Once every result callback has returned: the histories become the job result "rhev"
  // and the totals go into the job activity.
  void publish_results();

protected:
  uint32_t block_size_ = 8388608;
  uint32_t parallel_vms_ = 2;
  uint32_t parallel_disks_per_vm_ = 2;
  uint32_t parallel_workers_per_disk_ = 1;
  int64_t storage_reserved_bytes_ = 10737418240LL;
  uint32_t storage_reserved_percent_ = 20;
  RHV_Host_Info host_info_;
  RHV_Client client_;
  Pool_Info pool_info_;
  Client_IO_Base::Options client_io_opts_;
  RHV_Progress_Reporter progress_reporter_;
  // One history record per VM, by VM id; written under histories_mutex_ by the result
  // callbacks, read on the job thread once the scheduler has ended.
  json_spirit::Object histories_;
  ACE_Thread_Mutex histories_mutex_;
  std::atomic<bool> rc_{true};
  std::atomic<uint32_t> succeeded_vms_{0};
  std::atomic<uint64_t> source_size_{0};
  std::atomic<uint64_t> set_size_{0};
  std::atomic<uint64_t> storage_size_{0};
};

#endif  // BACKUP_RHV_JOB_RHV_EXECUTOR_H
