#ifndef BACKUP_RHV_JOB_RHV_JOB_CREATOR_H
#define BACKUP_RHV_JOB_RHV_JOB_CREATOR_H

// The job creator of the RHV module: a controllable job running the backup executor for
// backup definitions and the restore executor for restore definitions.
//
// The executors are template arguments, so that tests can run the job framework with
// executors of their own.

#include "backup/job/default_job.h"
#include "backup/job/default_job_creator.h"
#include "backup/job/job_executor.h"
#include "backup/rhv/job/rhv_backup_executor.h"
#include "backup/rhv/job/rhv_restore_executor.h"

template <typename Backup_Executor, typename Restore_Executor>
using RHV_Job_Creator_T = Default_Job_Creator_T<Controllable_Job_T<Backup_Executor>,
                                                Controllable_Job_T<Restore_Executor>>;

// The executors the RHV jobs run.
typedef RHV_Backup_Executor RHV_Job_Backup_Executor;
typedef RHV_Restore_Executor RHV_Job_Restore_Executor;

typedef RHV_Job_Creator_T<RHV_Job_Backup_Executor, RHV_Job_Restore_Executor> RHV_Job_Creator;

#endif  // BACKUP_RHV_JOB_RHV_JOB_CREATOR_H
