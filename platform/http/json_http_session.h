#ifndef PLATFORM_HTTP_JSON_HTTP_SESSION_H
#define PLATFORM_HTTP_JSON_HTTP_SESSION_H

#include "platform/http/http_session.h"
#include "platform/json/value.h"

#pragma GCC visibility push(default)

// JSON requests over an HTTP session.
//
// Each operation sets the request's method, sends the request (a body as the JSON
// text of JSON_Dump, compact), waits for the whole response, and reports whether an
// exchange took place: true when a complete response arrived, whatever its status,
// which the caller reads from the response object. *result (when given) then holds the
// parsed body, error bodies included; a body that is empty or not JSON leaves *result
// null, never an object. On false, the response's status is 0, has_body() tells whether
// some body bytes had arrived, and *result is null.
//
// `retries`: a GET that fails because the connection broke (reset, closed early, cut
// short) is sent again up to this many times; other requests are never sent twice.
// `timeout` (seconds, 0: none) bounds one operation, retries included.
//
// Like its session, not safe for concurrent use from several threads on one request or
// response object; the session itself serialises exchanges.
class JSON_HTTP_Session {
public:
  explicit JSON_HTTP_Session(const HTTP_Session_var& session = HTTP_Session_var(), int retries = 5,
                             int timeout = 300);

  void reset(const HTTP_Session_var& session) { session_ = session; }
  explicit operator bool() const { return session_.get() != nullptr; }
  const HTTP_Session_var& get() const { return session_; }

  bool get(CGI_Request& req, CGI_Response& rsp, json_spirit::Value* result);
  bool post(CGI_Request& req, const json_spirit::Value* body, CGI_Response& rsp, json_spirit::Value* result);
  bool put(CGI_Request& req, const json_spirit::Value* body, CGI_Response& rsp, json_spirit::Value* result);
  bool delete_(CGI_Request& req, CGI_Response& rsp, json_spirit::Value* result);
  // Any method; `body` null sends none (a POST, PUT or PATCH then has Content-Length 0).
  bool exchange(int method, CGI_Request& req, const json_spirit::Value* body, CGI_Response& rsp,
                json_spirit::Value* result);

private:
  HTTP_Session_var session_;
  int retries_;
  int timeout_;
};

#pragma GCC visibility pop

#endif
