// The restore worker's flow, and its plan: the VM's backup record read from the catalog,
// its disks matched with their pieces, and the pool to read from. Engine objects and data
// are handled in rhv_agent_restore_write.cpp.

#include "backup/rhv/servant/rhv_agent_restore.h"

#include <ace/OS_NS_time.h>

#include <exception>
#include <stdexcept>

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/json_spirit/json_pointer.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "backup/scrt/make_nothrow.h"
#include "backup/scrt/scoped_deleter.h"
#include "platform/catalog/restful_catalog_operator.h"
#include "platform/http/http_headers.h"
#include "platform/job/job_types.h"
#include "platform/json/json_dump.h"
#include "platform/storage/backup_set_storage_selector.h"
#include "platform/storage/pool_info.h"

const uint64_t RHV_Agent_Restore::MIN_STORAGE_AVAILABLE;
const size_t RHV_Agent_Restore::WRITE_CHUNK;

// ---- diagnostic forms of the plan ----

json_spirit::Object RHV_Agent_Restore::Disk_Piece::dump() const
{
  json_spirit::Object o;
  json_spirit::insert(o)("remote_path", remote_path)("size", static_cast<unsigned long>(size));
  return o;
}

bool RHV_Agent_Restore::Disk_Piece::load(const json_spirit::Object& obj)
{
  try {
    std::string path;
    unsigned long bytes = 0;
    json_spirit::extract_or_throw(obj)("remote_path", path)("size", bytes);
    remote_path = path;
    size = bytes;
    return true;
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to load Disk_Piece from JSON: %s\n", e.what());
    return false;
  }
}

json_spirit::Object RHV_Agent_Restore::Restore_Disk::dump() const
{
  json_spirit::Array piece_list;
  for (const Disk_Piece& piece : pieces)
    piece_list.push_back(piece.dump());
  json_spirit::Object o;
  json_spirit::insert(o)("source_disk_id", source_disk_id)("source_disk_name", source_disk_name)(
      "target_disk_id", target_disk_id)("target_disk_name", target_disk_name)(
      "source_datastore_id", source_datastore_id)("target_datastore_id", target_datastore_id)(
      "attachment", attachment.dump())("pieces", piece_list);
  return o;
}

json_spirit::Object RHV_Agent_Restore::Restore_VM::dump() const
{
  json_spirit::Object o;
  json_spirit::insert(o)("source_vm_id", source_vm_id)("source_vm_name", source_vm_name)(
      "source_cluster_id", source_cluster_id)("source_cluster_name", source_cluster_name)(
      "target_vm_id", target_vm_id)("target_vm_name", target_vm_name)("target_cluster_id", target_cluster_id)(
      "target_cluster_name", target_cluster_name)("vm", vm.dump());
  return o;
}

// ---- flow ----

RHV_Agent_Restore::RHV_Agent_Restore()
{
}

RHV_Agent_Restore::~RHV_Agent_Restore()
{
}

bool RHV_Agent_Restore::execute(json_spirit::Value& result)
{
  bool succeeded = false;
  auto exit_guard = make_deleter([this, &succeeded, &result] { finish(succeeded, result); });

  if (!init() || !prepare())
    return false;

  auto cleanup_guard = make_deleter([this, &succeeded] {
    if (!succeeded)
      clean_resource();
  });

  // The disks are made before the VM.
  if (!create_disks() || !create_vm() || !create_nics() || !restore_disks() ||
      !attach_target_vm_disks(restore_vm_.target_vm_id))
    return false;

  succeeded = true;
  // A VM that does not start is still restored.
  if (params_.start_vm && !start_vm())
    RHV_LOG_WARNING("Failed to start VM %s:%s.\n", restore_vm_.source_vm_name.c_str(),
                    restore_vm_.source_vm_id.c_str());
  return true;
}

void RHV_Agent_Restore::finish(bool succeeded, json_spirit::Value& result)
{
  int64_t start_time = 0, end_time = 0;
  finish_progress(succeeded, start_time, end_time);
  json_spirit::insert(json_spirit::to_object(result))("code", succeeded ? 0 : 1)("vm_id", params_.vm_id)(
      "vm_name", params_.vm_name)("storage_size", static_cast<unsigned long>(storage_size_.load()))(
      "set_size", static_cast<unsigned long>(set_size_.load()))(
      "source_size", static_cast<unsigned long>(source_size_))("start_time", static_cast<long>(start_time))(
      "end_time", static_cast<long>(end_time));
}

bool RHV_Agent_Restore::init_i()
{
  restore_vm_.source_vm_id = params_.vm_id;
  restore_vm_.source_vm_name = params_.vm_name;
  restore_vm_.source_cluster_id = params_.cluster_id;
  restore_vm_.source_cluster_name = params_.cluster_name;
  restore_vm_.target_vm_id = params_.target_vm_id;
  restore_vm_.target_vm_name = params_.target_vm_name;
  restore_vm_.target_cluster_id = params_.target_cluster_id;
  restore_vm_.target_cluster_name = params_.target_cluster_name;

  if (!upstream_.reset(params_.backupd_host, params_.backupd_port, params_.backupd_ssl) ||
      !upstream_.set_header(HTTP_HEAD_X_ACCESS_KEY, params_.access_key)) {
    RHV_LOG_ERROR("Failed to init JSON_RESTful_Client host: %s, port: %d .\n", params_.backupd_host.c_str(),
                  static_cast<int>(params_.backupd_port));
    return false;
  }

  if (RHV_VM_Progress_Info* info = progress()) {
    info->total_bytes = 0;
    info->processed_bytes = 0;
    info->processed_virtual_disk_count = 0;
  }
  return true;
}

// ---- catalog and plan ----

bool RHV_Agent_Restore::prepare()
{
  if (!get_catalogs() || cats_.empty()) {
    alerter_.failed_to_get_catalog();
    RHV_LOG_ERROR("No catalogs found for VM '%s'.\n", params_.vm_name.c_str());
    return false;
  }

  const json_spirit::Object* vm = nullptr;
  const json_spirit::Array* disks = nullptr;
  const json_spirit::Array* storages = nullptr;
  const json_spirit::Array* pieces = nullptr;
  std::string uri;
  unsigned long source_size = 0;
  try {
    if (cats_[0].type() != json_spirit::obj_type)
      throw std::domain_error("the catalog is not an object");
    json_spirit::extract_or_throw(cats_[0].get_obj())("vm_profile", vm)("disks_profile", disks)(
        "storages", storages)("uri", uri)("pieces", pieces)("source_size", source_size);
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to extract RHV catalog '%s', '%s'.\n", params_.catalog_uuid.c_str(), e.what());
    return false;
  }
  source_size_ = source_size;

  return prepare_vm(vm) && prepare_disks(disks, pieces) && prepare_pool_info(storages, uri);
}

bool RHV_Agent_Restore::get_catalogs()
{
  RESTful_Catalog_Operator catalog(params_.backupd_host, params_.backupd_port, params_.backupd_ssl,
                                   params_.access_key, -1, params_.retry_seconds);
  json_spirit::Object filter;
  json_spirit::insert(filter)("resource_uuid", params_.resource_uuid)("vm_id", params_.vm_id)(
      "set_uuid", params_.catalog_uuid);

  json_spirit::Value reply;
  if (!catalog.get_view("rhev", "restore", filter, reply) || reply.type() != json_spirit::array_type ||
      reply.get_array().empty()) {
    RHV_LOG_ERROR("Failed to retrieve catalogs for RHV VM '%s', ID=%s, CAT=%s, RSP=%s.\n", params_.vm_name.c_str(),
                  params_.vm_id.c_str(), params_.catalog_uuid.c_str(), JSON_Dump(reply).c_str());
    return false;
  }
  cats_ = reply.get_array();
  RHV_LOG_INFO("Successfully retrieve catalogs for RHV VM '%s', SIZE=%B\n", params_.vm_name.c_str(), cats_.size());
  return true;
}

bool RHV_Agent_Restore::prepare_vm(const json_spirit::Object* vm)
{
  RHV_CHECK_NOT_NULL(vm, false);
  if (!restore_vm_.vm.load(*vm)) {
    RHV_LOG_ERROR("Failed to load VM '%s' info.\n", params_.vm_name.c_str());
    return false;
  }
  return true;
}

bool RHV_Agent_Restore::prepare_disks(const json_spirit::Array* disk_attachments, const json_spirit::Array* disk_pieces)
{
  RHV_CHECK_NOT_NULL(disk_attachments, false);
  RHV_CHECK_NOT_NULL(disk_pieces, false);
  RHV_VM_Progress_Info* info = progress();
  try {
    // The backed-up attachments by disk id; the first of a disk id stands.
    std::map<std::string, RHV_Disk_Attachment> backed_up;
    for (const json_spirit::Value& v : *disk_attachments) {
      if (v.type() != json_spirit::obj_type)
        continue;
      RHV_Disk_Attachment attachment;
      if (!attachment.load(v.get_obj())) {
        RHV_LOG_ERROR("Failed to load disk for VM '%s'.\n", params_.vm_name.c_str());
        return false;
      }
      if (attachment.disk.storage_domains.empty()) {
        RHV_LOG_ERROR("No storage domain found for disk '%s' for VM %s.\n", attachment.disk.id.c_str(),
                      params_.vm_name.c_str());
        return false;
      }
      backed_up.emplace(attachment.disk.id, attachment);
    }

    // The disks the task names, in its order; the VM's other disks are not restored.
    for (const RHV_Restore_Disk& wanted : params_.disks) {
      auto it = backed_up.find(wanted.id);
      if (it == backed_up.end()) {
        RHV_LOG_ERROR("Disk %s not found for VM %s.\n", wanted.id.c_str(), params_.vm_name.c_str());
        return false;
      }
      std::shared_ptr<Restore_Disk> restore_disk = make_shared_nothrow<Restore_Disk>();
      RHV_CHECK_NOT_NULL(restore_disk, false);
      restore_disk->source_disk_id = wanted.id;
      restore_disk->source_disk_name = it->second.disk.name;
      restore_disk->source_datastore_id = wanted.source_datastore_id;
      restore_disk->target_datastore_id =
          params_.original_restore ? wanted.source_datastore_id : wanted.target_datastore_id;
      rhv_storages_.insert(restore_disk->target_datastore_id);
      restore_disk->attachment = RHV_Disk_Attachment(it->second);
      restore_disks_.push_back(restore_disk);
    }

    // Each piece goes to the first disk whose id holds the piece's object id.
    for (const json_spirit::Value& v : *disk_pieces) {
      if (v.type() != json_spirit::obj_type)
        continue;
      const json_spirit::Object& obj = v.get_obj();
      std::string object;
      unsigned long size = 0;
      std::string path;
      unsigned long block_size = 0;
      json_spirit::pextract_or_throw(obj)("/object", object)("/size", size)("/path", path)(
          "/extended_attrs/block_size", block_size);
      for (const std::shared_ptr<Restore_Disk>& disk : restore_disks_) {
        if (disk->source_disk_id.find(object) == std::string::npos)
          continue;
        Disk_Piece piece;
        piece.remote_path = path;
        piece.size = size;
        piece.block_size = block_size;
        disk->pieces.push_back(piece);
        if (info != nullptr)
          info->total_bytes.fetch_add(size);
        break;
      }
    }

    if (info != nullptr)
      info->virtual_disk_count = static_cast<int32_t>(restore_disks_.size());
    return true;
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to prepare RHV VM disks '%s', '%s'.\n", params_.vm_name.c_str(), e.what());
    return false;
  }
}

bool RHV_Agent_Restore::prepare_pool_info(const json_spirit::Array* storages, const std::string& uri)
{
  RHV_CHECK_NOT_NULL(storages, false);
  return get_pool(get_pool_uuid(*storages), uri);
}

std::string RHV_Agent_Restore::get_pool_uuid(const json_spirit::Array& storages)
{
  if (!params_.pool_uuid.empty())
    return params_.pool_uuid;
  return Backup_Set_Storage_Selector(storages, Backup_Set_Storage_Selector::MODE_REGISTERED).pool_uuid();
}

bool RHV_Agent_Restore::get_pool(const std::string& pool_uuid, const std::string& uri)
{
  Pool_Info info;
  if (!get_pool_info(upstream_, pool_uuid, nullptr, info, false, nullptr, params_.retry_seconds, -1, true, nullptr,
                     nullptr, false)) {
    RHV_LOG_ERROR("Failed to get details of storage pool %s.\n", pool_uuid.c_str());
    return false;
  }
  RHV_LOG_INFO("Target storage pool %s(uuid=%s) selected.\n", info.name.c_str(), info.uuid.c_str());

  pool_.io_opts = params_.client_io_opts;
  if (!set_options_by_pool(pool_.io_opts, info)) {
    RHV_LOG_ERROR("Failed to set I/O options of storage pool %s.\n", pool_uuid.c_str());
    return false;
  }
  pool_.url = info.url + "/" + uri;
  return true;
}
