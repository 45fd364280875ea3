#include "backup/rhv/servant/rhv_servant_handler.h"

#include <cerrno>
#include <memory>
#include <new>

#include "backup/rhv/servant/rhv_agent_backup.h"
#include "backup/rhv/servant/rhv_restore_worker.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"

namespace {

// A worker made without throwing: null when the memory or its constructor fails.
template <typename Worker>
std::unique_ptr<Worker> make_worker()
{
  try {
    return std::unique_ptr<Worker>(new (std::nothrow) Worker());
  } catch (...) {
    return std::unique_ptr<Worker>();
  }
}

// One request, from the channel check to the reply (see the header).
template <typename Worker>
int handle_request(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj, int load_error_code,
                   const char* failure_message)
{
  JSON_RPC_Channel_var strong(channel);
  if (strong.null()) {
    RHV_LOG_ERROR("Abort handling JSON-RPC request, requester has gone.\n");
    return -1;
  }
  RHV_CHECK_JSON_RPC_REQUEST(obj, -1);
  const JSON_RPC_Request_Base& request = static_cast<const JSON_RPC_Request_Base&>(*obj.get());

  if (request.params.type() != json_spirit::obj_type)
    return strong->send_error(JSON_RPC_E_INVALID_PARAMS, request.id, "Invalid params: params type must be object.",
                              json_spirit::Value::null);

  std::unique_ptr<Worker> worker = make_worker<Worker>();
  if (!worker || !worker->load(request.params.get_obj()))
    return strong->send_error(load_error_code, request.id, nullptr, json_spirit::Value::null);

  std::unique_ptr<JSON_RPC_Response> response(new (std::nothrow) JSON_RPC_Response(&request));
  if (!response) {
    errno = ENOMEM;
    return strong->send_error(JSON_RPC_E_INTERNAL_ERROR, request.id, "Internal error, out of memory.",
                              json_spirit::Value::null);
  }

  if (!worker->execute(response->result))
    RHV_LOG_ERROR("%s", failure_message);
  return strong->send(*response);
}

}  // namespace

RHV_Backup_Servant_Handler::~RHV_Backup_Servant_Handler()
{
}

int RHV_Backup_Servant_Handler::handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj)
{
  return handle_request<RHV_Agent_Backup>(channel, obj, JSON_RPC_E_INVALID_PARAMS, "Failed to backup vm.\n");
}

RHV_Restore_Servant_Handler::~RHV_Restore_Servant_Handler()
{
}

int RHV_Restore_Servant_Handler::handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj)
{
  return handle_request<RHV_Restore_Worker>(channel, obj, JSON_RPC_E_INTERNAL_ERROR, "Failed to restore RHV vm.\n");
}
