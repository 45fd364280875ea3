#include "platform/runtime/wildcard_matcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Wildcard_Matcher, AnyPatternMatchesCaseSensitively)
{
  Wildcard_Matcher none;
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(none.match(""));
  EXPECT_FALSE(none.match("vm"));

  Wildcard_Matcher m;
  const std::vector<std::string> patterns{"test-*", "db?", "[ab]x", "lit\\*", "*.tmp"};
  m.add_patterns(patterns);
  EXPECT_EQ(m.size(), 5u);

  struct Case {
    const char* name;
    bool excluded;
  };
  const Case cases[] = {
      {"test-1", true},       {"test-", true},        {"Test-1", false},  {"xtest-1", false},
      {"db1", true},          {"db", false},          {"db12", false},    {"ax", true},
      {"bx", true},           {"cx", false},          {"lit*", true},     {"litx", false},
      {"a/b.tmp", true},      {".tmp", true},         {"vm.TMP", false},  {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(m.match(c.name), c.excluded) << c.name;

  Wildcard_Matcher all;
  all.add_pattern("*");
  EXPECT_TRUE(all.match(""));
  EXPECT_TRUE(all.match("any/thing"));
}

}  // namespace
