#include "backup/scrt/natoi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace {

struct Parsed {
  long value;
  int error;
  std::ptrdiff_t stop;  // offset of *endptr from begin
};

template <typename T>
Parsed parse(const char* text)
{
  errno = 12345;
  const char* endptr = reinterpret_cast<const char*>(1);
  const char* end = text == nullptr ? nullptr : text + std::strlen(text);
  T v = natoi<T>(text, end, &endptr);
  return {static_cast<long>(v), errno, text == nullptr ? 0 : endptr - text};
}

TEST(Natoi, ValuesErrnoAndStopPosition)
{
  struct Case {
    const char* text;
    bool is_int;
    Parsed want;
  };
  const Case cases[] = {
      {"0", true, {0, 0, 1}},
      {"12abc", true, {12, 0, 2}},
      {"+42", true, {42, 0, 3}},
      {"-17", true, {-17, 0, 3}},
      {"2147483647", true, {INT_MAX, 0, 10}},
      {"-2147483648", true, {INT_MIN, 0, 11}},
      {"2147483648", true, {INT_MAX, ERANGE, 9}},
      {"-2147483649", true, {INT_MAX, ERANGE, 10}},
      {"99999999999999", true, {INT_MAX, ERANGE, 9}},
      {"-", true, {0, EINVAL, 1}},
      {"+x", true, {0, EINVAL, 1}},
      {"", true, {0, EINVAL, 0}},
      {" 1", true, {0, EINVAL, 0}},
      {"abc", true, {0, EINVAL, 0}},
      {"9223372036854775807", false, {LONG_MAX, 0, 19}},
      {"-9223372036854775808", false, {LONG_MIN, 0, 20}},
      {"9223372036854775808", false, {LONG_MAX, ERANGE, 18}},
      {"-9223372036854775809", false, {LONG_MAX, ERANGE, 19}},
      {"2147483648", false, {2147483648L, 0, 10}},
  };
  for (const Case& c : cases) {
    Parsed got = c.is_int ? parse<int>(c.text) : parse<long>(c.text);
    EXPECT_EQ(got.value, c.want.value) << c.text;
    EXPECT_EQ(got.error, c.want.error) << c.text;
    EXPECT_EQ(got.stop, c.want.stop) << c.text;
  }

  Parsed null_text = parse<int>(nullptr);
  EXPECT_EQ(null_text.value, 0);
  EXPECT_EQ(null_text.error, EINVAL);
}

TEST(Natoi, StopsAtEndWithoutReadingPastIt)
{
  const char text[] = "12345";
  const char* endptr = nullptr;
  EXPECT_EQ(natoi<int>(text, text + 3, &endptr), 123);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(endptr, text + 3);

  // An empty range is no number, whatever follows it.
  EXPECT_EQ(natoi<int>(text, text, &endptr), 0);
  EXPECT_EQ(errno, EINVAL);

  // A null end reads up to the first non-digit; endptr may be null.
  EXPECT_EQ(natoi<long>("77 ", nullptr, nullptr), 77);
  EXPECT_EQ(errno, 0);
}

}  // namespace
