// The servant pause ends at its wake-up or its stop test, however long it was asked to be:
// a pause that did not would hold the test until its time-out.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "backup/rhv/servant/rhv_servant_pause.h"

TEST(RHV_Servant_Pause, a_long_pause_ends_at_its_wake_up_or_at_its_stop)
{
  RHV_Servant_Wake wake;
  std::thread waker([&wake] { wake.set(); });
  EXPECT_FALSE(rhv_servant_pause(3600, nullptr, &wake));
  waker.join();
  // Once set, the wake-up ends every later pause at once.
  EXPECT_FALSE(rhv_servant_pause(3600, nullptr, &wake));

  std::atomic<bool> canceled{false};
  std::thread canceler([&canceled] { canceled = true; });
  EXPECT_FALSE(rhv_servant_pause(3600, [&canceled] { return canceled.load(); }));
  canceler.join();

  EXPECT_TRUE(rhv_servant_pause(0, [] { return false; }));
}
