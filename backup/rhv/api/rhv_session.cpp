#include "backup/rhv/api/rhv_session.h"

#include <cstring>
#include <iterator>
#include <utility>

#include <ace/ACE.h>

#include "backup/http/http_query_string_builder.h"
#include "backup/json_spirit/extract.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "backup/scrt/make_nothrow.h"
#include "platform/http/base64.h"
#include "platform/http/http_connection.h"
#include "platform/json/json_dump.h"
#include "platform/json/object_get.h"

namespace {

// The API version every request asks for.
const char* const API_VERSION = "4";

// The arguments of every HTTP session the engine access opens: no proxy, 3 connection
// retries, no own SSL context, keep-alive, 120 s to connect, send and receive.
HTTP_Session_var create_http_session(const std::string& host, unsigned short port, bool ssl)
{
  return HTTP_Session_Factory::create(host, port, ssl, nullptr, 3, nullptr, false, 120, 120, 120, 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// RHV_Session

RHV_Session::RHV_Session()
  : port_(0),
    ssl_(false),
    session_(HTTP_Session_var(), 5, 300),
    request_(HTTP_METHOD_GET, "/", true)
{
}

RHV_Session::~RHV_Session() = default;

bool RHV_Session::init(std::string host, unsigned short port, bool ssl, std::string username,
                       secure_string password, std::string engine)
{
  host_ = std::move(host);
  port_ = port;
  ssl_ = ssl;
  username_ = std::move(username);
  password_ = std::move(password);
  engine_ = std::move(engine);

  session_.reset(create_http_session(host_, port_, ssl_));
  if (!session_) {
    RHV_LOG_ERROR("Failed to create RHV http session.\n");
    return false;
  }
  return init_i();
}

bool RHV_Session::get(const std::string& path, const char* query, json_spirit::Value* result)
{
  return send_request(path, query, nullptr, result,
                      [this](const json_spirit::Value*, json_spirit::Value* out) { return get_i(out); });
}

bool RHV_Session::delete_(const std::string& path, const char* query, json_spirit::Value* result)
{
  return send_request(path, query, nullptr, result,
                      [this](const json_spirit::Value*, json_spirit::Value* out) { return delete_i(out); });
}

bool RHV_Session::post(const std::string& path, const char* query, const json_spirit::Value* body,
                       json_spirit::Value* result)
{
  return send_request(path, query, body, result,
                      [this](const json_spirit::Value* in, json_spirit::Value* out) { return post_i(in, out); });
}

bool RHV_Session::send_request(const std::string& path, const char* query, const json_spirit::Value* body,
                               json_spirit::Value* result, const Exchange& fn)
{
  RHV_CHECK_NOT_NULL(session_, false);

  // A caller that does not want the reply still needs a place for it.
  json_spirit::Value scratch;
  if (result == nullptr)
    result = &scratch;

  reset_request(path, query);
  response_.reset();
  request_sent_ = false;
  engine_fault_ = false;
  fault_detail_.clear();
  if (authorization_.empty() && !setup_authorization()) {
    RHV_LOG_ERROR("Failed to authenticate.\n");
    return false;
  }
  put_authorization();
  const bool done = send_request_i(path, query, body, result, fn);
  drop_authorization();
  return done;
}

void RHV_Session::reset_request(const std::string& path, const char* query)
{
  drop_authorization();
  request_.reset();
  request_.uri(path);
  request_.content_type("application/json");
  request_.headers().put(HTTP_HEAD_ACCEPT, "application/json", true);
  request_.headers().put("Version", API_VERSION, true);
  if (query != nullptr && *query != '\0')
    request_.query_string(query);
}

void RHV_Session::put_authorization()
{
  request_.headers().put(HTTP_HEAD_AUTHORIZATION, authorization_.c_str(), true);
}

void RHV_Session::drop_authorization()
{
  // The header's storage belongs to the request and is released unwiped: wipe it first.
  if (const char* value = request_.headers().get(HTTP_HEAD_AUTHORIZATION))
    secure_memset(const_cast<char*>(value), 0, std::strlen(value));
  request_.headers().remove(HTTP_HEAD_AUTHORIZATION);
}

bool RHV_Session::get_i(json_spirit::Value* result)
{
  return finish_exchange("GET", session_.get(request_, response_, result), result);
}

bool RHV_Session::delete_i(json_spirit::Value* result)
{
  return finish_exchange("DELETE", session_.delete_(request_, response_, result), result);
}

bool RHV_Session::post_i(const json_spirit::Value* body, json_spirit::Value* result)
{
  return finish_exchange("POST", session_.post(request_, body, response_, result), result);
}

bool RHV_Session::finish_exchange(const char* method, bool sent, json_spirit::Value* result)
{
  const char* query = request_.query_string().c_str();
  request_sent_ = sent || session_.get()->request_sent();
  if (!sent) {
    RHV_LOG_ERROR("Failed to send %s request: \n\tapi version: %s.\n\turl: %s.\n\tquery: %s.\n"
                  "\tresponse status: %d.\n",
                  method, API_VERSION, HTTP_Session_URL(session_.get(), request_).c_str(), query,
                  response_.status());
    return false;
  }

  if (ACE::debug() && ACE_LOG_MSG->log_priority_enabled(LM_DEBUG)) {
    RHV_LOG_DEBUG("RHV Session Info: \n\tmethod: %s.\n\tapi version: %s.\n\turl: %s.\n\tquery: %s.\n"
                  "\tresponse status: %d.\n\tresult: %s.\n",
                  method, API_VERSION, HTTP_Session_URL(session_.get(), request_).c_str(), query,
                  response_.status(), JSON_Dump(*result).c_str());
  }

  if (result->type() != json_spirit::obj_type)
    return false;
  const int status = response_.status();
  if (request_.method() == HTTP_METHOD_POST ? status == 200 || status == 201 || status == 202 : status == 200)
    return true;
  // A refusal: keep what the engine said of it.
  const json_spirit::Object& reply = result->get_obj();
  engine_fault_ = reply.count("reason") != 0 || reply.count("detail") != 0;
  if (const std::string* detail = json_spirit::object_get_str(reply, "detail"))
    fault_detail_ = *detail;
  return false;
}

// ---------------------------------------------------------------------------
// RHV_Basic_Session

RHV_Basic_Session::~RHV_Basic_Session() = default;

bool RHV_Basic_Session::init_i()
{
  return setup_authorization();
}

bool RHV_Basic_Session::send_request_i(const std::string&, const char*, const json_spirit::Value* body,
                                       json_spirit::Value* result, const Exchange& fn)
{
  return fn(body, result);
}

bool RHV_Basic_Session::setup_authorization()
{
  // "user:password", kept in wiped storage.
  secure_string credential;
  credential.reserve(username_.size() + 1 + password_.size());
  credential.append(username_.data(), username_.size());
  credential.push_back(':');
  credential.append(password_.data(), password_.size());

  Base64_Encoder encoded(credential.data(), credential.size(), false);
  if (!encoded) {
    RHV_LOG_ERROR("Failed to encode credential to base64 string.\n");
    return false;
  }
  secure_string value("Basic ");
  value.append(reinterpret_cast<const char*>(encoded.get()), encoded.length());
  authorization_.swap(value);
  return true;
}

// ---------------------------------------------------------------------------
// RHV_OAuth_Session

RHV_OAuth_Session::RHV_OAuth_Session() : req_(HTTP_METHOD_GET, "/", true) {}

RHV_OAuth_Session::~RHV_OAuth_Session() = default;

bool RHV_OAuth_Session::init_i()
{
  sess_ = create_http_session(host_, port_, ssl_);
  if (!sess_) {
    RHV_LOG_ERROR("Failed to create RHV token session.\n");
    return false;
  }
  url_ = "/" + engine_ + "/sso/oauth/token";

  // The form is built once; it holds the password, so it lives in wiped storage.
  secure_string form;
  HTTP_Query_String_Builder_T<std::back_insert_iterator<secure_string>> builder(std::back_inserter(form), false);
  builder("grant_type", "password", true, true, nullptr)("scope", "ovirt-app-api", true, true, nullptr)(
      "username", username_.c_str(), true, true, nullptr)("password", password_.c_str(), true, true, nullptr);
  req_data_.swap(form);
  return true;
}

bool RHV_OAuth_Session::send_request_i(const std::string& path, const char* query, const json_spirit::Value* body,
                                       json_spirit::Value* result, const Exchange& fn)
{
  if (fn(body, result))
    return true;
  if (response_.status() != 401)
    return false;

  RHV_LOG_INFO("The RHV session may expire, try again.\n");
  reset_request(path, query);
  if (!setup_authorization()) {
    RHV_LOG_ERROR("Failed to authenticate.\n");
    return false;
  }
  put_authorization();
  return fn(body, result);
}

bool RHV_OAuth_Session::setup_authorization()
{
  if (!sess_) {
    RHV_LOG_ERROR("Invalid RHV token session.\n");
    return false;
  }

  req_.reset();
  req_.uri(url_);
  req_.method(HTTP_METHOD_POST);
  req_.content_type("application/x-www-form-urlencoded");
  req_.content_length(req_data_.size());
  req_.headers().put(HTTP_HEAD_ACCEPT, "application/json", true);

  HTTP_Connection_var conn = sess_->open(req_);
  if (!conn) {
    RHV_LOG_ERROR("Failed to send request to '%s'.\n", host_.c_str());
    return false;
  }
  const ssize_t written = conn->write(req_data_.data(), req_data_.size());
  if (written < 0 || static_cast<size_t>(written) < req_data_.size()) {
    RHV_LOG_ERROR("Failed to post data to '%s'.\n", host_.c_str());
    return false;
  }
  rsp_.reset();
  if (conn->read_head(rsp_) == -1) {
    RHV_LOG_ERROR("Failed to receive response from '%s'.\n", host_.c_str());
    return false;
  }
  if (rsp_.status() != 200 || !rsp_.has_body()) {
    RHV_LOG_ERROR("Response status is '%d', has%s body.\n", rsp_.status(), rsp_.has_body() ? "" : " no");
    return false;
  }

  json_spirit::Object reply;
  if (!read(*conn, reply)) {
    RHV_LOG_ERROR("Failed to read response data.\n");
    return false;
  }
  if (const std::string* error = json_spirit::object_get_str(reply, "error")) {
    RHV_LOG_ERROR("Failed to authenticate: %s.\n", error->c_str());
    return false;
  }
  try {
    const std::string& token = json_spirit::object_get_str_or_throw(reply, "access_token");
    secure_string value("Bearer ");
    value.append(token.data(), token.size());
    authorization_.swap(value);
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Invalid response format, exception: %s.\n", e.what());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// RHV_Session_Factory

RHV_Session_var RHV_Session_Factory::create(const std::string& type)
{
  if (type == "basic")
    return make_shared_nothrow<RHV_Basic_Session>();
  if (type == "oauth")
    return make_shared_nothrow<RHV_OAuth_Session>();
  RHV_LOG_ERROR("Invalid session type.\n");
  return RHV_Session_var();
}
