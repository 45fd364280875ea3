#include "platform/http/json_http_session.h"

#include <cerrno>
#include <chrono>
#include <string>

#include "backup/scrt/log.h"
#include "platform/http/http_connection.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"

namespace {

// The connection broke after the request went out: worth another try for a GET.
bool broken_connection(int err)
{
  return err == ECONNRESET || err == EPIPE || err == ECONNABORTED;
}

}  // namespace

JSON_HTTP_Session::JSON_HTTP_Session(const HTTP_Session_var& session, int retries, int timeout)
    : session_(session), retries_(retries > 0 ? retries : 0), timeout_(timeout > 0 ? timeout : 0)
{
}

bool JSON_HTTP_Session::get(CGI_Request& req, CGI_Response& rsp, json_spirit::Value* result)
{
  return exchange(HTTP_METHOD_GET, req, nullptr, rsp, result);
}

bool JSON_HTTP_Session::post(CGI_Request& req, const json_spirit::Value* body, CGI_Response& rsp,
                             json_spirit::Value* result)
{
  return exchange(HTTP_METHOD_POST, req, body, rsp, result);
}

bool JSON_HTTP_Session::put(CGI_Request& req, const json_spirit::Value* body, CGI_Response& rsp,
                            json_spirit::Value* result)
{
  return exchange(HTTP_METHOD_PUT, req, body, rsp, result);
}

bool JSON_HTTP_Session::delete_(CGI_Request& req, CGI_Response& rsp, json_spirit::Value* result)
{
  return exchange(HTTP_METHOD_DELETE, req, nullptr, rsp, result);
}

bool JSON_HTTP_Session::exchange(int method, CGI_Request& req, const json_spirit::Value* body, CGI_Response& rsp,
                                 json_spirit::Value* result)
{
  using Clock = std::chrono::steady_clock;
  if (result != nullptr)
    *result = json_spirit::Value();
  req.method(method);
  if (!session_) {
    rsp.reset();
    RHV_LOG_WARNING("JSON HTTP session without an HTTP session.\n");
    errno = ENOTCONN;
    return false;
  }
  std::string text;
  if (body != nullptr)
    text = JSON_Dump(*body).release();

  Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout_);
  std::string rsp_body;
  for (int attempt = 0;; ++attempt) {
    unsigned long left_ms = 0;
    if (timeout_ > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      left_ms = left > 0 ? static_cast<unsigned long>(left) : 1;
    }
    if (session_->exchange(req, body != nullptr ? &text : nullptr, rsp, rsp_body, left_ms))
      break;
    int err = session_->error();
    if (method != HTTP_METHOD_GET || attempt >= retries_ || !broken_connection(err) ||
        (timeout_ > 0 && Clock::now() >= deadline)) {
      errno = err;
      return false;
    }
    RHV_LOG_DEBUG("Sending GET '%s' again (%d of %d).\n", HTTP_Session_URL(session_, req).c_str(), attempt + 1,
                  retries_);
  }
  if (result != nullptr && !rsp_body.empty()) {
    json_spirit::Value v;
    if (json_spirit::parse(rsp_body, v))
      *result = std::move(v);
  }
  return true;
}

bool read(HTTP_Connection& conn, json_spirit::Object& out)
{
  std::string body;
  if (!conn.read_body(body))
    return false;
  json_spirit::Value v;
  if (!json_spirit::parse(body, v) || v.type() != json_spirit::obj_type)
    return false;
  out = std::move(v.get_obj());
  return true;
}
