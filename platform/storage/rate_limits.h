#ifndef PLATFORM_STORAGE_RATE_LIMITS_H
#define PLATFORM_STORAGE_RATE_LIMITS_H

#include <cstdint>
#include <string>

#include "platform/json/value.h"

#pragma GCC visibility push(default)

// Transfer rate limits of a job, in bytes per second; 0 means unlimited. The limits
// travel with the client-I/O options; the local-file storage does not throttle.
struct Rate_Limits {
  std::uint64_t dest_rate_limits = 0;  // writing into the storage pool
  std::uint64_t src_rate_limits = 0;   // reading from the source

  // Shares the limits among `channels` transfers running at once: each limit becomes
  // its share, rounded down but never below 1 byte/s, so a limited transfer stays
  // limited. Unlimited stays unlimited; 0 or 1 channel changes nothing.
  void set_rate_limits_by_channels(unsigned int channels);
  static void set_rate_limits_by_channels(Rate_Limits& limits, unsigned int channels);

  // JSON form {"dest_rate_limits": uint, "src_rate_limits": uint}. load: absent members
  // become 0; false (and *this unchanged) when `v` is not an object or a member is not
  // a non-negative integer.
  json_spirit::Object dump() const;
  bool load(const json_spirit::Value& v, std::string* why = nullptr);

  bool operator==(const Rate_Limits& o) const
  {
    return dest_rate_limits == o.dest_rate_limits && src_rate_limits == o.src_rate_limits;
  }
  bool operator!=(const Rate_Limits& o) const { return !(*this == o); }
};

// The same as the member, for callers that hold the limits by reference.
void set_rate_limits_by_channels(Rate_Limits& limits, unsigned int channels);

#pragma GCC visibility pop

#endif
