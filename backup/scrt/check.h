#ifndef BACKUP_SCRT_CHECK_H
#define BACKUP_SCRT_CHECK_H

// Check macros: one family for every internal precondition.
//
// Each macro tests one condition. When it does not hold, the macro writes one
// line at LM_EMERGENCY with status -1 through RHV_LOG ("backup/scrt/log.h") and
// makes the enclosing function return at once. The last arguments are the value to
// return; leave them out in a function returning void:
//
//   RHV_CHECK_NOT_NULL(params, false);
//   RHV_CHECK_NOT_NULL(session_, -1);
//   RHV_CHECK_NOT_NULL(io_, nullptr);
//   RHV_CHECK_NOT_EMPTY(vm_id, {});
//   RHV_CHECK_GE(n_worker_threads, 1, -1);
//   RHV_CHECK_NOT_NULL(task);                       // in a void function
//
// Every line starts with "Unexpected error in %N:%l, " and the expression as
// written in the source, then:
//
//   RHV_CHECK_NOT_NULL(p, ...)            p is not null          " is NULL:\n%?\n"
//   RHV_CHECK_NOT_NULL_OR_EMPTY(s, ...)   char const* s is neither null nor ""
//                                                                " is NULL or \"\":\n%?\n"
//   RHV_CHECK_NOT_EMPTY(c, ...)           !c.empty()             " is empty:\n%?\n"
//   RHV_CHECK_FALSE(flag, ...)            !flag                  " is true:\n%?\n"
//   RHV_CHECK_JSON_RPC_REQUEST(obj, ...)  obj's type() is 2      " is not JSON-RPC request!\n"
//   RHV_CHECK_JSON_RPC_RESPONSE(obj, ...) obj's type() is 3      " is not JSON-RPC response!\n"
//
// The JSON-RPC checks accept an object with a type() member, a raw or smart
// pointer to one, or an ACE_Refcounted_Auto_Ptr; a null pointer counts as neither
// a request nor a response. They print no stack trace.
//
// Relation checks print the relation that was found, not the one required, with
// each operand's value in parentheses after its text unless the value prints the
// same as the text (so a literal is not repeated):
//
//   RHV_CHECK_GE(a, b, ...)   a >= b    "a%s < b%s:\n%?\n"
//   RHV_CHECK_GT(a, b, ...)   a > b     "a%s <= b%s:\n%?\n"
//   RHV_CHECK_EQ(a, b, ...)   a == b    "a%s != b%s:\n%?\n"
//   RHV_CHECK_LE(a, b, ...)   a <= b    "a%s > b%s:\n%?\n"
//   RHV_CHECK_LT(a, b, ...)   a < b     "a%s >= b%s:\n%?\n"
//   RHV_CHECK_NE(a, b, ...)   a != b    "a%s == b%s:\n%?\n"
//
// e.g. RHV_CHECK_GE(n_worker_threads, 1, false) with n_worker_threads 0 logs
// "Unexpected error in <file>:<line>, n_worker_threads(0) < 1:" and a stack trace.
// The operand values are formatted only when the check fails, by evaluating the
// operands a second time: pass operands without side effects. An operand's
// source text becomes part of an ACE format, so it must not contain '%'.

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

#include "backup/scrt/log.h"
#include "backup/scrt/to_string.h"

// The text of a relation check's operand: "(value)", or "" when the value prints
// the same as the operand's source text.
template <typename T>
inline std::string to_string_for_scrt_check_macro(T const& value, char const* text)
{
  return scrt::to_string_if_ne(value, text, "(", ")");
}

namespace scrt {
namespace check_detail {

// JSON-RPC object types the type checks compare with.
enum { JSON_RPC_TYPE_NONE = 0, JSON_RPC_TYPE_REQUEST = 2, JSON_RPC_TYPE_RESPONSE = 3 };

template <int N> struct Rank : Rank<N - 1> {};
template <> struct Rank<0> {};

// An object with type().
template <typename O>
inline auto json_rpc_type(O const& obj, Rank<2>) -> decltype(static_cast<int>(obj.type()))
{
  return static_cast<int>(obj.type());
}

// ACE_Refcounted_Auto_Ptr and the like: null() tells an empty pointer.
template <typename O>
inline auto json_rpc_type(O const& obj, Rank<1>)
    -> decltype(static_cast<bool>(obj.null()), static_cast<int>(obj->type()))
{
  return obj.null() ? static_cast<int>(JSON_RPC_TYPE_NONE) : static_cast<int>(obj->type());
}

// Raw and standard smart pointers.
template <typename O>
inline auto json_rpc_type(O const& obj, Rank<0>) -> decltype(!obj, static_cast<int>(obj->type()))
{
  return !obj ? static_cast<int>(JSON_RPC_TYPE_NONE) : static_cast<int>(obj->type());
}

template <typename O>
inline int json_rpc_type_of(O const& obj)
{
  return json_rpc_type(obj, Rank<2>{});
}

inline bool null_or_empty(char const* s) { return s == nullptr || *s == '\0'; }

}  // namespace check_detail
}  // namespace scrt

#define RHV_CHECK_PREFIX_ "Unexpected error in %N:%l, "

#define RHV_CHECK_NOT_NULL(p, ...)                                    \
  do {                                                                \
    if (!(p)) {                                                       \
      RHV_LOG(-1, LM_EMERGENCY, RHV_CHECK_PREFIX_ #p " is NULL:\n%?\n"); \
      return __VA_ARGS__;                                             \
    }                                                                 \
  } while (0)

#define RHV_CHECK_NOT_NULL_OR_EMPTY(s, ...)                                      \
  do {                                                                           \
    if (::scrt::check_detail::null_or_empty(s)) {                                \
      RHV_LOG(-1, LM_EMERGENCY, RHV_CHECK_PREFIX_ #s " is NULL or \"\":\n%?\n"); \
      return __VA_ARGS__;                                                        \
    }                                                                            \
  } while (0)

#define RHV_CHECK_NOT_EMPTY(c, ...)                                    \
  do {                                                                 \
    if ((c).empty()) {                                                 \
      RHV_LOG(-1, LM_EMERGENCY, RHV_CHECK_PREFIX_ #c " is empty:\n%?\n"); \
      return __VA_ARGS__;                                              \
    }                                                                  \
  } while (0)

#define RHV_CHECK_FALSE(flag, ...)                                        \
  do {                                                                    \
    if (flag) {                                                           \
      RHV_LOG(-1, LM_EMERGENCY, RHV_CHECK_PREFIX_ #flag " is true:\n%?\n"); \
      return __VA_ARGS__;                                                 \
    }                                                                     \
  } while (0)

#define RHV_CHECK_JSON_RPC_TYPE_(obj, text, type, what, ...)                        \
  do {                                                                              \
    if (::scrt::check_detail::json_rpc_type_of(obj) != (type)) {                    \
      RHV_LOG(-1, LM_EMERGENCY, RHV_CHECK_PREFIX_ text " is not JSON-RPC " what "!\n"); \
      return __VA_ARGS__;                                                           \
    }                                                                               \
  } while (0)

#define RHV_CHECK_JSON_RPC_REQUEST(obj, ...) \
  RHV_CHECK_JSON_RPC_TYPE_(obj, #obj, ::scrt::check_detail::JSON_RPC_TYPE_REQUEST, "request", __VA_ARGS__)
#define RHV_CHECK_JSON_RPC_RESPONSE(obj, ...) \
  RHV_CHECK_JSON_RPC_TYPE_(obj, #obj, ::scrt::check_detail::JSON_RPC_TYPE_RESPONSE, "response", __VA_ARGS__)

// `holds` is the required relation, `found` the text printed when it fails; the
// operands' texts are taken by the public macros, before their expansion.
#define RHV_CHECK_RELATION_(a, b, ta, tb, holds, found, ...)                          \
  do {                                                                                \
    if (!((a)holds(b))) {                                                             \
      RHV_LOG(-1, LM_EMERGENCY, RHV_CHECK_PREFIX_ ta "%s " found " " tb "%s:\n%?\n",  \
              to_string_for_scrt_check_macro((a), ta).c_str(),                         \
              to_string_for_scrt_check_macro((b), tb).c_str());                        \
      return __VA_ARGS__;                                                             \
    }                                                                                 \
  } while (0)

#define RHV_CHECK_GE(a, b, ...) RHV_CHECK_RELATION_(a, b, #a, #b, >=, "<", __VA_ARGS__)
#define RHV_CHECK_GT(a, b, ...) RHV_CHECK_RELATION_(a, b, #a, #b, >, "<=", __VA_ARGS__)
#define RHV_CHECK_EQ(a, b, ...) RHV_CHECK_RELATION_(a, b, #a, #b, ==, "!=", __VA_ARGS__)
#define RHV_CHECK_LE(a, b, ...) RHV_CHECK_RELATION_(a, b, #a, #b, <=, ">", __VA_ARGS__)
#define RHV_CHECK_LT(a, b, ...) RHV_CHECK_RELATION_(a, b, #a, #b, <, ">=", __VA_ARGS__)
#define RHV_CHECK_NE(a, b, ...) RHV_CHECK_RELATION_(a, b, #a, #b, !=, "==", __VA_ARGS__)

#endif
