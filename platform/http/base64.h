#ifndef PLATFORM_HTTP_BASE64_H
#define PLATFORM_HTTP_BASE64_H

#include <cstddef>

#include "backup/scrt/secure_string.h"

#pragma GCC visibility push(default)

// Standard Base64 (RFC 4648 alphabet, "=" padding) of a byte string, made at
// construction. The text is kept in wiped storage, since it usually encodes
// credentials.
class Base64_Encoder {
public:
  // `wrap_lines`: break the text into lines of 64 characters, each ended by "\n"
  // (PEM style); false gives one line without a line break.
  Base64_Encoder(const void* data, size_t length, bool wrap_lines = false);

  // True when the text was made (also for an empty input, whose text is empty).
  explicit operator bool() const { return ok_; }
  // The text, NUL-terminated.
  const char* get() const { return text_.c_str(); }
  size_t length() const { return text_.size(); }

private:
  secure_string text_;
  bool ok_ = false;
};

#pragma GCC visibility pop

#endif
