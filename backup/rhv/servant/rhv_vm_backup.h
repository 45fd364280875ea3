#ifndef BACKUP_RHV_SERVANT_RHV_VM_BACKUP_H
#define BACKUP_RHV_SERVANT_RHV_VM_BACKUP_H

// The backup side of the per-VM worker: what every backup of one VM keeps, whatever moves
// its data. init_i() fetches the VM with its NICs; post_backup() commits the catalog
// record once the data is stored.

#include <atomic>
#include <cstdint>
#include <string>

#include "backup/rhv/api/rhv_defs_vm.h"
#include "backup/rhv/job/rhv_backup_params.h"
#include "backup/rhv/servant/rhv_vm_base.h"
#include "platform/runtime/uuid.h"

class RHV_VM_Backup : public RHV_VM_Base<RHV_Backup_Params> {
public:
  // Makes a fresh backup-set uuid.
  RHV_VM_Backup();
  ~RHV_VM_Backup() override;

protected:
  // The VM of the task, with its NICs, into vm_.
  bool init_i() override;

  // Commits the catalog record of this backup; false, logged, when it is not committed.
  virtual bool save_catalog() = 0;

  // save_catalog(), raising the catalog alert when it fails.
  bool post_backup();

  unsigned char bset_uuid_[UUID_RAW_SIZE];  // the backup set's uuid, raw
  uint64_t source_size_ = 0;                // provisioned bytes of the snapshot's disks
  std::atomic<uint64_t> total_storage_size_{0};  // bytes the pool stores for the pieces
  std::atomic<uint64_t> total_set_size_{0};      // bytes of the set (the source size)
  std::string timestamp_;                   // the start, UTC "%Y%m%d%H%M%S"
  RHV_VM vm_;
};

#endif  // BACKUP_RHV_SERVANT_RHV_VM_BACKUP_H
