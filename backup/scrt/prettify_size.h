#ifndef BACKUP_SCRT_PRETTIFY_SIZE_H
#define BACKUP_SCRT_PRETTIFY_SIZE_H

#include <string>

#include "platform/runtime/pretty_formatter.h"

// `bytes` as a human-readable size with `precision` decimals, 1024-based
// ("1.5 GB" with precision 1).
inline std::string prettify_size(unsigned long bytes, unsigned int precision)
{
  Pretty_Formatter formatter(precision);
  return formatter.format_size(bytes);
}

#endif
