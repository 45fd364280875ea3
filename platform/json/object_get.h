#ifndef PLATFORM_JSON_OBJECT_GET_H
#define PLATFORM_JSON_OBJECT_GET_H

#include <cstdint>
#include <string>

#include "backup/scrt/secure_string.h"
#include "platform/json/value.h"

#pragma GCC visibility push(default)

namespace json_spirit {

// Member getters of an Object.
//
// object_get(obj, key, out): true and `out` written when the member is present
// and readable as out's type; false and `out` unchanged otherwise (absent,
// another type, or a number outside the range of a 64-bit read). Never throws.
// Both string kinds read into both string outputs. `int` and `unsigned int`
// outputs take the low bits of the 64-bit read.
bool object_get(const Object& obj, const std::string& key, std::string& out);
bool object_get(const Object& obj, const std::string& key, secure_string& out);
bool object_get(const Object& obj, const std::string& key, bool& out);
bool object_get(const Object& obj, const std::string& key, int& out);
bool object_get(const Object& obj, const std::string& key, long& out);
bool object_get(const Object& obj, const std::string& key, long long& out);
bool object_get(const Object& obj, const std::string& key, unsigned int& out);
bool object_get(const Object& obj, const std::string& key, unsigned long& out);
bool object_get(const Object& obj, const std::string& key, unsigned long long& out);
bool object_get(const Object& obj, const std::string& key, double& out);
bool object_get(const Object& obj, const std::string& key, Object& out);
bool object_get(const Object& obj, const std::string& key, Array& out);
bool object_get(const Object& obj, const std::string& key, Value& out);

// Pointers into `obj` (valid while it lives unchanged), or null when the member
// is absent or of another type. object_get_str accepts both string kinds; a
// secure string reached through a non-const pointer must not be grown, or its
// old storage is released unwiped.
const std::string* object_get_str(const Object& obj, const std::string& key) noexcept;
std::string* object_get_str(Object& obj, const std::string& key) noexcept;
const Object* object_get_object(const Object& obj, const std::string& key) noexcept;
Object* object_get_object(Object& obj, const std::string& key) noexcept;
const Array* object_get_array(const Object& obj, const std::string& key) noexcept;
Array* object_get_array(Object& obj, const std::string& key) noexcept;
const Value* object_get_value(const Object& obj, const std::string& key) noexcept;
Value* object_get_value(Object& obj, const std::string& key) noexcept;

// The member of the named type; throw Value_Error naming the key when it is
// absent, of another type or out of range (a negative number for the uint64
// read, a number above INT64_MAX for the int64 read, a real for either).
const std::string& object_get_str_or_throw(const Object& obj, const std::string& key);
std::string& object_get_str_or_throw(Object& obj, const std::string& key);
secure_string object_get_secure_str_or_throw(const Object& obj, const std::string& key);
bool object_get_bool_or_throw(const Object& obj, const std::string& key);
std::int64_t object_get_int64_or_throw(const Object& obj, const std::string& key);
std::uint64_t object_get_uint64_or_throw(const Object& obj, const std::string& key);
double object_get_real_or_throw(const Object& obj, const std::string& key);
const Object& object_get_object_or_throw(const Object& obj, const std::string& key);
Object& object_get_object_or_throw(Object& obj, const std::string& key);
const Array& object_get_array_or_throw(const Object& obj, const std::string& key);
Array& object_get_array_or_throw(Object& obj, const std::string& key);
const Value& object_get_value_or_throw(const Object& obj, const std::string& key);
Value& object_get_value_or_throw(Object& obj, const std::string& key);

}  // namespace json_spirit

#pragma GCC visibility pop

#endif
