#include "backup/rhv/api/rhv_vm_services.h"

#include <algorithm>
#include <utility>

#include "backup/scrt/log.h"
#include "platform/json/json_pointer.h"
#include "platform/json/object_get.h"

// ---------------------------------------------------------------------------
// RHV_Disk_Attachment_Service

RHV_Disk_Attachment_Service::RHV_Disk_Attachment_Service(RHV_Session_var session, const std::string& vm_id)
  : RHV_Service(std::move(session), child_path("/vms", vm_id, "/diskattachments")), vm_id_(vm_id)
{
}

std::string RHV_Disk_Attachment_Service::build_follow(ACE_UINT64 flags)
{
  return (flags & RHV_FOLLOW_DISK) ? std::string("disk") : std::string();
}

bool RHV_Disk_Attachment_Service::list(json_spirit::Value& result, const std::string& follow)
{
  return list_value(RHV_Query()("follow", follow).str(), result);
}

bool RHV_Disk_Attachment_Service::list(RHV_Disk_Attachments& out, ACE_UINT64 follow_flags)
{
  json_spirit::Value reply;
  return list(reply, build_follow(follow_flags)) && load_list(reply, out, load_rhv_disk_attachments);
}

bool RHV_Disk_Attachment_Service::get(const std::string& id, json_spirit::Value& result, const std::string& follow)
{
  return get_value(id, RHV_Query()("follow", follow).str(), result);
}

bool RHV_Disk_Attachment_Service::get(const std::string& id, RHV_Disk_Attachment& out, ACE_UINT64 follow_flags)
{
  return get_record(id, RHV_Query()("follow", build_follow(follow_flags)).str(), out);
}

bool RHV_Disk_Attachment_Service::add(const json_spirit::Value& body, json_spirit::Value& result)
{
  return add_value(body, result);
}

bool RHV_Disk_Attachment_Service::add(const RHV_Disk_Attachment& in, RHV_Disk_Attachment& out)
{
  return add_record(in, out);
}

bool RHV_Disk_Attachment_Service::add(RHV_Disk_Attachment& rec)
{
  return add(rec, rec);
}

bool RHV_Disk_Attachment_Service::remove(const std::string& id, bool detach_only)
{
  return remove_value(id, RHV_Query()("detach_only", detach_only).str());
}

bool RHV_Disk_Attachment_Service::detach_disk(const std::string& disk_id)
{
  RHV_Disk_Attachments attachments;
  if (!list(attachments))
    return false;
  bool detached = true;
  for (const RHV_Disk_Attachment& attachment : attachments)
    if (attachment.disk.id == disk_id && !remove(attachment.id, true) && !gone())
      detached = false;
  return detached;
}

// ---------------------------------------------------------------------------
// RHV_NIC_Service

RHV_NIC_Service::RHV_NIC_Service(RHV_Session_var session, const std::string& vm_id)
  : RHV_Service(std::move(session), child_path("/vms", vm_id, "/nics")), vm_id_(vm_id)
{
}

bool RHV_NIC_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_NIC_Service::list(RHV_NICs& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_nics);
}

bool RHV_NIC_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_NIC_Service::get(const std::string& id, RHV_NIC& out)
{
  return get_record(id, std::string(), out);
}

bool RHV_NIC_Service::add(const json_spirit::Value& body, json_spirit::Value& result)
{
  return add_value(body, result);
}

bool RHV_NIC_Service::add(const RHV_NIC& in, RHV_NIC& out)
{
  return add_record(in, out);
}

bool RHV_NIC_Service::add(RHV_NIC& rec)
{
  return add(rec, rec);
}

// ---------------------------------------------------------------------------
// RHV_Snapshot_Disk_Service

RHV_Snapshot_Disk_Service::RHV_Snapshot_Disk_Service(RHV_Session_var session, const std::string& vm_id,
                                                     const std::string& snapshot_id)
  : RHV_Service(std::move(session), child_path("/vms", vm_id, "/snapshots/") + encode_segment(snapshot_id) + "/disks"),
    vm_id_(vm_id),
    snapshot_id_(snapshot_id)
{
}

bool RHV_Snapshot_Disk_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Snapshot_Disk_Service::list(RHV_Disks& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_disks);
}

bool RHV_Snapshot_Disk_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Snapshot_Disk_Service::get(const std::string& id, RHV_Disk& out)
{
  return get_record(id, std::string(), out);
}

// ---------------------------------------------------------------------------
// RHV_Snapshot_NIC_Service

RHV_Snapshot_NIC_Service::RHV_Snapshot_NIC_Service(RHV_Session_var session, const std::string& vm_id,
                                                   const std::string& snapshot_id)
  : RHV_Service(std::move(session), child_path("/vms", vm_id, "/snapshots/") + encode_segment(snapshot_id) + "/nics"),
    vm_id_(vm_id),
    snapshot_id_(snapshot_id)
{
}

bool RHV_Snapshot_NIC_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Snapshot_NIC_Service::list(RHV_NICs& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_nics);
}

bool RHV_Snapshot_NIC_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Snapshot_NIC_Service::get(const std::string& id, RHV_NIC& out)
{
  return get_record(id, std::string(), out);
}

// ---------------------------------------------------------------------------
// RHV_Snapshot_Service

RHV_Snapshot_Service::RHV_Snapshot_Service(RHV_Session_var session, const std::string& vm_id)
  : RHV_Service(std::move(session), child_path("/vms", vm_id, "/snapshots")), vm_id_(vm_id)
{
}

bool RHV_Snapshot_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Snapshot_Service::list(RHV_Snapshots& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_snapshots);
}

bool RHV_Snapshot_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Snapshot_Service::get(const std::string& id, RHV_Snapshot& out)
{
  return get_record(id, std::string(), out);
}

bool RHV_Snapshot_Service::add(const json_spirit::Value& body, json_spirit::Value& result)
{
  return add_value(body, result);
}

bool RHV_Snapshot_Service::add(const RHV_Snapshot& in, RHV_Snapshot& out)
{
  return add_record(in, out);
}

bool RHV_Snapshot_Service::add(RHV_Snapshot& rec)
{
  return add(rec, rec);
}

bool RHV_Snapshot_Service::remove(const std::string& id)
{
  return remove_value(id, std::string());
}

RHV_Snapshot_Disk_Service RHV_Snapshot_Service::disk_service(const std::string& snapshot_id) const
{
  return RHV_Snapshot_Disk_Service(session_, vm_id_, snapshot_id);
}

RHV_Snapshot_NIC_Service RHV_Snapshot_Service::nic_service(const std::string& snapshot_id) const
{
  return RHV_Snapshot_NIC_Service(session_, vm_id_, snapshot_id);
}

// ---------------------------------------------------------------------------
// RHV_VM_Service

RHV_VM_Service::RHV_VM_Service(RHV_Session_var session) : RHV_Service(std::move(session), "/vms") {}

RHV_VM_Service::RHV_VM_Service(RHV_Session_var session, const std::string& cluster_id)
  : RHV_Service(std::move(session), "/vms"), cluster_id_(cluster_id)
{
}

std::string RHV_VM_Service::build_follow(ACE_UINT64 flags)
{
  std::string follow;
  if (flags & (RHV_FOLLOW_DISK | RHV_FOLLOW_DISK_ATTACHMENTS))
    follow = "disk_attachments";
  if (flags & RHV_FOLLOW_DISK)
    follow += ".disk";
  if (flags & RHV_FOLLOW_NICS) {
    if (!follow.empty())
      follow += ',';
    follow += "nics";
  }
  return follow;
}

bool RHV_VM_Service::list(json_spirit::Value& result, const std::string& follow, const std::string& search,
                          bool case_sensitive)
{
  RHV_Query query;
  query("follow", follow);
  if (!search.empty())
    query("search", search)("case_sensitive", case_sensitive);
  if (!list_value(query.str(), result))
    return false;
  return filter_by_cluster(result);
}

bool RHV_VM_Service::filter_by_cluster(json_spirit::Value& result) const
{
  if (cluster_id_.empty())
    return true;
  json_spirit::Object& reply = result.get_obj();
  if (reply.empty())
    return true;
  json_spirit::Array* vms = json_spirit::object_get_array(reply, "vm");
  if (vms == nullptr || vms->empty())
    return false;

  const JSON_Pointer cluster_id("/cluster/id");
  auto other_cluster = [&](const json_spirit::Value& vm) {
    const std::string* id = nullptr;
    return vm.type() == json_spirit::obj_type && cluster_id.get(vm, id) && *id != cluster_id_;
  };
  vms->erase(std::remove_if(vms->begin(), vms->end(), other_cluster), vms->end());
  return true;
}

bool RHV_VM_Service::list(RHV_VMs& out, ACE_UINT64 follow_flags)
{
  json_spirit::Value reply;
  return list(reply, build_follow(follow_flags)) && load_list(reply, out, load_rhv_vms);
}

bool RHV_VM_Service::list(const std::string& name, RHV_VMs& out, ACE_UINT64 follow_flags, bool case_sensitive)
{
  json_spirit::Value reply;
  return list(reply, build_follow(follow_flags), "name=" + name, case_sensitive) &&
         load_list(reply, out, load_rhv_vms);
}

bool RHV_VM_Service::get(const std::string& id, json_spirit::Value& result, const std::string& follow)
{
  return get_value(id, RHV_Query()("follow", follow).str(), result);
}

bool RHV_VM_Service::get(const std::string& id, RHV_VM& out, ACE_UINT64 follow_flags)
{
  return get_record(id, RHV_Query()("follow", build_follow(follow_flags)).str(), out);
}

bool RHV_VM_Service::add(const json_spirit::Value& body, json_spirit::Value& result)
{
  return add_value(body, result);
}

bool RHV_VM_Service::add(const RHV_VM& in, RHV_VM& out)
{
  return add_record(in, out);
}

bool RHV_VM_Service::add(RHV_VM& rec)
{
  return add(rec, rec);
}

bool RHV_VM_Service::remove(const std::string& id, bool detach_only, bool force)
{
  return remove_value(id, RHV_Query()("detach_only", detach_only)("force", force).str());
}

bool RHV_VM_Service::start(const std::string& id)
{
  const json_spirit::Value body{json_spirit::Object()};
  json_spirit::Value result;
  if (handle_action(id, "start", nullptr, body, result))
    return true;
  RHV_LOG_ERROR("Failed to call 'start %s/%s'.\n", service_.c_str(), id.c_str());
  return false;
}

RHV_Disk_Attachment_Service RHV_VM_Service::disk_attachment_service(const std::string& vm_id) const
{
  return RHV_Disk_Attachment_Service(session_, vm_id);
}

RHV_Snapshot_Service RHV_VM_Service::snapshot_service(const std::string& vm_id) const
{
  return RHV_Snapshot_Service(session_, vm_id);
}

RHV_NIC_Service RHV_VM_Service::nic_service(const std::string& vm_id) const
{
  return RHV_NIC_Service(session_, vm_id);
}

// ---------------------------------------------------------------------------
// RHV_Disk_Service

RHV_Disk_Service::RHV_Disk_Service(RHV_Session_var session) : RHV_Service(std::move(session), "/disks") {}

bool RHV_Disk_Service::list(json_spirit::Value& result)
{
  return list_value(std::string(), result);
}

bool RHV_Disk_Service::list(RHV_Disks& out)
{
  json_spirit::Value reply;
  return list(reply) && load_list(reply, out, load_rhv_disks);
}

bool RHV_Disk_Service::list(const std::string& name, RHV_Disks& out)
{
  json_spirit::Value reply;
  return list_value(RHV_Query()("search", "name=" + name).str(), reply) && load_list(reply, out, load_rhv_disks);
}

bool RHV_Disk_Service::get(const std::string& id, json_spirit::Value& result)
{
  return get_value(id, std::string(), result);
}

bool RHV_Disk_Service::get(const std::string& id, RHV_Disk& out)
{
  return get_record(id, std::string(), out);
}

bool RHV_Disk_Service::add(const json_spirit::Value& body, json_spirit::Value& result)
{
  return add_value(body, result);
}

bool RHV_Disk_Service::add(const RHV_Disk& in, RHV_Disk& out)
{
  return add_record(in, out);
}

bool RHV_Disk_Service::add(RHV_Disk& rec)
{
  return add(rec, rec);
}

bool RHV_Disk_Service::remove(const std::string& id)
{
  return remove_value(id, std::string());
}
