#include "backup/rhv/websvcs_agent/rhv_login_handler.h"

#include <cerrno>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/rhv/api/rhv_client.h"
#include "backup/rhv/common/rhv_host_info.h"
#include "backup/scrt/log.h"
#include "backup/scrt/secure_string.h"
#include "backup/scrt/string_format.h"

namespace {

struct Login_Params {
  std::string host;
  std::string username;
  std::string url_prefix;
  std::string auth_type;
  std::string password;  // RSA-encrypted for this host
  unsigned short port = 0;
  bool ssl = false;
};

int send_error(JSON_RPC_Channel* channel, int code, const JSON_RPC_Request& request, const char* message)
{
  return channel->send_error(code, request.id, message, json_spirit::Value::null);
}

// Reads the params in their fixed order; false when a required one is missing or of
// another type.
bool read_params(const json_spirit::Object& params, Login_Params& p)
{
  using json_spirit::FG_NOTHROW;
  try {
    json_spirit::extract_or_throw(params)("host", p.host)("username", p.username)("url_prefix", p.url_prefix,
                                                                                   FG_NOTHROW)(
        "auth_type", p.auth_type)("password", p.password)("port", p.port)("ssl", p.ssl);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

int test_user_login(JSON_RPC_Channel* channel, JSON_RPC_Request& request)
{
  Login_Params p;
  if (!read_params(request.params.get_obj(), p))
    return send_error(channel, JSON_RPC_E_INVALID_PARAMS, request, "Invalid params.");

  secure_string password = rsa_decrypt_string(p.password);
  if (password.empty())
    return send_error(channel, JSON_RPC_E_INVALID_PARAMS, request, "Failed to decrypt password.");

  RHV_Client client;
  if (!client.login(p.auth_type, p.host, p.port, p.ssl, p.username, std::move(password), p.url_prefix))
    return send_error(channel, JSON_RPC_E_INVALID_PARAMS, request,
                      string_sprintf("Failed to login RHV '%s'.", p.host.c_str()).c_str());

  RHV_Data_Centers data_centers;
  bool status = client.data_center_service().list(data_centers) && !data_centers.empty();
  if (!status)
    RHV_LOG_ERROR("Failed to get RHV data centers of '%s'.\n", p.host.c_str());

  std::unique_ptr<JSON_RPC_Response> response(new (std::nothrow) JSON_RPC_Response(&request));
  if (!response) {
    errno = ENOMEM;
    return send_error(channel, JSON_RPC_E_INTERNAL_ERROR, request, "Internal error, out of memory.");
  }
  json_spirit::insert(json_spirit::to_new_object(response->result))("status", status);
  return channel->send(*response);
}

}  // namespace

JSON_RPC_RHV_Login_Handler::~JSON_RPC_RHV_Login_Handler()
{
  wait_idle();
}

int JSON_RPC_RHV_Login_Handler::handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request)
{
  if (channel == nullptr) {
    RHV_LOG_ERROR("Abort handling JSON-RPC request, requester has gone.\n");
    return -1;
  }
  if (request.params.type() != json_spirit::obj_type)
    return send_error(channel, JSON_RPC_E_INVALID_PARAMS, request, "Invalid request type.");
  try {
    return test_user_login(channel, request);
  } catch (const std::bad_alloc&) {
    // Only memory exhaustion can escape the test: answer it as such instead of ending
    // the process on a pool thread.
    errno = ENOMEM;
    return send_error(channel, JSON_RPC_E_INTERNAL_ERROR, request, "Internal error, out of memory.");
  }
}
