#ifndef PLATFORM_JSONRPC_GLOBAL_JSON_RPC_H
#define PLATFORM_JSONRPC_GLOBAL_JSON_RPC_H

// Calls of the host's own JSON-RPC services (such as "rhev.query"), through a
// process-wide registry of method implementations. The host (or a test) registers each
// method it serves; modules call them by name.

#include <functional>
#include <string>

#include "platform/json/value.h"

#pragma GCC visibility push(default)

// A method implementation: fills `result` and returns true, or returns false for an
// error reply (`result` then holds its message, or null).
typedef std::function<bool(const json_spirit::Value& params, json_spirit::Value& result)>
    Global_JSON_RPC_Method;

// Serves `method` with `fn` from now on, replacing an earlier registration.
void register_global_json_rpc(const std::string& method, Global_JSON_RPC_Method fn);
// Stops serving `method`.
void unregister_global_json_rpc(const std::string& method);

// Calls `method` with `params` and stores its result in `*result`. True when a result of
// type `expected` arrived. `attempts` (at least one is made) and `timeout` (seconds; -1
// for the default of 30) bound the call: the registry serves calls in-process, so the
// call is made once and runs to its end. Every failure is logged.
bool global_json_rpc(const char* method, const json_spirit::Value& params, int attempts,
                     json_spirit::Value* result, json_spirit::Value_type expected, int timeout);

#pragma GCC visibility pop

#endif  // PLATFORM_JSONRPC_GLOBAL_JSON_RPC_H
