#ifndef PLATFORM_JSONRPC_JSON_RPC_CHANNEL_H
#define PLATFORM_JSONRPC_JSON_RPC_CHANNEL_H

// The channel a JSON-RPC message arrived on, through which its reply goes back.
//
// The host owns each channel through a strong pointer and hands handlers a weak one: a
// handler makes a strong pointer from it, and a null strong pointer means the requester
// has gone. Channels are safe for concurrent senders.

#include <ace/Bound_Ptr.h>
#include <ace/Thread_Mutex.h>

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/json/value.h"
#include "platform/jsonrpc/json_rpc_object.h"

#pragma GCC visibility push(default)

class JSON_RPC_Channel {
public:
  virtual ~JSON_RPC_Channel();

  // Sends one message. 0 on success, -1 on failure (errno set).
  virtual int send(const JSON_RPC_Object& obj) = 0;
  int send(const JSON_RPC_Object_var& obj);

  // Sends an error reply {code, message, data} for the request `id`. `message` may be
  // null (sent as an empty text); pass json_spirit::Value::null for no data.
  int send_error(int code, const json_spirit::Value& id, const char* message,
                 const json_spirit::Value& data);
};

typedef ACE_Strong_Bound_Ptr<JSON_RPC_Channel, ACE_Thread_Mutex> JSON_RPC_Channel_var;
typedef ACE_Weak_Bound_Ptr<JSON_RPC_Channel, ACE_Thread_Mutex> JSON_RPC_Channel_Weak_var;

// Keeps every message sent through it, in order; optionally hands each one on to a sink
// as well (used to carry replies back inside one process).
class Loopback_Channel : public JSON_RPC_Channel {
public:
  typedef std::function<void(const JSON_RPC_Object_var&)> Sink;

  Loopback_Channel() = default;
  explicit Loopback_Channel(Sink sink) : sink_(std::move(sink)) {}

  using JSON_RPC_Channel::send;
  int send(const JSON_RPC_Object& obj) override;

  // Copies of the messages sent so far.
  std::vector<JSON_RPC_Object_var> sent() const;
  // Their wire forms.
  std::vector<json_spirit::Value> sent_json() const;
  size_t count() const;
  // Blocks until at least `n` messages were sent; false when `seconds` passed first.
  bool wait_for(size_t n, int seconds = 60) const;

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cond_;
  std::vector<JSON_RPC_Object_var> sent_;
  Sink sink_;
};

// JSON-RPC 2.0 over file descriptors: one message per line of compact JSON text (JSON
// text never holds a raw newline). Sends are serialised; reads must come from one
// thread at a time. On a pipe whose reader has gone a send raises SIGPIPE: processes
// that talk over pipes ignore that signal.
class Stream_Channel : public JSON_RPC_Channel {
public:
  // Reads from `read_fd` and writes to `write_fd` (they may be the same descriptor,
  // e.g. a socket). With `owns_fds` the descriptors are closed on destruction.
  Stream_Channel(int read_fd, int write_fd, bool owns_fds = false);
  ~Stream_Channel() override;

  using JSON_RPC_Channel::send;
  int send(const JSON_RPC_Object& obj) override;

  // Reads the next message: 1 with `out` set, 0 at the end of the stream, -1 on a read
  // error or a line that is not a JSON-RPC message (logged; the line is consumed, so
  // the caller may go on reading).
  int read(JSON_RPC_Object_var& out);

  int read_fd() const { return read_fd_; }
  int write_fd() const { return write_fd_; }

private:
  int read_line(std::string& line);

  int read_fd_;
  int write_fd_;
  bool owns_fds_;
  std::mutex write_mutex_;
  std::string buffer_;
};

#pragma GCC visibility pop

#endif  // PLATFORM_JSONRPC_JSON_RPC_CHANNEL_H
