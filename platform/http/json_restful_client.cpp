#include "platform/http/json_restful_client.h"

#include "backup/scrt/log.h"
#include "platform/http/cgi.h"

bool JSON_RESTful_Client::reset(const std::string& host, unsigned short port, bool ssl)
{
  HTTP_Session_var s = HTTP_Session_Factory::create(host, port, ssl, nullptr, 3, nullptr, false, 120, 120, 120, 0);
  session_.reset(s);
  return static_cast<bool>(s);
}

bool JSON_RESTful_Client::set_header(int id, const std::string& value)
{
  return headers_.put(id, value.empty() ? nullptr : value.c_str(), true);
}

bool JSON_RESTful_Client::set_header(const char* name, const std::string& value)
{
  return headers_.put(name, value.empty() ? nullptr : value.c_str(), true);
}

bool JSON_RESTful_Client::get(const std::string& path, const char* query, json_spirit::Value* result, int* status)
{
  return send(HTTP_METHOD_GET, path, query, nullptr, result, status);
}

bool JSON_RESTful_Client::post(const std::string& path, const char* query, const json_spirit::Value& body,
                               json_spirit::Value* result, int* status)
{
  return send(HTTP_METHOD_POST, path, query, &body, result, status);
}

bool JSON_RESTful_Client::put(const std::string& path, const char* query, const json_spirit::Value& body,
                              json_spirit::Value* result, int* status)
{
  return send(HTTP_METHOD_PUT, path, query, &body, result, status);
}

bool JSON_RESTful_Client::delete_(const std::string& path, const char* query, json_spirit::Value* result,
                                  int* status)
{
  return send(HTTP_METHOD_DELETE, path, query, nullptr, result, status);
}

bool JSON_RESTful_Client::send(int method, const std::string& path, const char* query,
                               const json_spirit::Value* body, json_spirit::Value* result, int* status)
{
  if (status != nullptr)
    *status = 0;
  if (!session_) {
    if (result != nullptr)
      *result = json_spirit::Value();
    RHV_LOG_WARNING("REST client has no server for %s '%s'.\n", http_method_string(method), path.c_str());
    return false;
  }
  CGI_Request req(method, path.c_str(), true);
  req.query_string(query);
  headers_.visit([&](const char* name, const char* value) { req.headers().put(name, value, false); });
  req.headers().put(HTTP_HEAD_ACCEPT, "application/json", true);
  if (body != nullptr)
    req.headers().put(HTTP_HEAD_CONTENT_TYPE, "application/json", true);
  CGI_Response rsp;
  if (!session_.exchange(method, req, body, rsp, result))
    return false;  // logged by the session
  if (status != nullptr)
    *status = rsp.status();
  if (rsp.status() < 200 || rsp.status() > 299) {
    RHV_LOG_WARNING("HTTP %s '%s' answered status %d.\n", http_method_string(method),
                    HTTP_Session_URL(session_.get(), req).c_str(), rsp.status());
    return false;
  }
  return true;
}
