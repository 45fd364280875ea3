#ifndef BACKUP_RHV_API_RHV_INFRA_SERVICES_H
#define BACKUP_RHV_API_RHV_INFRA_SERVICES_H

// Services of the engine's infrastructure: data centers, clusters, logical networks,
// vNIC profiles, storage domains and hosts. The shared shape of the operations:
// rhv_vm_services.h; request shapes, failure lines and value semantics: rhv_service.h.

#include <string>

#include "backup/rhv/api/rhv_defs_infra.h"
#include "backup/rhv/api/rhv_service.h"
#include "backup/rhv/api/rhv_vm_services.h"

// vNIC profiles: "/vnicprofiles", or those of one network: "/networks/<id>/vnicprofiles".
class RHV_VNIC_Profile_Service : public RHV_Service {
public:
  explicit RHV_VNIC_Profile_Service(RHV_Session_var session);
  RHV_VNIC_Profile_Service(RHV_Session_var session, const std::string& network_id);

  bool list(json_spirit::Value& result);
  bool list(RHV_VNIC_Profiles& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_VNIC_Profile& out);
  bool add(const json_spirit::Value& body, json_spirit::Value& result);
  bool add(const RHV_VNIC_Profile& in, RHV_VNIC_Profile& out);
  bool add(RHV_VNIC_Profile& rec);

private:
  std::string network_id_;
};

// Logical networks: "/networks", or those of one data center: "/datacenters/<id>/networks".
class RHV_Network_Service : public RHV_Service {
public:
  explicit RHV_Network_Service(RHV_Session_var session);
  RHV_Network_Service(RHV_Session_var session, const std::string& data_center_id);

  const std::string& data_center_id() const { return data_center_id_; }

  bool list(json_spirit::Value& result);
  bool list(RHV_Networks& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Network& out);

  RHV_VNIC_Profile_Service vnic_profile_service(const std::string& network_id) const;

private:
  std::string data_center_id_;
};

// Storage domains: "/storagedomains", or those of one data center:
// "/datacenters/<id>/storagedomains".
class RHV_Storage_Domain_Service : public RHV_Service {
public:
  explicit RHV_Storage_Domain_Service(RHV_Session_var session);
  RHV_Storage_Domain_Service(RHV_Session_var session, const std::string& data_center_id);

  const std::string& data_center_id() const { return data_center_id_; }

  bool list(json_spirit::Value& result);
  bool list(RHV_Storage_Domains& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Storage_Domain& out);

private:
  std::string data_center_id_;
};

// Clusters: "/clusters", or those of one data center: "/datacenters/<id>/clusters".
class RHV_Cluster_Service : public RHV_Service {
public:
  explicit RHV_Cluster_Service(RHV_Session_var session);
  RHV_Cluster_Service(RHV_Session_var session, const std::string& data_center_id);

  const std::string& data_center_id() const { return data_center_id_; }

  // "search" and "case_sensitive" (0 or 1) only when `search` is not empty.
  bool list(json_spirit::Value& result, const std::string& search = std::string(), bool case_sensitive = true);
  // No search.
  bool list(RHV_Clusters& out);
  // The engine's search "name=<name>".
  bool list(const std::string& name, RHV_Clusters& out, bool case_sensitive);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Cluster& out);

  // A VM service whose lists hold only the VMs of this cluster.
  RHV_VM_Service vm_service(const std::string& cluster_id) const;

private:
  std::string data_center_id_;
};

// Data centers: "/datacenters".
class RHV_Data_Center_Service : public RHV_Service {
public:
  explicit RHV_Data_Center_Service(RHV_Session_var session);

  bool list(json_spirit::Value& result);
  bool list(RHV_Data_Centers& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Data_Center& out);

  // The clusters, storage domains and networks of one data center.
  RHV_Cluster_Service cluster_service(const std::string& data_center_id) const;
  RHV_Storage_Domain_Service storage_domain_service(const std::string& data_center_id) const;
  RHV_Network_Service network_service(const std::string& data_center_id) const;
};

// Hosts: "/hosts".
class RHV_Host_Service : public RHV_Service {
public:
  explicit RHV_Host_Service(RHV_Session_var session);

  bool list(json_spirit::Value& result);
  bool list(RHV_Hosts& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Host& out);
};

#endif
