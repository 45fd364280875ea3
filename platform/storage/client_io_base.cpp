#include "platform/storage/client_io_base.h"

bool Client_IO_Base::Options::operator==(const Options& o) const
{
  return compression_method == o.compression_method && compression_level == o.compression_level &&
         max_seconds_retry == o.max_seconds_retry && resumption_buffer_size == o.resumption_buffer_size &&
         rate_limits == o.rate_limits && server_side_dedup == o.server_side_dedup &&
         d2t_access_mode == o.d2t_access_mode && server_side_encryption == o.server_side_encryption &&
         cipher == o.cipher && key == o.key && iv == o.iv && tenant_access_key == o.tenant_access_key &&
         dedup_backend_type == o.dedup_backend_type && extra_options == o.extra_options;
}
