#ifndef BACKUP_RHV_API_RHV_DEFS_INFRA_H
#define BACKUP_RHV_API_RHV_DEFS_INFRA_H

// Records of the engine's infrastructure: data centers, clusters, hosts, logical networks,
// vNIC profiles, VM network interfaces and storage domains, with their list forms.
// Conventions, load and dump rules: rhv_defs.h. Text values (statuses, types, formats)
// are the engine's own words, stored and written back unchanged.

#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "backup/rhv/api/rhv_defs.h"
#include "platform/json/value.h"

struct RHV_Data_Center : RHV_Object {
  boost::optional<bool> local;  // "local"
  std::string status;           // "status"

  RHV_Data_Center() = default;
  RHV_Data_Center(RHV_Data_Center const&) = default;
  RHV_Data_Center(RHV_Data_Center&&) = default;
  RHV_Data_Center& operator=(RHV_Data_Center&&) = default;
  ~RHV_Data_Center() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

struct RHV_Cluster : RHV_Object {
  RHV_CPU cpu;              // "cpu"
  RHV_Object data_center;   // "data_center", a link

  RHV_Cluster() = default;
  RHV_Cluster(RHV_Cluster const&) = default;
  RHV_Cluster(RHV_Cluster&&) = default;
  RHV_Cluster& operator=(RHV_Cluster&&) = default;
  ~RHV_Cluster() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

struct RHV_Host : RHV_Object {
  std::string status;   // "status"
  std::string address;  // "address"
  RHV_Object cluster;   // "cluster", a link

  RHV_Host() = default;
  RHV_Host(RHV_Host const&) = default;
  RHV_Host(RHV_Host&&) = default;
  RHV_Host& operator=(RHV_Host&&) = default;
  ~RHV_Host() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// A logical network.
struct RHV_Network : RHV_Object {
  RHV_Object data_center;  // "data_center", a link

  RHV_Network() = default;
  RHV_Network(RHV_Network const&) = default;
  RHV_Network(RHV_Network&&) = default;
  RHV_Network& operator=(RHV_Network&&) = default;
  ~RHV_Network() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

struct RHV_VNIC_Profile : RHV_Object {
  boost::optional<bool> migratable;      // "migratable"
  boost::optional<bool> port_mirroring;  // "port_mirroring"
  RHV_VNIC_Pass_Through pass_through;    // "pass_through"
  RHV_Object network;                    // "network", a link
  RHV_Object network_filter;             // "network_filter", a link
  RHV_Object qos;                        // "qos", a link
  RHV_Object data_center;                // "data_center", a link

  RHV_VNIC_Profile() = default;
  RHV_VNIC_Profile(RHV_VNIC_Profile const&) = default;
  RHV_VNIC_Profile(RHV_VNIC_Profile&&) = default;
  RHV_VNIC_Profile& operator=(RHV_VNIC_Profile&&) = default;
  ~RHV_VNIC_Profile() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// A network interface of a VM. It holds its vNIC profile whole (every key the input
// carries under "vnic_profile"), so the profile's "id" is required when the key is there.
struct RHV_NIC : RHV_Object {
  boost::optional<bool> linked;   // "linked"
  boost::optional<bool> plugged;  // "plugged"
  std::string interface;          // "interface"
  RHV_MAC mac;                    // "mac"
  RHV_VNIC_Profile vnic_profile;  // "vnic_profile", whole
  RHV_Object vm;                  // "vm", a link

  RHV_NIC() = default;
  RHV_NIC(RHV_NIC const&) = default;
  RHV_NIC(RHV_NIC&&) = default;
  RHV_NIC& operator=(RHV_NIC&&) = default;
  ~RHV_NIC() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

struct RHV_Storage_Domain : RHV_Object {
  struct Storage {
    std::string type;
  };
  long available = -1;        // "available", bytes
  long used = -1;             // "used", bytes
  long committed = -1;        // "committed", bytes
  std::string type;           // "type"
  std::string storage_format; // "storage_format"
  std::string status;         // "status"
  Storage storage;            // "storage": {"type"}
  RHV_Objects data_centers;   // "data_centers": {"data_center": [links]}

  RHV_Storage_Domain() = default;
  RHV_Storage_Domain(RHV_Storage_Domain const&) = default;
  RHV_Storage_Domain(RHV_Storage_Domain&&) = default;
  RHV_Storage_Domain& operator=(RHV_Storage_Domain&&) = default;
  ~RHV_Storage_Domain() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

typedef std::vector<RHV_Data_Center> RHV_Data_Centers;
typedef std::vector<RHV_Cluster> RHV_Clusters;
typedef std::vector<RHV_Host> RHV_Hosts;
typedef std::vector<RHV_Network> RHV_Networks;
typedef std::vector<RHV_VNIC_Profile> RHV_VNIC_Profiles;
typedef std::vector<RHV_NIC> RHV_NICs;
typedef std::vector<RHV_Storage_Domain> RHV_Storage_Domains;

// List forms (rhv_defs_list.h): wrappers under "data_center", "cluster", "host", "network",
// "vnic_profile", "nic" and "storage_domain".
bool load_rhv_data_centers(json_spirit::Object const& wrapper, RHV_Data_Centers& items);
json_spirit::Object dump_rhv_data_centers(RHV_Data_Centers const& items);
bool load_rhv_clusters(json_spirit::Object const& wrapper, RHV_Clusters& items);
json_spirit::Object dump_rhv_clusters(RHV_Clusters const& items);
bool load_rhv_hosts(json_spirit::Object const& wrapper, RHV_Hosts& items);
json_spirit::Object dump_rhv_hosts(RHV_Hosts const& items);
bool load_rhv_networks(json_spirit::Object const& wrapper, RHV_Networks& items);
json_spirit::Object dump_rhv_networks(RHV_Networks const& items);
bool load_rhv_vnic_profiles(json_spirit::Object const& wrapper, RHV_VNIC_Profiles& items);
json_spirit::Object dump_rhv_vnic_profiles(RHV_VNIC_Profiles const& items);
bool load_rhv_nics(json_spirit::Object const& wrapper, RHV_NICs& items);
json_spirit::Object dump_rhv_nics(RHV_NICs const& items);
bool load_rhv_storage_domains(json_spirit::Object const& wrapper, RHV_Storage_Domains& items);
json_spirit::Object dump_rhv_storage_domains(RHV_Storage_Domains const& items);

#endif
