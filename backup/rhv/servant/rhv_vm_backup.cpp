#include "backup/rhv/servant/rhv_vm_backup.h"

#include "backup/rhv/api/rhv_service.h"
#include "backup/scrt/log.h"

RHV_VM_Backup::RHV_VM_Backup()
{
  uuid_generate_v4(bset_uuid_);
}

RHV_VM_Backup::~RHV_VM_Backup()
{
}

bool RHV_VM_Backup::init_i()
{
  if (!client_.vm_service().get(params_.vm_id, vm_, RHV_FOLLOW_NICS)) {
    RHV_LOG_ERROR("Failed to get RHV VM '%s' info.\n", params_.vm_name.c_str());
    return false;
  }
  return true;
}

bool RHV_VM_Backup::post_backup()
{
  if (save_catalog())
    return true;
  alerter_.failed_to_submit_catalog();
  return false;
}
