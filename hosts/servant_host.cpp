// The servant host program: runs one servant request in a process of its own.
//
//   servant_host [--tag TAG] [--module MODULE] [--svc-conf FILE] [--canned FILE]
//
// It reads one JSON-RPC request (one line) on its standard input, loads the module,
// obtains the handler for the request's method through the module's factory
// ("rhev.backup" -> _make_RHV_Backup_Servant_Handler, "rhev.restore" ->
// _make_RHV_Restore_Servant_Handler) and lets it answer on its standard output. Every
// log line of the process goes to standard error as one JSON object
// {"priority": <ACE priority>, "text": "<line>"}, which the scheduler routes to the job
// log.
//
// The module is the one given by --module, else the "module" of the servant
// configuration file, else the platform configuration's servant_module, else the module
// this program was built with.
//
// Canned mode (tests, diagnostics): with --canned, or when the platform configuration
// sets "ext.servant_canned_replies", the program answers from that file instead of
// loading a module. The file is a JSON object keyed by tag ("*" for any other tag); each
// value is one behaviour, or an array of behaviours taken one per attempt (attempts of a
// tag are counted in the file "<canned file>.attempts.<tag>"; the last one repeats).
// A behaviour is an object:
//   "pid_file"   write the process id there first
//   "log"        [[priority, "text"], ...] logged first
//   "wait_file"  wait until that file exists
//   then one of:
//   "signal"     kill itself with that signal, without replying
//   "exit"       exit with that status, without replying
//   "raw"        write this text as the reply line
//   "error"      {"code", "message"}: an error reply
//   "result"     a response with this result
// Exit status: 0 when a reply was sent, 1 on a request that could not be served (an
// error reply was sent when possible), 3 when the handler sent no reply.

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Backend.h>
#include <ace/Log_Record.h>
#include <ace/Thread_Manager.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backup/scrt/log.h"
#include "platform/config/standin_conf.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/jsonrpc/json_rpc_channel.h"
#include "platform/jsonrpc/json_rpc_handler.h"
#include "platform/jsonrpc/json_rpc_object.h"
#include "platform/servant/servant.h"
#include "platform/servant/servant_endpoint.h"

namespace {

// Writes every log record of the process to standard error, one JSON object per line.
class Stderr_Backend : public ACE_Log_Msg_Backend {
public:
  int open(const ACE_TCHAR*) override { return 0; }
  int reset() override { return 0; }
  int close() override { return 0; }
  ssize_t log(ACE_Log_Record& record) override
  {
    json_spirit::Object o;
    o["priority"] = json_spirit::Value(static_cast<long>(record.type()));
    o["text"] = json_spirit::Value(record.msg_data());
    std::string line = JSON_Dump(o).release();
    line.push_back('\n');
    std::lock_guard<std::mutex> lock(mutex_);
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::write(2, p, left);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return -1;
      p += n;
      left -= static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(line.size());
  }

private:
  std::mutex mutex_;
};

// A channel on standard input and output that remembers whether it sent anything.
class Reply_Channel : public Stream_Channel {
public:
  Reply_Channel() : Stream_Channel(0, 1, false) {}
  using Stream_Channel::send;
  int send(const JSON_RPC_Object& obj) override
  {
    int rc = Stream_Channel::send(obj);
    if (rc == 0)
      sent_ = true;
    return rc;
  }
  bool sent() const { return sent_; }

private:
  bool sent_ = false;
};

ACE_THR_FUNC_RETURN first_thread(void*)
{
  return 0;
}

struct Options {
  std::string tag;
  std::string module;
  std::string svc_conf;
  std::string canned;
};

bool parse_args(int argc, char** argv, Options& opts)
{
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) {
      RHV_LOG_ERROR("Missing value of %s.\n", a.c_str());
      return false;
    }
    std::string v = argv[++i];
    if (a == "--tag")
      opts.tag = v;
    else if (a == "--module")
      opts.module = v;
    else if (a == "--svc-conf")
      opts.svc_conf = v;
    else if (a == "--canned")
      opts.canned = v;
    else {
      RHV_LOG_ERROR("Unknown option %s.\n", a.c_str());
      return false;
    }
  }
  return true;
}

// ---- canned mode ----

bool read_file(const std::string& path, std::string& out)
{
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

// The attempt number (from 0) of this run for `tag`.
size_t next_attempt(const std::string& canned, const std::string& tag)
{
  std::string path = canned + ".attempts." + tag;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0)
    return 0;
  size_t attempt = 0;
  if (::write(fd, "x", 1) == 1) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
      attempt = static_cast<size_t>(st.st_size) - 1;
  }
  ::close(fd);
  return attempt;
}

int canned_reply(const std::string& canned, const std::string& tag, Reply_Channel& channel,
                 const JSON_RPC_Request_Base& request)
{
  std::string text;
  json_spirit::Value doc;
  std::string why;
  if (!read_file(canned, text) || !json_spirit::parse(text, doc, &why) ||
      doc.type() != json_spirit::obj_type) {
    RHV_LOG_ERROR("Failed to read canned replies '%s'.\n", canned.c_str());
    channel.send_error(JSON_RPC_E_INTERNAL_ERROR, request.id, "No canned reply.",
                       json_spirit::Value::null);
    return 1;
  }
  const json_spirit::Object& entries = doc.get_obj();
  auto it = entries.find(tag);
  if (it == entries.end())
    it = entries.find("*");
  if (it == entries.end()) {
    RHV_LOG_ERROR("No canned reply for '%s'.\n", tag.c_str());
    channel.send_error(JSON_RPC_E_INTERNAL_ERROR, request.id, "No canned reply.",
                       json_spirit::Value::null);
    return 1;
  }
  json_spirit::Value behaviour = it->second;
  if (behaviour.type() == json_spirit::array_type) {
    const json_spirit::Array& attempts = behaviour.get_array();
    if (attempts.empty())
      return 1;
    size_t n = next_attempt(canned, tag);
    behaviour = attempts[n < attempts.size() ? n : attempts.size() - 1];
  }
  if (behaviour.type() != json_spirit::obj_type)
    return 1;
  const json_spirit::Object& b = behaviour.get_obj();

  auto member = [&b](const char* key) -> const json_spirit::Value* {
    auto m = b.find(key);
    return m == b.end() ? nullptr : &m->second;
  };
  if (const json_spirit::Value* v = member("pid_file")) {
    std::ofstream out(v->get_str());
    out << ::getpid() << "\n";
  }
  if (const json_spirit::Value* v = member("log")) {
    for (const json_spirit::Value& line : v->get_array()) {
      const json_spirit::Array& pair = line.get_array();
      ACE_Log_Msg::instance()->log(static_cast<ACE_Log_Priority>(pair.at(0).get_int64()), "%s",
                                   pair.at(1).get_str().c_str());
    }
  }
  if (const json_spirit::Value* v = member("wait_file")) {
    while (::access(v->get_str().c_str(), F_OK) != 0)
      ::usleep(10000);
  }
  if (const json_spirit::Value* v = member("signal")) {
    ::signal(static_cast<int>(v->get_int64()), SIG_DFL);
    ::raise(static_cast<int>(v->get_int64()));
    ::_exit(128 + static_cast<int>(v->get_int64()));
  }
  if (const json_spirit::Value* v = member("exit"))
    ::_exit(static_cast<int>(v->get_int64()));
  if (const json_spirit::Value* v = member("raw")) {
    std::string line = v->get_str() + "\n";
    if (::write(1, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      return 1;
    return 0;
  }
  if (const json_spirit::Value* v = member("error")) {
    const json_spirit::Object& e = v->get_obj();
    auto code = e.find("code");
    auto message = e.find("message");
    return channel.send_error(
               code != e.end() ? static_cast<int>(code->second.get_int64()) : JSON_RPC_E_INTERNAL_ERROR,
               request.id, message != e.end() ? message->second.get_str().c_str() : nullptr,
               json_spirit::Value::null) == 0
               ? 0
               : 1;
  }
  JSON_RPC_Response rsp(&request);
  if (const json_spirit::Value* v = member("result"))
    rsp.result = *v;
  return channel.send(rsp) == 0 ? 0 : 1;
}

// ---- module mode ----

std::string module_path(const Options& opts)
{
  if (!opts.module.empty())
    return opts.module;
  if (!opts.svc_conf.empty()) {
    Servant conf;
    conf.reset("starter", opts.svc_conf, nullptr, nullptr, opts.tag);
    std::string m = conf.config("module");
    if (!m.empty())
      return m;
  }
  std::string m = Standin_Conf::instance()->servant_module();
  if (!m.empty())
    return m;
#ifdef RHV_MODULE_PATH
  return RHV_MODULE_PATH;
#else
  return std::string();
#endif
}

typedef void (*Gobble_Fn)(void*);
typedef JSON_RPC_Handler* (*Handler_Factory)(Gobble_Fn*);

int module_reply(const Options& opts, JSON_RPC_Channel_var& strong, Reply_Channel& channel,
                 const JSON_RPC_Object_var& obj)
{
  const JSON_RPC_Request_Base& request = static_cast<const JSON_RPC_Request_Base&>(*obj.get());
  const char* factory_name = servant_handler_factory(request.method);
  if (factory_name == nullptr) {
    RHV_LOG_ERROR("No servant handler for method '%s'.\n", request.method.c_str());
    channel.send_error(JSON_RPC_E_METHOD_NOT_FOUND, request.id, "Method not found.",
                       json_spirit::Value::null);
    return 1;
  }
  std::string module = module_path(opts);
  void* dl = module.empty() ? nullptr : ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  Handler_Factory factory =
      dl == nullptr ? nullptr : reinterpret_cast<Handler_Factory>(::dlsym(dl, factory_name));
  if (factory == nullptr) {
    const char* why = ::dlerror();
    RHV_LOG_ERROR("Failed to load %s from servant module '%s': %s.\n", factory_name,
                  module.c_str(), why != nullptr ? why : "no module");
    channel.send_error(JSON_RPC_E_INTERNAL_ERROR, request.id, "Failed to load servant module.",
                       json_spirit::Value::null);
    return 1;
  }
  Gobble_Fn gobble = nullptr;
  JSON_RPC_Handler* handler = factory(&gobble);
  if (handler == nullptr || handler->init(0, nullptr) != 0) {
    RHV_LOG_ERROR("Failed to create servant handler %s.\n", factory_name);
    if (handler != nullptr && gobble != nullptr)
      gobble(handler);
    channel.send_error(JSON_RPC_E_INTERNAL_ERROR, request.id, "Failed to create servant handler.",
                       json_spirit::Value::null);
    return 1;
  }
  handler->handle(JSON_RPC_Channel_Weak_var(strong), obj);
  handler->fini();
  if (gobble != nullptr)
    gobble(handler);
  // The module stays loaded: threads or exit handlers of it may still need its code.
  return channel.sent() ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv)
{
  ::signal(SIGPIPE, SIG_IGN);
  // ACE makes the exit hook of its threads on the first thread one of its thread managers
  // starts, behind an unguarded check: threads started together (a handler's worker pool)
  // would race for it. A first thread started and joined alone makes it.
  if (ACE_Thread_Manager::instance()->spawn(first_thread, nullptr, THR_NEW_LWP | THR_JOINABLE) != -1)
    ACE_Thread_Manager::instance()->wait();
  static Stderr_Backend backend;
  ACE_Log_Msg::msg_backend(&backend);
  ACE_Log_Msg::instance()->open(ACE_TEXT("servant_host"), ACE_Log_Msg::CUSTOM);

  Options opts;
  if (!parse_args(argc, argv, opts))
    return 1;
  if (opts.canned.empty()) {
    const std::string* canned = Standin_Conf::instance()->extension("servant_canned_replies");
    if (canned != nullptr)
      opts.canned = *canned;
  }

  Reply_Channel* channel = new Reply_Channel();
  JSON_RPC_Channel_var strong(channel);
  JSON_RPC_Object_var obj;
  if (channel->read(obj) != 1) {
    RHV_LOG_ERROR("Failed to read servant request.\n");
    channel->send_error(JSON_RPC_E_PARSE_ERROR, json_spirit::Value::null, "Parse error.",
                        json_spirit::Value::null);
    return 1;
  }
  if (obj->type() != JSON_RPC_Object::TYPE_REQUEST) {
    RHV_LOG_ERROR("Servant input is not a JSON-RPC request.\n");
    channel->send_error(JSON_RPC_E_INVALID_REQUEST, json_spirit::Value::null, "Invalid request.",
                        json_spirit::Value::null);
    return 1;
  }
  if (!opts.canned.empty()) {
    try {
      return canned_reply(opts.canned, opts.tag, *channel,
                          static_cast<const JSON_RPC_Request_Base&>(*obj.get()));
    } catch (const std::exception& e) {
      RHV_LOG_ERROR("Invalid canned reply: %s.\n", e.what());
      return 1;
    }
  }
  return module_reply(opts, strong, *channel, obj);
}
