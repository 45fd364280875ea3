#include "platform/runtime/pretty_formatter.h"

#include <cmath>
#include <cstdio>

Formatter::~Formatter() = default;

Pretty_Formatter::Pretty_Formatter(unsigned int precision) : precision_(precision) {}

std::string const& Pretty_Formatter::format_size(std::uint64_t bytes)
{
  static char const* const units[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
  static unsigned const n_units = sizeof units / sizeof units[0];
  // More decimals than a double holds are of no use; this also bounds the buffer.
  int const prec = static_cast<int>(precision_ > 15 ? 15 : precision_);
  char buf[64];

  if (bytes < 1024) {
    std::snprintf(buf, sizeof buf, "%u B", static_cast<unsigned>(bytes));
    text_ = buf;
    return text_;
  }

  double value = static_cast<double>(bytes);
  unsigned unit = 0;
  double const scale = std::pow(10.0, prec);
  while (unit + 1 < n_units) {
    // Move up while the number, as it will be printed, would reach 1024.
    if (std::round(value * scale) / scale < 1024.0) break;
    value /= 1024.0;
    ++unit;
  }
  std::snprintf(buf, sizeof buf, "%.*f %s", prec, value, units[unit]);
  text_ = buf;
  return text_;
}
