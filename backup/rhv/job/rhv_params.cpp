#include "backup/rhv/job/rhv_params.h"

#include <exception>

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/scrt/log.h"
#include "platform/json/json_dump.h"
#include "platform/json/object_get.h"

json_spirit::Value mask_secrets(const json_spirit::Value& value)
{
  if (value.type() != json_spirit::obj_type)
    return value;
  json_spirit::Object masked = value.get_obj();
  auto it = masked.find("password");
  if (it != masked.end())
    it->second = json_spirit::Value("******");
  return json_spirit::Value(std::move(masked));
}

json_spirit::Object RHV_Params::dump() const
{
  json_spirit::Object obj;
  json_spirit::insert(obj)("backupd_ssl", backupd_ssl)("backupd_port", static_cast<unsigned int>(backupd_port))(
      "job_revision", static_cast<long>(job_revision))("def_id", def_id)("host_uuid", host_uuid)(
      "resource_uuid", resource_uuid)("backupd_host", backupd_host)("access_key", access_key)(
      "client_io_opts", client_io_opts.dump())("parallel_disks_per_vm", parallel_disks_per_vm)(
      "parallel_workers_per_disk", parallel_workers_per_disk)("block_size", static_cast<unsigned long>(block_size))(
      "host_info", host_info.dump())("data_center_id", data_center_id)("data_center_name", data_center_name)(
      "cluster_id", cluster_id)("cluster_name", cluster_name)("host_id", host_id)("host_name", host_name)(
      "vm_id", vm_id)("vm_name", vm_name);
  return obj;
}

bool RHV_Params::load(const json_spirit::Object& obj)
{
  try {
    const json_spirit::Object* io_opts = nullptr;
    const json_spirit::Value* host = nullptr;
    json_spirit::extract_or_throw(obj)("backupd_ssl", backupd_ssl)("backupd_port", backupd_port)(
        "job_revision", job_revision)("def_id", def_id)("host_uuid", host_uuid)("resource_uuid", resource_uuid)(
        "backupd_host", backupd_host)("access_key", access_key)("client_io_opts", io_opts)(
        "parallel_disks_per_vm", parallel_disks_per_vm)("parallel_workers_per_disk", parallel_workers_per_disk)(
        "block_size", block_size)("host_info", host)("data_center_id", data_center_id)(
        "data_center_name", data_center_name)("cluster_id", cluster_id)("cluster_name", cluster_name)(
        "host_id", host_id)("host_name", host_name)("vm_id", vm_id)("vm_name", vm_name);

    if (!client_io_opts.load(json_spirit::Value(*io_opts))) {
      RHV_LOG_ERROR("Failed to load RHV params: invalid I/O options, %s.\n",
                    JSON_Dump(Client_IO_Base::Options::masked(json_spirit::Value(*io_opts))).c_str());
      return false;
    }
    if (!host_info.load(*host)) {
      RHV_LOG_ERROR("Failed to load RHV params: invalid HOST entry, %s.\n", JSON_Dump(mask_secrets(*host)).c_str());
      return false;
    }
    // A record that holds no password takes the "password" member as plain text.
    if (host_info.password.empty()) {
      const std::string& plain = json_spirit::object_get_str_or_throw(host->get_obj(), "password");
      host_info.password.assign(plain.data(), plain.size());
    }
    return true;
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to load RHV params: %s\n", e.what());
    return false;
  }
}
