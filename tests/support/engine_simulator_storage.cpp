// Disks, disk attachments and snapshots of the simulated engine, with the engine's rules on
// them (see engine_simulator_routes.cpp for the list).

#include "tests/support/engine_simulator_impl.h"

#include <algorithm>

namespace test_support {

using namespace engine_sim;
using Impl = Engine_Simulator::Impl;

namespace {

bool is_block_storage(const std::string& storage_type)
{
  return storage_type == "iscsi" || storage_type == "fcp";
}

// ---- disks and attachments ----

Reply add_disk(Impl& e, const Call& c)
{
  Sim_Disk d;
  std::vector<Object> domains;
  bool well_formed = body_text(c.body, "name", d.name) && body_text(c.body, "description", d.description) &&
                     body_number(c.body, "provisioned_size", d.provisioned_size) &&
                     body_text(c.body, "format", d.format) && body_flag(c.body, "sparse", d.sparse) &&
                     body_flag(c.body, "shareable", d.shareable) &&
                     body_text(c.body, "storage_type", d.storage_type) &&
                     body_text(c.body, "content_type", d.content_type) && body_text(c.body, "backup", d.backup) &&
                     body_list(c.body, "storage_domains", "storage_domain", domains);
  if (d.name.empty())
    well_formed = well_formed && body_text(c.body, "alias", d.name);
  if (!well_formed)
    return bad_request("Malformed disk: numbers and flags are JSON strings");
  if (c.body.count("provisioned_size") == 0 || c.body.count("format") == 0 || domains.size() != 1)
    return bad_request("Incomplete parameters: Disk [provisioned_size, format, storage_domains.storage_domain] "
                       "required for add");
  if (!body_text(domains[0], "id", d.storage_domain_id) || d.storage_domain_id.empty())
    return bad_request("The storage domain of a new disk needs an \"id\"");
  if (d.format != "raw" && d.format != "cow")
    return bad_request("Invalid disk format '" + d.format + "'");
  if (d.provisioned_size <= 0)
    return bad_request("The provisioned size of a new disk must be positive");
  Sim_Storage_Domain* sd = e.find_domain(d.storage_domain_id);
  if (sd == nullptr)
    return unknown_in_body("storage domain", d.storage_domain_id);
  if (sd->type != "data")
    return conflict("Cannot add Virtual Disk. Storage domain " + sd->name + " holds no VM disks");
  if (is_block_storage(sd->storage_type) && d.format == "raw" && d.sparse)
    return conflict("Cannot add Virtual Disk. Disk configuration (RAW Sparse) is incompatible with the storage "
                    "domain type.");
  if (d.backup == "incremental" && d.format != "cow")
    return conflict("Cannot add Virtual Disk. Incremental backup needs a disk in the cow (qcow2) format.");
  if (d.shareable && d.format == "cow")
    return conflict("Cannot add Virtual Disk. A shareable disk must be raw.");
  if (!d.sparse) {
    if (sd->available >= 0 && sd->available < d.provisioned_size)
      return conflict("Cannot add Virtual Disk. Low disk space on Storage Domain " + sd->name + ".");
    if (sd->available >= 0)
      sd->available -= d.provisioned_size;
    if (sd->used >= 0)
      sd->used += d.provisioned_size;
  }
  d.id = new_id();
  d.path = e.disk_file(d.id);
  std::string error;
  if (!create_sparse_file(d.path, d.provisioned_size, error))
    return fault(500, "Operation Failed", "[" + error + "]");
  d.status = "locked";
  e.disks.push_back(d);
  const std::string id = d.id;
  e.schedule(e.timing.disk_create, "disk:" + id, [&e, id] {
    if (Sim_Disk* disk = e.find_disk(id))
      if (disk->status == "locked")
        disk->status = "ok";
  });
  Sim_Disk* made = e.find_disk(id);
  return ok(e.render_disk(*made), 201);
}

Reply remove_disk(Impl& e, const Call& c)
{
  Sim_Disk* d = e.find_disk(c.ids[0]);
  if (d == nullptr)
    return not_found("disk", c.ids[0]);
  if (e.disk_status(*d) == "locked")
    return conflict("Cannot remove Virtual Disk. Disk " + d->name + " is locked. Please try again in a few minutes.");
  for (const Sim_Disk_Attachment& a : e.attachments) {
    if (a.disk_id != d->id || !a.snapshot_id.empty())
      continue;
    Sim_VM* vm = e.find_vm(a.vm_id);
    if (a.vm_id == e.config.agent_vm_id || (vm != nullptr && vm->status == "up"))
      return conflict("Cannot remove Virtual Disk. It is plugged into running VM " + e.vm_name(a.vm_id) +
                      ": detach it first.");
  }
  const std::string id = d->id;
  e.attachments.erase(std::remove_if(e.attachments.begin(), e.attachments.end(),
                                     [&](const Sim_Disk_Attachment& a) {
                                       return a.disk_id == id && a.snapshot_id.empty();
                                     }),
                      e.attachments.end());
  e.erase_disk(id);
  return complete();
}

Reply attach_disk(Impl& e, const Call& c)
{
  Sim_VM* vm = e.find_vm(c.ids[0]);
  if (vm == nullptr)
    return not_found("VM", c.ids[0]);
  Sim_Disk_Attachment a;
  a.vm_id = vm->id;
  a.interface.clear();
  const Object* disk = json_spirit::object_get_object(c.body, "disk");
  bool well_formed = body_text(c.body, "interface", a.interface) && body_flag(c.body, "active", a.active) &&
                     body_flag(c.body, "bootable", a.bootable) && body_flag(c.body, "read_only", a.read_only) &&
                     body_flag(c.body, "pass_discard", a.pass_discard) && disk != nullptr &&
                     body_text(*disk, "id", a.disk_id) && body_link_id(*disk, "snapshot", a.snapshot_id);
  if (!well_formed || a.disk_id.empty())
    return bad_request("Malformed disk attachment: it needs \"disk\": {\"id\"}, flags as JSON strings");
  static const std::set<std::string> interfaces = {"virtio", "virtio_scsi", "ide", "sata", "spapr_vscsi"};
  if (interfaces.count(a.interface) == 0)
    return bad_request("Invalid disk interface '" + a.interface + "'");

  Sim_Disk* d = e.find_disk(a.disk_id);
  if (d == nullptr && a.snapshot_id.empty())
    return unknown_in_body("disk", a.disk_id);
  if (e.vm_locked(*vm))
    return conflict("Cannot attach Virtual Disk. VM " + vm->name + " is locked. Please try again in a few minutes.");
  if (e.find_attachment(vm->id, a.disk_id) != nullptr)
    return conflict("Cannot attach Virtual Disk. The disk is already attached to VM " + vm->name + ".");
  if (!a.snapshot_id.empty()) {
    const Sim_Snapshot* snap = nullptr;
    for (const Sim_Snapshot& s : e.snapshots)
      if (s.id == a.snapshot_id)
        snap = &s;
    if (snap == nullptr)
      return unknown_in_body("snapshot", a.snapshot_id);
    if (e.attached_disk(a) == nullptr)
      return unknown_in_body("disk", a.disk_id);
    if (snap->vm_id == vm->id)
      return conflict("Cannot attach Virtual Disk. A snapshot's disk cannot be attached to its own VM.");
    if (snap->status != "ok")
      return conflict("Cannot attach Virtual Disk. Snapshot '" + snap->description + "' is " +
                      (snap->removing ? "being removed." : "currently being created."));
  } else {
    if (e.disk_status(*d) != "ok")
      return conflict("Cannot attach Virtual Disk. Disk " + d->name + " is " + e.disk_status(*d) +
                      ". Please try again in a few minutes.");
    if (!d->shareable)
      for (const Sim_Disk_Attachment& other : e.attachments)
        if (other.disk_id == d->id && other.snapshot_id.empty())
          return conflict("Cannot attach Virtual Disk. The disk is not shareable and is attached to VM " +
                          e.vm_name(other.vm_id) + ".");
  }
  if (a.bootable)
    for (const Sim_Disk_Attachment& other : e.attachments)
      if (other.vm_id == vm->id && other.bootable)
        return conflict("Cannot attach Virtual Disk. VM " + vm->name + " has a bootable disk already.");
  a.agent_own = false;
  e.attachments.push_back(a);
  e.plug(a);
  return ok(e.render_attachment(a, false), 201);
}

Reply detach_disk(Impl& e, const Call& c)
{
  Sim_VM* vm = e.find_vm(c.ids[0]);
  if (vm == nullptr)
    return not_found("VM", c.ids[0]);
  Sim_Disk_Attachment* a = e.find_attachment(vm->id, c.ids[1]);
  if (a == nullptr)
    return not_found("disk attachment", c.ids[1]);
  bool detach_only;
  Reply error;
  if (!bool_param(c, "detach_only", true, detach_only, error))
    return error;
  const Sim_Disk* d = e.find_disk(a->disk_id);
  std::string name = d != nullptr ? d->name : a->disk_id;
  if (a->agent_own)
    return conflict("Cannot detach Virtual Disk. Disk " + name + " belongs to the agent VM " + vm->name +
                    " and must stay attached.");
  if (a->snapshot_id.empty() && d != nullptr && e.disk_status(*d) == "locked")
    return conflict("Cannot detach Virtual Disk. Disk " + name + " is locked. Please try again in a few minutes.");
  const Sim_Disk_Attachment gone = *a;
  if (!detach_only && gone.snapshot_id.empty())
    for (const Sim_Disk_Attachment& other : e.attachments)
      if (other.disk_id == gone.disk_id && other.vm_id != gone.vm_id && other.snapshot_id.empty())
        return conflict("Cannot remove Virtual Disk. It is attached to VM " + e.vm_name(other.vm_id) + " too.");
  e.attachments.erase(std::remove_if(e.attachments.begin(), e.attachments.end(),
                                     [&](const Sim_Disk_Attachment& x) {
                                       return x.vm_id == gone.vm_id && x.disk_id == gone.disk_id;
                                     }),
                      e.attachments.end());
  if (gone.vm_id == e.config.agent_vm_id)
    e.unplug(gone.disk_id);
  if (!detach_only && gone.snapshot_id.empty())
    e.erase_disk(gone.disk_id);
  return complete();
}

void install_disks(Impl& engine)
{
  engine.add_route("GET", "disks", [](Impl& e, const Call& c) {
    Search s;
    Reply error;
    if (!search_param(c, {"name", "alias"}, s, error))
      return error;
    Array items;
    for (const Sim_Disk& d : e.disks)
      if (search_match(s, [&](const std::string&) { return d.name; }))
        items.push_back(e.render_disk(d));
    return list_reply("disk", std::move(items));
  });
  engine.add_route("POST", "disks", add_disk);
  engine.add_route("GET", "disks/*", [](Impl& e, const Call& c) {
    Sim_Disk* d = e.find_disk(c.ids[0]);
    return d != nullptr ? ok(e.render_disk(*d)) : not_found("disk", c.ids[0]);
  });
  engine.add_route("DELETE", "disks/*", remove_disk);

  engine.add_route("GET", "vms/*/diskattachments", [](Impl& e, const Call& c) {
    std::set<std::string> follow;
    Reply error;
    if (!follow_param(c, {"disk"}, follow, error))
      return error;
    if (e.find_vm(c.ids[0]) == nullptr)
      return not_found("VM", c.ids[0]);
    Array items;
    for (const Sim_Disk_Attachment& a : e.attachments)
      if (a.vm_id == c.ids[0])
        items.push_back(e.render_attachment(a, follow.count("disk") != 0));
    return list_reply("disk_attachment", std::move(items));
  });
  engine.add_route("GET", "vms/*/diskattachments/*", [](Impl& e, const Call& c) {
    std::set<std::string> follow;
    Reply error;
    if (!follow_param(c, {"disk"}, follow, error))
      return error;
    Sim_Disk_Attachment* a = e.find_attachment(c.ids[0], c.ids[1]);
    if (a == nullptr)
      return not_found("disk attachment", c.ids[1]);
    return ok(e.render_attachment(*a, follow.count("disk") != 0));
  });
  engine.add_route("POST", "vms/*/diskattachments", attach_disk);
  engine.add_route("DELETE", "vms/*/diskattachments/*", detach_disk);
}

// ---- snapshots ----

Reply add_snapshot(Impl& e, const Call& c)
{
  Sim_VM* vm = e.find_vm(c.ids[0]);
  if (vm == nullptr)
    return not_found("VM", c.ids[0]);
  std::string description;
  bool persist_memorystate = false;
  std::vector<Object> chosen;
  if (!body_text(c.body, "description", description) ||
      !body_flag(c.body, "persist_memorystate", persist_memorystate) ||
      !body_list(c.body, "disk_attachments", "disk_attachment", chosen))
    return bad_request("Malformed snapshot: flags are JSON strings, disks under "
                       "\"disk_attachments\": {\"disk_attachment\": [...]}");
  if (description.empty())
    return bad_request("Incomplete parameters: Snapshot [description] required for add");
  if (const Sim_Snapshot* busy = e.snapshot_in_progress(vm->id))
    return conflict(std::string("Cannot create Snapshot. Snapshot is currently being ") +
                    (busy->removing ? "removed" : "created") + " for VM " + vm->name + ".");
  if (e.vm_locked(*vm))
    return conflict("Cannot create Snapshot. VM " + vm->name + " is locked. Please try again in a few minutes.");

  std::vector<std::string> disk_ids;
  if (c.body.count("disk_attachments") != 0) {
    for (const Object& item : chosen) {
      const Object* disk = json_spirit::object_get_object(item, "disk");
      const std::string* id = disk != nullptr ? json_spirit::object_get_str(*disk, "id") : nullptr;
      if (id == nullptr)
        return bad_request("Every disk attachment of a snapshot needs \"disk\": {\"id\"}");
      const Sim_Disk_Attachment* a = e.find_attachment(vm->id, *id);
      const Sim_Disk* d = e.find_disk(*id);
      if (a == nullptr || !a->snapshot_id.empty() || d == nullptr)
        return conflict("Cannot create Snapshot. Disk " + *id + " is not attached to VM " + vm->name + ".");
      if (d->shareable)
        return conflict("Cannot create Snapshot. Disk " + d->name + " is shareable; shareable disks have no "
                        "snapshots.");
      if (std::find(disk_ids.begin(), disk_ids.end(), *id) == disk_ids.end())
        disk_ids.push_back(*id);
    }
  } else {
    for (const Sim_Disk_Attachment& a : e.attachments) {
      const Sim_Disk* d = e.find_disk(a.disk_id);
      if (a.vm_id == vm->id && a.snapshot_id.empty() && d != nullptr && !d->shareable)
        disk_ids.push_back(a.disk_id);
    }
  }
  for (const std::string& id : disk_ids) {
    const Sim_Disk* d = e.find_disk(id);
    if (e.disk_status(*d) != "ok")
      return conflict("Cannot create Snapshot. Disk " + d->name + " is " + e.disk_status(*d) +
                      ". Please try again in a few minutes.");
  }

  std::string error;
  Sim_Snapshot s = e.take_snapshot(*vm, disk_ids, description, error);
  if (!error.empty())
    return fault(500, "Operation Failed", "[" + error + "]");
  s.persist_memorystate = persist_memorystate;
  s.status = "locked";
  e.snapshots.push_back(s);
  const std::string vm_id = vm->id;
  const std::string id = s.id;
  e.schedule(e.timing.snapshot_create, "snapshot:" + id, [&e, vm_id, id] {
    if (Sim_Snapshot* snap = e.find_snapshot(vm_id, id))
      if (!snap->removing)
        snap->status = "ok";
  });
  return ok(e.render_snapshot(*e.find_snapshot(vm_id, id)), 201);
}

Reply remove_snapshot(Impl& e, const Call& c)
{
  Sim_VM* vm = e.find_vm(c.ids[0]);
  if (vm == nullptr)
    return not_found("VM", c.ids[0]);
  if (c.ids[1] == vm->active_snapshot_id)
    return conflict("Cannot remove Snapshot. The Active VM snapshot cannot be removed.");
  Sim_Snapshot* s = e.find_snapshot(vm->id, c.ids[1]);
  if (s == nullptr)
    return not_found("snapshot", c.ids[1]);
  // A second removal while the first runs meets the command lock the first one holds.
  if (s->removing)
    return conflict("Cannot remove Snapshot. Related operation is currently in progress. Please try again later.");
  if (const Sim_Snapshot* busy = e.snapshot_in_progress(vm->id))
    return conflict(std::string("Cannot remove Snapshot. Snapshot is currently being ") +
                    (busy->removing ? "removed" : "created") + " for VM " + vm->name + ".");
  if (vm->status == "image_locked")
    return conflict("Cannot remove Snapshot. VM " + vm->name + " is locked. Please try again in a few minutes.");
  for (const Sim_Disk_Attachment& a : e.attachments)
    if (a.snapshot_id == s->id)
      return conflict("Cannot remove Snapshot. Disk " + a.disk_id + " of snapshot '" + s->description +
                      "' is attached to VM " + e.vm_name(a.vm_id) + ".");
  s->status = "locked";
  s->removing = true;
  const std::string vm_id = vm->id;
  const std::string id = s->id;
  e.cancel("snapshot:" + id);
  e.schedule(e.timing.snapshot_remove, "snapshot:" + id, [&e, vm_id, id] { e.erase_snapshot(vm_id, id); });
  return complete();
}

void install_snapshots(Impl& engine)
{
  engine.add_route("GET", "vms/*/snapshots", [](Impl& e, const Call& c) {
    Sim_VM* vm = e.find_vm(c.ids[0]);
    if (vm == nullptr)
      return not_found("VM", c.ids[0]);
    Array items;
    items.push_back(e.render_active_snapshot(*vm));
    for (const Sim_Snapshot& s : e.snapshots)
      if (s.vm_id == vm->id)
        items.push_back(e.render_snapshot(s));
    return list_reply("snapshot", std::move(items));
  });
  engine.add_route("GET", "vms/*/snapshots/*", [](Impl& e, const Call& c) {
    Sim_VM* vm = e.find_vm(c.ids[0]);
    if (vm == nullptr)
      return not_found("VM", c.ids[0]);
    if (c.ids[1] == vm->active_snapshot_id)
      return ok(e.render_active_snapshot(*vm));
    Sim_Snapshot* s = e.find_snapshot(vm->id, c.ids[1]);
    return s != nullptr ? ok(e.render_snapshot(*s)) : not_found("snapshot", c.ids[1]);
  });
  engine.add_route("POST", "vms/*/snapshots", add_snapshot);
  engine.add_route("DELETE", "vms/*/snapshots/*", remove_snapshot);

  engine.add_route("GET", "vms/*/snapshots/*/disks", [](Impl& e, const Call& c) {
    Sim_Snapshot* s = e.find_snapshot(c.ids[0], c.ids[1]);
    if (s == nullptr)
      return not_found("snapshot", c.ids[1]);
    Array items;
    for (const Sim_Disk& d : s->disks)
      items.push_back(e.render_disk(d));
    return list_reply("disk", std::move(items));
  });
  engine.add_route("GET", "vms/*/snapshots/*/disks/*", [](Impl& e, const Call& c) {
    Sim_Snapshot* s = e.find_snapshot(c.ids[0], c.ids[1]);
    if (s == nullptr)
      return not_found("snapshot", c.ids[1]);
    for (const Sim_Disk& d : s->disks)
      if (d.id == c.ids[2])
        return ok(e.render_disk(d));
    return not_found("disk", c.ids[2]);
  });
  engine.add_route("GET", "vms/*/snapshots/*/nics", [](Impl& e, const Call& c) {
    Sim_Snapshot* s = e.find_snapshot(c.ids[0], c.ids[1]);
    if (s == nullptr)
      return not_found("snapshot", c.ids[1]);
    Array items;
    for (const Sim_NIC& n : s->nics)
      items.push_back(e.render_nic(n, false));
    return list_reply("nic", std::move(items));
  });
  engine.add_route("GET", "vms/*/snapshots/*/nics/*", [](Impl& e, const Call& c) {
    Sim_Snapshot* s = e.find_snapshot(c.ids[0], c.ids[1]);
    if (s == nullptr)
      return not_found("snapshot", c.ids[1]);
    for (const Sim_NIC& n : s->nics)
      if (n.id == c.ids[2])
        return ok(e.render_nic(n, false));
    return not_found("NIC", c.ids[2]);
  });
}

}  // namespace

void Impl::install_storage_routes()
{
  install_disks(*this);
  install_snapshots(*this);
}

}  // namespace test_support
