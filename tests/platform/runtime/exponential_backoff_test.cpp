#include "platform/runtime/exponential_backoff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace {

std::vector<unsigned> delays(Exponential_Backoff_Iterator it)
{
  std::vector<unsigned> out;
  for (Exponential_Backoff_Iterator end; it != end; ++it) out.push_back(*it);
  return out;
}

TEST(Exponential_Backoff, DoublesFromSlotUpToCapForExactlyMaxRetries)
{
  struct Case {
    unsigned slot, max_retries, capped;
    std::vector<unsigned> want;
  };
  std::vector<unsigned> wait_ok{1, 2, 4, 8, 16, 32, 64};
  wait_ok.resize(30, 120);
  std::vector<unsigned> attach{1, 2};
  attach.resize(11, 3);
  const Case cases[] = {
      {1, 30, 120, wait_ok},
      {1, 11, 3, attach},
      {2, 5, 1000, {2, 4, 8, 16, 32}},
      {5, 3, 3, {3, 3, 3}},  // the cap wins over the slot
      {0, 3, 10, {0, 0, 0}},
      {1, 0, 10, {}},
      {1, 1, 10, {1}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(delays(Exponential_Backoff_Iterator(c.slot, c.max_retries, c.capped, false)), c.want)
        << c.slot << "," << c.max_retries << "," << c.capped;

  // Large exponents stop at the cap without overflowing.
  std::vector<unsigned> big = delays(Exponential_Backoff_Iterator(1, 100, UINT_MAX, false));
  ASSERT_EQ(big.size(), 100u);
  EXPECT_EQ(big[31], 1u << 31);
  EXPECT_EQ(big[32], UINT_MAX);
  EXPECT_EQ(big[99], UINT_MAX);
}

TEST(Exponential_Backoff, JitterStaysBetweenSlotAndTheDelay)
{
  Exponential_Backoff_Iterator it(1, 100, 30, true);
  Exponential_Backoff_Iterator copy = it;
  std::vector<unsigned> got = delays(it);
  ASSERT_EQ(got.size(), 100u);
  for (std::size_t k = 0; k < got.size(); ++k) {
    unsigned top = k < 5 ? (1u << k) : 30u;
    EXPECT_GE(got[k], 1u) << k;
    EXPECT_LE(got[k], top) << k;
  }
  EXPECT_EQ(got[0], 1u);
  // A copy continues the same sequence.
  EXPECT_EQ(delays(copy), got);
  // Over 95 draws from [1, 30] the values do vary.
  EXPECT_GT(std::count(got.begin() + 5, got.end(), got[5]), 0);
  EXPECT_LT(std::count(got.begin() + 5, got.end(), got[5]), 95);

  Exponential_Backoff_Iterator p(3, 2, 100, false);
  EXPECT_EQ(*p++, 3u);
  EXPECT_EQ(*p, 6u);
  EXPECT_EQ(p.remaining(), 1u);
  ++p;
  EXPECT_EQ(p, Exponential_Backoff_Iterator());
  ++p;  // stays at the end
  EXPECT_EQ(p, Exponential_Backoff_Iterator());
}

}  // namespace
