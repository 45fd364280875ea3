#include "backup/rhv/api/rhv_service.h"

#include <exception>
#include <iterator>
#include <utility>

#include "backup/http/http_encode.h"
#include "backup/http/http_query_string_builder.h"
#include "backup/json_spirit/extract.h"
#include "backup/scrt/log.h"
#include "platform/json/json_dump.h"

namespace {

typedef HTTP_Query_String_Builder_T<std::back_insert_iterator<std::string>> Query_Builder;

const char* query_or_null(const std::string& query) { return query.empty() ? nullptr : query.c_str(); }

}  // namespace

RHV_Service::RHV_Service(RHV_Session_var session, std::string service)
  : session_(std::move(session)), service_(std::move(service))
{
}

std::string RHV_Service::encode_segment(const std::string& id)
{
  std::string out;
  out.reserve(id.size());
  // As in query values, but a blank is "%20": "+" is no blank in a path.
  http_encode_string_i(id.c_str(), HUT_FLAG_SLASH, std::back_inserter(out));
  // "." and ".." are path steps, not names: spell their dots out.
  if (out == "." || out == "..")
    out = out.size() == 1 ? "%2e" : "%2e%2e";
  return out;
}

std::string RHV_Service::child_path(const char* parent, const std::string& id, const char* child)
{
  std::string path(parent);
  path += '/';
  path += encode_segment(id);
  path += child;
  return path;
}

std::string RHV_Service::collection_url() const
{
  if (!session_)
    return std::string();
  std::string url;
  url.reserve(1 + session_->engine().size() + 4 + service_.size() + 40);
  url += '/';
  url += session_->engine();
  url += "/api";
  url += service_;
  return url;
}

bool RHV_Service::handle_list(const char* query, json_spirit::Value& result)
{
  if (!session_) {
    RHV_LOG_ERROR("Invalid RHV session.\n");
    return false;
  }
  if (session_->get(collection_url(), query, &result))
    return true;
  return handle_error(result);
}

bool RHV_Service::handle_get(const std::string& id, const char* query, json_spirit::Value& result)
{
  if (!session_) {
    RHV_LOG_ERROR("Invalid RHV session.\n");
    return false;
  }
  std::string url = collection_url();
  url += '/';
  url += encode_segment(id);
  if (session_->get(url, query, &result))
    return true;
  return handle_error(result);
}

bool RHV_Service::handle_remove(const std::string& id, const char* query, json_spirit::Value& result)
{
  if (!session_) {
    RHV_LOG_ERROR("Invalid RHV session.\n");
    return false;
  }
  std::string url = collection_url();
  url += '/';
  url += encode_segment(id);
  if (session_->delete_(url, query, &result))
    return true;
  return handle_error(result);
}

bool RHV_Service::handle_add(const char* query, const json_spirit::Value& body, json_spirit::Value& result)
{
  if (!session_) {
    RHV_LOG_ERROR("Invalid RHV session.\n");
    return false;
  }
  if (session_->post(collection_url(), query, &body, &result))
    return true;
  return handle_error(result);
}

bool RHV_Service::handle_action(const std::string& id, const std::string& action, const char* query,
                                const json_spirit::Value& body, json_spirit::Value& result)
{
  if (!session_) {
    RHV_LOG_ERROR("Invalid RHV session.\n");
    return false;
  }
  std::string url = collection_url();
  url += '/';
  url += encode_segment(id);
  url += '/';
  url += action;
  if (session_->post(url, query, &body, &result))
    return true;
  return handle_error(result);
}

bool RHV_Service::busy() const
{
  if (!session_ || session_->last_status() != 409)
    return false;
  const std::string& detail = session_->last_fault_detail();
  return detail.find("locked") != std::string::npos ||
         detail.find("Related operation is currently in progress") != std::string::npos;
}

bool RHV_Service::handle_error(const json_spirit::Value& reply)
{
  try {
    const json_spirit::Object& fault = reply.get_obj();
    std::string reason;
    std::string detail;
    json_spirit::extract_or_throw(fault)("reason", reason)("detail", detail);
    RHV_LOG_ERROR("Failed to call api, %s: %s.\n", reason.c_str(), detail.c_str());
  } catch (const std::exception&) {
    RHV_LOG_ERROR("Failed to extract data from result.\n");
  }
  return false;
}

bool RHV_Service::list_value(const std::string& query, json_spirit::Value& result)
{
  if (handle_list(query_or_null(query), result))
    return true;
  RHV_LOG_ERROR("Failed to call 'GET %s'.\n", service_.c_str());
  return false;
}

bool RHV_Service::get_value(const std::string& id, const std::string& query, json_spirit::Value& result)
{
  if (handle_get(id, query_or_null(query), result))
    return true;
  RHV_LOG_ERROR("Failed to call 'GET %s/%s'.\n", service_.c_str(), id.c_str());
  return false;
}

bool RHV_Service::add_value(const json_spirit::Value& body, json_spirit::Value& result)
{
  if (handle_add(nullptr, body, result))
    return true;
  RHV_LOG_ERROR("Failed to call 'POST %s', data %s.\n", service_.c_str(), JSON_Dump(body).c_str());
  return false;
}

bool RHV_Service::remove_value(const std::string& id, const std::string& query)
{
  json_spirit::Value result;
  if (handle_remove(id, query_or_null(query), result))
    return true;
  RHV_LOG_ERROR("Failed to call 'DELETE %s/%s'.\n", service_.c_str(), id.c_str());
  return false;
}

// ---------------------------------------------------------------------------
// RHV_Query

RHV_Query& RHV_Query::operator()(const char* name, const std::string& value)
{
  if (value.empty())
    return *this;
  Query_Builder builder(std::back_inserter(text_), !text_.empty());
  builder(name, value.c_str(), true, true, nullptr);
  return *this;
}

RHV_Query& RHV_Query::operator()(const char* name, bool value)
{
  Query_Builder builder(std::back_inserter(text_), !text_.empty());
  builder(name, value, true, nullptr);
  return *this;
}
