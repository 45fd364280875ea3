#include "platform/storage/rate_limits.h"

namespace {

std::uint64_t share(std::uint64_t limit, unsigned int channels)
{
  if (limit == 0 || channels <= 1) return limit;
  std::uint64_t each = limit / channels;
  return each == 0 ? 1 : each;
}

}  // namespace

void Rate_Limits::set_rate_limits_by_channels(unsigned int channels)
{
  dest_rate_limits = share(dest_rate_limits, channels);
  src_rate_limits = share(src_rate_limits, channels);
}

void Rate_Limits::set_rate_limits_by_channels(Rate_Limits& limits, unsigned int channels)
{
  limits.set_rate_limits_by_channels(channels);
}

void set_rate_limits_by_channels(Rate_Limits& limits, unsigned int channels)
{
  limits.set_rate_limits_by_channels(channels);
}
