#include "backup/rhv/job/rhv_alerter.h"

#include <utility>

#include "backup/rhv/job/rhv_params.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "platform/alert/error_id.h"
#include "platform/alert/restful_alert_client.h"
#include "platform/job/job_types.h"
#include "platform/runtime/uuid.h"

bool RHV_Servant_Alerter::init(RHV_Params* params, Job_Activity* act)
{
  RHV_CHECK_NOT_NULL(params, false);
  rhv_params_ = params;
  job_act_ = act;
  return true;
}

void RHV_Servant_Alerter::send_alert(unsigned long id, std::vector<json_spirit::Value> params)
{
  RHV_CHECK_NOT_NULL(rhv_params_);

  std::string activity_id;
  int64_t start_time = 0;
  int64_t end_time = 0;
  if (job_act_ != nullptr) {
    activity_id = uuid_to_string(job_act_->id);
    start_time = job_act_->start_time.load();
    const int32_t state = job_act_->state.load();
    if (state == JOB_STATE_COMPLETED || state == JOB_STATE_CANCELED || state == JOB_STATE_ERROR)
      end_time = job_act_->last_run_time.load();
  }

  RESTful_Alert_Client client;
  if (!client.init(rhv_params_->backupd_host, rhv_params_->backupd_port, rhv_params_->backupd_ssl,
                   rhv_params_->access_key, -1, -1)) {
    RHV_LOG_WARNING("Failed to init RHV alert client.\n");
    return;
  }
  json_spirit::Array array(std::make_move_iterator(params.begin()), std::make_move_iterator(params.end()));
  if (!client.send_alert(id, array, rhv_params_->job_revision, rhv_params_->host_uuid, rhv_params_->resource_uuid,
                         rhv_params_->def_id, activity_id, start_time, end_time, 1)) {
    const Error_ID error_id(id);
    RHV_LOG_WARNING("Failed to send RHV alert level %d, code %d.\n", error_id.level(), error_id.code());
  }
}

namespace {

typedef std::vector<json_spirit::Value> Params;

Params texts(std::initializer_list<const std::string*> items)
{
  Params out;
  out.reserve(items.size());
  for (const std::string* item : items)
    out.emplace_back(*item);
  return out;
}

}  // namespace

void RHV_Servant_Alerter::failed_to_login_rhv(const std::string& username, const std::string& host, uint16_t port)
{
  Params params = texts({&username, &host});
  params.emplace_back(static_cast<int>(port));
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_LOGIN_RHV, std::move(params));
}

void RHV_Servant_Alerter::no_backup_disks(const std::string& vm_name)
{
  send_alert(AGENT_RHEV_ERROR_NO_BACKUP_DISKS, texts({&vm_name}));
}

void RHV_Servant_Alerter::datastore_space_not_enough()
{
  send_alert(AGENT_RHEV_ERROR_DATASTORE_SPACE_NOT_ENOUGH, Params());
}

void RHV_Servant_Alerter::failed_to_create_snapshot(const std::string& vm_name, const std::string& description)
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_CREATE_SNAPSHOT, texts({&vm_name, &description}));
}

void RHV_Servant_Alerter::succeed_to_create_snapshot(const std::string& vm_name, const std::string& description)
{
  send_alert(AGENT_RHEV_INFO_SUCCEED_TO_CREATE_SNAPSHOT, texts({&vm_name, &description}));
}

void RHV_Servant_Alerter::failed_to_remove_snapshot(const std::string& vm_name, const std::string& description)
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_REMOVE_SNAPSHOT, texts({&vm_name, &description}));
}

void RHV_Servant_Alerter::succeed_to_remove_snapshot(const std::string& vm_name, const std::string& description)
{
  send_alert(AGENT_RHEV_INFO_SUCCEED_TO_REMOVE_SNAPSHOT, texts({&vm_name, &description}));
}

void RHV_Servant_Alerter::failed_to_create_backup(const std::string& a, const std::string& b)
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_CREATE_BACKUP, texts({&a, &b}));
}

void RHV_Servant_Alerter::succeed_to_create_backup(const std::string& a, const std::string& b)
{
  send_alert(AGENT_RHEV_INFO_SUCCEED_TO_CREATE_BACKUP, texts({&a, &b}));
}

void RHV_Servant_Alerter::failed_to_finalize_backup(const std::string& a, const std::string& b)
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_FINALIZE_BACKUP, texts({&a, &b}));
}

void RHV_Servant_Alerter::succeed_to_finalize_backup(const std::string& a, const std::string& b)
{
  send_alert(AGENT_RHEV_INFO_SUCCEED_TO_FINALIZE_BACKUP, texts({&a, &b}));
}

void RHV_Servant_Alerter::failed_to_create_transfer(const std::string& a)
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_CREATE_TRANSFER, texts({&a}));
}

void RHV_Servant_Alerter::succeed_to_create_transfer(const std::string& a)
{
  send_alert(AGENT_RHEV_INFO_SUCCEED_TO_CREATE_TRANSFER, texts({&a}));
}

void RHV_Servant_Alerter::failed_to_finalize_transfer(const std::string& a)
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_FINALIZE_TRANSFER, texts({&a}));
}

void RHV_Servant_Alerter::succeed_to_finalize_transfer(const std::string& a)
{
  send_alert(AGENT_RHEV_INFO_SUCCEED_TO_FINALIZE_TRANSFER, texts({&a}));
}

void RHV_Servant_Alerter::failed_to_attach_disk(const std::string& agent_vm_name, const std::string& disk_name)
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_ATTACH_DISK, texts({&agent_vm_name, &disk_name}));
}

void RHV_Servant_Alerter::succeed_to_attach_disk(const std::string& agent_vm_name, const std::string& disk_name)
{
  send_alert(AGENT_RHEV_INFO_SUCCEED_TO_ATTACH_DISK, texts({&agent_vm_name, &disk_name}));
}

void RHV_Servant_Alerter::failed_to_detach_disk(const std::string& agent_vm_name, const std::string& disk_name)
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_DETACH_DISK, texts({&agent_vm_name, &disk_name}));
}

void RHV_Servant_Alerter::succeed_to_detach_disk(const std::string& agent_vm_name, const std::string& disk_name)
{
  send_alert(AGENT_RHEV_INFO_SUCCEED_TO_DETACH_DISK, texts({&agent_vm_name, &disk_name}));
}

void RHV_Servant_Alerter::failed_to_create_disk(const std::string& disk_name)
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_CREATE_DISK, texts({&disk_name}));
}

void RHV_Servant_Alerter::succeed_to_create_disk(const std::string& disk_name)
{
  send_alert(AGENT_RHEV_INFO_SUCCEED_TO_CREATE_DISK, texts({&disk_name}));
}

void RHV_Servant_Alerter::failed_to_create_vm(const std::string& vm_name)
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_CREATE_VM, texts({&vm_name}));
}

void RHV_Servant_Alerter::succeed_to_create_vm(const std::string& vm_name)
{
  send_alert(AGENT_RHEV_INFO_SUCCEED_TO_CREATE_VM, texts({&vm_name}));
}

void RHV_Servant_Alerter::failed_to_get_catalog()
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_GET_CATALOG, Params());
}

void RHV_Servant_Alerter::failed_to_submit_catalog()
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_SUBMIT_CATALOG, Params());
}

void RHV_Servant_Alerter::no_base_full_backup_set_exist(const std::string& a)
{
  send_alert(AGENT_RHEV_ERROR_NO_BASE_FULL_BACKUP_SET_EXIST, texts({&a}));
}

void RHV_Servant_Alerter::failed_to_restore_data()
{
  send_alert(AGENT_RHEV_ERROR_FAILED_TO_RESTORE_DATA, Params());
}

void RHV_Servant_Alerter::failed_to_poweron_vm(const std::string& vm_name)
{
  send_alert(AGENT_RHEV_WARNING_POWERON_FAILED, texts({&vm_name}));
}
