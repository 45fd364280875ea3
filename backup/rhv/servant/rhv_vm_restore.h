#ifndef BACKUP_RHV_SERVANT_RHV_VM_RESTORE_H
#define BACKUP_RHV_SERVANT_RHV_VM_RESTORE_H

// The restore side of the per-VM worker: the sizes a restore of one VM reports and its own
// stop flag (set by the worker when the target storage runs short), next to the job's
// cancel.

#include <atomic>
#include <cstdint>

#include "backup/rhv/job/rhv_restore_params.h"
#include "backup/rhv/servant/rhv_vm_base.h"

class RHV_VM_Restore : public RHV_VM_Base<RHV_Restore_Params> {
public:
  RHV_VM_Restore();
  ~RHV_VM_Restore() override;

  // The worker stopped itself, or the job asks its servants to stop.
  bool is_canceled() const;

protected:
  // Nothing more to prepare: true.
  bool init_i() override;

  std::atomic<uint64_t> storage_size_{0};  // bytes the pool stored for the pieces read
  std::atomic<uint64_t> set_size_{0};      // catalog sizes of the pieces read
  uint64_t source_size_ = 0;               // the backed-up disks' total size
  std::atomic<bool> stop_{false};
};

#endif  // BACKUP_RHV_SERVANT_RHV_VM_RESTORE_H
