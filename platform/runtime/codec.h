#ifndef PLATFORM_RUNTIME_CODEC_H
#define PLATFORM_RUNTIME_CODEC_H

#include <cstddef>
#include <memory>
#include <new>

#include "platform/runtime/secure_memset.h"

#pragma GCC visibility push(default)

// Base of the codecs (the RSA decoder among them): holds the output of the last
// run. The output often is a secret (a decrypted password), so its bytes are
// zeroed before they are released.
template <typename T>
class Codec_Impl_T {
public:
  Codec_Impl_T() : length_(0), capacity_(0) {}
  virtual ~Codec_Impl_T() { clear(); }

  Codec_Impl_T(const Codec_Impl_T&) = delete;
  Codec_Impl_T& operator=(const Codec_Impl_T&) = delete;

  // True when an output buffer exists (possibly holding 0 bytes).
  explicit operator bool() const { return buf_ != nullptr; }
  // The output, or null.
  const T* get() const { return buf_.get(); }
  // The length of the output in bytes.
  std::size_t length() const { return length_ * sizeof(T); }

protected:
  // Replaces the output by `n` elements (value-initialised); null when memory is
  // exhausted, and then there is no output.
  T* allocate(std::size_t n)
  {
    clear();
    std::size_t const capacity = n == 0 ? 1 : n;
    buf_.reset(new (std::nothrow) T[capacity]());
    if (buf_ != nullptr) {
      length_ = n;
      capacity_ = capacity;
    }
    return buf_.get();
  }

  // Shortens the output to its first `n` elements.
  void truncate(std::size_t n)
  {
    if (n < length_) length_ = n;
  }

  // Wipes and drops the output.
  void clear()
  {
    if (buf_ != nullptr) secure_memset(buf_.get(), 0, capacity_ * sizeof(T));
    buf_.reset();
    length_ = 0;
    capacity_ = 0;
  }

private:
  std::unique_ptr<T[]> buf_;
  std::size_t length_;
  std::size_t capacity_;
};

#pragma GCC visibility pop

#endif
