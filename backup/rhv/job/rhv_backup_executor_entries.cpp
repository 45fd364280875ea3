// Entry resolution of the backup executor: from the job source's entries to one task
// parameter record per VM, within the agent VM's data center, and the storage-space rule.

#include <exception>
#include <set>
#include <utility>

#include "backup/json_spirit/extract.h"
#include "backup/json_spirit/json_pointer.h"
#include "backup/rhv/job/rhv_backup_executor.h"
#include "backup/scrt/log.h"
#include "platform/json/json_dump.h"

bool RHV_Backup_Executor::Id_Set::insert(const std::string& id)
{
  if (!set_.insert(id).second)
    return false;
  order_.push_back(id);
  return true;
}

RHV_Backup_Executor::Id_Set& RHV_Backup_Executor::VM_Disks_Map::operator[](const std::string& vm_id)
{
  auto it = map_.find(vm_id);
  if (it == map_.end()) {
    it = map_.emplace(vm_id, Id_Set()).first;
    order_.push_back(vm_id);
  }
  return it->second;
}

bool RHV_Backup_Executor::resolve_entries()
{
  RHV_LOG_DEBUG("Resolving RHV backup entries.\n");
  Entry_Context ctx;
  if (!init_entry_context(ctx))
    return false;

  try {
    const json_spirit::Array* entries = nullptr;
    static const json_spirit::Value no_source;
    const json_spirit::Value& source = src_ != nullptr ? src_->value() : no_source;
    json_spirit::pextract_or_throw(source)("/entries", entries);
    if (!expand_entries(*entries, ctx)) {
      RHV_LOG_ERROR("Failed to resolve entries: %s.\n", JSON_Dump(json_spirit::Value(*entries)).c_str());
      return false;
    }
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Invalid entries in backup sources: %s\n", e.what());
    return false;
  }

  // The task parameters carry the agent VM as the engine knows it.
  host_info_.agent_vm_id = ctx.manager.vm().id;
  host_info_.agent_vm_name = ctx.manager.vm().name;
  return true;
}

bool RHV_Backup_Executor::init_entry_context(Entry_Context& ctx)
{
  if (!ctx.manager.init(client_, host_info_.agent_vm_id)) {
    RHV_LOG_ERROR("Failed to init RHV agent VM '%s' manager.\n", host_info_.agent_vm_name.c_str());
    return false;
  }

  // Only the string elements of "exclusion" are patterns; anything else counts as none.
  json_spirit::Array exclusion;
  json_spirit::object_get(options_object(), "exclusion", exclusion);
  for (const json_spirit::Value& pattern : exclusion)
    if (pattern.type() == json_spirit::str_type)
      ctx.excluded.add_pattern(pattern.get_str());
  RHV_LOG_INFO("VM exclusion list: %s.\n", JSON_Dump(json_spirit::Value(exclusion)).c_str());
  return true;
}

bool RHV_Backup_Executor::expand_entries(const json_spirit::Array& entries, Entry_Context& ctx)
{
  for (const json_spirit::Value& entry : entries) {
    if (ctx.has_added_dc)
      break;
    if (entry.type() != json_spirit::obj_type)
      continue;
    if (!add_entry(entry.get_obj(), ctx)) {
      RHV_LOG_ERROR("Failed to add entry.\n");
      return false;
    }
  }
  if (ctx.has_added_dc)
    return resolve_data_center(ctx);
  return resolve_clusters(ctx) && resolve_vms(ctx) && resolve_vm_disks(ctx);
}

bool RHV_Backup_Executor::add_entry(const json_spirit::Object& entry, Entry_Context& ctx)
{
  std::string type, id;
  json_spirit::extract_or_throw(entry)("type", type)("id", id);
  if (type == "Datacenter") {
    add_data_center(id, ctx);
  } else if (type == "Cluster") {
    add_cluster(id, ctx);
  } else if (type == "VirtualMachine") {
    const json_spirit::Array* disks = nullptr;
    json_spirit::extract(entry)("disks", disks);
    if (disks == nullptr)
      add_vm(id, ctx);
    else
      add_disks(id, *disks, ctx);
  } else {
    RHV_LOG_ERROR("Unknown entry type '%s'.\n", type.c_str());
    return false;
  }
  return true;
}

bool RHV_Backup_Executor::add_data_center(const std::string& id, Entry_Context& ctx)
{
  const std::string& agent_dc = ctx.manager.data_center().id;
  if (id != agent_dc) {
    RHV_LOG_WARNING("Filter RHV data center id '%s': it doesn't belong to agent data center '%s'.\n", id.c_str(),
                    agent_dc.c_str());
    return false;
  }
  ctx.has_added_dc = true;
  return true;
}

bool RHV_Backup_Executor::add_cluster(const std::string& id, Entry_Context& ctx)
{
  if (!ctx.manager.is_cluster_in_agent_dc(id)) {
    RHV_LOG_WARNING("Filter RHV cluster id '%s': it doesn't belong to agent data center '%s'.\n", id.c_str(),
                    ctx.manager.data_center().id.c_str());
    return false;
  }
  if (!ctx.clusters.insert(id)) {
    RHV_LOG_WARNING("Filter RHV cluster id '%s': it has been added.\n", id.c_str());
    return false;
  }
  return true;
}

bool RHV_Backup_Executor::add_vm(const std::string& id, Entry_Context& ctx)
{
  if (ctx.manager.is_agent_vm(id)) {
    RHV_LOG_WARNING("Filter RHV VM id '%s': it is a agent vm.\n", id.c_str());
    return false;
  }
  if (!ctx.vms.insert(id)) {
    RHV_LOG_WARNING("Filter RHV VM id '%s': it has been added.\n", id.c_str());
    return false;
  }
  return true;
}

bool RHV_Backup_Executor::add_disks(const std::string& vm_id, const json_spirit::Array& disks, Entry_Context& ctx)
{
  if (ctx.manager.is_agent_vm(vm_id)) {
    RHV_LOG_WARNING("Filter RHV VM id '%s': it is a agent vm.\n", vm_id.c_str());
    return false;
  }
  if (ctx.vms.contains(vm_id)) {
    RHV_LOG_WARNING("Filter RHV VM id '%s': it has been added.\n", vm_id.c_str());
    return false;
  }
  Id_Set& selected = ctx.vm_disks[vm_id];
  for (const json_spirit::Value& disk : disks) {
    if (disk.type() != json_spirit::obj_type)
      continue;
    std::string disk_id;
    json_spirit::extract_or_throw(disk.get_obj())("id", disk_id);
    if (!selected.insert(disk_id))
      RHV_LOG_WARNING("Filter RHV Disk id '%s': it has been added.\n", disk_id.c_str());
  }
  return true;
}

bool RHV_Backup_Executor::resolve_data_center(Entry_Context& ctx)
{
  RHV_LOG_DEBUG("Resolving RHV data center.\n");
  RHV_VMs vms;
  if (!client_.vm_service().list(vms, RHV_FOLLOW_DISK)) {
    RHV_LOG_ERROR("Failed to list RHV VMs.\n");
    return false;
  }
  for (RHV_VM& vm : vms)
    if (ctx.manager.is_vm_in_agent_dc(vm) && !ctx.manager.is_agent_vm(vm))
      construct_entry(vm, ctx);
  return true;
}

bool RHV_Backup_Executor::resolve_clusters(Entry_Context& ctx)
{
  if (ctx.clusters.empty())
    return true;
  RHV_LOG_DEBUG("Resolving RHV clusters.\n");
  RHV_VMs vms;
  if (!client_.vm_service().list(vms, RHV_FOLLOW_DISK)) {
    RHV_LOG_ERROR("Failed to list RHV VMs.\n");
    return false;
  }
  for (RHV_VM& vm : vms) {
    if (ctx.manager.is_agent_vm(vm))
      continue;
    if (ctx.clusters.contains(vm.cluster.id)) {
      construct_entry(vm, ctx);
    } else if (ctx.manager.is_vm_in_agent_dc(vm)) {
      std::string id = vm.id;
      ctx.cache_vms.emplace(std::move(id), std::move(vm));
    }
  }
  return true;
}

bool RHV_Backup_Executor::resolve_vms(Entry_Context& ctx)
{
  if (ctx.vms.empty())
    return true;
  RHV_LOG_DEBUG("Resolving RHV VMs.\n");
  if (!ctx.clusters.empty() && ctx.cache_vms.empty()) {
    RHV_LOG_WARNING("All RHV clusters in data center '%s' have been resolved.\n",
                    ctx.manager.data_center().name.c_str());
    return true;
  }
  for (const std::string& id : ctx.vms.ids()) {
    RHV_VM vm;
    if (!get_vm(ctx, id, vm)) {
      RHV_LOG_WARNING("Filter RHV VM id '%s': Failed to get VM info.\n", id.c_str());
      continue;
    }
    construct_entry(vm, ctx);
  }
  return true;
}

bool RHV_Backup_Executor::resolve_vm_disks(Entry_Context& ctx)
{
  if (ctx.vm_disks.empty())
    return true;
  RHV_LOG_DEBUG("Resolving RHV disks of VM.\n");
  if (!ctx.clusters.empty() && ctx.cache_vms.empty()) {
    RHV_LOG_WARNING("All RHV clusters in data center '%s' have been resolved.\n",
                    ctx.manager.data_center().name.c_str());
    return true;
  }
  for (const std::string& vm_id : ctx.vm_disks.vm_ids()) {
    if (ctx.vms.contains(vm_id)) {
      // The whole VM was taken.
      RHV_LOG_WARNING("Filter RHV VM id '%s': it has been resolved.\n", vm_id.c_str());
      continue;
    }
    RHV_VM vm;
    if (!get_vm(ctx, vm_id, vm)) {
      RHV_LOG_WARNING("Filter RHV VM id '%s': Failed to get VM info.\n", vm_id.c_str());
      continue;
    }
    // The selected disks, and the boot disk always.
    const Id_Set& selected = ctx.vm_disks.disks(vm_id);
    RHV_Disk_Attachments kept;
    kept.reserve(vm.disk_attachments.size());
    for (RHV_Disk_Attachment& attachment : vm.disk_attachments)
      if (attachment.bootable.value_or(false) || selected.contains(attachment.disk.id))
        kept.push_back(std::move(attachment));
    vm.disk_attachments = std::move(kept);
    construct_entry(vm, ctx);
  }
  return true;
}

bool RHV_Backup_Executor::get_vm(Entry_Context& ctx, const std::string& id, RHV_VM& out)
{
  if (ctx.clusters.empty())
    return client_.vm_service().get(id, out, RHV_FOLLOW_DISK);
  // With clusters given, only VMs of the data center outside them are left to find.
  auto it = ctx.cache_vms.find(id);
  if (it == ctx.cache_vms.end())
    return false;
  out = std::move(it->second);
  ctx.cache_vms.erase(it);
  return true;
}

bool RHV_Backup_Executor::construct_entry(RHV_VM& vm, Entry_Context& ctx)
{
  if (ctx.excluded.match(vm.name)) {
    RHV_LOG_INFO("Filter RHV VM '%s': it is excluded from backup.\n", vm.name.c_str());
    return true;
  }
  const RHV_Cluster* cluster = ctx.manager.get_cluster(vm);
  if (cluster == nullptr) {
    RHV_LOG_WARNING("Filter RHV VM id '%s': it doesn't belong to agent data center '%s'.\n", vm.id.c_str(),
                    ctx.manager.data_center().id.c_str());
    return true;
  }

  RHV_Disk_Attachments attachments;
  attachments.reserve(vm.disk_attachments.size());
  for (RHV_Disk_Attachment& attachment : vm.disk_attachments) {
    if (attachment.disk.shareable.value_or(false)) {
      RHV_LOG_WARNING("Filter RHV disk '%s': it is a shared disk.\n", attachment.disk.name.c_str());
      continue;
    }
    attachments.push_back(std::move(attachment));
  }
  if (attachments.empty()) {
    RHV_LOG_WARNING("Filter RHV VM id '%s': no disks to backup.\n", vm.id.c_str());
    return true;
  }
  if (!ctx.manager.detach_disks(attachments)) {
    RHV_LOG_WARNING("Filter RHV VM id '%s': Failed to detach disks of '%s' from agent VM '%s'.\n", vm.id.c_str(),
                    vm.id.c_str(), ctx.manager.vm().id.c_str());
    return true;
  }

  RHV_Backup_Params entry;
  entry.vm_id = vm.id;
  entry.vm_name = vm.name;
  entry.data_center_id = ctx.manager.data_center().id;
  entry.data_center_name = ctx.manager.data_center().name;
  entry.cluster_id = vm.cluster.id;
  entry.cluster_name = cluster->name;
  entry.attachments = std::move(attachments);
  entries_.push_back(std::move(entry));
  return true;
}

void RHV_Backup_Executor::filter_entries()
{
  Storage_Domain_Map failed_domains;
  Storage_Domain_Map success_domains;
  std::vector<RHV_Backup_Params> kept;
  kept.reserve(entries_.size());
  for (RHV_Backup_Params& entry : entries_)
    if (check_storages_quota(entry, failed_domains, success_domains))
      kept.push_back(std::move(entry));
  entries_ = std::move(kept);
}

void RHV_Backup_Executor::log_space_shortage(const RHV_Backup_Params& entry, const std::string& domain_id,
                                             int64_t available, int64_t used) const
{
  __int128 total = static_cast<__int128>(available) + used;
  int percent = total == 0 ? 0 : static_cast<int>(static_cast<__int128>(available) * 100 / total);
  RHV_LOG_WARNING("RHV VM id '%s', storage_domain id: '%s', does not have enough space: \n"
                  "\texpected min space: %q bytes, actually space: %q bytes.\n"
                  "\texpected min percent: %d%%, actually percent: %d%%.\n",
                  entry.vm_id.c_str(), domain_id.c_str(), static_cast<ACE_INT64>(storage_reserved_bytes_),
                  static_cast<ACE_INT64>(available), static_cast<int>(storage_reserved_percent_), percent);
}

bool RHV_Backup_Executor::check_storages_quota(const RHV_Backup_Params& entry, Storage_Domain_Map& failed_domains,
                                               Storage_Domain_Map& success_domains)
{
  std::set<std::string> to_check;
  for (const RHV_Disk_Attachment& attachment : entry.attachments) {
    for (const RHV_Object& domain : attachment.disk.storage_domains) {
      auto failed = failed_domains.find(domain.id);
      if (failed != failed_domains.end()) {
        log_space_shortage(entry, domain.id, failed->second.available, failed->second.used);
        return false;
      }
      if (success_domains.count(domain.id) == 0)
        to_check.insert(domain.id);
    }
  }

  for (const std::string& id : to_check) {
    RHV_Storage_Domain domain;
    if (!client_.storage_domain_service().get(id, domain)) {
      RHV_LOG_ERROR("Failed to get storage domain of %s.\n", id.c_str());
      return false;
    }
    // In 128 bits: the reserve options have no bounds and the sizes may be large.
    const __int128 available = domain.available;
    const __int128 used = domain.used;
    const bool enough = available >= storage_reserved_bytes_ &&
                        available * 100 >= (available + used) * static_cast<__int128>(storage_reserved_percent_);
    if (!enough) {
      int64_t avail = domain.available, in_use = domain.used;
      failed_domains.emplace(id, std::move(domain));
      log_space_shortage(entry, id, avail, in_use);
      return false;
    }
    success_domains.emplace(id, std::move(domain));
  }
  return true;
}
