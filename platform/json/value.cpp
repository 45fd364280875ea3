#include "platform/json/value.h"

#include <limits>
#include <new>
#include <utility>

#include "platform/runtime/secure_memset.h"

namespace json_spirit {

namespace {

constexpr std::uint64_t INT64_LIMIT = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// Clears every byte a string may have held, the inline buffer included.
void wipe(std::string& s) noexcept
{
  if (s.capacity() != 0) secure_memset(&s[0], 0, s.capacity());
}

}  // namespace

const char* type_name(Value_type t)
{
  switch (t) {
  case obj_type: return "object";
  case array_type: return "array";
  case str_type: return "string";
  case secure_str_type: return "secure string";
  case bool_type: return "boolean";
  case int_type: return "integer";
  case real_type: return "real";
  case null_type: return "null";
  }
  return "unknown";
}

const Value Value::null;

Value::Value(const char* s) : type_(str_type), is_uint64_(false)
{
  if (!s) {
    type_ = null_type;
    int_ = 0;
    return;
  }
  new (&str_) std::string(s);
}

Value::Value(const std::string& s) : type_(str_type), is_uint64_(false)
{
  new (&str_) std::string(s);
}

Value::Value(std::string&& s) noexcept : type_(str_type), is_uint64_(false)
{
  new (&str_) std::string(std::move(s));
}

Value::Value(const secure_string& s) : type_(secure_str_type), is_uint64_(false)
{
  new (&str_) std::string(s.data(), s.size());
}

Value::Value(unsigned long u) noexcept : type_(int_type), is_uint64_(true), int_(static_cast<std::int64_t>(u)) {}

Value::Value(unsigned long long u) noexcept
  : type_(int_type), is_uint64_(true), int_(static_cast<std::int64_t>(u))
{
}

Value::Value(const Object& o) : type_(obj_type), is_uint64_(false), obj_(new Object(o)) {}

Value::Value(Object&& o) : type_(obj_type), is_uint64_(false), obj_(new Object(std::move(o))) {}

Value::Value(const Array& a) : type_(array_type), is_uint64_(false)
{
  new (&arr_) Array(a);
}

Value::Value(Array&& a) noexcept : type_(array_type), is_uint64_(false)
{
  new (&arr_) Array(std::move(a));
}

Value::Value(const Value& other) : type_(null_type), is_uint64_(false), int_(0)
{
  copy_from(other);
}

Value::Value(Value&& other) noexcept : type_(null_type), is_uint64_(false), int_(0)
{
  move_from(other);
}

Value& Value::operator=(const Value& other)
{
  if (this != &other) {
    // Copy first: `other` may live inside this value.
    Value tmp(other);
    release();
    move_from(tmp);
  }
  return *this;
}

Value& Value::operator=(Value&& other) noexcept
{
  if (this != &other) {
    // Detach first: `other` may live inside this value.
    Value tmp(std::move(other));
    release();
    move_from(tmp);
  }
  return *this;
}

Value::~Value()
{
  release();
}

void Value::release() noexcept
{
  switch (type_) {
  case obj_type: delete obj_; break;
  case array_type: arr_.~Array(); break;
  case secure_str_type: wipe(str_); str_.~basic_string(); break;
  case str_type: str_.~basic_string(); break;
  default: break;
  }
  type_ = null_type;
  is_uint64_ = false;
  int_ = 0;
}

// Precondition: this value is null.
void Value::copy_from(const Value& other)
{
  switch (other.type_) {
  case obj_type: obj_ = new Object(*other.obj_); break;
  case array_type: new (&arr_) Array(other.arr_); break;
  case str_type:
  case secure_str_type: new (&str_) std::string(other.str_); break;
  case bool_type: bool_ = other.bool_; break;
  case int_type: int_ = other.int_; break;
  case real_type: real_ = other.real_; break;
  case null_type: break;
  }
  type_ = other.type_;
  is_uint64_ = other.is_uint64_;
}

// Precondition: this value is null. Leaves `other` null.
void Value::move_from(Value& other) noexcept
{
  const Value_type t = other.type_;
  switch (t) {
  case obj_type:
    obj_ = other.obj_;
    other.type_ = null_type;  // the object now belongs to this value
    break;
  case array_type: new (&arr_) Array(std::move(other.arr_)); break;
  case str_type:
  case secure_str_type: new (&str_) std::string(std::move(other.str_)); break;
  case bool_type: bool_ = other.bool_; break;
  case int_type: int_ = other.int_; break;
  case real_type: real_ = other.real_; break;
  case null_type: break;
  }
  type_ = t;
  is_uint64_ = other.is_uint64_;
  other.release();
}

void Value::type_mismatch(Value_type wanted) const
{
  throw Value_Error(std::string("JSON value is ") + type_name(type_) + ", not " + type_name(wanted));
}

const Object& Value::get_obj() const
{
  if (type_ != obj_type) type_mismatch(obj_type);
  return *obj_;
}

Object& Value::get_obj()
{
  if (type_ != obj_type) type_mismatch(obj_type);
  return *obj_;
}

const Array& Value::get_array() const
{
  if (type_ != array_type) type_mismatch(array_type);
  return arr_;
}

Array& Value::get_array()
{
  if (type_ != array_type) type_mismatch(array_type);
  return arr_;
}

const std::string& Value::get_str() const
{
  if (type_ != str_type && type_ != secure_str_type) type_mismatch(str_type);
  return str_;
}

secure_string Value::get_secure_str() const
{
  if (type_ != str_type && type_ != secure_str_type) type_mismatch(secure_str_type);
  return secure_string(str_.data(), str_.size());
}

bool Value::get_bool() const
{
  if (type_ != bool_type) type_mismatch(bool_type);
  return bool_;
}

std::int64_t Value::get_int64() const
{
  if (type_ != int_type) type_mismatch(int_type);
  if (is_uint64_ && static_cast<std::uint64_t>(int_) > INT64_LIMIT)
    throw Value_Error("JSON integer " + std::to_string(static_cast<std::uint64_t>(int_)) +
                      " does not fit a signed 64-bit integer");
  return int_;
}

std::uint64_t Value::get_uint64() const
{
  if (type_ != int_type) type_mismatch(int_type);
  if (!is_uint64_ && int_ < 0)
    throw Value_Error("JSON integer " + std::to_string(int_) + " is negative, not unsigned");
  return static_cast<std::uint64_t>(int_);
}

double Value::get_real() const
{
  if (type_ == int_type)
    return is_uint64_ ? static_cast<double>(static_cast<std::uint64_t>(int_)) : static_cast<double>(int_);
  if (type_ != real_type) type_mismatch(real_type);
  return real_;
}

bool Value::operator==(const Value& other) const
{
  if (type_ != other.type_) return false;
  switch (type_) {
  case obj_type: return *obj_ == *other.obj_;
  case array_type: return arr_ == other.arr_;
  case str_type:
  case secure_str_type: return str_ == other.str_;
  case bool_type: return bool_ == other.bool_;
  case int_type: {
    // The same bits mean different numbers when exactly one side is an
    // unsigned value above INT64_MAX (read as a negative signed number).
    if (int_ != other.int_) return false;
    const bool big = is_uint64_ && int_ < 0;
    const bool other_big = other.is_uint64_ && other.int_ < 0;
    return big == other_big;
  }
  case real_type: return real_ == other.real_;
  case null_type: return true;
  }
  return false;
}

}  // namespace json_spirit
