// The simulated engine's state: lookups, locks, snapshot copies and the devices of disks
// plugged into the agent VM.

#include "tests/support/engine_simulator_impl.h"

#include <algorithm>
#include <cstdio>

namespace test_support {

using namespace engine_sim;
using Impl = Engine_Simulator::Impl;

Sim_Data_Center* Impl::find_dc(const std::string& id)
{
  return dcs.find(id);
}

Sim_Cluster* Impl::find_cluster(const std::string& id)
{
  return clusters.find(id);
}

Sim_Host* Impl::find_host(const std::string& id)
{
  return hosts.find(id);
}

Sim_Network* Impl::find_network(const std::string& id)
{
  return networks.find(id);
}

Sim_VNIC_Profile* Impl::find_profile(const std::string& id)
{
  return profiles.find(id);
}

Sim_Storage_Domain* Impl::find_domain(const std::string& id)
{
  return domains.find(id);
}

Sim_VM* Impl::find_vm(const std::string& id)
{
  return vms.find(id);
}

Sim_Disk* Impl::find_disk(const std::string& id)
{
  return disks.find(id);
}

Sim_NIC* Impl::find_nic(const std::string& vm_id, const std::string& id)
{
  Sim_NIC* n = nics.find(id);
  return n != nullptr && n->vm_id == vm_id ? n : nullptr;
}

Sim_Snapshot* Impl::find_snapshot(const std::string& vm_id, const std::string& id)
{
  Sim_Snapshot* s = snapshots.find(id);
  return s != nullptr && s->vm_id == vm_id ? s : nullptr;
}

Sim_Disk_Attachment* Impl::find_attachment(const std::string& vm_id, const std::string& disk_id)
{
  for (size_t i : attachments.positions(vm_id))
    if (attachments[i].disk_id == disk_id)
      return &attachments[i];
  return nullptr;
}

std::string Impl::vm_name(const std::string& vm_id)
{
  Sim_VM* vm = find_vm(vm_id);
  return vm != nullptr ? vm->name : vm_id;
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
  for (size_t i : attachments.positions(config.agent_vm_id))
    if (attachments[i].disk_id == disk_id) {
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
