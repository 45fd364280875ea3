#include "backup/rhv/api/rhv_backup_service.h"

#include <utility>

#include "backup/rhv/api/rhv_client.h"
#include "backup/rhv/api/rhv_vm_services.h"
#include "backup/scrt/log.h"

namespace {

// POST of {} to "<service>/<id>/finalize".
bool finalize_item(RHV_Service& service, const std::string& id)
{
  json_spirit::Value body{json_spirit::Object()};
  json_spirit::Value result;
  if (service.handle_action(id, "finalize", nullptr, body, result))
    return true;
  RHV_LOG_ERROR("Failed to call 'finalize %s/%s'.\n", service.service().c_str(), id.c_str());
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// RHV_Backup_Disk_Service

RHV_Backup_Disk_Service::RHV_Backup_Disk_Service(RHV_Session_var session, const std::string& vm_id,
                                                 const std::string& backup_id)
  : RHV_Service(std::move(session), child_path(child_path("/vms", vm_id, "/backups").c_str(), backup_id, "/disks")),
    vm_id_(vm_id),
    backup_id_(backup_id)
{
}

bool RHV_Backup_Disk_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Backup_Disk_Service::list(std::vector<RHV_Disk>& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_disks);
}

bool RHV_Backup_Disk_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Backup_Disk_Service::get(const std::string& id, RHV_Disk& out)
{
  return get_record(id, std::string(), out);
}

// ---------------------------------------------------------------------------
// RHV_Backup_Service

RHV_Backup_Service::RHV_Backup_Service(RHV_Session_var session, const std::string& vm_id)
  : RHV_Service(std::move(session), child_path("/vms", vm_id, "/backups")), vm_id_(vm_id)
{
}

std::string RHV_Backup_Service::build_follow(ACE_UINT64 flags)
{
  return (flags & RHV_FOLLOW_DISKS) ? std::string("disks") : std::string();
}

bool RHV_Backup_Service::list(json_spirit::Value& result, const std::string& follow)
{
  return list_value(RHV_Query()("follow", follow).str(), result);
}

bool RHV_Backup_Service::list(std::vector<RHV_Backup>& out, ACE_UINT64 follow_flags)
{
  json_spirit::Value reply;
  return list(reply, build_follow(follow_flags)) && load_list(reply, out, load_rhv_backups);
}

bool RHV_Backup_Service::get(const std::string& id, json_spirit::Value& result, const std::string& follow)
{
  return get_value(id, RHV_Query()("follow", follow).str(), result);
}

bool RHV_Backup_Service::get(const std::string& id, RHV_Backup& out, ACE_UINT64 follow_flags)
{
  return get_record(id, RHV_Query()("follow", build_follow(follow_flags)).str(), out);
}

bool RHV_Backup_Service::add(const json_spirit::Value& body, json_spirit::Value& result)
{
  return add_value(body, result);
}

bool RHV_Backup_Service::add(const RHV_Backup& in, RHV_Backup& out)
{
  return add_record(in, out);
}

bool RHV_Backup_Service::add(RHV_Backup& rec)
{
  return add(rec, rec);
}

bool RHV_Backup_Service::finalize(const std::string& id)
{
  return finalize_item(*this, id);
}

RHV_Backup_Disk_Service RHV_Backup_Service::disk_service(const std::string& backup_id) const
{
  return RHV_Backup_Disk_Service(session_, vm_id_, backup_id);
}

// ---------------------------------------------------------------------------
// RHV_Checkpoint_Service

RHV_Checkpoint_Service::RHV_Checkpoint_Service(RHV_Session_var session, const std::string& vm_id)
  : RHV_Service(std::move(session), child_path("/vms", vm_id, "/checkpoints")), vm_id_(vm_id)
{
}

bool RHV_Checkpoint_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Checkpoint_Service::list(std::vector<RHV_Checkpoint>& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_checkpoints);
}

bool RHV_Checkpoint_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Checkpoint_Service::get(const std::string& id, RHV_Checkpoint& out)
{
  return get_record(id, std::string(), out);
}

bool RHV_Checkpoint_Service::remove(const std::string& id)
{
  return remove_value(id, std::string());
}

// ---------------------------------------------------------------------------
// RHV_Image_Transfer_Service

RHV_Image_Transfer_Service::RHV_Image_Transfer_Service(RHV_Session_var session)
  : RHV_Service(std::move(session), "/imagetransfers")
{
}

bool RHV_Image_Transfer_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Image_Transfer_Service::list(std::vector<RHV_Image_Transfer>& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_image_transfers);
}

bool RHV_Image_Transfer_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Image_Transfer_Service::get(const std::string& id, RHV_Image_Transfer& out)
{
  return get_record(id, std::string(), out);
}

bool RHV_Image_Transfer_Service::add(const json_spirit::Value& body, json_spirit::Value& result)
{
  return add_value(body, result);
}

bool RHV_Image_Transfer_Service::add(const RHV_Image_Transfer& in, RHV_Image_Transfer& out)
{
  return add_record(in, out);
}

bool RHV_Image_Transfer_Service::add(RHV_Image_Transfer& rec)
{
  return add(rec, rec);
}

bool RHV_Image_Transfer_Service::finalize(const std::string& id)
{
  return finalize_item(*this, id);
}

// ---------------------------------------------------------------------------
// The factories on the VM service and the client

RHV_Backup_Service RHV_VM_Service::backup_service(const std::string& vm_id) const
{
  return RHV_Backup_Service(session_, vm_id);
}

RHV_Checkpoint_Service RHV_VM_Service::checkpoint_service(const std::string& vm_id) const
{
  return RHV_Checkpoint_Service(session_, vm_id);
}

RHV_Image_Transfer_Service RHV_Client::image_transfer_service() const
{
  return RHV_Image_Transfer_Service(session_);
}
