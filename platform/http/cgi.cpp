#include "platform/http/cgi.h"

#include <cstdio>

namespace {

const char* const kMethodNames[HTTP_METHOD_MAX] = {
    nullptr, "CONNECT", "DELETE", "GET", "HEAD", "LOCK", "MKCOL", "OPTIONS", "PATCH", "POST", "PUT", "TRACE", "UNLOCK",
};

// Bytes that may not appear as they are in the path of a request line.
bool must_escape_in_path(unsigned char c)
{
  if (c <= 0x20 || c >= 0x7f)
    return true;
  switch (c) {
  case '"': case '#': case '<': case '>': case '?': case '\\': case '^': case '`': case '{': case '|': case '}':
    return true;
  default:
    return false;
  }
}

}  // namespace

const char* http_method_string(int method)
{
  return method > 0 && method < HTTP_METHOD_MAX ? kMethodNames[method] : nullptr;
}

CGI_Base::~CGI_Base() = default;

unsigned long CGI_Base::content_length() const
{
  const char* v = headers_.get(HTTP_HEAD_CONTENT_LENGTH, true);
  if (v == nullptr)
    return 0;
  unsigned long n = 0;
  for (const char* p = v; *p >= '0' && *p <= '9'; ++p)
    n = n * 10 + static_cast<unsigned long>(*p - '0');
  return n;
}

void CGI_Base::content_length(unsigned long n)
{
  char buf[24];
  std::snprintf(buf, sizeof buf, "%lu", n);
  headers_.put(HTTP_HEAD_CONTENT_LENGTH, buf, true);
}

const char* CGI_Base::content_type() const
{
  return headers_.get(HTTP_HEAD_CONTENT_TYPE, true);
}

void CGI_Base::content_type(const char* type)
{
  headers_.put(HTTP_HEAD_CONTENT_TYPE, type, true);
}

bool CGI_Base::keep_alive() const
{
  const char* v = headers_.get(HTTP_HEAD_CONNECTION, true);
  if (http_header_value_match(v, "close", ','))
    return false;
  if (http_header_value_match(v, "Keep-Alive", ','))
    return true;
  return minor_version_ > 0;
}

void CGI_Base::keep_alive(bool on)
{
  headers_.put(HTTP_HEAD_CONNECTION, on ? "Keep-Alive" : "close", true);
}

bool CGI_Base::chunked_transfer_encoding() const
{
  return http_header_value_match(headers_.get(HTTP_HEAD_TRANSFER_ENCODING, true), "chunked", ',');
}

void CGI_Base::chunked_transfer_encoding(bool on)
{
  headers_.put(HTTP_HEAD_TRANSFER_ENCODING, on ? "chunked" : nullptr, true);
}

CGI_Request::CGI_Request(int method, const char* uri, bool encoded) : method_(method)
{
  this->uri(uri, encoded);
}

void CGI_Request::reset()
{
  uri_.clear();
  query_.clear();
  log_uri_.clear();
  headers_.clear();
}

void CGI_Request::uri(const char* text, bool encoded)
{
  uri_.clear();
  if (text == nullptr)
    return;
  if (encoded) {
    uri_ = text;
    return;
  }
  static const char hex[] = "0123456789ABCDEF";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    if (must_escape_in_path(*p)) {
      uri_ += '%';
      uri_ += hex[*p >> 4];
      uri_ += hex[*p & 0xf];
    } else {
      uri_ += static_cast<char>(*p);
    }
  }
}

void CGI_Response::reset()
{
  headers_.clear();
  minor_version_ = 1;
  status_ = 0;
  reason_.clear();
  has_body_ = false;
}
