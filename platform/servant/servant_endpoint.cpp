#include "platform/servant/servant_endpoint.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Record.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/OS_NS_unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "backup/scrt/log.h"
#include "platform/config/standin_conf.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/jsonrpc/json_rpc_channel.h"

extern char** environ;

namespace {

typedef std::chrono::steady_clock Clock;

// A servant that has sent its reply gets this long to exit before it is killed.
const int REPLY_LINGER_SECONDS = 10;
// The most reply text a servant may write.
const size_t MAX_REPLY_BYTES = 64u << 20;

bool parse_seconds(const std::string& text, int& out)
{
  if (text.empty())
    return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 0 || v > INT_MAX)
    return false;
  out = static_cast<int>(v);
  return true;
}

bool valid_priority(long p)
{
  return p >= LM_TRACE && p < LM_MAX && (p & (p - 1)) == 0;
}

// Hands one log line to `callback`, or logs it on this thread when there is none.
void route_line(const std::shared_ptr<ACE_Log_Msg_Callback>& callback, ACE_Log_Priority priority,
                const std::string& text)
{
  if (callback) {
    ACE_Log_Record record(priority, ACE_OS::gettimeofday(), static_cast<long>(ACE_OS::getpid()));
    record.msg_data(text.c_str());
    callback->log(record);
  } else {
    ACE_Log_Msg::instance()->log(priority, "%s", text.c_str());
  }
}

// One line of a servant's standard error: a JSON log record, or any other text.
void route_stderr_line(const std::shared_ptr<ACE_Log_Msg_Callback>& callback,
                       const std::string& line)
{
  if (line.empty())
    return;
  json_spirit::Value v;
  if (line[0] == '{' && json_spirit::parse(line, v) && v.type() == json_spirit::obj_type) {
    const json_spirit::Object& o = v.get_obj();
    auto p = o.find("priority");
    auto t = o.find("text");
    if (p != o.end() && t != o.end() && p->second.type() == json_spirit::int_type &&
        !p->second.is_uint64() && valid_priority(static_cast<long>(p->second.get_int64())) &&
        t->second.type() == json_spirit::str_type) {
      route_line(callback, static_cast<ACE_Log_Priority>(p->second.get_int64()),
                 t->second.get_str());
      return;
    }
  }
  route_line(callback, LM_ERROR, line + "\n");
}

const char* label_of(const Servant& servant, const JSON_RPC_Request& request)
{
  return servant.tag().empty() ? request.method.c_str() : servant.tag().c_str();
}

// The reply among `replies` that answers `id`, or null. An error reply without an id
// (a servant that could not read the request) answers too.
JSON_RPC_Object_var matching_reply(const JSON_RPC_Object_var& reply, const json_spirit::Value& id)
{
  JSON_RPC_Object_var none;
  if (reply.get() == nullptr)
    return none;
  if (reply->type() == JSON_RPC_Object::TYPE_RESPONSE) {
    if (static_cast<const JSON_RPC_Response*>(reply.get())->id == id)
      return reply;
  } else if (reply->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR) {
    const json_spirit::Value& rid = static_cast<const JSON_RPC_Response_Error*>(reply.get())->id;
    if (rid == id || rid.is_null())
      return reply;
  }
  return none;
}

// ---- in-process handlers ----

std::mutex& registry_mutex()
{
  static std::mutex m;
  return m;
}

std::map<std::string, JSON_RPC_Handler*>& registered_handlers()
{
  static std::map<std::string, JSON_RPC_Handler*> handlers;
  return handlers;
}

// Handlers made from modules: loaded once, kept for the life of the process.
std::map<std::pair<std::string, std::string>, JSON_RPC_Handler*>& module_handlers()
{
  static std::map<std::pair<std::string, std::string>, JSON_RPC_Handler*> handlers;
  return handlers;
}

typedef void (*Gobble_Fn)(void*);
typedef JSON_RPC_Handler* (*Handler_Factory)(Gobble_Fn*);

JSON_RPC_Handler* module_handler(const std::string& module, const std::string& method)
{
  std::lock_guard<std::mutex> lock(registry_mutex());
  auto key = std::make_pair(module, method);
  auto it = module_handlers().find(key);
  if (it != module_handlers().end())
    return it->second;

  const char* factory_name = servant_handler_factory(method);
  if (factory_name == nullptr) {
    RHV_LOG_ERROR("No servant handler for method '%s'.\n", method.c_str());
    return nullptr;
  }
  if (module.empty()) {
    RHV_LOG_ERROR("No servant module is configured.\n");
    return nullptr;
  }
  // A module already loaded is found again; it is never unloaded.
  void* dl = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (dl == nullptr) {
    const char* why = ::dlerror();
    RHV_LOG_ERROR("Failed to load servant module '%s': %s.\n", module.c_str(),
                  why != nullptr ? why : "unknown error");
    return nullptr;
  }
  Handler_Factory factory = reinterpret_cast<Handler_Factory>(::dlsym(dl, factory_name));
  if (factory == nullptr) {
    RHV_LOG_ERROR("Servant module '%s' has no %s.\n", module.c_str(), factory_name);
    return nullptr;
  }
  Gobble_Fn gobble = nullptr;
  JSON_RPC_Handler* handler = factory(&gobble);
  if (handler == nullptr) {
    RHV_LOG(-1, LM_ERROR, "Failed to make servant handler %s, errno=%d, %m\n", factory_name, errno);
    return nullptr;
  }
  if (handler->init(0, nullptr) != 0) {
    RHV_LOG_ERROR("Failed to initialize servant handler %s.\n", factory_name);
    if (gobble != nullptr)
      gobble(handler);
    return nullptr;
  }
  module_handlers()[key] = handler;
  return handler;
}

JSON_RPC_Handler* registered_handler(const std::string& method)
{
  std::lock_guard<std::mutex> lock(registry_mutex());
  auto it = registered_handlers().find(method);
  return it == registered_handlers().end() ? nullptr : it->second;
}

// Installs a log callback on the calling thread for the life of the object.
class Thread_Log_Route {
public:
  explicit Thread_Log_Route(ACE_Log_Msg_Callback* callback) : active_(callback != nullptr)
  {
    if (!active_)
      return;
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    previous_ = log->msg_callback(callback);
    if (!(log->flags() & ACE_Log_Msg::MSG_CALLBACK))
      log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
  }
  ~Thread_Log_Route()
  {
    if (active_)
      ACE_Log_Msg::instance()->msg_callback(previous_);
  }
  Thread_Log_Route(const Thread_Log_Route&) = delete;
  Thread_Log_Route& operator=(const Thread_Log_Route&) = delete;

private:
  bool active_;
  ACE_Log_Msg_Callback* previous_ = nullptr;
};

class Inprocess_Endpoint : public Servant_Endpoint {
public:
  Inprocess_Endpoint(const std::string& module, const std::string& method)
    : module_(module), method_(method)
  {
  }

  JSON_RPC_Object_var call(const Servant& servant, const JSON_RPC_Request& request,
                           const Servant_Call_Control&) override
  {
    const char* label = label_of(servant, request);
    JSON_RPC_Handler* handler = registered_handler(method_);
    if (handler == nullptr)
      handler = module_handler(module_, method_);
    if (handler == nullptr) {
      RHV_LOG_ERROR("Failed to start servant '%s'.\n", label);
      return internal_error(request.id, "Failed to start servant.");
    }

    Loopback_Channel* loopback = new (std::nothrow) Loopback_Channel();
    JSON_RPC_Object_var obj = json_rpc_object_clone(request);
    if (loopback == nullptr || obj.get() == nullptr) {
      delete loopback;
      RHV_LOG_ERROR("Failed to start servant '%s': out of memory.\n", label);
      return internal_error(request.id, "Failed to start servant.");
    }
    JSON_RPC_Channel_var strong(loopback);
    std::string died;
    {
      Thread_Log_Route route(servant.log_msg_callback().get());
      try {
        handler->handle(JSON_RPC_Channel_Weak_var(strong), obj);
      } catch (const std::exception& e) {
        died = e.what();
      } catch (...) {
        died = "unknown exception";
      }
    }
    if (!died.empty()) {
      RHV_LOG_ERROR("Servant '%s' died: %s.\n", label, died.c_str());
      return internal_error(request.id, "Servant died.");
    }
    std::vector<JSON_RPC_Object_var> sent = loopback->sent();
    for (const JSON_RPC_Object_var& m : sent) {
      JSON_RPC_Object_var reply = matching_reply(m, request.id);
      if (reply.get() != nullptr)
        return reply;
    }
    if (sent.empty())
      RHV_LOG_ERROR("Servant '%s' sent no reply.\n", label);
    else
      RHV_LOG_ERROR("Servant '%s' sent an invalid reply: %s.\n", label,
                    JSON_RPC_Object_Dump(sent.front()).c_str());
    return internal_error(request.id, "Servant sent no reply.");
  }

private:
  std::string module_;
  std::string method_;
};

// ---- process ----

void close_fd(int& fd)
{
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

int seconds_since(Clock::time_point t)
{
  return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t).count());
}

class Process_Endpoint : public Servant_Endpoint {
public:
  Process_Endpoint(const Servant_Settings& settings, const std::string& method)
    : settings_(settings), method_(method)
  {
  }

  JSON_RPC_Object_var call(const Servant& servant, const JSON_RPC_Request& request,
                           const Servant_Call_Control& control) override;

private:
  Servant_Settings settings_;
  std::string method_;
};

// One run of the servant host program.
class Servant_Run {
public:
  Servant_Run(const Servant_Settings& settings, const Servant& servant,
              const JSON_RPC_Request& request, const Servant_Call_Control& control)
    : settings_(settings), servant_(servant), request_(request), control_(control),
      label_(label_of(servant, request))
  {
  }
  ~Servant_Run()
  {
    close_fd(io_);
    close_fd(err_);
  }
  Servant_Run(const Servant_Run&) = delete;
  Servant_Run& operator=(const Servant_Run&) = delete;

  JSON_RPC_Object_var run();

private:
  bool start();
  // True when bytes moved or a channel closed.
  bool pump(int timeout_ms);
  void flush_stderr(bool all);
  // True once the servant process has ended (it is left to be reaped for its status).
  bool ended() const;
  // Takes what an ended servant left in its channels and closes them.
  void drain();
  // Closes both channels, giving the log what is left of stderr.
  void close_channels();
  // Kills the servant when a reason to has come; true when it was killed.
  bool check_kill();
  void kill_servant();
  JSON_RPC_Object_var reply();

  const Servant_Settings& settings_;
  const Servant& servant_;
  const JSON_RPC_Request& request_;
  const Servant_Call_Control& control_;
  std::string label_;

  pid_t pid_ = -1;
  int io_ = -1;   // the servant's standard input and output
  int err_ = -1;  // its standard error
  std::string request_text_;
  size_t request_sent_ = 0;
  std::string out_;
  std::string err_text_;
  bool reply_complete_ = false;
  bool killed_ = false;
  int status_ = 0;

  Clock::time_point started_;
  Clock::time_point last_stop_check_;
  bool stop_seen_ = false;
  Clock::time_point stop_time_;
  bool idle_seen_ = false;  // replied, or closed its output
  Clock::time_point idle_time_;
};

bool Servant_Run::start()
{
  int io[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, io) != 0) {
    RHV_LOG(-1, LM_ERROR, "Failed to create servant channel, errno=%d, %m\n", errno);
    return false;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    RHV_LOG(-1, LM_ERROR, "Failed to create servant log pipe, errno=%d, %m\n", errno);
    ::close(io[0]);
    ::close(io[1]);
    return false;
  }

  std::vector<std::string> args{settings_.host_binary, "--tag", servant_.tag()};
  if (!settings_.module.empty()) {
    args.push_back("--module");
    args.push_back(settings_.module);
  }
  if (servant_.config_loaded()) {
    args.push_back("--svc-conf");
    args.push_back(servant_.config_path());
  }
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, io[1], 0);
  posix_spawn_file_actions_adddup2(&actions, io[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t mask;
  sigemptyset(&mask);
  posix_spawnattr_setsigmask(&attr, &mask);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD})
    sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                      POSIX_SPAWN_SETPGROUP);
  int rc = ::posix_spawn(&pid_, settings_.host_binary.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  ::close(io[1]);
  ::close(err[1]);
  io_ = io[0];
  err_ = err[0];
  if (rc != 0) {
    pid_ = -1;
    errno = rc;
    RHV_LOG(-1, LM_ERROR, "Failed to start servant host '%s', errno=%d, %m\n",
            settings_.host_binary.c_str(), rc);
    return false;
  }
  ::fcntl(io_, F_SETFL, ::fcntl(io_, F_GETFL) | O_NONBLOCK);
  ::fcntl(err_, F_SETFL, ::fcntl(err_, F_GETFL) | O_NONBLOCK);
  request_text_ = JSON_Dump(request_.to_json()).release();
  request_text_.push_back('\n');
  return true;
}

void Servant_Run::flush_stderr(bool all)
{
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type nl = err_text_.find('\n', start);
    if (nl == std::string::npos)
      break;
    route_stderr_line(servant_.log_msg_callback(), err_text_.substr(start, nl - start));
    start = nl + 1;
  }
  err_text_.erase(0, start);
  if (all && !err_text_.empty()) {
    route_stderr_line(servant_.log_msg_callback(), err_text_);
    err_text_.clear();
  }
}

// Moves bytes between the servant and us for up to `timeout_ms`.
bool Servant_Run::pump(int timeout_ms)
{
  pollfd fds[2];
  nfds_t n = 0;
  int io_index = -1;
  int err_index = -1;
  if (io_ >= 0) {
    fds[n].fd = io_;
    fds[n].events = POLLIN;
    if (request_sent_ < request_text_.size())
      fds[n].events |= POLLOUT;
    fds[n].revents = 0;
    io_index = static_cast<int>(n++);
  }
  if (err_ >= 0) {
    fds[n].fd = err_;
    fds[n].events = POLLIN;
    fds[n].revents = 0;
    err_index = static_cast<int>(n++);
  }
  int rc = ::poll(n > 0 ? fds : nullptr, n, timeout_ms);
  if (rc <= 0)
    return false;
  bool moved = false;

  if (io_index >= 0) {
    short ev = fds[io_index].revents;
    if ((ev & POLLOUT) && request_sent_ < request_text_.size()) {
      ssize_t w = ::send(io_, request_text_.data() + request_sent_,
                         request_text_.size() - request_sent_, MSG_NOSIGNAL);
      if (w > 0) {
        request_sent_ += static_cast<size_t>(w);
        if (request_sent_ == request_text_.size())
          ::shutdown(io_, SHUT_WR);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        // The servant is gone or stopped reading; what it wrote is still read below.
        request_sent_ = request_text_.size();
        ::shutdown(io_, SHUT_WR);
      }
    }
    if (ev & (POLLIN | POLLHUP | POLLERR)) {
      char buf[65536];
      ssize_t r = ::read(io_, buf, sizeof buf);
      if (r > 0) {
        if (out_.size() + static_cast<size_t>(r) > MAX_REPLY_BYTES) {
          RHV_LOG_ERROR("Servant '%s' sent more than %B bytes.\n", label_.c_str(), MAX_REPLY_BYTES);
          kill_servant();
          return true;
        }
        moved = true;
        out_.append(buf, static_cast<size_t>(r));
        if (!reply_complete_ && out_.find('\n') != std::string::npos)
          reply_complete_ = true;
      } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
        moved = true;
        close_fd(io_);
      }
    }
  }
  if (err_index >= 0 && (fds[err_index].revents & (POLLIN | POLLHUP | POLLERR))) {
    char buf[16384];
    ssize_t r = ::read(err_, buf, sizeof buf);
    if (r > 0) {
      moved = true;
      err_text_.append(buf, static_cast<size_t>(r));
      flush_stderr(false);
    } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
      moved = true;
      close_fd(err_);
      flush_stderr(true);
    }
  }
  return moved;
}

bool Servant_Run::ended() const
{
  siginfo_t info;
  info.si_pid = 0;
  return pid_ > 0 &&
         ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
}

void Servant_Run::drain()
{
  // Whatever the servant started is ended with it: while the servant is unreaped its
  // process group cannot be taken by another. A child that left the group may still hold
  // the channels open, so what is there is read and they are closed without waiting for
  // their end.
  ::kill(-pid_, SIGKILL);
  while ((io_ >= 0 || err_ >= 0) && pump(0))
    ;
  close_channels();
}

void Servant_Run::close_channels()
{
  close_fd(io_);
  if (err_ >= 0) {
    close_fd(err_);
    flush_stderr(true);
  }
}

void Servant_Run::kill_servant()
{
  if (pid_ > 0 && !killed_) {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
  }
  killed_ = true;
  // Anything the servant's own children still hold open is abandoned.
  close_channels();
}

bool Servant_Run::check_kill()
{
  if (killed_)
    return true;
  if (control_.abandoned && control_.abandoned()) {
    RHV_LOG_WARNING("Killing servant '%s': its scheduler is going away.\n", label_.c_str());
    kill_servant();
    return true;
  }
  if (settings_.timeout > 0 && seconds_since(started_) >= settings_.timeout) {
    RHV_LOG_ERROR("Servant '%s' did not answer within %d seconds, killing it.\n", label_.c_str(),
                  settings_.timeout);
    kill_servant();
    return true;
  }
  if (!stop_seen_ && control_.stopped &&
      Clock::now() - last_stop_check_ >= std::chrono::seconds(1)) {
    last_stop_check_ = Clock::now();
    if (control_.stopped()) {
      stop_seen_ = true;
      stop_time_ = Clock::now();
    }
  }
  if (stop_seen_ && !reply_complete_ && seconds_since(stop_time_) >= settings_.stop_grace) {
    RHV_LOG_WARNING("Servant '%s' still runs %d seconds after the stop, killing it.\n",
                    label_.c_str(), settings_.stop_grace);
    kill_servant();
    return true;
  }
  if (!idle_seen_ && (reply_complete_ || io_ < 0)) {
    idle_seen_ = true;
    idle_time_ = Clock::now();
  }
  if (idle_seen_ && seconds_since(idle_time_) >= REPLY_LINGER_SECONDS) {
    RHV_LOG_WARNING("Servant '%s' did not exit after its reply, killing it.\n", label_.c_str());
    kill_servant();
    return true;
  }
  return false;
}

JSON_RPC_Object_var Servant_Run::run()
{
  started_ = Clock::now();
  last_stop_check_ = started_ - std::chrono::seconds(1);
  if (!start())
    return Servant_Endpoint::internal_error(request_.id, "Failed to start servant.");

  // Talk to the servant until it closes both outputs or ends, then reap it. Each wait is
  // short enough for the stop and kill rules to be applied about every second.
  while ((io_ >= 0 || err_ >= 0) && !check_kill()) {
    if (ended()) {
      drain();
      break;
    }
    pump(200);
  }
  for (;;) {
    pid_t r = ::waitpid(pid_, &status_, killed_ ? 0 : WNOHANG);
    if (r == pid_)
      break;
    if (r < 0 && errno != EINTR) {
      RHV_LOG(-1, LM_ERROR, "Failed to wait for servant '%s', errno=%d, %m\n", label_.c_str(), errno);
      status_ = 0;
      killed_ = true;
      break;
    }
    if (r == 0 && !check_kill())
      ::poll(nullptr, 0, 20);
  }
  pid_ = -1;
  return reply();
}

JSON_RPC_Object_var Servant_Run::reply()
{
  std::string line;
  std::string::size_type nl = out_.find('\n');
  line = nl == std::string::npos ? out_ : out_.substr(0, nl);

  if (!reply_complete_ && line.empty()) {
    if (killed_)
      RHV_LOG_ERROR("Servant '%s' was killed before it replied.\n", label_.c_str());
    else if (WIFSIGNALED(status_))
      RHV_LOG_ERROR("Servant '%s' died of signal %d without a reply.\n", label_.c_str(),
                    WTERMSIG(status_));
    else
      RHV_LOG_ERROR("Servant '%s' exited with status %d without a reply.\n", label_.c_str(),
                    WIFEXITED(status_) ? WEXITSTATUS(status_) : -1);
    return Servant_Endpoint::internal_error(request_.id, "Servant sent no reply.");
  }

  json_spirit::Value wire;
  std::string why;
  JSON_RPC_Object_var obj;
  if (json_spirit::parse(line, wire, &why))
    obj = json_rpc_object_from_json(wire, &why);
  JSON_RPC_Object_var reply = matching_reply(obj, request_.id);
  if (reply.get() == nullptr) {
    if (obj.get() != nullptr)
      why = "not the reply to the request";
    RHV_LOG_ERROR("Servant '%s' sent an invalid reply: %s.\n", label_.c_str(), why.c_str());
    return Servant_Endpoint::internal_error(request_.id, "Servant sent an invalid reply.");
  }
  if (!killed_ && WIFSIGNALED(status_))
    RHV_LOG_WARNING("Servant '%s' died of signal %d after its reply.\n", label_.c_str(),
                    WTERMSIG(status_));
  else if (!killed_ && WIFEXITED(status_) && WEXITSTATUS(status_) != 0)
    RHV_LOG_WARNING("Servant '%s' exited with status %d after its reply.\n", label_.c_str(),
                    WEXITSTATUS(status_));
  return reply;
}

JSON_RPC_Object_var Process_Endpoint::call(const Servant& servant, const JSON_RPC_Request& request,
                                           const Servant_Call_Control& control)
{
  Servant_Run run(settings_, servant, request, control);
  return run.run();
}

}  // namespace

// ---- Servant_Settings ----

bool Servant_Settings::resolve(const Servant& servant, Servant_Settings& out, std::string& error)
{
  std::shared_ptr<const Standin_Conf> conf = Standin_Conf::instance();
  Servant_Settings s;
  std::string mode = servant.config("mode", conf->servant_mode());
  if (mode == "process") {
    s.mode = MODE_PROCESS;
  } else if (mode == "inprocess") {
    s.mode = MODE_INPROCESS;
  } else {
    error = "unknown servant mode '" + mode + "'";
    return false;
  }
  s.module = servant.config("module", conf->servant_module());
  if (s.module.empty()) {
    const char* env = std::getenv("RHV_MODULE_PATH");
    if (env != nullptr)
      s.module = env;
  }
  s.host_binary = servant.config("host_binary", conf->servant_host_binary());
  std::string timeout = servant.config("timeout", "0");
  if (!parse_seconds(timeout, s.timeout)) {
    error = "invalid servant timeout '" + timeout + "'";
    return false;
  }
  std::string grace = servant.config("stop_grace", "60");
  if (!parse_seconds(grace, s.stop_grace)) {
    error = "invalid servant stop_grace '" + grace + "'";
    return false;
  }
  out = s;
  return true;
}

const char* servant_handler_factory(const std::string& method)
{
  if (method == "rhev.backup")
    return "_make_RHV_Backup_Servant_Handler";
  if (method == "rhev.restore")
    return "_make_RHV_Restore_Servant_Handler";
  return nullptr;
}

// ---- Servant_Endpoint ----

Servant_Endpoint::~Servant_Endpoint() = default;

std::unique_ptr<Servant_Endpoint> Servant_Endpoint::create(const Servant_Settings& settings,
                                                           const std::string& method)
{
  std::unique_ptr<Servant_Endpoint> endpoint;
  if (settings.mode == Servant_Settings::MODE_INPROCESS) {
    endpoint.reset(new (std::nothrow) Inprocess_Endpoint(settings.module, method));
  } else {
    if (settings.host_binary.empty()) {
      RHV_LOG_ERROR("No servant host program is configured.\n");
      return endpoint;
    }
    endpoint.reset(new (std::nothrow) Process_Endpoint(settings, method));
  }
  if (!endpoint)
    RHV_LOG_ERROR("Failed to create servant endpoint: out of memory.\n");
  return endpoint;
}

JSON_RPC_Object_var Servant_Endpoint::internal_error(const json_spirit::Value& id,
                                                     const char* message)
{
  return JSON_RPC_Object_var(new JSON_RPC_Response_Error(JSON_RPC_E_INTERNAL_ERROR, id, message,
                                                         json_spirit::Value::null));
}

JSON_RPC_Handler* register_inprocess_handler(const std::string& method, JSON_RPC_Handler* handler)
{
  std::lock_guard<std::mutex> lock(registry_mutex());
  JSON_RPC_Handler* previous = nullptr;
  auto it = registered_handlers().find(method);
  if (it != registered_handlers().end()) {
    previous = it->second;
    registered_handlers().erase(it);
  }
  if (handler != nullptr)
    registered_handlers()[method] = handler;
  return previous;
}
