#include "platform/jsonrpc/json_rpc_handler.h"

#include <ace/Log_Msg.h>
#include <ace/Thread_Manager.h>

#include <new>

#include "backup/scrt/log.h"

namespace {

int method_not_found(JSON_RPC_Channel* channel, const JSON_RPC_Request_Base& request)
{
  if (channel == nullptr)
    return -1;
  return channel->send_error(JSON_RPC_E_METHOD_NOT_FOUND, request.id, "Method not found.",
                             json_spirit::Value::null);
}

}  // namespace

// ---- JSON_RPC_Handler ----

JSON_RPC_Handler::~JSON_RPC_Handler() = default;

int JSON_RPC_Handler::init(int, char**)
{
  return 0;
}

int JSON_RPC_Handler::fini()
{
  return 0;
}

int JSON_RPC_Handler::handle(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj)
{
  int rc = handle_object(channel, obj);
  return handle_object_post(channel, obj, rc);
}

int JSON_RPC_Handler::handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj)
{
  JSON_RPC_Channel_var strong(channel);
  if (strong.null() || obj.get() == nullptr || obj->type() != JSON_RPC_Object::TYPE_REQUEST)
    return -1;
  return method_not_found(strong.get(), static_cast<const JSON_RPC_Request&>(*obj.get()));
}

int JSON_RPC_Handler::handle_object_post(JSON_RPC_Channel_Weak_var, JSON_RPC_Object_var,
                                         int result)
{
  return result;
}

YAJL_Handler* JSON_RPC_Handler::create_params_handler()
{
  return nullptr;
}

// ---- JSON_RPC_Thread_Handler ----

struct JSON_RPC_Thread_Handler::Call {
  JSON_RPC_Thread_Handler* handler;
  JSON_RPC_Channel_var channel;
  JSON_RPC_Object_var obj;
  ACE_Log_Msg_Callback* log_callback;
};

JSON_RPC_Thread_Handler::~JSON_RPC_Thread_Handler()
{
  wait_idle();
}

void JSON_RPC_Thread_Handler::wait_idle()
{
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return running_ == 0; });
}

size_t JSON_RPC_Thread_Handler::running() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

int JSON_RPC_Thread_Handler::handle_object(JSON_RPC_Channel_Weak_var channel,
                                           JSON_RPC_Object_var obj)
{
  JSON_RPC_Channel_var strong(channel);
  if (strong.null())
    return -1;
  ACE_Log_Msg* log = ACE_Log_Msg::instance();
  Call* call = new (std::nothrow) Call{this, strong, obj, log->msg_callback()};
  if (call == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++running_;
  }
  if (ACE_Thread_Manager::instance()->spawn(&JSON_RPC_Thread_Handler::run, call,
                                            THR_NEW_LWP | THR_DETACHED | THR_INHERIT_SCHED) ==
      -1) {
    int err = errno;
    delete call;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --running_;
    }
    idle_.notify_all();
    RHV_LOG(-1, LM_ERROR, "Failed to start a thread for a JSON-RPC request, errno=%d, %m\n",
            err);
    return -1;
  }
  return 0;
}

ACE_THR_FUNC_RETURN JSON_RPC_Thread_Handler::run(void* arg)
{
  Call* call = static_cast<Call*>(arg);
  JSON_RPC_Thread_Handler* self = call->handler;
  ACE_Log_Msg* log = ACE_Log_Msg::instance();
  if (call->log_callback != nullptr) {
    log->msg_callback(call->log_callback);
    log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
  }
  self->handle_object_i(call->channel, call->obj);
  if (call->log_callback != nullptr)
    log->msg_callback(nullptr);
  delete call;  // drops the strong channel and the message before the handler may go
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    --self->running_;
    // Notify under the lock: once it is released the handler may be destroyed.
    self->idle_.notify_all();
  }
  return 0;
}

// ---- JSON_RPC_Handler_Impl_Base ----

JSON_RPC_Handler_Impl_Base::~JSON_RPC_Handler_Impl_Base() = default;

int JSON_RPC_Handler_Impl_Base::handle_object_t(JSON_RPC_Channel_var channel,
                                                JSON_RPC_Object_var obj)
{
  JSON_RPC_Object* o = obj.get();
  if (o == nullptr)
    return -1;
  JSON_RPC_Channel* ch = channel.get();
  switch (o->type()) {
  case JSON_RPC_Object::TYPE_REQUEST:
    return handle_request(ch, static_cast<JSON_RPC_Request&>(*o));
  case JSON_RPC_Object::TYPE_NOTIFY:
    return handle_notify(ch, static_cast<JSON_RPC_Notify&>(*o));
  case JSON_RPC_Object::TYPE_RESPONSE:
    return handle_response(ch, static_cast<JSON_RPC_Response&>(*o));
  case JSON_RPC_Object::TYPE_RESPONSE_ERROR:
    return handle_response_error(ch, static_cast<JSON_RPC_Response_Error&>(*o));
  default:
    return -1;
  }
}

int JSON_RPC_Handler_Impl_Base::handle_request(JSON_RPC_Channel* channel,
                                               JSON_RPC_Request& request)
{
  return handle_request_i(channel, request);
}

int JSON_RPC_Handler_Impl_Base::handle_notify(JSON_RPC_Channel*, JSON_RPC_Notify&)
{
  return 0;
}

int JSON_RPC_Handler_Impl_Base::handle_response(JSON_RPC_Channel*, JSON_RPC_Response&)
{
  return 0;
}

int JSON_RPC_Handler_Impl_Base::handle_response_error(JSON_RPC_Channel*,
                                                      JSON_RPC_Response_Error&)
{
  return 0;
}

int JSON_RPC_Handler_Impl_Base::handle_request_i(JSON_RPC_Channel* channel,
                                                 JSON_RPC_Request_Base& request)
{
  return method_not_found(channel, request);
}
