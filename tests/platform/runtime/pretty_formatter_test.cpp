#include "platform/runtime/pretty_formatter.h"

#include "backup/scrt/prettify_size.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(Pretty_Formatter, SizesIn1024BasedUnits)
{
  struct Case {
    std::uint64_t bytes;
    unsigned precision;
    const char* want;
  };
  const Case cases[] = {
      {0, 1, "0 B"},
      {1023, 1, "1023 B"},
      {1024, 1, "1.0 KB"},
      {1536, 1, "1.5 KB"},
      {1048575, 1, "1.0 MB"},  // rounds to 1024.0 KB: shown in the next unit
      {1048576, 1, "1.0 MB"},
      {16ULL << 30, 1, "16.0 GB"},
      {(17ULL << 30) + (1ULL << 29), 1, "17.5 GB"},
      {1023ULL << 40, 1, "1023.0 TB"},
      {UINT64_MAX, 1, "16.0 EB"},
      {1536, 0, "2 KB"},
      {3ULL << 29, 2, "1.50 GB"},
  };
  for (const Case& c : cases) {
    Pretty_Formatter f(c.precision);
    EXPECT_EQ(f.format_size(c.bytes), c.want) << c.bytes;
    EXPECT_EQ(prettify_size(c.bytes, c.precision), c.want) << c.bytes;
  }

  // The result lives in the formatter until its next call.
  Pretty_Formatter f(1);
  Formatter& base = f;
  const std::string& first = base.format_size(2048);
  EXPECT_EQ(first, "2.0 KB");
  base.format_size(5);
  EXPECT_EQ(first, "5 B");
}

}  // namespace
