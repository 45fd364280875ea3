#ifndef BACKUP_SCRT_STRING_FORMAT_H
#define BACKUP_SCRT_STRING_FORMAT_H

// printf-style formatting into a std::string or into a buffer with an inline part.
// These are plain printf formats (URLs, names, messages built before logging),
// not ACE log formats: %lu and %ld are fine here. Neither formatter logs; errors
// come back as negative results.

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <string>

// Formats into `s`, after its current content when `append` is true, over it
// otherwise. Returns the new length of `s`, or the negative result of vsnprintf
// on error; then `s` is cut back to its old content when appending, and emptied
// (storage released) otherwise. The string's own bytes serve as the buffer: at
// least 128 bytes are tried first, and a longer result is formatted a second time
// into a string grown to fit it.
inline int string_vsprintf(std::string& s, char const* fmt, va_list ap, bool append)
{
  std::size_t const off = append ? s.size() : 0;
  for (;;) {
    std::size_t const avail = s.size() - off;
    int room = avail > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(avail);
    if (room < 128) {
      room = 128;
      s.resize(off + 128);
    }
    va_list aq;
    va_copy(aq, ap);
    int n = std::vsnprintf(&s[off], static_cast<std::size_t>(room), fmt, aq);
    va_end(aq);
    if (n < 0) {
      if (off == 0)
        std::string().swap(s);
      else
        s.resize(off);
      return n;
    }
    if (n < room) {
      s.resize(off + static_cast<std::size_t>(n));
      return static_cast<int>(s.size());
    }
    if (n == room + 1) n += 128;
    s.resize(off + static_cast<std::size_t>(n) + 1);
  }
}

// string_vsprintf(s, fmt, args, false).
inline int string_sprintf(std::string& s, char const* fmt, ...) __attribute__((format(printf, 2, 3)));
inline int string_sprintf(std::string& s, char const* fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  int n = string_vsprintf(s, fmt, ap, false);
  va_end(ap);
  return n;
}

// The formatted text as a new string; empty when formatting failed.
inline std::string string_sprintf(char const* fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string string_sprintf(char const* fmt, ...)
{
  std::string s;
  va_list ap;
  va_start(ap, fmt);
  string_vsprintf(s, fmt, ap, false);
  va_end(ap);
  return s;
}

template <std::size_t N, typename C = char>
class snprintf_t;

// A formatted text for one message or URL, meant to live on the stack: it is
// formatted into the inline buffer of N bytes and moves to a heap buffer only
// when it does not fit. c_str() stays valid while the object lives.
template <std::size_t N>
class snprintf_t<N, char> {
  static_assert(N > 0, "the inline buffer needs room for the terminating NUL");

public:
  explicit snprintf_t(char const* fmt, ...) __attribute__((format(printf, 2, 3)))
    : len_(0), ptr_(nullptr), size_(0)
  {
    buf_[0] = '\0';
    va_list ap;
    va_start(ap, fmt);
    vset(fmt, ap);
    va_end(ap);
  }

  ~snprintf_t() { std::free(ptr_); }

  snprintf_t(const snprintf_t&) = delete;
  snprintf_t& operator=(const snprintf_t&) = delete;

  // Formats again, reusing the heap buffer when there is one. Returns the length
  // of the text, negative on a formatting error, or -1 (length 0) when a larger
  // buffer cannot be allocated.
  int set(char const* fmt, ...) __attribute__((format(printf, 2, 3)))
  {
    va_list ap;
    va_start(ap, fmt);
    int n = vset(fmt, ap);
    va_end(ap);
    return n;
  }

  int vset(char const* fmt, va_list ap)
  {
    char* p = ptr_ != nullptr ? ptr_ : buf_;
    std::size_t size = ptr_ != nullptr ? size_ : N;
    for (;;) {
      va_list aq;
      va_copy(aq, ap);
      len_ = std::vsnprintf(p, size, fmt, aq);
      va_end(aq);
      if (len_ < 0) {
        p[0] = '\0';
        return len_;
      }
      if (static_cast<std::size_t>(len_) < size) return len_;
      if (static_cast<std::size_t>(len_) == size + 1) len_ *= 2;
      void* grown = std::realloc(ptr_, static_cast<std::size_t>(len_) + 1);
      if (grown == nullptr) {
        len_ = 0;
        return -1;
      }
      ptr_ = static_cast<char*>(grown);
      size_ = static_cast<std::size_t>(len_) + 1;
      p = ptr_;
      size = size_;
    }
  }

  char const* c_str() const { return ptr_ != nullptr ? ptr_ : buf_; }
  // The length of the last formatting; negative after a formatting error.
  int length() const { return len_; }
  // Whether the text moved to a heap buffer.
  bool on_heap() const { return ptr_ != nullptr; }
  std::size_t heap_size() const { return size_; }

private:
  char buf_[N];
  int len_;
  char* ptr_;
  std::size_t size_;
};

#endif
