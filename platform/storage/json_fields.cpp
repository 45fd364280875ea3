#include "platform/storage/json_fields.h"

#include <cstdint>

using json_spirit::Value;

const Value* Json_Fields::find(const char* key) const
{
  auto it = obj_.find(key);
  return it == obj_.end() ? nullptr : &it->second;
}

bool Json_Fields::bad(const std::string& key, const char* what)
{
  if (why_) *why_ = prefix_ + key + " is not " + what;
  return false;
}

bool Json_Fields::get(const char* key, int& out)
{
  const Value* v = find(key);
  if (!v) return true;
  if (v->type() != json_spirit::int_type || v->is_uint64() || v->get_int64() < INT32_MIN || v->get_int64() > INT32_MAX)
    return bad(key, "a 32-bit integer");
  out = static_cast<int>(v->get_int64());
  return true;
}

bool Json_Fields::get(const char* key, std::int64_t& out)
{
  const Value* v = find(key);
  if (!v) return true;
  if (v->type() != json_spirit::int_type || v->is_uint64()) return bad(key, "a signed 64-bit integer");
  out = v->get_int64();
  return true;
}

bool Json_Fields::get(const char* key, std::uint64_t& out)
{
  const Value* v = find(key);
  if (!v) return true;
  if (v->type() != json_spirit::int_type || (!v->is_uint64() && v->get_int64() < 0))
    return bad(key, "a non-negative integer");
  out = v->get_uint64();
  return true;
}

bool Json_Fields::get(const char* key, bool& out)
{
  const Value* v = find(key);
  if (!v) return true;
  if (v->type() != json_spirit::bool_type) return bad(key, "a boolean");
  out = v->get_bool();
  return true;
}

bool Json_Fields::get(const char* key, std::string& out)
{
  const Value* v = find(key);
  if (!v) return true;
  if (v->type() != json_spirit::str_type && v->type() != json_spirit::secure_str_type) return bad(key, "a string");
  out = v->get_str();
  return true;
}

bool Json_Fields::get(const char* key, json_spirit::Object& out)
{
  const Value* v = find(key);
  if (!v) return true;
  if (v->type() != json_spirit::obj_type) return bad(key, "an object");
  out = v->get_obj();
  return true;
}

bool Json_Fields::get(const char* key, json_spirit::Array& out)
{
  const Value* v = find(key);
  if (!v) return true;
  if (v->type() != json_spirit::array_type) return bad(key, "an array");
  out = v->get_array();
  return true;
}

bool Json_Fields::get(const char* key, std::vector<std::string>& out)
{
  const Value* v = find(key);
  if (!v) return true;
  if (v->type() != json_spirit::array_type) return bad(key, "an array of strings");
  std::vector<std::string> r;
  for (const Value& e : v->get_array()) {
    if (e.type() != json_spirit::str_type && e.type() != json_spirit::secure_str_type)
      return bad(key, "an array of strings");
    r.push_back(e.get_str());
  }
  out = std::move(r);
  return true;
}
