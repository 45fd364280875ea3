#ifndef BACKUP_RHV_JOB_RHV_BACKUP_EXECUTOR_H
#define BACKUP_RHV_JOB_RHV_BACKUP_EXECUTOR_H

// One run of an RHV backup job:
//   1. the job guard of the RHV host, the host record, the login and the backup method;
//   2. the VMs to back up, resolved from the job source within the agent VM's data center
//      (the agent VM itself, VMs of other data centers and shared disks never get in),
//      then the job options, then the VMs whose storage domains lack free space dropped;
//   3. the storage I/O options;
//   4. one "rhev.backup" task per VM on the servant task scheduler, with a progress file
//      per VM;
//   5. progress reports until the servants are done;
//   6. the per-VM histories as the job result "rhev" and the totals in the job activity.
//
// A run with no VM left succeeds with a warning alert. The job succeeds when every VM
// enqueued succeeded.

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "backup/rhv/api/rhv_defs_infra.h"
#include "backup/rhv/api/rhv_defs_vm.h"
#include "backup/rhv/common/rhv_agent_manager.h"
#include "backup/rhv/common/rhv_utils.h"
#include "backup/rhv/job/rhv_backup_params.h"
#include "backup/rhv/job/rhv_executor.h"
#include "platform/json/value.h"
#include "platform/runtime/wildcard_matcher.h"
#include "platform/servant/servant.h"

class RHV_Backup_Executor : public RHV_Executor {
public:
  // Ids in the order they were accepted; each at most once.
  class Id_Set {
  public:
    bool insert(const std::string& id);
    bool contains(const std::string& id) const { return set_.count(id) != 0; }
    bool empty() const { return order_.empty(); }
    const std::vector<std::string>& ids() const { return order_; }

  private:
    std::unordered_set<std::string> set_;
    std::vector<std::string> order_;
  };

  // Single-disk selections: VM id -> disk ids, VMs in the order they were first named.
  class VM_Disks_Map {
  public:
    Id_Set& operator[](const std::string& vm_id);
    bool empty() const { return order_.empty(); }
    const std::vector<std::string>& vm_ids() const { return order_; }
    const Id_Set& disks(const std::string& vm_id) const { return map_.at(vm_id); }

  private:
    std::unordered_map<std::string, Id_Set> map_;
    std::vector<std::string> order_;
  };

  typedef std::unordered_map<std::string, RHV_VM> VM_Map;
  typedef std::map<std::string, RHV_Storage_Domain> Storage_Domain_Map;

  // What entry resolution collects; made fresh by each resolve_entries.
  struct Entry_Context {
    RHV_Agent_Manager manager;   // the agent VM, its data center and clusters
    Wildcard_Matcher excluded;   // VM-name patterns of the "exclusion" option
    bool has_added_dc = false;   // a "Datacenter" entry of the agent's data center
    Id_Set clusters;             // accepted cluster ids
    Id_Set vms;                  // accepted whole-VM ids
    VM_Disks_Map vm_disks;       // accepted single-disk selections
    VM_Map cache_vms;            // VMs of the agent's data center outside every accepted cluster
  };

  explicit RHV_Backup_Executor(Job& job);
  ~RHV_Backup_Executor() override;

  bool execute_i(const json_spirit::Object* opts) override;
  bool init_i() override;
  Task_Base::Error handle_result_i(const json_spirit::Object& result) override;

  // ---- options and dispatch ----
  bool resolve_options();
  bool init_client_io_opts();
  // Fills the job-wide fields of a VM's task parameters; always true.
  bool construct_params(RHV_Backup_Params& params);

  // ---- entries ----
  bool resolve_entries();
  bool init_entry_context(Entry_Context& ctx);
  bool expand_entries(const json_spirit::Array& entries, Entry_Context& ctx);
  bool add_entry(const json_spirit::Object& entry, Entry_Context& ctx);
  bool add_data_center(const std::string& id, Entry_Context& ctx);
  bool add_cluster(const std::string& id, Entry_Context& ctx);
  bool add_vm(const std::string& id, Entry_Context& ctx);
  bool add_disks(const std::string& vm_id, const json_spirit::Array& disks, Entry_Context& ctx);
  bool resolve_data_center(Entry_Context& ctx);
  bool resolve_clusters(Entry_Context& ctx);
  bool resolve_vms(Entry_Context& ctx);
  bool resolve_vm_disks(Entry_Context& ctx);
  bool get_vm(Entry_Context& ctx, const std::string& id, RHV_VM& out);
  // Appends the VM to entries_ unless a filter drops it (logged); always true.
  bool construct_entry(RHV_VM& vm, Entry_Context& ctx);

  // Drops the entries whose storage domains lack free space, keeping the order.
  void filter_entries();
  bool check_storages_quota(const RHV_Backup_Params& entry, Storage_Domain_Map& failed_domains,
                            Storage_Domain_Map& success_domains);

  const std::vector<RHV_Backup_Params>& entries() const { return entries_; }
  RHV_Backup_Method backup_method() const { return backup_method_; }

private:
  // The options document as an object (empty when it is none).
  const json_spirit::Object& options_object() const;
  void log_space_shortage(const RHV_Backup_Params& entry, const std::string& domain_id, int64_t available,
                          int64_t used) const;

  std::vector<RHV_Backup_Params> entries_;
  RHV_Backup_Method backup_method_ = UNKNOWN;
};

#endif  // BACKUP_RHV_JOB_RHV_BACKUP_EXECUTOR_H
