#ifndef PLATFORM_JSON_VALUE_H
#define PLATFORM_JSON_VALUE_H

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "backup/scrt/secure_string.h"

#pragma GCC visibility push(default)

namespace json_spirit {

// The JSON type a Value holds. The numbers are part of the interface.
enum Value_type {
  obj_type = 0,
  array_type = 1,
  str_type = 2,
  secure_str_type = 3,
  bool_type = 4,
  int_type = 5,
  real_type = 6,
  null_type = 7
};

// Name of a type for messages: "object", "array", "string", ...
const char* type_name(Value_type t);

class Value;

// Members are kept in ascending byte order of their keys, one value per key.
using Object = std::map<std::string, Value>;
using Array = std::vector<Value>;

// Thrown by the throwing accessors of Value and by the object_get_*_or_throw
// getters when a value is absent, of another type or out of range.
class Value_Error : public std::runtime_error {
 public:
  explicit Value_Error(const std::string& what) : std::runtime_error(what) {}
};

// A JSON value: object, array, string, secure string, boolean, integer, real or null.
//
// Integers are 64-bit; a value built from an unsigned 64-bit number carries a
// flag so that numbers above INT64_MAX keep their meaning. A secure string is
// a string whose storage is wiped when the value releases it; it serialises as
// a plain string, and get_str() and get_secure_str() read both string kinds.
//
// Not safe for concurrent modification; concurrent reads are fine.
class Value {
 public:
  // The shared null value.
  static const Value null;

  // Null. Constant-initialised, so Value::null is usable during static initialisation.
  constexpr Value() noexcept : type_(null_type), is_uint64_(false), int_(0) {}
  // A null pointer gives a null value.
  Value(const char* s);
  Value(const std::string& s);
  Value(std::string&& s) noexcept;
  Value(const secure_string& s);
  Value(bool b) noexcept : type_(bool_type), is_uint64_(false), bool_(b) {}
  Value(int i) noexcept : type_(int_type), is_uint64_(false), int_(i) {}
  Value(long i) noexcept : type_(int_type), is_uint64_(false), int_(i) {}
  Value(long long i) noexcept : type_(int_type), is_uint64_(false), int_(i) {}
  Value(unsigned int u) noexcept : type_(int_type), is_uint64_(false), int_(u) {}
  Value(unsigned long u) noexcept;
  Value(unsigned long long u) noexcept;
  Value(double d) noexcept : type_(real_type), is_uint64_(false), real_(d) {}
  Value(const Object& o);
  Value(Object&& o);
  Value(const Array& a);
  Value(Array&& a) noexcept;

  Value(const Value& other);
  // Leaves `other` null.
  Value(Value&& other) noexcept;
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept;
  ~Value();

  Value_type type() const noexcept { return type_; }
  bool is_null() const noexcept { return type_ == null_type; }
  // True for an integer built from an unsigned 64-bit number (including every
  // parsed integer above INT64_MAX).
  bool is_uint64() const noexcept { return type_ == int_type && is_uint64_; }

  // Each accessor throws Value_Error when the value is of another type.
  const Object& get_obj() const;
  Object& get_obj();
  const Array& get_array() const;
  Array& get_array();
  // Both string kinds.
  const std::string& get_str() const;
  // Both string kinds; the copy lives in wiped storage.
  secure_string get_secure_str() const;
  bool get_bool() const;
  // Throws also for an unsigned value above INT64_MAX.
  std::int64_t get_int64() const;
  // Throws also for a negative value.
  std::uint64_t get_uint64() const;
  // Integers are converted.
  double get_real() const;

  // Same type and same content; integers compare by numeric value.
  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }

 private:
  void release() noexcept;
  void copy_from(const Value& other);
  void move_from(Value& other) noexcept;
  [[noreturn]] void type_mismatch(Value_type wanted) const;

  Value_type type_;
  bool is_uint64_;
  union {
    Object* obj_;      // owned
    Array arr_;
    std::string str_;  // both string kinds; wiped on release for secure_str_type
    bool bool_;
    std::int64_t int_;
    double real_;
  };
};

}  // namespace json_spirit

#pragma GCC visibility pop

#endif
