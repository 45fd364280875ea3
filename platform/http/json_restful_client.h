#ifndef PLATFORM_HTTP_JSON_RESTFUL_CLIENT_H
#define PLATFORM_HTTP_JSON_RESTFUL_CLIENT_H

#include <string>

#include "platform/http/http_headers.h"
#include "platform/http/json_http_session.h"
#include "platform/json/value.h"

#pragma GCC visibility push(default)

// A JSON REST client of one server (the backup server's catalog and alert services):
// a session to host:port plus headers sent with every request (the access key).
//
//   JSON_RESTful_Client c;
//   c.reset("127.0.0.1", 8443, true) && c.set_header(HTTP_HEAD_X_ACCESS_KEY, key);
//   json_spirit::Value reply;
//   c.post("/api/alerts", nullptr, alert, &reply);
//
// Every request carries Accept: application/json, and Content-Type: application/json
// when it has a body. An operation returns true when the server answered with a 2xx
// status; *result (when given) holds the parsed reply (null when the body is empty or
// not JSON, error bodies included) and *status (when given) the status, 0 when no
// answer arrived. A failure is logged at LM_WARNING. Not safe for concurrent use.
class JSON_RESTful_Client {
public:
  JSON_RESTful_Client() = default;

  // Targets host:port (TLS when `ssl`) with a new session; the headers set so far stay.
  // False (logged) when the session cannot be made.
  bool reset(const std::string& host, unsigned short port, bool ssl);
  explicit operator bool() const { return static_cast<bool>(session_); }

  // A header for every later request; an empty value removes it. False for an id outside
  // the header table.
  bool set_header(int id, const std::string& value);
  bool set_header(const char* name, const std::string& value);
  const HTTP_Headers& headers() const { return headers_; }

  // `path` is the absolute URL path; `query` the query string without "?", or null.
  bool get(const std::string& path, const char* query, json_spirit::Value* result, int* status = nullptr);
  bool post(const std::string& path, const char* query, const json_spirit::Value& body, json_spirit::Value* result,
            int* status = nullptr);
  bool put(const std::string& path, const char* query, const json_spirit::Value& body, json_spirit::Value* result,
           int* status = nullptr);
  bool delete_(const std::string& path, const char* query, json_spirit::Value* result, int* status = nullptr);

private:
  bool send(int method, const std::string& path, const char* query, const json_spirit::Value* body,
            json_spirit::Value* result, int* status);

  JSON_HTTP_Session session_;
  HTTP_Headers headers_;
};

#pragma GCC visibility pop

#endif
