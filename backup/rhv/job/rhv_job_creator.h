#ifndef BACKUP_RHV_JOB_RHV_JOB_CREATOR_H
#define BACKUP_RHV_JOB_RHV_JOB_CREATOR_H

// The job creator of the RHV module: a controllable job running the backup executor for
// backup definitions and the restore executor for restore definitions.
//
// The executors are template arguments. Until the restore executor is part of the module,
// restore jobs run RHV_Unavailable_Executor, which fails every run cleanly: the job ends
// with a failure event and the reason in the job log.

#include "backup/job/default_job.h"
#include "backup/job/default_job_creator.h"
#include "backup/job/job_executor.h"
#include "backup/rhv/job/rhv_backup_executor.h"
#include "backup/rhv/job/rhv_job_records.h"
#include "backup/scrt/log.h"
#include "platform/job/job_services.h"

template <typename Backup_Executor, typename Restore_Executor>
using RHV_Job_Creator_T = Default_Job_Creator_T<Controllable_Job_T<Backup_Executor>,
                                                Controllable_Job_T<Restore_Executor>>;

struct RHV_Backup_Kind {
  static const char* name() { return "backup"; }
};

struct RHV_Restore_Kind {
  static const char* name() { return "restore"; }
};

// Fails every run with "RHV <kind> is not available." in the job log.
template <typename Kind>
class RHV_Unavailable_Executor
  : public Job_Executor_T<RHV_JSON_Job_Source, RHV_JSON_Job_Options, Job_Event_Handler> {
public:
  explicit RHV_Unavailable_Executor(Job& job)
    : Job_Executor_T<RHV_JSON_Job_Source, RHV_JSON_Job_Options, Job_Event_Handler>(job)
  {
  }

  bool execute_i(const json_spirit::Object*) override
  {
    RHV_LOG(-1, LM_ERROR, "RHV %s is not available.\n", Kind::name());
    return false;
  }
};

// The executors the RHV jobs run.
typedef RHV_Backup_Executor RHV_Job_Backup_Executor;
typedef RHV_Unavailable_Executor<RHV_Restore_Kind> RHV_Job_Restore_Executor;

typedef RHV_Job_Creator_T<RHV_Job_Backup_Executor, RHV_Job_Restore_Executor> RHV_Job_Creator;

#endif  // BACKUP_RHV_JOB_RHV_JOB_CREATOR_H
