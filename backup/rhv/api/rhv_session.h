#ifndef BACKUP_RHV_API_RHV_SESSION_H
#define BACKUP_RHV_API_RHV_SESSION_H

// An authenticated channel to the RHV engine's REST API.
//
// A session knows the engine's address, the credentials and the URL prefix under which
// the engine is installed, and sends GET, POST and DELETE requests with JSON bodies,
// adding what every request of the API carries: Accept and Content-Type
// "application/json", "Version: 4" and the Authorization header. Two kinds exist:
// HTTP Basic ("basic"), authenticated from init() on, and an OAuth bearer token from the
// engine's single-sign-on endpoint with the password grant ("oauth"), fetched with the
// first request and renewed once whenever a request is refused with 401.
//
// A request succeeds only when the engine answers with a JSON object and status 200
// (GET, DELETE) or 200, 201 or 202 (POST). On failure `result` holds whatever JSON the
// engine sent (its fault body, when it sent one), for the caller to report.
//
// Not safe for concurrent use: every request resets and reuses one request and one
// response object (and the OAuth token request its own pair). Each thread of work logs
// in with a client of its own, or the threads sharing one serialise their calls.

#include <functional>
#include <memory>
#include <string>

#include "backup/http/http_request.h"
#include "backup/scrt/secure_string.h"
#include "platform/http/http_session.h"
#include "platform/http/json_http_session.h"
#include "platform/json/value.h"

class RHV_Session {
public:
  // Runs one prepared exchange: (request body or null, place for the reply).
  typedef std::function<bool(const json_spirit::Value*, json_spirit::Value*)> Exchange;

  virtual ~RHV_Session();

  RHV_Session(const RHV_Session&) = delete;
  RHV_Session& operator=(const RHV_Session&) = delete;

  // Stores the address and credentials, opens the HTTP session to host:port and runs
  // the kind's own initialisation. Called once, before any request.
  bool init(std::string host, unsigned short port, bool ssl, std::string username, secure_string password,
            std::string engine);

  // `path` is the absolute URL path, `query` the query string without "?" (null or
  // empty for none).
  bool get(const std::string& path, const char* query, json_spirit::Value* result);
  bool delete_(const std::string& path, const char* query, json_spirit::Value* result);
  bool post(const std::string& path, const char* query, const json_spirit::Value* body, json_spirit::Value* result);

  const std::string& host() const { return host_; }
  unsigned short port() const { return port_; }
  bool ssl() const { return ssl_; }
  const std::string& username() const { return username_; }
  const secure_string& password() const { return password_; }
  const std::string& engine() const { return engine_; }
  // The complete value of the Authorization header; empty until authenticated. It is a
  // credential: kept in wiped storage, and its copy in a request is wiped after the
  // exchange.
  const secure_string& authorization() const { return authorization_; }
  // The HTTP status of the last request's answer; 0 when no answer came.
  int last_status() const { return response_.status(); }
  // After a failed request: it went out but no answer came back (the connection closed or
  // timed out once the request was on its way), so the engine may have carried it out all
  // the same. False when the engine answered, and when the request never went out (no
  // connection, TLS handshake or login failed): then nothing was done.
  bool last_unanswered() const { return response_.status() == 0 && request_sent_; }
  // The last answer was the engine's own fault reply: a JSON object with "reason" or
  // "detail", not a page of something in front of the engine.
  bool last_engine_fault() const { return engine_fault_; }
  // The "detail" of that fault reply; empty when there is none.
  const std::string& last_fault_detail() const { return fault_detail_; }
  // The engine answered that the entity the request names does not exist: 404 with an
  // empty body, as it answers a path naming nothing, or with its fault reply. A 404 page of
  // anything in front of the engine (a proxy, a server still starting) does not count.
  bool last_not_found() const
  {
    return response_.status() == 404 && (engine_fault_ || !response_.has_body());
  }

protected:
  RHV_Session();

  virtual bool init_i() = 0;
  virtual bool send_request_i(const std::string& path, const char* query, const json_spirit::Value* body,
                              json_spirit::Value* result, const Exchange& fn) = 0;
  // Fills authorization_.
  virtual bool setup_authorization() = 0;

  bool send_request(const std::string& path, const char* query, const json_spirit::Value* body,
                    json_spirit::Value* result, const Exchange& fn);
  // Prepares request_ for a new exchange: URI, query and the headers of the API,
  // without Authorization.
  void reset_request(const std::string& path, const char* query);
  // Puts authorization_ into request_; drop_authorization() wipes and removes that copy.
  void put_authorization();
  void drop_authorization();

  bool get_i(json_spirit::Value* result);
  bool delete_i(json_spirit::Value* result);
  bool post_i(const json_spirit::Value* body, json_spirit::Value* result);
  // The outcome of one exchange of `method` whose transport result was `sent`.
  bool finish_exchange(const char* method, bool sent, json_spirit::Value* result);

  std::string host_;
  unsigned short port_;
  bool ssl_;
  std::string username_;
  secure_string password_;
  std::string engine_;
  secure_string authorization_;
  bool request_sent_ = false;  // the last request may have reached the engine
  bool engine_fault_ = false;  // the last answer was the engine's fault reply
  std::string fault_detail_;
  JSON_HTTP_Session session_;
  HTTP_Response response_;
  HTTP_Request request_;
};

typedef std::shared_ptr<RHV_Session> RHV_Session_var;

// HTTP Basic authentication: the Authorization value is computed at init().
class RHV_Basic_Session : public RHV_Session {
public:
  RHV_Basic_Session() = default;
  ~RHV_Basic_Session() override;

protected:
  bool init_i() override;
  bool send_request_i(const std::string& path, const char* query, const json_spirit::Value* body,
                      json_spirit::Value* result, const Exchange& fn) override;
  bool setup_authorization() override;
};

// OAuth bearer token of the engine's single-sign-on endpoint (password grant). The
// token is fetched with the first request and kept until a request is answered 401;
// then one new token is fetched and the request repeated once.
class RHV_OAuth_Session : public RHV_Session {
public:
  RHV_OAuth_Session();
  ~RHV_OAuth_Session() override;

protected:
  bool init_i() override;
  bool send_request_i(const std::string& path, const char* query, const json_spirit::Value* body,
                      json_spirit::Value* result, const Exchange& fn) override;
  bool setup_authorization() override;

  HTTP_Session_var sess_;  // its own connection to host:port, for token requests only
  HTTP_Response rsp_;
  HTTP_Request req_;
  std::string url_;         // "/<engine>/sso/oauth/token"
  secure_string req_data_;  // the form body of the token request; holds the password
};

class RHV_Session_Factory {
public:
  // "basic" or "oauth" (exact, case-sensitive); any other text logs "Invalid session
  // type." and gives an empty pointer, as does memory exhaustion (silently).
  static RHV_Session_var create(const std::string& type);
};

#endif
