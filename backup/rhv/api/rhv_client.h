#ifndef BACKUP_RHV_API_RHV_CLIENT_H
#define BACKUP_RHV_API_RHV_CLIENT_H

// The logged-in handle on one RHV engine.
//
// login() creates and initialises a session of the requested kind, proves the
// credentials with a GET of the API root and reads the engine's version from the reply.
// The client then hands out resource services bound to the same shared session; a
// service keeps the session alive, so it may outlive the client. There is no logout.
//
// A client whose login failed must not be used for requests: it may still hold the
// session that failed (callers go by the result of login(), not by operator bool).
// Not safe for concurrent use (see RHV_Session): each thread of work logs in with a
// client of its own, or serialises its calls on a shared one.

#include <string>

#include "backup/rhv/api/rhv_backup_service.h"
#include "backup/rhv/api/rhv_defs.h"
#include "backup/rhv/api/rhv_infra_services.h"
#include "backup/rhv/api/rhv_service.h"
#include "backup/rhv/api/rhv_session.h"
#include "backup/rhv/api/rhv_vm_services.h"
#include "backup/scrt/secure_string.h"

class RHV_Client {
public:
  RHV_Client() = default;

  // `auth_type` "basic" or "oauth"; an empty `url_prefix` means "ovirt-engine".
  bool login(const std::string& auth_type, std::string host, unsigned short port, bool ssl, std::string username,
             secure_string password, std::string url_prefix);

  const RHV_Session_var& session() const { return session_; }
  // The engine version read at login; defaults until then.
  const RHV_Version& version() const { return version_; }
  explicit operator bool() const { return static_cast<bool>(session_); }

  RHV_Data_Center_Service data_center_service() const { return RHV_Data_Center_Service(session_); }
  RHV_Cluster_Service cluster_service() const { return RHV_Cluster_Service(session_); }
  RHV_Network_Service network_service() const { return RHV_Network_Service(session_); }
  RHV_Host_Service host_service() const { return RHV_Host_Service(session_); }
  // "/imagetransfers" (rhv_backup_service.h).
  RHV_Image_Transfer_Service image_transfer_service() const;
  RHV_Storage_Domain_Service storage_domain_service() const { return RHV_Storage_Domain_Service(session_); }
  // Without cluster filter.
  RHV_VM_Service vm_service() const { return RHV_VM_Service(session_); }
  RHV_Disk_Service disk_service() const { return RHV_Disk_Service(session_); }
  RHV_VNIC_Profile_Service vnic_profile_service() const { return RHV_VNIC_Profile_Service(session_); }

private:
  // GET of the API root; reads the version when the reply carries one.
  bool access_api_entry_point();

  RHV_Session_var session_;
  RHV_Version version_;
};

#endif
