#ifndef PLATFORM_JSONRPC_JSON_RPC_HANDLER_H
#define PLATFORM_JSONRPC_JSON_RPC_HANDLER_H

// Handlers of incoming JSON-RPC messages.
//
// The host calls handle() once per message with a weak pointer to the channel the
// message came on. The base forms handle the message on the delivering thread;
// JSON_RPC_Thread_Handler moves each one to a thread of its own.

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "platform/jsonrpc/json_rpc_channel.h"
#include "platform/jsonrpc/json_rpc_object.h"

class YAJL_Handler;

#pragma GCC visibility push(default)

class JSON_RPC_Handler {
public:
  virtual ~JSON_RPC_Handler();

  // Called once after the host obtained the handler and once before it releases it.
  // 0 on success, -1 on failure.
  virtual int init(int argc, char** argv);
  virtual int fini();

  // The host's entry for one message: handle_object(), then handle_object_post() with
  // its result; returns what handle_object_post() returns.
  virtual int handle(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj);

  // Handles one message. The default answers a request with "method not found" and
  // ignores anything else. Returns -1 when nothing was sent, else the send's result.
  virtual int handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj);

  // Runs after handle_object(); the default returns `result` unchanged.
  virtual int handle_object_post(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj,
                                 int result);

  // A streaming reader for the params of incoming requests, or null (the default) to
  // receive them as parsed values.
  virtual YAJL_Handler* create_params_handler();
};

// Runs each message on a detached thread of its own, holding a strong pointer to the
// channel for the time of the call, and calls handle_object_i() there. The log callback
// of the delivering thread is installed on the new thread, so its lines go where the
// caller's go (the callback must outlive the requests in flight).
//
// Releasing a handler while requests run: the base destructor waits for them
// (wait_idle), but by then the derived parts are gone, so a derived handler calls
// wait_idle() first thing in its own destructor. handle_object_i() must not release the
// handler itself.
class JSON_RPC_Thread_Handler : public JSON_RPC_Handler {
public:
  JSON_RPC_Thread_Handler() = default;
  ~JSON_RPC_Thread_Handler() override;

  // 0 when the thread started, -1 when the requester has gone or no thread could be
  // started (nothing is sent then).
  int handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj) override;

  // Handles one message on its own thread; `channel` is never null.
  virtual int handle_object_i(JSON_RPC_Channel_var channel, JSON_RPC_Object_var obj) = 0;

  // Blocks until no request of this handler is running.
  void wait_idle();

protected:
  // For derived destructors that must wait before their own members go.
  size_t running() const;

private:
  struct Call;
  static ACE_THR_FUNC_RETURN run(void* arg);

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  size_t running_ = 0;
};

// Dispatch of one message by its type to the handler's request, notification and reply
// operations. Mixed into handlers next to a JSON_RPC_Handler base.
class JSON_RPC_Handler_Impl_Base {
public:
  virtual ~JSON_RPC_Handler_Impl_Base();

  // Calls the operation for the message's type with the raw channel (null when the
  // requester has gone). Returns its result; -1 for a message of no known type.
  int handle_object_t(JSON_RPC_Channel_var channel, JSON_RPC_Object_var obj);

  // A request; the default calls handle_request_i().
  virtual int handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request);
  // A notification; ignored by default (0).
  virtual int handle_notify(JSON_RPC_Channel* channel, JSON_RPC_Notify& notify);
  // Replies arriving at a handler; ignored by default (0).
  virtual int handle_response(JSON_RPC_Channel* channel, JSON_RPC_Response& response);
  virtual int handle_response_error(JSON_RPC_Channel* channel, JSON_RPC_Response_Error& error);
  // The last resort for a request: answers "method not found" (-1 without a channel).
  virtual int handle_request_i(JSON_RPC_Channel* channel, JSON_RPC_Request_Base& request);
};

#pragma GCC visibility pop

#endif  // PLATFORM_JSONRPC_JSON_RPC_HANDLER_H
