#ifndef PLATFORM_RUNTIME_EXPONENTIAL_BACKOFF_H
#define PLATFORM_RUNTIME_EXPONENTIAL_BACKOFF_H

#include <cstddef>
#include <iterator>
#include <random>

#pragma GCC visibility push(default)

// The delays to wait between the attempts of a retried operation, as an input
// iterator; a default-constructed iterator is the end.
//
//   for (Exponential_Backoff_Iterator it(1, 30, 120, false), end; it != end; ++it)
//     sleep(*it);
//
// Exactly `max_retries` delays: the k-th (k = 0 .. max_retries - 1) is
// min(capped, slot_time * 2^k), so they start at slot_time and never exceed
// capped. With jitter each delay is drawn uniformly from [slot_time, that value]
// instead (from the value alone when capped is below slot_time). Copies continue
// the same sequence, random draws included.
class Exponential_Backoff_Iterator {
public:
  using iterator_category = std::input_iterator_tag;
  using value_type = unsigned int;
  using difference_type = std::ptrdiff_t;
  using pointer = const unsigned int*;
  using reference = const unsigned int&;

  // The end iterator.
  Exponential_Backoff_Iterator();
  Exponential_Backoff_Iterator(unsigned int slot_time, unsigned int max_retries, unsigned int capped,
                               bool jitter);

  reference operator*() const { return delay_; }
  pointer operator->() const { return &delay_; }
  Exponential_Backoff_Iterator& operator++();
  Exponential_Backoff_Iterator operator++(int);

  // Iterators are equal when both are at the end, or both have as many delays left.
  bool operator==(const Exponential_Backoff_Iterator& other) const
  {
    return remaining_ == other.remaining_;
  }
  bool operator!=(const Exponential_Backoff_Iterator& other) const { return !(*this == other); }

  // How many delays are left, the current one included.
  unsigned int remaining() const { return remaining_; }

private:
  void compute();

  unsigned int slot_time_;
  unsigned int capped_;
  unsigned int remaining_;
  unsigned int step_;  // k of the current delay
  bool jitter_;
  unsigned int delay_;
  std::mt19937 rng_;
};

#pragma GCC visibility pop

#endif
