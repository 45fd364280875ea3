#include "platform/runtime/secure_memset.h"

#include <cstring>

void* secure_memset(void* p, int c, std::size_t n)
{
  if (c == 0) {
    explicit_bzero(p, n);
    return p;
  }
  volatile unsigned char* q = static_cast<volatile unsigned char*>(p);
  while (n--) *q++ = static_cast<unsigned char>(c);
  return p;
}
