#include "backup/scrt/key_value.h"

#include <gtest/gtest.h>

#include <string>

namespace {

enum Method { UNKNOWN = 0, NFC = 1, NBD = 2, CBT = 3 };

const Key2_Value_T<Method> kMethods[] = {
    SCRT_KEY2_VALUE("nfc", NFC),
    SCRT_KEY2_VALUE("nbd", NBD),
    SCRT_KEY2_VALUE("nfc2", CBT),
    {nullptr, 0, UNKNOWN},
};

TEST(Key_Value, LookupByNameLengthAndValue)
{
  struct Case {
    const char* name;
    std::size_t len;
    Method want;
  };
  const Case by_prefix[] = {
      {"nfc", 3, NFC},
      {"nfcx", 3, NFC},  // only the first len bytes count
      {"nfc2", 4, CBT},
      {"NFC", 3, UNKNOWN},
      {"nf", 2, UNKNOWN},
      {"nbd", 3, NBD},
      {nullptr, 3, UNKNOWN},
      {"", 0, UNKNOWN},
  };
  for (const Case& c : by_prefix) {
    const Key2_Value_T<Method>& row = get_key_value_entry(kMethods, c.name, c.len);
    EXPECT_EQ(row.value, c.want) << (c.name ? c.name : "(null)") << "/" << c.len;
    EXPECT_EQ(row.key == nullptr, c.want == UNKNOWN);
  }

  EXPECT_EQ(get_key_value_entry(kMethods, "nbd").value, NBD);
  EXPECT_EQ(get_key_value_entry(kMethods, "nfcx").value, UNKNOWN);
  EXPECT_EQ(get_key_value_entry(kMethods, "NBD").value, UNKNOWN);
  EXPECT_EQ(get_key_value_entry(kMethods, static_cast<const char*>(nullptr)).value, UNKNOWN);

  EXPECT_STREQ(get_key_value_entry(kMethods, NBD).key, "nbd");
  EXPECT_EQ(get_key_value_entry(kMethods, CBT).len, 4u);
  EXPECT_EQ(get_key_value_entry(kMethods, UNKNOWN).key, nullptr);
  EXPECT_EQ(get_key_value_entry(kMethods, static_cast<Method>(9)).key, nullptr);
}

}  // namespace
