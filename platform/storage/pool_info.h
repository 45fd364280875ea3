#ifndef PLATFORM_STORAGE_POOL_INFO_H
#define PLATFORM_STORAGE_POOL_INFO_H

#include <map>
#include <string>

#include "platform/storage/client_io_base.h"

class JSON_RESTful_Client;

#pragma GCC visibility push(default)

// A storage pool as the host describes it.
struct Pool_Info {
  std::string uuid;
  std::string name;
  std::string host_uuid;
  std::string url;
  bool device_exists = true;
  bool multidevice = false;
  bool server_side_encryption = false;
  Encryption_Algorithm cipher = ENCRYPTION_NONE;
  std::string key;
  std::string iv;
  std::string preferred_source_address;
  std::string tenant_access_key;
  std::map<std::string, std::string> ext_attrs;
  std::map<std::string, std::string> node_addrs;
  std::string dedup_backend_type;
  std::map<std::string, std::string> default_s3;
  bool s3_enabled = false;
};

// Looks a pool up by uuid in the platform configuration's pool registry and fills
// `info` with its uuid, name and url ("file:///dir"); device_exists tells whether the
// pool's directory exists (checked when `check_device` is true, else left true).
// false, with an LM_ERROR line naming the uuid, when the pool is not registered;
// `info` is then unchanged.
//
// The form the job uses. `device_id` names the pool's device; the local pools have
// one device each, so it is not needed. `refresh`, `timeout_seconds`, `node`,
// `error_text`, `hints` and `verbose` are accepted for the host library's remote
// lookup and do not change the local one, except that a failure is also described
// in *error_text when given.
bool get_pool_info(const std::string& pool_uuid, const std::string& device_id, Pool_Info& info, bool refresh = false,
                   int timeout_seconds = 0, const char* node = nullptr, bool check_device = true,
                   std::string* error_text = nullptr, const void* hints = nullptr, bool verbose = false);

// The form the servants use, through their client of the backup server. The lookup is
// the registry's, as above; `retry_seconds` and `timeout_seconds` bound the remote
// lookup of the host library and do not apply here.
bool get_pool_info(JSON_RESTful_Client& upstream, const std::string& pool_uuid, const char* device_id,
                   Pool_Info& info, bool refresh = false, const char* node = nullptr, int retry_seconds = 0,
                   int timeout_seconds = -1, bool check_device = true, std::string* error_text = nullptr,
                   const void* hints = nullptr, bool verbose = false);

// Completes client-I/O options for a pool: its encryption settings, tenant key and
// deduplication back-end. false, with an LM_ERROR line, when the pool has no url.
bool set_options_by_pool(Client_IO_Base::Options& options, const Pool_Info& info);

#pragma GCC visibility pop

#endif
