#include "backup/scrt/secure_string.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(Secure_String, AllocatorWipesAndStringBehavesLikeString)
{
  secure_allocator<char> a;
  char* p = a.allocate(64);
  std::memset(p, 'x', 64);
  secure_memset(p, 0, 64);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0) << "byte " << i;
  a.deallocate(p, 64);

  secure_string s(100, 's');
  s.append("tail");
  EXPECT_EQ(s.size(), 104u);
  EXPECT_EQ(s.substr(100), "tail");
}

}  // namespace
