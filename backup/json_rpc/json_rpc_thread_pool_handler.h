#ifndef BACKUP_JSON_RPC_JSON_RPC_THREAD_POOL_HANDLER_H
#define BACKUP_JSON_RPC_JSON_RPC_THREAD_POOL_HANDLER_H

// JSON-RPC handling moved off the connection's thread onto the host's JSON-RPC worker
// pool (JSON_RPC_Thread_Pool): handle() queues the message and returns at once; a pool
// thread then calls handle_object_i().
//
// A message that cannot be queued (no pool thread, queue full past the pool's time-out)
// is logged and gets no reply.
//
// Releasing a handler while its messages are queued or running: the queued work calls
// back into the handler, so it must wait for them before its own parts go. The base
// destructors wait (wait_idle); a derived handler with state or overrides of its own
// calls wait_idle() first thing in its destructor.

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "platform/jsonrpc/json_rpc_channel.h"
#include "platform/jsonrpc/json_rpc_handler.h"
#include "platform/jsonrpc/json_rpc_object.h"

class JSON_RPC_Thread_Pool_Handler : public JSON_RPC_Handler {
public:
  JSON_RPC_Thread_Pool_Handler() = default;
  ~JSON_RPC_Thread_Pool_Handler() override;

  // Queues the message on the pool; 0 always.
  int handle(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj) override;

  // On a pool thread: handle_object_i(channel, obj).
  void run(JSON_RPC_Channel_var channel, JSON_RPC_Object_var obj);

  // Handles one message on a pool thread; `channel` is null when the requester has gone.
  virtual int handle_object_i(JSON_RPC_Channel_var channel, JSON_RPC_Object_var obj) = 0;

  // Blocks until no message of this handler is queued or running.
  void wait_idle();

private:
  void done();

  std::mutex mutex_;
  std::condition_variable idle_;
  size_t pending_ = 0;
};

// The pool dispatch joined with the library's dispatch by message type: a request ends
// in handle_request() of the concrete handler.
class JSON_RPC_Thread_Pool_Handler_Impl : public JSON_RPC_Thread_Pool_Handler,
                                          public JSON_RPC_Handler_Impl_Base {
public:
  // `mode` selects the dispatch form; 0 (the only one) dispatches parsed messages.
  explicit JSON_RPC_Thread_Pool_Handler_Impl(int mode = 0) : mode_(mode) {}
  ~JSON_RPC_Thread_Pool_Handler_Impl() override;

  int handle_object_i(JSON_RPC_Channel_var channel, JSON_RPC_Object_var obj) override;

  int mode() const { return mode_; }

private:
  int mode_;
};

// A copy of `obj` fit for a log line: every "password" member of its params (at any
// depth) reads "******".
JSON_RPC_Object_var json_rpc_masked_copy(const JSON_RPC_Object_var& obj);

#endif  // BACKUP_JSON_RPC_JSON_RPC_THREAD_POOL_HANDLER_H
