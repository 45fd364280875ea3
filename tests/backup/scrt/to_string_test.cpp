#include "backup/scrt/to_string.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <typeinfo>

namespace {

TEST(To_String, ValuesAsText)
{
  EXPECT_EQ((scrt::to_string<bool, true>(true)), "true");
  EXPECT_EQ((scrt::to_string<bool, true>(false)), "false");
  EXPECT_EQ((scrt::to_string<int, true>(-5)), "-5");
  EXPECT_EQ((scrt::to_string<int, true>(INT_MIN)), "-2147483648");
  EXPECT_EQ((scrt::to_string<long, true>(LONG_MIN)), "-9223372036854775808");
  EXPECT_EQ((scrt::to_string<unsigned long, true>(ULONG_MAX)), "18446744073709551615");
  enum Small { A = 3 };
  EXPECT_EQ(scrt::to_string(A), "3");
}

TEST(To_String, OtherTypesPrintTypeNameAndAddressNotValue)
{
  std::atomic<unsigned long> counter{42};
  std::string const text = scrt::to_string<std::atomic<unsigned long>&, true>(counter);
  char address[64];
  std::snprintf(address, sizeof address, "%p", static_cast<void*>(&counter));
  // The exact text holds no value: an address may contain the digits of any value.
  EXPECT_EQ(text, std::string(typeid(std::atomic<unsigned long>).name()) + "(" + address + ")");
}

TEST(To_String, IfNotEqualFramesOnlyWhenTextDiffers)
{
  struct Case {
    std::string got;
    std::string want;
  };
  const Case cases[] = {
      {scrt::to_string_if_ne(1, "1", "(", ")"), ""},
      {scrt::to_string_if_ne(0, "n", "(", ")"), "(0)"},
      {scrt::to_string_if_ne(true, "true", nullptr, nullptr), ""},
      {scrt::to_string_if_ne(false, "true", nullptr, nullptr), "false"},
      {scrt::to_string_if_ne(5L, "x", nullptr, ")"), "5)"},
      {scrt::to_string_if_ne(5UL, "x", "[", nullptr), "[5"},
      {scrt::to_string_if_ne(7, nullptr, "(", ")"), "(7)"},
      {scrt::to_string_if_ne(1, "1u", "(", ")"), "(1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
}

}  // namespace
