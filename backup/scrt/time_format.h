#ifndef BACKUP_SCRT_TIME_FORMAT_H
#define BACKUP_SCRT_TIME_FORMAT_H

#include <cstddef>
#include <ctime>

// A time stamp formatted with strftime into an inline buffer of N bytes, in UTC
// (Local false) or in the local time zone (Local true). The text is empty when
// the format is null, the time cannot be broken down or the result does not fit.
//
//   POSIX_Time_Format<32, false>(0, "%Y%m%d%H%M%S").c_str()   // "19700101000000"
template <std::size_t N = 32, bool Local = false>
class POSIX_Time_Format {
  static_assert(N > 0, "the buffer needs room for the terminating NUL");

public:
  POSIX_Time_Format(std::time_t t, char const* fmt)
  {
    buf_[0] = '\0';
    if (fmt == nullptr) return;
    struct tm tm;
    if ((Local ? localtime_r(&t, &tm) : gmtime_r(&t, &tm)) == nullptr) return;
    if (std::strftime(buf_, N, fmt, &tm) == 0) buf_[0] = '\0';
  }

  char const* c_str() const { return buf_; }

private:
  char buf_[N];
};

#endif
