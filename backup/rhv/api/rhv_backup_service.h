#ifndef BACKUP_RHV_API_RHV_BACKUP_SERVICE_H
#define BACKUP_RHV_API_RHV_BACKUP_SERVICE_H

// Services of the engine's incremental-backup API: the backups of a VM and the disks each
// backup exposes, the checkpoints of a VM, and image transfers. Request shapes, failure
// lines and value semantics: rhv_service.h; the shared operation shapes: rhv_vm_services.h.
//
// Made by RHV_VM_Service::backup_service() and checkpoint_service(), and by
// RHV_Client::image_transfer_service(); they share the client's session.
//
// A backup runs as: add() (phase "initializing", then "ready"), the disks read through
// image transfers opened on the backup, then finalize() ("finalizing", then "succeeded").
// A transfer runs as: add() ("initializing", then "transferring", with its transfer URL),
// the data moved through the imageio daemon (rhv_image_io.h), then finalize().

#include <string>
#include <vector>

#include "backup/rhv/api/rhv_defs_backup.h"
#include "backup/rhv/api/rhv_defs_vm.h"
#include "backup/rhv/api/rhv_service.h"
#include "platform/json/value.h"

// The disks of one backup of a VM: "/vms/<vm id>/backups/<backup id>/disks".
class RHV_Backup_Disk_Service : public RHV_Service {
public:
  RHV_Backup_Disk_Service(RHV_Session_var session, const std::string& vm_id, const std::string& backup_id);

  const std::string& vm_id() const { return vm_id_; }
  const std::string& backup_id() const { return backup_id_; }

  bool list(json_spirit::Value& result);
  bool list(std::vector<RHV_Disk>& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Disk& out);

private:
  std::string vm_id_;
  std::string backup_id_;
};

// The backups of one VM: "/vms/<vm id>/backups".
class RHV_Backup_Service : public RHV_Service {
public:
  RHV_Backup_Service(RHV_Session_var session, const std::string& vm_id);

  const std::string& vm_id() const { return vm_id_; }

  // "follow" = `follow` when it is not empty.
  bool list(json_spirit::Value& result, const std::string& follow = std::string());
  // RHV_FOLLOW_DISKS brings each backup's disks along ("follow=disks").
  bool list(std::vector<RHV_Backup>& out, ACE_UINT64 follow_flags = RHV_NO_FOLLOW);
  bool get(const std::string& id, json_spirit::Value& result, const std::string& follow = std::string());
  bool get(const std::string& id, RHV_Backup& out, ACE_UINT64 follow_flags = RHV_NO_FOLLOW);
  // Starts a backup: POST of the body; the engine answers with the backup it made.
  bool add(const json_spirit::Value& body, json_spirit::Value& result);
  bool add(const RHV_Backup& in, RHV_Backup& out);
  // The record becomes the engine's view of the new backup (its id and phase).
  bool add(RHV_Backup& rec);
  // Ends a backup: POST of {} to "<service>/<id>/finalize"; failure line
  // "Failed to call 'finalize <service>/<id>'.".
  bool finalize(const std::string& id);

  RHV_Backup_Disk_Service disk_service(const std::string& backup_id) const;

  // The "follow" text of the flags: "disks" for RHV_FOLLOW_DISKS, else none.
  static std::string build_follow(ACE_UINT64 flags);

private:
  std::string vm_id_;
};

// The checkpoints of one VM: "/vms/<vm id>/checkpoints".
class RHV_Checkpoint_Service : public RHV_Service {
public:
  RHV_Checkpoint_Service(RHV_Session_var session, const std::string& vm_id);

  const std::string& vm_id() const { return vm_id_; }

  bool list(json_spirit::Value& result);
  bool list(std::vector<RHV_Checkpoint>& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Checkpoint& out);
  // No query.
  bool remove(const std::string& id);

private:
  std::string vm_id_;
};

// Image transfers: "/imagetransfers".
class RHV_Image_Transfer_Service : public RHV_Service {
public:
  explicit RHV_Image_Transfer_Service(RHV_Session_var session);

  bool list(json_spirit::Value& result);
  bool list(std::vector<RHV_Image_Transfer>& out);
  bool get(const std::string& id, json_spirit::Value& result);
  bool get(const std::string& id, RHV_Image_Transfer& out);
  // Opens a transfer: POST of the body; the engine answers with the transfer it made.
  bool add(const json_spirit::Value& body, json_spirit::Value& result);
  bool add(const RHV_Image_Transfer& in, RHV_Image_Transfer& out);
  bool add(RHV_Image_Transfer& rec);
  // Ends a transfer: POST of {} to "<service>/<id>/finalize"; failure line
  // "Failed to call 'finalize <service>/<id>'.".
  bool finalize(const std::string& id);
};

#endif
