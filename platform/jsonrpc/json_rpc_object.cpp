#include "platform/jsonrpc/json_rpc_object.h"

#include <limits>
#include <new>

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

JSON_RPC_Object::~JSON_RPC_Object() = default;

namespace {

Object wire_base()
{
  Object o;
  o["jsonrpc"] = Value("2.0");
  return o;
}

bool fail(std::string* error, const char* why)
{
  if (error != nullptr)
    *error = why;
  return false;
}

}  // namespace

Value JSON_RPC_Request_Base::to_json() const
{
  Object o = wire_base();
  o["method"] = Value(method);
  if (!params.is_null())
    o["params"] = params;
  if (type() == TYPE_REQUEST)
    o["id"] = id;
  return Value(std::move(o));
}

JSON_RPC_Response::JSON_RPC_Response(const JSON_RPC_Request_Base* request)
  : JSON_RPC_Object(TYPE_RESPONSE)
{
  if (request != nullptr)
    id = request->id;
}

Value JSON_RPC_Response::to_json() const
{
  Object o = wire_base();
  o["id"] = id;
  o["result"] = result;
  return Value(std::move(o));
}

Value JSON_RPC_Response_Error::to_json() const
{
  Object err;
  err["code"] = Value(code);
  err["message"] = Value(message);
  if (!data.is_null())
    err["data"] = data;
  Object o = wire_base();
  o["id"] = id;
  o["error"] = Value(std::move(err));
  return Value(std::move(o));
}

JSON_RPC_Object_var json_rpc_object_from_json(const Value& wire, std::string* error)
{
  JSON_RPC_Object_var none;
  if (wire.type() != json_spirit::obj_type) {
    fail(error, "a JSON-RPC message must be an object");
    return none;
  }
  const Object& o = wire.get_obj();
  auto version = o.find("jsonrpc");
  if (version != o.end() &&
      (version->second.type() != json_spirit::str_type || version->second.get_str() != "2.0")) {
    fail(error, "unsupported JSON-RPC version");
    return none;
  }
  auto id = o.find("id");
  auto method = o.find("method");
  if (method != o.end()) {
    if (method->second.type() != json_spirit::str_type) {
      fail(error, "the method of a JSON-RPC request must be a string");
      return none;
    }
    JSON_RPC_Request_Base* req;
    if (id != o.end())
      req = new (std::nothrow) JSON_RPC_Request();
    else
      req = new (std::nothrow) JSON_RPC_Notify();
    if (req == nullptr) {
      fail(error, "out of memory");
      return none;
    }
    JSON_RPC_Object_var var(req);
    req->method = method->second.get_str();
    auto params = o.find("params");
    if (params != o.end())
      req->params = params->second;
    if (id != o.end())
      req->id = id->second;
    return var;
  }
  auto result = o.find("result");
  if (result != o.end()) {
    JSON_RPC_Response* rsp = new (std::nothrow) JSON_RPC_Response();
    if (rsp == nullptr) {
      fail(error, "out of memory");
      return none;
    }
    JSON_RPC_Object_var var(rsp);
    rsp->result = result->second;
    if (id != o.end())
      rsp->id = id->second;
    return var;
  }
  auto err = o.find("error");
  if (err != o.end()) {
    if (err->second.type() != json_spirit::obj_type) {
      fail(error, "the error of a JSON-RPC response must be an object");
      return none;
    }
    const Object& e = err->second.get_obj();
    auto code = e.find("code");
    if (code == e.end() || code->second.type() != json_spirit::int_type || code->second.is_uint64() ||
        code->second.get_int64() < std::numeric_limits<int>::min() ||
        code->second.get_int64() > std::numeric_limits<int>::max()) {
      fail(error, "the error of a JSON-RPC response needs an integer code");
      return none;
    }
    JSON_RPC_Response_Error* rsp = new (std::nothrow) JSON_RPC_Response_Error();
    if (rsp == nullptr) {
      fail(error, "out of memory");
      return none;
    }
    JSON_RPC_Object_var var(rsp);
    rsp->code = static_cast<int>(code->second.get_int64());
    auto msg = e.find("message");
    if (msg != e.end() && (msg->second.type() == json_spirit::str_type ||
                           msg->second.type() == json_spirit::secure_str_type))
      rsp->message = msg->second.get_str();
    auto data = e.find("data");
    if (data != e.end())
      rsp->data = data->second;
    if (id != o.end())
      rsp->id = id->second;
    return var;
  }
  fail(error, "not a JSON-RPC request or response");
  return none;
}

JSON_RPC_Object_var json_rpc_object_clone(const JSON_RPC_Object& obj)
{
  JSON_RPC_Object* copy = nullptr;
  switch (obj.type()) {
  case JSON_RPC_Object::TYPE_REQUEST:
    copy = new (std::nothrow) JSON_RPC_Request(static_cast<const JSON_RPC_Request&>(obj));
    break;
  case JSON_RPC_Object::TYPE_NOTIFY:
    copy = new (std::nothrow) JSON_RPC_Notify(static_cast<const JSON_RPC_Notify&>(obj));
    break;
  case JSON_RPC_Object::TYPE_RESPONSE:
    copy = new (std::nothrow) JSON_RPC_Response(static_cast<const JSON_RPC_Response&>(obj));
    break;
  case JSON_RPC_Object::TYPE_RESPONSE_ERROR:
    copy = new (std::nothrow)
        JSON_RPC_Response_Error(static_cast<const JSON_RPC_Response_Error&>(obj));
    break;
  default:
    break;
  }
  return JSON_RPC_Object_var(copy);
}

JSON_RPC_Object_Dump::JSON_RPC_Object_Dump(const JSON_RPC_Object& obj, int /*flags*/)
  : text_(JSON_Dump(obj.to_json()).str())
{
}

JSON_RPC_Object_Dump::JSON_RPC_Object_Dump(const JSON_RPC_Object_var& obj, int flags)
{
  if (obj.get() == nullptr)
    text_ = "null";
  else
    text_ = JSON_RPC_Object_Dump(*obj.get(), flags).str();
}
