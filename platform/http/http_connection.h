#ifndef PLATFORM_HTTP_HTTP_CONNECTION_H
#define PLATFORM_HTTP_HTTP_CONNECTION_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <ace/Message_Block.h>

#include "platform/http/http_session.h"
#include "platform/json/value.h"

#pragma GCC visibility push(default)

// States of a connection, as state() reports them.
enum HTTP_Sock_State {
  HTTP_SOCK_STATE_CLOSED = 0,
  HTTP_SOCK_STATE_CONNECTING = 1,
  HTTP_SOCK_STATE_CONNECTED = 2,
  HTTP_SOCK_STATE_SENDING_HEAD = 3,
  HTTP_SOCK_STATE_HEAD_SENT = 4,
  HTTP_SOCK_STATE_SENDING_CONTENT = 5,    // the request body is being written
  HTTP_SOCK_STATE_CONTENT_SENT = 6,
  HTTP_SOCK_STATE_RECEIVING_HEAD = 7,     // waiting for the response head
  HTTP_SOCK_STATE_HEAD_RECEIVED = 8,
  HTTP_SOCK_STATE_RECEIVING_CONTENT = 9,  // response body bytes remain to be read
  HTTP_SOCK_STATE_RECEIVING_CHUNK = 10,
  HTTP_SOCK_STATE_RECEIVING_TRAILER = 11,
  HTTP_SOCK_STATE_CONTENT_RECEIVED = 12,  // the whole response body has been read
  HTTP_SOCK_STATE_ERROR = 13              // the exchange failed; error() tells why
};

// One request in progress on a session, made by HTTP_Session::open(): the request body
// goes out in pieces, the response comes back in pieces. Dropping the connection
// (destroying the last pointer) ends the exchange; an exchange that did not finish
// closes its TCP connection, so the next request starts on a clean one. The
// connection holds its session (see HTTP_Session) until it is dropped.
//
// Typical uses:
//   request with a body:  open(req) -> write()... -> read_head(rsp) -> recv()... or read(conn, obj)
//   request without one:  open(req) -> status() -> recv()... until state() is
//                         HTTP_SOCK_STATE_CONTENT_RECEIVED
//
// Every failure is logged once (LM_WARNING, see HTTP_Session) and sets errno to error().
// Not safe for concurrent use.
class HTTP_Connection {
public:
  ~HTTP_Connection();
  HTTP_Connection(const HTTP_Connection&) = delete;
  HTTP_Connection& operator=(const HTTP_Connection&) = delete;

  // Sends request body bytes; returns `length` once all of them are handed over, or -1.
  // Writing more than the announced Content-Length fails with EMSGSIZE and sends
  // nothing.
  ssize_t write(const void* data, size_t length);
  ssize_t send(const void* data, size_t length) { return write(data, length); }

  // Receives the response head into `rsp` (status, reason, headers, HTTP minor
  // version, and whether body bytes follow); 0, or -1 on failure. With a request body of
  // announced length, all of it must have been written first; a chunked body ends here.
  int read_head(CGI_Response& rsp);
  // The same, named for the end of an upload.
  int recv_response(CGI_Response& rsp) { return read_head(rsp); }

  // Receives the next part of the response body: at most `length` bytes, whatever is
  // there (waiting for at least one). Returns the byte count, 0 once the whole body has
  // been read, or -1.
  ssize_t recv(void* buffer, size_t length);
  // The same into the free space of `block`, advancing its write pointer.
  ssize_t recv(ACE_Message_Block& block);
  // The rest of the body appended to `out`; false on failure or beyond `max_length` bytes.
  bool read_body(std::string& out, size_t max_length = 256u << 20);

  // The status of the response, 0 before its head arrived.
  int status() const;
  int state() const;
  // The errno value of the failure, 0 when there was none.
  int error() const;
  // The request's URL as sent, query included (its log URI is not applied).
  const std::string& url() const;

  struct Impl;

private:
  friend class HTTP_Session;
  explicit HTTP_Connection(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
};

// Reads the rest of the response body of `conn` as one JSON object. False when the body
// cannot be read or is not a JSON object; `out` is then unchanged.
bool read(HTTP_Connection& conn, json_spirit::Object& out);

#pragma GCC visibility pop

#endif
