#ifndef BACKUP_RHV_SERVANT_RHV_SERVANT_HANDLER_H
#define BACKUP_RHV_SERVANT_RHV_SERVANT_HANDLER_H

// The module's servant handlers: the host of a servant routes each per-VM request
// ("rhev.backup" or "rhev.restore") to handle_object(), which builds a worker for the VM,
// loads the task parameters into it, runs it on the delivering thread and sends exactly one
// reply:
//   - params that are not an object: error -32602 "Invalid params: params type must be
//     object.";
//   - a worker that cannot be made or parameters that do not load: error -32602 (backup)
//     or -32603 (restore), without a message;
//   - otherwise a response whose result is the worker's reply object, carrying "code" 0
//     or 1.
// The handlers hold no state and take no lock: requests may run on several threads.

#include "platform/jsonrpc/json_rpc_handler.h"

class RHV_Backup_Servant_Handler : public JSON_RPC_Handler {
public:
  ~RHV_Backup_Servant_Handler() override;
  int handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj) override;
};

class RHV_Restore_Servant_Handler : public JSON_RPC_Handler {
public:
  ~RHV_Restore_Servant_Handler() override;
  int handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj) override;
};

#endif  // BACKUP_RHV_SERVANT_RHV_SERVANT_HANDLER_H
