#include "backup/scrt/log.h"

#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>

#include <sys/types.h>

namespace {

const char* const kFile = "tests/backup/scrt/log_test.cpp";

int clobber_errno()
{
  errno = EACCES;
  return 7;
}

TEST(Log, LineCarriesPriorityStatusFileLineAndSavedErrno)
{
  Log_Capture log(true);

  RHV_LOG(2, LM_ERROR, "Failed %d '%s'.\n", 5, "x");
  RHV_LOG_WARNING("Filter RHV disk '%s': it is a shared disk.\n", "d1");
  RHV_LOG_INFO("Total RHV VM count %B, succeeded VM count %B\n", static_cast<size_t>(3),
               static_cast<size_t>(2));
  RHV_LOG_DEBUG("Resolving RHV VMs.\n");
  int const line = __LINE__ + 1;
  RHV_LOG(-1, LM_ERROR, "at %N:%l\n");
  // errno is saved before the arguments are evaluated, so %m shows the caller's.
  errno = ENOENT;
  RHV_LOG_ERROR("Failed to open, errno=%d, %m, arg=%d\n", ENOENT, clobber_errno());

  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 6u) << log.dump();
  EXPECT_EQ(lines[0].priority, LM_ERROR);
  EXPECT_EQ(lines[0].text, "Failed 5 'x'.\n");
  EXPECT_EQ(lines[0].status, 2);
  EXPECT_EQ(lines[1].priority, LM_WARNING);
  EXPECT_EQ(lines[1].text, "Filter RHV disk 'd1': it is a shared disk.\n");
  EXPECT_EQ(lines[1].status, 0);
  EXPECT_EQ(lines[2].priority, LM_INFO);
  EXPECT_EQ(lines[2].text, "Total RHV VM count 3, succeeded VM count 2\n");
  EXPECT_EQ(lines[3].priority, LM_DEBUG);
  EXPECT_EQ(lines[3].text, "Resolving RHV VMs.\n");
  EXPECT_EQ(lines[4].text, std::string("at ") + kFile + ":" + std::to_string(line) + "\n");
  EXPECT_EQ(lines[4].status, -1);
  EXPECT_EQ(lines[5].text, "Failed to open, errno=2, No such file or directory, arg=7\n");
  EXPECT_EQ(lines[5].errnum, ENOENT);
}

TEST(Log, SixtyFourBitDirectivesKeepTheirArguments)
{
  Log_Capture log(true);
  RHV_LOG_ERROR("%B|%b|%Q|%q|%d\n", static_cast<size_t>(SIZE_MAX), static_cast<ssize_t>(-1),
                static_cast<std::uint64_t>(UINT64_MAX), static_cast<std::int64_t>(INT64_MIN), 6);
  EXPECT_EQ(log.texts(),
            (std::vector<std::string>{"18446744073709551615|-1|18446744073709551615|"
                                      "-9223372036854775808|6\n"}));
}

TEST(Log_Capture, RestoresThePreviousCallbackAndCollectsAttachedThreads)
{
  Log_Capture outer(true);
  {
    Log_Capture inner(true);
    RHV_LOG_ERROR("inner\n");
    std::thread t([&inner] {
      RHV_LOG_ERROR("unattached\n");  // not captured: callbacks are per thread
      ACE_Log_Msg_Callback* previous = inner.attach_current_thread();
      RHV_LOG_ERROR("worker\n");
      inner.detach_current_thread(previous);
    });
    t.join();
    EXPECT_EQ(inner.texts(), (std::vector<std::string>{"inner\n", "worker\n"}));
    EXPECT_EQ(inner.count("er\n"), 2u);
    inner.clear();
    EXPECT_TRUE(inner.texts().empty());
  }
  RHV_LOG_ERROR("outer\n");
  EXPECT_EQ(outer.texts(), (std::vector<std::string>{"outer\n"}));
  EXPECT_TRUE(outer.contains("out"));
  EXPECT_TRUE(outer.texts(LM_DEBUG).empty());
}

}  // namespace
