#include "platform/runtime/uuid.h"

#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

bool all_zero(const unsigned char* p)
{
  for (int i = 0; i < UUID_RAW_SIZE; ++i)
    if (p[i] != 0) return false;
  return true;
}

TEST(Uuid, RandomVersion4InLowerCaseText)
{
  std::string a = uuid_generate_v4_string();
  std::string b = uuid_generate_v4_string();
  EXPECT_NE(a, b);
  for (const std::string& u : {a, b}) {
    ASSERT_EQ(u.size(), 36u);
    for (std::size_t i = 0; i < u.size(); ++i) {
      if (i == 8 || i == 13 || i == 18 || i == 23)
        EXPECT_EQ(u[i], '-') << u;
      else
        EXPECT_TRUE((u[i] >= '0' && u[i] <= '9') || (u[i] >= 'a' && u[i] <= 'f')) << u;
    }
    EXPECT_EQ(u[14], '4') << u;
    EXPECT_NE(std::string("89ab").find(u[19]), std::string::npos) << u;
  }

  unsigned char raw[UUID_RAW_SIZE];
  uuid_generate_v4(raw);
  EXPECT_EQ(raw[6] >> 4, 4);
  unsigned char back[UUID_RAW_SIZE];
  ASSERT_TRUE(uuid_from_string(uuid_to_string(raw), back));
  EXPECT_EQ(std::memcmp(raw, back, UUID_RAW_SIZE), 0);
}

TEST(Uuid, TextAndRawBytes)
{
  const unsigned char raw[UUID_RAW_SIZE] = {0x0b, 0x1c, 0x2d, 0x3e, 0x4f, 0x50, 0x41, 0x72,
                                            0x83, 0x94, 0xa5, 0xb6, 0xc7, 0xd8, 0xe9, 0xfa};
  EXPECT_EQ(uuid_to_string(raw), "0b1c2d3e-4f50-4172-8394-a5b6c7d8e9fa");

  unsigned char out[UUID_RAW_SIZE];
  Log_Capture log(true);
  ASSERT_TRUE(uuid_from_string("0B1C2D3E-4F50-4172-8394-A5B6C7D8E9FA", out));
  EXPECT_EQ(std::memcmp(out, raw, UUID_RAW_SIZE), 0);
  EXPECT_TRUE(log.texts().empty());

  const std::string bad[] = {
      "",
      "0b1c2d3e-4f50-4172-8394-a5b6c7d8e9f",    // short
      "0b1c2d3e-4f50-4172-8394-a5b6c7d8e9fa0",  // long
      "0b1c2d3e-4f50-4172-8394-a5b6c7d8e9fg",   // not hex
      "0b1c2d3e04f50-4172-8394-a5b6c7d8e9fa",   // dash missing
      std::string("0b1c2d3e-4f50-4172-8394-a5b6c7d8e9fa", 36).replace(35, 1, 1, '\0'),
  };
  for (const std::string& text : bad) {
    log.clear();
    std::memset(out, 0xff, sizeof out);
    EXPECT_FALSE(uuid_from_string(text, out)) << text;
    EXPECT_TRUE(all_zero(out)) << text;
    EXPECT_EQ(log.texts(LM_ERROR), (std::vector<std::string>{"Invalid UUID '" + std::string(text.c_str()) + "'.\n"}));
  }
}

}  // namespace
