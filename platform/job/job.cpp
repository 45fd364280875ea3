#include "platform/job/job.h"

#include <ace/Log_Msg.h>

#include <chrono>
#include <cstring>
#include <new>

#include "backup/scrt/log.h"
#include "platform/runtime/uuid.h"

namespace {

struct Live_Jobs {
  std::mutex mutex;
  std::condition_variable none_left;
  size_t count = 0;
};

Live_Jobs& live()
{
  static Live_Jobs l;
  return l;
}

}  // namespace

Job::Job(const Job_Definition_var& definition) : definition_(definition)
{
  if (definition_.get() == nullptr)
    definition_ = Job_Definition_var(new Job_Definition());
  log_ = std::make_shared<Job_Log>(Job_Log::path_for(definition_->id()));
  open_activity();
}

Job::~Job()
{
  activity_map_.close();
}

Job::Live_Token::Live_Token()
{
  Live_Jobs& l = live();
  std::lock_guard<std::mutex> lock(l.mutex);
  ++l.count;
}

Job::Live_Token::~Live_Token()
{
  Live_Jobs& l = live();
  std::lock_guard<std::mutex> lock(l.mutex);
  if (--l.count == 0)
    l.none_left.notify_all();
}

void Job::open_activity()
{
  const std::string& id = definition_->id();
  if (!id.empty() && activity_map_.open(id.c_str(), true, true, 0750)) {
    activity_ = activity_map_.get();
  } else {
    RHV_LOG(-1, LM_ERROR, "Failed to create job activity %s, using a private record.\n",
            id.c_str());
    private_activity_.reset(new Job_Activity);
    activity_ = private_activity_.get();
  }
  // A re-created activity starts afresh.
  std::memset(static_cast<void*>(activity_), 0, sizeof(Job_Activity));
  uuid_generate_v4(activity_->id);
  activity_->state = JOB_STATE_IDLE;
  sync();
  sync_count_ = 0;
}

void Job::intrusive_add_ref(Job* job)
{
  if (job != nullptr)
    job->refs_.fetch_add(1);
}

void Job::intrusive_remove_ref(Job* job)
{
  if (job == nullptr)
    return;
  // Whether this was the last reference is decided by the decrement itself.
  if (job->refs_.fetch_sub(1) == 1)
    delete job;
}

// ---- Default hooks ----

int Job::handle_exception(int)
{
  return 0;
}

int Job::start_i(const Action_Options*)
{
  return -1;
}

int Job::stop_i(const Action_Options*)
{
  return -1;
}

int Job::pause_i(const Action_Options*)
{
  return -1;
}

int Job::resume_i(const Action_Options*)
{
  return -1;
}

int Job::enable_i()
{
  return 0;
}

int Job::disable_i()
{
  return 0;
}

int Job::switch_i(const Action_Options*)
{
  return -1;
}

int Job::abort_i(const Action_Options*)
{
  return -1;
}

int Job::remove_i(bool, const Action_Options*)
{
  return 0;
}

int Job::update_i(Job_Definition_var)
{
  return 0;
}

bool Job::can_update_i(const Job_Definition_var&)
{
  return true;
}

int Job::rollback_i()
{
  return 0;
}

int Job::setup_ondemand_i()
{
  return 0;
}

int Job::setup_ondemand_by_job(const Action_Options*)
{
  return 0;
}

int Job::handle_timeout(const ACE_Time_Value&, const void*)
{
  return 0;
}

// ---- Services ----

int Job::state_i(Job_State state)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    activity_->state = state;
    state_history_.push_back(state);
  }
  state_event_.signal();
  return 0;
}

std::vector<int> Job::state_history() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return state_history_;
}

int Job::state(Job_State state)
{
  int rc = state_i(state);
  sync();
  return rc;
}

int Job::sync(const void*)
{
  ++sync_count_;
  if (!activity_map_)
    return 0;
  return activity_map_.sync();
}

void Job::set_job_thread()
{
  ACE_Log_Msg* log = ACE_Log_Msg::instance();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    saved_callback_ = log->msg_callback();
  }
  log->msg_callback(log_.get());
  if (!(log->flags() & ACE_Log_Msg::MSG_CALLBACK))
    log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
}

void Job::complete()
{
  ACE_Log_Msg* log = ACE_Log_Msg::instance();
  std::lock_guard<std::mutex> lock(mutex_);
  if (log->msg_callback() == log_.get())
    log->msg_callback(saved_callback_);
  saved_callback_ = nullptr;
  ++completed_;
  completed_cond_.notify_all();
}

bool Job::wait_complete(int seconds, int runs) const
{
  std::unique_lock<std::mutex> lock(mutex_);
  return completed_cond_.wait_for(lock, std::chrono::seconds(seconds),
                                  [&] { return completed_ >= runs; });
}

int Job::completed() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return completed_;
}

void Job::set_result(const std::string& key, const json_spirit::Value& value)
{
  std::lock_guard<std::mutex> lock(mutex_);
  results_[key] = value;
}

json_spirit::Object Job::results() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return results_;
}

void Job::record_event(Job_Event event)
{
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<Job_Event> Job::events() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

size_t Job::live_jobs()
{
  Live_Jobs& l = live();
  std::lock_guard<std::mutex> lock(l.mutex);
  return l.count;
}

bool Job::wait_no_live_jobs(int seconds)
{
  Live_Jobs& l = live();
  std::unique_lock<std::mutex> lock(l.mutex);
  return l.none_left.wait_for(lock, std::chrono::seconds(seconds), [&] { return l.count == 0; });
}

// ---- Job_Creator ----

Job_Creator::~Job_Creator() = default;

int Job_Creator::init(int, char**)
{
  return 0;
}

int Job_Creator::fini()
{
  return 0;
}
