#include "backup/http/http_encode.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

namespace {

std::string encode(const char* text, unsigned long flags)
{
  std::string out = "<";
  bool ok = http_encode_string_i(text, flags, std::back_inserter(out));
  return (ok ? "" : "false:") + out;
}

TEST(Http_Encode, EncodesEachByteAsItsFlagsSay)
{
  const unsigned long module = HUT_FLAG_SLASH | HUT_FLAG_SPACE;
  struct Case {
    const char* text;
    unsigned long flags;
    const char* expected;
  } cases[] = {
      {"a b/c=d*", module, "<a+b%2fc%3dd%2a"},
      {"name=*web*", module, "<name%3d%2aweb%2a"},
      {"p a/s+s", module, "<p+a%2fs%2bs"},
      {"AZaz09-_.~", module, "<AZaz09-_.~"},
      {"()'*!:#$&+,;=?@", module, "<%28%29%27%2a%21%3a%23%24%26%2b%2c%3b%3d%3f%40"},
      {"%\"<>\\^`{|}", module, "<%25%22%3c%3e%5c%5e%60%7b%7c%7d"},
      {"\x01\x7f\x80\xff", module, "<%01%7f%80%ff"},
      {"\x01\x7f\x80\xff", HUT_FLAG_UPPERCASE, "<%01%7F%80%FF"},
      {"a b/c", 0, "<a%20b/c"},
      {"a b/c", HUT_FLAG_SLASH, "<a%20b%2fc"},
      {"a b", HUT_FLAG_SPACE | HUT_FLAG_KEEP_PLUS, "<a+b"},
      // Each keep flag lets exactly its own byte through.
      {":", HUT_FLAG_KEEP_COLON, "<:"},
      {"(", HUT_FLAG_KEEP_LEFT_PAREN, "<("},
      {")", HUT_FLAG_KEEP_RIGHT_PAREN, "<)"},
      {"'", HUT_FLAG_KEEP_SINGLE_QUOTE, "<'"},
      {"*", HUT_FLAG_KEEP_ASTERISK, "<*"},
      {"!", HUT_FLAG_KEEP_EXCLAMATION, "<!"},
      {"#", HUT_FLAG_KEEP_POUND, "<#"},
      {"$", HUT_FLAG_KEEP_DOLLAR, "<$"},
      {"&", HUT_FLAG_KEEP_AMPERSAND, "<&"},
      {"+", HUT_FLAG_KEEP_PLUS, "<+"},
      {",", HUT_FLAG_KEEP_COMMA, "<,"},
      {";", HUT_FLAG_KEEP_SEMICOLON, "<;"},
      {"=", HUT_FLAG_KEEP_EQUAL, "<="},
      {"?", HUT_FLAG_KEEP_QUESTION, "<?"},
      {"@", HUT_FLAG_KEEP_AT, "<@"},
      {"@", HUT_FLAG_KEEP_QUESTION, "<%40"},
      {"a b/c()'*!:#$&+,;=?@\xe9", HUT_FLAG_JS_ENCODE_URI_COMPONENT, "<a%20b%2Fc()'*!%3A%23%24%26%2B%2C%3B%3D%3F%40%E9"},
      {"a b/c()'*!:#$&+,;=?@\xe9", HUT_FLAG_JS_ENCODE_URI, "<a%20b/c()'*!:#$&+,;=?@%E9"},
      {"", module, "false:<"},
      {nullptr, module, "false:<"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(encode(c.text, c.flags), c.expected) << (c.text ? c.text : "(null)") << " flags " << c.flags;
}

TEST(Http_Encode, WritesThroughAPlainPointer)
{
  char buf[32] = {};
  char* end = buf;
  ASSERT_TRUE(http_encode_string_i<char*&>("a/b c", HUT_FLAG_SLASH | HUT_FLAG_SPACE, end));
  EXPECT_STREQ(buf, "a%2fb+c");
  EXPECT_EQ(end - buf, 7);
}

}  // namespace
