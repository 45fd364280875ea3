#ifndef BACKUP_RHV_COMMON_RHV_AGENT_MANAGER_H
#define BACKUP_RHV_COMMON_RHV_AGENT_MANAGER_H

// What a backup job needs to know about the agent VM (the VM of the engine that this
// module runs in): the VM itself, its data center and that data center's clusters, and
// the disks attached to it. init() reads them once after login; the questions are then
// answered from memory. The only write to the engine is detach_disks(), which takes off
// the agent VM the disks that an interrupted earlier backup left attached.
//
// Not refreshed: disks attached to the agent VM after init() are unknown to it. Used
// from the job thread only; no locks. All comparisons are exact comparisons of ids.

#include <string>
#include <unordered_map>

#include "backup/rhv/api/rhv_client.h"
#include "backup/rhv/api/rhv_defs_infra.h"
#include "backup/rhv/api/rhv_defs_vm.h"
#include "backup/rhv/api/rhv_vm_services.h"

class RHV_Agent_Manager {
public:
  typedef std::unordered_map<std::string, RHV_Cluster> Cluster_Map;             // by cluster id
  typedef std::unordered_map<std::string, RHV_Disk_Attachment> Attachment_Map;  // by disk id

  RHV_Agent_Manager();

  // Reads the agent VM, its disk attachments (each with its disk), its cluster, its data
  // center and that data center's clusters. Stops at the first failure (logged); the
  // manager is then partly filled and must not be used.
  bool init(RHV_Client& client, const std::string& agent_vm_id);

  const RHV_VM& vm() const { return vm_; }
  const RHV_Data_Center& data_center() const { return dc_; }

  bool is_agent_vm(const RHV_VM& vm) const { return is_agent_vm(vm.id); }
  bool is_agent_vm(const std::string& id) const { return id == vm_.id; }
  bool is_vm_in_agent_dc(const RHV_VM& vm) const { return is_cluster_in_agent_dc(vm.cluster.id); }
  bool is_cluster_in_agent_dc(const RHV_Cluster& cluster) const { return is_cluster_in_agent_dc(cluster.id); }
  bool is_cluster_in_agent_dc(const std::string& cluster_id) const { return clusters_.count(cluster_id) != 0; }
  bool is_agent_dc(const RHV_Data_Center& dc) const { return is_agent_dc(dc.id); }
  bool is_agent_dc(const std::string& dc_id) const { return dc_id == dc_.id; }

  // The cached cluster, or null when it is not one of the agent data center's clusters.
  const RHV_Cluster* get_cluster(const RHV_VM& vm) const { return get_cluster(vm.cluster.id); }
  const RHV_Cluster* get_cluster(const RHV_Cluster& cluster) const { return get_cluster(cluster.id); }
  const RHV_Cluster* get_cluster(const std::string& id) const;

  // Unplugs from the agent VM (without deleting) every disk of `attachments` that is
  // attached to it, in order, and forgets it. Stops at the first disk that cannot be
  // detached (logged) and returns false. Disks not on the agent VM cost no request.
  bool detach_disks(const RHV_Disk_Attachments& attachments);

private:
  RHV_VM vm_;
  RHV_Data_Center dc_;
  Cluster_Map clusters_;
  Attachment_Map attachments_;
  RHV_Disk_Attachment_Service attachment_service_;
};

#endif
