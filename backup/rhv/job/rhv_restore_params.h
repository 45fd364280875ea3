#ifndef BACKUP_RHV_JOB_RHV_RESTORE_PARAMS_H
#define BACKUP_RHV_JOB_RHV_RESTORE_PARAMS_H

// The parameters of one "rhev.restore" task: the shared per-VM record plus what the
// restore of one VM needs. The inherited vm_id, vm_name, cluster_id and cluster_name name
// the SOURCE VM (the one that was backed up) and its cluster.
//
// The task object is the 21 keys of RHV_Params plus "action" ("restore", not read back),
// "original_restore", "start_vm", "target_cluster_id", "target_vm_id", "target_vm_name",
// "catalog_uuid", "pool_uuid", "disks" and "nics"; the job side always writes all of
// them (possibly empty) and the servant requires all of them.

#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "backup/rhv/job/rhv_params.h"
#include "platform/json/value.h"

// One disk of the VM to restore.
struct RHV_Restore_Disk {
  std::string id;                   // the backed-up source disk
  std::string source_datastore_id;  // the storage domain it lived on
  std::string target_datastore_id;  // the storage domain the restored disk is made on

  // {"id", "source_datastore_id", "target_datastore_id"}, always all three.
  json_spirit::Object dump() const;
  // `v` must be an object; each key is optional (an absent key keeps the member).
  bool load(const json_spirit::Value& v);
};

// One network interface to create on a VM that is not restored in place.
struct RHV_Restore_NIC {
  std::string name;
  std::string interface;             // the device model
  boost::optional<bool> linked;      // unset: not specified
  boost::optional<bool> plugged;     // unset: not specified
  std::string mac_address;
  bool auto_gen_mac = true;          // let the engine choose the MAC address
  std::string vnic_profile_id;

  // "name", "interface", "mac_address", "vnic_profile_id" and "auto_gen_mac" always;
  // "linked" and "plugged" only when set, as the strings "true" and "false".
  json_spirit::Object dump() const;
  // "name", "interface" (strings) and "auto_gen_mac" (bool) required; "linked" and
  // "plugged" optional strings, true only for exactly "true"; the others optional strings.
  bool load(const json_spirit::Object& obj);
};

typedef std::vector<RHV_Restore_Disk> RHV_Restore_Disks;
typedef std::vector<RHV_Restore_NIC> RHV_Restore_NICs;

struct RHV_Restore_Params : RHV_Params {
  bool original_restore = true;     // in place: source cluster and source storage domains
  bool start_vm = false;            // start the restored VM at the end
  std::string target_cluster_id;    // the cluster the new VM is created in
  std::string target_cluster_name;  // job side only; not carried in the task
  std::string target_vm_id;         // the restored VM (empty on the job side)
  std::string target_vm_name;       // the name of the new VM
  RHV_Restore_Disks disks;          // in the order of the job document
  RHV_Restore_NICs nics;            // in the order of the job document
  std::string catalog_uuid;         // the backup set to restore from
  std::string pool_uuid;            // the pool to read from; empty lets the servant choose
  int retry_seconds = 0;            // job side only; not carried in the task

  json_spirit::Object dump() const;

  // Reads the whole task object. Every key is required; the source VM and cluster ids
  // must not be empty. Elements of "disks" and "nics" that are not objects are skipped.
  // Never throws; a failure is logged and the record must then not be used.
  bool load(const json_spirit::Object& obj);

  // Appends the disks (or NICs) of a job document's entry: elements that are not objects
  // are skipped; false at the first element that does not load. An empty array is true.
  bool load_disks(const json_spirit::Array& array);
  bool load_nics(const json_spirit::Array& array);
};

#endif  // BACKUP_RHV_JOB_RHV_RESTORE_PARAMS_H
