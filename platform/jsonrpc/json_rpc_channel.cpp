#include "platform/jsonrpc/json_rpc_channel.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "backup/scrt/log.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"

JSON_RPC_Channel::~JSON_RPC_Channel() = default;

int JSON_RPC_Channel::send(const JSON_RPC_Object_var& obj)
{
  if (obj.get() == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return send(*obj.get());
}

int JSON_RPC_Channel::send_error(int code, const json_spirit::Value& id, const char* message,
                                 const json_spirit::Value& data)
{
  JSON_RPC_Response_Error err(code, id, message, data);
  return send(err);
}

// ---- Loopback_Channel ----

int Loopback_Channel::send(const JSON_RPC_Object& obj)
{
  JSON_RPC_Object_var copy = json_rpc_object_clone(obj);
  if (copy.get() == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(copy);
  }
  cond_.notify_all();
  if (sink_)
    sink_(copy);
  return 0;
}

std::vector<JSON_RPC_Object_var> Loopback_Channel::sent() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

std::vector<json_spirit::Value> Loopback_Channel::sent_json() const
{
  std::vector<json_spirit::Value> out;
  for (const JSON_RPC_Object_var& o : sent())
    out.push_back(o->to_json());
  return out;
}

size_t Loopback_Channel::count() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_.size();
}

bool Loopback_Channel::wait_for(size_t n, int seconds) const
{
  std::unique_lock<std::mutex> lock(mutex_);
  return cond_.wait_for(lock, std::chrono::seconds(seconds), [&] { return sent_.size() >= n; });
}

// ---- Stream_Channel ----

Stream_Channel::Stream_Channel(int read_fd, int write_fd, bool owns_fds)
  : read_fd_(read_fd), write_fd_(write_fd), owns_fds_(owns_fds)
{
}

Stream_Channel::~Stream_Channel()
{
  if (owns_fds_) {
    if (read_fd_ >= 0)
      ::close(read_fd_);
    if (write_fd_ >= 0 && write_fd_ != read_fd_)
      ::close(write_fd_);
  }
}

int Stream_Channel::send(const JSON_RPC_Object& obj)
{
  std::string line = JSON_Dump(obj.to_json()).release();
  line.push_back('\n');
  std::lock_guard<std::mutex> lock(write_mutex_);
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    // A socket peer that has gone must give EPIPE, not a SIGPIPE.
    ssize_t n = ::send(write_fd_, p, left, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK)
      n = ::write(write_fd_, p, left);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      int err = errno;
      RHV_LOG(-1, LM_ERROR, "Failed to send JSON-RPC message, errno=%d, %m\n", err);
      errno = err;
      return -1;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

int Stream_Channel::read_line(std::string& line)
{
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      line.assign(buffer_, 0, nl);
      buffer_.erase(0, nl + 1);
      return 1;
    }
    char chunk[4096];
    ssize_t n = ::read(read_fd_, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return -1;
    }
    if (n == 0) {
      if (buffer_.empty())
        return 0;
      line.swap(buffer_);  // a last line without its newline
      buffer_.clear();
      return 1;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

int Stream_Channel::read(JSON_RPC_Object_var& out)
{
  std::string line;
  for (;;) {
    int rc = read_line(line);
    if (rc <= 0) {
      if (rc < 0) {
        int err = errno;
        RHV_LOG(-1, LM_ERROR, "Failed to read JSON-RPC message, errno=%d, %m\n", err);
        errno = err;
      }
      return rc;
    }
    if (line.find_first_not_of(" \t\r") != std::string::npos)
      break;  // skip blank lines
  }
  json_spirit::Value wire;
  std::string why;
  if (!json_spirit::parse(line, wire, &why)) {
    RHV_LOG(-1, LM_ERROR, "Invalid JSON-RPC message: %s.\n", why.c_str());
    errno = EPROTO;
    return -1;
  }
  JSON_RPC_Object_var obj = json_rpc_object_from_json(wire, &why);
  if (obj.get() == nullptr) {
    RHV_LOG(-1, LM_ERROR, "Invalid JSON-RPC message: %s.\n", why.c_str());
    errno = EPROTO;
    return -1;
  }
  out = obj;
  return 1;
}
