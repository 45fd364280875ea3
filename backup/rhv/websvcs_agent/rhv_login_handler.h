#ifndef BACKUP_RHV_WEBSVCS_AGENT_RHV_LOGIN_HANDLER_H
#define BACKUP_RHV_WEBSVCS_AGENT_RHV_LOGIN_HANDLER_H

// The console's test of an RHV engine's connection settings before they are saved: the
// request carries the settings, with the password encrypted with this host's RSA public
// key; the handler decrypts it, logs in to the engine the request names, lists the data
// centers and answers {"status": true} when at least one was visible, {"status": false}
// when the login worked but none was listed.
//
// Request params (an object): "host" (text), "username" (text), "url_prefix" (text,
// optional; missing or empty: "ovirt-engine"), "auth_type" ("basic" or "oauth"),
// "password" (the encrypted text), "port" (integer, narrowed to 16 bits) and "ssl"
// (boolean). Errors:
//   -32602 "Invalid request type."           params are not an object
//   -32602 "Invalid params."                 a required key is missing or mistyped
//   -32602 "Failed to decrypt password."
//   -32602 "Failed to login RHV '<host>'."
//   -32603 "Internal error, out of memory."
//
// Requests run on the host's JSON-RPC thread pool, in parallel, each with its own
// client; a request that cannot be queued is logged (its password masked) and gets no
// reply. The handler keeps no state and takes no lock.

#include "backup/json_rpc/json_rpc_thread_pool_handler.h"
#include "platform/jsonrpc/json_rpc_channel.h"
#include "platform/jsonrpc/json_rpc_object.h"

class JSON_RPC_RHV_Login_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
public:
  JSON_RPC_RHV_Login_Handler() : JSON_RPC_Thread_Pool_Handler_Impl(0) {}
  // Waits for the requests still queued or running.
  ~JSON_RPC_RHV_Login_Handler() override;

  // On a pool thread. `channel` is null when the requester has gone: nothing is sent
  // then and the result is -1; otherwise the result of the reply's send.
  int handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request) override;
};

#endif
