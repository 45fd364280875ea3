#ifndef BACKUP_RHV_WEBSVCS_AGENT_RHV_LIST_HANDLER_H
#define BACKUP_RHV_WEBSVCS_AGENT_RHV_LIST_HANDLER_H

// The web-service agent's JSON-RPC handler for browsing and searching the RHV inventory.
//
// Request params (an object; every key optional, every value a text, a missing or
// non-text value reads as ""):
//   "uuid"         the RHV host record to use ("rhev.query")
//   "subtype"      "inventory" lists the children of a node, "search" searches; any
//                  other value does neither and answers []
//   "moid", "type", "view"       the node whose children are listed, and the view
//   "search_type", "search"      what a search looks for, and the text
// Result: the array of nodes (see RHV_Lister). Errors:
//   -32602 "Params is not Object"              params are not an object
//   -32603 "Failed to get RHV host info <uuid>."  the host record was not obtained
//   -32602 "Failed to login RHV <host>."       the engine refused the login
//   -32603 "Failed to search RHV resource." / "Failed to list RHV resource."
//   -32603 "Internal error, out of memory."
// A message that is not a request gets no reply.
//
// Each request runs on a thread of its own (JSON_RPC_Thread_Handler) with its own client
// and lister; the handler keeps no state and takes no lock.

#include "platform/jsonrpc/json_rpc_channel.h"
#include "platform/jsonrpc/json_rpc_handler.h"
#include "platform/jsonrpc/json_rpc_object.h"

class JSON_RPC_RHV_List_Handler : public JSON_RPC_Thread_Handler {
public:
  JSON_RPC_RHV_List_Handler() = default;
  // Waits for the requests still running.
  ~JSON_RPC_RHV_List_Handler() override;

  // Handles one request and sends exactly one reply; returns the send's result, or -1
  // (nothing sent) for a message that is not a request.
  int handle_object_i(JSON_RPC_Channel_var channel, JSON_RPC_Object_var obj) override;
};

#endif
