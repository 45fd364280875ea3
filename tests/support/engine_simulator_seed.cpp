// The engine simulator's seeding, run-time changes and inspection, as tests call them.

#include "tests/support/engine_simulator_impl.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>

namespace test_support {

using namespace engine_sim;

// ---- seeding ----

std::string Engine_Simulator::add_data_center(Sim_Data_Center dc)
{
  if (dc.id.empty())
    dc.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->dcs.push_back(dc);
  return dc.id;
}

std::string Engine_Simulator::add_cluster(Sim_Cluster cluster)
{
  if (cluster.id.empty())
    cluster.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->clusters.push_back(cluster);
  return cluster.id;
}

std::string Engine_Simulator::add_host(Sim_Host host)
{
  if (host.id.empty())
    host.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->hosts.push_back(host);
  return host.id;
}

std::string Engine_Simulator::add_network(Sim_Network network)
{
  if (network.id.empty())
    network.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->networks.push_back(network);
  return network.id;
}

std::string Engine_Simulator::add_vnic_profile(Sim_VNIC_Profile profile)
{
  if (profile.id.empty())
    profile.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->profiles.push_back(profile);
  return profile.id;
}

std::string Engine_Simulator::add_storage_domain(Sim_Storage_Domain domain)
{
  if (domain.id.empty())
    domain.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->domains.push_back(domain);
  return domain.id;
}

std::string Engine_Simulator::add_vm(Sim_VM vm)
{
  if (vm.id.empty())
    vm.id = new_id();
  if (vm.active_snapshot_id.empty())
    vm.active_snapshot_id = new_id();
  if (vm.creation_time == 0)
    vm.creation_time = now_ms();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->vms.push_back(vm);
  return vm.id;
}

std::string Engine_Simulator::add_disk(Sim_Disk disk)
{
  if (disk.id.empty())
    disk.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  disk.path = impl_->disk_file(disk.id);
  disk.snapshot_id.clear();
  std::string error;
  if (!create_sparse_file(disk.path, disk.provisioned_size, error)) {
    std::fprintf(stderr, "engine simulator: %s\n", error.c_str());
    return std::string();
  }
  impl_->disks.push_back(disk);
  return disk.id;
}

bool Engine_Simulator::attach_disk(Sim_Disk_Attachment attachment, bool left_over)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->find_vm(attachment.vm_id) == nullptr || impl_->find_disk(attachment.disk_id) == nullptr ||
      impl_->find_attachment(attachment.vm_id, attachment.disk_id) != nullptr)
    return false;
  if (!attachment.snapshot_id.empty() &&
      impl_->attached_disk(attachment) == nullptr)
    return false;
  attachment.agent_own = attachment.vm_id == impl_->config.agent_vm_id && !left_over;
  impl_->attachments.push_back(attachment);
  // Seeded devices are there from the start.
  Engine_Timing saved = impl_->timing;
  impl_->timing.device_appear = std::chrono::milliseconds(0);
  impl_->plug(attachment);
  impl_->timing = saved;
  return true;
}

std::string Engine_Simulator::add_nic(Sim_NIC nic)
{
  if (nic.id.empty())
    nic.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (nic.mac.empty())
    nic.mac = impl_->new_mac();
  impl_->nics.push_back(nic);
  return nic.id;
}

std::string Engine_Simulator::add_snapshot(const std::string& vm_id, const std::string& description)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Sim_VM* vm = impl_->find_vm(vm_id);
  if (vm == nullptr)
    return std::string();
  std::vector<std::string> ids;
  for (const Sim_Disk_Attachment& a : impl_->attachments) {
    const Sim_Disk* d = impl_->find_disk(a.disk_id);
    if (a.vm_id == vm_id && a.snapshot_id.empty() && d != nullptr && !d->shareable)
      ids.push_back(a.disk_id);
  }
  std::string error;
  Sim_Snapshot s = impl_->take_snapshot(*vm, ids, description, error);
  if (!error.empty()) {
    std::fprintf(stderr, "engine simulator: %s\n", error.c_str());
    return std::string();
  }
  s.status = "ok";
  impl_->snapshots.push_back(s);
  return s.id;
}

bool Engine_Simulator::write_disk(const std::string& disk_id, uint64_t offset, const std::string& bytes)
{
  std::string path;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Sim_Disk* d = impl_->find_disk(disk_id);
    if (d == nullptr)
      return false;
    path = d->path;
  }
  return write_at(path, offset, bytes);
}

std::string Engine_Simulator::read_disk(const std::string& disk_id) const
{
  std::string path;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Sim_Disk* d = impl_->find_disk(disk_id);
    if (d == nullptr)
      return std::string();
    path = d->path;
  }
  return read_file(path);
}

std::string Engine_Simulator::disk_digest(const std::string& disk_id) const
{
  std::string path;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Sim_Disk* d = impl_->find_disk(disk_id);
    if (d == nullptr)
      return std::string();
    path = d->path;
  }
  return sha256_of_file(path);
}

std::string file_digest(const std::string& path)
{
  return sha256_of_file(path);
}

// ---- changes ----

bool Engine_Simulator::set_storage_space(const std::string& domain_id, int64_t available, int64_t used)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Sim_Storage_Domain* d = impl_->find_domain(domain_id);
  if (d == nullptr)
    return false;
  d->available = available;
  d->used = used;
  return true;
}

bool Engine_Simulator::set_vm_status(const std::string& vm_id, const std::string& status)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Sim_VM* vm = impl_->find_vm(vm_id);
  if (vm == nullptr)
    return false;
  vm->status = status;
  return true;
}

bool Engine_Simulator::set_disk_status(const std::string& disk_id, const std::string& status)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Sim_Disk* d = impl_->find_disk(disk_id);
  if (d == nullptr)
    return false;
  d->status = status;
  return true;
}

// ---- inspection ----

std::vector<Engine_Request> Engine_Simulator::requests() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->log;
}

void Engine_Simulator::clear_requests()
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->log_base += impl_->log.size();
  impl_->log.clear();
}

size_t Engine_Simulator::count_requests(const std::string& method, const std::string& path_regex) const
{
  std::regex re(path_regex);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return static_cast<size_t>(std::count_if(impl_->log.begin(), impl_->log.end(), [&](const Engine_Request& r) {
    return (method == "*" || r.method == method) && std::regex_match(r.path, re);
  }));
}

std::vector<Sim_Data_Center> Engine_Simulator::data_centers() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->dcs;
}

std::vector<Sim_Cluster> Engine_Simulator::clusters() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->clusters;
}

std::vector<Sim_Network> Engine_Simulator::networks() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->networks;
}

std::vector<Sim_VNIC_Profile> Engine_Simulator::vnic_profiles() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->profiles;
}

std::vector<Sim_Storage_Domain> Engine_Simulator::storage_domains() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->domains;
}

std::vector<Sim_VM> Engine_Simulator::vms() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->vms;
}

std::vector<Sim_Disk> Engine_Simulator::disks() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<Sim_Disk> out = impl_->disks;
  for (Sim_Disk& d : out)
    d.status = impl_->disk_status(d);
  return out;
}

std::vector<Sim_Disk_Attachment> Engine_Simulator::attachments(const std::string& vm_id) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<Sim_Disk_Attachment> out;
  for (const Sim_Disk_Attachment& a : impl_->attachments)
    if (vm_id.empty() || a.vm_id == vm_id)
      out.push_back(a);
  return out;
}

std::vector<Sim_NIC> Engine_Simulator::nics(const std::string& vm_id) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<Sim_NIC> out;
  for (const Sim_NIC& n : impl_->nics)
    if (vm_id.empty() || n.vm_id == vm_id)
      out.push_back(n);
  return out;
}

std::vector<Sim_Snapshot> Engine_Simulator::snapshots(const std::string& vm_id) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<Sim_Snapshot> out;
  for (const Sim_Snapshot& s : impl_->snapshots)
    if (vm_id.empty() || s.vm_id == vm_id)
      out.push_back(s);
  return out;
}

bool Engine_Simulator::find_vm(const std::string& id, Sim_VM& out) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Sim_VM* vm = impl_->find_vm(id);
  if (vm != nullptr)
    out = *vm;
  return vm != nullptr;
}

bool Engine_Simulator::find_vm_by_name(const std::string& name, Sim_VM& out) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (const Sim_VM& vm : impl_->vms)
    if (vm.name == name) {
      out = vm;
      return true;
    }
  return false;
}

bool Engine_Simulator::find_disk(const std::string& id, Sim_Disk& out) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Sim_Disk* d = impl_->find_disk(id);
  if (d != nullptr) {
    out = *d;
    out.status = impl_->disk_status(*d);
  }
  return d != nullptr;
}

bool Engine_Simulator::find_storage_domain(const std::string& id, Sim_Storage_Domain& out) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Sim_Storage_Domain* d = impl_->find_domain(id);
  if (d != nullptr)
    out = *d;
  return d != nullptr;
}

std::string Engine_Simulator::device_path(const std::string& disk_id) const
{
  return impl_->config.device_dir + "/virtio-" + disk_id.substr(0, 20);
}

std::vector<std::string> Engine_Simulator::devices() const
{
  std::vector<std::string> out;
  if (DIR* dir = ::opendir(impl_->config.device_dir.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..")
        out.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace test_support
