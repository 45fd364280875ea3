#ifndef TESTS_SUPPORT_ENGINE_DOCUMENTS_H
#define TESTS_SUPPORT_ENGINE_DOCUMENTS_H

// Builders of JSON documents shaped as the RHV engine writes them, for tests and
// benchmarks of everything that reads engine replies:
//   - numbers and flags are JSON strings ("1073741824", "true"); dates are JSON
//     integers in milliseconds;
//   - lists are wrapper objects under the singular key ({"vm": [...]}); an empty list
//     is the empty object {};
//   - a link to another entity is {"href": "/ovirt-engine/api/<collection>/<id>", "id"};
//   - empty fields are absent, not empty;
//   - every entity carries its "href" and, like the engine, "link" and "actions" arrays
//     of relation links, which records ignore.
// Sub-collections (a VM's disk attachments and NICs, an attachment's disk) are embedded
// only when the request asked the engine to follow them; the `follow` flags say which.
//
// Every builder is deterministic: the same shape gives the same document.

#include <string>
#include <vector>

#include "platform/json/value.h"

namespace engine_documents {

// Follow flags: which sub-collections a VM document embeds.
enum Follow : unsigned {
  FOLLOW_NONE = 0,
  FOLLOW_DISK_ATTACHMENTS = 1,  // "disk_attachments": {"disk_attachment": [...]}
  FOLLOW_DISKS = 2,             // each attachment's whole "disk" (else a link)
  FOLLOW_NICS = 4,              // "nics": {"nic": [...]}, each with its whole "vnic_profile"
  FOLLOW_ALL = 7
};

// A stable engine-style UUID (lower-case 8-4-4-4-12) for entity number `n` of kind `kind`.
std::string uuid(unsigned kind, unsigned long n);

// {"href": "/ovirt-engine/api/<collection>/<id>", "id": id}
json_spirit::Object link(std::string const& collection, std::string const& id);

// {key: elements}, or {} when there are no elements: the engine's list shape.
json_spirit::Object list(std::string const& key, json_spirit::Array elements);

struct Disk_Spec {
  std::string id;
  std::string name;
  long provisioned_size = 10737418240;  // 10 GiB
  long actual_size = 1073741824;        // 1 GiB
  bool sparse = true;
  bool shareable = false;
  std::string format = "cow";
  std::string status = "ok";
  std::string storage_domain_id;
  // Attachment of the disk to its VM.
  std::string attachment_interface = "virtio_scsi";
  bool bootable = false;
  std::string logical_name;  // left out when empty (no guest agent)
};

struct NIC_Spec {
  std::string id;
  std::string name;
  std::string mac;
  std::string interface = "virtio";
  bool linked = true;
  bool plugged = true;
  std::string profile_id;
  std::string profile_name;
  std::string network_id;
  std::string data_center_id;
};

struct VM_Spec {
  std::string id;
  std::string name;
  std::string description;
  std::string status = "up";
  std::string cluster_id;
  std::string host_id;  // left out when empty (a VM that is down)
  std::string template_id = "00000000-0000-0000-0000-000000000000";
  long memory = 4294967296;  // 4 GiB
  int cores = 2;
  int sockets = 1;
  int threads = 1;
  std::vector<Disk_Spec> disks;
  std::vector<NIC_Spec> nics;
};

// A realistic VM number `n` with `n_disks` disks (the first bootable) and `n_nics` NICs.
VM_Spec sample_vm(unsigned long n, unsigned n_disks, unsigned n_nics);

json_spirit::Object disk(Disk_Spec const& shape);
json_spirit::Object disk_attachment(Disk_Spec const& shape, std::string const& vm_id, bool embed_disk);
json_spirit::Object vnic_profile(NIC_Spec const& shape);
json_spirit::Object nic(NIC_Spec const& shape, std::string const& vm_id);
json_spirit::Object vm(VM_Spec const& shape, unsigned follow);

// {"vm": [...]} of `n_vms` sample VMs, numbered from `first`.
json_spirit::Object vm_list(unsigned long first, unsigned long n_vms, unsigned n_disks, unsigned n_nics,
                            unsigned follow);

// A snapshot of `shape` as the engine answers a snapshot GET: the snapshot's own fields,
// its "vm" whole, and its disks' attachments under "disk_attachment".
json_spirit::Object snapshot(VM_Spec const& shape, std::string const& snapshot_id, std::string const& description,
                             long date_ms);

json_spirit::Object data_center(std::string const& id, std::string const& name);
json_spirit::Object cluster(std::string const& id, std::string const& name, std::string const& data_center_id);
json_spirit::Object host(std::string const& id, std::string const& name, std::string const& address,
                         std::string const& cluster_id);
json_spirit::Object network(std::string const& id, std::string const& name, std::string const& data_center_id);
json_spirit::Object storage_domain(std::string const& id, std::string const& name, long available, long used,
                                   std::vector<std::string> const& data_center_ids);

// The API root's "product_info" as the engine answers GET /ovirt-engine/api.
json_spirit::Object api_root(int major, int minor, int build, int revision);

}  // namespace engine_documents

#endif
