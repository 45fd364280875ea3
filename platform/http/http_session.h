#ifndef PLATFORM_HTTP_HTTP_SESSION_H
#define PLATFORM_HTTP_HTTP_SESSION_H

#include <memory>
#include <string>

#include <ace/Intrusive_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>
#include <openssl/types.h>

#include "backup/scrt/intrusive_refcountable.h"
#include "platform/http/cgi.h"

#pragma GCC visibility push(default)

// How sessions check servers and pace connection retries. A session takes the
// settings in force when it is created.
struct HTTP_Settings {
  // PEM file of the certificate authorities that servers' certificates must chain to;
  // empty: the system's trust store.
  std::string ca_file;
  // No certificate or host-name check at all. Each session created so logs one warning.
  bool insecure = false;
  // The wait before each further connection attempt of a session.
  unsigned connect_retry_delay_ms = 1000;
  // When above 0, the longest wait for an answer's next bytes, in place of the session's
  // own receive time-out (tests that meet an engine whose answer never comes).
  unsigned recv_timeout_ms = 0;
};

// The settings for a new session: those given to set_http_settings() when they are set;
// otherwise the platform configuration's "engine_ca_file", "tls_insecure" and
// "engine_recv_timeout_ms" (read at each
// session creation, so a reloaded configuration applies to the sessions created after it)
// with the default retry delay.
HTTP_Settings http_settings();
// Overrides the configuration for every session created from now on (tests).
void set_http_settings(const HTTP_Settings& settings);
// Back to the configuration.
void clear_http_settings();

class HTTP_Connection;
using HTTP_Connection_var = std::shared_ptr<HTTP_Connection>;

// One HTTP or HTTPS peer (host and port) and the connections kept open to it.
//
// A session reuses one connection for request after request (keep-alive) as long as the
// server keeps it open, and opens a new one when needed. Certificates are verified
// against the CA file of the settings, host name included, unless the settings say
// insecure. No proxy is used, whatever the environment says, unless one is given.
//
// Time-outs: connecting (TCP and TLS) may take at most the connect time-out, and a
// failed attempt is repeated up to the connect-retry count of the factory, since
// nothing was sent yet. Once connected, a request fails when no byte can be sent for the
// send time-out, or none arrives for the receive time-out, while the session waits for
// the server; time spent by the caller between two operations of a connection does not
// count.
//
// A session serves one exchange at a time: an open HTTP_Connection holds it until the
// connection is dropped, and other threads wait for it. Using a session on the thread that
// holds an open connection of it fails (logged) instead of waiting forever.
//
// Failures are logged at LM_WARNING with the method, URL (without the query) and the
// reason, as "HTTP <method> '<url>' failed: <reason>.\n"; the caller logs its own line.
class HTTP_Session : public ACE_Intrusive_Refcountable_T<HTTP_Session, ACE_Thread_Mutex> {
public:
  ~HTTP_Session() override;

  const std::string& host() const;
  unsigned short port() const;
  bool ssl() const;

  // "http[s]://host:port" followed by the request's URI and, when it has one, "?" and its
  // query string.
  std::string url(const CGI_Request& req) const;

  // Starts `req` on a connection of this session. The request's headers are sent as
  // they are, except Content-Length and Transfer-Encoding, which follow from the body:
  // a POST, PUT or PATCH, or any request whose content_length() is not 0 or whose
  // chunked_transfer_encoding() is true, has a body, which the caller sends with
  // HTTP_Connection::write(), then reads the response with read_head(). A request
  // without a body has been sent and its response head received when open() returns.
  // Null (logged) when the request could not be sent.
  HTTP_Connection_var open(const CGI_Request& req);

  // One complete exchange: sends `req` with `body` (null: none; a POST, PUT or PATCH
  // always sends a Content-Length, 0 when there is no body), receives the response into
  // `rsp` and its body into `rsp_body` (at most `max_body` bytes). `deadline_ms` bounds
  // the whole exchange (0: no bound). True when a complete response arrived, whatever its
  // status. On false the status is 0 and `rsp.has_body()` tells whether some body bytes
  // had arrived; error() tells why.
  bool exchange(const CGI_Request& req, const std::string* body, CGI_Response& rsp, std::string& rsp_body,
                unsigned long deadline_ms = 0, size_t max_body = 256u << 20);

  // An errno value for the last failure of exchange() or open() on this session.
  int error() const;
  // After exchange() or open(): whether the request may have reached the server. False
  // when it cannot have: no connection could be made (name resolution, connect, TLS
  // handshake) or the session could not be used. True once a connection was ready to
  // carry it, even when it then broke or no answer came: the server may have received
  // and carried out the request all the same.
  bool request_sent() const;

  // The size of libcurl's buffer for request bodies written through HTTP_Connection::write()
  // (at most 2 MiB); 0: libcurl's default (64 KiB). Applies from the next open().
  void upload_buffer_size(size_t bytes);

  struct Impl;

private:
  friend class HTTP_Session_Factory;
  friend class HTTP_Connection;
  friend class HTTP_Transfer;
  explicit HTTP_Session(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
};

using HTTP_Session_var = ACE_Intrusive_Auto_Ptr<HTTP_Session>;

class HTTP_Session_Factory {
public:
  // A session for host:port (TLS when `ssl`). `proxy`: a proxy URL, or null for a direct
  // connection. `connect_retries`: further connection attempts after a failed one.
  // `ssl_ctx`: must be null (the session makes its own TLS setup from the settings).
  // `no_keep_alive`: close each connection after its exchange. Time-outs in seconds
  // (0: none). `flags`: reserved, 0. Empty (logged) on failure.
  static HTTP_Session_var create(const std::string& host, unsigned short port, bool ssl, const char* proxy = nullptr,
                                 int connect_retries = 3, SSL_CTX* ssl_ctx = nullptr, bool no_keep_alive = false,
                                 int connect_timeout = 120, int send_timeout = 120, int recv_timeout = 120,
                                 unsigned flags = 0);
};

// The full URL of a request on a session, for log lines: "scheme://host:port/uri?query",
// with the request's log URI in place of its URI when it has one (CGI_Request::log_uri).
// A null session gives "(no session)" followed by the URI and query.
class HTTP_Session_URL {
public:
  HTTP_Session_URL(const HTTP_Session* session, const CGI_Request& req);
  HTTP_Session_URL(const HTTP_Session_var& session, const CGI_Request& req)
      : HTTP_Session_URL(session.get(), req)
  {
  }

  const char* c_str() const { return url_.c_str(); }
  const std::string& str() const { return url_; }

private:
  std::string url_;
};

#pragma GCC visibility pop

#endif
