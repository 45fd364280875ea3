// A servant pause ends at its wake-up or at its stop test, however long it was asked to
// be: one that did not would hold the test until its time-out.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "backup/rhv/servant/rhv_servant_pause.h"

TEST(RHV_Servant_Pause, a_long_pause_ends_at_its_wake_up_or_at_its_stop)
{
  RHV_Servant_Wake wake;
  std::atomic<bool> canceled{false};
  std::thread other([&] {
    wake.set();
    canceled = true;
  });
  EXPECT_FALSE(rhv_servant_pause(3600, nullptr, &wake));
  EXPECT_FALSE(rhv_servant_pause(3600, [&canceled] { return canceled.load(); }));
  other.join();
}
