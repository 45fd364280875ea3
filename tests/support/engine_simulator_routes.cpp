// The REST resources of the simulated engine and the rules the engine enforces.
//
// Paths are relative to "/<prefix>/api"; "*" stands for one id. Validation failures of the
// engine's own rules answer 409 "Operation Failed" with the reason in "detail", malformed
// requests answer 400, unknown ids 404, as the engine does. Successful creations answer 201
// with the new entity, reads and actions 200, removals 200 with {"status": "complete"}.
//
// Rules enforced (each answers 409):
// - a snapshot is created or removed while another snapshot operation runs on the VM;
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
// Backups, checkpoints and image transfers are not served yet: a later addition registers
// them here next to the VM routes.

#include "tests/support/engine_simulator_impl.h"

#include <algorithm>
#include <cstdio>

namespace test_support {

using namespace engine_sim;
using Impl = Engine_Simulator::Impl;

namespace {

Reply ok(Object o, int status = 200)
{
  Reply r;
  r.status = status;
  r.body = std::move(o);
  return r;
}

Reply complete()
{
  Object o;
  o["status"] = "complete";
  return ok(std::move(o));
}

Reply list_reply(const std::string& element, Array items)
{
  Object o;
  if (!items.empty())
    o[element] = std::move(items);
  return ok(std::move(o));
}

// A boolean query parameter; absent gives `fallback`.
bool bool_param(const Call& c, const std::string& name, bool fallback, bool& out, Reply& error)
{
  auto it = c.params.find(name);
  if (it == c.params.end()) {
    out = fallback;
    return true;
  }
  if (!parse_bool_param(it->second, out)) {
    error = bad_request("Invalid value '" + it->second + "' for parameter '" + name + "'");
    return false;
  }
  return true;
}

bool follow_param(const Call& c, const std::set<std::string>& allowed, std::set<std::string>& out, Reply& error)
{
  auto it = c.params.find("follow");
  out.clear();
  if (it == c.params.end())
    return true;
  std::string bad;
  if (!parse_follow(it->second, allowed, out, bad)) {
    error = bad_request("Link '" + bad + "' cannot be followed here");
    return false;
  }
  return true;
}

// The "search" and "case_sensitive" parameters.
struct Search {
  std::vector<Search_Term> terms;
  bool case_sensitive = true;
};

bool search_param(const Call& c, const std::set<std::string>& fields, Search& s, Reply& error)
{
  if (!bool_param(c, "case_sensitive", true, s.case_sensitive, error))
    return false;
  auto it = c.params.find("search");
  if (it == c.params.end() || it->second.empty())
    return true;
  std::string why;
  if (!parse_search(it->second, s.terms, why)) {
    error = bad_request(why);
    return false;
  }
  for (const Search_Term& t : s.terms)
    if (fields.count(t.field) == 0) {
      error = bad_request("Cannot search by '" + t.field + "'");
      return false;
    }
  return true;
}

template <class Value_Of>
bool search_match(const Search& s, Value_Of value_of)
{
  for (const Search_Term& t : s.terms)
    if (!wildcard_match(t.pattern, value_of(t.field), s.case_sensitive))
      return false;
  return true;
}

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

bool is_block_storage(const std::string& storage_type)
{
  return storage_type == "iscsi" || storage_type == "fcp";
}

std::string vm_name(Impl& e, const std::string& vm_id)
{
  Sim_VM* vm = e.find_vm(vm_id);
  return vm != nullptr ? vm->name : vm_id;
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
      return not_found("network", p.network_id);
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
    return not_found("cluster", cluster_id.empty() ? cluster_name : cluster_id);
  for (const Sim_VM& other : e.vms)
    if (other.name == vm.name)
      return conflict("Cannot add VM. The VM name is already in use");
  vm.id = new_id();
  vm.active_snapshot_id = new_id();
  vm.cluster_id = cluster_id;
  vm.template_id = template_id.empty() ? BLANK_TEMPLATE_ID : template_id;
  vm.status = "down";
  vm.creation_time = now_ms();
  e.vms.push_back(vm);
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
                        vm_name(e, a.vm_id));
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
        return not_found("vnic profile", n.vnic_profile_id);
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
    return not_found("storage domain", d.storage_domain_id);
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
      return conflict("Cannot remove Virtual Disk. It is plugged into running VM " + vm_name(e, a.vm_id) +
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
    return not_found("disk", a.disk_id);
  if (e.find_attachment(vm->id, a.disk_id) != nullptr)
    return conflict("Cannot attach Virtual Disk. The disk is already attached to VM " + vm->name + ".");
  if (!a.snapshot_id.empty()) {
    const Sim_Snapshot* snap = nullptr;
    for (const Sim_Snapshot& s : e.snapshots)
      if (s.id == a.snapshot_id)
        snap = &s;
    if (snap == nullptr)
      return not_found("snapshot", a.snapshot_id);
    if (e.attached_disk(a) == nullptr)
      return not_found("disk", a.disk_id);
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
                          vm_name(e, other.vm_id) + ".");
  }
  if (e.vm_locked(*vm))
    return conflict("Cannot attach Virtual Disk. VM " + vm->name + " is locked. Please try again in a few minutes.");
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
        return conflict("Cannot remove Virtual Disk. It is attached to VM " + vm_name(e, other.vm_id) + " too.");
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
  if (const Sim_Snapshot* busy = e.snapshot_in_progress(vm->id))
    return conflict(std::string("Cannot remove Snapshot. Snapshot is currently being ") +
                    (busy->removing ? "removed" : "created") + " for VM " + vm->name + ".");
  if (vm->status == "image_locked")
    return conflict("Cannot remove Snapshot. VM " + vm->name + " is locked. Please try again in a few minutes.");
  for (const Sim_Disk_Attachment& a : e.attachments)
    if (a.snapshot_id == s->id)
      return conflict("Cannot remove Snapshot. Disk " + a.disk_id + " of snapshot '" + s->description +
                      "' is attached to VM " + vm_name(e, a.vm_id) + ".");
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

template <class T>
T* find_by_id(std::vector<T>& items, const std::string& id)
{
  for (T& item : items)
    if (item.id == id)
      return &item;
  return nullptr;
}

}  // namespace

void Impl::install_routes()
{
  install_infrastructure(*this);
  install_vms(*this);
  install_disks(*this);
  install_snapshots(*this);
}

// ---- state helpers ----

Sim_Data_Center* Impl::find_dc(const std::string& id)
{
  return find_by_id(dcs, id);
}

Sim_Cluster* Impl::find_cluster(const std::string& id)
{
  return find_by_id(clusters, id);
}

Sim_Host* Impl::find_host(const std::string& id)
{
  return find_by_id(hosts, id);
}

Sim_Network* Impl::find_network(const std::string& id)
{
  return find_by_id(networks, id);
}

Sim_VNIC_Profile* Impl::find_profile(const std::string& id)
{
  return find_by_id(profiles, id);
}

Sim_Storage_Domain* Impl::find_domain(const std::string& id)
{
  return find_by_id(domains, id);
}

Sim_VM* Impl::find_vm(const std::string& id)
{
  return find_by_id(vms, id);
}

Sim_Disk* Impl::find_disk(const std::string& id)
{
  return find_by_id(disks, id);
}

Sim_NIC* Impl::find_nic(const std::string& vm_id, const std::string& id)
{
  Sim_NIC* n = find_by_id(nics, id);
  return n != nullptr && n->vm_id == vm_id ? n : nullptr;
}

Sim_Snapshot* Impl::find_snapshot(const std::string& vm_id, const std::string& id)
{
  Sim_Snapshot* s = find_by_id(snapshots, id);
  return s != nullptr && s->vm_id == vm_id ? s : nullptr;
}

Sim_Disk_Attachment* Impl::find_attachment(const std::string& vm_id, const std::string& disk_id)
{
  for (Sim_Disk_Attachment& a : attachments)
    if (a.vm_id == vm_id && a.disk_id == disk_id)
      return &a;
  return nullptr;
}

const Sim_Snapshot* Impl::snapshot_in_progress(const std::string& vm_id) const
{
  for (const Sim_Snapshot& s : snapshots)
    if (s.vm_id == vm_id && s.status == "locked")
      return &s;
  return nullptr;
}

bool Impl::vm_locked(const Sim_VM& vm) const
{
  return vm.status == "image_locked" || snapshot_in_progress(vm.id) != nullptr;
}

std::string Impl::disk_status(const Sim_Disk& disk) const
{
  if (disk.status != "ok")
    return disk.status;
  for (const Sim_Snapshot& s : snapshots)
    if (s.status == "locked")
      for (const Sim_Disk& d : s.disks)
        if (d.id == disk.id)
          return "locked";
  return "ok";
}

const Sim_Disk* Impl::attached_disk(const Sim_Disk_Attachment& a)
{
  if (a.snapshot_id.empty())
    return find_disk(a.disk_id);
  for (const Sim_Snapshot& s : snapshots)
    if (s.id == a.snapshot_id)
      for (const Sim_Disk& d : s.disks)
        if (d.id == a.disk_id)
          return &d;
  return nullptr;
}

std::string Impl::disk_file(const std::string& disk_id) const
{
  return config.data_dir + "/disks/" + disk_id + ".img";
}

std::string Impl::snapshot_dir(const std::string& snapshot_id) const
{
  return config.data_dir + "/snapshots/" + snapshot_id;
}

void Impl::plug(const Sim_Disk_Attachment& a)
{
  if (a.vm_id != config.agent_vm_id)
    return;
  const std::string vm_id = a.vm_id;
  const std::string disk_id = a.disk_id;
  schedule(timing.device_appear, "device:" + disk_id, [this, vm_id, disk_id] {
    Sim_Disk_Attachment* att = find_attachment(vm_id, disk_id);
    const Sim_Disk* d = att != nullptr ? attached_disk(*att) : nullptr;
    if (d == nullptr || !devices_appear)
      return;
    make_link(d->path, config.device_dir + "/virtio-" + disk_id.substr(0, 20));
    // The kernel name: vda, vdb, ..., vdz, vdaa, ... (the lowest free one).
    std::set<std::string> taken;
    for (const auto& l : logical_links)
      taken.insert(l.second);
    for (unsigned n = 0;; ++n) {
      std::string suffix;
      for (unsigned k = n + 1; k > 0; k = (k - 1) / 26)
        suffix.insert(suffix.begin(), static_cast<char>('a' + (k - 1) % 26));
      std::string path = config.logical_name_dir + "/vd" + suffix;
      if (taken.count(path) == 0) {
        make_link(d->path, path);
        logical_links[disk_id] = path;
        break;
      }
    }
  });
}

void Impl::unplug(const std::string& disk_id)
{
  cancel("device:" + disk_id);
  remove_path(config.device_dir + "/virtio-" + disk_id.substr(0, 20));
  auto it = logical_links.find(disk_id);
  if (it != logical_links.end()) {
    remove_path(it->second);
    logical_links.erase(it);
  }
}

std::string Impl::logical_name(const std::string& disk_id) const
{
  if (!logical_names)
    return std::string();
  for (const Sim_Disk_Attachment& a : attachments)
    if (a.disk_id == disk_id && a.vm_id == config.agent_vm_id) {
      auto it = logical_links.find(disk_id);
      return it != logical_links.end() ? it->second : std::string();
    }
  return std::string();
}

std::string Impl::new_mac()
{
  char text[18];
  uint32_t n = ++mac_counter;
  std::snprintf(text, sizeof text, "56:6f:1a:%02x:%02x:%02x", (n >> 16) & 0xff, (n >> 8) & 0xff, n & 0xff);
  return text;
}

void Impl::erase_snapshot(const std::string& vm_id, const std::string& snapshot_id)
{
  remove_tree(snapshot_dir(snapshot_id));
  snapshots.erase(std::remove_if(snapshots.begin(), snapshots.end(),
                                 [&](const Sim_Snapshot& s) { return s.vm_id == vm_id && s.id == snapshot_id; }),
                  snapshots.end());
}

void Impl::erase_disk(const std::string& disk_id)
{
  Sim_Disk* d = find_disk(disk_id);
  if (d == nullptr)
    return;
  cancel("disk:" + disk_id);
  if (!d->sparse)
    if (Sim_Storage_Domain* sd = find_domain(d->storage_domain_id)) {
      if (sd->available >= 0)
        sd->available += d->provisioned_size;
      if (sd->used >= 0)
        sd->used = std::max<int64_t>(0, sd->used - d->provisioned_size);
    }
  remove_path(d->path);
  disks.erase(std::remove_if(disks.begin(), disks.end(), [&](const Sim_Disk& x) { return x.id == disk_id; }),
              disks.end());
}

Sim_Snapshot Impl::take_snapshot(const Sim_VM& vm, const std::vector<std::string>& disk_ids,
                                 const std::string& description, std::string& error)
{
  Sim_Snapshot s;
  s.id = new_id();
  s.vm_id = vm.id;
  s.description = description;
  s.date = now_ms();
  const std::string dir = snapshot_dir(s.id);
  if (!make_dirs(dir)) {
    error = "cannot make '" + dir + "'";
    return s;
  }
  for (const std::string& id : disk_ids) {
    const Sim_Disk* d = find_disk(id);
    if (d == nullptr)
      continue;
    Sim_Disk copy = *d;
    copy.path = dir + "/" + id + ".img";
    copy.snapshot_id = s.id;
    copy.status = "ok";
    if (!sparse_copy(d->path, copy.path, error)) {
      remove_tree(dir);
      return s;
    }
    s.disks.push_back(copy);
  }
  for (const Sim_NIC& n : nics)
    if (n.vm_id == vm.id)
      s.nics.push_back(n);
  return s;
}

}  // namespace test_support
