#include "platform/http/base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Base64_Encoder, EncodesWithTheStandardAlphabetAndPadding)
{
  struct Case {
    std::string in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"admin:", "YWRtaW46"},
      {"admin@internal:p a/s+s", "YWRtaW5AaW50ZXJuYWw6cCBhL3Mrcw=="},
      {std::string("\xfb\xff\x00\xfe", 4), "+/8A/g=="},
  };
  for (const Case& c : cases) {
    Base64_Encoder e(c.in.data(), c.in.size(), false);
    ASSERT_TRUE(e);
    EXPECT_EQ(std::string(e.get(), e.length()), c.out);
    EXPECT_EQ(std::strlen(e.get()), e.length());
  }
}

TEST(Base64_Encoder, LongInputsInOneLineOrWrapped)
{
  std::string in(100, 'a');
  Base64_Encoder one(in.data(), in.size(), false);
  ASSERT_TRUE(one);
  EXPECT_EQ(one.length(), 136u);
  EXPECT_EQ(std::string(one.get()).find('\n'), std::string::npos);

  Base64_Encoder wrapped(in.data(), in.size(), true);
  ASSERT_TRUE(wrapped);
  std::string w = wrapped.get();
  EXPECT_EQ(w, std::string(one.get()).substr(0, 64) + "\n" + std::string(one.get()).substr(64, 64) + "\n" +
                   std::string(one.get()).substr(128) + "\n");

  // Larger than one encoding piece (3 MiB).
  std::string big(7u << 20, '\x5a');
  Base64_Encoder b(big.data(), big.size());
  ASSERT_TRUE(b);
  EXPECT_EQ(b.length(), (big.size() + 2) / 3 * 4);
  EXPECT_EQ(std::string(b.get(), 8), "WlpaWlpa");
  EXPECT_FALSE(Base64_Encoder(nullptr, 3));
}

}  // namespace
