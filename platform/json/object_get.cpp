#include "platform/json/object_get.h"

#include <limits>

namespace json_spirit {

namespace {

const Value* find(const Object& obj, const std::string& key) noexcept
{
  const auto it = obj.find(key);
  return it == obj.end() ? nullptr : &it->second;
}

Value* find(Object& obj, const std::string& key) noexcept
{
  const auto it = obj.find(key);
  return it == obj.end() ? nullptr : &it->second;
}

bool is_string(const Value& v) noexcept
{
  return v.type() == str_type || v.type() == secure_str_type;
}

// A signed 64-bit reading of an integer value, when it has one.
bool as_int64(const Value* v, std::int64_t& out) noexcept
{
  if (!v || v->type() != int_type) return false;
  if (v->is_uint64() && v->get_uint64() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
    return false;
  out = v->get_int64();
  return true;
}

// An unsigned 64-bit reading of an integer value, when it has one.
bool as_uint64(const Value* v, std::uint64_t& out) noexcept
{
  if (!v || v->type() != int_type) return false;
  if (!v->is_uint64() && v->get_int64() < 0) return false;
  out = v->get_uint64();
  return true;
}

[[noreturn]] void fail_missing(const std::string& key)
{
  throw Value_Error("JSON member '" + key + "' not found");
}

[[noreturn]] void fail_type(const std::string& key, const Value& v, const char* wanted)
{
  throw Value_Error("JSON member '" + key + "' is " + type_name(v.type()) + ", not " + wanted);
}

const Value& must_find(const Object& obj, const std::string& key)
{
  const Value* v = find(obj, key);
  if (!v) fail_missing(key);
  return *v;
}

Value& must_find(Object& obj, const std::string& key)
{
  Value* v = find(obj, key);
  if (!v) fail_missing(key);
  return *v;
}

template <typename Int>
bool get_signed(const Object& obj, const std::string& key, Int& out) noexcept
{
  std::int64_t v;
  if (!as_int64(find(obj, key), v)) return false;
  out = static_cast<Int>(v);
  return true;
}

template <typename Int>
bool get_unsigned(const Object& obj, const std::string& key, Int& out) noexcept
{
  std::uint64_t v;
  if (!as_uint64(find(obj, key), v)) return false;
  out = static_cast<Int>(v);
  return true;
}

}  // namespace

bool object_get(const Object& obj, const std::string& key, std::string& out)
{
  const Value* v = find(obj, key);
  if (!v || !is_string(*v)) return false;
  out = v->get_str();
  return true;
}

bool object_get(const Object& obj, const std::string& key, secure_string& out)
{
  const Value* v = find(obj, key);
  if (!v || !is_string(*v)) return false;
  const std::string& s = v->get_str();
  out.assign(s.data(), s.size());
  return true;
}

bool object_get(const Object& obj, const std::string& key, bool& out)
{
  const Value* v = find(obj, key);
  if (!v || v->type() != bool_type) return false;
  out = v->get_bool();
  return true;
}

bool object_get(const Object& obj, const std::string& key, int& out)
{
  return get_signed(obj, key, out);
}

bool object_get(const Object& obj, const std::string& key, long& out)
{
  return get_signed(obj, key, out);
}

bool object_get(const Object& obj, const std::string& key, long long& out)
{
  return get_signed(obj, key, out);
}

bool object_get(const Object& obj, const std::string& key, unsigned int& out)
{
  return get_unsigned(obj, key, out);
}

bool object_get(const Object& obj, const std::string& key, unsigned long& out)
{
  return get_unsigned(obj, key, out);
}

bool object_get(const Object& obj, const std::string& key, unsigned long long& out)
{
  return get_unsigned(obj, key, out);
}

bool object_get(const Object& obj, const std::string& key, double& out)
{
  const Value* v = find(obj, key);
  if (!v || (v->type() != real_type && v->type() != int_type)) return false;
  out = v->get_real();
  return true;
}

bool object_get(const Object& obj, const std::string& key, Object& out)
{
  const Value* v = find(obj, key);
  if (!v || v->type() != obj_type) return false;
  out = v->get_obj();
  return true;
}

bool object_get(const Object& obj, const std::string& key, Array& out)
{
  const Value* v = find(obj, key);
  if (!v || v->type() != array_type) return false;
  out = v->get_array();
  return true;
}

bool object_get(const Object& obj, const std::string& key, Value& out)
{
  const Value* v = find(obj, key);
  if (!v) return false;
  out = *v;
  return true;
}

const std::string* object_get_str(const Object& obj, const std::string& key) noexcept
{
  const Value* v = find(obj, key);
  return v && is_string(*v) ? &v->get_str() : nullptr;
}

std::string* object_get_str(Object& obj, const std::string& key) noexcept
{
  Value* v = find(obj, key);
  return v && is_string(*v) ? const_cast<std::string*>(&v->get_str()) : nullptr;
}

const Object* object_get_object(const Object& obj, const std::string& key) noexcept
{
  const Value* v = find(obj, key);
  return v && v->type() == obj_type ? &v->get_obj() : nullptr;
}

Object* object_get_object(Object& obj, const std::string& key) noexcept
{
  Value* v = find(obj, key);
  return v && v->type() == obj_type ? &v->get_obj() : nullptr;
}

const Array* object_get_array(const Object& obj, const std::string& key) noexcept
{
  const Value* v = find(obj, key);
  return v && v->type() == array_type ? &v->get_array() : nullptr;
}

Array* object_get_array(Object& obj, const std::string& key) noexcept
{
  Value* v = find(obj, key);
  return v && v->type() == array_type ? &v->get_array() : nullptr;
}

const Value* object_get_value(const Object& obj, const std::string& key) noexcept
{
  return find(obj, key);
}

Value* object_get_value(Object& obj, const std::string& key) noexcept
{
  return find(obj, key);
}

const std::string& object_get_str_or_throw(const Object& obj, const std::string& key)
{
  const Value& v = must_find(obj, key);
  if (!is_string(v)) fail_type(key, v, "a string");
  return v.get_str();
}

std::string& object_get_str_or_throw(Object& obj, const std::string& key)
{
  Value& v = must_find(obj, key);
  if (!is_string(v)) fail_type(key, v, "a string");
  return const_cast<std::string&>(v.get_str());
}

secure_string object_get_secure_str_or_throw(const Object& obj, const std::string& key)
{
  const Value& v = must_find(obj, key);
  if (!is_string(v)) fail_type(key, v, "a string");
  return v.get_secure_str();
}

bool object_get_bool_or_throw(const Object& obj, const std::string& key)
{
  const Value& v = must_find(obj, key);
  if (v.type() != bool_type) fail_type(key, v, "a boolean");
  return v.get_bool();
}

std::int64_t object_get_int64_or_throw(const Object& obj, const std::string& key)
{
  const Value& v = must_find(obj, key);
  if (v.type() != int_type) fail_type(key, v, "an integer");
  std::int64_t out;
  if (!as_int64(&v, out))
    throw Value_Error("JSON member '" + key + "' does not fit a signed 64-bit integer");
  return out;
}

std::uint64_t object_get_uint64_or_throw(const Object& obj, const std::string& key)
{
  const Value& v = must_find(obj, key);
  if (v.type() != int_type) fail_type(key, v, "an integer");
  std::uint64_t out;
  if (!as_uint64(&v, out)) throw Value_Error("JSON member '" + key + "' is negative, not unsigned");
  return out;
}

double object_get_real_or_throw(const Object& obj, const std::string& key)
{
  const Value& v = must_find(obj, key);
  if (v.type() != real_type && v.type() != int_type) fail_type(key, v, "a number");
  return v.get_real();
}

const Object& object_get_object_or_throw(const Object& obj, const std::string& key)
{
  const Value& v = must_find(obj, key);
  if (v.type() != obj_type) fail_type(key, v, "an object");
  return v.get_obj();
}

Object& object_get_object_or_throw(Object& obj, const std::string& key)
{
  Value& v = must_find(obj, key);
  if (v.type() != obj_type) fail_type(key, v, "an object");
  return v.get_obj();
}

const Array& object_get_array_or_throw(const Object& obj, const std::string& key)
{
  const Value& v = must_find(obj, key);
  if (v.type() != array_type) fail_type(key, v, "an array");
  return v.get_array();
}

Array& object_get_array_or_throw(Object& obj, const std::string& key)
{
  Value& v = must_find(obj, key);
  if (v.type() != array_type) fail_type(key, v, "an array");
  return v.get_array();
}

const Value& object_get_value_or_throw(const Object& obj, const std::string& key)
{
  return must_find(obj, key);
}

Value& object_get_value_or_throw(Object& obj, const std::string& key)
{
  return must_find(obj, key);
}

}  // namespace json_spirit
