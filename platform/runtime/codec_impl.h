#ifndef PLATFORM_RUNTIME_CODEC_IMPL_H
#define PLATFORM_RUNTIME_CODEC_IMPL_H

#include <cstddef>

#include "platform/runtime/secure_memset.h"

#pragma GCC visibility push(default)

// Base of the encoders and decoders: the result of one conversion, held in a buffer
// that the object owns. The buffer is wiped before it is released, since decoders
// hand out secrets (passwords).
template <typename T>
class Codec_Impl_T {
public:
  virtual ~Codec_Impl_T() { reset(); }

  Codec_Impl_T(const Codec_Impl_T&) = delete;
  Codec_Impl_T& operator=(const Codec_Impl_T&) = delete;

  // True when an output buffer exists (the conversion succeeded); a successful
  // conversion to nothing has a buffer of length 0.
  explicit operator bool() const { return buf_ != nullptr; }
  // The output, or null after a failure.
  const T* get() const { return buf_; }
  // The number of elements of the output.
  std::size_t length() const { return len_; }

protected:
  Codec_Impl_T() = default;

  // Takes ownership of buf (allocated with new T[]), holding len elements.
  void adopt(T* buf, std::size_t len)
  {
    reset();
    buf_ = buf;
    len_ = len;
  }

  void reset()
  {
    if (buf_ != nullptr) {
      secure_memset(buf_, 0, len_ * sizeof(T));
      delete[] buf_;
    }
    buf_ = nullptr;
    len_ = 0;
  }

private:
  T* buf_ = nullptr;
  std::size_t len_ = 0;
};

#pragma GCC visibility pop

#endif
