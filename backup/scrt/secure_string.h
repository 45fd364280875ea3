#ifndef BACKUP_SCRT_SECURE_STRING_H
#define BACKUP_SCRT_SECURE_STRING_H

#include <memory>
#include <string>

#include "platform/runtime/secure_memset.h"

// An allocator like std::allocator<T> that wipes storage before releasing it.
// Only storage that went through the allocator is wiped: a short string kept
// inside the string object itself is not.
template <typename T>
struct secure_allocator : std::allocator<T> {
  using value_type = T;
  template <typename U> struct rebind { using other = secure_allocator<U>; };

  secure_allocator() noexcept = default;
  template <typename U> secure_allocator(const secure_allocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>::allocate(n); }
  void deallocate(T* p, std::size_t n)
  {
    secure_memset(p, 0, n * sizeof(T));
    std::allocator<T>::deallocate(p, n);
  }
};

template <typename T, typename U>
inline bool operator==(const secure_allocator<T>&, const secure_allocator<U>&) noexcept { return true; }
template <typename T, typename U>
inline bool operator!=(const secure_allocator<T>&, const secure_allocator<U>&) noexcept { return false; }

// The string type of every password: its heap storage is zeroed when released.
using secure_string = std::basic_string<char, std::char_traits<char>, secure_allocator<char>>;

#endif
