#include "tests/support/test_servant.h"

#include <ace/Log_Msg.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "platform/json/json_dump.h"
#include "platform/servant/servant_endpoint.h"

namespace {

json_spirit::Object with_code(int code, const json_spirit::Object& extra)
{
  json_spirit::Object o = extra;
  o["code"] = json_spirit::Value(code);
  return o;
}

std::string key_of(const json_spirit::Value& params)
{
  if (params.type() != json_spirit::obj_type)
    return std::string();
  const json_spirit::Object& o = params.get_obj();
  auto it = o.find("vm_id");
  if (it == o.end() || it->second.type() != json_spirit::str_type)
    return std::string();
  return it->second.get_str();
}

}  // namespace

// ---- Test_Servant ----

Test_Servant::Action Test_Servant::success(const json_spirit::Object& extra)
{
  Action a;
  a.result = json_spirit::Value(with_code(0, extra));
  return a;
}

Test_Servant::Action Test_Servant::failure(const json_spirit::Object& extra)
{
  Action a;
  a.result = json_spirit::Value(with_code(1, extra));
  return a;
}

Test_Servant::Action Test_Servant::error(int code, const std::string& message)
{
  Action a;
  a.kind = Action::ERROR;
  a.error_code = code;
  a.error_message = message;
  return a;
}

Test_Servant::Action Test_Servant::malformed()
{
  Action a;
  a.kind = Action::MALFORMED;
  return a;
}

Test_Servant::Action Test_Servant::no_reply()
{
  Action a;
  a.kind = Action::NO_REPLY;
  return a;
}

Test_Servant::Action Test_Servant::crash()
{
  Action a;
  a.kind = Action::CRASH;
  return a;
}

Test_Servant::Action Test_Servant::logging(Action action, ACE_Log_Priority priority,
                                           const std::string& text)
{
  action.log.emplace_back(priority, text);
  return action;
}

Test_Servant::Action Test_Servant::held(Action action)
{
  action.hold = true;
  return action;
}

Test_Servant::Test_Servant() : default_(success()) {}

Test_Servant::~Test_Servant() = default;

void Test_Servant::script(const std::string& key, std::vector<Action> actions)
{
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_[key] = std::move(actions);
  served_[key] = 0;
}

void Test_Servant::set_default(Action action)
{
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(action);
}

void Test_Servant::release(const std::string& key)
{
  std::lock_guard<std::mutex> lock(mutex_);
  released_[key] = true;
  cond_.notify_all();
}

void Test_Servant::release_all()
{
  std::lock_guard<std::mutex> lock(mutex_);
  release_all_ = true;
  cond_.notify_all();
}

std::vector<Test_Servant::Request> Test_Servant::requests() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t Test_Servant::count(const std::string& key) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(requests_.begin(), requests_.end(),
                                           [&key](const Request& r) { return r.key == key; }));
}

size_t Test_Servant::running() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

size_t Test_Servant::max_running() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return max_running_;
}

bool Test_Servant::wait_running(size_t n, int seconds) const
{
  std::unique_lock<std::mutex> lock(mutex_);
  return cond_.wait_for(lock, std::chrono::seconds(seconds), [&] { return running_ >= n; });
}

bool Test_Servant::wait_requests(size_t n, int seconds) const
{
  std::unique_lock<std::mutex> lock(mutex_);
  return cond_.wait_for(lock, std::chrono::seconds(seconds),
                        [&] { return requests_.size() >= n; });
}

Test_Servant::Action Test_Servant::next_action(const std::string& key)
{
  auto it = scripts_.find(key);
  if (it == scripts_.end() || it->second.empty())
    return default_;
  size_t n = served_[key]++;
  return it->second[std::min(n, it->second.size() - 1)];
}

int Test_Servant::handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj)
{
  JSON_RPC_Channel_var strong(channel);
  if (strong.null() || obj.get() == nullptr || obj->type() != JSON_RPC_Object::TYPE_REQUEST)
    return -1;
  const JSON_RPC_Request_Base& request = static_cast<const JSON_RPC_Request_Base&>(*obj.get());
  std::string key = key_of(request.params);
  Action action;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(Request{request.method, request.params, request.id, key});
    action = next_action(key);
    ++running_;
    max_running_ = std::max(max_running_, running_);
    cond_.notify_all();
  }
  struct Leave {
    Test_Servant* self;
    ~Leave()
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      --self->running_;
      self->cond_.notify_all();
    }
  } leave{this};

  for (const auto& line : action.log)
    ACE_Log_Msg::instance()->log(line.first, "%s", line.second.c_str());
  if (action.hold) {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [&] { return release_all_ || released_[key]; });
  }

  switch (action.kind) {
  case Action::REPLY: {
    JSON_RPC_Response rsp(&request);
    rsp.result = action.result;
    return strong->send(rsp);
  }
  case Action::ERROR:
    return strong->send_error(action.error_code, request.id, action.error_message.c_str(),
                              json_spirit::Value::null);
  case Action::MALFORMED: {
    JSON_RPC_Response rsp(json_spirit::Value("not-the-request-id"));
    rsp.result = json_spirit::Value(with_code(0, json_spirit::Object()));
    return strong->send(rsp);
  }
  case Action::NO_REPLY:
    return -1;
  case Action::CRASH:
    throw std::runtime_error("test servant crashed");
  }
  return -1;
}

// ---- Test_Servant_Registration ----

Test_Servant_Registration::Test_Servant_Registration(const std::string& method,
                                                     JSON_RPC_Handler& handler)
  : method_(method), previous_(register_inprocess_handler(method, &handler))
{
}

Test_Servant_Registration::~Test_Servant_Registration()
{
  register_inprocess_handler(method_, previous_);
}

// ---- Canned_Servant_Replies ----

Canned_Servant_Replies::Behaviour Canned_Servant_Replies::success(const json_spirit::Object& extra)
{
  Behaviour b;
  b.result = json_spirit::Value(with_code(0, extra));
  return b;
}

Canned_Servant_Replies::Behaviour Canned_Servant_Replies::failure(const json_spirit::Object& extra)
{
  Behaviour b;
  b.result = json_spirit::Value(with_code(1, extra));
  return b;
}

void Canned_Servant_Replies::add(const std::string& tag, std::vector<Behaviour> attempts)
{
  entries_[tag] = std::move(attempts);
}

bool Canned_Servant_Replies::write(const std::string& path) const
{
  json_spirit::Object doc;
  for (const auto& entry : entries_) {
    json_spirit::Array attempts;
    for (const Behaviour& b : entry.second) {
      json_spirit::Object o;
      if (!b.log.empty()) {
        json_spirit::Array lines;
        for (const auto& l : b.log)
          lines.push_back(json_spirit::Value(
              json_spirit::Array{json_spirit::Value(static_cast<int>(l.first)),
                                 json_spirit::Value(l.second)}));
        o["log"] = json_spirit::Value(lines);
      }
      if (!b.wait_file.empty())
        o["wait_file"] = json_spirit::Value(b.wait_file);
      if (!b.pid_file.empty())
        o["pid_file"] = json_spirit::Value(b.pid_file);
      if (b.signal > 0)
        o["signal"] = json_spirit::Value(b.signal);
      else if (b.exit_code >= 0)
        o["exit"] = json_spirit::Value(b.exit_code);
      else if (!b.raw.empty())
        o["raw"] = json_spirit::Value(b.raw);
      else if (b.error)
        o["error"] = json_spirit::Value(json_spirit::Object{
            {"code", json_spirit::Value(b.error_code)},
            {"message", json_spirit::Value(b.error_message)}});
      else
        o["result"] = b.result;
      attempts.push_back(json_spirit::Value(o));
    }
    doc[entry.first] = json_spirit::Value(attempts);
  }
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out)
      return false;
    out << JSON_Dump(doc).str();
    if (!out.flush())
      return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool test_support::read_process_stat(int pid, Process_Stat& out)
{
  char buf[512];
  const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0)
    return false;
  buf[n] = '\0';
  // "<pid> (<name>) <state> <ppid> ...": the name may hold blanks and parentheses.
  const char* open = std::strchr(buf, '(');
  const char* close = std::strrchr(buf, ')');
  if (open == nullptr || close == nullptr || close < open ||
      std::sscanf(close + 1, " %c %d", &out.state, &out.ppid) != 2)
    return false;
  out.name.assign(open + 1, close);
  return true;
}
