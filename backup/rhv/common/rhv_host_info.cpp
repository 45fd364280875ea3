#include "backup/rhv/common/rhv_host_info.h"

#include <exception>

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/scrt/log.h"
#include "platform/host/host_manager.h"
#include "platform/host/rsa_decoder.h"
#include "platform/json/object_get.h"
#include "platform/jsonrpc/global_json_rpc.h"

namespace {

// An optional member that must be of the right type when it is there.
template <class T>
void read_if_present(const json_spirit::Object& object, const char* key, T& out)
{
  if (json_spirit::object_get_value(object, key) != nullptr)
    json_spirit::object_get_may_throw(object, key, out, true);
}

}  // namespace

json_spirit::Object RHV_Host_Info::dump() const
{
  json_spirit::Object object;
  json_spirit::insert(object)("uuid", uuid)("name", name)("agent_vm_id", agent_vm_id)("agent_vm_name", agent_vm_name)(
      "auth_type", auth_type)("url_prefix", url_prefix)("host", host)("port", port)("ssl", ssl)(
      "username", username)("password", json_spirit::Value(password));
  return object;
}

bool RHV_Host_Info::load(const json_spirit::Value& value)
{
  try {
    const json_spirit::Object& object = value.get_obj();
    read_if_present(object, "uuid", uuid);
    read_if_present(object, "name", name);
    read_if_present(object, "agent_vm_id", agent_vm_id);
    read_if_present(object, "agent_vm_name", agent_vm_name);
    read_if_present(object, "auth_type", auth_type);
    read_if_present(object, "url_prefix", url_prefix);
    read_if_present(object, "host", host);
    read_if_present(object, "port", port);
    read_if_present(object, "ssl", ssl);
    read_if_present(object, "username", username);
    read_if_present(object, "password", password);
    return true;
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to load RHV_Host_Info from JSON: %s\n", e.what());
    return false;
  }
}

secure_string rsa_decrypt_string(const std::string& cipher)
{
  RSA_Decoder decoder(cipher, Host_Manager::instance()->rsa_prvkey());
  if (!decoder)
    return secure_string();
  return secure_string(reinterpret_cast<const char*>(decoder.get()), decoder.length());
}

bool get_host_info(const std::string& uuid, RHV_Host_Info& info)
{
  json_spirit::Object params;
  json_spirit::insert(params)("uuid", uuid);
  json_spirit::Value reply;
  if (!global_json_rpc("rhev.query", json_spirit::Value(std::move(params)), 1, &reply, json_spirit::obj_type, -1)) {
    RHV_LOG_ERROR("Failed to request 'rhev.query'.\n");
    return false;
  }

  // The messages name the requested record: nothing of the reply is trusted yet.
  json_spirit::Object& record = reply.get_obj();
  const std::string* cipher = json_spirit::object_get_str(record, "password");
  if (cipher == nullptr || cipher->empty()) {
    RHV_LOG_ERROR("Failed to get password of RHV host '%s'.\n", uuid.c_str());
    return false;
  }
  secure_string plain = rsa_decrypt_string(*cipher);
  if (plain.empty()) {
    RHV_LOG_ERROR("Failed to decrypt password of RHV host '%s' .\n", uuid.c_str());
    return false;
  }
  // The plain text stays in wiped storage all the way into the record.
  record["password"] = json_spirit::Value(plain);
  return info.load(reply);
}
