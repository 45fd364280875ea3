#include "platform/storage/rate_limits.h"

#include "platform/storage/json_fields.h"

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

json_spirit::Object Rate_Limits::dump() const
{
  json_spirit::Object o;
  o["dest_rate_limits"] = dest_rate_limits;
  o["src_rate_limits"] = src_rate_limits;
  return o;
}

bool Rate_Limits::load(const json_spirit::Value& v, std::string* why)
{
  if (v.type() != json_spirit::obj_type) {
    if (why) *why = "rate_limits is not an object";
    return false;
  }
  Rate_Limits r;
  Json_Fields f(v.get_obj(), why, "rate_limits.");
  if (!f.get("dest_rate_limits", r.dest_rate_limits) || !f.get("src_rate_limits", r.src_rate_limits)) return false;
  *this = r;
  return true;
}
