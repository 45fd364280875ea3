#ifndef PLATFORM_SERVANT_SERVANT_ENDPOINT_H
#define PLATFORM_SERVANT_SERVANT_ENDPOINT_H

// Where a servant request runs.
//
// The settings come from the servant's configuration file (see servant.h), each key
// falling back to the platform configuration when the file does not give it:
//
//   mode         "process" or "inprocess"            (servant_mode; default "process")
//   module       the module that holds the handlers  (servant_module; else the
//                                                      environment's RHV_MODULE_PATH)
//   host_binary  the servant host program            (servant_host_binary)
//   timeout      seconds a servant may take; 0 = no limit (default 0)
//   stop_grace   seconds a servant process may still take once the scheduler has
//                stopped, before it is killed (default 60)
//
// In-process: the module is loaded once per process (dlopen) and its handler for the
// method is made once through the module's factory ("rhev.backup" ->
// _make_RHV_Backup_Servant_Handler, "rhev.restore" -> _make_RHV_Restore_Servant_Handler)
// and kept for the life of the process. The handler runs on the calling thread with the
// servant's log callback installed; its reply must be sent before handle() returns. A
// handler registered with register_inprocess_handler() is used instead of the module's.
//
// Process: the servant host program runs once per request with
// "--tag <tag> [--module <module>] [--svc-conf <file>]", in a process group of its own.
// It reads the request as one line on its standard input and writes the reply as one
// line on its standard output; its standard error carries its log lines, one JSON
// object {"priority": n, "text": "..."} per line (other lines pass at LM_ERROR), which
// go to the servant's log callback. A servant that exits or dies without a usable reply,
// or is killed on a time-out or after a stop, is answered by a synthetic -32603 error.
// Once the servant process has ended, its process group is killed and what it wrote by
// then is its answer: a child it left holding its channels open is not waited for. The
// process is always reaped.

#include <functional>
#include <memory>
#include <string>

#include "platform/json/value.h"
#include "platform/jsonrpc/json_rpc_handler.h"
#include "platform/jsonrpc/json_rpc_object.h"
#include "platform/servant/servant.h"

#pragma GCC visibility push(default)

// The resolved settings of one servant.
struct Servant_Settings {
  enum Mode { MODE_PROCESS, MODE_INPROCESS };
  Mode mode = MODE_PROCESS;
  std::string module;
  std::string host_binary;
  int timeout = 0;
  int stop_grace = 60;

  // From the servant's configuration and the platform configuration. False (with the
  // reason in `error`) for an unknown mode or a bad number.
  static bool resolve(const Servant& servant, Servant_Settings& out, std::string& error);
};

// The name of the module's handler factory for a method, or null for an unknown method.
const char* servant_handler_factory(const std::string& method);

// What a running request may ask of its caller.
struct Servant_Call_Control {
  // True once the caller has stopped; asked about every second while a servant process
  // runs (the process then gets its stop grace). May be empty.
  std::function<bool()> stopped;
  // True when the caller is being torn down: a servant process is killed at once.
  std::function<bool()> abandoned;
};

class Servant_Endpoint {
public:
  virtual ~Servant_Endpoint();

  // Runs `request` on a servant prepared as `servant` says and returns its reply: a
  // response or an error reply for the request's id, never null.
  virtual JSON_RPC_Object_var call(const Servant& servant, const JSON_RPC_Request& request,
                                   const Servant_Call_Control& control) = 0;

  // An endpoint for the settings, or null (logged) when it cannot be set up.
  static std::unique_ptr<Servant_Endpoint> create(const Servant_Settings& settings,
                                                  const std::string& method);

  // The error reply that stands for a servant without a usable reply.
  static JSON_RPC_Object_var internal_error(const json_spirit::Value& id, const char* message);
};

// In-process handler used for `method` instead of the module's; null removes it. The
// handler is not owned and must outlive every request made while it is registered.
// Returns the handler registered before.
JSON_RPC_Handler* register_inprocess_handler(const std::string& method, JSON_RPC_Handler* handler);

#pragma GCC visibility pop

#endif  // PLATFORM_SERVANT_SERVANT_ENDPOINT_H
