#include "backup/rhv/websvcs_agent/rhv_list_handler.h"

#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/rhv/api/rhv_client.h"
#include "backup/rhv/common/rhv_host_info.h"
#include "backup/rhv/common/rhv_list.h"
#include "backup/scrt/check.h"
#include "backup/scrt/string_format.h"

namespace {

const char* const SUBTYPE_INVENTORY = "inventory";
const char* const SUBTYPE_SEARCH = "search";

struct List_Params {
  std::string uuid;
  std::string subtype;
  std::string moid;
  std::string type;
  std::string view;
  std::string search_type;
  std::string search;
};

int send_error(JSON_RPC_Channel& channel, int code, const JSON_RPC_Request& request, const char* message)
{
  return channel.send_error(code, request.id, message, json_spirit::Value::null);
}

int out_of_memory(JSON_RPC_Channel& channel, const JSON_RPC_Request& request)
{
  errno = ENOMEM;
  return send_error(channel, JSON_RPC_E_INTERNAL_ERROR, request, "Internal error, out of memory.");
}

int handle_list_request(JSON_RPC_Channel& channel, JSON_RPC_Request& request)
{
  if (request.params.type() != json_spirit::obj_type)
    return send_error(channel, JSON_RPC_E_INVALID_PARAMS, request, "Params is not Object");

  List_Params p;
  json_spirit::extract(request.params.get_obj())("uuid", p.uuid)("subtype", p.subtype)("moid", p.moid)(
      "type", p.type)("view", p.view)("search_type", p.search_type)("search", p.search);

  RHV_Host_Info host;
  if (!get_host_info(p.uuid, host))
    return send_error(channel, JSON_RPC_E_INTERNAL_ERROR, request,
                      string_sprintf("Failed to get RHV host info %s.", p.uuid.c_str()).c_str());

  RHV_Client client;
  if (!client.login(host.auth_type, host.host, host.port, host.ssl, host.username, host.password, host.url_prefix))
    return send_error(channel, JSON_RPC_E_INVALID_PARAMS, request,
                      string_sprintf("Failed to login RHV %s.", host.host.c_str()).c_str());

  std::unique_ptr<JSON_RPC_Response> response(new (std::nothrow) JSON_RPC_Response(&request));
  if (!response)
    return out_of_memory(channel, request);

  json_spirit::Array& nodes = json_spirit::to_new_array(response->result);
  RHV_Lister lister(client, std::move(p.type), std::move(p.view), std::move(p.moid), std::move(p.search_type),
                    host.agent_vm_id);
  if (p.subtype == SUBTYPE_SEARCH) {
    if (!lister.search(p.search, nodes))
      return send_error(channel, JSON_RPC_E_INTERNAL_ERROR, request, "Failed to search RHV resource.");
  } else if (p.subtype == SUBTYPE_INVENTORY) {
    if (!lister.list(nodes))
      return send_error(channel, JSON_RPC_E_INTERNAL_ERROR, request, "Failed to list RHV resource.");
  }
  return channel.send(*response);
}

}  // namespace

JSON_RPC_RHV_List_Handler::~JSON_RPC_RHV_List_Handler()
{
  wait_idle();
}

int JSON_RPC_RHV_List_Handler::handle_object_i(JSON_RPC_Channel_var channel, JSON_RPC_Object_var obj)
{
  RHV_CHECK_JSON_RPC_REQUEST(obj, -1);
  JSON_RPC_Request& request = static_cast<JSON_RPC_Request&>(*obj.get());
  try {
    return handle_list_request(*channel, request);
  } catch (const std::bad_alloc&) {
    // Only memory exhaustion can escape the request (a huge reply, say): answer it as
    // such instead of ending the process on this thread.
    return out_of_memory(*channel, request);
  }
}
