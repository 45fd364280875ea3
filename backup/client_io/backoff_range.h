#ifndef BACKUP_CLIENT_IO_BACKOFF_RANGE_H
#define BACKUP_CLIENT_IO_BACKOFF_RANGE_H

#include "platform/runtime/exponential_backoff.h"

// The delays (seconds) to wait between the attempts of a polling loop:
//
//   for (unsigned int delay : exponential_backoff(1, 11, 3, false)) {
//     if (done()) return true;
//     sleep(delay);
//   }
//   return false;  // the range ended
//
// The first delay is `slot_time`, none exceeds `capped`, and the range is finite.
class Backoff_Range {
public:
  Backoff_Range(const Exponential_Backoff_Iterator& first, const Exponential_Backoff_Iterator& last)
    : first_(first), last_(last)
  {
  }
  Exponential_Backoff_Iterator begin() const { return first_; }
  Exponential_Backoff_Iterator end() const { return last_; }

private:
  Exponential_Backoff_Iterator first_;
  Exponential_Backoff_Iterator last_;
};

// The range from an iterator built with the four values to the end iterator.
inline Backoff_Range exponential_backoff(unsigned int slot_time, unsigned int max_retries, unsigned int capped,
                                         bool jitter)
{
  return Backoff_Range(Exponential_Backoff_Iterator(slot_time, max_retries, capped, jitter),
                       Exponential_Backoff_Iterator());
}

// The range from `it` to the end iterator.
inline Backoff_Range exponential_backoff(const Exponential_Backoff_Iterator& it)
{
  return Backoff_Range(it, Exponential_Backoff_Iterator());
}

#endif
