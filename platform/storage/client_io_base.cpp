#include "platform/storage/client_io_base.h"

#include <algorithm>
#include <iterator>

#include "platform/storage/json_fields.h"

#include <cstdint>
#include <utility>

bool Client_IO_Base::Options::operator==(const Options& o) const
{
  return compression_method == o.compression_method && compression_level == o.compression_level &&
         max_seconds_retry == o.max_seconds_retry && resumption_buffer_size == o.resumption_buffer_size &&
         rate_limits == o.rate_limits && server_side_dedup == o.server_side_dedup &&
         d2t_access_mode == o.d2t_access_mode && server_side_encryption == o.server_side_encryption &&
         cipher == o.cipher && key == o.key && iv == o.iv && tenant_access_key == o.tenant_access_key &&
         dedup_backend_type == o.dedup_backend_type && extra_options == o.extra_options;
}

using json_spirit::Object;
using json_spirit::Value;

json_spirit::Object Client_IO_Base::Options::dump() const
{
  Object o;
  o["compression_method"] = compression_method;
  o["compression_level"] = compression_level;
  o["max_seconds_retry"] = max_seconds_retry;
  o["resumption_buffer_size"] = resumption_buffer_size;
  o["rate_limits"] = rate_limits.dump();
  o["server_side_dedup"] = server_side_dedup;
  o["d2t_access_mode"] = static_cast<int>(d2t_access_mode);
  o["server_side_encryption"] = server_side_encryption;
  o["cipher"] = cipher;
  o["key"] = key;
  o["iv"] = iv;
  o["tenant_access_key"] = tenant_access_key;
  o["dedup_backend_type"] = dedup_backend_type;
  Object extra;
  for (const auto& kv : extra_options) extra[kv.first] = kv.second;
  o["extra_options"] = std::move(extra);
  return o;
}

bool Client_IO_Base::Options::load(const json_spirit::Value& v, std::string* why)
{
  if (v.type() != json_spirit::obj_type) {
    if (why) *why = "options are not an object";
    return false;
  }
  Options o;
  Json_Fields r(v.get_obj(), why);
  int mode = o.d2t_access_mode;
  if (!r.get("compression_method", o.compression_method) || !r.get("compression_level", o.compression_level) ||
      !r.get("max_seconds_retry", o.max_seconds_retry) ||
      !r.get("resumption_buffer_size", o.resumption_buffer_size) ||
      !r.get("server_side_dedup", o.server_side_dedup) || !r.get("d2t_access_mode", mode) ||
      !r.get("server_side_encryption", o.server_side_encryption) || !r.get("cipher", o.cipher) ||
      !r.get("key", o.key) || !r.get("iv", o.iv) || !r.get("tenant_access_key", o.tenant_access_key) ||
      !r.get("dedup_backend_type", o.dedup_backend_type))
    return false;
  if (mode < D2T_Access_Auto || mode > D2T_Access_RPC) return r.bad("d2t_access_mode", "0, 1 or 2");
  o.d2t_access_mode = static_cast<D2T_Access_Mode>(mode);
  if (const Value* rl = r.find("rate_limits")) {
    if (!o.rate_limits.load(*rl, why)) return false;
  }
  if (const Value* extra = r.find("extra_options")) {
    if (extra->type() != json_spirit::obj_type) return r.bad("extra_options", "an object");
    for (const auto& kv : extra->get_obj()) {
      if (kv.second.type() != json_spirit::str_type && kv.second.type() != json_spirit::secure_str_type)
        return r.bad("extra_options." + kv.first, "a string");
      o.extra_options[kv.first] = kv.second.get_str();
    }
  }
  *this = std::move(o);
  return true;
}

json_spirit::Value Client_IO_Base::Options::masked(const json_spirit::Value& v)
{
  static const char mask[] = "******";
  // Members whose values say nothing secret; every other value may (keys, headers such
  // as the access key or an authorization token, members this layer does not know).
  static const char* const harmless[] = {"compression_method",     "compression_level", "max_seconds_retry",
                                         "resumption_buffer_size", "rate_limits",       "server_side_dedup",
                                         "d2t_access_mode",        "server_side_encryption", "cipher",
                                         "dedup_backend_type"};
  if (v.type() != json_spirit::obj_type) return v;
  Object o = v.get_obj();
  for (auto& kv : o) {
    if (std::find(std::begin(harmless), std::end(harmless), kv.first) != std::end(harmless)) continue;
    if (kv.first == "extra_options" && kv.second.type() == json_spirit::obj_type)
      for (auto& option : kv.second.get_obj()) option.second = mask;
    else
      kv.second = mask;
  }
  return Value(std::move(o));
}
