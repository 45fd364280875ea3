#ifndef BACKUP_RHV_SERVANT_RHV_RESTORE_WORKER_H
#define BACKUP_RHV_SERVANT_RHV_RESTORE_WORKER_H

// The worker the restore handler runs for each "rhev.restore" request.
//
// Until the agent restore is part of the module, that is RHV_Unavailable_Restore: it loads
// the task parameters like a real worker (so bad parameters are refused the same way),
// then fails the VM cleanly, replying "code" 1 with the VM named and every size 0, and
// touches nothing on the engine or in the pool.

#include "backup/rhv/servant/rhv_vm_restore.h"

class RHV_Unavailable_Restore : public RHV_VM_Restore {
public:
  bool execute(json_spirit::Value& result) override;
};

typedef RHV_Unavailable_Restore RHV_Restore_Worker;

#endif  // BACKUP_RHV_SERVANT_RHV_RESTORE_WORKER_H
