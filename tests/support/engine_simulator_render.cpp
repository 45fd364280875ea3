// The engine's JSON for each record, and the parsing of what clients send (bodies, query
// parameters, "follow" and "search").
//
// The engine writes numbers and flags as JSON strings, dates as JSON integers (milliseconds),
// links as {"href", "id"}, lists as {"<singular>": [...]} (an empty list as {}), and leaves
// out what has no value.

#include "tests/support/engine_simulator_impl.h"

#include <cctype>

namespace test_support {
namespace engine_sim {

namespace {

std::string flag(bool b)
{
  return b ? "true" : "false";
}

std::string lower(std::string s)
{
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s)
{
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos)
    return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

void put_text(Object& o, const std::string& key, const std::string& value)
{
  if (!value.empty())
    o[key] = value;
}

void put_number(Object& o, const std::string& key, int64_t value)
{
  if (value >= 0)
    o[key] = std::to_string(value);
}

// {"<element>": [items]}, or {} when there are none.
Object wrap(const std::string& element, Array items)
{
  Object o;
  if (!items.empty())
    o[element] = std::move(items);
  return o;
}

}  // namespace

Reply fault(int status, const std::string& reason, const std::string& detail)
{
  Object o;
  o["reason"] = reason;
  o["detail"] = detail;
  Reply r;
  r.status = status;
  r.body = std::move(o);
  return r;
}

Reply conflict(const std::string& detail)
{
  return fault(409, "Operation Failed", "[" + detail + "]");
}

Reply not_found(const std::string&, const std::string&)
{
  Reply r;
  r.status = 404;
  return r;
}

Reply unknown_in_body(const std::string& what, const std::string& id)
{
  return fault(404, "Operation Failed", "Entity not found: " + what + ": id=" + id);
}

Reply bad_request(const std::string& detail)
{
  return fault(400, "Bad Request", detail);
}

std::map<std::string, std::string> parse_query(const std::string& query)
{
  std::map<std::string, std::string> params;
  size_t pos = 0;
  while (pos <= query.size() && !query.empty()) {
    size_t amp = query.find('&', pos);
    std::string pair = query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    if (!pair.empty()) {
      size_t eq = pair.find('=');
      std::string name = url_decode(pair.substr(0, eq), true);
      std::string value = eq == std::string::npos ? std::string() : url_decode(pair.substr(eq + 1), true);
      params.emplace(name, value);  // the first occurrence counts
    }
    if (amp == std::string::npos)
      break;
    pos = amp + 1;
  }
  return params;
}

bool parse_bool_param(const std::string& text, bool& out)
{
  std::string t = lower(text);
  if (t == "true" || t == "1") {
    out = true;
    return true;
  }
  if (t == "false" || t == "0") {
    out = false;
    return true;
  }
  return false;
}

bool body_text(const Object& o, const std::string& key, std::string& out)
{
  auto it = o.find(key);
  if (it == o.end())
    return true;
  if (it->second.type() != json_spirit::str_type)
    return false;
  out = it->second.get_str();
  return true;
}

bool body_number(const Object& o, const std::string& key, int64_t& out)
{
  auto it = o.find(key);
  if (it == o.end())
    return true;
  if (it->second.type() != json_spirit::str_type)
    return false;
  const std::string& s = it->second.get_str();
  if (s.empty() || s.size() > 18)
    return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9')
      return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

bool body_flag(const Object& o, const std::string& key, bool& out)
{
  auto it = o.find(key);
  if (it == o.end())
    return true;
  if (it->second.type() != json_spirit::str_type)
    return false;
  const std::string& s = it->second.get_str();
  if (s != "true" && s != "false")
    return false;
  out = s == "true";
  return true;
}

bool body_link_id(const Object& o, const std::string& key, std::string& out)
{
  auto it = o.find(key);
  if (it == o.end())
    return true;
  if (it->second.type() != json_spirit::obj_type)
    return false;
  const std::string* id = json_spirit::object_get_str(it->second.get_obj(), "id");
  if (id == nullptr || id->empty())
    return false;
  out = *id;
  return true;
}

bool body_list(const Object& o, const std::string& key, const std::string& element,
               std::vector<Object>& out)
{
  out.clear();
  auto it = o.find(key);
  if (it == o.end())
    return true;
  if (it->second.type() != json_spirit::obj_type)
    return false;
  const Object& wrapper = it->second.get_obj();
  auto list = wrapper.find(element);
  if (list == wrapper.end())
    return true;
  if (list->second.type() != json_spirit::array_type)
    return false;
  for (const Value& v : list->second.get_array()) {
    if (v.type() != json_spirit::obj_type)
      return false;
    out.push_back(v.get_obj());
  }
  return true;
}

bool parse_follow(const std::string& text, const std::set<std::string>& allowed,
                  std::set<std::string>& out, std::string& bad)
{
  out.clear();
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string item = trim(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (!item.empty()) {
      if (allowed.count(item) == 0) {
        bad = item;
        return false;
      }
      out.insert(item);
      // "a.b" follows "a" too.
      for (size_t dot = item.find('.'); dot != std::string::npos; dot = item.find('.', dot + 1))
        out.insert(item.substr(0, dot));
    }
    if (comma == std::string::npos)
      break;
    pos = comma + 1;
  }
  return true;
}

bool parse_search(const std::string& text, std::vector<Search_Term>& out, std::string& error)
{
  out.clear();
  std::string rest = text;
  for (;;) {
    std::string lowered = lower(rest);
    size_t and_pos = lowered.find(" and ");
    std::string term = trim(rest.substr(0, and_pos));
    size_t eq = term.find('=');
    if (eq == std::string::npos || eq == 0) {
      error = "Cannot search: '" + term + "' is not of the form field=value";
      return false;
    }
    Search_Term t;
    t.field = lower(trim(term.substr(0, eq)));
    t.pattern = trim(term.substr(eq + 1));
    if (t.pattern.size() >= 2 && t.pattern.front() == '"' && t.pattern.back() == '"')
      t.pattern = t.pattern.substr(1, t.pattern.size() - 2);
    if (t.pattern.empty()) {
      error = "Cannot search: no value for '" + t.field + "'";
      return false;
    }
    out.push_back(t);
    if (and_pos == std::string::npos)
      break;
    rest = rest.substr(and_pos + 5);
  }
  return true;
}

bool wildcard_match(const std::string& pattern, const std::string& text, bool case_sensitive)
{
  auto eq = [case_sensitive](char a, char b) {
    if (case_sensitive)
      return a == b;
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  size_t p = 0, t = 0, star = std::string::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && eq(pattern[p], text[t])) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*')
    ++p;
  return p == pattern.size();
}

Reply ok(Object o, int status)
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

}  // namespace engine_sim

using namespace engine_sim;

std::string Engine_Simulator::Impl::href(const std::string& relative) const
{
  return "/" + config.url_prefix + "/api" + relative;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::link(const std::string& relative,
                                                            const std::string& id) const
{
  Object o;
  o["href"] = href(relative);
  o["id"] = id;
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_data_center(const Sim_Data_Center& dc) const
{
  Object o;
  o["id"] = dc.id;
  o["href"] = href("/datacenters/" + dc.id);
  put_text(o, "name", dc.name);
  put_text(o, "description", dc.description);
  o["local"] = flag(dc.local);
  put_text(o, "status", dc.status);
  o["storage_format"] = "v5";
  o["quota_mode"] = "disabled";
  Object v;
  v["major"] = "4";
  v["minor"] = "7";
  o["version"] = v;
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_cluster(const Sim_Cluster& c) const
{
  Object o;
  o["id"] = c.id;
  o["href"] = href("/clusters/" + c.id);
  put_text(o, "name", c.name);
  put_text(o, "description", c.description);
  Object cpu;
  put_text(cpu, "architecture", c.cpu_architecture);
  put_text(cpu, "type", c.cpu_type);
  if (!cpu.empty())
    o["cpu"] = cpu;
  if (!c.data_center_id.empty())
    o["data_center"] = link("/datacenters/" + c.data_center_id, c.data_center_id);
  Object v;
  v["major"] = "4";
  v["minor"] = "7";
  o["version"] = v;
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_host(const Sim_Host& h) const
{
  Object o;
  o["id"] = h.id;
  o["href"] = href("/hosts/" + h.id);
  put_text(o, "name", h.name);
  put_text(o, "address", h.address);
  put_text(o, "status", h.status);
  o["type"] = "rhel";
  if (!h.cluster_id.empty())
    o["cluster"] = link("/clusters/" + h.cluster_id, h.cluster_id);
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_network(const Sim_Network& n) const
{
  Object o;
  o["id"] = n.id;
  o["href"] = href("/networks/" + n.id);
  put_text(o, "name", n.name);
  put_text(o, "description", n.description);
  if (!n.data_center_id.empty())
    o["data_center"] = link("/datacenters/" + n.data_center_id, n.data_center_id);
  o["mtu"] = "0";
  o["required"] = "true";
  Object usages;
  usages["usage"] = Array{Value("vm")};
  o["usages"] = usages;
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_profile(const Sim_VNIC_Profile& p) const
{
  Object o;
  o["id"] = p.id;
  o["href"] = href("/vnicprofiles/" + p.id);
  put_text(o, "name", p.name);
  put_text(o, "description", p.description);
  if (!p.network_id.empty())
    o["network"] = link("/networks/" + p.network_id, p.network_id);
  if (!p.network_filter_id.empty())
    o["network_filter"] = link("/networkfilters/" + p.network_filter_id, p.network_filter_id);
  Object pass;
  put_text(pass, "mode", p.pass_through_mode);
  if (!pass.empty())
    o["pass_through"] = pass;
  o["port_mirroring"] = flag(p.port_mirroring);
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_domain(const Sim_Storage_Domain& d) const
{
  Object o;
  o["id"] = d.id;
  o["href"] = href("/storagedomains/" + d.id);
  put_text(o, "name", d.name);
  put_text(o, "description", d.description);
  put_text(o, "type", d.type);
  put_text(o, "storage_format", d.storage_format);
  put_text(o, "status", d.status);
  o["external_status"] = "ok";
  put_number(o, "available", d.available);
  put_number(o, "used", d.used);
  put_number(o, "committed", d.committed);
  o["warning_low_space_indicator"] = "10";
  o["critical_space_action_blocker"] = "5";
  o["wipe_after_delete"] = "false";
  Object storage;
  put_text(storage, "type", d.storage_type);
  if (!storage.empty())
    o["storage"] = storage;
  Array dcs_links;
  for (const std::string& id : d.data_center_ids)
    dcs_links.push_back(link("/datacenters/" + id, id));
  if (!dcs_links.empty())
    o["data_centers"] = wrap("data_center", std::move(dcs_links));
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_vm(const Sim_VM& vm,
                                                                 const std::set<std::string>& follow)
{
  Object o;
  o["id"] = vm.id;
  o["href"] = href("/vms/" + vm.id);
  put_text(o, "name", vm.name);
  put_text(o, "description", vm.description);
  put_text(o, "status", vm.status);
  put_number(o, "memory", vm.memory);
  o["type"] = "server";
  o["stateless"] = "false";
  o["creation_time"] = vm.creation_time;
  put_text(o, "custom_emulated_machine", vm.custom_emulated_machine);

  Object topology;
  if (vm.cpu_cores > 0)
    topology["cores"] = std::to_string(vm.cpu_cores);
  if (vm.cpu_sockets > 0)
    topology["sockets"] = std::to_string(vm.cpu_sockets);
  if (vm.cpu_threads > 0)
    topology["threads"] = std::to_string(vm.cpu_threads);
  Object cpu;
  put_text(cpu, "architecture", vm.cpu_architecture);
  if (!topology.empty())
    cpu["topology"] = topology;
  if (!cpu.empty())
    o["cpu"] = cpu;

  Object os;
  put_text(os, "type", vm.os_type);
  if (!os.empty())
    o["os"] = os;

  Object bios;
  Object boot_menu;
  boot_menu["enabled"] = flag(vm.boot_menu);
  bios["boot_menu"] = boot_menu;
  put_text(bios, "type", vm.bios_type);
  o["bios"] = bios;

  Object policy;
  put_number(policy, "guaranteed", vm.memory_guaranteed);
  put_number(policy, "max", vm.memory_max);
  if (!policy.empty())
    o["memory_policy"] = policy;

  if (!vm.cluster_id.empty())
    o["cluster"] = link("/clusters/" + vm.cluster_id, vm.cluster_id);
  if (!vm.host_id.empty())
    o["host"] = link("/hosts/" + vm.host_id, vm.host_id);
  std::string template_id = vm.template_id.empty() ? BLANK_TEMPLATE_ID : vm.template_id;
  o["template"] = link("/templates/" + template_id, template_id);

  if (follow.count("disk_attachments")) {
    Array items;
    for (size_t i : attachments.positions(vm.id))
      items.push_back(render_attachment(attachments[i], follow.count("disk_attachments.disk") != 0));
    o["disk_attachments"] = wrap("disk_attachment", std::move(items));
  }
  if (follow.count("nics")) {
    Array items;
    for (const Sim_NIC& n : nics)
      if (n.vm_id == vm.id)
        items.push_back(render_nic(n, follow.count("nics.vnic_profile") != 0));
    o["nics"] = wrap("nic", std::move(items));
  }
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_disk(const Sim_Disk& d) const
{
  Object o;
  o["id"] = d.id;
  std::string snapshot_vm;
  if (!d.snapshot_id.empty())
    for (const Sim_Snapshot& s : snapshots)
      if (s.id == d.snapshot_id)
        snapshot_vm = s.vm_id;
  if (d.snapshot_id.empty())
    o["href"] = href("/disks/" + d.id);
  else
    o["href"] = href("/vms/" + snapshot_vm + "/snapshots/" + d.snapshot_id + "/disks/" + d.id);
  put_text(o, "name", d.name);
  put_text(o, "alias", d.name);
  put_text(o, "description", d.description);
  put_number(o, "provisioned_size", d.provisioned_size);
  int64_t actual = d.sparse ? allocated_bytes(d.path) : d.provisioned_size;
  put_number(o, "actual_size", actual);
  put_number(o, "total_size", actual);
  put_text(o, "format", d.format);
  if (d.format == "cow")
    o["qcow_version"] = "qcow2_v3";
  o["sparse"] = flag(d.sparse);
  o["shareable"] = flag(d.shareable);
  put_text(o, "storage_type", d.storage_type);
  put_text(o, "content_type", d.content_type);
  put_text(o, "backup", d.backup);
  put_text(o, "status", d.snapshot_id.empty() ? disk_status(d) : d.status);
  o["wipe_after_delete"] = "false";
  o["propagate_errors"] = "false";
  if (!d.storage_domain_id.empty())
    o["storage_domains"] = wrap("storage_domain",
                                Array{Value(link("/storagedomains/" + d.storage_domain_id, d.storage_domain_id))});
  if (!d.snapshot_id.empty())
    o["snapshot"] = link("/vms/" + snapshot_vm + "/snapshots/" + d.snapshot_id, d.snapshot_id);
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_attachment(const Sim_Disk_Attachment& a,
                                                                         bool follow_disk)
{
  Object o;
  o["id"] = a.disk_id;
  o["href"] = href("/vms/" + a.vm_id + "/diskattachments/" + a.disk_id);
  o["active"] = flag(a.active);
  o["bootable"] = flag(a.bootable);
  o["read_only"] = flag(a.read_only);
  o["pass_discard"] = flag(a.pass_discard);
  o["uses_scsi_reservation"] = "false";
  put_text(o, "interface", a.interface);
  put_text(o, "logical_name", logical_name(a.disk_id));
  const Sim_Disk* disk = follow_disk ? attached_disk(a) : nullptr;
  if (disk != nullptr)
    o["disk"] = render_disk(*disk);
  else
    o["disk"] = link("/disks/" + a.disk_id, a.disk_id);
  o["vm"] = link("/vms/" + a.vm_id, a.vm_id);
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_nic(const Sim_NIC& n, bool follow_profile)
{
  Object o;
  o["id"] = n.id;
  o["href"] = href("/vms/" + n.vm_id + "/nics/" + n.id);
  put_text(o, "name", n.name);
  put_text(o, "interface", n.interface);
  o["linked"] = flag(n.linked);
  o["plugged"] = flag(n.plugged);
  if (!n.mac.empty()) {
    Object mac;
    mac["address"] = n.mac;
    o["mac"] = mac;
  }
  if (!n.vnic_profile_id.empty()) {
    const Sim_VNIC_Profile* p = follow_profile ? find_profile(n.vnic_profile_id) : nullptr;
    o["vnic_profile"] = p != nullptr ? render_profile(*p) : link("/vnicprofiles/" + n.vnic_profile_id, n.vnic_profile_id);
  }
  o["vm"] = link("/vms/" + n.vm_id, n.vm_id);
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_snapshot(const Sim_Snapshot& s) const
{
  Object o;
  o["id"] = s.id;
  o["href"] = href("/vms/" + s.vm_id + "/snapshots/" + s.id);
  put_text(o, "description", s.description);
  if (s.date != 0)
    o["date"] = s.date;
  o["persist_memorystate"] = flag(s.persist_memorystate);
  put_text(o, "snapshot_status", s.status);
  put_text(o, "snapshot_type", s.type);
  o["vm"] = link("/vms/" + s.vm_id, s.vm_id);
  return o;
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_active_snapshot(const Sim_VM& vm) const
{
  Sim_Snapshot s;
  s.id = vm.active_snapshot_id;
  s.vm_id = vm.id;
  s.description = "Active VM";
  s.status = "ok";
  s.type = "active";
  s.date = vm.creation_time;
  return render_snapshot(s);
}

Engine_Simulator::Impl::Object Engine_Simulator::Impl::render_api_root() const
{
  Object o;
  if (product_info) {
    Object v;
    v["full_version"] = version.full_version;
    v["major"] = std::to_string(version.major);
    v["minor"] = std::to_string(version.minor);
    v["build"] = std::to_string(version.build);
    v["revision"] = std::to_string(version.revision);
    Object info;
    info["name"] = "oVirt Engine";
    info["vendor"] = "ovirt.org";
    info["version"] = v;
    o["product_info"] = info;
  }
  Object special;
  special["blank_template"] = link(std::string("/templates/") + BLANK_TEMPLATE_ID, BLANK_TEMPLATE_ID);
  o["special_objects"] = special;

  auto counts = [](size_t active, size_t total) {
    Object c;
    c["active"] = std::to_string(active);
    c["total"] = std::to_string(total);
    return c;
  };
  size_t vms_up = 0;
  for (const Sim_VM& vm : vms)
    vms_up += vm.status == "up" ? 1 : 0;
  size_t hosts_up = 0;
  for (const Sim_Host& h : hosts)
    hosts_up += h.status == "up" ? 1 : 0;
  size_t domains_active = 0;
  for (const Sim_Storage_Domain& d : domains)
    domains_active += d.status == "active" ? 1 : 0;
  Object summary;
  summary["vms"] = counts(vms_up, vms.size());
  summary["hosts"] = counts(hosts_up, hosts.size());
  summary["storage_domains"] = counts(domains_active, domains.size());
  o["summary"] = summary;
  o["time"] = now_ms();
  return o;
}

}  // namespace test_support
