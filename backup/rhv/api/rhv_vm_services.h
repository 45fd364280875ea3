#ifndef BACKUP_RHV_API_RHV_VM_SERVICES_H
#define BACKUP_RHV_API_RHV_VM_SERVICES_H

// Services of VMs and what hangs off them: disks, the disk attachments and NICs of a
// VM, its snapshots and the disks and NICs of a snapshot. Request shapes, failure
// lines and value semantics: rhv_service.h.
//
// The shared shape of the operations, with T the service's record:
//   list(Value&)            GET of the collection; the reply object
//   list(std::vector<T>&)   the same as records; {} is an empty list
//   get(id, Value&)         GET of collection/id
//   get(id, T&)             the same as a record; the record's load decides
//   add(Value body, Value&) POST of body to the collection; the created entity
//   add(in, out), add(rec)  POST of the record's dump; the created entity loaded back
//   remove(id)              DELETE of collection/id
// Records passed as outputs keep their contents when a request fails.

#include <string>

#include "backup/rhv/api/rhv_backup_service.h"
#include "backup/rhv/api/rhv_defs_infra.h"
#include "backup/rhv/api/rhv_defs_vm.h"
#include "backup/rhv/api/rhv_service.h"

// The disk attachments of one VM: "/vms/<vm id>/diskattachments".
class RHV_Disk_Attachment_Service : public RHV_Service {
public:
  RHV_Disk_Attachment_Service(RHV_Session_var session, const std::string& vm_id);

  const std::string& vm_id() const { return vm_id_; }

  // "follow" = `follow` when it is not empty.
  bool list(json_spirit::Value& result, const std::string& follow = std::string());
  // RHV_FOLLOW_DISK embeds each attachment's full disk ("follow=disk").
  bool list(RHV_Disk_Attachments& out, ACE_UINT64 follow_flags = RHV_NO_FOLLOW);
  bool get(const std::string& id, json_spirit::Value& result, const std::string& follow = std::string());
  bool get(const std::string& id, RHV_Disk_Attachment& out, ACE_UINT64 follow_flags = RHV_NO_FOLLOW);
  bool add(const json_spirit::Value& body, json_spirit::Value& result);
  bool add(const RHV_Disk_Attachment& in, RHV_Disk_Attachment& out);
  bool add(RHV_Disk_Attachment& rec);
  // Always sends "detach_only" (0 or 1): with true the disk is only unplugged from the
  // VM, not deleted.
  bool remove(const std::string& id, bool detach_only);
  // Unplugs the disk `disk_id` from the VM, whatever attachment holds it (an attach whose
  // answer was lost leaves one whose id nobody knows); an attachment gone already (404)
  // counts as unplugged. False when the list or a removal fails.
  bool detach_disk(const std::string& disk_id);

  // The "follow" text of the flags: "disk" for RHV_FOLLOW_DISK, else none.
  static std::string build_follow(ACE_UINT64 flags);

private:
  std::string vm_id_;
};

// The NICs of one VM: "/vms/<vm id>/nics".
class RHV_NIC_Service : public RHV_Service {
public:
  RHV_NIC_Service(RHV_Session_var session, const std::string& vm_id);

  const std::string& vm_id() const { return vm_id_; }

  bool list(json_spirit::Value& result);
  bool list(RHV_NICs& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_NIC& out);
  bool add(const json_spirit::Value& body, json_spirit::Value& result);
  bool add(const RHV_NIC& in, RHV_NIC& out);
  bool add(RHV_NIC& rec);

private:
  std::string vm_id_;
};

// The disks of one snapshot of a VM: "/vms/<vm id>/snapshots/<snapshot id>/disks".
class RHV_Snapshot_Disk_Service : public RHV_Service {
public:
  RHV_Snapshot_Disk_Service(RHV_Session_var session, const std::string& vm_id, const std::string& snapshot_id);

  const std::string& vm_id() const { return vm_id_; }
  const std::string& snapshot_id() const { return snapshot_id_; }

  bool list(json_spirit::Value& result);
  bool list(RHV_Disks& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Disk& out);

private:
  std::string vm_id_;
  std::string snapshot_id_;
};

// The NICs of one snapshot of a VM: "/vms/<vm id>/snapshots/<snapshot id>/nics".
class RHV_Snapshot_NIC_Service : public RHV_Service {
public:
  RHV_Snapshot_NIC_Service(RHV_Session_var session, const std::string& vm_id, const std::string& snapshot_id);

  const std::string& vm_id() const { return vm_id_; }
  const std::string& snapshot_id() const { return snapshot_id_; }

  bool list(json_spirit::Value& result);
  bool list(RHV_NICs& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_NIC& out);

private:
  std::string vm_id_;
  std::string snapshot_id_;
};

// The snapshots of one VM: "/vms/<vm id>/snapshots".
class RHV_Snapshot_Service : public RHV_Service {
public:
  RHV_Snapshot_Service(RHV_Session_var session, const std::string& vm_id);

  const std::string& vm_id() const { return vm_id_; }

  bool list(json_spirit::Value& result);
  bool list(RHV_Snapshots& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Snapshot& out);
  bool add(const json_spirit::Value& body, json_spirit::Value& result);
  bool add(const RHV_Snapshot& in, RHV_Snapshot& out);
  bool add(RHV_Snapshot& rec);
  // No query.
  bool remove(const std::string& id);

  RHV_Snapshot_Disk_Service disk_service(const std::string& snapshot_id) const;
  RHV_Snapshot_NIC_Service nic_service(const std::string& snapshot_id) const;

private:
  std::string vm_id_;
};

// VMs: "/vms". The engine's VM collection is not scoped by cluster; a service made with
// a cluster id (RHV_Cluster_Service::vm_service) filters every list reply itself:
// elements whose "/cluster/id" is a text other than the cluster id are dropped
// (elements without one stay); an empty reply {} is an empty list, but a reply without
// VMs under "vm" fails.
class RHV_VM_Service : public RHV_Service {
public:
  explicit RHV_VM_Service(RHV_Session_var session);
  RHV_VM_Service(RHV_Session_var session, const std::string& cluster_id);

  // Empty: no cluster filter.
  const std::string& cluster_id() const { return cluster_id_; }

  // "follow" when `follow` is not empty; "search" and then "case_sensitive" (0 or 1)
  // when `search` is not empty.
  bool list(json_spirit::Value& result, const std::string& follow = std::string(),
            const std::string& search = std::string(), bool case_sensitive = true);
  bool list(RHV_VMs& out, ACE_UINT64 follow_flags = RHV_NO_FOLLOW);
  // The engine's search "name=<name>"; wildcards ("*") pass through.
  bool list(const std::string& name, RHV_VMs& out, ACE_UINT64 follow_flags, bool case_sensitive);
  bool get(const std::string& id, json_spirit::Value& result, const std::string& follow = std::string());
  bool get(const std::string& id, RHV_VM& out, ACE_UINT64 follow_flags = RHV_NO_FOLLOW);
  bool add(const json_spirit::Value& body, json_spirit::Value& result);
  bool add(const RHV_VM& in, RHV_VM& out);
  bool add(RHV_VM& rec);
  // Always sends "detach_only" and "force" (0 or 1), in this order.
  bool remove(const std::string& id, bool detach_only, bool force);
  // POST of {} to "<service>/<id>/start".
  bool start(const std::string& id);

  // The "follow" text of the flags: "disk_attachments" for RHV_FOLLOW_DISK_ATTACHMENTS,
  // "disk_attachments.disk" with RHV_FOLLOW_DISK, then "nics" for RHV_FOLLOW_NICS
  // (joined with ","); none for other flags.
  static std::string build_follow(ACE_UINT64 flags);

  RHV_Disk_Attachment_Service disk_attachment_service(const std::string& vm_id) const;
  RHV_Snapshot_Service snapshot_service(const std::string& vm_id) const;
  RHV_NIC_Service nic_service(const std::string& vm_id) const;
  // The backups and checkpoints of a VM (rhv_backup_service.h).
  RHV_Backup_Service backup_service(const std::string& vm_id) const;
  RHV_Checkpoint_Service checkpoint_service(const std::string& vm_id) const;

private:
  // Drops the VMs of other clusters from a list reply; false when it lists none.
  bool filter_by_cluster(json_spirit::Value& result) const;

  std::string cluster_id_;
};

// Disks: "/disks".
class RHV_Disk_Service : public RHV_Service {
public:
  explicit RHV_Disk_Service(RHV_Session_var session);

  bool list(json_spirit::Value& result);
  bool list(RHV_Disks& out);
  // The disks the engine's search finds by `name` ("search=name=<name>"): every disk of
  // that name, and possibly others its search pattern takes.
  bool list(const std::string& name, RHV_Disks& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Disk& out);
  bool add(const json_spirit::Value& body, json_spirit::Value& result);
  bool add(const RHV_Disk& in, RHV_Disk& out);
  bool add(RHV_Disk& rec);
  // No query.
  bool remove(const std::string& id);
};

#endif
