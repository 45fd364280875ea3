#ifndef BACKUP_RHV_JOB_RHV_RESTORE_EXECUTOR_H
#define BACKUP_RHV_JOB_RHV_RESTORE_EXECUTOR_H

// One run of an RHV restore job:
//   1. the job guard of the RHV host, the host record and the login;
//   2. the job options, then the VMs to restore from the job source (the entry rules
//      depend on "original_restore": an in-place restore goes back into the source cluster
//      and onto the source storage domains, any other names its target cluster, the
//      storage domain of every disk and optionally the NICs of the new VM);
//   3. one "rhev.restore" task per VM on the servant task scheduler, with a progress file
//      per VM;
//   4. progress reports until the servants are done;
//   5. the per-VM histories as the job result "rhev" and the totals in the job activity.
//
// Every restored VM is a new VM named "<source name>_<UTC time of resolution>". A run
// with no VM succeeds with a warning alert. The job succeeds when every VM enqueued
// succeeded; a VM whose servant reports a failure is retried as the job definition says.

#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "backup/rhv/job/rhv_executor.h"
#include "backup/rhv/job/rhv_restore_params.h"
#include "platform/json/value.h"
#include "platform/servant/servant.h"

class RHV_Restore_Executor : public RHV_Executor {
public:
  explicit RHV_Restore_Executor(Job& job);
  ~RHV_Restore_Executor() override;

  bool execute_i(const json_spirit::Object* opts) override;
  // Nothing to prepare after the login; true.
  bool init_i() override;
  // One servant's restore reply: 0 done, 1 unreadable (not retried), 2 failed (retried).
  Task_Base::Error handle_result_i(const json_spirit::Object& result) override;

  // The job's entries, one task parameter record per object element of "/entries", in
  // order; then the caps on parallelism and the storage I/O options of the servants.
  // Needs resolve_options() first.
  bool resolve_entries();
  // "original_restore" (required), "start_vm", "parallel_vms", "parallel_disks_per_vm"
  // and "block_size" of the options, and the source's "/pool_uuid"; the limits checked.
  bool resolve_options();
  // One entry of "/entries" appended to the VMs to restore.
  bool add_vm_entry(const json_spirit::Object& entry);
  // Fills the job-wide fields of a VM's task parameters; always true.
  bool construct_params(RHV_Restore_Params& params);

  const std::vector<RHV_Restore_Params>& entries() const { return entries_; }
  bool original_restore() const { return original_restore_; }
  bool start_vm() const { return start_vm_; }
  uint32_t parallel_vms() const { return parallel_vms_; }
  uint32_t parallel_disks_per_vm() const { return parallel_disks_per_vm_; }
  uint32_t block_size() const { return block_size_; }
  const boost::optional<std::string>& pool_uuid() const { return pool_uuid_; }
  const Client_IO_Base::Options& client_io_opts() const { return client_io_opts_; }

private:
  const json_spirit::Value& source_value() const;

  bool original_restore_ = true;
  bool start_vm_ = false;
  std::vector<RHV_Restore_Params> entries_;
  // Read from the job source and kept; the servants choose the pool themselves.
  boost::optional<std::string> pool_uuid_;
};

#endif  // BACKUP_RHV_JOB_RHV_RESTORE_EXECUTOR_H
