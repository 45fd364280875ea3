#ifndef BACKUP_RHV_WEBSVCS_AGENT_RHV_WEBSVCS_EXPORT_H
#define BACKUP_RHV_WEBSVCS_AGENT_RHV_WEBSVCS_EXPORT_H

// The exported factories of the web-service agent's handlers: the inventory list handler
// and the login-test handler.
//
// Each factory stores the matching destroyer through `gobble` first (when it is not
// null), even when the allocation that follows fails; it allocates without throwing and
// returns null with errno ENOMEM on failure. The host owns the handler and releases it
// only through that destroyer, which ignores null and waits for the handler's requests
// still in flight.

#include "platform/jsonrpc/json_rpc_handler.h"

extern "C" {

__attribute__((visibility("default"))) JSON_RPC_Handler* _make_JSON_RPC_RHV_List_Handler(void (**gobble)(void*));

__attribute__((visibility("default"))) JSON_RPC_Handler* _make_JSON_RPC_RHV_Login_Handler(void (**gobble)(void*));

}  // extern "C"

#endif
