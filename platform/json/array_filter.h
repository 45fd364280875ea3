#ifndef PLATFORM_JSON_ARRAY_FILTER_H
#define PLATFORM_JSON_ARRAY_FILTER_H

#include <string>

#include "platform/json/value.h"

#pragma GCC visibility push(default)

namespace json_spirit {

// Keeps the elements of one JSON type.
struct Type_Checker {
  Value_type type;
  bool operator()(const Value& v) const noexcept { return v.type() == type; }
};

// Element to its object (checked by a Type_Checker first).
struct Get_Object_Helper {
  const Object& operator()(const Value& v) const { return v.get_obj(); }
  Object& operator()(Value& v) const { return v.get_obj(); }
};

// Element to its string (checked by a Type_Checker first).
struct Get_String_type_Helper {
  const std::string& operator()(const Value& v) const { return v.get_str(); }
};

// A filter and a converter, applied to an Array with operator| (see
// backup/json_spirit/filter.h).
template <typename Pred, typename Conv>
struct Pred_Conv_Pair {
  Pred pred;
  Conv conv;
};

// `array | get_obj`: the objects of an array; `array | get_str`: its strings.
inline const Pred_Conv_Pair<Type_Checker, Get_Object_Helper> get_obj{{obj_type}, {}};
inline const Pred_Conv_Pair<Type_Checker, Get_String_type_Helper> get_str{{str_type}, {}};

}  // namespace json_spirit

#pragma GCC visibility pop

#endif
