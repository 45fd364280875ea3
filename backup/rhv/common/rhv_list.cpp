#include "backup/rhv/common/rhv_list.h"

#include <utility>

#include <boost/range/adaptor/filtered.hpp>
#include <boost/range/adaptor/transformed.hpp>

#include "backup/json_spirit/assign.h"
#include "backup/rhv/common/rhv_utils.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "backup/scrt/range.h"

const Key2_Value_T<RHV_List_Type> list_type_table[] = {
    SCRT_KEY2_VALUE("", RHV_LIST_TOP_TYPE),
    SCRT_KEY2_VALUE("Datacenter", RHV_LIST_DATACENTER_TYPE),
    SCRT_KEY2_VALUE("StorageDomain", RHV_LIST_STORAGE_TYPE),
    SCRT_KEY2_VALUE("Cluster", RHV_LIST_CLUSTER_TYPE),
    SCRT_KEY2_VALUE("VirtualMachine", RHV_LIST_VM_TYPE),
    SCRT_KEY2_VALUE("VnicProfiles", RVH_LIST_VNIC_PROFILES_TYPE),
    {nullptr, 0, RHV_LIST_UNKNOWN},
};

RHV_List_Type list_name_to_type(char const* name)
{
  return get_key_value_entry(list_type_table, name).value;
}

namespace {

using json_spirit::Object;
using json_spirit::Value;
using json_spirit::insert;
using Nodes = std::vector<Value>;

const char* const RECOVERY_VIEW = "recovery";

// Node makers: each moves the texts out of a record that is thrown away afterwards.

Value data_center_node(RHV_Data_Center& dc)
{
  Object node;
  insert(node)("name", std::move(dc.name))("moid", std::move(dc.id))("has_children", true)(
      "type", "Datacenter");
  return Value(std::move(node));
}

enum class Cluster_Node { default_view, recovery_view, search_result };

Value cluster_node(RHV_Cluster& cluster, Cluster_Node kind)
{
  Object node;
  insert(node)("name", std::move(cluster.name))("moid", std::move(cluster.id))("type", "Cluster");
  if (kind == Cluster_Node::search_result)
    insert(node)("has_children", false);
  else
    insert(node)("data_center_id", std::move(cluster.data_center.id));
  if (kind == Cluster_Node::default_view)
    insert(node)("has_children", true);
  return Value(std::move(node));
}

Value vm_node(RHV_VM& vm)
{
  Object node;
  insert(node)("name", std::move(vm.name))("moid", std::move(vm.id))("status", std::move(vm.status))(
      "has_children", false)("type", "VirtualMachine");
  return Value(std::move(node));
}

Value disk_node(RHV_Disk& disk, const RHV_Disk_Attachment& attachment)
{
  Object node;
  insert(node)("name", std::move(disk.name))("moid", std::move(disk.id))("has_children", false)("type", "Disk")(
      "size", disk.provisioned_size)("bootable", attachment.bootable.value_or(false))(
      "shareable", disk.shareable.value_or(false));
  return Value(std::move(node));
}

Value storage_domain_node(RHV_Storage_Domain& domain)
{
  json_spirit::Array data_centers;
  data_centers.reserve(domain.data_centers.size());
  for (RHV_Object& link : domain.data_centers) {
    Object dc;
    insert(dc)("id", std::move(link.id))("name", std::move(link.name));
    data_centers.emplace_back(std::move(dc));
  }
  Object node;
  insert(node)("name", std::move(domain.name))("moid", std::move(domain.id))("status", std::move(domain.status))(
      "type", "StorageDomain")("data_centers", std::move(data_centers));
  return Value(std::move(node));
}

Value vnic_profile_node(RHV_VNIC_Profile& profile, const std::string& data_center_id)
{
  Object node;
  insert(node)("name", std::move(profile.name))("moid", std::move(profile.id))("data_center_id", data_center_id)(
      "type", "VnicProfiles");
  return Value(std::move(node));
}

// Appends a node per VM except the agent VM.
void append_vms(RHV_VMs& vms, const std::string& agent_vm_id, Nodes& nodes)
{
  using boost::adaptors::filtered;
  using boost::adaptors::transformed;
  auto not_agent = [&agent_vm_id](const RHV_VM& vm) { return vm.id != agent_vm_id; };
  push_back(nodes, vms | filtered(not_agent) | transformed([](RHV_VM& vm) { return vm_node(vm); }), vms.size());
}

}  // namespace

RHV_Lister::RHV_Lister(RHV_Client& client, std::string type, std::string view, std::string target_id,
                       std::string search_type, std::string agent_vm_id)
  : type_(std::move(type)),
    view_(std::move(view)),
    target_id_(std::move(target_id)),
    search_type_(std::move(search_type)),
    agent_vm_id_(std::move(agent_vm_id)),
    client_(client)
{
}

bool RHV_Lister::is_recovery_view() const
{
  return view_ == RECOVERY_VIEW;
}

char const* RHV_Lister::engine_host() const
{
  return client_.session() ? client_.session()->host().c_str() : "";
}

bool RHV_Lister::list(Nodes& nodes)
{
  return is_recovery_view() ? list_recovery_view(nodes) : list_default_view(nodes);
}

bool RHV_Lister::search(std::string const& text, Nodes& nodes)
{
  switch (list_name_to_type(search_type_.c_str())) {
  case RHV_LIST_VM_TYPE:
    return search_vm(text, nodes);
  case RHV_LIST_CLUSTER_TYPE:
    return search_cluster(text, nodes);
  default:
    return false;
  }
}

bool RHV_Lister::list_default_view(Nodes& nodes)
{
  switch (list_name_to_type(type_.c_str())) {
  case RHV_LIST_TOP_TYPE:
    return list_datacenter(nodes);
  case RHV_LIST_DATACENTER_TYPE:
    return list_cluster(nodes);
  case RHV_LIST_CLUSTER_TYPE:
    return list_vm(nodes);
  case RHV_LIST_VM_TYPE:
    return list_disk(nodes);
  default:
    return false;
  }
}

bool RHV_Lister::list_recovery_view(Nodes& nodes)
{
  switch (list_name_to_type(type_.c_str())) {
  case RHV_LIST_CLUSTER_TYPE:
    return list_cluster(nodes);
  case RHV_LIST_STORAGE_TYPE:
    return list_storage_domain(nodes);
  case RVH_LIST_VNIC_PROFILES_TYPE:
    return list_vnic_profiles(nodes);
  default:
    return false;
  }
}

bool RHV_Lister::list_datacenter(Nodes& nodes)
{
  RHV_Data_Center dc;
  if (!get_dc(client_, agent_vm_id_, dc)) {
    RHV_LOG_ERROR("Failed to get RHV datacenter of vm '%s'.\n", agent_vm_id_.c_str());
    return false;
  }
  nodes.push_back(data_center_node(dc));
  return true;
}

bool RHV_Lister::list_cluster(Nodes& nodes)
{
  // The default view lists the data center the request names; the recovery view the
  // agent VM's.
  const bool recovery = is_recovery_view();
  std::string dc_id;
  if (recovery) {
    RHV_Data_Center dc;
    if (!get_dc(client_, agent_vm_id_, dc)) {
      RHV_LOG_ERROR("Failed to get datacenter of '%s'.\n", agent_vm_id_.c_str());
      return false;
    }
    dc_id = std::move(dc.id);
  } else {
    RHV_CHECK_NOT_EMPTY(target_id_, false);
    dc_id = target_id_;
  }

  RHV_Clusters clusters;
  if (!client_.data_center_service().cluster_service(dc_id).list(clusters)) {
    RHV_LOG_ERROR("Failed to list clusters of datacenter %s.\n", dc_id.c_str());
    return false;
  }
  const Cluster_Node kind = recovery ? Cluster_Node::recovery_view : Cluster_Node::default_view;
  push_back(nodes,
            clusters | boost::adaptors::transformed([kind](RHV_Cluster& c) { return cluster_node(c, kind); }),
            clusters.size());
  return true;
}

bool RHV_Lister::list_vm(Nodes& nodes)
{
  RHV_CHECK_NOT_EMPTY(target_id_, false);
  RHV_VMs vms;
  if (!client_.cluster_service().vm_service(target_id_).list(vms, RHV_NO_FOLLOW)) {
    RHV_LOG_ERROR("Failed to list vms of cluster %s.\n", target_id_.c_str());
    return false;
  }
  append_vms(vms, agent_vm_id_, nodes);
  return true;
}

bool RHV_Lister::list_disk(Nodes& nodes)
{
  RHV_CHECK_NOT_EMPTY(target_id_, false);
  RHV_Disk_Attachments attachments;
  if (!client_.vm_service().disk_attachment_service(target_id_).list(attachments, RHV_NO_FOLLOW)) {
    RHV_LOG_ERROR("Failed to list disks of vm %s.\n", target_id_.c_str());
    return false;
  }

  // One disk GET per attachment into one record (a load replaces it whole, so a field
  // one disk leaves out never shows the value of the disk before it); a disk that cannot
  // be read is listed as {} at its place.
  RHV_Disk_Service disks = client_.disk_service();
  RHV_Disk disk;
  nodes.reserve(nodes.size() + attachments.size());
  for (const RHV_Disk_Attachment& attachment : attachments) {
    if (disks.get(attachment.disk.id, disk))
      nodes.push_back(disk_node(disk, attachment));
    else
      nodes.emplace_back(Object());
  }
  return true;
}

bool RHV_Lister::list_storage_domain(Nodes& nodes)
{
  RHV_Data_Center dc;
  if (!get_dc(client_, agent_vm_id_, dc)) {
    RHV_LOG_ERROR("Failed to get datacenter of '%s'.\n", agent_vm_id_.c_str());
    return false;
  }
  RHV_Storage_Domains domains;
  if (!client_.data_center_service().storage_domain_service(dc.id).list(domains)) {
    RHV_LOG_ERROR("Failed to list storages from RHV %s.\n", engine_host());
    return false;
  }
  push_back(nodes, domains | boost::adaptors::transformed([](RHV_Storage_Domain& d) { return storage_domain_node(d); }),
            domains.size());
  return true;
}

bool RHV_Lister::list_vnic_profiles(Nodes& nodes)
{
  RHV_Data_Center dc;
  if (!get_dc(client_, agent_vm_id_, dc)) {
    RHV_LOG_ERROR("Failed to get datacenter of '%s'.\n", agent_vm_id_.c_str());
    return false;
  }
  RHV_Network_Service network_service = client_.data_center_service().network_service(dc.id);
  RHV_Networks networks;
  if (!network_service.list(networks)) {
    RHV_LOG_ERROR("Failed to list networks from RHV %s of DataCenter %s.\n", engine_host(), dc.id.c_str());
    return false;
  }
  for (const RHV_Network& network : networks) {
    RHV_VNIC_Profiles profiles;
    if (!network_service.vnic_profile_service(network.id).list(profiles)) {
      RHV_LOG_ERROR("Failed to list vnic profiles of network %s.\n", network.id.c_str());
      return false;
    }
    const std::string& dc_id = network.data_center.id;
    push_back(nodes,
              profiles | boost::adaptors::transformed(
                             [&dc_id](RHV_VNIC_Profile& p) { return vnic_profile_node(p, dc_id); }),
              profiles.size());
  }
  return true;
}

bool RHV_Lister::search_vm(std::string const& text, Nodes& nodes)
{
  RHV_VMs vms;
  if (!get_vms(client_, agent_vm_id_, vms, "*" + text + "*")) {
    RHV_LOG_ERROR("Failed to get vms in '%s' by '%s'.\n", agent_vm_id_.c_str(), text.c_str());
    return false;
  }
  append_vms(vms, agent_vm_id_, nodes);
  return true;
}

bool RHV_Lister::search_cluster(std::string const& text, Nodes& nodes)
{
  RHV_Data_Center dc;
  if (!get_dc(client_, agent_vm_id_, dc)) {
    RHV_LOG_ERROR("Failed to get datacenter of '%s'.\n", agent_vm_id_.c_str());
    return false;
  }
  RHV_Clusters clusters;
  if (!client_.cluster_service().list("*" + text + "*", clusters, false)) {
    RHV_LOG_ERROR("Failed to get cluster in '%s'.\n", dc.id.c_str());
    return false;
  }
  const std::string& dc_id = dc.id;
  auto in_dc = [&dc_id](const RHV_Cluster& c) { return c.data_center.id == dc_id; };
  push_back(nodes,
            clusters | boost::adaptors::filtered(in_dc) | boost::adaptors::transformed([](RHV_Cluster& c) {
              return cluster_node(c, Cluster_Node::search_result);
            }),
            clusters.size());
  return true;
}
