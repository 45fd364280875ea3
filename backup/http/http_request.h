#ifndef BACKUP_HTTP_HTTP_REQUEST_H
#define BACKUP_HTTP_HTTP_REQUEST_H

#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/http/cgi.h"

// Typed accessors of a few standard headers over the HTTP library's request and
// response objects. Each reads or writes the header table by the header's index;
// writing replaces an earlier value. The library calls these through its virtual
// slots, so they also decide what it sends and how it reads a body.
//
// The HTTP minor version (`minor_version_`, 1 after construction) lives in the
// library's base object, because the library's response reader sets it from the
// status line.
template <typename Base>
class HTTP_Base : public Base {
public:
  template <typename... Args>
  explicit HTTP_Base(Args&&... args) : Base(std::forward<Args>(args)...)
  {
  }

  // Content-Length as a decimal unsigned 64-bit number: the leading digits of the
  // value (a value too large for 64 bits gives the largest one); 0 when absent.
  unsigned long content_length() const override
  {
    const char* v = this->headers().get(HTTP_HEAD_CONTENT_LENGTH, true);
    if (v == nullptr)
      return 0;
    unsigned long n = 0;
    for (const char* p = v; *p >= '0' && *p <= '9'; ++p) {
      unsigned long d = static_cast<unsigned long>(*p - '0');
      if (n > (~0UL - d) / 10)
        return ~0UL;
      n = n * 10 + d;
    }
    return n;
  }

  void content_length(unsigned long n) override
  {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%lu", n);
    this->headers().put(HTTP_HEAD_CONTENT_LENGTH, buf, true);
  }

  const char* content_type() const override { return this->headers().get(HTTP_HEAD_CONTENT_TYPE, true); }

  void content_type(const char* type) override { this->headers().put(HTTP_HEAD_CONTENT_TYPE, type, true); }

  // False when the Connection header holds the token "close", true when it holds
  // "Keep-Alive"; otherwise true exactly from HTTP/1.1 on.
  bool keep_alive() const override
  {
    const char* v = this->headers().get(HTTP_HEAD_CONNECTION, true);
    if (http_header_value_match(v, "close", ','))
      return false;
    if (http_header_value_match(v, "Keep-Alive", ','))
      return true;
    return this->minor_version_ > 0;
  }

  void keep_alive(bool on) override { this->headers().put(HTTP_HEAD_CONNECTION, on ? "Keep-Alive" : "close", true); }

  // True exactly when Transfer-Encoding is "chunked".
  bool chunked_transfer_encoding() const override
  {
    const char* v = this->headers().get(HTTP_HEAD_TRANSFER_ENCODING, true);
    return v != nullptr && std::strcmp(v, "chunked") == 0;
  }

  // Writes "chunked", or removes the header for false.
  void chunked_transfer_encoding(bool on) override
  {
    if (on)
      this->headers().put(HTTP_HEAD_TRANSFER_ENCODING, "chunked", true);
    else
      this->headers().remove(HTTP_HEAD_TRANSFER_ENCODING);
  }

  ~HTTP_Base() override = default;

  // Range: "bytes=first-last", or "bytes=first-" when `last` is all ones (open range).
  void range(unsigned long first, unsigned long last)
  {
    char buf[70];
    if (last == ~0UL)
      std::snprintf(buf, sizeof buf, "bytes=%lu-", first);
    else
      std::snprintf(buf, sizeof buf, "bytes=%lu-%lu", first, last);
    this->headers().put(HTTP_HEAD_RANGE, buf, true);
  }
};

// A request of the HTTP library with the typed accessors.
class HTTP_Request : public HTTP_Base<CGI_Request> {
public:
  explicit HTTP_Request(int method = HTTP_METHOD_GET, const char* uri = "/", bool encoded = true)
      : HTTP_Base<CGI_Request>(method, uri, encoded)
  {
  }
};

// A response of the HTTP library with the typed accessors.
class HTTP_Response : public HTTP_Base<CGI_Response> {
};

#endif
