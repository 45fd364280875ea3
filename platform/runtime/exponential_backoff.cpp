#include "platform/runtime/exponential_backoff.h"

#include <algorithm>

Exponential_Backoff_Iterator::Exponential_Backoff_Iterator()
  : slot_time_(0), capped_(0), remaining_(0), step_(0), jitter_(false), delay_(0), rng_()
{
}

Exponential_Backoff_Iterator::Exponential_Backoff_Iterator(unsigned int slot_time,
                                                           unsigned int max_retries,
                                                           unsigned int capped, bool jitter)
  : slot_time_(slot_time),
    capped_(capped),
    remaining_(max_retries),
    step_(0),
    jitter_(jitter),
    delay_(0),
    rng_(jitter ? std::random_device{}() : 0u)
{
  if (remaining_ != 0) compute();
}

void Exponential_Backoff_Iterator::compute()
{
  // slot_time * 2^step, stopping at capped before it could overflow.
  unsigned long long value = slot_time_;
  for (unsigned int k = 0; k < step_ && value < capped_; ++k) value <<= 1;
  unsigned int const top = static_cast<unsigned int>(std::min<unsigned long long>(value, capped_));
  if (!jitter_) {
    delay_ = top;
    return;
  }
  std::uniform_int_distribution<unsigned int> pick(std::min(slot_time_, top), top);
  delay_ = pick(rng_);
}

Exponential_Backoff_Iterator& Exponential_Backoff_Iterator::operator++()
{
  if (remaining_ == 0) return *this;
  --remaining_;
  ++step_;
  if (remaining_ != 0) compute();
  return *this;
}

Exponential_Backoff_Iterator Exponential_Backoff_Iterator::operator++(int)
{
  Exponential_Backoff_Iterator before(*this);
  ++*this;
  return before;
}
