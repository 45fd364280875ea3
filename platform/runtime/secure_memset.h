#ifndef PLATFORM_RUNTIME_SECURE_MEMSET_H
#define PLATFORM_RUNTIME_SECURE_MEMSET_H

#include <cstddef>

#pragma GCC visibility push(default)

// Fills n bytes at p with c; unlike memset, the compiler may not remove the call
// even when the memory is released right after it.
void* secure_memset(void* p, int c, std::size_t n);

#pragma GCC visibility pop

#endif
