#include "backup/rhv/api/rhv_client.h"

#include <utility>

#include "backup/scrt/log.h"
#include "platform/json/json_pointer.h"

bool RHV_Client::login(const std::string& auth_type, std::string host, unsigned short port, bool ssl,
                       std::string username, secure_string password, std::string url_prefix)
{
  session_ = RHV_Session_Factory::create(auth_type);
  bool ok = false;
  if (session_) {
    std::string prefix = url_prefix.empty() ? std::string("ovirt-engine") : std::move(url_prefix);
    ok = session_->init(std::move(host), port, ssl, std::move(username), std::move(password), std::move(prefix));
  }
  if (!ok) {
    RHV_LOG_ERROR("Failed to create RHV session.\n");
    return false;
  }
  return access_api_entry_point();
}

bool RHV_Client::access_api_entry_point()
{
  json_spirit::Value reply;
  if (!session_->get("/" + session_->engine() + "/api", nullptr, &reply)) {
    RHV_LOG_ERROR("%s failed to login RHV %s:%d.\n", session_->username().c_str(), session_->host().c_str(),
                  static_cast<int>(session_->port()));
    return false;
  }

  const json_spirit::Object* version = nullptr;
  if (JSON_Pointer("/product_info/version").get(reply, version) && version_.load(*version)) {
    RHV_LOG_DEBUG("RHV Version Info\n\tfull version: %s\n\tmajor: %d\n\tminor: %d\n\trevision: %d\n\tbuild: %d\n\n",
                  version_.full_version.c_str(), version_.major, version_.minor, version_.revision,
                  version_.build);
  } else {
    RHV_LOG_WARNING("Failed to get RHV version.\n");
  }
  return true;
}
