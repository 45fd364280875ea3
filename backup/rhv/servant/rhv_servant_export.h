#ifndef BACKUP_RHV_SERVANT_RHV_SERVANT_EXPORT_H
#define BACKUP_RHV_SERVANT_RHV_SERVANT_EXPORT_H

// The exported factories of the module's servant handlers, under the same convention as
// the job side's (see rhv_export_objs.h): the destroyer is stored through `gobble` first,
// the handler is made without throwing (null with errno ENOMEM on failure) and handed
// out as its host base; the host releases it only through the destroyer.

#include "backup/rhv/job/rhv_export_objs.h"
#include "platform/jsonrpc/json_rpc_handler.h"

extern "C" {

__attribute__((visibility("default"))) JSON_RPC_Handler* _make_RHV_Backup_Servant_Handler(Gobble_Function* gobble);

__attribute__((visibility("default"))) JSON_RPC_Handler* _make_RHV_Restore_Servant_Handler(Gobble_Function* gobble);

}  // extern "C"

#endif  // BACKUP_RHV_SERVANT_RHV_SERVANT_EXPORT_H
