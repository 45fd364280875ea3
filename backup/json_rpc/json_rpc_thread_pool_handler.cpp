#include "backup/json_rpc/json_rpc_thread_pool_handler.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/Time_Value.h>

#include "backup/scrt/log.h"
#include "platform/jsonrpc/thread_pool.h"

namespace {

void mask_passwords(json_spirit::Value& v)
{
  if (v.type() == json_spirit::obj_type) {
    for (auto& member : v.get_obj()) {
      if (member.first == "password")
        member.second = json_spirit::Value("******");
      else
        mask_passwords(member.second);
    }
  } else if (v.type() == json_spirit::array_type) {
    for (json_spirit::Value& e : v.get_array())
      mask_passwords(e);
  }
}

}  // namespace

JSON_RPC_Object_var json_rpc_masked_copy(const JSON_RPC_Object_var& obj)
{
  if (obj.get() == nullptr)
    return obj;
  JSON_RPC_Object_var copy = json_rpc_object_clone(*obj.get());
  JSON_RPC_Object* o = copy.get();
  if (o != nullptr && (o->type() == JSON_RPC_Object::TYPE_REQUEST ||
                       o->type() == JSON_RPC_Object::TYPE_NOTIFY))
    mask_passwords(static_cast<JSON_RPC_Request_Base*>(o)->params);
  return copy;
}

JSON_RPC_Thread_Pool_Handler::~JSON_RPC_Thread_Pool_Handler()
{
  wait_idle();
}

void JSON_RPC_Thread_Pool_Handler::wait_idle()
{
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return pending_ == 0; });
}

void JSON_RPC_Thread_Pool_Handler::done()
{
  std::lock_guard<std::mutex> lock(mutex_);
  --pending_;
  // Notified under the lock: once it is released the handler may be destroyed.
  idle_.notify_all();
}

int JSON_RPC_Thread_Pool_Handler::handle(JSON_RPC_Channel_Weak_var channel,
                                         JSON_RPC_Object_var obj)
{
  JSON_RPC_Channel_var strong(channel);
  // Lines logged while the message is handled go where the delivering thread's go.
  ACE_Log_Msg_Callback* log_callback = ACE_Log_Msg::instance()->msg_callback();
  JSON_RPC_Thread_Pool_Handler* self = this;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++pending_;
  }
  JSON_RPC_Thread_Pool* pool = JSON_RPC_Thread_Pool::instance();
  ACE_Time_Value expiry = ACE_OS::gettimeofday() + ACE_Time_Value(pool->expiry_);
  int rc = pool->schedule(&expiry, [self, strong, obj, log_callback]() {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    ACE_Log_Msg_Callback* previous = log->msg_callback();
    if (log_callback != nullptr)
      log->msg_callback(log_callback);
    self->run(strong, obj);
    log->msg_callback(previous);
    self->done();
  });
  if (rc < 1) {
    done();
    RHV_LOG(0, LM_ERROR, "Failed to schedule handling of JSON-RPC %s into thread pool queue.\n",
            JSON_RPC_Object_Dump(json_rpc_masked_copy(obj), 0).c_str());
  }
  return 0;
}

void JSON_RPC_Thread_Pool_Handler::run(JSON_RPC_Channel_var channel, JSON_RPC_Object_var obj)
{
  handle_object_i(channel, obj);
}

JSON_RPC_Thread_Pool_Handler_Impl::~JSON_RPC_Thread_Pool_Handler_Impl()
{
  wait_idle();
}

int JSON_RPC_Thread_Pool_Handler_Impl::handle_object_i(JSON_RPC_Channel_var channel,
                                                       JSON_RPC_Object_var obj)
{
  return handle_object_t(channel, obj);
}
