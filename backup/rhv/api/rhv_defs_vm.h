#ifndef BACKUP_RHV_API_RHV_DEFS_VM_H
#define BACKUP_RHV_API_RHV_DEFS_VM_H

// The records at the heart of a backup: VMs, disks, the attachments that bind a disk to a
// VM, and VM snapshots, with their list forms. Conventions, load and dump rules: rhv_defs.h.

#include <ctime>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "backup/rhv/api/rhv_defs.h"
#include "backup/rhv/api/rhv_defs_infra.h"
#include "platform/json/value.h"

struct RHV_Disk : RHV_Object {
  long provisioned_size = -1;     // "provisioned_size", bytes
  long actual_size = -1;          // "actual_size", bytes
  boost::optional<bool> sparse;     // "sparse"
  boost::optional<bool> shareable;  // "shareable"
  std::string storage_type;       // "storage_type"
  std::string content_type;       // "content_type"
  std::string format;             // "format"
  std::string status;             // "status"
  std::string backup;             // "backup"
  std::string backup_mode;        // "backup_mode"
  RHV_Object snapshot;            // "snapshot", a link
  RHV_Objects storage_domains;    // "storage_domains": {"storage_domain": [links]}

  RHV_Disk() = default;
  RHV_Disk(RHV_Disk const&) = default;
  RHV_Disk(RHV_Disk&&) = default;
  RHV_Disk& operator=(RHV_Disk&&) = default;
  ~RHV_Disk() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// Binds a disk to a VM. It holds its disk whole (every key the input carries under
// "disk"), so the disk's "id" is required when the key is there.
struct RHV_Disk_Attachment : RHV_Object {
  boost::optional<bool> active;        // "active"
  boost::optional<bool> bootable;      // "bootable"
  boost::optional<bool> pass_discard;  // "pass_discard"
  boost::optional<bool> read_only;     // "read_only"
  std::string interface;               // "interface"
  std::string logical_name;            // "logical_name"
  RHV_Disk disk;                       // "disk", whole
  RHV_Object vm;                       // "vm", a link

  RHV_Disk_Attachment() = default;
  RHV_Disk_Attachment(RHV_Disk_Attachment const&) = default;
  RHV_Disk_Attachment(RHV_Disk_Attachment&&) = default;
  RHV_Disk_Attachment& operator=(RHV_Disk_Attachment&&) = default;
  ~RHV_Disk_Attachment() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

typedef std::vector<RHV_Disk> RHV_Disks;
typedef std::vector<RHV_Disk_Attachment> RHV_Disk_Attachments;

struct RHV_VM : RHV_Object {
  RHV_BIOS bios;                           // "bios"
  RHV_CPU cpu;                             // "cpu"
  RHV_OS os;                               // "os"
  long memory = -1;                        // "memory", bytes
  std::string status;                      // "status"
  std::string custom_emulated_machine;     // "custom_emulated_machine"
  RHV_Memory_Policy memory_policy;         // "memory_policy"
  RHV_Object template_;                    // "template", a link
  RHV_Object host;                         // "host", a link
  RHV_Object cluster;                      // "cluster", a link
  RHV_Objects storage_domains;             // "storage_domains": {"storage_domain": [links]}
  RHV_Disk_Attachments disk_attachments;   // "disk_attachments": {"disk_attachment": [...]}
  RHV_NICs nics;                           // "nics": {"nic": [...]}

  RHV_VM() = default;
  RHV_VM(RHV_VM const&) = default;
  RHV_VM(RHV_VM&&) = default;
  RHV_VM& operator=(RHV_VM&&) = default;
  ~RHV_VM() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// A VM snapshot. Its attachments are read from "disk_attachment" (the engine's reply
// shape {"disk_attachment": {"disk_attachment": [...]}}) and written under
// "disk_attachments" (the shape of a request that snapshots chosen disks), so a dumped
// snapshot loaded again has no attachments.
struct RHV_Snapshot : RHV_Object {
  boost::optional<bool> persist_memorystate;  // "persist_memorystate"
  time_t date = 0;                            // "date", a JSON integer
  std::string snapshot_status;                // "snapshot_status"
  std::string snapshot_type;                  // "snapshot_type"
  RHV_VM vm;                                  // "vm", whole
  RHV_Disk_Attachments disk_attachments;      // loaded from "disk_attachment", dumped as "disk_attachments"

  RHV_Snapshot() = default;
  RHV_Snapshot(RHV_Snapshot const&) = default;
  RHV_Snapshot(RHV_Snapshot&&) = default;
  RHV_Snapshot& operator=(RHV_Snapshot&&) = default;
  ~RHV_Snapshot() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

typedef std::vector<RHV_VM> RHV_VMs;
typedef std::vector<RHV_Snapshot> RHV_Snapshots;

// List forms (rhv_defs_list.h): wrappers under "vm", "disk", "disk_attachment" and "snapshot".
bool load_rhv_vms(json_spirit::Object const& wrapper, RHV_VMs& items);
json_spirit::Object dump_rhv_vms(RHV_VMs const& items);
bool load_rhv_disks(json_spirit::Object const& wrapper, RHV_Disks& items);
json_spirit::Object dump_rhv_disks(RHV_Disks const& items);
bool load_rhv_disk_attachments(json_spirit::Object const& wrapper, RHV_Disk_Attachments& items);
json_spirit::Object dump_rhv_disk_attachments(RHV_Disk_Attachments const& items);
bool load_rhv_snapshots(json_spirit::Object const& wrapper, RHV_Snapshots& items);
json_spirit::Object dump_rhv_snapshots(RHV_Snapshots const& items);

#endif
