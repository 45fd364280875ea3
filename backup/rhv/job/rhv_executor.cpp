#include "backup/rhv/job/rhv_executor.h"

#include <ace/Time_Value.h>

#include <new>

#include "backup/rhv/common/rhv_utils.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "platform/json/object_get.h"

namespace {

// Alert codes raised by the job side (level 7: error).
const int AGENT_RHEV_CODE_FAILED_TO_LOGIN_RHV = 1;

// The longest single wait of the guard and of the progress loop.
const int WAIT_SECONDS = 5;
// The progress loop also looks at the scheduler this often while it waits, so that the
// end of the run is noticed without waiting for the next report.
const int RUNNING_CHECK_MSEC = 100;

}  // namespace

RHV_Executor::RHV_Executor(Job& job)
  : RHV_Job_Executor_Base(job), progress_reporter_(evt_handler_, act_)
{
}

RHV_Executor::~RHV_Executor() {}

RHV_Executor::Job_Guard RHV_Executor::make_job_guard(const std::string& key)
{
  ACE_Time_Value timeout(WAIT_SECONDS);
  ACE_Thread_Mutex& mutex = Job_Mutex::get(key);
  Job_Guard g(new (std::nothrow) ACE_Guard<ACE_Thread_Mutex>(mutex, false));
  RHV_CHECK_NOT_NULL(g, Job_Guard());

  while (!g->locked()) {
    RHV_LOG_INFO("Waiting for other jobs of this RHV(%s) to be completed.\n", key.c_str());
    job_.state_event().wait(&timeout, 0);
    // Only a request to cancel ends the wait; a job that is already canceled or aborting
    // keeps waiting for its turn.
    if (act_.state.load() == JOB_STATE_CANCELING)
      return Job_Guard();
    g->tryacquire();
  }
  return g;
}

bool RHV_Executor::init()
{
  if (!get_host_info(def_.host_id(), host_info_)) {
    RHV_LOG_ERROR("Failed to get RHV resource.\n");
    return false;
  }
  if (!client_.login(host_info_.auth_type, host_info_.host, host_info_.port, host_info_.ssl, host_info_.username,
                     host_info_.password, host_info_.url_prefix)) {
    json_spirit::Array params;
    params.push_back(json_spirit::Value(host_info_.username));
    params.push_back(json_spirit::Value(host_info_.host));
    params.push_back(json_spirit::Value(static_cast<int>(host_info_.port)));
    write_job_alert(job_, 7, AGENT_RHEV_CODE_FAILED_TO_LOGIN_RHV, 0, &params, 1);
    RHV_LOG_ERROR("%s failed to login RHV %s:%d.\n", host_info_.username.c_str(), host_info_.host.c_str(),
                  static_cast<int>(host_info_.port));
    return false;
  }
  return init_i();
}

bool RHV_Executor::is_canceled() const
{
  int32_t state = act_.state.load();
  return state == JOB_STATE_CANCELING || state == JOB_STATE_CANCELED || state == JOB_STATE_ABORTING;
}

void RHV_Executor::report_progress(Servant_Task_Scheduler& scheduler)
{
  const ACE_Time_Value slice(0, RUNNING_CHECK_MSEC * 1000);
  while (scheduler.is_running() && !is_canceled()) {
    progress_reporter_.report(false);
    // Up to 5 seconds until the next report; a change of the job's state ends the wait.
    for (int waited = 0; waited < WAIT_SECONDS * 1000 && scheduler.is_running(); waited += RUNNING_CHECK_MSEC) {
      ACE_Time_Value timeout(slice);
      if (job_.state_event().wait(&timeout, 0) == 0)
        break;
    }
  }
}

Task_Base::Error RHV_Executor::handle_result(JSON_RPC_Object_var reply)
{
  const JSON_RPC_Object_var& obj = reply;
  if (obj.null() || obj->type() != JSON_RPC_Object::TYPE_RESPONSE) {
    if (!obj.null() && obj->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR) {
      const JSON_RPC_Response_Error* error = static_cast<const JSON_RPC_Response_Error*>(obj.get());
      RHV_LOG_ERROR("JSON-RPC request returned errno %d: %s\n", error->code, error->message.c_str());
    }
    RHV_CHECK_JSON_RPC_RESPONSE(obj, Task_Base::CODE_FAILED);
  }

  const JSON_RPC_Response* rsp = static_cast<const JSON_RPC_Response*>(obj.get());
  if (rsp->result.type() != json_spirit::obj_type) {
    RHV_LOG(-1, LM_EMERGENCY, "Unexpected error in backup/rhv/job/rhv_executor:%d, rsp->result is not object!\n",
            __LINE__);
    return Task_Base::CODE_FAILED;
  }

  Task_Base::Error rc = handle_result_i(rsp->result.get_obj());
  if (rc == Task_Base::CODE_SUCCESS) {
    ++succeeded_vms_;
    return Task_Base::CODE_SUCCESS;
  }
  // A job being stopped never asks for a retry.
  return is_canceled() ? Task_Base::CODE_FAILED : rc;
}

bool RHV_Executor::activate_scheduler(Servant_Task_Scheduler& scheduler, uint32_t threads)
{
  return scheduler.activate(
      static_cast<int>(threads),
      [this](Servant& servant, const json_spirit::Object& params) { return init_servant(servant, params); },
      [this](JSON_RPC_Object_var reply) { return static_cast<int>(handle_result(reply)); });
}

bool RHV_Executor::init_servant(Servant& servant, const json_spirit::Object& params)
{
  std::shared_ptr<ACE_Log_Msg_Callback> callback = job_.log_msg_callback();
  std::string tag;
  if (!json_spirit::object_get(params, "vm_id", tag))
    tag = "RHV";
  return ::init_servant(servant, tag, callback);
}

void RHV_Executor::publish_results()
{
  json_spirit::Array histories;
  histories.reserve(histories_.size());
  for (const auto& history : histories_)
    histories.push_back(history.second);
  job_.set_result("rhev", json_spirit::Value(std::move(histories)));

  act_.size = source_size_.load();
  act_.set_size = set_size_.load();
  act_.set_storage_size = storage_size_.load();
}
