#ifndef TESTS_PLATFORM_SERVANT_REPLY_SEEN_H
#define TESTS_PLATFORM_SERVANT_REPLY_SEEN_H

// What a servant scheduler test sees of a reply, and the job side's way of judging it.

#include "platform/jsonrpc/json_rpc_object.h"
#include "platform/servant/servant_task_scheduler.h"

struct Seen {
  JSON_RPC_Object::Type type = JSON_RPC_Object::TYPE_NONE;
  int error_code = 0;
  int code = -1;  // the result's "code"
};

inline Seen seen_of(const JSON_RPC_Object_var& reply)
{
  Seen s;
  if (reply.get() == nullptr)
    return s;
  s.type = reply->type();
  if (s.type == JSON_RPC_Object::TYPE_RESPONSE_ERROR) {
    s.error_code = static_cast<const JSON_RPC_Response_Error*>(reply.get())->code;
  } else if (s.type == JSON_RPC_Object::TYPE_RESPONSE) {
    const json_spirit::Value& r = static_cast<const JSON_RPC_Response*>(reply.get())->result;
    if (r.type() == json_spirit::obj_type && r.get_obj().count("code"))
      s.code = static_cast<int>(r.get_obj().at("code").get_int64());
  }
  return s;
}

// Classifies as the job side does: "code" 0 is done, another code is retried, anything
// else failed.
inline int classify(const JSON_RPC_Object_var& reply)
{
  Seen s = seen_of(reply);
  if (s.type != JSON_RPC_Object::TYPE_RESPONSE || s.code < 0)
    return Servant_Task_Scheduler::RESULT_FAILED;
  return s.code == 0 ? Servant_Task_Scheduler::RESULT_SUCCESS : Servant_Task_Scheduler::RESULT_FAILED_RETRY;
}

#endif  // TESTS_PLATFORM_SERVANT_REPLY_SEEN_H
