#include "backup/rhv/servant/rhv_vm_base.h"

#include <ace/OS_NS_time.h>

#include <chrono>

#include "backup/rhv/job/rhv_backup_params.h"
#include "backup/rhv/job/rhv_restore_params.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "platform/job/job_types.h"

template <typename P>
RHV_VM_Base<P>::~RHV_VM_Base()
{
}

template <typename P>
bool RHV_VM_Base<P>::init()
{
  if (!job_act_.open(params_.def_id.c_str(), false, true, 0750)) {
    RHV_LOG_ERROR("Failed to open job activity %s.\n", params_.def_id.c_str());
    return false;
  }
  if (!alerter_.init(&params_, job_act_.get()))
    return false;

  const RHV_Host_Info& host = params_.host_info;
  if (!client_.login(host.auth_type, host.host, host.port, host.ssl, host.username, host.password, host.url_prefix)) {
    alerter_.failed_to_login_rhv(host.username, host.host, host.port);
    RHV_LOG_ERROR("%s failed to login RHV %s:%d.\n", host.username.c_str(), host.host.c_str(),
                  static_cast<int>(host.port));
    return false;
  }

  progress_.reset(new RHV_VM_Progress_Handle());
  if (progress_->open(params_.def_id.c_str(), params_.vm_id.c_str(), false, true, 0750) != 0) {
    RHV_LOG_ERROR("Failed to start progress reporter: unable to open shared memory '%s' for VM '%s'.\n",
                  params_.def_id.c_str(), params_.vm_id.c_str());
    return false;
  }
  RHV_VM_Progress_Info* info = progress();
  if (info == nullptr) {
    RHV_LOG(-1, LM_EMERGENCY, "Unexpected error in %N:%l, progress_ is NULL:\n%?\n");
    return false;
  }

  info->reset();
  const time_t now = ACE_OS::time();
  info->start_time = static_cast<int64_t>(now);
  info->state = STATE_RUNNING;
  start_time_ = now;
  return init_i();
}

template <typename P>
bool RHV_VM_Base<P>::is_canceled() const
{
  if (!job_act_)
    return false;
  const int32_t state = job_act_->state.load();
  return state == JOB_STATE_CANCELING || state == JOB_STATE_CANCELED || state == JOB_STATE_ABORTING;
}

template <typename P>
bool RHV_VM_Base<P>::cleanup_overdue() const
{
  if (!is_canceled())
    return false;
  const int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  int64_t start = 0;
  if (cleanup_start_.compare_exchange_strong(start, now))
    start = now;
  return now - start >= std::chrono::nanoseconds(std::chrono::seconds(CANCEL_CLEANUP_SECONDS)).count();
}

template <typename P>
bool RHV_VM_Base<P>::only_one_found(const char* kind, const std::string& what, const std::vector<std::string>& ids)
{
  if (ids.size() <= 1)
    return ids.size() == 1;
  std::string list;
  for (const std::string& id : ids)
    list.append(list.empty() ? "" : ", ").append(id);
  RHV_LOG_WARNING("Found %B %s %s, made without an answer: %s. None of them is removed.\n", ids.size(), kind,
                  what.c_str(), list.c_str());
  return false;
}

template <typename P>
void RHV_VM_Base<P>::finish_progress(bool succeeded, int64_t& start_time, int64_t& end_time)
{
  start_time = static_cast<int64_t>(start_time_);
  end_time = static_cast<int64_t>(ACE_OS::time());
  if (RHV_VM_Progress_Info* info = progress()) {
    info->state = succeeded ? STATE_COMPLETED : STATE_FAILED;
    info->end_time = end_time;
    start_time = info->start_time.load();
    end_time = info->end_time.load();
  }
}

template class RHV_VM_Base<RHV_Backup_Params>;
template class RHV_VM_Base<RHV_Restore_Params>;
