#ifndef BACKUP_SCRT_MAKE_NOTHROW_H
#define BACKUP_SCRT_MAKE_NOTHROW_H

#include <cerrno>
#include <memory>
#include <new>
#include <utility>

// Object makers that report memory exhaustion as an empty pointer instead of
// throwing std::bad_alloc; callers check the result (RHV_CHECK_NOT_NULL) and fail.
// An exception thrown by T's constructor itself still passes through.

// new (std::nothrow) T(args...); T() value-initialises when there are no arguments.
template <typename T, typename... Args>
std::unique_ptr<T> make_unique_nothrow(Args&&... args)
{
  return std::unique_ptr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

// std::make_shared<T>(args...), or an empty pointer on std::bad_alloc.
template <typename T, typename... Args>
std::shared_ptr<T> make_shared_nothrow(Args&&... args)
{
  try {
    return std::make_shared<T>(std::forward<Args>(args)...);
  } catch (std::bad_alloc const&) {
    return std::shared_ptr<T>();
  }
}

// A new T() for a caller across the module's boundary (the exported factories), which
// must not see an exception: null with errno ENOMEM when memory is short. A constructor
// that throws frees the memory again and counts as a failed allocation.
template <typename T>
T* new_nothrow()
{
  T* object = nullptr;
  try {
    object = new (std::nothrow) T();
  } catch (...) {
    object = nullptr;
  }
  if (object == nullptr)
    errno = ENOMEM;
  return object;
}

#endif
