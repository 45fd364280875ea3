// The REST resources of the simulated engine and the rules the engine enforces.
//
// Paths are relative to "/<prefix>/api"; "*" stands for one id. Validation failures of the
// engine's own rules answer 409 "Operation Failed" with the reason in "detail", malformed
// requests answer 400, unknown ids in the path 404 with an empty body, unknown entities named
// in a request body 404 with a fault body, as the engine does. Successful creations answer
// 201 with the new entity, reads and actions 200, removals 200 with {"status": "complete"}.
//
// Rules enforced (each answers 409):
// - a snapshot is created or removed while another snapshot operation runs on the VM;
// - a snapshot is removed again while its removal runs ("Related operation is currently in
//   progress");
// - a snapshot is removed while one of its disks is attached to a VM;
// - the "Active VM" snapshot is removed;
// - a snapshot names a shareable disk, a disk not attached to the VM, or a locked disk;
// - a disk is attached, detached or removed while it is locked (new, or in a snapshot
//   operation), or a VM is changed while it is locked ("image_locked", or in a snapshot
//   operation);
// - a disk that belongs to the agent VM is detached; the agent VM is removed;
// - a non-shareable disk is attached to a second VM, a disk twice to one VM, a second
//   bootable disk to a VM, a snapshot's disk before the snapshot is "ok";
// - a disk is removed while attached to the agent VM or to a running VM;
// - a preallocated disk does not fit its storage domain's available space; a raw sparse disk
//   is made on a block domain (iSCSI, FC); an incremental-backup disk is raw; a shareable disk
//   is cow;
// - a VM name is taken; a running VM is removed without force or started again;
// - a NIC name is taken on its VM, its MAC is in use, or its profile's network lies outside
//   the VM's data center.
//
// Backups, checkpoints and image transfers, with their own rules: engine_simulator_backup.h.

#include "tests/support/engine_simulator_impl.h"

#include <algorithm>
#include <cstdio>

namespace test_support {

using namespace engine_sim;
using Impl = Engine_Simulator::Impl;

namespace {

bool valid_mac(const std::string& mac)
{
  if (mac.size() != 17)
    return false;
  for (size_t i = 0; i < mac.size(); ++i) {
    if (i % 3 == 2) {
      if (mac[i] != ':')
        return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(mac[i]))) {
      return false;
    }
  }
  return true;
}



// ---- infrastructure ----

void install_infrastructure(Impl& engine)
{
  engine.add_route("GET", "", [](Impl& e, const Call&) { return ok(e.render_api_root()); });

  engine.add_route("GET", "datacenters", [](Impl& e, const Call& c) {
    Search s;
    Reply error;
    if (!search_param(c, {"name", "status"}, s, error))
      return error;
    Array items;
    for (const Sim_Data_Center& dc : e.dcs)
      if (search_match(s, [&](const std::string& f) { return f == "name" ? dc.name : dc.status; }))
        items.push_back(e.render_data_center(dc));
    return list_reply("data_center", std::move(items));
  });
  engine.add_route("GET", "datacenters/*", [](Impl& e, const Call& c) {
    Sim_Data_Center* dc = e.find_dc(c.ids[0]);
    return dc != nullptr ? ok(e.render_data_center(*dc)) : not_found("data center", c.ids[0]);
  });
  engine.add_route("GET", "datacenters/*/clusters", [](Impl& e, const Call& c) {
    if (e.find_dc(c.ids[0]) == nullptr)
      return not_found("data center", c.ids[0]);
    Array items;
    for (const Sim_Cluster& cl : e.clusters)
      if (cl.data_center_id == c.ids[0])
        items.push_back(e.render_cluster(cl));
    return list_reply("cluster", std::move(items));
  });
  engine.add_route("GET", "datacenters/*/networks", [](Impl& e, const Call& c) {
    if (e.find_dc(c.ids[0]) == nullptr)
      return not_found("data center", c.ids[0]);
    Array items;
    for (const Sim_Network& n : e.networks)
      if (n.data_center_id == c.ids[0])
        items.push_back(e.render_network(n));
    return list_reply("network", std::move(items));
  });
  engine.add_route("GET", "datacenters/*/storagedomains", [](Impl& e, const Call& c) {
    if (e.find_dc(c.ids[0]) == nullptr)
      return not_found("data center", c.ids[0]);
    Array items;
    for (const Sim_Storage_Domain& d : e.domains)
      if (std::count(d.data_center_ids.begin(), d.data_center_ids.end(), c.ids[0]) != 0)
        items.push_back(e.render_domain(d));
    return list_reply("storage_domain", std::move(items));
  });
  engine.add_route("GET", "datacenters/*/storagedomains/*", [](Impl& e, const Call& c) {
    Sim_Storage_Domain* d = e.find_domain(c.ids[1]);
    if (e.find_dc(c.ids[0]) == nullptr || d == nullptr ||
        std::count(d->data_center_ids.begin(), d->data_center_ids.end(), c.ids[0]) == 0)
      return not_found("storage domain", c.ids[1]);
    return ok(e.render_domain(*d));
  });

  engine.add_route("GET", "clusters", [](Impl& e, const Call& c) {
    Search s;
    Reply error;
    if (!search_param(c, {"name", "datacenter"}, s, error))
      return error;
    Array items;
    for (const Sim_Cluster& cl : e.clusters) {
      auto value_of = [&](const std::string& f) {
        if (f == "name")
          return cl.name;
        Sim_Data_Center* dc = e.find_dc(cl.data_center_id);
        return dc != nullptr ? dc->name : std::string();
      };
      if (search_match(s, value_of))
        items.push_back(e.render_cluster(cl));
    }
    return list_reply("cluster", std::move(items));
  });
  engine.add_route("GET", "clusters/*", [](Impl& e, const Call& c) {
    Sim_Cluster* cl = e.find_cluster(c.ids[0]);
    return cl != nullptr ? ok(e.render_cluster(*cl)) : not_found("cluster", c.ids[0]);
  });

  engine.add_route("GET", "hosts", [](Impl& e, const Call&) {
    Array items;
    for (const Sim_Host& h : e.hosts)
      items.push_back(e.render_host(h));
    return list_reply("host", std::move(items));
  });
  engine.add_route("GET", "hosts/*", [](Impl& e, const Call& c) {
    Sim_Host* h = e.find_host(c.ids[0]);
    return h != nullptr ? ok(e.render_host(*h)) : not_found("host", c.ids[0]);
  });

  engine.add_route("GET", "networks", [](Impl& e, const Call&) {
    Array items;
    for (const Sim_Network& n : e.networks)
      items.push_back(e.render_network(n));
    return list_reply("network", std::move(items));
  });
  engine.add_route("GET", "networks/*", [](Impl& e, const Call& c) {
    Sim_Network* n = e.find_network(c.ids[0]);
    return n != nullptr ? ok(e.render_network(*n)) : not_found("network", c.ids[0]);
  });
  engine.add_route("GET", "networks/*/vnicprofiles", [](Impl& e, const Call& c) {
    if (e.find_network(c.ids[0]) == nullptr)
      return not_found("network", c.ids[0]);
    Array items;
    for (const Sim_VNIC_Profile& p : e.profiles)
      if (p.network_id == c.ids[0])
        items.push_back(e.render_profile(p));
    return list_reply("vnic_profile", std::move(items));
  });

  engine.add_route("GET", "vnicprofiles", [](Impl& e, const Call&) {
    Array items;
    for (const Sim_VNIC_Profile& p : e.profiles)
      items.push_back(e.render_profile(p));
    return list_reply("vnic_profile", std::move(items));
  });
  engine.add_route("GET", "vnicprofiles/*", [](Impl& e, const Call& c) {
    Sim_VNIC_Profile* p = e.find_profile(c.ids[0]);
    return p != nullptr ? ok(e.render_profile(*p)) : not_found("vnic profile", c.ids[0]);
  });
  engine.add_route("POST", "vnicprofiles", [](Impl& e, const Call& c) {
    Sim_VNIC_Profile p;
    if (!body_text(c.body, "name", p.name) || !body_text(c.body, "description", p.description) ||
        !body_link_id(c.body, "network", p.network_id) || !body_flag(c.body, "port_mirroring", p.port_mirroring))
      return bad_request("Malformed vnic profile");
    if (p.name.empty() || p.network_id.empty())
      return bad_request("Incomplete parameters: VnicProfile [name, network.id] required for add");
    if (e.find_network(p.network_id) == nullptr)
      return unknown_in_body("network", p.network_id);
    for (const Sim_VNIC_Profile& other : e.profiles)
      if (other.network_id == p.network_id && other.name == p.name)
        return conflict("Cannot add VM network interface profile. The name is already in use");
    p.id = new_id();
    e.profiles.push_back(p);
    return ok(e.render_profile(p), 201);
  });

  engine.add_route("GET", "storagedomains", [](Impl& e, const Call& c) {
    Search s;
    Reply error;
    if (!search_param(c, {"name"}, s, error))
      return error;
    Array items;
    for (const Sim_Storage_Domain& d : e.domains)
      if (search_match(s, [&](const std::string&) { return d.name; }))
        items.push_back(e.render_domain(d));
    return list_reply("storage_domain", std::move(items));
  });
  engine.add_route("GET", "storagedomains/*", [](Impl& e, const Call& c) {
    Sim_Storage_Domain* d = e.find_domain(c.ids[0]);
    return d != nullptr ? ok(e.render_domain(*d)) : not_found("storage domain", c.ids[0]);
  });
}

// ---- VMs ----

const std::set<std::string> VM_FOLLOW = {"disk_attachments", "disk_attachments.disk", "nics", "nics.vnic_profile"};

Reply add_vm(Impl& e, const Call& c)
{
  Sim_VM vm;
  std::string cluster_id;
  std::string cluster_name;
  std::string template_id;
  const Object* cluster = json_spirit::object_get_object(c.body, "cluster");
  bool well_formed = body_text(c.body, "name", vm.name) && body_text(c.body, "description", vm.description) &&
                     body_number(c.body, "memory", vm.memory) &&
                     body_text(c.body, "custom_emulated_machine", vm.custom_emulated_machine) &&
                     body_link_id(c.body, "template", template_id);
  if (cluster != nullptr)
    well_formed = well_formed && body_text(*cluster, "id", cluster_id) && body_text(*cluster, "name", cluster_name);
  if (const Object* cpu = json_spirit::object_get_object(c.body, "cpu")) {
    well_formed = well_formed && body_text(*cpu, "architecture", vm.cpu_architecture);
    if (const Object* topology = json_spirit::object_get_object(*cpu, "topology")) {
      int64_t cores = vm.cpu_cores, sockets = vm.cpu_sockets, threads = vm.cpu_threads;
      well_formed = well_formed && body_number(*topology, "cores", cores) &&
                    body_number(*topology, "sockets", sockets) && body_number(*topology, "threads", threads);
      vm.cpu_cores = static_cast<int>(cores);
      vm.cpu_sockets = static_cast<int>(sockets);
      vm.cpu_threads = static_cast<int>(threads);
    }
  }
  if (const Object* os = json_spirit::object_get_object(c.body, "os"))
    well_formed = well_formed && body_text(*os, "type", vm.os_type);
  if (const Object* bios = json_spirit::object_get_object(c.body, "bios")) {
    well_formed = well_formed && body_text(*bios, "type", vm.bios_type);
    if (const Object* boot_menu = json_spirit::object_get_object(*bios, "boot_menu"))
      well_formed = well_formed && body_flag(*boot_menu, "enabled", vm.boot_menu);
  }
  if (const Object* policy = json_spirit::object_get_object(c.body, "memory_policy"))
    well_formed = well_formed && body_number(*policy, "guaranteed", vm.memory_guaranteed) &&
                  body_number(*policy, "max", vm.memory_max);
  std::vector<Object> disk_attachments;
  well_formed = well_formed && body_list(c.body, "disk_attachments", "disk_attachment", disk_attachments);
  if (!well_formed)
    return bad_request("Malformed VM: numbers and flags are JSON strings, links objects with an \"id\"");
  if (vm.name.empty() || (cluster_id.empty() && cluster_name.empty()))
    return bad_request("Incomplete parameters: Vm [name, cluster.id|name] required for add");
  // The engine copies the disks of the template; disks of other VMs cannot be given here.
  if (!disk_attachments.empty())
    return bad_request("Cannot add VM. The disk attachments given are not disks of the template");
  if (cluster_id.empty())
    for (const Sim_Cluster& cl : e.clusters)
      if (cl.name == cluster_name)
        cluster_id = cl.id;
  if (e.find_cluster(cluster_id) == nullptr)
    return unknown_in_body("cluster", cluster_id.empty() ? cluster_name : cluster_id);
  for (const Sim_VM& other : e.vms)
    if (other.name == vm.name)
      return conflict("Cannot add VM. The VM name is already in use");
  vm.id = new_id();
  vm.active_snapshot_id = new_id();
  vm.cluster_id = cluster_id;
  vm.template_id = template_id.empty() ? BLANK_TEMPLATE_ID : template_id;
  vm.status = e.timing.vm_create.count() > 0 ? "image_locked" : "down";
  vm.creation_time = now_ms();
  e.vms.push_back(vm);
  const std::string id = vm.id;
  e.schedule(e.timing.vm_create, "vm:" + id, [&e, id] {
    if (Sim_VM* made = e.find_vm(id))
      if (made->status == "image_locked")
        made->status = "down";
  });
  return ok(e.render_vm(vm, {}), 201);
}

Reply remove_vm(Impl& e, const Call& c)
{
  Sim_VM* vm = e.find_vm(c.ids[0]);
  if (vm == nullptr)
    return not_found("VM", c.ids[0]);
  bool detach_only, force;
  Reply error;
  if (!bool_param(c, "detach_only", false, detach_only, error) || !bool_param(c, "force", false, force, error))
    return error;
  if (vm->id == e.config.agent_vm_id)
    return conflict("Cannot remove VM. VM " + vm->name + " runs the backup agent");
  if (e.vm_locked(*vm))
    return conflict("Cannot remove VM. VM " + vm->name + " is locked. Please try again in a few minutes.");
  if (vm->status == "up" && !force)
    return conflict("Cannot remove VM. VM is running.");
  for (const Sim_Disk_Attachment& a : e.attachments) {
    if (a.snapshot_id.empty())
      continue;
    for (const Sim_Snapshot& s : e.snapshots)
      if (s.id == a.snapshot_id && s.vm_id == vm->id)
        return conflict("Cannot remove VM. A disk of its snapshot '" + s.description + "' is attached to VM " +
                        e.vm_name(a.vm_id));
  }
  std::vector<std::string> disk_ids;
  for (const Sim_Disk_Attachment& a : e.attachments)
    if (a.vm_id == vm->id && a.snapshot_id.empty()) {
      const Sim_Disk* d = e.find_disk(a.disk_id);
      if (d != nullptr && e.disk_status(*d) == "locked")
        return conflict("Cannot remove VM. Disk " + d->name + " is locked");
      disk_ids.push_back(a.disk_id);
    }

  const std::string id = vm->id;
  for (const std::string& disk_id : disk_ids) {
    e.attachments.erase(std::remove_if(e.attachments.begin(), e.attachments.end(),
                                       [&](const Sim_Disk_Attachment& a) {
                                         return a.vm_id == id && a.disk_id == disk_id;
                                       }),
                        e.attachments.end());
    bool elsewhere = std::any_of(e.attachments.begin(), e.attachments.end(), [&](const Sim_Disk_Attachment& a) {
      return a.disk_id == disk_id && a.snapshot_id.empty();
    });
    if (!detach_only && !elsewhere)
      e.erase_disk(disk_id);
  }
  // Snapshot disks of other VMs plugged into this one go away with it.
  e.attachments.erase(std::remove_if(e.attachments.begin(), e.attachments.end(),
                                     [&](const Sim_Disk_Attachment& a) { return a.vm_id == id; }),
                      e.attachments.end());
  e.nics.erase(std::remove_if(e.nics.begin(), e.nics.end(), [&](const Sim_NIC& n) { return n.vm_id == id; }),
               e.nics.end());
  std::vector<std::string> snapshot_ids;
  for (const Sim_Snapshot& s : e.snapshots)
    if (s.vm_id == id)
      snapshot_ids.push_back(s.id);
  for (const std::string& sid : snapshot_ids) {
    e.cancel("snapshot:" + sid);
    e.erase_snapshot(id, sid);
  }
  e.vms.erase(std::remove_if(e.vms.begin(), e.vms.end(), [&](const Sim_VM& v) { return v.id == id; }), e.vms.end());
  return complete();
}

Reply start_vm(Impl& e, const Call& c)
{
  Sim_VM* vm = e.find_vm(c.ids[0]);
  if (vm == nullptr)
    return not_found("VM", c.ids[0]);
  if (e.vm_locked(*vm))
    return conflict("Cannot run VM. VM " + vm->name + " is locked. Please try again in a few minutes.");
  if (vm->status == "up")
    return conflict("Cannot run VM. VM " + vm->name + " is running.");
  for (const Sim_Disk_Attachment& a : e.attachments)
    if (a.vm_id == vm->id && a.snapshot_id.empty()) {
      const Sim_Disk* d = e.find_disk(a.disk_id);
      if (d != nullptr && e.disk_status(*d) != "ok")
        return conflict("Cannot run VM. Disk " + d->name + " is " + e.disk_status(*d));
    }
  vm->status = "up";
  for (const Sim_Host& h : e.hosts)
    if (h.cluster_id == vm->cluster_id) {
      vm->host_id = h.id;
      break;
    }
  Object o;
  o["status"] = "complete";
  o["vm"] = e.link("/vms/" + vm->id, vm->id);
  return ok(std::move(o));
}

Reply stop_vm(Impl& e, const Call& c)
{
  Sim_VM* vm = e.find_vm(c.ids[0]);
  if (vm == nullptr)
    return not_found("VM", c.ids[0]);
  if (vm->status != "up")
    return conflict("Cannot stop VM. VM " + vm->name + " is not running.");
  vm->status = "down";
  vm->host_id.clear();
  return complete();
}

void install_vms(Impl& engine)
{
  engine.add_route("GET", "vms", [](Impl& e, const Call& c) {
    std::set<std::string> follow;
    Search s;
    Reply error;
    if (!follow_param(c, VM_FOLLOW, follow, error) || !search_param(c, {"name", "status", "cluster"}, s, error))
      return error;
    Array items;
    for (const Sim_VM& vm : e.vms) {
      auto value_of = [&](const std::string& f) {
        if (f == "name")
          return vm.name;
        if (f == "status")
          return vm.status;
        Sim_Cluster* cl = e.find_cluster(vm.cluster_id);
        return cl != nullptr ? cl->name : std::string();
      };
      if (search_match(s, value_of))
        items.push_back(e.render_vm(vm, follow));
    }
    return list_reply("vm", std::move(items));
  });
  engine.add_route("POST", "vms", add_vm);
  engine.add_route("GET", "vms/*", [](Impl& e, const Call& c) {
    std::set<std::string> follow;
    Reply error;
    if (!follow_param(c, VM_FOLLOW, follow, error))
      return error;
    Sim_VM* vm = e.find_vm(c.ids[0]);
    return vm != nullptr ? ok(e.render_vm(*vm, follow)) : not_found("VM", c.ids[0]);
  });
  engine.add_route("DELETE", "vms/*", remove_vm);
  engine.add_route("POST", "vms/*/start", start_vm);
  engine.add_route("POST", "vms/*/stop", stop_vm);

  engine.add_route("GET", "vms/*/nics", [](Impl& e, const Call& c) {
    if (e.find_vm(c.ids[0]) == nullptr)
      return not_found("VM", c.ids[0]);
    Array items;
    for (const Sim_NIC& n : e.nics)
      if (n.vm_id == c.ids[0])
        items.push_back(e.render_nic(n, false));
    return list_reply("nic", std::move(items));
  });
  engine.add_route("GET", "vms/*/nics/*", [](Impl& e, const Call& c) {
    Sim_NIC* n = e.find_nic(c.ids[0], c.ids[1]);
    return n != nullptr ? ok(e.render_nic(*n, false)) : not_found("NIC", c.ids[1]);
  });
  engine.add_route("POST", "vms/*/nics", [](Impl& e, const Call& c) {
    Sim_VM* vm = e.find_vm(c.ids[0]);
    if (vm == nullptr)
      return not_found("VM", c.ids[0]);
    Sim_NIC n;
    n.vm_id = vm->id;
    const Object* mac = json_spirit::object_get_object(c.body, "mac");
    bool well_formed = body_text(c.body, "name", n.name) && body_text(c.body, "interface", n.interface) &&
                       body_flag(c.body, "linked", n.linked) && body_flag(c.body, "plugged", n.plugged) &&
                       body_link_id(c.body, "vnic_profile", n.vnic_profile_id) &&
                       (mac == nullptr || body_text(*mac, "address", n.mac));
    if (!well_formed)
      return bad_request("Malformed NIC");
    if (n.name.empty())
      return bad_request("Incomplete parameters: Nic [name] required for add");
    static const std::set<std::string> interfaces = {"virtio", "e1000", "rtl8139", "pci_passthrough", "spapr_vlan"};
    if (interfaces.count(n.interface) == 0)
      return bad_request("Invalid NIC interface '" + n.interface + "'");
    if (!n.mac.empty() && !valid_mac(n.mac))
      return bad_request("Invalid MAC address '" + n.mac + "'");
    if (e.vm_locked(*vm))
      return conflict("Cannot add Interface. VM " + vm->name + " is locked.");
    if (!n.vnic_profile_id.empty()) {
      Sim_VNIC_Profile* p = e.find_profile(n.vnic_profile_id);
      if (p == nullptr)
        return unknown_in_body("vnic profile", n.vnic_profile_id);
      Sim_Network* net = e.find_network(p->network_id);
      Sim_Cluster* cl = e.find_cluster(vm->cluster_id);
      if (net == nullptr || cl == nullptr || net->data_center_id != cl->data_center_id)
        return conflict("Cannot add Interface. The network of profile " + p->name +
                        " is not in the data center of VM " + vm->name);
    }
    for (const Sim_NIC& other : e.nics) {
      if (other.vm_id == n.vm_id && other.name == n.name)
        return conflict("Cannot add Interface. Interface name is already in use");
      if (!n.mac.empty() && other.mac == n.mac)
        return conflict("Cannot add Interface. MAC Address " + n.mac + " is already in use");
    }
    n.id = new_id();
    if (n.mac.empty())
      n.mac = e.new_mac();
    e.nics.push_back(n);
    return ok(e.render_nic(n, false), 201);
  });
}

}  // namespace

void Impl::install_routes()
{
  install_infrastructure(*this);
  install_vms(*this);
  install_storage_routes();
  install_backup_routes();
}

}  // namespace test_support
