#ifndef PLATFORM_JSONRPC_JSON_RPC_OBJECT_H
#define PLATFORM_JSONRPC_JSON_RPC_OBJECT_H

// JSON-RPC 2.0 messages: requests, notifications, responses and error responses, their
// wire form (one JSON object) and their text for log lines.

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Refcounted_Auto_Ptr.h>

#include <string>

#include "platform/json/json_dump.h"
#include "platform/json/value.h"

#pragma GCC visibility push(default)

// Error codes of JSON-RPC 2.0. Codes from JSON_RPC_E_SERVER_ERROR_FIRST to
// JSON_RPC_E_SERVER_ERROR_LAST are free for servers.
enum {
  JSON_RPC_E_PARSE_ERROR = -32700,
  JSON_RPC_E_INVALID_REQUEST = -32600,
  JSON_RPC_E_METHOD_NOT_FOUND = -32601,
  JSON_RPC_E_INVALID_PARAMS = -32602,
  JSON_RPC_E_INTERNAL_ERROR = -32603,
  JSON_RPC_E_SERVER_ERROR_FIRST = -32099,
  JSON_RPC_E_SERVER_ERROR_LAST = -32000
};

class JSON_RPC_Object {
public:
  enum Type {
    TYPE_NONE = 0,
    TYPE_NOTIFY = 1,
    TYPE_REQUEST = 2,
    TYPE_RESPONSE = 3,
    TYPE_RESPONSE_ERROR = 4
  };

  virtual ~JSON_RPC_Object();
  Type type() const { return type_; }

  // The wire form: {"jsonrpc": "2.0", ...}.
  virtual json_spirit::Value to_json() const = 0;

protected:
  explicit JSON_RPC_Object(Type type) : type_(type) {}
  JSON_RPC_Object(const JSON_RPC_Object&) = default;
  JSON_RPC_Object& operator=(const JSON_RPC_Object&) = default;

private:
  Type type_;
};

typedef ACE_Refcounted_Auto_Ptr<JSON_RPC_Object, ACE_Recursive_Thread_Mutex> JSON_RPC_Object_var;

// A call: `method` with `params`. A request carries an `id` that its reply echoes; a
// notification has none and gets no reply.
class JSON_RPC_Request_Base : public JSON_RPC_Object {
public:
  std::string method;
  json_spirit::Value params;
  json_spirit::Value id;

  json_spirit::Value to_json() const override;

protected:
  explicit JSON_RPC_Request_Base(Type type) : JSON_RPC_Object(type) {}
};

class JSON_RPC_Request : public JSON_RPC_Request_Base {
public:
  JSON_RPC_Request() : JSON_RPC_Request_Base(TYPE_REQUEST) {}
  JSON_RPC_Request(const std::string& m, const json_spirit::Value& p, const json_spirit::Value& i)
    : JSON_RPC_Request_Base(TYPE_REQUEST)
  {
    method = m;
    params = p;
    id = i;
  }
};

class JSON_RPC_Notify : public JSON_RPC_Request_Base {
public:
  JSON_RPC_Notify() : JSON_RPC_Request_Base(TYPE_NOTIFY) {}
  JSON_RPC_Notify(const std::string& m, const json_spirit::Value& p)
    : JSON_RPC_Request_Base(TYPE_NOTIFY)
  {
    method = m;
    params = p;
  }
};

// A successful reply; the handler fills `result`.
class JSON_RPC_Response : public JSON_RPC_Object {
public:
  JSON_RPC_Response() : JSON_RPC_Object(TYPE_RESPONSE) {}
  // The reply to `request`: carries its id (null when `request` is null).
  explicit JSON_RPC_Response(const JSON_RPC_Request_Base* request);
  explicit JSON_RPC_Response(const json_spirit::Value& request_id)
    : JSON_RPC_Object(TYPE_RESPONSE), id(request_id)
  {
  }

  json_spirit::Value id;
  json_spirit::Value result;

  json_spirit::Value to_json() const override;
};

// A failed reply: {"code", "message", "data"}.
class JSON_RPC_Response_Error : public JSON_RPC_Object {
public:
  JSON_RPC_Response_Error() : JSON_RPC_Object(TYPE_RESPONSE_ERROR) {}
  JSON_RPC_Response_Error(int c, const json_spirit::Value& request_id, const char* msg,
                          const json_spirit::Value& d)
    : JSON_RPC_Object(TYPE_RESPONSE_ERROR), id(request_id), code(c),
      message(msg != nullptr ? msg : ""), data(d)
  {
  }

  json_spirit::Value id;
  int code = 0;
  std::string message;
  json_spirit::Value data;

  json_spirit::Value to_json() const override;
};

// Reads one message from its wire form. Returns a null pointer and, when `error` is
// given, a one-line reason, when `wire` is not a JSON-RPC 2.0 message.
JSON_RPC_Object_var json_rpc_object_from_json(const json_spirit::Value& wire,
                                              std::string* error = nullptr);

// A deep copy of a message.
JSON_RPC_Object_var json_rpc_object_clone(const JSON_RPC_Object& obj);

// The compact JSON text of a message, for log lines. `flags` is reserved (pass 0).
class JSON_RPC_Object_Dump {
public:
  JSON_RPC_Object_Dump(const JSON_RPC_Object& obj, int flags = 0);
  JSON_RPC_Object_Dump(const JSON_RPC_Object_var& obj, int flags = 0);

  const char* c_str() const { return text_.c_str(); }
  const std::string& str() const { return text_; }

private:
  std::string text_;
};

#pragma GCC visibility pop

#endif  // PLATFORM_JSONRPC_JSON_RPC_OBJECT_H
