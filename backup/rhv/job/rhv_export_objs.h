#ifndef BACKUP_RHV_JOB_RHV_EXPORT_OBJS_H
#define BACKUP_RHV_JOB_RHV_EXPORT_OBJS_H

// The exported factories of the module's job side.
//
// Each factory is exported under its plain name; it takes `gobble`, where the host
// wants the matching destroyer. The destroyer's address is stored there first (when
// `gobble` is not null), even when the allocation that follows fails. The object is
// allocated without throwing; on failure the factory returns null with errno ENOMEM.
// The host owns the object and releases it only through the destroyer, which ignores
// null; the destroyers of the parser creators call fini() before deleting.

#include "platform/job/job.h"
#include "platform/json/object_creator.h"
#include "platform/json/yajl_handler.h"

typedef void (*Gobble_Function)(void*);

extern "C" {

__attribute__((visibility("default"))) Job_Creator* _make_RHV_Job_Creator(Gobble_Function* gobble);

__attribute__((visibility("default"))) Object_Creator_T<YAJL_Handler>*
_make_RHV_Backup_Source_Parser_Creator(Gobble_Function* gobble);

__attribute__((visibility("default"))) Object_Creator_T<YAJL_Handler>*
_make_RHV_Restore_Source_Parser_Creator(Gobble_Function* gobble);

__attribute__((visibility("default"))) Object_Creator_T<YAJL_Handler>*
_make_RHV_Backup_Options_Parser_Creator(Gobble_Function* gobble);

__attribute__((visibility("default"))) Object_Creator_T<YAJL_Handler>*
_make_RHV_Restore_Options_Parser_Creator(Gobble_Function* gobble);

}  // extern "C"

#endif  // BACKUP_RHV_JOB_RHV_EXPORT_OBJS_H
