#include "backup/rhv/job/rhv_restore_params.h"

#include <exception>

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"

namespace {

const char* flag_text(bool value)
{
  return value ? "true" : "false";
}

// Loads every object element of `array` into a new T appended to `out`; others are
// skipped. False at the first element that does not load.
template <typename T, typename Load>
bool load_objects(const json_spirit::Array& array, std::vector<T>& out, Load load)
{
  for (const json_spirit::Value& element : array) {
    if (element.type() != json_spirit::obj_type)
      continue;
    T item;
    if (!load(item, element))
      return false;
    out.push_back(std::move(item));
  }
  return true;
}

bool load_disk(RHV_Restore_Disk& disk, const json_spirit::Value& v)
{
  return disk.load(v);
}

bool load_nic(RHV_Restore_NIC& nic, const json_spirit::Value& v)
{
  return nic.load(v.get_obj());
}

}  // namespace

json_spirit::Object RHV_Restore_Disk::dump() const
{
  json_spirit::Object obj;
  json_spirit::insert(obj)("id", id)("source_datastore_id", source_datastore_id)(
      "target_datastore_id", target_datastore_id);
  return obj;
}

bool RHV_Restore_Disk::load(const json_spirit::Value& v)
{
  try {
    json_spirit::extract(v.get_obj())("id", id)("source_datastore_id", source_datastore_id)(
        "target_datastore_id", target_datastore_id);
    return true;
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to load RHV_Restore_Disk from JSON: %s\n", e.what());
    return false;
  }
}

json_spirit::Object RHV_Restore_NIC::dump() const
{
  json_spirit::Object obj;
  json_spirit::insert(obj)("name", name)("interface", interface)("mac_address", mac_address)(
      "auto_gen_mac", auto_gen_mac)("vnic_profile_id", vnic_profile_id);
  if (linked)
    json_spirit::insert(obj)("linked", flag_text(*linked));
  if (plugged)
    json_spirit::insert(obj)("plugged", flag_text(*plugged));
  return obj;
}

bool RHV_Restore_NIC::load(const json_spirit::Object& obj)
{
  try {
    const std::string* linked_text = nullptr;
    const std::string* plugged_text = nullptr;
    json_spirit::extract_or_throw(obj)("name", name)("linked", linked_text, json_spirit::FG_NOTHROW)(
        "plugged", plugged_text, json_spirit::FG_NOTHROW)("interface", interface)(
        "mac_address", mac_address, json_spirit::FG_NOTHROW)("auto_gen_mac", auto_gen_mac)(
        "vnic_profile_id", vnic_profile_id, json_spirit::FG_NOTHROW);
    if (linked_text != nullptr)
      linked = *linked_text == "true";
    if (plugged_text != nullptr)
      plugged = *plugged_text == "true";
    return true;
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to add load nic info: %s\n", e.what());
    return false;
  }
}

json_spirit::Object RHV_Restore_Params::dump() const
{
  json_spirit::Object obj = RHV_Params::dump();
  json_spirit::Array disk_array;
  disk_array.reserve(disks.size());
  for (const RHV_Restore_Disk& disk : disks)
    disk_array.emplace_back(disk.dump());
  json_spirit::Array nic_array;
  nic_array.reserve(nics.size());
  for (const RHV_Restore_NIC& nic : nics)
    nic_array.emplace_back(nic.dump());
  json_spirit::insert(obj)("action", "restore")("original_restore", original_restore)("start_vm", start_vm)(
      "target_cluster_id", target_cluster_id)("target_vm_id", target_vm_id)("target_vm_name", target_vm_name)(
      "catalog_uuid", catalog_uuid)("pool_uuid", pool_uuid)("disks", std::move(disk_array))(
      "nics", std::move(nic_array));
  return obj;
}

bool RHV_Restore_Params::load(const json_spirit::Object& obj)
{
  if (!RHV_Params::load(obj))
    return false;
  RHV_CHECK_NOT_EMPTY(vm_id, false);
  RHV_CHECK_NOT_EMPTY(cluster_id, false);

  const json_spirit::Array* disk_array = nullptr;
  const json_spirit::Array* nic_array = nullptr;
  try {
    json_spirit::extract_or_throw(obj)("original_restore", original_restore)("start_vm", start_vm)(
        "target_cluster_id", target_cluster_id)("target_vm_id", target_vm_id)("target_vm_name", target_vm_name)(
        "catalog_uuid", catalog_uuid)("pool_uuid", pool_uuid)("disks", disk_array)("nics", nic_array);
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to load RHV restore params: %s\n", e.what());
    return false;
  }

  disks.clear();
  if (!load_objects(*disk_array, disks, load_disk))
    return false;
  nics.clear();
  return load_objects(*nic_array, nics, load_nic);
}

bool RHV_Restore_Params::load_disks(const json_spirit::Array& array)
{
  if (array.empty())
    return true;
  disks.reserve(disks.size() + array.size());
  return load_objects(array, disks, load_disk);
}

bool RHV_Restore_Params::load_nics(const json_spirit::Array& array)
{
  if (array.empty())
    return true;
  nics.reserve(nics.size() + array.size());
  return load_objects(array, nics, load_nic);
}
