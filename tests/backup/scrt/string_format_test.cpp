#include "backup/scrt/string_format.h"
#include "backup/scrt/time_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

int format_into(std::string& s, bool append, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int format_into(std::string& s, bool append, const char* fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  int n = string_vsprintf(s, fmt, ap, append);
  va_end(ap);
  return n;
}

// A wide character that the "C" locale cannot convert makes vsnprintf fail.
const wchar_t kUnconvertible[] = L"\u00e9";

TEST(String_Sprintf, GrowsToFitAndReturnsTheNewLength)
{
  struct Case {
    std::string initial;
    bool append;
    std::string arg;
    std::string want;
  };
  const std::string long_old(200, 'o');
  const Case cases[] = {
      {"", false, std::string(127, 'a'), std::string(127, 'a')},  // fits the first 128 bytes
      {"", false, std::string(128, 'b'), std::string(128, 'b')},  // needs a second attempt
      {"", false, std::string(129, 'c'), std::string(129, 'c')},  // reported as room + 1
      {"", false, std::string(10000, 'd'), std::string(10000, 'd')},
      {"abc", true, "5", "abc5"},
      {"abc", true, std::string(300, 'e'), "abc" + std::string(300, 'e')},
      {std::string(126, 'f'), true, std::string(130, 'g'), std::string(126, 'f') + std::string(130, 'g')},
      {long_old, false, "5", "5"},  // the old content is overwritten, not kept
      {long_old, true, "", long_old},
  };
  for (const Case& c : cases) {
    std::string s = c.initial;
    int n = format_into(s, c.append, "%s", c.arg.c_str());
    EXPECT_EQ(s, c.want) << "initial size " << c.initial.size() << ", arg size " << c.arg.size();
    EXPECT_EQ(n, static_cast<int>(c.want.size()));
  }

  std::string s = "old";
  EXPECT_EQ(string_sprintf(s, "%s-%d-%lu", "x", -1, 18446744073709551615UL), 25);
  EXPECT_EQ(s, "x--1-18446744073709551615");
  EXPECT_EQ(string_sprintf("%s/extents", "http://127.0.0.1:1/images/t"),
            "http://127.0.0.1:1/images/t/extents");
}

TEST(String_Sprintf, FormattingErrorRestoresOrEmptiesTheString)
{
  std::string s = "abc";
  EXPECT_LT(format_into(s, true, "%ls", kUnconvertible), 0);
  EXPECT_EQ(s, "abc");

  s = "abc";
  EXPECT_LT(format_into(s, false, "%ls", kUnconvertible), 0);
  EXPECT_TRUE(s.empty());

  EXPECT_EQ(string_sprintf("x%lsy", kUnconvertible), "");
}

TEST(Snprintf_T, StaysInlineUntilTheTextDoesNotFit)
{
  snprintf_t<21> number("%ld", LONG_MIN);
  EXPECT_STREQ(number.c_str(), "-9223372036854775808");
  EXPECT_EQ(number.length(), 20);
  EXPECT_FALSE(number.on_heap());

  const std::string forty(40, 'x');
  snprintf_t<16> text("%s", forty.c_str());
  EXPECT_STREQ(text.c_str(), forty.c_str());
  EXPECT_EQ(text.length(), 40);
  EXPECT_TRUE(text.on_heap());
  EXPECT_EQ(text.heap_size(), 41u);

  // Reformatting reuses the heap buffer.
  EXPECT_EQ(text.set("flush=%c", 'y'), 7);
  EXPECT_STREQ(text.c_str(), "flush=y");
  EXPECT_EQ(text.heap_size(), 41u);

  struct Case {
    std::string arg;
    std::size_t heap;  // 0: inline
  };
  const Case cases[] = {
      {std::string(15, 'a'), 0},
      {std::string(16, 'b'), 17},
      {std::string(17, 'c'), 35},  // one past the buffer: room is doubled
      {std::string(4000, 'd'), 4001},
  };
  for (const Case& c : cases) {
    snprintf_t<16> t("%s", c.arg.c_str());
    EXPECT_EQ(t.c_str(), c.arg);
    EXPECT_EQ(t.length(), static_cast<int>(c.arg.size()));
    EXPECT_EQ(t.on_heap(), c.heap != 0);
    EXPECT_EQ(t.heap_size(), c.heap);
  }

  snprintf_t<64> range("bytes %lu-%lu/*", 0UL, 1048575UL);
  EXPECT_STREQ(range.c_str(), "bytes 0-1048575/*");

  snprintf_t<16> bad("%ls", kUnconvertible);
  EXPECT_LT(bad.length(), 0);
  EXPECT_STREQ(bad.c_str(), "");
}

TEST(POSIX_Time_Format, UtcStampOrEmpty)
{
  EXPECT_STREQ((POSIX_Time_Format<32, false>(0, "%Y%m%d%H%M%S").c_str()), "19700101000000");
  EXPECT_STREQ((POSIX_Time_Format<32, false>(1700000000, "%Y%m%d%H%M%S").c_str()),
               "20231114221320");
  EXPECT_STREQ((POSIX_Time_Format<32, false>(0, nullptr).c_str()), "");
  // A text that does not fit the buffer gives "", not a truncated stamp.
  EXPECT_STREQ((POSIX_Time_Format<32, false>(0, "%Y-%m-%d %H:%M:%S and some more text").c_str()),
               "");
}

}  // namespace
