#include "platform/runtime/codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// A codec that copies its input, to reach the protected output handling.
template <typename T>
class Copy_Codec : public Codec_Impl_T<T> {
public:
  bool run(const T* in, std::size_t n, std::size_t keep)
  {
    T* out = this->allocate(n);
    if (out == nullptr) return false;
    std::memcpy(out, in, n * sizeof(T));
    this->truncate(keep);
    return true;
  }
  void drop() { this->clear(); }
};

TEST(Codec_Impl, OutputBufferLengthAndBool)
{
  Copy_Codec<unsigned char> codec;
  EXPECT_FALSE(codec);
  EXPECT_EQ(codec.get(), nullptr);
  EXPECT_EQ(codec.length(), 0u);

  const unsigned char secret[] = {'p', 'a', 's', 's', 'w', 'd'};
  ASSERT_TRUE(codec.run(secret, sizeof secret, sizeof secret));
  EXPECT_TRUE(codec);
  EXPECT_EQ(codec.length(), 6u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(codec.get()), codec.length()), "passwd");

  ASSERT_TRUE(codec.run(secret, sizeof secret, 4));
  EXPECT_EQ(codec.length(), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(codec.get()), codec.length()), "pass");

  // An empty output still is an output.
  ASSERT_TRUE(codec.run(secret, 0, 0));
  EXPECT_TRUE(codec);
  EXPECT_EQ(codec.length(), 0u);

  codec.drop();
  EXPECT_FALSE(codec);
  EXPECT_EQ(codec.length(), 0u);

  Copy_Codec<std::uint16_t> wide;
  const std::uint16_t words[] = {1, 2, 3};
  ASSERT_TRUE(wide.run(words, 3, 3));
  EXPECT_EQ(wide.length(), 6u);  // in bytes
}

}  // namespace
