#include "platform/jsonrpc/global_json_rpc.h"

#include <exception>
#include <map>
#include <mutex>

#include "backup/scrt/log.h"
#include "platform/json/json_dump.h"

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, Global_JSON_RPC_Method> methods;
};

Registry& registry()
{
  static Registry r;
  return r;
}

}  // namespace

void register_global_json_rpc(const std::string& method, Global_JSON_RPC_Method fn)
{
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.methods[method] = std::move(fn);
}

void unregister_global_json_rpc(const std::string& method)
{
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.methods.erase(method);
}

bool global_json_rpc(const char* method, const json_spirit::Value& params, int /*attempts*/,
                     json_spirit::Value* result, json_spirit::Value_type expected,
                     int /*timeout*/)
{
  if (method == nullptr || result == nullptr)
    return false;
  Global_JSON_RPC_Method fn;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.methods.find(method);
    if (it != r.methods.end())
      fn = it->second;
  }
  if (!fn) {
    RHV_LOG(-1, LM_ERROR, "JSON-RPC method '%s' is not served.\n", method);
    return false;
  }
  json_spirit::Value reply;
  bool ok;
  try {
    ok = fn(params, reply);
  } catch (const std::exception& e) {
    RHV_LOG(-1, LM_ERROR, "JSON-RPC method '%s' failed: %s\n", method, e.what());
    return false;
  }
  if (!ok) {
    RHV_LOG(-1, LM_ERROR, "JSON-RPC method '%s' returned an error: %s\n", method,
            JSON_Dump(reply).c_str());
    return false;
  }
  if (reply.type() != expected) {
    RHV_LOG(-1, LM_ERROR, "JSON-RPC method '%s' returned a %s, not a %s.\n", method,
            json_spirit::type_name(reply.type()), json_spirit::type_name(expected));
    return false;
  }
  *result = std::move(reply);
  return true;
}
