#include "backup/rhv/common/rhv_agent_manager.h"

#include <utility>

#include "backup/scrt/log.h"

RHV_Agent_Manager::RHV_Agent_Manager() : attachment_service_(RHV_Session_var(), std::string()) {}

bool RHV_Agent_Manager::init(RHV_Client& client, const std::string& agent_vm_id)
{
  RHV_VM_Service vm_service = client.vm_service();
  if (!vm_service.get(agent_vm_id, vm_, RHV_NO_FOLLOW)) {
    RHV_LOG_ERROR("Failed to get RHV VM by id '%s'.\n", agent_vm_id.c_str());
    return false;
  }

  attachment_service_ = vm_service.disk_attachment_service(vm_.id);
  RHV_Disk_Attachments attachments;
  if (!attachment_service_.list(attachments, RHV_FOLLOW_DISK)) {
    RHV_LOG_ERROR("Failed to list disks of VM '%s'.\n", vm_.name.c_str());
    return false;
  }
  for (RHV_Disk_Attachment& attachment : attachments) {
    std::string disk_id = attachment.disk.id;
    attachments_.insert_or_assign(std::move(disk_id), std::move(attachment));
  }

  RHV_Cluster cluster;
  if (!client.cluster_service().get(vm_.cluster.id, cluster)) {
    RHV_LOG_ERROR("Failed to get RHV cluster by id '%s'.\n", vm_.cluster.id.c_str());
    return false;
  }
  if (!client.data_center_service().get(cluster.data_center.id, dc_)) {
    RHV_LOG_ERROR("Failed to get data center by id '%s'.\n", cluster.data_center.id.c_str());
    return false;
  }
  RHV_Clusters clusters;
  if (!client.data_center_service().cluster_service(dc_.id).list(clusters)) {
    RHV_LOG_ERROR("Failed to list clusters in data center '%s'.\n", dc_.id.c_str());
    return false;
  }
  for (RHV_Cluster& c : clusters) {
    std::string id = c.id;
    clusters_.insert_or_assign(std::move(id), std::move(c));
  }
  return true;
}

const RHV_Cluster* RHV_Agent_Manager::get_cluster(const std::string& id) const
{
  Cluster_Map::const_iterator it = clusters_.find(id);
  return it == clusters_.end() ? nullptr : &it->second;
}

bool RHV_Agent_Manager::detach_disks(const RHV_Disk_Attachments& attachments)
{
  for (const RHV_Disk_Attachment& attachment : attachments) {
    Attachment_Map::iterator it = attachments_.find(attachment.disk.id);
    if (it == attachments_.end())
      continue;
    // "Not found": a first sending whose answer was lost has taken it off already.
    if (!attachment_service_.remove(it->second.id, true) && !attachment_service_.gone()) {
      RHV_LOG_ERROR("Failed to detach disk '%s' from VM '%s'.\n", it->second.disk.name.c_str(), vm_.name.c_str());
      return false;
    }
    attachments_.erase(it);
  }
  return true;
}
