#ifndef BACKUP_JSON_SPIRIT_ASSIGN_H
#define BACKUP_JSON_SPIRIT_ASSIGN_H

// Building JSON objects in one chained expression:
//
//   insert(o)("id", id)("name", skip_empty(name))("date", skip_if(date, date == 0));
//
// Every value is converted to a json_spirit::Value by its static type (strings
// and `char const*` to strings, `long`/`int`/`unsigned short`/enumerations to
// integers, `unsigned long` to an unsigned integer, `bool`, objects, arrays,
// values). Inserting a key that is already there replaces its value; a skipped
// key leaves whatever the object holds under it. Only std::bad_alloc is thrown.

#include <cstddef>
#include <string>
#include <utility>

#include "platform/json/value.h"

namespace json_spirit {

// A value with the decision whether to write it. `value` is a reference: an
// lvalue given to skip_if is referred to, a temporary lives to the end of the
// full expression, so a skipped value is never copied or converted.
template <typename T>
struct Skip_Inserting_Tag {
  T&& value;
  bool valid;
};

// A tag that is valid exactly when the value (a string, an object or an
// array) is not empty.
template <typename T>
struct Skip_Empty_Tag : Skip_Inserting_Tag<T> {
  explicit Skip_Empty_Tag(T&& v) : Skip_Inserting_Tag<T>{std::forward<T>(v), !v.empty()} {}
};

// The key is left out when `cond` is true.
template <typename T>
Skip_Inserting_Tag<T> skip_if(T&& value, bool cond)
{
  return Skip_Inserting_Tag<T>{std::forward<T>(value), !cond};
}

struct Skip_Empty_Helper {
  template <typename T>
  Skip_Empty_Tag<T> operator()(T&& value) const
  {
    return Skip_Empty_Tag<T>(std::forward<T>(value));
  }
};

// skip_empty(x): the key is left out when `x` is empty.
inline constexpr Skip_Empty_Helper skip_empty{};

// Inserts into the object it is bound to; it owns nothing, so the object must
// outlive it.
class Object_Inserter {
 public:
  explicit Object_Inserter(Object& target) noexcept : obj(target) {}

  // The core insertion: `value` is moved into the member `key`, replacing any
  // value already there.
  Object_Inserter& operator()(const std::string& key, Value value)
  {
    obj.insert_or_assign(key, std::move(value));
    return *this;
  }

  // Writes the tagged value only when the tag is valid.
  template <typename T>
  Object_Inserter& operator()(const std::string& key, const Skip_Inserting_Tag<T>& tag)
  {
    if (tag.valid) obj.insert_or_assign(key, Value(std::forward<T>(tag.value)));
    return *this;
  }

  // A literal key with any value or tag.
  template <std::size_t N, typename V>
  Object_Inserter& operator()(const char (&key)[N], V&& value)
  {
    return (*this)(std::string(key), std::forward<V>(value));
  }

  // Ends a chain.
  operator Object&() const noexcept { return obj; }

  Object& obj;
};

inline Object_Inserter insert(Object& obj) noexcept
{
  return Object_Inserter(obj);
}

// A JSON value holding an object, filled in place:
// `Object_Maker()("uuid", id)` is the value {"uuid": id}.
class Object_Maker : public Value, public Object_Inserter {
 public:
  Object_Maker() : Value(Object()), Object_Inserter(Value::get_obj()) {}
  Object_Maker(const Object_Maker& other) : Value(other), Object_Inserter(Value::get_obj()) {}
  Object_Maker(Object_Maker&& other) noexcept
    : Value(static_cast<Value&&>(other)), Object_Inserter(Value::get_obj())
  {
  }
  Object_Maker& operator=(const Object_Maker&) = delete;
  Object_Maker& operator=(Object_Maker&&) = delete;

  template <typename K, typename V>
  Object_Maker& operator()(K&& key, V&& value) &
  {
    Object_Inserter::operator()(std::forward<K>(key), std::forward<V>(value));
    return *this;
  }

  template <typename K, typename V>
  Object_Maker&& operator()(K&& key, V&& value) &&
  {
    Object_Inserter::operator()(std::forward<K>(key), std::forward<V>(value));
    return std::move(*this);
  }
};

// Makes `v` an empty object (whatever it held is discarded) and returns it.
inline Object& to_new_object(Value& v)
{
  v = Object();
  return v.get_obj();
}

// Makes `v` an empty array (whatever it held is discarded) and returns it.
inline Array& to_new_array(Value& v)
{
  v = Array();
  return v.get_array();
}

// The object `v` holds, with its members; when `v` holds something else it
// becomes an empty object first.
inline Object& to_object(Value& v)
{
  return v.type() == obj_type ? v.get_obj() : to_new_object(v);
}

// The array `v` holds; when `v` holds something else it becomes an empty
// array first.
inline Array& to_array(Value& v)
{
  return v.type() == array_type ? v.get_array() : to_new_array(v);
}

// Makes `v` the array of the arguments, in order, each converted as an
// inserted value is.
template <typename... Args>
void params_to_array(Value& v, const Args&... args)
{
  Array& a = to_new_array(v);
  a.reserve(sizeof...(Args));
  (a.emplace_back(args), ...);
}

}  // namespace json_spirit

#endif
