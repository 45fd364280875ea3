#include "tests/support/engine_documents.h"

#include <cstdio>
#include <utility>

namespace engine_documents {

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

const char* const API = "/ovirt-engine/api";

std::string href(std::string const& path)
{
  return std::string(API) + "/" + path;
}

std::string text(long n)
{
  return std::to_string(n);
}

char const* flag(bool b)
{
  return b ? "true" : "false";
}

// Sets `key` unless `value` is empty: the engine leaves empty fields out.
void put_text(Object& o, std::string const& key, std::string const& value)
{
  if (!value.empty())
    o[key] = Value(value);
}

// The "link" array of relation links that the engine adds to every entity.
Array relation_links(std::string const& base, std::initializer_list<char const*> rels)
{
  Array links;
  for (char const* rel : rels)
    links.push_back(Value(Object{{"href", Value(base + "/" + rel)}, {"rel", Value(rel)}}));
  return links;
}

// The "actions" object of an entity: {"link": [{"href", "rel"}...]}.
Object actions(std::string const& base, std::initializer_list<char const*> rels)
{
  return Object{{"link", Value(relation_links(base, rels))}};
}

}  // namespace

std::string uuid(unsigned kind, unsigned long n)
{
  char buf[40];
  unsigned long h = n * 0x9e3779b97f4a7c15UL + kind;
  std::snprintf(buf, sizeof buf, "%08x-%04x-4%03x-8%03x-%012lx", kind, static_cast<unsigned>(n >> 32) & 0xffff,
                static_cast<unsigned>(h >> 40) & 0xfff, static_cast<unsigned>(h >> 20) & 0xfff,
                n & 0xffffffffffffUL);
  return buf;
}

Object link(std::string const& collection, std::string const& id)
{
  return Object{{"href", Value(href(collection + "/" + id))}, {"id", Value(id)}};
}

Object list(std::string const& key, Array elements)
{
  Object o;
  if (!elements.empty())
    o[key] = Value(std::move(elements));
  return o;
}

VM_Spec sample_vm(unsigned long n, unsigned n_disks, unsigned n_nics)
{
  VM_Spec vm;
  vm.id = uuid(1, n);
  vm.name = "vm-" + std::to_string(n);
  if (n % 3 == 0)
    vm.description = "application server " + std::to_string(n);
  vm.status = n % 5 == 4 ? "down" : "up";
  vm.cluster_id = uuid(10, n % 4);
  if (vm.status == "up")
    vm.host_id = uuid(11, n % 8);
  vm.memory = 1073741824L << (n % 4);
  vm.cores = 1 + static_cast<int>(n % 4);
  vm.sockets = 1 + static_cast<int>(n % 2);
  for (unsigned d = 0; d < n_disks; ++d) {
    Disk_Spec disk;
    disk.id = uuid(2, n * 64 + d);
    disk.name = vm.name + "_Disk" + std::to_string(d + 1);
    disk.provisioned_size = (10L + d * 10) << 30;
    disk.actual_size = (1L + d + n % 7) << 28;
    disk.sparse = d % 2 == 0;
    disk.format = disk.sparse ? "cow" : "raw";
    disk.storage_domain_id = uuid(12, (n + d) % 3);
    disk.bootable = d == 0;
    if (n % 2 == 0)
      disk.logical_name = "/dev/sd" + std::string(1, static_cast<char>('a' + d % 26));
    vm.disks.push_back(std::move(disk));
  }
  for (unsigned i = 0; i < n_nics; ++i) {
    NIC_Spec nic;
    nic.id = uuid(3, n * 16 + i);
    nic.name = "nic" + std::to_string(i + 1);
    char mac[18];
    std::snprintf(mac, sizeof mac, "56:6f:%02lx:%02lx:%02lx:%02x", (n >> 16) & 0xff, (n >> 8) & 0xff, n & 0xff, i & 0xffu);
    nic.mac = mac;
    nic.profile_id = uuid(13, i % 2);
    nic.profile_name = i % 2 == 0 ? "ovirtmgmt" : "backend";
    nic.network_id = uuid(14, i % 2);
    nic.data_center_id = uuid(15, 0);
    nic.linked = n % 6 != 5;
    vm.nics.push_back(std::move(nic));
  }
  return vm;
}

Object disk(Disk_Spec const& shape)
{
  std::string base = href("disks/" + shape.id);
  Object o{
      {"actions", Value(actions(base, {"copy", "export", "move", "reduce", "refreshlun", "sparsify"}))},
      {"actual_size", Value(text(shape.actual_size))},
      {"alias", Value(shape.name)},
      {"backup", Value("none")},
      {"content_type", Value("data")},
      {"disk_profile", Value(link("diskprofiles", uuid(16, 0)))},
      {"format", Value(shape.format)},
      {"href", Value(base)},
      {"id", Value(shape.id)},
      {"image_id", Value(uuid(17, shape.id.size() + shape.name.size()))},
      {"link", Value(relation_links(base, {"permissions", "disksnapshots", "statistics"}))},
      {"name", Value(shape.name)},
      {"propagate_errors", Value("false")},
      {"provisioned_size", Value(text(shape.provisioned_size))},
      {"qcow_version", Value("qcow2_v3")},
      {"shareable", Value(flag(shape.shareable))},
      {"sparse", Value(flag(shape.sparse))},
      {"status", Value(shape.status)},
      {"storage_type", Value("image")},
      {"total_size", Value(text(shape.actual_size))},
      {"wipe_after_delete", Value("false")},
  };
  if (!shape.storage_domain_id.empty()) {
    o["storage_domains"] =
        Value(list("storage_domain", Array{Value(link("storagedomains", shape.storage_domain_id))}));
    o["quota"] = Value(link("datacenters/" + uuid(15, 0) + "/quotas", uuid(18, 0)));
  }
  return o;
}

Object disk_attachment(Disk_Spec const& shape, std::string const& vm_id, bool embed_disk)
{
  std::string base = href("vms/" + vm_id + "/diskattachments/" + shape.id);
  Object o{
      {"active", Value("true")},
      {"bootable", Value(flag(shape.bootable))},
      {"disk", Value(embed_disk ? disk(shape) : link("disks", shape.id))},
      {"href", Value(base)},
      {"id", Value(shape.id)},
      {"interface", Value(shape.attachment_interface)},
      {"pass_discard", Value("false")},
      {"read_only", Value("false")},
      {"uses_scsi_reservation", Value("false")},
      {"vm", Value(link("vms", vm_id))},
  };
  put_text(o, "logical_name", shape.logical_name);
  return o;
}

Object vnic_profile(NIC_Spec const& shape)
{
  std::string base = href("vnicprofiles/" + shape.profile_id);
  Object o{
      {"href", Value(base)},
      {"id", Value(shape.profile_id)},
      {"link", Value(relation_links(base, {"permissions"}))},
      {"network", Value(link("networks", shape.network_id))},
      {"network_filter", Value(link("networkfilters", uuid(19, 0)))},
      {"pass_through", Value(Object{{"mode", Value("disabled")}})},
      {"port_mirroring", Value("false")},
  };
  put_text(o, "name", shape.profile_name);
  return o;
}

Object nic(NIC_Spec const& shape, std::string const& vm_id)
{
  std::string base = href("vms/" + vm_id + "/nics/" + shape.id);
  return Object{
      {"actions", Value(actions(base, {"activate", "deactivate"}))},
      {"href", Value(base)},
      {"id", Value(shape.id)},
      {"interface", Value(shape.interface)},
      {"link", Value(relation_links(base, {"networkfilterparameters", "reporteddevices", "statistics"}))},
      {"linked", Value(flag(shape.linked))},
      {"mac", Value(Object{{"address", Value(shape.mac)}})},
      {"name", Value(shape.name)},
      {"plugged", Value(flag(shape.plugged))},
      {"synced", Value("true")},
      {"vm", Value(link("vms", vm_id))},
      {"vnic_profile", Value(vnic_profile(shape))},
  };
}

Object vm(VM_Spec const& shape, unsigned follow)
{
  std::string base = href("vms/" + shape.id);
  Object o{
      {"actions", Value(actions(base, {"cancelmigration", "clone", "commitsnapshot", "detach", "export",
                                       "freezefilesystems", "logon", "maintenance", "migrate", "previewsnapshot",
                                       "reboot", "reordermacaddresses", "shutdown", "start", "stop", "suspend",
                                       "thawfilesystems", "ticket", "undosnapshot"}))},
      {"bios", Value(Object{{"boot_menu", Value(Object{{"enabled", Value("false")}})}, {"type", Value("i440fx_sea_bios")}})},
      {"cluster", Value(link("clusters", shape.cluster_id))},
      {"cpu", Value(Object{{"architecture", Value("x86_64")},
                           {"topology", Value(Object{{"cores", Value(text(shape.cores))},
                                                     {"sockets", Value(text(shape.sockets))},
                                                     {"threads", Value(text(shape.threads))}})}})},
      {"cpu_profile", Value(link("cpuprofiles", uuid(20, 0)))},
      {"cpu_shares", Value("0")},
      {"creation_time", Value(1580000000000L)},
      {"delete_protected", Value("false")},
      {"display", Value(Object{{"allow_override", Value("false")},
                               {"copy_paste_enabled", Value("true")},
                               {"monitors", Value("1")},
                               {"type", Value("vnc")}})},
      {"high_availability", Value(Object{{"enabled", Value("false")}, {"priority", Value("0")}})},
      {"href", Value(base)},
      {"id", Value(shape.id)},
      {"io", Value(Object{{"threads", Value("1")}})},
      {"link", Value(relation_links(base, {"affinitylabels", "applications", "cdroms", "diskattachments",
                                           "graphicsconsoles", "hostdevices", "katelloerrata", "nics",
                                           "numanodes", "permissions", "reporteddevices", "sessions",
                                           "snapshots", "statistics", "tags", "watchdogs"}))},
      {"memory", Value(text(shape.memory))},
      {"memory_policy", Value(Object{{"ballooning", Value("true")},
                                     {"guaranteed", Value(text(shape.memory))},
                                     {"max", Value(text(shape.memory * 4))}})},
      {"migration", Value(Object{{"auto_converge", Value("inherit")}, {"compressed", Value("inherit")}})},
      {"name", Value(shape.name)},
      {"origin", Value("ovirt")},
      {"original_template", Value(link("templates", shape.template_id))},
      {"os", Value(Object{{"boot", Value(Object{{"devices", Value(Object{{"device", Value(Array{Value("hd")})}})}})},
                          {"type", Value("rhel_8x64")}})},
      {"placement_policy", Value(Object{{"affinity", Value("migratable")}})},
      {"sso", Value(Object{{"methods", Value(Object{{"method", Value(Array{Value(Object{{"id", Value("guest_agent")}})})}})}})},
      {"start_paused", Value("false")},
      {"stateless", Value("false")},
      {"status", Value(shape.status)},
      {"template", Value(link("templates", shape.template_id))},
      {"type", Value("server")},
      {"usb", Value(Object{{"enabled", Value("false")}})},
  };
  put_text(o, "description", shape.description);
  if (!shape.host_id.empty()) {
    o["host"] = Value(link("hosts", shape.host_id));
    o["start_time"] = Value(1580000100000L);
  } else {
    o["stop_time"] = Value(1580000200000L);
  }
  if (follow & FOLLOW_DISK_ATTACHMENTS) {
    Array attachments;
    for (Disk_Spec const& d : shape.disks)
      attachments.push_back(Value(disk_attachment(d, shape.id, (follow & FOLLOW_DISKS) != 0)));
    o["disk_attachments"] = Value(list("disk_attachment", std::move(attachments)));
  }
  if (follow & FOLLOW_NICS) {
    Array nics;
    for (NIC_Spec const& n : shape.nics)
      nics.push_back(Value(nic(n, shape.id)));
    o["nics"] = Value(list("nic", std::move(nics)));
  }
  return o;
}

Object vm_list(unsigned long first, unsigned long n_vms, unsigned n_disks, unsigned n_nics, unsigned follow)
{
  Array vms;
  vms.reserve(n_vms);
  for (unsigned long n = first; n < first + n_vms; ++n)
    vms.push_back(Value(vm(sample_vm(n, n_disks, n_nics), follow)));
  return list("vm", std::move(vms));
}

Object snapshot(VM_Spec const& shape, std::string const& snapshot_id, std::string const& description, long date_ms)
{
  std::string base = href("vms/" + shape.id + "/snapshots/" + snapshot_id);
  Array attachments;
  for (Disk_Spec const& d : shape.disks) {
    Disk_Spec snap = d;
    snap.logical_name.clear();
    Object a = disk_attachment(snap, shape.id, true);
    a.erase("href");
    Object& disk_obj = a["disk"].get_obj();
    disk_obj["snapshot"] = Value(link("vms/" + shape.id + "/snapshots", snapshot_id));
    attachments.push_back(Value(std::move(a)));
  }
  Object o{
      {"actions", Value(actions(base, {"restore"}))},
      {"date", Value(date_ms)},
      {"description", Value(description)},
      {"href", Value(base)},
      {"id", Value(snapshot_id)},
      {"link", Value(relation_links(base, {"cdroms", "disks", "nics"}))},
      {"persist_memorystate", Value("false")},
      {"snapshot_status", Value("ok")},
      {"snapshot_type", Value("regular")},
      {"vm", Value(vm(shape, FOLLOW_NONE))},
  };
  o["disk_attachment"] = Value(list("disk_attachment", std::move(attachments)));
  return o;
}

Object data_center(std::string const& id, std::string const& name)
{
  std::string base = href("datacenters/" + id);
  return Object{
      {"href", Value(base)},
      {"id", Value(id)},
      {"link", Value(relation_links(base, {"clusters", "networks", "permissions", "quotas", "storagedomains"}))},
      {"local", Value("false")},
      {"name", Value(name)},
      {"quota_mode", Value("disabled")},
      {"status", Value("up")},
      {"storage_format", Value("v5")},
      {"supported_versions", Value(Object{{"version", Value(Array{Value(Object{{"major", Value("4")}, {"minor", Value("4")}})})}})},
      {"version", Value(Object{{"major", Value("4")}, {"minor", Value("4")}})},
  };
}

Object cluster(std::string const& id, std::string const& name, std::string const& data_center_id)
{
  std::string base = href("clusters/" + id);
  return Object{
      {"ballooning_enabled", Value("true")},
      {"cpu", Value(Object{{"architecture", Value("x86_64")}, {"type", Value("Intel Skylake Client Family")}})},
      {"data_center", Value(link("datacenters", data_center_id))},
      {"href", Value(base)},
      {"id", Value(id)},
      {"link", Value(relation_links(base, {"affinitygroups", "cpuprofiles", "networks", "permissions"}))},
      {"memory_policy", Value(Object{{"over_commit", Value(Object{{"percent", Value("100")}})}})},
      {"name", Value(name)},
      {"version", Value(Object{{"major", Value("4")}, {"minor", Value("4")}})},
  };
}

Object host(std::string const& id, std::string const& name, std::string const& address, std::string const& cluster_id)
{
  std::string base = href("hosts/" + id);
  return Object{
      {"actions", Value(actions(base, {"activate", "deactivate", "fence", "refresh"}))},
      {"address", Value(address)},
      {"cluster", Value(link("clusters", cluster_id))},
      {"cpu", Value(Object{{"name", Value("Intel(R) Xeon(R)")}, {"speed", Value("2400")}})},
      {"href", Value(base)},
      {"id", Value(id)},
      {"memory", Value("68719476736")},
      {"name", Value(name)},
      {"port", Value("54321")},
      {"status", Value("up")},
      {"type", Value("rhel")},
  };
}

Object network(std::string const& id, std::string const& name, std::string const& data_center_id)
{
  std::string base = href("networks/" + id);
  return Object{
      {"data_center", Value(link("datacenters", data_center_id))},
      {"description", Value("Management Network")},
      {"href", Value(base)},
      {"id", Value(id)},
      {"link", Value(relation_links(base, {"permissions", "vnicprofiles", "networklabels"}))},
      {"mtu", Value("0")},
      {"name", Value(name)},
      {"stp", Value("false")},
      {"usages", Value(Object{{"usage", Value(Array{Value("vm"), Value("management")})}})},
  };
}

Object storage_domain(std::string const& id, std::string const& name, long available, long used,
                      std::vector<std::string> const& data_center_ids)
{
  std::string base = href("storagedomains/" + id);
  Array dcs;
  for (std::string const& dc : data_center_ids)
    dcs.push_back(Value(link("datacenters", dc)));
  return Object{
      {"available", Value(text(available))},
      {"backup", Value("false")},
      {"committed", Value(text(used / 2))},
      {"critical_space_action_blocker", Value("5")},
      {"data_centers", Value(list("data_center", std::move(dcs)))},
      {"external_status", Value("ok")},
      {"href", Value(base)},
      {"id", Value(id)},
      {"link", Value(relation_links(base, {"diskprofiles", "disks", "permissions", "templates", "vms"}))},
      {"master", Value("true")},
      {"name", Value(name)},
      {"storage", Value(Object{{"address", Value("127.0.0.1")},
                               {"path", Value("/exports/" + name)},
                               {"type", Value("nfs")}})},
      {"storage_format", Value("v5")},
      {"type", Value("data")},
      {"used", Value(text(used))},
      {"warning_low_space_indicator", Value("10")},
  };
}

Object api_root(int major, int minor, int build, int revision)
{
  Object version{{"build", Value(text(build))},
                 {"full_version", Value(text(major) + "." + text(minor) + "." + text(revision) + "-1.el8")},
                 {"major", Value(text(major))},
                 {"minor", Value(text(minor))},
                 {"revision", Value(text(revision))}};
  return Object{
      {"link", Value(relation_links(API, {"clusters", "datacenters", "disks", "hosts", "networks",
                                          "storagedomains", "vms", "vnicprofiles"}))},
      {"product_info", Value(Object{{"name", Value("oVirt Engine")},
                                    {"vendor", Value("ovirt.org")},
                                    {"version", Value(std::move(version))}})},
      {"time", Value(1580000000000L)},
  };
}

}  // namespace engine_documents
