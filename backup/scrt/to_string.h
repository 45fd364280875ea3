#ifndef BACKUP_SCRT_TO_STRING_H
#define BACKUP_SCRT_TO_STRING_H

#include <memory>
#include <sstream>
#include <string>
#include <type_traits>
#include <typeinfo>

namespace scrt {

namespace to_string_detail {

template <typename U>
using Kind = std::integral_constant<int, std::is_same<U, bool>::value ? 0
                                         : std::is_arithmetic<U>::value ? 1
                                         : std::is_enum<U>::value       ? 3
                                                                        : 2>;

template <typename T, typename V>
inline std::string text_of(V const& value, std::integral_constant<int, 0>)
{
  return value ? "true" : "false";
}

template <typename T, typename V>
inline std::string text_of(V const& value, std::integral_constant<int, 1>)
{
  return std::to_string(value);
}

template <typename T, typename V>
inline std::string text_of(V const& value, std::integral_constant<int, 2>)
{
  std::ostringstream os;
  os << typeid(T).name() << '(' << static_cast<void const*>(std::addressof(value)) << ')';
  return os.str();
}

template <typename T, typename V>
inline std::string text_of(V const& value, std::integral_constant<int, 3>)
{
  return std::to_string(static_cast<std::underlying_type_t<V>>(value));
}

}  // namespace to_string_detail

// The value as text: bool as "true" or "false", numbers in decimal as
// std::to_string writes them, enumerations as their underlying number. Any other type prints as its runtime type name
// (typeid(T).name()) followed by the object's address in parentheses, so
// to_string(counter) of a std::atomic<unsigned long> shows where the counter is,
// not its value. With Generic false only the textual types compile.
template <typename T, bool Generic = true>
inline std::string to_string(T const& value)
{
  using U = std::remove_cv_t<std::remove_reference_t<T>>;
  using K = to_string_detail::Kind<U>;
  static_assert(Generic || K::value != 2, "no textual form for this type");
  return to_string_detail::text_of<T>(value, K{});
}

// to_string(value), framed as prefix + text + suffix, or "" when the text equals
// `text` (the operand as written in the source: a literal such as 1 is not
// repeated). A null prefix or suffix counts as empty; a null `text` equals nothing.
template <typename T>
inline std::string to_string_if_ne(T const& value, char const* text, char const* prefix,
                                   char const* suffix)
{
  std::string s = to_string<T, true>(value);
  if (text != nullptr && s == text) return std::string();
  std::string framed(prefix != nullptr ? prefix : "");
  framed += s;
  if (suffix != nullptr) framed += suffix;
  return framed;
}

}  // namespace scrt

#endif
