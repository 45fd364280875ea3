#include "platform/servant/servant_task_scheduler.h"

#include <ace/Log_Msg.h>
#include <ace/Task.h>
#include <ace/Thread_Manager.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <utility>

#include "backup/scrt/log.h"
#include "platform/servant/servant_endpoint.h"

namespace {

typedef std::chrono::steady_clock Clock;

// An idle worker asks the stop predicate at least this often.
const std::chrono::milliseconds STOP_CHECK_INTERVAL(1000);

struct Task {
  json_spirit::Object params;
  std::string name;
  std::string uuid;
  unsigned number = 0;    // order of enqueueing, from 1
  unsigned attempts = 0;  // requests made so far
  Clock::time_point not_before;
};

std::string task_label(const Task& task)
{
  if (!task.name.empty())
    return task.name;
  if (!task.uuid.empty())
    return task.uuid;
  return "#" + std::to_string(task.number);
}

}  // namespace

struct Servant_Task_Scheduler::Impl : public ACE_Task_Base {
  explicit Impl(const std::string& n, size_t capacity) : name(n), capacity(capacity) {}

  int svc() override;

  // Asks the stop predicate (once it said true, stays stopped).
  bool check_stopped();
  // Takes the next task that is due, or decides that the worker ends (null).
  std::shared_ptr<Task> next_task();
  void run_task(const std::shared_ptr<Task>& task);
  JSON_RPC_Object_var request(Task& task, unsigned long id);
  int classify(const std::shared_ptr<Task>& task, const JSON_RPC_Object_var& reply);
  void finish_task(const std::shared_ptr<Task>& task, int result);
  // Drops the queued tasks; call with `mutex` held.
  void drop_queued_locked();
  Servant_Endpoint* endpoint_for(const Servant_Settings& settings);

  const std::string name;
  const size_t capacity;

  Stop_Callback stop_callback;
  std::mutex stop_mutex;  // one predicate call at a time
  std::atomic<bool> stopped{false};
  std::atomic<bool> abandoned{false};

  bool global_mutex_enabled = false;
  std::mutex global_mutex;
  int retry_count = 0;
  int retry_interval = 0;

  Init_Callback init;
  Result_Callback result;
  ACE_Log_Msg_Callback* log_callback = nullptr;  // of the thread that called activate()

  mutable std::mutex mutex;
  std::condition_variable cond;
  std::deque<std::shared_ptr<Task>> queue;
  size_t held = 0;     // tasks queued, running or waiting for a retry
  size_t running = 0;  // tasks being run by a worker
  bool activated = false;
  bool finished = false;
  unsigned next_number = 0;
  std::atomic<unsigned long> next_request_id{0};
  Counts counts;

  std::mutex endpoint_mutex;
  std::map<std::string, std::unique_ptr<Servant_Endpoint>> endpoints;
};

bool Servant_Task_Scheduler::Impl::check_stopped()
{
  if (stopped.load())
    return true;
  if (!stop_callback)
    return false;
  bool stop = false;
  {
    std::lock_guard<std::mutex> lock(stop_mutex);
    if (stopped.load())
      return true;
    try {
      stop = stop_callback();
    } catch (const std::exception& e) {
      RHV_LOG_ERROR("Stop callback of servant task scheduler '%s' failed: %s.\n", name.c_str(),
                    e.what());
    }
    if (stop)
      stopped.store(true);
  }
  if (stop) {
    RHV_LOG_INFO("Servant task scheduler '%s' stopped.\n", name.c_str());
    std::lock_guard<std::mutex> lock(mutex);
    drop_queued_locked();
    cond.notify_all();
  }
  return stop;
}

void Servant_Task_Scheduler::Impl::drop_queued_locked()
{
  if (queue.empty())
    return;
  size_t n = queue.size();
  for (const std::shared_ptr<Task>& t : queue)
    RHV_LOG_DEBUG("Dropping servant task '%s' of '%s'.\n", task_label(*t).c_str(), name.c_str());
  queue.clear();
  held -= n;
  counts.dropped += n;
  RHV_LOG_INFO("Dropped %B queued tasks of servant task scheduler '%s'.\n", n, name.c_str());
}

std::shared_ptr<Task> Servant_Task_Scheduler::Impl::next_task()
{
  for (;;) {
    bool stop = check_stopped();
    std::unique_lock<std::mutex> lock(mutex);
    if (stop || abandoned.load())
      drop_queued_locked();
    if (!queue.empty()) {
      Clock::time_point now = Clock::now();
      Clock::time_point wake = now + STOP_CHECK_INTERVAL;
      for (auto it = queue.begin(); it != queue.end(); ++it) {
        if ((*it)->not_before <= now) {
          std::shared_ptr<Task> task = *it;
          queue.erase(it);
          ++running;
          return task;
        }
        if ((*it)->not_before < wake)
          wake = (*it)->not_before;
      }
      cond.wait_until(lock, wake);
      continue;
    }
    if (running == 0) {
      // Nothing queued and nothing that could still be retried: every worker ends.
      finished = true;
      cond.notify_all();
      return std::shared_ptr<Task>();
    }
    cond.wait_for(lock, STOP_CHECK_INTERVAL);
  }
}

Servant_Endpoint* Servant_Task_Scheduler::Impl::endpoint_for(const Servant_Settings& settings)
{
  std::string key = std::to_string(settings.mode) + "\n" + settings.module + "\n" +
                    settings.host_binary + "\n" + std::to_string(settings.timeout) + "\n" +
                    std::to_string(settings.stop_grace);
  std::lock_guard<std::mutex> lock(endpoint_mutex);
  auto it = endpoints.find(key);
  if (it != endpoints.end())
    return it->second.get();
  std::unique_ptr<Servant_Endpoint> endpoint = Servant_Endpoint::create(settings, name);
  if (!endpoint)
    return nullptr;
  Servant_Endpoint* raw = endpoint.get();
  endpoints[key] = std::move(endpoint);
  return raw;
}

JSON_RPC_Object_var Servant_Task_Scheduler::Impl::request(Task& task, unsigned long id)
{
  const std::string label = task_label(task);
  json_spirit::Value rid(id);
  Servant servant;
  bool ok = false;
  try {
    ok = init(servant, task.params);
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Servant init callback of task '%s' failed: %s.\n", label.c_str(), e.what());
  }
  if (!ok) {
    RHV_LOG_ERROR("Failed to initialize servant of task '%s' of '%s'.\n", label.c_str(),
                  name.c_str());
    return Servant_Endpoint::internal_error(rid, "Failed to initialize servant.");
  }
  Servant_Settings settings;
  std::string error;
  if (!Servant_Settings::resolve(servant, settings, error)) {
    RHV_LOG_ERROR("Invalid servant configuration '%s': %s.\n", servant.config_path().c_str(),
                  error.c_str());
    return Servant_Endpoint::internal_error(rid, "Invalid servant configuration.");
  }
  Servant_Endpoint* endpoint = endpoint_for(settings);
  if (endpoint == nullptr)
    return Servant_Endpoint::internal_error(rid, "Failed to start servant.");

  JSON_RPC_Request req(name, json_spirit::Value(task.params), rid);
  Servant_Call_Control control;
  control.stopped = [this]() { return check_stopped(); };
  control.abandoned = [this]() { return abandoned.load(); };
  RHV_LOG_DEBUG("Running servant task '%s' of '%s', attempt %u.\n", label.c_str(), name.c_str(),
                task.attempts);
  return endpoint->call(servant, req, control);
}

int Servant_Task_Scheduler::Impl::classify(const std::shared_ptr<Task>& task,
                                           const JSON_RPC_Object_var& reply)
{
  int code = RESULT_FAILED;
  try {
    if (global_mutex_enabled) {
      std::lock_guard<std::mutex> lock(global_mutex);
      code = result(reply);
    } else {
      code = result(reply);
    }
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Result callback of task '%s' failed: %s.\n", task_label(*task).c_str(),
                  e.what());
    code = RESULT_FAILED;
  }
  return code;
}

void Servant_Task_Scheduler::Impl::finish_task(const std::shared_ptr<Task>& task, int code)
{
  const std::string label = task_label(*task);
  bool retry = false;
  if (code == RESULT_FAILED_RETRY) {
    if (task->attempts > static_cast<unsigned>(retry_count))
      RHV_LOG_INFO("Servant task '%s' of '%s' failed, no retry left.\n", label.c_str(),
                   name.c_str());
    else if (!check_stopped() && !abandoned.load())
      retry = true;
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (retry && !stopped.load()) {
    task->not_before = Clock::now() + std::chrono::seconds(retry_interval);
    queue.push_back(task);
    ++counts.retried;
    RHV_LOG_INFO("Retrying servant task '%s' of '%s' in %d seconds (retry %u of %d).\n",
                 label.c_str(), name.c_str(), retry_interval, task->attempts, retry_count);
  } else {
    --held;
    if (code == RESULT_SUCCESS)
      ++counts.succeeded;
    else
      ++counts.failed;
  }
  --running;
  cond.notify_all();
}

void Servant_Task_Scheduler::Impl::run_task(const std::shared_ptr<Task>& task)
{
  unsigned long id = ++next_request_id;
  ++task->attempts;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++counts.requests;
  }
  JSON_RPC_Object_var reply = request(*task, id);
  finish_task(task, classify(task, reply));
}

int Servant_Task_Scheduler::Impl::svc()
{
  ACE_Log_Msg* log = ACE_Log_Msg::instance();
  if (log_callback != nullptr) {
    log->msg_callback(log_callback);
    if (!(log->flags() & ACE_Log_Msg::MSG_CALLBACK))
      log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
  }
  for (;;) {
    std::shared_ptr<Task> task = next_task();
    if (!task)
      break;
    run_task(task);
  }
  if (log_callback != nullptr)
    log->msg_callback(nullptr);
  return 0;
}

// ---- Servant_Task_Scheduler ----

Servant_Task_Scheduler::Servant_Task_Scheduler(const std::string& name, size_t task_count)
  : impl_(new Impl(name, task_count))
{
}

Servant_Task_Scheduler::~Servant_Task_Scheduler()
{
  bool active;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    active = impl_->activated && !impl_->finished;
  }
  if (active) {
    RHV_LOG_WARNING("Servant task scheduler '%s' is destroyed while tasks run.\n",
                    impl_->name.c_str());
    impl_->abandoned.store(true);
    impl_->stopped.store(true);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->drop_queued_locked();
    impl_->cond.notify_all();
  }
  impl_->wait();
}

bool Servant_Task_Scheduler::register_stop_callback(Stop_Callback callback)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!callback || impl_->activated) {
    RHV_LOG_ERROR("Failed to register stop callback of servant task scheduler '%s'.\n",
                  impl_->name.c_str());
    return false;
  }
  impl_->stop_callback = std::move(callback);
  return true;
}

bool Servant_Task_Scheduler::enable_global_mutex()
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->activated) {
    RHV_LOG_ERROR("Servant task scheduler '%s' is already active.\n", impl_->name.c_str());
    return false;
  }
  impl_->global_mutex_enabled = true;
  return true;
}

bool Servant_Task_Scheduler::enable_retry(int retry_count, int retry_interval)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->activated || retry_count < 0 || retry_interval < 0) {
    RHV_LOG_ERROR("Failed to enable retry (%d, %d) of servant task scheduler '%s'.\n", retry_count,
                  retry_interval, impl_->name.c_str());
    return false;
  }
  impl_->retry_count = retry_count;
  impl_->retry_interval = retry_interval;
  return true;
}

bool Servant_Task_Scheduler::enqueue_task(const json_spirit::Object& params, const char*, int,
                                          const std::string& name, const std::string& uuid)
{
  std::shared_ptr<Task> task(new (std::nothrow) Task);
  if (!task) {
    RHV_LOG_ERROR("Failed to enqueue task '%s': out of memory.\n", name.c_str());
    return false;
  }
  task->params = params;
  task->name = name;
  task->uuid = uuid;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->stopped.load() || impl_->finished) {
    RHV_LOG_ERROR("Failed to enqueue task '%s': servant task scheduler '%s' has stopped.\n",
                  name.c_str(), impl_->name.c_str());
    return false;
  }
  if (impl_->held >= impl_->capacity) {
    RHV_LOG_ERROR("Failed to enqueue task '%s': servant task scheduler '%s' is full (%B tasks).\n",
                  name.c_str(), impl_->name.c_str(), impl_->capacity);
    return false;
  }
  task->number = ++impl_->next_number;
  task->not_before = Clock::now();
  impl_->queue.push_back(task);
  ++impl_->held;
  ++impl_->counts.enqueued;
  impl_->cond.notify_one();
  return true;
}

bool Servant_Task_Scheduler::activate(int n, Init_Callback init, Result_Callback result)
{
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (n < 1 || !init || !result || impl_->activated) {
      RHV_LOG_ERROR("Failed to activate servant task scheduler '%s' with %d threads.\n",
                    impl_->name.c_str(), n);
      return false;
    }
    impl_->init = std::move(init);
    impl_->result = std::move(result);
    impl_->log_callback = ACE_Log_Msg::instance()->msg_callback();
    impl_->activated = true;
  }
  if (impl_->activate(THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED, n) != 0) {
    int err = errno;
    RHV_LOG(-1, LM_ERROR, "Failed to start worker threads of servant task scheduler '%s', errno=%d, %m\n",
            impl_->name.c_str(), err);
    // Threads that did start end at once.
    impl_->abandoned.store(true);
    impl_->stopped.store(true);
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      impl_->drop_queued_locked();
      impl_->cond.notify_all();
    }
    impl_->wait();
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->finished = true;
    return false;
  }
  return true;
}

bool Servant_Task_Scheduler::is_running() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->activated && !impl_->finished;
}

bool Servant_Task_Scheduler::wait()
{
  return impl_->wait() == 0;
}

const std::string& Servant_Task_Scheduler::name() const
{
  return impl_->name;
}

bool Servant_Task_Scheduler::stopped() const
{
  return impl_->stopped.load();
}

Servant_Task_Scheduler::Counts Servant_Task_Scheduler::counts() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->counts;
}
