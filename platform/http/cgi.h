#ifndef PLATFORM_HTTP_CGI_H
#define PLATFORM_HTTP_CGI_H

#include <string>

#include "platform/http/http_headers.h"

#pragma GCC visibility push(default)

// Request methods, numbered as the library numbers them.
enum HTTP_Method {
  HTTP_METHOD_UNKNOWN = 0,
  HTTP_METHOD_CONNECT = 1,
  HTTP_METHOD_DELETE = 2,
  HTTP_METHOD_GET = 3,
  HTTP_METHOD_HEAD = 4,
  HTTP_METHOD_LOCK = 5,
  HTTP_METHOD_MKCOL = 6,
  HTTP_METHOD_OPTIONS = 7,
  HTTP_METHOD_PATCH = 8,
  HTTP_METHOD_POST = 9,
  HTTP_METHOD_PUT = 10,
  HTTP_METHOD_TRACE = 11,
  HTTP_METHOD_UNLOCK = 12,
  HTTP_METHOD_MAX = 13
};

// "GET" for HTTP_METHOD_GET, ...; null for HTTP_METHOD_UNKNOWN and values outside the enumeration.
const char* http_method_string(int method);

// What requests and responses share: the header fields and the typed accessors of a
// few standard headers. The accessors are virtual so that the module's request and
// response types can refine them; the library calls them (for instance
// content_length() to learn the size of a request body), so a refinement is seen by
// the library too. The order of the virtual operations is part of the interface.
class CGI_Base {
public:
  CGI_Base() = default;
  CGI_Base(const CGI_Base&) = default;
  CGI_Base& operator=(const CGI_Base&) = default;

  // Content-Length as a decimal number; 0 when absent or not a number.
  virtual unsigned long content_length() const;
  virtual void content_length(unsigned long n);
  // Content-Type, or null when absent. Setting null removes it.
  virtual const char* content_type() const;
  virtual void content_type(const char* type);
  // Whether the connection stays open after this message (Connection header, else the
  // HTTP version's default).
  virtual bool keep_alive() const;
  virtual void keep_alive(bool on);
  // Whether the body uses the chunked transfer coding.
  virtual bool chunked_transfer_encoding() const;
  virtual void chunked_transfer_encoding(bool on);
  virtual ~CGI_Base();

  HTTP_Headers& headers() { return headers_; }
  const HTTP_Headers& headers() const { return headers_; }

  // The HTTP minor version of the message (HTTP/1.<minor>): 1 after construction; the
  // library sets it from the status line of a response it reads.
  int minor_version_ = 1;

protected:
  HTTP_Headers headers_;
};

// A request: method, URI path, query string and headers. It names no host: a session
// sends it to the session's host.
class CGI_Request : public CGI_Base {
public:
  // `uri` is the path ("/api/vms"). When `encoded` is false, the bytes that may not
  // appear in a request path (controls, space, non-ASCII, '"', '#', '<', '>', '?',
  // '\\', '^', '`', '{', '|', '}') are percent-encoded; '%' is kept, so a path that
  // is already encoded can be given either way.
  explicit CGI_Request(int method = HTTP_METHOD_GET, const char* uri = "/", bool encoded = true);

  // Clears the URI, the query string, the log URI and the headers; the method is kept.
  void reset();

  int method() const { return method_; }
  void method(int m) { method_ = m; }

  const std::string& uri() const { return uri_; }
  void uri(const char* text, bool encoded = true);
  void uri(const std::string& text, bool encoded = true) { uri(text.c_str(), encoded); }

  // The query string, without "?"; empty for none.
  const std::string& query_string() const { return query_; }
  void query_string(const char* text) { query_ = text != nullptr ? text : ""; }
  void query_string(const std::string& text) { query_ = text; }

  // The URI as the library's log lines (and HTTP_Session_URL) print it, for a URI that
  // carries a secret such as an access ticket; empty (the default): the URI itself. Only
  // for messages: the request goes out with uri().
  const std::string& log_uri() const { return log_uri_; }
  void log_uri(const std::string& text) { log_uri_ = text; }

private:
  int method_;
  std::string uri_;
  std::string query_;
  std::string log_uri_;
};

// A response: status, headers and whether a body arrived. The body itself is read
// through the session or connection that produced the response.
class CGI_Response : public CGI_Base {
public:
  CGI_Response() = default;

  // Back to the state after construction: status 0, no headers, no body, HTTP/1.1.
  void reset();

  // The status code; 0 when no response was received.
  int status() const { return status_; }
  void status(int s) { status_ = s; }

  // The reason phrase of the status line.
  const std::string& reason() const { return reason_; }
  void reason(const std::string& r) { reason_ = r; }

  // True when at least one byte of body arrived.
  bool has_body() const { return has_body_; }
  void has_body(bool b) { has_body_ = b; }

private:
  int status_ = 0;
  std::string reason_;
  bool has_body_ = false;
};

#pragma GCC visibility pop

#endif
