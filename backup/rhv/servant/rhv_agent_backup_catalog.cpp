// The backup worker's catalog record: one backup set per VM backup, with the VM's whole
// metadata, its pieces and the pool that holds them.

#include "backup/rhv/servant/rhv_agent_backup.h"

#include <ace/OS_NS_time.h>

#include <exception>

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "platform/catalog/restful_catalog_operator.h"
#include "platform/job/job_types.h"

bool RHV_Agent_Backup::save_catalog()
{
  RHV_CHECK_NOT_NULL(job_act_, false);

  RHV_Backup_Set set;
  if (!backup_vm_meta(set)) {
    RHV_LOG_ERROR("Failed to backup VM '%s' meta data.\n", vm_.id.c_str());
    return false;
  }

  try {
    const std::string& name = json_spirit::object_get_str_or_throw(params_.catalog, "name");
    const std::string& agent = json_spirit::object_get_str_or_throw(params_.catalog, "agent");
    const std::string& pool_uuid = json_spirit::object_get_str_or_throw(params_.catalog, "pool_uuid");

    set.set_name(name);
    set.set_agent(agent);
    set.set_format_version("1.0");
    set.set_backup_method("nfc");
    // The pieces live under "<pool url>/<host uuid>": the host uuid is also where the
    // restore finds them.
    set.set_host_uuid(params_.host_uuid);
    set.set_uri(params_.host_uuid);
    const std::string set_uuid = uuid_to_string(bset_uuid_);
    set.set_set_uuid(set_uuid);
    set.set_full_set_uuid(set_uuid);
    set.add_set_uuid(set_uuid);
    set.set_activity_uid(uuid_to_string(job_act_->uid));
    set.set_activity_id(uuid_to_string(job_act_->id));
    set.set_start_time(static_cast<int64_t>(start_time_));
    set.set_def_id(params_.def_id);
    set.set_resource_uuid(params_.resource_uuid);
    set.set_vm_name(vm_.name);
    set.set_vm_id(vm_.id);
    set.set_subtype(job_def_subtype_to_string(JOB_DEFINITION_SUBTYPE_FULL, 0));
    set.set_set_size(total_set_size_.load());
    set.set_source_size(source_size_);
    set.set_end_time(static_cast<int64_t>(ACE_OS::time()));
    json_spirit::Object storage_attrs;
    json_spirit::insert(storage_attrs)("code_name", "reborn");
    set.add_storage(pool_uuid, total_storage_size_.load(), storage_attrs);

    set.reserve_pieces(pieces_count_);
    for (const std::shared_ptr<Task>& task : ordered_tasks()) {
      for (const std::shared_ptr<Piece>& piece : task->pieces) {
        Backup_Piece stored;
        stored.set_size(piece->source_size);
        stored.set_object(task->disk.id);
        stored.set_path(piece->remote_path);
        json_spirit::Object attrs;
        json_spirit::insert(attrs)("index", static_cast<unsigned long>(piece->index))(
            "offset", static_cast<unsigned long>(piece->offset))(
            "source_size", static_cast<unsigned long>(piece->source_size))(
            "block_size", static_cast<unsigned long>(params_.block_size));
        stored.set_attributes(std::move(attrs));
        set.add_piece(std::move(stored));
      }
    }
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to extract catalog from params: %s\n", e.what());
    return false;
  }

  RESTful_Catalog_Operator catalog(params_.backupd_host, params_.backupd_port, params_.backupd_ssl,
                                   params_.access_key, -1, -1);
  if (!catalog.commit(set, true)) {
    RHV_LOG_ERROR("Failed to commit catalog for RHV VM '%s'.\n", vm_.name.c_str());
    return false;
  }
  return true;
}

bool RHV_Agent_Backup::backup_vm_meta(RHV_Backup_Set& set)
{
  set.set_data_center_id(params_.data_center_id);
  set.set_data_center_name(params_.data_center_name);
  set.set_cluster_id(params_.cluster_id);
  set.set_cluster_name(params_.cluster_name);
  set.set_rhv_host_id(params_.host_id);
  set.set_rhv_host_name(params_.host_name);
  set.set_rhv_vm_id(vm_.id);
  set.set_rhv_vm_name(vm_.name);
  set.set_vm(vm_.dump());
  set.set_version(client_.version().dump());

  // The attachments of the disks that were backed up, each with the snapshot's record of
  // its disk and the names of the disk's storage domains.
  RHV_Storage_Domain_Service domains = client_.storage_domain_service();
  for (const RHV_Disk_Attachment& attachment : params_.attachments) {
    auto it = tasks_.find(attachment.disk.id);
    if (it == tasks_.end())
      continue;
    RHV_Disk_Attachment stored = attachment;
    stored.disk = RHV_Disk(it->second->disk);
    stored.disk.snapshot = RHV_Object();
    for (RHV_Object& link : stored.disk.storage_domains) {
      RHV_Storage_Domain domain;
      if (!link.id.empty() && domains.get(link.id, domain))
        link.name = domain.name;
    }
    set.add_disk_attachment(stored.dump());
  }

  // The NICs, each with its whole vNIC profile.
  RHV_VNIC_Profile_Service profiles = client_.vnic_profile_service();
  for (const RHV_NIC& nic : vm_.nics) {
    RHV_NIC stored = nic;
    if (!stored.vnic_profile.id.empty())
      profiles.get(stored.vnic_profile.id, stored.vnic_profile);
    set.add_nic(stored.dump());
  }
  return true;
}
