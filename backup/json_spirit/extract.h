#ifndef BACKUP_JSON_SPIRIT_EXTRACT_H
#define BACKUP_JSON_SPIRIT_EXTRACT_H

// Reading named members of an object in one chained expression:
//
//   extract_or_throw(o)("id", id)("name", name, FG_NOTHROW)("port", port);
//
// A required read (FG_THROW) throws what the library getter throws when the
// member is absent or of another type; the chain stops there, so the members
// before it have been written and the ones after it have not. An optional read
// leaves a value output unchanged when the member is absent or unreadable and
// sets a pointer output to the member or to null. Integers are read as 64-bit
// numbers and narrowed to the output's width without a range check.

#include <string>
#include <type_traits>
#include <utility>

#include "backup/scrt/secure_string.h"
#include "platform/json/object_get.h"
#include "platform/json/value.h"

namespace json_spirit {

// Bits of the flags of a read; only FG_THROW matters for member reads.
enum Flag {
  FG_NOTHROW = 0,
  FG_THROW = 1,
  FG_BRK_UNT_CHROOT = 2
};

namespace extract_detail {

template <typename T>
inline constexpr bool is_signed_wide_v =
  std::is_same_v<T, int> || std::is_same_v<T, long> || std::is_same_v<T, long long>;

template <typename T>
inline constexpr bool is_unsigned_wide_v = std::is_same_v<T, unsigned int> ||
                                           std::is_same_v<T, unsigned long> ||
                                           std::is_same_v<T, unsigned long long>;

// Narrow integers and enumerations: read through a `long` when optional.
template <typename T>
inline constexpr bool is_narrow_v =
  std::is_enum_v<T> ||
  (std::is_integral_v<T> && !std::is_same_v<T, bool> && sizeof(T) < sizeof(int));

}  // namespace extract_detail

// Optional read of an `unsigned short`, an enumeration or another narrow
// integer: the member is read as a `long` and `out` takes its low bits only
// when that read succeeds.
template <typename T, std::enable_if_t<extract_detail::is_narrow_v<T>, int> = 0>
bool object_get(const Object& obj, const std::string& key, T& out)
{
  long tmp = 0;
  if (!object_get(obj, key, tmp)) return false;
  out = static_cast<T>(tmp);
  return true;
}

// The member's value, or a copy of `def` when it cannot be read.
template <typename T>
T object_get_or_default(const Object& obj, const std::string& key, const T& def)
{
  T out{};
  if (object_get(obj, key, out)) return out;
  return def;
}

// One member into a value: required (`must`) through the library's throwing
// getter, otherwise through object_get. Returns whether `out` was written.
template <typename T>
bool object_get_may_throw(const Object& obj, const std::string& key, T& out, bool must)
{
  using namespace extract_detail;
  if constexpr (std::is_same_v<T, std::string>) {
    if (!must) return object_get(obj, key, out);
    out = object_get_str_or_throw(obj, key);
  } else if constexpr (std::is_same_v<T, secure_string>) {
    if (!must) return object_get(obj, key, out);
    out = object_get_secure_str_or_throw(obj, key);
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!must) return object_get(obj, key, out);
    out = object_get_bool_or_throw(obj, key);
  } else if constexpr (is_signed_wide_v<T>) {
    if (!must) return object_get(obj, key, out);
    out = static_cast<T>(object_get_int64_or_throw(obj, key));
  } else if constexpr (is_unsigned_wide_v<T>) {
    if (!must) return object_get(obj, key, out);
    out = static_cast<T>(object_get_uint64_or_throw(obj, key));
  } else if constexpr (is_narrow_v<T>) {
    if (!must) return object_get(obj, key, out);
    if constexpr (std::is_signed_v<T>)
      out = static_cast<T>(object_get_int64_or_throw(obj, key));
    else
      out = static_cast<T>(object_get_uint64_or_throw(obj, key));
  } else if constexpr (std::is_same_v<T, double>) {
    if (!must) return object_get(obj, key, out);
    out = object_get_real_or_throw(obj, key);
  } else if constexpr (std::is_same_v<T, Object>) {
    if (!must) return object_get(obj, key, out);
    out = object_get_object_or_throw(obj, key);
  } else if constexpr (std::is_same_v<T, Array>) {
    if (!must) return object_get(obj, key, out);
    out = object_get_array_or_throw(obj, key);
  } else if constexpr (std::is_same_v<T, Value>) {
    if (!must) return object_get(obj, key, out);
    out = object_get_value_or_throw(obj, key);
  } else {
    static_assert(!std::is_same_v<T, T>, "no JSON read for this type");
  }
  return true;
}

// Reads into values. `D` is the extractor, `O` its object type (const or not).
template <typename D, typename O>
class Object_Value_Extractor {
 public:
  template <typename T, std::enable_if_t<!std::is_pointer_v<T>, int> = 0>
  D& operator()(const std::string& key, T& out, unsigned int flags)
  {
    D& self = static_cast<D&>(*this);
    object_get_may_throw(self.obj_, key, out, (flags & FG_THROW) != 0);
    return self;
  }
};

// Reads into pointers to members: `std::string`, `Object`, `Array`, `Value`,
// const, or not when the extractor's object is not const. The pointer is
// always written: null when an optional member is absent or of another type.
template <typename D, typename O>
class Object_Pointer_Extractor {
 public:
  template <typename T>
  D& operator()(const std::string& key, T*& out, unsigned int flags)
  {
    D& self = static_cast<D&>(*this);
    O& obj = self.obj_;
    const bool must = (flags & FG_THROW) != 0;
    using U = std::remove_const_t<T>;
    if constexpr (std::is_same_v<U, std::string>)
      out = must ? &object_get_str_or_throw(obj, key) : object_get_str(obj, key);
    else if constexpr (std::is_same_v<U, Object>)
      out = must ? &object_get_object_or_throw(obj, key) : object_get_object(obj, key);
    else if constexpr (std::is_same_v<U, Array>)
      out = must ? &object_get_array_or_throw(obj, key) : object_get_array(obj, key);
    else if constexpr (std::is_same_v<U, Value>)
      out = must ? &object_get_value_or_throw(obj, key) : object_get_value(obj, key);
    else
      static_assert(!std::is_same_v<U, U>, "no JSON pointer read for this type");
    return self;
  }
};

// Runs a function of the extractor's object inside a chain:
// `extract(o)("id", id)([&](const Object& o) { ... })`.
template <typename D>
class Callbackable_T {
 public:
  template <typename F>
  D& operator()(F&& f)
  {
    D& self = static_cast<D&>(*this);
    std::forward<F>(f)(self.obj_);
    return self;
  }
};

// The two-argument read, with the extractor's own flags.
template <typename D>
class Flaggable_T {
 public:
  template <typename T>
  D& operator()(const std::string& key, T& out)
  {
    D& self = static_cast<D&>(*this);
    return self(key, out, self.flags_);
  }
};

// An extractor over a const object. It holds a reference and the flags only
// and is passed by value; the object must outlive it.
class Const_Object_Extractor
  : public Object_Value_Extractor<Const_Object_Extractor, const Object>,
    public Object_Pointer_Extractor<Const_Object_Extractor, const Object>,
    public Callbackable_T<Const_Object_Extractor>,
    public Flaggable_T<Const_Object_Extractor> {
 public:
  Const_Object_Extractor(const Object& obj, unsigned int flags) noexcept : obj_(obj), flags_(flags) {}

  using Object_Value_Extractor<Const_Object_Extractor, const Object>::operator();
  using Object_Pointer_Extractor<Const_Object_Extractor, const Object>::operator();
  using Callbackable_T<Const_Object_Extractor>::operator();
  using Flaggable_T<Const_Object_Extractor>::operator();

  const Object& obj_;
  unsigned int flags_;
};

// The same over a modifiable object: it can also hand out non-const pointers.
class Object_Extractor : public Object_Value_Extractor<Object_Extractor, Object>,
                         public Object_Pointer_Extractor<Object_Extractor, Object>,
                         public Callbackable_T<Object_Extractor>,
                         public Flaggable_T<Object_Extractor> {
 public:
  Object_Extractor(Object& obj, unsigned int flags) noexcept : obj_(obj), flags_(flags) {}

  using Object_Value_Extractor<Object_Extractor, Object>::operator();
  using Object_Pointer_Extractor<Object_Extractor, Object>::operator();
  using Callbackable_T<Object_Extractor>::operator();
  using Flaggable_T<Object_Extractor>::operator();

  Object& obj_;
  unsigned int flags_;
};

// Optional reads by default.
inline Const_Object_Extractor extract(const Object& obj) noexcept
{
  return Const_Object_Extractor(obj, FG_NOTHROW);
}
inline Object_Extractor extract(Object& obj) noexcept
{
  return Object_Extractor(obj, FG_NOTHROW);
}

// Required reads by default.
inline Const_Object_Extractor extract_or_throw(const Object& obj) noexcept
{
  return Const_Object_Extractor(obj, FG_THROW);
}
inline Object_Extractor extract_or_throw(Object& obj) noexcept
{
  return Object_Extractor(obj, FG_THROW);
}

}  // namespace json_spirit

#endif
