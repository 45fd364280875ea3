#ifndef BACKUP_RHV_INSTANCE_HANDLER_RHV_INSTANCE_EXPORT_H
#define BACKUP_RHV_INSTANCE_HANDLER_RHV_INSTANCE_EXPORT_H

// The exported factory of the instance handler. It stores the destroyer through `gobble`
// first (when it is not null), even when the allocation that follows fails; it allocates
// without throwing and returns null with errno ENOMEM on failure. The host releases the
// handler only through that destroyer, which ignores null.

#include "platform/host/instance_handler.h"

extern "C" {

__attribute__((visibility("default"))) Instance_Handler* _make_RHV_Instance_Handler(void (**gobble)(void*));

}  // extern "C"

#endif
