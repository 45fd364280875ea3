#ifndef BACKUP_JOB_DEFAULT_JOB_CREATOR_H
#define BACKUP_JOB_DEFAULT_JOB_CREATOR_H

// Makes the job of a definition: BJ for a backup definition (type 1), RJ for a restore
// definition (type 2), nothing for any other type. BJ and RJ are Job types constructed
// from the definition.

#include <cerrno>
#include <new>

#include "platform/job/job.h"
#include "platform/job/job_definition.h"
#include "platform/job/job_types.h"

template <typename BJ, typename RJ>
class Default_Job_Creator_T : public Job_Creator {
public:
  // The new job adopts its initial reference. Empty for another type (errno untouched)
  // or when the allocation fails (errno ENOMEM).
  Job_var create(Job_Definition_var definition) override
  {
    if (definition.get() == nullptr)
      return Job_var();
    Job* job = nullptr;
    switch (definition->type()) {
    case JOB_DEFINITION_BACKUP:
      job = new (std::nothrow) BJ(definition);
      break;
    case JOB_DEFINITION_RESTORE:
      job = new (std::nothrow) RJ(definition);
      break;
    default:
      return Job_var();
    }
    if (job == nullptr) {
      errno = ENOMEM;
      return Job_var();
    }
    return Job_var(job, false);
  }
};

#endif  // BACKUP_JOB_DEFAULT_JOB_CREATOR_H
