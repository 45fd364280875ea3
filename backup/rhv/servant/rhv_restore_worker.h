#ifndef BACKUP_RHV_SERVANT_RHV_RESTORE_WORKER_H
#define BACKUP_RHV_SERVANT_RHV_RESTORE_WORKER_H

// The worker the restore handler runs for each "rhev.restore" request: the agent restore,
// which writes the VM's disks through the agent VM.

#include "backup/rhv/servant/rhv_agent_restore.h"

typedef RHV_Agent_Restore RHV_Restore_Worker;

#endif  // BACKUP_RHV_SERVANT_RHV_RESTORE_WORKER_H
