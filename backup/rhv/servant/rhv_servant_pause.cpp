#include "backup/rhv/servant/rhv_servant_pause.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

// The longest a pause goes without looking at its stop test.
const std::chrono::seconds STOP_CHECK_PERIOD(1);

std::atomic<RHV_Servant_Pause> current_pause{nullptr};

bool ended(const std::function<bool()>& stop, const RHV_Servant_Wake* wake)
{
  return (wake != nullptr && wake->is_set()) || (stop && stop());
}

}  // namespace

void RHV_Servant_Wake::set()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

bool RHV_Servant_Wake::is_set() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool rhv_servant_pause(unsigned int seconds, const std::function<bool()>& stop, RHV_Servant_Wake* wake)
{
  if (ended(stop, wake))
    return false;
  if (RHV_Servant_Pause pause = current_pause.load()) {
    pause(seconds);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline)
      return true;
    // Without a stop test only the wake-up can end the pause early.
    const auto slice = stop ? std::min<std::chrono::steady_clock::duration>(deadline - now, STOP_CHECK_PERIOD)
                            : deadline - now;
    if (wake != nullptr) {
      std::unique_lock<std::mutex> lock(wake->mutex_);
      wake->changed_.wait_for(lock, slice, [wake] { return wake->set_; });
    } else {
      std::this_thread::sleep_for(slice);
    }
    if (ended(stop, wake))
      return false;
  }
}

RHV_Servant_Pause set_rhv_servant_pause(RHV_Servant_Pause pause)
{
  return current_pause.exchange(pause);
}
