#include "platform/storage/pool_info.h"

#include <sys/stat.h>

#include "backup/scrt/log.h"
#include "platform/config/standin_conf.h"

namespace {

bool lookup(const std::string& pool_uuid, Pool_Info& info, bool check_device, std::string* error_text)
{
  auto conf = Standin_Conf::instance();
  const Standin_Pool* pool = conf->find_pool(pool_uuid);
  if (pool == nullptr) {
    if (error_text) *error_text = "storage pool '" + pool_uuid + "' is not registered";
    RHV_LOG(-1, LM_ERROR, "Storage pool '%s' is not registered.\n", pool_uuid.c_str());
    return false;
  }
  Pool_Info found;
  found.uuid = pool->uuid;
  found.name = pool->name;
  found.url = pool->url;
  if (check_device) {
    static const char scheme[] = "file://";
    std::string dir = pool->url.compare(0, sizeof scheme - 1, scheme) == 0 ? pool->url.substr(sizeof scheme - 1) : "";
    struct stat st;
    found.device_exists = !dir.empty() && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  info = std::move(found);
  return true;
}

}  // namespace

bool get_pool_info(const std::string& pool_uuid, const std::string& /*device_id*/, Pool_Info& info, bool /*refresh*/,
                   int /*timeout_seconds*/, const char* /*node*/, bool check_device, std::string* error_text,
                   const void* /*hints*/, bool /*verbose*/)
{
  return lookup(pool_uuid, info, check_device, error_text);
}

bool get_pool_info(JSON_RESTful_Client& /*upstream*/, const std::string& pool_uuid, const char* /*device_id*/,
                   Pool_Info& info, bool /*refresh*/, const char* /*node*/, int /*retry_seconds*/,
                   int /*timeout_seconds*/, bool check_device, std::string* error_text, const void* /*hints*/,
                   bool /*verbose*/)
{
  return lookup(pool_uuid, info, check_device, error_text);
}

bool set_options_by_pool(Client_IO_Base::Options& options, const Pool_Info& info)
{
  if (info.url.empty()) {
    RHV_LOG(-1, LM_ERROR, "Storage pool '%s' has no URL.\n", info.uuid.c_str());
    return false;
  }
  options.server_side_encryption = info.server_side_encryption;
  options.cipher = info.cipher;
  options.key = info.key;
  options.iv = info.iv;
  options.tenant_access_key = info.tenant_access_key;
  options.dedup_backend_type = info.dedup_backend_type;
  return true;
}
