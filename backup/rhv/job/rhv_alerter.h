#ifndef BACKUP_RHV_JOB_RHV_ALERTER_H
#define BACKUP_RHV_JOB_RHV_ALERTER_H

// Alerts of the RHV module: events reported to the backup server, each with a 64-bit id
// and a JSON array of parameters.
//
// An id holds the level in bits 63 to 60 (7 error, 5 warning, 3 information) and, below
// it, the RHV block 0x3290000000 plus the code number (1 to 32). The job side raises its
// alerts through the job library with the level and the code number apart
// (AGENT_RHEV_CODE_*); a servant worker raises its own through RHV_Servant_Alerter with
// the whole id (AGENT_RHEV_*).

#include <cstdint>
#include <string>
#include <vector>

#include "platform/job/job_activity.h"
#include "platform/json/value.h"

struct RHV_Params;

// The code numbers of the RHV block, as the job library takes them.
enum RHV_Alert_Code {
  AGENT_RHEV_CODE_FAILED_TO_LOGIN_RHV = 1,
  AGENT_RHEV_CODE_FAILED_TO_ADD_VM = 2,
  AGENT_RHEV_CODE_NO_BACKUP_TARGET = 3,
  AGENT_RHEV_CODE_NO_RESTORE_TARGET = 4,
  AGENT_RHEV_CODE_NO_BACKUP_DISKS = 5,
  AGENT_RHEV_CODE_DATASTORE_SPACE_NOT_ENOUGH = 6,
  AGENT_RHEV_CODE_FAILED_TO_CREATE_SNAPSHOT = 7,
  AGENT_RHEV_CODE_SUCCEED_TO_CREATE_SNAPSHOT = 8,
  AGENT_RHEV_CODE_FAILED_TO_REMOVE_SNAPSHOT = 9,
  AGENT_RHEV_CODE_SUCCEED_TO_REMOVE_SNAPSHOT = 10,
  AGENT_RHEV_CODE_FAILED_TO_CREATE_BACKUP = 11,
  AGENT_RHEV_CODE_SUCCEED_TO_CREATE_BACKUP = 12,
  AGENT_RHEV_CODE_FAILED_TO_FINALIZE_BACKUP = 13,
  AGENT_RHEV_CODE_SUCCEED_TO_FINALIZE_BACKUP = 14,
  AGENT_RHEV_CODE_FAILED_TO_CREATE_TRANSFER = 15,
  AGENT_RHEV_CODE_SUCCEED_TO_CREATE_TRANSFER = 16,
  AGENT_RHEV_CODE_FAILED_TO_FINALIZE_TRANSFER = 17,
  AGENT_RHEV_CODE_SUCCEED_TO_FINALIZE_TRANSFER = 18,
  AGENT_RHEV_CODE_FAILED_TO_ATTACH_DISK = 19,
  AGENT_RHEV_CODE_SUCCEED_TO_ATTACH_DISK = 20,
  AGENT_RHEV_CODE_FAILED_TO_DETACH_DISK = 21,
  AGENT_RHEV_CODE_SUCCEED_TO_DETACH_DISK = 22,
  AGENT_RHEV_CODE_FAILED_TO_CREATE_DISK = 23,
  AGENT_RHEV_CODE_SUCCEED_TO_CREATE_DISK = 24,
  AGENT_RHEV_CODE_FAILED_TO_CREATE_VM = 25,
  AGENT_RHEV_CODE_SUCCEED_TO_CREATE_VM = 26,
  AGENT_RHEV_CODE_FAILED_TO_GET_CATALOG = 27,
  AGENT_RHEV_CODE_FAILED_TO_SUBMIT_CATALOG = 28,
  AGENT_RHEV_CODE_NO_BASE_FULL_BACKUP_SET_EXIST = 29,
  AGENT_RHEV_CODE_FAILED_TO_RESTORE_DATA = 30,
  AGENT_RHEV_CODE_SUCCEED_TO_BACKUP_VM = 31,
  AGENT_RHEV_CODE_POWERON_FAILED = 32
};

// Alert levels, as the job library takes them.
enum RHV_Alert_Level {
  AGENT_RHEV_LEVEL_INFO = 3,
  AGENT_RHEV_LEVEL_WARNING = 5,
  AGENT_RHEV_LEVEL_ERROR = 7
};

// The whole id of a code at a level.
constexpr uint64_t rhv_alert_id(unsigned level, unsigned code)
{
  return (static_cast<uint64_t>(level) << 60) | 0x3290000000ULL | code;
}

// The alert ids of the RHV block.
enum : uint64_t {
  AGENT_RHEV_ERROR_FAILED_TO_LOGIN_RHV = rhv_alert_id(7, 1),
  AGENT_RHEV_ERROR_FAILED_TO_ADD_VM = rhv_alert_id(7, 2),
  AGENT_RHEV_WARNING_NO_BACKUP_TARGET = rhv_alert_id(5, 3),
  AGENT_RHEV_WARNING_NO_RESTORE_TARGET = rhv_alert_id(5, 4),
  AGENT_RHEV_ERROR_NO_BACKUP_DISKS = rhv_alert_id(7, 5),
  AGENT_RHEV_ERROR_DATASTORE_SPACE_NOT_ENOUGH = rhv_alert_id(7, 6),
  AGENT_RHEV_ERROR_FAILED_TO_CREATE_SNAPSHOT = rhv_alert_id(7, 7),
  AGENT_RHEV_INFO_SUCCEED_TO_CREATE_SNAPSHOT = rhv_alert_id(3, 8),
  AGENT_RHEV_ERROR_FAILED_TO_REMOVE_SNAPSHOT = rhv_alert_id(7, 9),
  AGENT_RHEV_INFO_SUCCEED_TO_REMOVE_SNAPSHOT = rhv_alert_id(3, 10),
  AGENT_RHEV_ERROR_FAILED_TO_CREATE_BACKUP = rhv_alert_id(7, 11),
  AGENT_RHEV_INFO_SUCCEED_TO_CREATE_BACKUP = rhv_alert_id(3, 12),
  AGENT_RHEV_ERROR_FAILED_TO_FINALIZE_BACKUP = rhv_alert_id(7, 13),
  AGENT_RHEV_INFO_SUCCEED_TO_FINALIZE_BACKUP = rhv_alert_id(3, 14),
  AGENT_RHEV_ERROR_FAILED_TO_CREATE_TRANSFER = rhv_alert_id(7, 15),
  AGENT_RHEV_INFO_SUCCEED_TO_CREATE_TRANSFER = rhv_alert_id(3, 16),
  AGENT_RHEV_ERROR_FAILED_TO_FINALIZE_TRANSFER = rhv_alert_id(7, 17),
  AGENT_RHEV_INFO_SUCCEED_TO_FINALIZE_TRANSFER = rhv_alert_id(3, 18),
  AGENT_RHEV_ERROR_FAILED_TO_ATTACH_DISK = rhv_alert_id(7, 19),
  AGENT_RHEV_INFO_SUCCEED_TO_ATTACH_DISK = rhv_alert_id(3, 20),
  AGENT_RHEV_ERROR_FAILED_TO_DETACH_DISK = rhv_alert_id(7, 21),
  AGENT_RHEV_INFO_SUCCEED_TO_DETACH_DISK = rhv_alert_id(3, 22),
  AGENT_RHEV_ERROR_FAILED_TO_CREATE_DISK = rhv_alert_id(7, 23),
  AGENT_RHEV_INFO_SUCCEED_TO_CREATE_DISK = rhv_alert_id(3, 24),
  AGENT_RHEV_ERROR_FAILED_TO_CREATE_VM = rhv_alert_id(7, 25),
  AGENT_RHEV_INFO_SUCCEED_TO_CREATE_VM = rhv_alert_id(3, 26),
  AGENT_RHEV_ERROR_FAILED_TO_GET_CATALOG = rhv_alert_id(7, 27),
  AGENT_RHEV_ERROR_FAILED_TO_SUBMIT_CATALOG = rhv_alert_id(7, 28),
  AGENT_RHEV_ERROR_NO_BASE_FULL_BACKUP_SET_EXIST = rhv_alert_id(7, 29),
  AGENT_RHEV_ERROR_FAILED_TO_RESTORE_DATA = rhv_alert_id(7, 30),
  AGENT_RHEV_INFO_SUCCEED_TO_BACKUP_VM = rhv_alert_id(3, 31),
  AGENT_RHEV_WARNING_POWERON_FAILED = rhv_alert_id(5, 32)
};

// Sends the alerts of one servant worker straight to the backup server: one alert client
// per alert, nothing queued or retried. A failure to send is a warning in the log only;
// the worker's flow never depends on it.
//
// init() binds the alerter to the worker's task parameters and job activity record, both
// owned by the worker and alive as long as the alerter. After init the alerter holds no
// mutable state, so the worker's threads may raise alerts at the same time.
class RHV_Servant_Alerter {
public:
  RHV_Servant_Alerter() = default;
  RHV_Servant_Alerter(const RHV_Servant_Alerter&) = delete;
  RHV_Servant_Alerter& operator=(const RHV_Servant_Alerter&) = delete;

  // `act` may be null (the alerts then carry no activity). A null `params` is refused.
  bool init(RHV_Params* params, Job_Activity* act);

  void failed_to_login_rhv(const std::string& username, const std::string& host, uint16_t port);
  void no_backup_disks(const std::string& vm_name);
  void datastore_space_not_enough();
  void failed_to_create_snapshot(const std::string& vm_name, const std::string& description);
  void succeed_to_create_snapshot(const std::string& vm_name, const std::string& description);
  void failed_to_remove_snapshot(const std::string& vm_name, const std::string& description);
  void succeed_to_remove_snapshot(const std::string& vm_name, const std::string& description);
  void failed_to_create_backup(const std::string& a, const std::string& b);
  void succeed_to_create_backup(const std::string& a, const std::string& b);
  void failed_to_finalize_backup(const std::string& a, const std::string& b);
  void succeed_to_finalize_backup(const std::string& a, const std::string& b);
  void failed_to_create_transfer(const std::string& a);
  void succeed_to_create_transfer(const std::string& a);
  void failed_to_finalize_transfer(const std::string& a);
  void succeed_to_finalize_transfer(const std::string& a);
  void failed_to_attach_disk(const std::string& agent_vm_name, const std::string& disk_name);
  void succeed_to_attach_disk(const std::string& agent_vm_name, const std::string& disk_name);
  void failed_to_detach_disk(const std::string& agent_vm_name, const std::string& disk_name);
  void succeed_to_detach_disk(const std::string& agent_vm_name, const std::string& disk_name);
  void failed_to_create_disk(const std::string& disk_name);
  void succeed_to_create_disk(const std::string& disk_name);
  void failed_to_create_vm(const std::string& vm_name);
  void succeed_to_create_vm(const std::string& vm_name);
  void failed_to_get_catalog();
  void failed_to_submit_catalog();
  void no_base_full_backup_set_exist(const std::string& a);
  void failed_to_restore_data();
  void failed_to_poweron_vm(const std::string& vm_name);

  // Sends one alert with its parameters, in order, as the alert's JSON array.
  void send_alert(unsigned long id, std::vector<json_spirit::Value> params);

private:
  RHV_Params* rhv_params_ = nullptr;
  Job_Activity* job_act_ = nullptr;
};

#endif  // BACKUP_RHV_JOB_RHV_ALERTER_H
