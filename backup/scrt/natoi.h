#ifndef BACKUP_SCRT_NATOI_H
#define BACKUP_SCRT_NATOI_H

#include <ace/OS_NS_errno.h>

#include <cerrno>
#include <limits>
#include <type_traits>

// Bounded decimal parsing of [begin, end) into a signed integer T (int or long).
// A null `end` reads up to the first byte that is not a digit.
//
// An optional '+' or '-' comes first; no white space is skipped. Digits are read
// up to `end` or the first byte that is not '0'..'9'; what follows is not an
// error here (callers that need the whole text compare *endptr with end).
// Results, reported through errno:
//   0       sign × value; "-2147483648" gives the int minimum;
//   ERANGE  the value does not fit: the result is the type's maximum for either
//           sign, and *endptr points at the digit that overflowed;
//   EINVAL  no digit (null, empty, " 1", "-"): the result is 0 and *endptr stands
//           after the sign, if any.
template <typename T, typename Char = char const*>
T natoi(Char begin, typename std::common_type<Char>::type end,
        typename std::common_type<Char>::type* endptr)
{
  static_assert(std::is_integral<T>::value && std::is_signed<T>::value,
                "natoi parses signed integers");
  using U = std::make_unsigned_t<T>;

  if (endptr != nullptr) *endptr = begin;
  if (begin == nullptr || begin == end || *begin == '\0') {
    ACE_OS::last_error(EINVAL);
    return 0;
  }

  Char p = begin;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  U const limit = negative ? static_cast<U>(std::numeric_limits<T>::max()) + 1u
                           : static_cast<U>(std::numeric_limits<T>::max());
  U const limit_div = limit / 10u;
  U const limit_mod = limit % 10u;

  U magnitude = 0;
  Char const digits = p;
  bool overflow = false;
  while (p != end && *p >= '0' && *p <= '9') {
    U const digit = static_cast<U>(*p - '0');
    if (magnitude > limit_div || (magnitude == limit_div && digit > limit_mod)) {
      overflow = true;
      break;
    }
    magnitude = magnitude * 10u + digit;
    ++p;
  }
  if (endptr != nullptr) *endptr = p;

  if (overflow) {
    ACE_OS::last_error(ERANGE);
    return std::numeric_limits<T>::max();
  }
  if (p == digits) {
    ACE_OS::last_error(EINVAL);
    return 0;
  }
  ACE_OS::last_error(0);
  if (!negative) return static_cast<T>(magnitude);
  // -magnitude computed in the unsigned type, so the minimum needs no overflow.
  return static_cast<T>(U(0) - magnitude);
}

#endif
