#include "backup/rhv/servant/rhv_servant_pause.h"

#include <ace/OS_NS_unistd.h>
#include <ace/Time_Value.h>

#include <atomic>

namespace {

void sleep_seconds(unsigned int seconds)
{
  ACE_OS::sleep(ACE_Time_Value(static_cast<time_t>(seconds)));
}

std::atomic<RHV_Servant_Pause> current_pause{&sleep_seconds};

}  // namespace

void rhv_servant_pause(unsigned int seconds)
{
  current_pause.load()(seconds);
}

RHV_Servant_Pause set_rhv_servant_pause(RHV_Servant_Pause pause)
{
  return current_pause.exchange(pause != nullptr ? pause : &sleep_seconds);
}
