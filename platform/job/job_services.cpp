#include "platform/job/job_services.h"

#include <ace/Log_Record.h>
#include <ace/OS_NS_unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "backup/scrt/log.h"
#include "platform/config/standin_conf.h"
#include "platform/host/path_conf.h"
#include "platform/json/json_dump.h"
#include "platform/runtime/uuid.h"

// ---- Job_Event_Handler ----

Job_Event_Handler::~Job_Event_Handler() = default;

int Job_Event_Handler::handle_start_job()
{
  Job_Activity& act = job_.activity();
  act.start_time = static_cast<int64_t>(::time(nullptr));
  // A stop, pause or abort that came before the run got here must not be lost.
  int32_t current = act.state.load();
  if (current != JOB_STATE_CANCELING && current != JOB_STATE_PAUSING &&
      current != JOB_STATE_ABORTING)
    job_.state(JOB_STATE_RUNNING);
  else
    job_.sync();
  Job_Event e;
  e.kind = Job_Event::START;
  e.state = act.state.load();
  job_.record_event(std::move(e));
  RHV_LOG(0, LM_INFO, "Job %s started.\n", job_.definition().id().c_str());
  return 0;
}

int Job_Event_Handler::finish(Job_Event::Kind kind, Job_State state, int code,
                              std::string message)
{
  Job_Activity& act = job_.activity();
  act.last_run_time = static_cast<int64_t>(::time(nullptr));
  job_.state(state);
  Job_Event e;
  e.kind = kind;
  e.code = code;
  e.message = std::move(message);
  e.state = state;
  job_.record_event(std::move(e));
  return 0;
}

int Job_Event_Handler::handle_success()
{
  RHV_LOG(0, LM_INFO, "Job %s completed.\n", job_.definition().id().c_str());
  return finish(Job_Event::SUCCESS, JOB_STATE_COMPLETED, 0, std::string());
}

int Job_Event_Handler::handle_failure(int code, const char* format, ...)
{
  std::string message;
  if (format != nullptr) {
    va_list ap;
    va_start(ap, format);
    char buf[1024];
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n > 0)
      message.assign(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n)
                                                              : sizeof buf - 1);
  }
  RHV_LOG(0, LM_ERROR, "Job %s failed with code %d%s%s\n", job_.definition().id().c_str(), code,
          message.empty() ? "." : ": ", message.c_str());
  return finish(Job_Event::FAILURE, JOB_STATE_ERROR, code, std::move(message));
}

int Job_Event_Handler::handle_paused()
{
  RHV_LOG(0, LM_INFO, "Job %s paused.\n", job_.definition().id().c_str());
  return finish(Job_Event::PAUSED, JOB_STATE_IDLE, 0, std::string());
}

int Job_Event_Handler::handle_canceled()
{
  RHV_LOG(0, LM_INFO, "Job %s canceled.\n", job_.definition().id().c_str());
  return finish(Job_Event::CANCELED, JOB_STATE_CANCELED, 0, std::string());
}

int Job_Event_Handler::handle_vm_progress(std::vector<VM_Job_Progress>& progress, int state,
                                          bool finished)
{
  Job_Event e;
  e.kind = Job_Event::VM_PROGRESS;
  e.progress = progress;
  e.state = state;
  e.finished = finished;
  job_.record_event(std::move(e));
  return 0;
}

// ---- Job_Mutex ----

ACE_Thread_Mutex& Job_Mutex::get(const std::string& key)
{
  static std::mutex table_mutex;
  // Never destroyed: threads may still hold a mutex while the process ends.
  static auto* table = new std::map<std::string, std::unique_ptr<ACE_Thread_Mutex>>();
  std::lock_guard<std::mutex> lock(table_mutex);
  std::unique_ptr<ACE_Thread_Mutex>& m = (*table)[key];
  if (!m)
    m.reset(new ACE_Thread_Mutex());
  return *m;
}

// ---- write_job_alert ----

int write_job_alert(Job& job, int level, int code, int /*flags*/,
                    const json_spirit::Array* params, int /*count*/)
{
  const Job_Definition& def = job.definition();
  const Job_Activity& act = job.activity();
  uint64_t id = (static_cast<uint64_t>(level & 0xf) << 60) |
                (UINT64_C(0x3290000000) + static_cast<uint64_t>(static_cast<uint32_t>(code)));

  json_spirit::Object uuids;
  uuids["host_uuid"] = def.host_id();
  uuids["resource_uuid"] = def.source() != nullptr ? def.source()->id() : std::string();
  uuids["def_id"] = def.id();
  json_spirit::Object alert;
  alert["id"] = json_spirit::Value(static_cast<unsigned long>(id));
  alert["level"] = level;
  alert["code"] = code;
  alert["params"] = params != nullptr ? json_spirit::Value(*params)
                                      : json_spirit::Value(json_spirit::Array());
  alert["revision"] = json_spirit::Value(static_cast<long>(def.job_revision()));
  alert["uuids"] = json_spirit::Value(std::move(uuids));
  alert["activity"] = uuid_to_string(act.id);
  alert["start"] = json_spirit::Value(static_cast<long>(act.start_time.load()));
  alert["end"] = json_spirit::Value(0L);
  std::string line = JSON_Dump(json_spirit::Value(std::move(alert))).release();
  line.push_back('\n');

  const std::string& sink = Standin_Conf::instance()->alert_sink();
  std::string::size_type slash = sink.rfind('/');
  if (slash != std::string::npos && slash > 0)
    make_directories(sink.substr(0, slash), 0750);
  int fd = ::open(sink.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) {
    RHV_LOG(-1, LM_ERROR, "Failed to open alert sink %s, errno=%d, %m\n", sink.c_str(), errno);
    return -1;
  }
  // Whole lines even when several processes raise alerts at once.
  ::flock(fd, LOCK_EX);
  ssize_t n;
  do {
    n = ::write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  int err = errno;
  ::flock(fd, LOCK_UN);
  ::close(fd);
  if (n != static_cast<ssize_t>(line.size())) {
    errno = err;
    RHV_LOG(-1, LM_ERROR, "Failed to write alert to %s, errno=%d, %m\n", sink.c_str(), err);
    return -1;
  }
  return 0;
}

extern char** environ;

// ---- execute_script ----

namespace {

void route_line(const std::shared_ptr<ACE_Log_Msg_Callback>& callback, const std::string& text)
{
  if (!callback)
    return;
  ACE_Log_Record record(LM_INFO, ACE_OS::gettimeofday(), static_cast<long>(ACE_OS::getpid()));
  std::string line = text + "\n";
  record.msg_data(line.c_str());
  callback->log(record);
}

}  // namespace

bool execute_script(const std::string& script, bool detached,
                    std::shared_ptr<ACE_Log_Msg_Callback> callback)
{
  if (script.empty())
    return true;

  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) {
    RHV_LOG(-1, LM_ERROR, "Failed to open /dev/null, errno=%d, %m\n", errno);
    return false;
  }
  int out[2] = {-1, -1};
  if (!detached && ::pipe2(out, O_CLOEXEC) != 0) {
    RHV_LOG(-1, LM_ERROR, "Failed to create a pipe for script, errno=%d, %m\n", errno);
    ::close(null_fd);
    return false;
  }
  int out_fd = detached ? null_fd : out[1];

  // The script text goes to the shell as one argument, never re-split. A detached
  // script is started in the background by a shell that ends at once, so the
  // script is left to init to reap and no thread of ours waits for it.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, null_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 2);
  const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr, nullptr, nullptr};
  if (detached) {
    argv[2] = "/bin/sh -c \"$1\" &";
    argv[3] = "sh";
    argv[4] = script.c_str();
  }
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv),
                         environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(null_fd);
  if (!detached)
    ::close(out[1]);
  if (rc != 0) {
    if (!detached)
      ::close(out[0]);
    errno = rc;
    RHV_LOG(-1, LM_ERROR, "Failed to run script, errno=%d, %m\n", rc);
    return false;
  }

  std::string pending;
  char buf[4096];
  while (!detached) {
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    pending.append(buf, static_cast<size_t>(n));
    std::string::size_type nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      route_line(callback, pending.substr(0, nl));
      pending.erase(0, nl + 1);
    }
  }
  if (!pending.empty())
    route_line(callback, pending);
  if (!detached)
    ::close(out[0]);

  int status = 0;
  pid_t w;
  do {
    w = ::waitpid(pid, &status, 0);
  } while (w < 0 && errno == EINTR);
  if (w < 0) {
    RHV_LOG(-1, LM_ERROR, "Failed to wait for script, errno=%d, %m\n", errno);
    return false;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return true;
  if (WIFEXITED(status))
    RHV_LOG(-1, LM_ERROR, "Script exited with code %d.\n", WEXITSTATUS(status));
  else
    RHV_LOG(-1, LM_ERROR, "Script ended by signal %d.\n",
            WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return false;
}
