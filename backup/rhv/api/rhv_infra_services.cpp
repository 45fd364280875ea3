#include "backup/rhv/api/rhv_infra_services.h"

#include <utility>

// ---------------------------------------------------------------------------
// RHV_VNIC_Profile_Service

RHV_VNIC_Profile_Service::RHV_VNIC_Profile_Service(RHV_Session_var session)
  : RHV_Service(std::move(session), "/vnicprofiles")
{
}

RHV_VNIC_Profile_Service::RHV_VNIC_Profile_Service(RHV_Session_var session, const std::string& network_id)
  : RHV_Service(std::move(session), child_path("/networks", network_id, "/vnicprofiles")), network_id_(network_id)
{
}

bool RHV_VNIC_Profile_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_VNIC_Profile_Service::list(RHV_VNIC_Profiles& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_vnic_profiles);
}

bool RHV_VNIC_Profile_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_VNIC_Profile_Service::get(const std::string& id, RHV_VNIC_Profile& out)
{
  return get_record(id, std::string(), out);
}

bool RHV_VNIC_Profile_Service::add(const json_spirit::Value& body, json_spirit::Value& result)
{
  return add_value(body, result);
}

bool RHV_VNIC_Profile_Service::add(const RHV_VNIC_Profile& in, RHV_VNIC_Profile& out)
{
  return add_record(in, out);
}

bool RHV_VNIC_Profile_Service::add(RHV_VNIC_Profile& rec)
{
  return add(rec, rec);
}

// ---------------------------------------------------------------------------
// RHV_Network_Service

RHV_Network_Service::RHV_Network_Service(RHV_Session_var session) : RHV_Service(std::move(session), "/networks") {}

RHV_Network_Service::RHV_Network_Service(RHV_Session_var session, const std::string& data_center_id)
  : RHV_Service(std::move(session), child_path("/datacenters", data_center_id, "/networks")),
    data_center_id_(data_center_id)
{
}

bool RHV_Network_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Network_Service::list(RHV_Networks& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_networks);
}

bool RHV_Network_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Network_Service::get(const std::string& id, RHV_Network& out)
{
  return get_record(id, std::string(), out);
}

RHV_VNIC_Profile_Service RHV_Network_Service::vnic_profile_service(const std::string& network_id) const
{
  return RHV_VNIC_Profile_Service(session_, network_id);
}

// ---------------------------------------------------------------------------
// RHV_Storage_Domain_Service

RHV_Storage_Domain_Service::RHV_Storage_Domain_Service(RHV_Session_var session)
  : RHV_Service(std::move(session), "/storagedomains")
{
}

RHV_Storage_Domain_Service::RHV_Storage_Domain_Service(RHV_Session_var session, const std::string& data_center_id)
  : RHV_Service(std::move(session), child_path("/datacenters", data_center_id, "/storagedomains")),
    data_center_id_(data_center_id)
{
}

bool RHV_Storage_Domain_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Storage_Domain_Service::list(RHV_Storage_Domains& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_storage_domains);
}

bool RHV_Storage_Domain_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Storage_Domain_Service::get(const std::string& id, RHV_Storage_Domain& out)
{
  return get_record(id, std::string(), out);
}

// ---------------------------------------------------------------------------
// RHV_Cluster_Service

RHV_Cluster_Service::RHV_Cluster_Service(RHV_Session_var session) : RHV_Service(std::move(session), "/clusters") {}

RHV_Cluster_Service::RHV_Cluster_Service(RHV_Session_var session, const std::string& data_center_id)
  : RHV_Service(std::move(session), child_path("/datacenters", data_center_id, "/clusters")),
    data_center_id_(data_center_id)
{
}

bool RHV_Cluster_Service::list(json_spirit::Value& result, const std::string& search, bool case_sensitive)
{
  RHV_Query query;
  if (!search.empty())
    query("search", search)("case_sensitive", case_sensitive);
  return list_value(query.str(), result);
}

bool RHV_Cluster_Service::list(RHV_Clusters& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_clusters);
}

bool RHV_Cluster_Service::list(const std::string& name, RHV_Clusters& out, bool case_sensitive)
{
  json_spirit::Value reply;
  return list(reply, "name=" + name, case_sensitive) && load_list(reply, out, load_rhv_clusters);
}

bool RHV_Cluster_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Cluster_Service::get(const std::string& id, RHV_Cluster& out)
{
  return get_record(id, std::string(), out);
}

RHV_VM_Service RHV_Cluster_Service::vm_service(const std::string& cluster_id) const
{
  return RHV_VM_Service(session_, cluster_id);
}

// ---------------------------------------------------------------------------
// RHV_Data_Center_Service

RHV_Data_Center_Service::RHV_Data_Center_Service(RHV_Session_var session)
  : RHV_Service(std::move(session), "/datacenters")
{
}

bool RHV_Data_Center_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Data_Center_Service::list(RHV_Data_Centers& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_data_centers);
}

bool RHV_Data_Center_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Data_Center_Service::get(const std::string& id, RHV_Data_Center& out)
{
  return get_record(id, std::string(), out);
}

RHV_Cluster_Service RHV_Data_Center_Service::cluster_service(const std::string& data_center_id) const
{
  return RHV_Cluster_Service(session_, data_center_id);
}

RHV_Storage_Domain_Service RHV_Data_Center_Service::storage_domain_service(const std::string& data_center_id) const
{
  return RHV_Storage_Domain_Service(session_, data_center_id);
}

RHV_Network_Service RHV_Data_Center_Service::network_service(const std::string& data_center_id) const
{
  return RHV_Network_Service(session_, data_center_id);
}

// ---------------------------------------------------------------------------
// RHV_Host_Service

RHV_Host_Service::RHV_Host_Service(RHV_Session_var session) : RHV_Service(std::move(session), "/hosts") {}

bool RHV_Host_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Host_Service::list(RHV_Hosts& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_hosts);
}

bool RHV_Host_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Host_Service::get(const std::string& id, RHV_Host& out)
{
  return get_record(id, std::string(), out);
}
