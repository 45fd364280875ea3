#ifndef BACKUP_RHV_COMMON_RHV_LIST_H
#define BACKUP_RHV_COMMON_RHV_LIST_H

// The inventory the console browses: the children of one node of the RHV tree, or the
// VMs and clusters whose names contain a text, each as a small JSON object (a node).
//
// Two views. The default view is the tree data center -> cluster -> VM -> disk: the top
// ("" type) is the agent VM's data center, and every deeper level lists the children of
// the node the request names. The recovery view ("recovery") lists flat, for a restore,
// the clusters, storage domains and vNIC profiles of the agent VM's data center. Both
// searches are limited to that data center too. The agent VM itself is never listed.
//
// A lister is made for one call around a logged-in client and thrown away: it keeps no
// state between calls, takes no lock and caches nothing (the agent VM's data center is
// looked up anew whenever a call needs it).

#include <string>
#include <vector>

#include "backup/rhv/api/rhv_client.h"
#include "backup/scrt/key_value.h"
#include "platform/json/value.h"

// Node types; the names are those of requests and of the "type" of nodes.
enum RHV_List_Type {
  RHV_LIST_UNKNOWN = 0,             // any name not in list_type_table
  RHV_LIST_VM_TYPE = 1,             // "VirtualMachine"
  RHV_LIST_CLUSTER_TYPE = 2,        // "Cluster"
  RHV_LIST_STORAGE_TYPE = 3,        // "StorageDomain"
  RVH_LIST_VNIC_PROFILES_TYPE = 4,  // "VnicProfiles"
  RHV_LIST_DATACENTER_TYPE = 5,     // "Datacenter"
  RHV_LIST_TOP_TYPE = 6             // "": the top of the tree
};

// {"", TOP}, {"Datacenter", ...}, {"StorageDomain", ...}, {"Cluster", ...},
// {"VirtualMachine", ...}, {"VnicProfiles", ...}, then the terminator {null, UNKNOWN}.
extern const Key2_Value_T<RHV_List_Type> list_type_table[];

// The type whose name equals `name` exactly (case-sensitive); RHV_LIST_UNKNOWN for any
// other name and for null. The empty name is the top of the tree.
RHV_List_Type list_name_to_type(char const* name);

// Nodes by kind (keys of a json_spirit::Object, so they come out sorted):
//   data center         name, moid, has_children true, type "Datacenter"
//   cluster (default)   name, moid, data_center_id, type "Cluster", has_children true
//   cluster (recovery)  name, moid, data_center_id, type "Cluster"
//   cluster (search)    name, moid, has_children false, type "Cluster"
//   VM                  name, moid, status, has_children false, type "VirtualMachine"
//   disk                name, moid, has_children false, type "Disk", size (bytes, -1
//                       unknown), bootable, shareable; {} when the disk cannot be read
//   storage domain      name, moid, status, type "StorageDomain", data_centers [{id, name}]
//   vNIC profile        name, moid, data_center_id (of its network), type "VnicProfiles"
// A field that the engine left out is the empty text.
class RHV_Lister {
public:
  // `client` is logged in, owned by the caller and must outlive the lister.
  // `type`: the type name of the node whose children are listed; `view`: "recovery" or
  // anything else (default view); `target_id`: that node's id; `search_type`: the type
  // name a search looks for; `agent_vm_id`: the VM the product runs on.
  RHV_Lister(RHV_Client& client, std::string type, std::string view, std::string target_id,
             std::string search_type, std::string agent_vm_id);

  // Appends the children of the node to `nodes`, in the engine's order. False, with the
  // reason logged, when they cannot be listed; an unknown type or a type the view does
  // not list fails without a line. Nodes appended before a failure stay in `nodes`.
  bool list(std::vector<json_spirit::Value>& nodes);

  // Appends the VMs ("VirtualMachine") or clusters ("Cluster") of the agent VM's data
  // center whose names contain `text` (letter case ignored; "*" is the engine's
  // wildcard and is not escaped). Any other search type fails without a line.
  bool search(std::string const& text, std::vector<json_spirit::Value>& nodes);

  // The operations behind list() and search(); each appends to `nodes`.
  bool list_default_view(std::vector<json_spirit::Value>& nodes);
  bool list_recovery_view(std::vector<json_spirit::Value>& nodes);
  bool list_datacenter(std::vector<json_spirit::Value>& nodes);
  bool list_cluster(std::vector<json_spirit::Value>& nodes);
  bool list_vm(std::vector<json_spirit::Value>& nodes);
  bool list_disk(std::vector<json_spirit::Value>& nodes);
  bool list_storage_domain(std::vector<json_spirit::Value>& nodes);
  bool list_vnic_profiles(std::vector<json_spirit::Value>& nodes);
  bool search_vm(std::string const& text, std::vector<json_spirit::Value>& nodes);
  bool search_cluster(std::string const& text, std::vector<json_spirit::Value>& nodes);

private:
  bool is_recovery_view() const;
  // The engine host of the client's session, for log lines.
  char const* engine_host() const;

  std::string type_;
  std::string view_;
  std::string target_id_;
  std::string search_type_;
  std::string agent_vm_id_;
  RHV_Client& client_;
};

#endif
