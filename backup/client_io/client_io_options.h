#ifndef BACKUP_CLIENT_IO_CLIENT_IO_OPTIONS_H
#define BACKUP_CLIENT_IO_CLIENT_IO_OPTIONS_H

#include <string>

#include "platform/host/host_manager.h"
#include "platform/http/http_headers.h"
#include "platform/storage/client_io_base.h"
#include "platform/storage/rate_limits.h"

// Fillers of the storage client's I/O options, run on the job side before the options
// travel to the servants. Each returns true; they cannot fail.

// Sets the extra option named after header `id` (its name from the HTTP header table)
// to `value`; an id without a name changes nothing.
inline bool set_http_head_to_options(Client_IO_Base::Options& options, int id, const std::string& value)
{
  if (const char* name = http_head_string(id)) options.set_extra_option(name, value);
  return true;
}

// The access key the client presents to the storage, as the X-Access-Key header.
inline bool set_access_key_to_options(Client_IO_Base::Options& options, const std::string& key)
{
  return set_http_head_to_options(options, HTTP_HEAD_X_ACCESS_KEY, key);
}

// Data movers reach the pool through the backup server's RPC.
inline bool set_d2t_access_mode(Client_IO_Base::Options& options)
{
  options.d2t_access_mode = D2T_Access_RPC;
  return true;
}

// The host's access key: the node key on the backup server's own node, else the
// host's key.
inline bool set_options_by_host(Client_IO_Base::Options& options)
{
  Host_Manager* host = Host_Manager::instance();
  const std::string key = host->on_backupd() ? host->node_access_key() : host->access_key();
  return set_access_key_to_options(options, key);
}

// The job definition's retry time, resumption buffer, rate limits (shared among
// `channels` transfers) and server-side deduplication flag. `Definition` is the job
// library's definition (any type with those four accessors).
template <typename Definition>
bool set_options_by_job_def(Client_IO_Base::Options& options, const Definition& definition, unsigned int channels)
{
  options.max_seconds_retry = definition.max_seconds_retry();
  options.resumption_buffer_size = definition.resumption_buffer_size();
  options.rate_limits = definition.rate_limits();
  set_rate_limits_by_channels(options.rate_limits, channels);
  options.server_side_dedup = definition.server_side_dedup();
  return true;
}

#endif
